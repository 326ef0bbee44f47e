#!/usr/bin/env python3
"""Draws the guide's pictures from the build and writes the figures it quotes.

    tools/docs/make_docs.py [--check] [--elf build/tavix.elf] [--debug-elf build/debug/tavix.elf]
                            [--pages DIR]

A figure in README.md or docs/*.md is written as its value followed by an HTML comment that
names it, e.g. `0x0010DC80`<!--mem.stack_bottom--> or 32<!--disk.reserved-->; Git hosts show
only the value. A gdb session shown in a page (gdb_session.py) is run against the debug image
and shows what gdb prints. Without --check the values, the sessions and docs/figures/*.svg are
brought up to date and every change is named; with --check nothing is written, every difference
is listed and the exit status is 1 when there is one. An address inside the loaded image,
written as code, that carries no name is a difference too, since nothing would keep it true.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

import disk_map
import gdb_session
import key_road
import memory_map
import pages
import write_order

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MARKED = re.compile(r"(`?)([0-9A-Za-z.,]+)\1<!--([a-z]+\.[a-z0-9_.]+)-->")
# Addresses are written as code, `0x0011056C`; other hex numbers (magic values) as plain text.
ADDRESS = re.compile(r"`(0x[0-9A-Fa-f]{5,8})`")
# Figures that depend on where the checkout lies (the debug information names the source
# paths), quoted rounded: a quoted value within this fraction of the build's is true.
APPROXIMATE = {"mem.elf_kib": 0.02}


def measure(elf):
    """(facts, figures, boot rows) of this build: name -> value text, file name -> SVG text,
    and the rows of the screen at the first prompt."""
    facts, figures = memory_map.build(elf)
    with tempfile.TemporaryDirectory() as work:
        sample = os.path.join(work, "disk.img")
        subprocess.run([os.path.join(ROOT, "tools", "make-disk.sh"), sample], check=True)
        for build in (lambda: disk_map.build(sample), lambda: write_order.build(elf, sample, work)):
            more_facts, more_figures = build()
            facts.update(more_facts)
            figures.update(more_figures)
        more_facts, more_figures, boot_rows = key_road.build(elf, sample, work)
        facts.update(more_facts)
        figures.update(more_figures)
    return facts, figures, boot_rows


def close_enough(name, quoted, built):
    if name not in APPROXIMATE:
        return quoted == built
    try:
        quoted_value = float(quoted.replace(",", ""))
    except ValueError:
        return False
    built_value = float(built.replace(",", ""))
    return abs(quoted_value - built_value) <= APPROXIMATE[name] * built_value


def update_sessions(rel, text, debug_elf):
    """(text with the page's gdb session as gdb prints it now, problems found)."""
    blocks = [block for block in pages.FENCE.findall(text) if gdb_session.is_session(block)]
    if not blocks:
        return text, []
    printed = iter(gdb_session.run(debug_elf, blocks))
    problems = []

    def replace(m):
        block = m.group(1)
        if not gdb_session.is_session(block):
            return m.group(0)
        now = next(printed)
        if now != block:
            shown, built = block.split("\n"), now.split("\n")
            first = next(i for i in range(len(built)) if i >= len(shown) or shown[i] != built[i])
            problems.append("%s: the gdb session that begins %r differs at its line %d: shown %r, gdb printed %r"
                            % (rel, shown[0], first + 1, shown[first] if first < len(shown) else None,
                               built[first]))
        return m.group(0).replace(block, now)

    return pages.FENCE.sub(replace, text), problems


def update_page(rel, text, facts):
    """(text with every named value from facts, problems found); rel names the page."""
    problems = []

    def replace(m):
        tick, value, name = m.groups()
        if name not in facts:
            problems.append("%s: no figure named %s" % (rel, name))
            return m.group(0)
        if close_enough(name, value, facts[name]):
            return m.group(0)
        problems.append("%s: %s is %s here and %s in the build" % (rel, name, value, facts[name]))
        return "%s%s%s<!--%s-->" % (tick, facts[name], tick, name)

    updated = MARKED.sub(replace, text)
    low, high = int(facts["mem.load"], 16), int(facts["mem.image_end"], 16)
    for address in ADDRESS.findall(MARKED.sub("", text)):
        if low <= int(address, 16) <= high:
            problems.append("%s: address %s inside the image has no figure name" % (rel, address))
    return updated, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="write nothing; list differences")
    parser.add_argument("--elf", default=os.path.join(ROOT, "build", "tavix.elf"))
    parser.add_argument("--debug-elf", default=os.path.join(ROOT, "build", "debug", "tavix.elf"))
    parser.add_argument("--pages", default=ROOT, help="the tree holding README.md and docs/")
    args = parser.parse_args()

    facts, figures, boot_rows = measure(args.elf)
    problems, unmendable = [], []
    for path in pages.pages(args.pages):
        rel = os.path.relpath(path, args.pages)
        with open(path) as f:
            text = f.read()
        updated, found = update_page(rel, text, facts)
        problems += found
        # A step list is written by hand: make docs can only say where it went wrong.
        unmendable += pages.step_list_problems(rel, updated, figures, boot_rows)
        updated, found = update_sessions(rel, updated, args.debug_elf)
        problems += found
        if not args.check and updated != text:
            with open(path, "w") as f:
                f.write(updated)
    figure_dir = os.path.join(args.pages, "docs", "figures")
    for name, svg in sorted(figures.items()):
        path = os.path.join(figure_dir, name)
        old = open(path).read() if os.path.exists(path) else None
        if old == svg:
            continue
        problems.append("docs/figures/%s differs from what the build draws" % name)
        if not args.check:
            os.makedirs(figure_dir, exist_ok=True)
            with open(path, "w") as f:
                f.write(svg)

    problems += unmendable
    unknown = [p for p in problems if "no figure named" in p or "has no figure name" in p] + unmendable
    if args.check and problems or unknown:
        print("\n".join(problems))
        if args.check:
            print("make docs brings the figures, sessions and pictures up to date")
        return 1
    # What make docs changed, one line each, so that a commit after it can be checked.
    for problem in problems:
        print("updated: " + problem)
    if not problems:
        print("make docs: every figure, gdb session and picture already matches the build")
    return 0


if __name__ == "__main__":
    sys.exit(main())
