#!/usr/bin/env python3
"""Writes files meant to break a reader into a folder, for checking by hand that the
program refuses each or opens it in bounded time and memory with the window responsive:

    python3 scripts/hostile-files.py /tmp/hostile
    build/src/app/korvane /tmp/hostile/font-per-character.rtf      (and File > Open)

Also try /dev/zero and the named pipe it makes (fifo), and the same names as "data",
"send" and "config.ini" in the data folder.
"""
import os
import sys


def write(folder, name, parts):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        for part in parts:
            f.write(part)
    print(f"{os.path.getsize(path):>12}  {path}")


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "hostile"
    os.makedirs(folder, exist_ok=True)
    # Long font names and a change of font before every character (1.1 MB).
    fonts = b"{\\fonttbl{\\f0 " + b"N" * 65536 + b";}{\\f1 " + b"M" * 65536 + b";}}"
    runs = b"".join(b"\\f%d %c" % (i % 2, 97 + i % 26) for i in range(170000))
    write(folder, "font-per-character.rtf", [b"{\\rtf1", fonts, runs, b"}"])
    # 200 MB of plain RTF text: past the size a view takes.
    line = b"01 03 00 00 00 0A C5 CD\\par\r\n"
    write(folder, "200MB.rtf", [b"{\\rtf1 "] + [line * 65536] * 110 + [b"}"])
    # 40 MB: below the limit, long enough to show the progress dialog.
    write(folder, "40MB.rtf", [b"{\\rtf1 "] + [line * 65536] * 22 + [b"}"])
    # Nesting ten million groups deep.
    write(folder, "deep.rtf", [b"{\\rtf1 a", b"{" * 10**7, b"x", b"}" * 10**7, b"b}"])
    # A huge table: a million cells and rows.
    write(folder, "table.rtf", [b"{\\rtf1", b"\\trowd\\cellx100 a\\cell b\\cell\\row" * 10**6, b"}"])
    # A colour table of a million entries used on every character.
    write(folder, "colours.rtf", [b"{\\rtf1{\\colortbl", b"\\red1\\green2\\blue3;" * 10**6, b"}",
                                  b"".join(b"\\cf%d x" % i for i in range(0, 10**6, 7)), b"}"])
    # \bin: huge, negative, and binary data after it.
    write(folder, "bin.rtf", [b"{\\rtf1 a\\bin99999999999999 b\\bin-5 c\\bin16 ", os.urandom(16),
                              b" d{\\pict\\bin1000000 ", os.urandom(1000000), b"}e}"])
    # Random bytes with an RTF head.
    write(folder, "binary.rtf", [b"{\\rtf1 ", os.urandom(5 << 20)])
    fifo = os.path.join(folder, "fifo")
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    print(f"{'fifo':>12}  {fifo}")


if __name__ == "__main__":
    main()
