#include "ascii.h"

namespace arbor {

std::string Lower(std::string_view s) {
    std::string r(s);
    LowerInPlace(r);
    return r;
}

std::string Upper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = AsciiUpper(c);
    return r;
}

void LowerInPlace(std::string& s) {
    for (char& c : s)
        c = AsciiLower(c);
}

void UpperInPlace(char* s) {
    for (; *s != '\0'; ++s)
        *s = AsciiUpper(*s);
}

} // namespace arbor
