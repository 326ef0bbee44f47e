#!/usr/bin/python3
"""Writes the guided tour (docs/*.md and its pictures) as HTML pages, for the site make web builds.

    tools/web_guide.py <docs directory> <output directory>

Links from one page of the guide to another lead to its HTML page. Debian's python3-markdown,
so Debian's own python3.
"""

import glob
import html
import os
import re
import shutil
import sys

import markdown

PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<link rel="stylesheet" href="../tavix.css">
</head>
<body class="guide">
<p><a href="../index.html">Back to Tavix in your browser</a></p>
{body}
</body>
</html>
"""
GUIDE_LINK = re.compile(r'href="([\w-]+)\.md(#[^"]*)?"')
PICTURES = ("*.png", "*.svg")


def write_page(source, out_dir):
    with open(source, encoding="utf-8") as f:
        text = f.read()
    body = markdown.markdown(text, extensions=["tables", "fenced_code"])
    body = GUIDE_LINK.sub(lambda m: 'href="%s.html%s"' % (m.group(1), m.group(2) or ""), body)
    title = text.splitlines()[0].lstrip("# ").strip()
    name = os.path.splitext(os.path.basename(source))[0] + ".html"
    with open(os.path.join(out_dir, name), "w", encoding="utf-8") as f:
        f.write(PAGE.format(title=html.escape(title), body=body))


def main(docs, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for source in sorted(glob.glob(os.path.join(docs, "*.md"))):
        write_page(source, out_dir)
    for pattern in PICTURES:
        for picture in glob.glob(os.path.join(docs, "**", pattern), recursive=True):
            target = os.path.join(out_dir, os.path.relpath(picture, docs))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(picture, target)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: %s <docs directory> <output directory>" % sys.argv[0])
    main(sys.argv[1], sys.argv[2])
