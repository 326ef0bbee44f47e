"""What the README and the guide's pages hold, as the docs tools and the docs test read them:
fenced blocks, shell sessions, exercises, and the numbered lists beside pictures."""

import glob
import os
import re

FENCE = re.compile(r"^```[^\n]*\n(.*?)^```", re.S | re.M)
FENCED = re.compile(r"^```([^\n]*)\n(.*?)^```", re.S | re.M)
# The prompt, with the shell's current directory.
PROMPT = re.compile(r"^masteruser: (/[^&]*) &")
EXERCISES = re.compile(r"^## Exercises\n(.*?)(?=^## |\Z)", re.S | re.M)
EXERCISE = re.compile(r"^### (.*)\n", re.M)
IMAGE = re.compile(r"!\[[^\]]*\]\(([^)]+)\)")
LIST_ITEM = re.compile(r"^(\d+)\. (.*(?:\n(?: {3,}).*)*)", re.M)
FIGURE_ROW = re.compile(r">(\d+)\. ([^:<]+):")
# A start-up step that prints a line quotes it so; the boot screen shows it in the list's order.
PRINTS = re.compile(r'prints "([^"]+)"')
BOOT_SCREEN = "boot-screen.png"


def pages(root):
    return [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))


def read(path):
    with open(path) as f:
        return f.read()


def session_steps(block):
    """([(prompt line, line typed, [lines printed])], whether the shell is left at its bare
    prompt) of a block that shows a session, else None. A session that does not end at the
    prompt shows a last command that stops the shell (a panic) and what stays on the screen."""
    lines = block.rstrip("\n").split("\n")
    if not PROMPT.match(lines[0]):
        return None
    steps = []
    for line in lines:
        prompt = PROMPT.match(line)
        if prompt:
            steps.append((line, line[prompt.end():], []))
        else:
            steps[-1][2].append(line)
    at_prompt = steps[-1][1] == "" and not steps[-1][2]
    return (steps[:-1] if at_prompt else steps), at_prompt


def sessions(text):
    """[(line typed, [lines printed])] of each block that shows a session on the kernel as it
    is, the exercises' sessions left out."""
    found = []
    for block in FENCE.findall(EXERCISES.sub("", text)):
        session = session_steps(block)
        if session is None:
            continue
        if not session[1]:
            raise AssertionError("a session must end with the bare prompt:\n" + block)
        found.append(session[0])
    return found


def exercises(text):
    """[(title, [(info string, block)])] of the page's exercises, in page order."""
    section = EXERCISES.search(text)
    if not section:
        return []
    parts = EXERCISE.split(section.group(1))
    return [(parts[i], FENCED.findall(parts[i + 1])) for i in range(1, len(parts), 2)]


def printed_by_last(vm, line):
    """[what the screen shows between the last `line` (prompt and typed text) and the prompt
    after it], once that prompt is the last thing on the screen; None before."""
    rows = [r.rstrip() for r in vm.screen_rows()]
    while rows and not rows[-1]:
        rows.pop()
    if not rows or not PROMPT.match(rows[-1]) or PROMPT.match(rows[-1]).end() != len(rows[-1]):
        return None
    lines = [i for i, r in enumerate(rows[:-1]) if r == line.rstrip()]
    return [rows[lines[-1] + 1:-1]] if lines else None


def shows_lines(vm, lines):
    rows = [r.rstrip() for r in vm.screen_rows()]
    return any(rows[i:i + len(lines)] == lines for i in range(len(rows)))


def type_session(vm, steps, at_prompt, timeout):
    """Types each line of a session and returns [(line typed, lines shown, lines printed)] for
    every command whose output differs; a last command that stops the shell must leave its
    lines on the screen."""
    differ = []
    for i, (line, typed, printed) in enumerate(steps):
        vm.type(typed + "\n")
        if i == len(steps) - 1 and not at_prompt:
            vm.wait_until(lambda: shows_lines(vm, [line] + printed), timeout, "the screen after " + typed)
            continue
        screen = vm.wait_until(lambda: printed_by_last(vm, line), timeout, "the prompt after " + typed)
        if screen[0] != printed:
            differ.append((typed, printed, screen[0]))
    return differ


def plain(markdown):
    """Text as read: no figure names, code marks, emphasis or line breaks."""
    text = re.sub(r"<!--.*?-->", "", markdown).replace("`", "").replace("*", "")
    return " ".join(text.split())


def _lists(text):
    """The numbered lists in text, each a list of (number, item text)."""
    lists, number = [], 0
    for n, item in LIST_ITEM.findall(text):
        if not lists or int(n) != number + 1:
            lists.append([])
        lists[-1].append((n, item))
        number = int(n)
    return lists


def lists_beside_images(text):
    """[(image path, [(number, item text)])]: the first numbered list after each image in its
    section, or else the last one before it."""
    text = FENCE.sub("", text)
    found = []
    for m in IMAGE.finditer(text):
        start = max(text.rfind("\n## ", 0, m.start()), 0)
        end = text.find("\n## ", m.end())
        after, before = _lists(text[m.end():end if end >= 0 else len(text)]), _lists(text[start:m.start()])
        items = after[0] if after else before[-1] if before else []
        found.append((os.path.basename(m.group(1)), [(int(n), plain(item)) for n, item in items]))
    return found


def step_list_problems(rel, text, figures, boot_rows):
    """Where a numbered list beside a picture disagrees with it: beside a drawing (figures:
    file name -> SVG text) the same numbers as its rows, each step naming its row's key; beside
    the boot screen, the lines the steps say they print on boot_rows in the list's order."""
    problems = []
    for image, items in lists_beside_images(text):
        if image == BOOT_SCREEN:
            at = 0
            for line in (line for _, item in items for line in PRINTS.findall(item)):
                found = [i for i in range(at, len(boot_rows)) if boot_rows[i].startswith(line)]
                if not found:
                    problems.append("%s: %r is not on the boot screen after its row %d" % (rel, line, at))
                    break
                at = found[0] + 1
            continue
        rows = [(int(n), key) for n, key in FIGURE_ROW.findall(figures.get(image, ""))]
        if not rows:
            continue
        if [n for n, _ in items] != [n for n, _ in rows]:
            problems.append("%s: beside %s the steps are numbered %s, the picture's rows %s"
                            % (rel, image, [n for n, _ in items], [n for n, _ in rows]))
            continue
        problems += ["%s: beside %s step %d does not name %r" % (rel, image, n, key)
                     for (n, item), (_, key) in zip(items, rows) if key not in item]
    return problems
