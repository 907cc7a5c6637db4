#!/usr/bin/python3
"""Turns a Markdown page into one HTML file that a browser opens on its own:
the pictures it shows go inside it as data: URIs, so the file can be copied,
mailed or opened from a USB stick without the pictures beside it. The same
page gives the same bytes on every run.

usage: make_page.py PAGE.md OUTPUT.html
"""

import base64
import html
import os
import re
import sys

import markdown  # Debian's python3-markdown, which only /usr/bin/python3 imports

PAGE_TYPES = {".png": "image/png", ".jpg": "image/jpeg", ".jpeg": "image/jpeg", ".gif": "image/gif"}

PAGE_HEAD = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>%s</title>
<style>
body { font-family: Segoe UI, Tahoma, sans-serif; max-width: 56em; margin: 1em auto; padding: 0 1em; line-height: 1.4; }
table { border-collapse: collapse; }
th, td { border: 1px solid #999; padding: 0.3em 0.5em; text-align: left; vertical-align: top; }
code, pre { font-family: Consolas, monospace; background: #f2f2f2; }
pre { padding: 0.5em; overflow-x: auto; }
img { max-width: 100%%; }
</style>
</head>
<body>
"""
PAGE_TAIL = "</body>\n</html>\n"


def embedded(match, folder):
    """An <img> whose picture lies beside the page, with the picture inside."""
    name = html.unescape(match.group(2))
    kind = PAGE_TYPES.get(os.path.splitext(name)[1].lower())
    path = os.path.join(folder, name)
    if kind is None or not os.path.isfile(path):
        raise SystemExit("make_page: cannot embed the picture %s" % name)
    with open(path, "rb") as f:
        data = base64.b64encode(f.read()).decode("ascii")
    return '%ssrc="data:%s;base64,%s"' % (match.group(1), kind, data)


def page(source, folder):
    body = markdown.markdown(source, extensions=["tables", "fenced_code", "sane_lists"], output_format="html")
    body = re.sub(r'(<img\b[^>]*?)src="(?!data:|https?:)([^"]+)"', lambda m: embedded(m, folder), body)
    title = re.search(r"<h1>(.*?)</h1>", body)
    return PAGE_HEAD % (re.sub(r"<[^>]+>", "", title.group(1)) if title else "") + body + "\n" + PAGE_TAIL


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        text = page(f.read(), os.path.dirname(os.path.abspath(argv[1])))
    with open(argv[2], "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
