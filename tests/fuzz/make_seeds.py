#!/usr/bin/env python3
"""Writes the hand-made seed inputs of every fuzz target into OUT/<target>/.

    tests/fuzz/make_seeds.py OUT

Each seed is named after what it encodes; the input layouts are described at
the top of each <target>_fuzzer.cpp. The committed corpora hold the seeds that
survived a merge with what long runs found; merge a fresh set into them the
same way (docs/fuzzing.md) rather than copying it over them.
"""
import os
import struct
import sys

OUT = "."


def write(target, name, data):
    directory = os.path.join(OUT, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "seed-" + name), "wb") as f:
        f.write(bytes(data))


# --- eeprom_reply ---------------------------------------------------------

READ_SHORT, READ_LONG, WRITE_SHORT, WRITE_LONG = range(4)
WIDE, DATA_ONLY, DETACHED = 0x04, 0x08, 0x10
NAMES = {READ_SHORT: "read-short", READ_LONG: "read-long", WRITE_SHORT: "write-short",
         WRITE_LONG: "write-long"}


def eeprom(command, address, count, reply, flags=0, fill=0x5A):
    wide = flags & WIDE
    head = bytes([command | flags]) + struct.pack("<I", address)
    head += struct.pack("<I", count) if wide else bytes([count & 0xFF])
    return head + bytes([fill]) + bytes(reply)


def data_reply(count, status=0x80):
    return bytes([status]) + bytes((0x30 + i) & 0xFF for i in range(count))


def eeprom_seeds():
    # The transfers the program makes: header, Ortek and Selvo blocks, both
    # halves of a Tamis block.
    for name, command, address, count in [
        ("header", READ_SHORT, 0, 10), ("ortek-block", READ_SHORT, 10, 59),
        ("selvo-block", READ_SHORT, 10, 61), ("tamis-first", READ_LONG, 0x3FF80, 48),
        ("tamis-second", READ_LONG, 0x3FFB0, 13), ("max", READ_SHORT, 255, 63),
    ]:
        write("eeprom_reply", "read-" + name, eeprom(command, address, count, data_reply(count)))
        write("eeprom_reply", "read-" + name + "-short-reply",
              eeprom(command, address, count, data_reply(count - 1)))
        write("eeprom_reply", "read-" + name + "-long-reply",
              eeprom(command, address, count, data_reply(99)))
    for name, command, address, count in [
        ("selvo-block", WRITE_SHORT, 10, 61), ("ortek-block", WRITE_SHORT, 10, 59),
        ("tamis-first", WRITE_LONG, 0x3FF80, 48), ("tamis-second", WRITE_LONG, 0x3FFB0, 13),
        ("long-max", WRITE_LONG, 0xFFFFFFFF, 58),
    ]:
        write("eeprom_reply", "write-" + name, eeprom(command, address, count, [0x80]))
        write("eeprom_reply", "write-" + name + "-echo",
              eeprom(command, address, count, data_reply(count)))
    for command, name in NAMES.items():
        for status in (0x81, 0x82, 0x83, 0x84, 0x00, 0x7F, 0xFF):
            write("eeprom_reply", f"{name}-status-{status:02x}",
                  eeprom(command, 10, 8, data_reply(8, status)))
        write("eeprom_reply", name + "-hang-up", eeprom(command, 10, 8, []))
        write("eeprom_reply", name + "-hang-up-data-only", eeprom(command, 10, 8, [], DATA_ONLY))
        write("eeprom_reply", name + "-count-0", eeprom(command, 10, 0, data_reply(8)))
        limit = {READ_SHORT: 63, READ_LONG: 63, WRITE_SHORT: 61, WRITE_LONG: 58}[command]
        write("eeprom_reply", name + "-count-over",
              eeprom(command, 10, limit + 1, data_reply(limit + 1)))
        write("eeprom_reply", name + "-count-wide",
              eeprom(command, 10, 0xFFFFFFFF, data_reply(8), WIDE))
        write("eeprom_reply", name + "-count-wide-sign",
              eeprom(command, 10, 0x80000001, data_reply(8), WIDE))
        write("eeprom_reply", name + "-detached", eeprom(command, 10, 8, data_reply(8), DETACHED))
        write("eeprom_reply", name + "-detached-hang-up", eeprom(command, 10, 8, [], DETACHED))


# --- records --------------------------------------------------------------

def sample_blocks(flags, count):
    header = bytes(range(0x5A, 0x5A + 10))
    ortek = bytearray((0x3A + 0x11 * i) & 0xFF for i in range(59))
    block = bytearray((0x57 + 0x11 * i) & 0xFF for i in range(61))
    ortek[4], ortek[5] = flags, count
    block[4], block[5] = flags, count
    return header + bytes(ortek) + bytes(block)


def records_seeds():
    # Flags and counts of the sample cameras, then blocks of all ones and zeros.
    samples = [(0, 0x8B, 0xA8), (1, 0x21, 0x35), (2, 0x05, 7), (3, 0x00, 0),
               (4, 0x40, 6), (5, 0x04, 10), (6, 0x12, 9), (7, 0x00, 12)]
    for kind, flags, count in samples:
        for item in (1, 2, 5, 8):
            for wheel in (0, 1):
                write("records", f"class{kind + 1}-item{item}-wheel{wheel}",
                      bytes([kind | 0x10, item, wheel]) + sample_blocks(flags, count))
    for kind in range(8):
        write("records", f"class{kind + 1}-ones", bytes([kind, 7, 1]) + b"\xff" * 130)
        write("records", f"class{kind + 1}-zeros", bytes([kind, 3, 0]) + b"\x00" * 130)
        write("records", f"class{kind + 1}-count-13",
              bytes([kind, 0]) + struct.pack("<I", 13) + bytes([1]) + sample_blocks(0x83, 0xFF))
        write("records", f"class{kind + 1}-count-261",
              bytes([kind, 0]) + struct.pack("<I", 261) + bytes([0]) +
              sample_blocks(0x00, 0x00))
    for name, link in [("none", 0), ("ortek-and-tamis", 0x082), ("selvo-and-tamis", 0x108),
                       ("all", 0xFFFFFFFF), ("connected-only", 1)]:
        write("records", "flags-" + name,
              bytes([0x08]) + struct.pack("<I", link) + bytes([4, 1]) + sample_blocks(0x55, 0xAA))


# --- registry_value -------------------------------------------------------

def registry_seeds():
    values = {
        "valid": b"dword:0000000a\n", "valid-max": b"dword:ffffffff\n",
        "valid-upper": b"dword:DEADBEEF\n", "seven-digits": b"dword:1234567\n",
        "nine-digits": b"dword:123456789\n", "no-newline": b"dword:00000001",
        "crlf": b"dword:0000001\r\n", "prefix-case": b"DWORD:00000001\n",
        "bad-digit": b"dword:0000000g\n", "sign": b"dword:-0000001\n",
        "space": b"dword: 0000001\n", "nul": b"dword:0000\x00001\n",
        "two-values": b"dword:00000001\ndword:00000002\n", "empty": b"",
        "string": b"sz:hello\n",
    }
    for name, data in values.items():
        write("registry_value", "file-" + name, data)
    names = {
        "permission": b"SYSTEM\\CurrentControlSet\\Services\\ralcamF\\Parameters\nAllowEEPROMWrite\n",
        "window": b"Software\\Varnosti\\pelwin\nWindowX\n",
        "root-key": b"\nValue\n", "no-name": b"Key\n\n", "dot-dot-key": b"..\nv\n",
        "dot-dot-inside": b"a\\..\\b\nv\n", "dot-key": b"a\\.\\b\nv\n",
        "leading-backslash": b"\\a\nv\n", "trailing-backslash": b"a\\\nv\n",
        "double-backslash": b"a\\\\b\nv\n", "slash": b"a/b\nv\n", "absolute": b"/etc\nv\n",
        "dot-name": b"a\n.\n", "dot-dot-name": b"a\n..\n", "slash-name": b"a\n../x\n",
        "name-with-backslash": b"a\nb\\c\n", "temp-like": b"a\n.pelwin-tmp-1-1\n",
        "nul-in-key": b"a\x00b\nv\n", "deep": b"\\".join([b"k"] * 200) + b"\nv\n",
        "name-255": b"a\n" + b"n" * 255 + b"\n", "name-256": b"a\n" + b"n" * 256 + b"\n",
        "key-256": b"k" * 256 + b"\nv\n", "high-bytes": b"\xff\xfe\nv\xc3\xa9\n",
    }
    for name, data in names.items():
        write("registry_value", "names-" + name, data)


# --- version_info ---------------------------------------------------------

STRINGS = [
    ("CompanyName", "Varnosti Instruments"),
    ("FileDescription", "Selvo Camera Filter Wheel Contiguration Tool"),
    ("FileVersion", "3.0.0.0"), ("InternalName", "pelwin"),
    ("LegalCopyright", "Copyright (C) 2026 Varnosti Instruments"),
    ("OriginalFilename", "pelwin.exe"), ("ProductName", "Corvane filter wheel configuration"),
    ("ProductVersion", "3.0.0.0"), ("CodeStyle", "Ansi"),
]


def align4(n):
    return (n + 3) & ~3


def version_block(strings=STRINGS, translation=(0x04E4 << 16) | 0x0409, size_fix=0,
                  count_fix=0):
    body = b""
    for key, value in strings:
        entry = struct.pack("<HH", len(key), len(value)) + key.encode() + b"\0" + \
            value.encode() + b"\0"
        body += entry + b"\0" * (align4(len(entry)) - len(entry))
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, 0x30000, 0, 0x30000, 0, 0x3F, 0,
                        0x40004, 1, 0, 0, 0)
    size = 16 + len(fixed) + len(body)
    header = b"PWV1" + struct.pack("<III", size + size_fix, translation,
                                   len(strings) + count_fix)
    return header + fixed + body


SHSTRTAB = b"\0.shstrtab\0.pelwin_version\0"


def elf(block, shnum=3, shstrndx=1, section_type=1, name_offset=11, zero_count=False,
        xindex=False):
    names_at = 64
    block_at = align4(names_at + len(SHSTRTAB))
    table_at = (block_at + len(block) + 7) & ~7
    ident = b"\x7fELF" + bytes([2, 1, 1]) + b"\0" * 9
    header = ident + struct.pack("<HHIQQQIHHHHHH", 2, 62, 1, 0, 0, table_at, 0, 64, 0, 0, 64,
                                 0 if zero_count else shnum, 0xFFFF if xindex else shstrndx)
    out = bytearray(header + SHSTRTAB)
    out += b"\0" * (block_at - len(out))
    out += block
    out += b"\0" * (table_at - len(out))

    def shdr(name, kind, offset, size, link=0):
        return struct.pack("<IIQQQQIIQQ", name, kind, 0, 0, offset, size, link, 0, 4, 0)
    out += shdr(0, 0, 0, shnum if zero_count else 0, shstrndx if xindex else 0)
    out += shdr(1, 3, names_at, len(SHSTRTAB))
    out += shdr(name_offset, section_type, block_at, len(block))
    return bytes(out)


def version_seeds():
    real = version_block()
    write("version_info", "raw-elf", b"\0" + elf(real))
    write("version_info", "raw-elf-many-sections", b"\0" + elf(real, zero_count=True))
    write("version_info", "raw-elf-xindex", b"\0" + elf(real, xindex=True))
    write("version_info", "raw-elf-nobits", b"\0" + elf(real, section_type=8))
    write("version_info", "raw-elf-name-at-end", b"\0" + elf(real, name_offset=len(SHSTRTAB) - 4))
    write("version_info", "raw-elf-names-index-3", b"\0" + elf(real, shstrndx=3))
    write("version_info", "raw-elf-truncated", b"\0" + elf(real)[:-40])
    write("version_info", "raw-not-elf", b"\0#!/bin/sh\necho pelwin\n")
    write("version_info", "raw-empty", b"\0")
    write("version_info", "block-real", b"\x01" + real)
    write("version_info", "block-real-fixed-up", b"\x02" + real)
    write("version_info", "block-no-strings", b"\x02" + version_block([]))
    write("version_info", "block-count-over", b"\x02" + version_block(count_fix=1))
    write("version_info", "block-count-huge", b"\x02" + version_block(count_fix=0x7FFFFFF0))
    write("version_info", "block-size-over", b"\x01" + version_block(size_fix=4))
    write("version_info", "block-size-under", b"\x01" + version_block(size_fix=-4))
    write("version_info", "block-other-translation",
          b"\x02" + version_block(translation=0x04B00407))
    write("version_info", "block-empty-key-and-value", b"\x02" + version_block([("", "")]))
    write("version_info", "block-long-value", b"\x02" + version_block([("FileVersion", "9" * 300)]))
    unterminated = bytearray(version_block([("FileVersion", "3.0.0.0")]))
    unterminated[68 + 4 + 11] = ord("X")
    write("version_info", "block-key-unterminated", b"\x02" + bytes(unterminated))
    lying = bytearray(version_block([("FileVersion", "3.0.0.0")]))
    lying[68:70] = struct.pack("<H", 0xFFFF)
    write("version_info", "block-key-length-huge", b"\x02" + bytes(lying))
    write("version_info", "block-header-only", b"\x02")


# --- camsim_frame ---------------------------------------------------------

def frame_seeds():
    frames = {
        "read-short": [0x12, 10, 61], "read-short-header": [0x12, 0, 10],
        "read-short-end": [0x12, 0xFF, 1], "read-short-past-end": [0x12, 0xFF, 2],
        "read-short-63": [0x12, 0, 63], "read-short-64": [0x12, 0, 64],
        "read-count-0": [0x12, 0, 0], "read-short-extra-byte": [0x12, 10, 4, 0],
        "read-long": [0x12, 0x80, 0xFF, 0x03, 0x00, 48],
        "read-long-second": [0x12, 0xB0, 0xFF, 0x03, 0x00, 13],
        "read-long-end": [0x12, 0xFF, 0xFF, 0x03, 0x00, 1],
        "read-long-past-end": [0x12, 0x00, 0x00, 0x04, 0x00, 1],
        "read-long-wraps": [0x12, 0xFF, 0xFF, 0xFF, 0xFF, 2],
        "write-short": [0x13, 10, 4, 1, 2, 3, 4],
        "write-short-61": [0x13, 3, 61] + list(range(61)),
        "write-short-62": [0x13, 3, 62] + list(range(61)),
        "write-short-end": [0x13, 0xFC, 4, 9, 9, 9, 9],
        "write-short-past-end": [0x13, 0xFD, 4, 9, 9, 9, 9],
        "write-short-count-mismatch": [0x13, 10, 5, 1, 2, 3, 4],
        "write-long": [0x13, 0x80, 0xFF, 0x03, 0x00, 4, 1, 2, 3, 4],
        "write-long-58": [0x13, 0x80, 0xFF, 0x03, 0x00, 58] + list(range(58)),
        "write-long-wraps": [0x13, 0xFE, 0xFF, 0xFF, 0xFF, 4, 1, 2, 3, 4],
        "write-too-long": [0x13, 0, 62] + list(range(62)),
        "empty": [], "opcode-only-read": [0x12], "opcode-only-write": [0x13],
        "unknown-opcode": [0x14, 10, 4], "status-as-opcode": [0x80, 10, 4],
        "long-unknown": [0x00] * 80, "long-read": [0x12] + [0] * 70,
    }
    for name, frame in frames.items():
        write("camsim_frame", name, frame)


# --- camsim_control -------------------------------------------------------

def control_seeds():
    scripts = {
        "help": "help", "samples": "samples", "status": "status\nstatus extra",
        "plug-unplug": "plug\nplug\nstatus\nunplug\nunplug",
        "plug-named": "plug cam\ndump cam\nunplug cam\nplug clear\nplug x.y-z_1\nstatus",
        "dump": "dump\ndump cam\ndump nosuch\ndump cam extra",
        "faults": "fault refuse 3 0x81\nfault drop 2\nfault short 1 5\nfault corrupt 4\n"
                  "fault delay 10\nstatus\nfault clear",
        "faults-named": "fault cam refuse 1 255\nfault clear clear\nfault clear refuse 1 0x82\n"
                        "fault x.y-z_1 pipe 2 on\nplug x.y-z_1\nfault x.y-z_1 pipe 2 off",
        "pipe": "plug\nfault pipe 0 on\nfault pipe 1 on\nfault pipe 0 off\nfault pipe 3 on\n"
                "fault pipe 1 maybe\nunplug\nfault clear",
        "numbers": "fault refuse 0x 1\nfault refuse 010 0x1FF\nfault short 1 0\nfault short 1 65\n"
                   "fault delay 600001\nfault drop 99999999\nfault drop -1\nfault refuse 1000001 1",
        "log": "log\nlog 1\nlog 0\nlog 0x10\nlog 3000\nlog a b",
        "blank": "\n\n \t\r\n", "control-bytes": "plug\x01\nst\x7fatus\ndump\x1b[2J",
        "unknown": "frobnicate\nfault\nfault cam\nfault cam refuse\nfault refuse 1 2 3",
        "stop": "stop\nstatus", "crlf": "status\r\nplug\r\nunplug\r",
        "long-word": "dump " + "c" * 300, "tabs": "fault\tcam\trefuse\t1\t0x83",
        "image": "image x\nimage\nimage * save\nimage * load \nimage cam save /a b\n"
                 "image nosuch load /x\nimage * copy /x",
    }
    for name, text in scripts.items():
        write("camsim_control", name, text.encode())


def main():
    global OUT
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    OUT = sys.argv[1]
    eeprom_seeds()
    records_seeds()
    registry_seeds()
    version_seeds()
    frame_seeds()
    control_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
