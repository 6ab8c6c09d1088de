#!/usr/bin/env python3
"""Independent recurrence oracle for the engine's tests.

Reads lines "YYYYMMDDTHHMMSS RULE" from standard input and prints, for each,
the local occurrences inside the twelve-year window that starts with the
year of the start, one "YYYYMMDDTHHMMSS" per line, then an empty line."""
import sys
from datetime import datetime

from dateutil.rrule import rrulestr


def main():
    out = []
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        start_text, rule = line.split(" ", 1)
        start = datetime.strptime(start_text, "%Y%m%dT%H%M%S")
        end = datetime(start.year + 11, 12, 31, 23, 59, 59)
        for occurrence in rrulestr(rule, dtstart=start):
            if occurrence > end:
                break
            out.append(occurrence.strftime("%Y%m%dT%H%M%S"))
        out.append("")
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
