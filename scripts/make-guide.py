#!/usr/bin/env python3
"""Writes the user guide, one HTML page, from the README's user sections.

The sections between the README's "guide:start" and "guide:end" comments are taken (the
whole README when it has no such comments). Only the Markdown the README uses is read:
headings, paragraphs, lists, tables, fenced code, inline code, bold and links.

    make-guide.py README.md guide.html
"""

import html
import re
import sys


def inline(text):
    out = []
    # Code spans first: nothing inside them is markup.
    for i, part in enumerate(re.split(r"(`[^`]*`)", text)):
        if i % 2 == 1:
            out.append("<code>" + html.escape(part[1:-1]) + "</code>")
            continue
        part = html.escape(part)
        part = re.sub(r"\*\*([^*]+)\*\*", r"<strong>\1</strong>", part)
        part = re.sub(r"\[([^\]]+)\]\(([^)\s]+)\)", r'<a href="\2">\1</a>', part)
        out.append(part)
    return "".join(out)


def cells(row):
    return [c.strip() for c in row.strip().strip("|").split("|")]


def convert(lines):
    body = []
    i = 0
    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        if not stripped or stripped.startswith("<!--"):
            i += 1
        elif stripped.startswith("```"):
            block = []
            i += 1
            while i < len(lines) and not lines[i].strip().startswith("```"):
                block.append(lines[i])
                i += 1
            i += 1
            body.append("<pre>" + html.escape("\n".join(block)) + "</pre>")
        elif stripped.startswith("#"):
            level = len(stripped) - len(stripped.lstrip("#"))
            body.append("<h%d>%s</h%d>" % (level, inline(stripped[level:].strip()), level))
            i += 1
        elif stripped.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].strip().startswith("|"):
                rows.append(cells(lines[i]))
                i += 1
            table = ["<table>", "<tr>" + "".join("<th>%s</th>" % inline(c) for c in rows[0]) + "</tr>"]
            for row in rows[1:]:
                if all(re.fullmatch(r":?-+:?", c) for c in row):
                    continue
                table.append("<tr>" + "".join("<td>%s</td>" % inline(c) for c in row) + "</tr>")
            table.append("</table>")
            body.append("\n".join(table))
        elif re.match(r"[-*] ", stripped):
            items = []
            while i < len(lines) and lines[i].strip():
                if re.match(r"\s*[-*] ", lines[i]):
                    items.append(re.sub(r"^\s*[-*] ", "", lines[i]).strip())
                else:
                    items[-1] += " " + lines[i].strip()
                i += 1
            body.append("<ul>\n" + "\n".join("<li>%s</li>" % inline(t) for t in items) + "\n</ul>")
        else:
            para = []
            while i < len(lines) and lines[i].strip() and not re.match(
                r"\s*(#|```|\||[-*] )", lines[i]
            ):
                para.append(lines[i].strip())
                i += 1
            body.append("<p>" + inline(" ".join(para)) + "</p>")
    return body


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make-guide.py README.md guide.html")
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().splitlines()
    title = next((l.lstrip("#").strip() for l in lines if l.startswith("# ")), "Korvane")
    starts = [n for n, l in enumerate(lines) if "guide:start" in l]
    ends = [n for n, l in enumerate(lines) if "guide:end" in l]
    if starts and ends:
        lines = lines[starts[0] + 1 : ends[-1]]
    page = [
        "<!DOCTYPE html>",
        '<html lang="en">',
        "<head>",
        '<meta charset="utf-8">',
        "<title>%s user guide</title>" % html.escape(title),
        "<style>",
        "body { font-family: sans-serif; max-width: 50em; margin: 2em auto; padding: 0 1em;"
        " line-height: 1.45; }",
        "code, pre { font-family: monospace; background: #f2f2f2; }",
        "pre { padding: 0.5em; overflow-x: auto; }",
        "table { border-collapse: collapse; } td, th { border: 1px solid #ccc; padding: 0.2em 0.5em;"
        " text-align: left; }",
        "</style>",
        "</head>",
        "<body>",
        "<h1>%s user guide</h1>" % html.escape(title),
    ]
    page += convert(lines)
    page += ["</body>", "</html>", ""]
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write("\n".join(page))


if __name__ == "__main__":
    main()
