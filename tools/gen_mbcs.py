#!/usr/bin/env python3
"""Generate the double-byte character tables of the stream library.

Reads glibc's charmaps (/usr/share/i18n/charmaps/*.gz) and writes
streams/generated/mbcs_tables.h with, for each table:

  k<T>Rows[]    row (lead) -> index of the row in k<T>Decode, 0xFF for a row
                the codecs do not consult (its pairs are dropped)
  k<T>Decode[]  the consulted rows: column -> code point, 0xFFFD if empty
  k<T>Blocks[]  encode, one word per block of 16 code points: the mask of
                the code points present (low 16 bits) and the index in
                k<T>Codes of the block's first one (high 16 bits)
  k<T>Codes[]   the codes, in code point order

Tables of 94 x 94 use the 7-bit form (row and column from 0x21); Big5 rows
are its lead bytes from 0xA1 with 157 columns (trails 0x40-0x7E, 0xA1-0xFE).
The encode side holds only characters of the consulted rows whose code
points lie in the encodable ranges; everything else is unmappable.

The build never runs this script; rerun it by hand and commit the result:
    python3 tools/gen_mbcs.py [--charmaps DIR] [--out FILE]
"""
import argparse
import gzip
import os
import re
import sys

EMPTY = 0xFFFD

# Code points the encoders know; others are unmappable whatever the table.
ENCODABLE = [(0x0080, 0x045F), (0x2000, 0x266F), (0x3000, 0x33FF), (0x4E00, 0x9FAF),
             (0xAC00, 0xD7A3), (0xF900, 0xFA2D), (0xFE00, 0xFFEF)]


def spans(*pairs):
    rows = set()
    for lo, hi in pairs:
        rows.update(range(lo, hi + 1))
    return rows


# (identifier, charmap, byte prefix of the table's codes in the charmap,
#  consulted 7-bit rows, code marker bits for the combined CNS encode table)
TABLES = [
    ("JIS0208", "EUC-JP", b"", spans((0x21, 0x28), (0x30, 0x74))),
    ("KSC5601", "EUC-KR", b"", spans((0x21, 0x2C), (0x30, 0x48), (0x4A, 0x7D))),
    ("GB2312", "GB2312", b"", spans((0x21, 0x29), (0x30, 0x77))),
    ("CNS1", "EUC-TW", b"", spans((0x21, 0x26), (0x42, 0x42), (0x44, 0x7D))),
    ("CNS2", "EUC-TW", b"\x8e\xa2", spans((0x21, 0x7E))),
    ("CNS3", "EUC-TW", b"\x8e\xa3", spans((0x21, 0x7E))),
]
BIG5_LEADS = spans((0xA1, 0xC7), (0xC9, 0xF9))
BIG5_TRAILS = list(range(0x40, 0x7F)) + list(range(0xA1, 0xFF))

# CNS 11643 planes share one encode table; the plane rides in bits the 7-bit
# form leaves free (plane 1 none). A character in two planes keeps the lower.
CNS_MARK = {"CNS1": 0x0000, "CNS2": 0x8000, "CNS3": 0x0080}

LINE = re.compile(r"^<U([0-9A-Fa-f]{4,8})>\s+((?:/x[0-9A-Fa-f]{2})+)\s")


def read_charmap(path):
    """bytes -> code point for the single-code-point entries, and the codes
    that glibc marks as decode-only (a character also found elsewhere)."""
    mapping = {}
    one_way = set()
    in_map = False
    with gzip.open(path, "rt", encoding="latin-1") as f:
        for raw in f:
            if raw.startswith("CHARMAP"):
                in_map = True
                continue
            if raw.startswith("END CHARMAP"):
                break
            line = raw
            irreversible = line.startswith("%IRREVERSIBLE%")
            if irreversible:
                line = line[len("%IRREVERSIBLE%"):]
            m = LINE.match(line) if in_map else None
            if m:
                code = bytes(int(x, 16) for x in m.group(2).split("/x")[1:])
                if code not in mapping:
                    mapping[code] = int(m.group(1), 16)
                    if irreversible:
                        one_way.add(code)
    return mapping, one_way


def bmp(cp):
    return cp if cp <= 0xFFFF else EMPTY


def build_94(charmap, prefix, rows):
    """Consulted rows of a 94 x 94 table from its 8-bit (EUC) codes, and the
    positions (row, col) of glibc's decode-only entries."""
    mapping, one_way = charmap
    row_index = [0xFF] * 94
    decode = []
    skip = set()
    for r in sorted(rows):
        row_index[r - 0x21] = len(decode)
        codes = [prefix + bytes([r | 0x80, c | 0x80]) for c in range(0x21, 0x7F)]
        decode.append([bmp(mapping.get(code, EMPTY)) for code in codes])
        skip.update((r, c + 0x21) for c, code in enumerate(codes) if code in one_way)
    return row_index, decode, skip


def build_big5(charmap):
    mapping, one_way = charmap
    row_index = [0xFF] * 89
    decode = []
    skip = set()
    for lead in sorted(BIG5_LEADS):
        row_index[lead - 0xA1] = len(decode)
        decode.append([bmp(mapping.get(bytes([lead, t]), EMPTY)) for t in BIG5_TRAILS])
        skip.update((lead, t) for t in BIG5_TRAILS if bytes([lead, t]) in one_way)
    return row_index, decode, skip


def encodable(cp):
    return any(lo <= cp <= hi for lo, hi in ENCODABLE)


def invert(entries, skip, inverse):
    """entries: (code, position, code point) in code order. A character found
    twice encodes to its first code that glibc also encodes to."""
    for one_way in (False, True):
        for code, pos, cp in entries:
            if cp != EMPTY and encodable(cp) and (pos in skip) == one_way:
                inverse.setdefault(cp, code)


def inverse_94(row_index, decode, skip, mark, inverse):
    entries = []
    for r in range(94):
        if row_index[r] != 0xFF:
            for c, cp in enumerate(decode[row_index[r]]):
                entries.append(((((r + 0x21) << 8) | (c + 0x21)) | mark, (r + 0x21, c + 0x21), cp))
    invert(entries, skip, inverse)


def inverse_big5(row_index, decode, skip):
    entries = []
    for lead in range(0xA1, 0xFA):
        if row_index[lead - 0xA1] != 0xFF:
            for k, cp in enumerate(decode[row_index[lead - 0xA1]]):
                trail = BIG5_TRAILS[k]
                entries.append(((lead << 8) | trail, (lead, trail), cp))
    inverse = {}
    invert(entries, skip, inverse)
    return inverse


def block_mask(inverse):
    """One word per 16 code points: presence mask and first code's index."""
    blocks = [0] * 4096
    codes = []
    for b in range(4096):
        mask = 0
        first = len(codes)
        for k in range(16):
            cp = b * 16 + k
            if cp in inverse:
                mask |= 1 << k
                codes.append(inverse[cp])
        if mask:
            blocks[b] = mask | (first << 16)
    if len(codes) > 0xFFFF:
        sys.exit("too many codes for 16-bit block indexes")
    return blocks, codes


def rows(values, width, fmt):
    out = []
    for i in range(0, len(values), width):
        out.append("    " + ", ".join(fmt(v) for v in values[i:i + width]) + ",")
    return out


def hex4(v):
    return "0x%04X" % v


def word(v):
    return "0x%08X" % v if v else "0"


def emit_decode(parts, ident, row_index, decode, width):
    parts.append(f"inline constexpr uint8_t k{ident}Rows[{len(row_index)}] = {{")
    parts += rows(row_index, 16, lambda v: "0x%02X" % v)
    parts.append("};")
    parts.append(f"inline constexpr uint16_t k{ident}Decode[{len(decode)}][{width}] = {{")
    for r in decode:
        parts.append("  {")
        parts += rows(r, 12, hex4)
        parts.append("  },")
    parts.append("};")


def emit_encode(parts, ident, inverse):
    blocks, codes = block_mask(inverse)
    parts.append(f"inline constexpr uint32_t k{ident}Blocks[4096] = {{")
    parts += rows(blocks, 8, word)
    parts.append("};")
    parts.append(f"inline constexpr uint16_t k{ident}Codes[{len(codes)}] = {{")
    parts += rows(codes, 12, hex4)
    parts.append("};")


HEADER = [
    "// Generated by tools/gen_mbcs.py from glibc's charmaps; do not edit.",
    "// Decode: k<T>Rows maps a row to its index in k<T>Decode (0xFF: not",
    "// consulted); an entry is a code point, 0xFFFD where empty. Encode: bit",
    "// cp & 15 of the low half of k<T>Blocks[cp >> 4] marks cp present; its",
    "// code is k<T>Codes[high half + mask bits set below that bit].",
    "#pragma once",
    "#include <cstdint>",
    "",
    "namespace lw::mbcs {",
    "",
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--charmaps", default="/usr/share/i18n/charmaps")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "..", "streams", "generated",
                                                  "mbcs_tables.h"))
    args = ap.parse_args()
    cache = {}

    def charmap(name):
        if name not in cache:
            cache[name] = read_charmap(os.path.join(args.charmaps, name + ".gz"))
        return cache[name]

    parts = list(HEADER)
    cns = {}
    for ident, cmap, prefix, consulted in TABLES:
        row_index, decode, skip = build_94(charmap(cmap), prefix, consulted)
        parts.append(f"// {ident} (from {cmap})")
        emit_decode(parts, ident, row_index, decode, 94)
        if ident in CNS_MARK:
            inverse_94(row_index, decode, skip, CNS_MARK[ident], cns)
        else:
            inverse = {}
            inverse_94(row_index, decode, skip, 0, inverse)
            emit_encode(parts, ident, inverse)
        parts.append("")
    parts.append("// CNS 11643 planes 1-3 (0x8000 marks plane 2, 0x0080 plane 3)")
    emit_encode(parts, "CNS", cns)
    parts.append("")
    row_index, decode, skip = build_big5(charmap("BIG5"))
    parts.append("// BIG5 (from BIG5)")
    emit_decode(parts, "BIG5", row_index, decode, 157)
    emit_encode(parts, "BIG5", inverse_big5(row_index, decode, skip))
    parts.append("")
    parts.append("} // namespace lw::mbcs")
    parts.append("")
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(parts))


if __name__ == "__main__":
    main()
