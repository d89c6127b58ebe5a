#!/usr/bin/env python3
"""Writes a library document of one hostile shape: a single construct that
takes up nearly all of its bytes.

Usage: make_shape.py OUT SHAPE MEGABYTES
       make_shape.py --list

Each shape is one long token (or one long run of small ones) that a
tokenizer rescanning unfinished tokens would take quadratic time over.
"""
import sys

# name -> (prefix, the unit repeated to fill the size, suffix)
SHAPES = {
    "comment": ("<plist><!--", b"x" * 64, "--></plist>"),
    "attribute-value": ("<plist a=\"", b"x" * 64, "\"/>"),
    "attribute-name": ("<plist a", b"x" * 64, "=\"1\"/>"),
    "attributes": ("<plist", b" a%d=\"1\"", "/>"),
    "element-name": ("<plist><a", b"x" * 64, "/></plist>"),
    "text": ("<plist><dict><key>", b"x" * 63 + b"\n", "</key></dict></plist>"),
    "text-one-line": ("<plist><dict><key>", b"x" * 64, "</key></dict></plist>"),
    "cdata": ("<plist><string><![CDATA[", b"x" * 64, "]]></string></plist>"),
    "processing-instruction": ("<plist><?pi ", b"x" * 64, "?></plist>"),
    "doctype-subset": ("<!DOCTYPE plist [", b"<!-- c -->", "]><plist/>"),
    "doctype-comment": ("<!DOCTYPE plist [<!--", b"x" * 64, "-->]><plist/>"),
    "doctype-public-id": ("<!DOCTYPE plist PUBLIC \"", b"x" * 64, "\" \"a\"><plist/>"),
    "entity-reference": ("<plist><key>&", b"x" * 64, ";</key></plist>"),
    "prolog-white-space": ("", b" " * 64, "<plist/>"),
    "content-white-space": ("<plist><dict>", b" " * 64, "</dict></plist>"),
    "elements": ("<plist><dict>", b"<e/>", "</dict></plist>"),
    "element-names": ("<plist><dict>", b"<e%d/>", "</dict></plist>"),
}


def main():
    if sys.argv[1:] == ["--list"]:
        print(" ".join(SHAPES))
        return
    out, shape, megabytes = sys.argv[1], sys.argv[2], float(sys.argv[3])
    prefix, unit, suffix = SHAPES[shape]
    size = int(megabytes * 1000000)
    with open(out, "wb") as f:
        f.write(b"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + prefix.encode())
        written = 0
        if b"%d" in unit:
            # Distinct names: a counter in each unit.
            n = 0
            while written < size:
                block = b"".join(unit.replace(b"%d", str(n + k).encode()) for k in range(4096))
                n += 4096
                f.write(block)
                written += len(block)
        else:
            block = unit * ((1 << 20) // len(unit) + 1)
            while written < size:
                f.write(block)
                written += len(block)
        f.write(suffix.encode() + b"\n")


if __name__ == "__main__":
    main()
