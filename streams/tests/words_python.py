#!/usr/bin/env python3
"""Decodes each header line of the corpus with the standard library's
email.header.decode_header, joined and converted to UTF-8, and prints it in
hex, one line per entry ("!" and the exception's name when Python fails).

Two rules bring Python's result to the shape of our scanner, which decodes
words in place and leaves all other text as it is: line ends and the white
space that starts a line are kept (decode_header joins lines and strips
that space), and white space between two adjacent words is kept (decode_header
drops it). Each line is therefore decoded piece by piece, split at those
places."""
import re
import sys
from email.header import decode_header

BETWEEN_WORDS = re.compile(r'(?<=\?=)([ \t]+)(?==\?)')


def unescape(s):
    return re.sub(r'\\(.)', lambda m: {'r': '\r', 'n': '\n', 't': '\t'}.get(m.group(1), m.group(1)), s)


def decode_piece(piece):
    out = ''
    for part, charset in decode_header(piece):
        if isinstance(part, str):
            out += part
        elif charset is None:
            out += part.decode('raw-unicode-escape')
        else:
            out += part.decode(charset)
    return out


def decode_line(line):
    lead = re.match(r'[ \t]*', line).group(0)
    pieces = BETWEEN_WORDS.split(line[len(lead):])
    return lead + ''.join(p if i % 2 else decode_piece(p) for i, p in enumerate(pieces))


def decode(entry):
    lines = re.split(r'(\r\n|\n)', entry)
    return ''.join(l if i % 2 else decode_line(l) for i, l in enumerate(lines))


def main():
    with open(sys.argv[1], encoding='ascii') as f:
        for raw in f:
            raw = raw.rstrip('\n')
            if not raw or raw.startswith('#'):
                continue
            try:
                print(decode(unescape(raw)).encode('utf-8').hex())
            except Exception as e:  # the test lists the entries Python cannot take
                print('!' + type(e).__name__)


if __name__ == '__main__':
    main()
