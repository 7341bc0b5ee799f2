#!/usr/bin/env python3
"""Checks what pelwin.exe carries and needs, read from the file itself.

    check_resources.py pelwin.exe [--machine i386|amd64] [--max-bytes N]
                       [--program pelwin|pelwin-report]

--program names the program the version strings must describe (default
pelwin); pelwin-report.exe carries the same icon and version under its own
names.

- Resources: the group icon DEFAULT_ICON with 256, 48, 32 and 16 px images at
  32 bits per pixel, the 256 px one an 8-bit RGBA PNG; the version resource
  with the program's file version and strings; and nothing else (no manifest,
  no dialog, menu or string table).
- Imports: the system DLLs below and no others; no MinGW runtime DLL has to be
  shipped beside it.
- The header: the machine asked for, and a subsystem and OS version that
  Windows 7 accepts; the file no larger than --max-bytes.
"""
import argparse
import os
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
MACHINES = {"i386": 0x14C, "amd64": 0x8664}
SYSTEM_DLLS = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "setupapi.dll",
               "user32.dll", "version.dll"}
WINDOWS_7 = (6, 1)

EXPECTED_STRINGS = {
    "FileVersion": "3.0.0.0",
    "ProductVersion": "3.0.0.0",
    "FileDescription": "Selvo Camera Filter Wheel Contiguration Tool",
    "InternalName": "pelwin",
    "OriginalFilename": "pelwin.exe",
    "CodeStyle": "Ansi",
}
# What differs for each program.
PROGRAM_STRINGS = {
    "pelwin": {},
    "pelwin-report": {
        "FileDescription": "Camera and driver report for the filter wheel configuration tool",
        "InternalName": "pelwin-report",
        "OriginalFilename": "pelwin-report.exe",
    },
}
# Present and not empty; their texts are the company's.
NONEMPTY_STRINGS = ("CompanyName", "ProductName", "LegalCopyright")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        self.machine, sections, optional_size = struct.unpack_from("<HH12xH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.pe32_plus = magic == 0x20B
        # Both layouts keep the versions at the same place.
        os_major, os_minor, _, _, sub_major, sub_minor = struct.unpack_from(
            "<6H", data, optional + 40)
        self.os_version = (os_major, os_minor)
        self.subsystem_version = (sub_major, sub_minor)
        directories = optional + (112 if magic == 0x20B else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            virtual_size, rva, raw_size, raw = struct.unpack_from("<8xIIII", data, table + 40 * i)
            self.sections.append((rva, max(virtual_size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address 0x%x outside every section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        rva, size = self.directories[1]
        names = []
        entry = rva
        while size:
            name = struct.unpack_from("<12xI4x", self.data, self.offset(entry))[0]
            if name == 0:
                break
            names.append(self.cstring(name))
            entry += 20
        return names

    def resources(self):
        """{type: {name: {language: bytes}}}; names and types are ints or strs."""
        root_rva, size = self.directories[2]
        if not size:
            return {}
        base = self.offset(root_rva)

        def name_of(field):
            if field & 0x80000000:
                at = base + (field & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return field

        def walk(at, depth):
            named, numbered = struct.unpack_from("<12xHH", self.data, base + at)
            result = {}
            for i in range(named + numbered):
                field, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                if target & 0x80000000:
                    result[name_of(field)] = walk(target & 0x7FFFFFFF, depth + 1)
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    result[name_of(field)] = self.data[start:start + data_size]
            return result

        return walk(0, 0)


def version_node(data, at):
    """(key, value bytes, children, end) of one VS_VERSIONINFO-style node."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    # Text values count characters, binary ones bytes.
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        node = version_node(data, child)
        children.append(node)
        child = (node[3] + 3) & ~3
    return key, value, children, end


def check_icons(resources):
    groups = resources.get(RT_GROUP_ICON, {})
    check(list(groups) == ["DEFAULT_ICON"],
          "icon groups are %s, not only DEFAULT_ICON" % sorted(map(str, groups)))
    group = groups.get("DEFAULT_ICON")
    if not check(group is not None and len(group) == 1, "no single DEFAULT_ICON group"):
        return
    data = next(iter(group.values()))
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    check(kind == 1, "DEFAULT_ICON is not an icon group")
    icons = resources.get(RT_ICON, {})
    sizes = []
    for i in range(count):
        width, height, _, _, planes, bits, size, number = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * i)
        pixels = width or 256
        sizes.append(pixels)
        check((height or 256) == pixels, "icon %d is not square" % pixels)
        check(bits == 32 and planes == 1, "the %d px icon has %d bits per pixel" % (pixels, bits))
        image = next(iter(icons.get(number, {}).values()), None)
        if not check(image is not None, "the %d px icon's image %d is missing" % (pixels, number)):
            continue
        check(len(image) == size, "the %d px icon's size does not match its image" % pixels)
        if pixels == 256:
            png = image[:8] == b"\x89PNG\r\n\x1a\n"
            if check(png, "the 256 px icon is not stored as PNG"):
                depth, colour = struct.unpack_from(">BB", image, 24)
                check((depth, colour) == (8, 6),
                      "the 256 px PNG is not 8-bit RGBA (depth %d, colour type %d)" % (depth, colour))
        else:
            header, _, bitmap_height, _, bitmap_bits = struct.unpack_from("<IiiHH", image, 0)
            check(header == 40 and bitmap_bits == 32 and bitmap_height == 2 * pixels,
                  "the %d px icon is not a 32-bit bitmap" % pixels)
    check(sorted(sizes, reverse=True) == [256, 48, 32, 16],
          "DEFAULT_ICON has sizes %s, not 256, 48, 32, 16" % sizes)
    check(len(icons) == count, "%d icon images for %d group entries" % (len(icons), count))


def check_version(resources, expected):
    versions = resources.get(RT_VERSION, {})
    if not check(len(versions) == 1, "%d version resources, not one" % len(versions)):
        return
    languages = next(iter(versions.values()))
    check(list(languages) == [0x0409], "version resource language %s" % list(languages))
    data = next(iter(languages.values()))
    key, fixed, children, _ = version_node(data, 0)
    check(key == "VS_VERSION_INFO", "version resource key %r" % key)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIIIII", fixed)
    check(signature == 0xFEEF04BD, "no fixed file info")
    check((file_ms, file_ls) == (0x00030000, 0), "fixed file version is not 3.0.0.0")
    check((product_ms, product_ls) == (0x00030000, 0), "fixed product version is not 3.0.0.0")
    blocks = {child[0]: child for child in children}
    strings = blocks.get("StringFileInfo")
    if check(strings is not None, "no StringFileInfo"):
        tables = {child[0]: child for child in strings[2]}
        check(list(tables) == ["040904e4"], "string tables %s, not 040904e4" % list(tables))
        table = tables.get("040904e4")
        values = {}
        if table is not None:
            for name, value, _, _ in table[2]:
                values[name] = value.decode("utf-16-le").rstrip("\0")
        for name, text in expected.items():
            check(values.get(name) == text, "%s is %r, not %r" % (name, values.get(name), text))
        for name in NONEMPTY_STRINGS:
            check(bool(values.get(name)), "%s is missing or empty" % name)
    info = blocks.get("VarFileInfo")
    if check(info is not None, "no VarFileInfo"):
        translations = {child[0]: child[1] for child in info[2]}
        check(translations.get("Translation") == struct.pack("<HH", 0x0409, 1252),
              "translation is not 0x0409, 1252")


def check_header(image, machine, size, max_bytes):
    if machine is not None:
        check(image.machine == MACHINES[machine],
              "machine 0x%x, not %s (0x%x)" % (image.machine, machine, MACHINES[machine]))
        check(image.pe32_plus == (machine == "amd64"), "optional header does not fit %s" % machine)
    check(image.subsystem_version <= WINDOWS_7,
          "subsystem version %d.%d: Windows 7 (6.1) would refuse it" % image.subsystem_version)
    check(image.os_version <= WINDOWS_7,
          "OS version %d.%d: newer than Windows 7 (6.1)" % image.os_version)
    if max_bytes is not None:
        check(size <= max_bytes, "%d bytes, more than %d" % (size, max_bytes))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("exe")
    parser.add_argument("--machine", choices=sorted(MACHINES))
    parser.add_argument("--max-bytes", type=int)
    parser.add_argument("--program", choices=sorted(PROGRAM_STRINGS), default="pelwin")
    args = parser.parse_args()
    with open(args.exe, "rb") as file:
        image = Image(file.read())
    check_header(image, args.machine, os.path.getsize(args.exe), args.max_bytes)
    print("machine 0x%x, subsystem %d.%d, OS %d.%d, %d bytes" % (
        (image.machine,) + image.subsystem_version + image.os_version +
        (os.path.getsize(args.exe),)))

    resources = image.resources()
    kinds = sorted(str(kind) for kind in resources)
    check(kinds == sorted(map(str, (RT_ICON, RT_GROUP_ICON, RT_VERSION))),
          "resource types %s; only icons, the icon group and the version belong" % kinds)
    check_icons(resources)
    check_version(resources, dict(EXPECTED_STRINGS, **PROGRAM_STRINGS[args.program]))

    imports = image.imports()
    print("imports:", " ".join(imports))
    others = sorted(name for name in imports if name.lower() not in SYSTEM_DLLS)
    check(not others, "imports %s beyond the system DLLs" % others)

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("resources and imports as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
