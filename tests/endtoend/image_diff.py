#!/usr/bin/env python3
"""Compares a camera's image with the one it was served with.

    image_diff.py BEFORE AFTER [OFFSET...]

Exits 0 when the two files have the same size and differ at most in the
bytes at the OFFSETs (decimal or 0x); else 1, naming up to ten bytes that
changed. The end-to-end scenarios use it as a module (harness.check_image),
the Wine shell tests as a program."""

import sys


def changes(before, after, allowed):
    """The offsets that changed and may not have, or a text when the sizes differ."""
    if len(before) != len(after):
        return f"image size {len(before)} became {len(after)}"
    return [i for i in range(len(before)) if before[i] != after[i] and i not in allowed]


def report(before, after, bad):
    return [f"byte 0x{i:x}: {before[i]:02x} -> {after[i]:02x}" for i in bad[:10]]


def main(arguments):
    if len(arguments) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(arguments[0], "rb") as f:
        before = f.read()
    with open(arguments[1], "rb") as f:
        after = f.read()
    bad = changes(before, after, {int(a, 0) for a in arguments[2:]})
    if isinstance(bad, str):
        print(bad, file=sys.stderr)
        return 1
    for line in report(before, after, bad):
        print(line, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
