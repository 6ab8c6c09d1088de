// Test helpers: parse a text held in a std::string.
#ifndef ICAL_TEST_HELPERS_H
#define ICAL_TEST_HELPERS_H

#include <memory>
#include <string>
#include <vector>

#include "ical.h"

struct ObjectDeleter {
    void operator()(ICalObject* o) const { ICalFree(o); }
};
using Object = std::unique_ptr<ICalObject, ObjectDeleter>;

// Parses text in a buffer of exactly its length (no NUL behind it), so that
// a read past the end shows up under the address sanitizer.
inline Object Parse(const std::string& text) {
    std::unique_ptr<char[]> buf(new char[text.size() ? text.size() : 1]);
    text.copy(buf.get(), text.size());
    return Object(ICalParse(nullptr, buf.get(), text.size()));
}

// Wraps component lines (joined with CR LF) into a calendar.
inline std::string Calendar(const std::vector<std::string>& lines,
                            const std::string& component = "VEVENT") {
    std::string s = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:" + component + "\r\n";
    for (const auto& l : lines)
        s += l + "\r\n";
    s += "END:" + component + "\r\nEND:VCALENDAR\r\n";
    return s;
}

// A VTIMEZONE of two rules (RRULE texts after "RRULE:"), offsets in +hhmm.
inline std::string Zone(const std::string& tzid, const std::string& stdRule,
                        const std::string& dstRule, const std::string& stdOffset = "-0500",
                        const std::string& dstOffset = "-0400",
                        const std::string& stdStart = "16010101T020000",
                        const std::string& dstStart = "16010101T020000") {
    return "BEGIN:VTIMEZONE\r\nTZID:" + tzid + "\r\nBEGIN:STANDARD\r\nDTSTART:" + stdStart +
           "\r\nRRULE:" + stdRule + "\r\nTZOFFSETFROM:" + dstOffset +
           "\r\nTZOFFSETTO:" + stdOffset +
           "\r\nEND:STANDARD\r\nBEGIN:DAYLIGHT\r\nDTSTART:" + dstStart + "\r\nRRULE:" + dstRule +
           "\r\nTZOFFSETFROM:" + stdOffset + "\r\nTZOFFSETTO:" + dstOffset +
           "\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n";
}

#endif
