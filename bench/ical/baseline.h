// The comparison library, behind plain functions so that its header and
// ours never meet in one translation unit.
#ifndef BENCH_ICAL_BASELINE_H
#define BENCH_ICAL_BASELINE_H

#include <cstddef>

namespace baseline {

bool Available();
// Parses a NUL-terminated text and frees the result; returns the number of
// top-level or first-level components seen (to keep the work observable).
int Parse(const char* text);
// Parses the rule and walks its occurrences from start (YYYYMMDDTHHMMSS)
// up to and including lastYear-12-31 23:59:59; returns the count.
int Expand(const char* rule, const char* start, int lastYear);

} // namespace baseline

#endif
