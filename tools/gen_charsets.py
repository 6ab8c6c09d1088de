#!/usr/bin/env python3
"""Generate the single-byte character-set tables of the stream library.

Reads glibc's charmaps (/usr/share/i18n/charmaps/*.gz), applies the few
deliberate differences from them, and writes streams/generated/sbcs_tables.h:
for every set a 256-entry decode table (byte -> code point, 0xFFFF where the
byte is undefined) and its exact inverse as a two-level encode table
(code point -> byte, 0 where the code point is not in the set).

The build never runs this script; rerun it by hand and commit the result:
    python3 tools/gen_charsets.py [--charmaps DIR] [--out FILE]
"""
import argparse
import gzip
import os
import re
import sys

UNDEF = 0xFFFF

# (C++ identifier, glibc charmap, C1 controls forced at 0x80-0x9F)
SETS = [
    ("ISO_8859_1", "ISO-8859-1", True),
    ("ISO_8859_2", "ISO-8859-2", True),
    ("ISO_8859_3", "ISO-8859-3", True),
    ("ISO_8859_4", "ISO-8859-4", True),
    ("ISO_8859_5", "ISO-8859-5", True),
    ("ISO_8859_6", "ISO-8859-6", True),
    ("ISO_8859_7", "ISO-8859-7", True),
    ("ISO_8859_8", "ISO-8859-8", True),
    ("ISO_8859_9", "ISO-8859-9", True),
    ("ISO_8859_10", "ISO-8859-10", True),
    ("ISO_8859_13", "ISO-8859-13", True),
    ("ISO_8859_14", "ISO-8859-14", True),
    ("ISO_8859_15", "ISO-8859-15", True),
    ("ISO_8859_16", "ISO-8859-16", True),
    ("KOI8_R", "KOI8-R", False),
    ("KOI8_U", "KOI8-U", False),
    ("KOI8_RU", "KOI8-U", False),
    ("CP850", "IBM850", False),
    ("CP866", "IBM866", False),
    ("CP874", "IBM874", False),
    ("CP1250", "CP1250", False),
    ("CP1251", "CP1251", False),
    ("CP1252", "CP1252", False),
    ("CP1253", "CP1253", False),
    ("CP1254", "CP1254", False),
    ("CP1255", "CP1255", False),
    ("CP1256", "CP1256", False),
    ("CP1257", "CP1257", False),
    ("CP1258", "CP1258", False),
    ("CP1133", "IBM1133", True),
    ("VISCII", "VISCII", False),
    ("TIS_620", "TIS-620", False),
]

# Positions below 0x80 that are letters rather than ASCII controls.
LOW_LETTERS = {"VISCII": [0x02, 0x05, 0x06, 0x14, 0x19, 0x1E]}


def overrides(ident, table):
    """Where this library's sets deliberately differ from glibc's charmaps."""
    if ident == "ISO_8859_7":
        # The 1987 edition: no euro, drachma or ypogegrammeni.
        for b in (0xA4, 0xA5, 0xAA):
            table[b] = UNDEF
    elif ident == "KOI8_RU":
        # KOI8-U with the Belarusian short u in both cases.
        table[0xAE] = 0x045E
        table[0xBE] = 0x040E
    elif ident == "TIS_620":
        # 0x80-0xA0 are not part of the set; 0xDB continues the Thai block.
        for b in range(0x80, 0xA1):
            table[b] = UNDEF
        table[0xDB] = 0x0E3B


LINE = re.compile(r"^<U([0-9A-Fa-f]{4,8})>(?:\.\.<U([0-9A-Fa-f]{4,8})>)?\s+((?:/x[0-9A-Fa-f]{2})+)\s")


def read_charmap(path):
    """byte -> code point for the single-byte, single-code-point entries."""
    mapping = {}
    in_map = False
    with gzip.open(path, "rt", encoding="latin-1") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith("CHARMAP"):
                in_map = True
                continue
            if line.startswith("END CHARMAP"):
                break
            if not in_map:
                continue
            m = LINE.match(line + " ")
            if not m:
                continue
            octets = [int(x, 16) for x in m.group(3).split("/x")[1:]]
            if len(octets) != 1:
                continue
            first = int(m.group(1), 16)
            last = int(m.group(2), 16) if m.group(2) else first
            for i, cp in enumerate(range(first, last + 1)):
                b = octets[0] + i
                if b < 256 and b not in mapping:
                    mapping[b] = cp
    return mapping


def build_decode(ident, charmap, c1):
    table = [UNDEF] * 256
    for b in range(0x80):
        table[b] = b
    for b in LOW_LETTERS.get(ident, []):
        table[b] = charmap[b]
    for b in range(0x80, 0x100):
        cp = charmap.get(b, UNDEF)
        if cp > 0xFFFF:
            sys.exit(f"{ident}: byte {b:#x} maps beyond the BMP")
        table[b] = cp
    if c1:
        for b in range(0x80, 0xA0):
            table[b] = b
    overrides(ident, table)
    return table


def build_encode(ident, decode):
    """Exact inverse of the decode table, as 256 page indexes and the pages."""
    inverse = {}
    for b, cp in enumerate(decode):
        if cp == UNDEF:
            continue
        if cp in inverse:
            sys.exit(f"{ident}: code point {cp:#x} appears twice; no exact inverse")
        inverse[cp] = b
    pages = [[0] * 256]  # page 0 stays empty
    index = [0] * 256
    for cp in sorted(inverse):
        hi = cp >> 8
        if index[hi] == 0:
            index[hi] = len(pages)
            pages.append([0] * 256)
        pages[index[hi]][cp & 0xFF] = inverse[cp]
    if len(pages) > 256:
        sys.exit(f"{ident}: too many pages")
    return index, pages


def rows(values, width, fmt):
    out = []
    for i in range(0, len(values), width):
        out.append("    " + ", ".join(fmt.format(v) for v in values[i:i + width]) + ",")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--charmaps", default="/usr/share/i18n/charmaps")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "..", "streams", "generated", "sbcs_tables.h"))
    args = ap.parse_args()

    parts = [
        "// Generated by tools/gen_charsets.py from glibc's charmaps; do not edit.",
        "// Decode: byte -> code point (0xFFFF undefined). Encode: exact inverse,",
        "// Pages[Index[cp >> 8]][cp & 0xFF] -> byte (0 not in the set).",
        "#pragma once",
        "#include <cstdint>",
        "",
        "namespace lw::sbcs {",
        "",
    ]
    for ident, cmap, c1 in SETS:
        charmap = read_charmap(os.path.join(args.charmaps, cmap + ".gz"))
        decode = build_decode(ident, charmap, c1)
        index, pages = build_encode(ident, decode)
        parts.append(f"// {ident} (from {cmap})")
        parts.append(f"inline constexpr uint16_t k{ident}Decode[256] = {{")
        parts.append(rows(decode, 8, "0x{:04X}"))
        parts.append("};")
        parts.append(f"inline constexpr uint8_t k{ident}Index[256] = {{")
        parts.append(rows(index, 16, "{}"))
        parts.append("};")
        parts.append(f"inline constexpr uint8_t k{ident}Pages[{len(pages)}][256] = {{")
        for p in pages:
            parts.append("  {")
            parts.append(rows(p, 16, "0x{:02X}"))
            parts.append("  },")
        parts.append("};")
        parts.append("")
    parts.append("} // namespace lw::sbcs")
    parts.append("")
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(parts))


if __name__ == "__main__":
    main()
