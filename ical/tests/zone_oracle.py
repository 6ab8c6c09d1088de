#!/usr/bin/env python3
"""Independent time-zone oracle for the calendar corpus test (zoneinfo and
dateutil, not the engine's rules).

Reads lines from standard input and answers each with one line:
  T ZONE YYYYMMDDTHHMMSS        -> seconds since 1970 of that local time
  R ZONE YYYYMMDDTHHMMSS RULE   -> the rule's occurrences inside the twelve
                                   years that start with the start's year,
                                   as seconds since 1970, space-separated
ZONE is an IANA name or UTC. A local time the zone skips takes the offset
in force before the gap and a repeated one its first occurrence (fold=0)."""
import sys
from datetime import datetime, timezone
from zoneinfo import ZoneInfo

from dateutil.rrule import rrulestr


def main():
    for line in sys.stdin:
        parts = line.rstrip("\n").split(" ", 3)
        kind, zone, local = parts[0], parts[1], parts[2]
        tz = timezone.utc if zone == "UTC" else ZoneInfo(zone)
        start = datetime.strptime(local, "%Y%m%dT%H%M%S").replace(tzinfo=tz)
        if kind == "T":
            print(int(start.timestamp()))
            continue
        end = datetime(start.year + 11, 12, 31, 23, 59, 59, tzinfo=tz)
        out = []
        for occurrence in rrulestr(parts[3], dtstart=start):
            if occurrence > end:
                break
            out.append(str(int(occurrence.timestamp())))
        print(" ".join(out))


if __name__ == "__main__":
    main()
