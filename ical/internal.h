// Helpers shared by the engine's source files.
#ifndef ICAL_INTERNAL_H
#define ICAL_INTERNAL_H

#include <cstdint>
#include <cstring>
#include <string_view>

#include "ascii.h"
#include "ical.h"

namespace ical {

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Base-10 integer with an optional sign, reading up to the first non-digit;
// saturates instead of overflowing. end receives the first unread position.
int64_t ParseInt(std::string_view s, size_t* end = nullptr);
int32_t ClampInt32(int64_t v);

// Broken-down date-time read by character position; positions past the
// value's end count as "0". utc is true when the 16th character is "Z".
struct PositionalTime {
    int day, month, year, hour, minute, second;
    bool utc;
};
PositionalTime ReadPositional(std::string_view value);

// DTGetUTC of the fields, minus the zone's offset unless the value is UTC.
// A time that does not exist stays -1.
int32_t ConvertTime(const PositionalTime& t, int zone);

// A duration value ("P1W2DT3H", optionally signed; the sign is not applied).
// None: no "P"; Malformed: a number at the end without its unit.
enum class Duration { None, Malformed, Ok };
Duration ReadDuration(std::string_view value, int32_t& seconds);

// Copies the bytes [p, p + n) into a new NUL-terminated heap block (malloc).
char* CopyText(const char* p, size_t n);

// Append one attendee / the periods of one FREEBUSY line at *tail; return
// the new tail (null when the attendee could not be allocated).
ICalAttendee** ParseAttendeeAt(ICalAttendee** tail, const char* rest);
ICalPeriod** ParseFreeBusyAt(ICalPeriod** tail, const char* rest);

} // namespace ical

#endif
