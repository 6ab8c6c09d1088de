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

#endif
