#!/usr/bin/env python3
"""A camera's EEPROM image files, for the end-to-end tests.

    images.py compare BEFORE AFTER [OFFSET...]
        0 when the two files have the same size and differ at most in the
        bytes at the OFFSETs; else 1, naming up to ten bytes that changed

Numbers are decimal or 0x. The driver uses `changes` and `report` as a
module (harness.check_image); the Wine shell tests run the program."""

import sys


def changes(before, after, allowed):
    """The offsets that changed and may not have, or a text when the sizes differ."""
    if len(before) != len(after):
        return f"image size {len(before)} became {len(after)}"
    return [i for i in range(len(before)) if before[i] != after[i] and i not in allowed]


def report(before, after, bad):
    return [f"byte 0x{i:x}: {before[i]:02x} -> {after[i]:02x}" for i in bad[:10]]


def read(path):
    with open(path, "rb") as f:
        return bytearray(f.read())


def main(arguments):
    command, numbers = arguments[:1], [int(a, 0) for a in arguments[3:]]
    if command == ["compare"] and len(arguments) >= 3:
        before, after = read(arguments[1]), read(arguments[2])
        bad = changes(before, after, set(numbers))
        for line in [bad] if isinstance(bad, str) else report(before, after, bad):
            print(line, file=sys.stderr)
        return 1 if bad else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
