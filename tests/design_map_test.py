#!/usr/bin/env python3
"""Every anchor of the design map still names a function in its file.

Usage: design_map_test.py SOURCE_DIR

The map (docs/DESIGN.md) writes each step of a path as `dir/file.cpp:name`
or `dir/file.cpp:Class::name`; a step whose file is gone, or whose file no
longer defines the name, fails the test with the line it stands on.
"""
import os
import re
import sys

ANCHOR = re.compile(r"`([\w./-]+\.(?:cpp|h|py|sh)):([\w:~]+)`")


def defines(text, name):
    """Whether `text` defines `name` (last part qualified or not) as a function."""
    *scope, last = name.split("::")
    qualified = re.escape("::".join(scope + [last]))
    plain = re.escape(last)
    # Out of class (Class::name( ...) or in a class/namespace body (name( ... {).
    return (re.search(rf"\b{qualified}\s*\(", text) is not None if scope else False) or \
        re.search(rf"^[^;/\n]*\b{plain}\s*\([^;]*$", text, re.M) is not None


def main(root):
    path = os.path.join(root, "docs", "DESIGN.md")
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    anchors, broken = 0, []
    for number, line in enumerate(lines, 1):
        for file, name in ANCHOR.findall(line):
            anchors += 1
            try:
                with open(os.path.join(root, file), encoding="utf-8") as src:
                    text = src.read()
            except OSError:
                broken.append(f"DESIGN.md:{number}: {file} does not exist")
                continue
            if not defines(text, name):
                broken.append(f"DESIGN.md:{number}: {file} defines no {name}")
    for b in broken:
        print(b)
    if anchors < 40:
        print(f"only {anchors} anchors found: the map's format changed?")
        return 1
    print(f"{anchors} anchors, {len(broken)} broken")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
