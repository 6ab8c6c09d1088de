// Keyword comparison, the parameter/value tokenizer, positional date-time
// reading and the duration/period reader.
#include <climits>
#include <cstdlib>

#include "internal.h"
#include "msgsrv.h"

namespace ical {

int64_t ParseInt(std::string_view s, size_t* end) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t v = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i)
        if (v < (int64_t(1) << 40)) v = v * 10 + (s[i] - '0');
    if (end) *end = i;
    return negative ? -v : v;
}

int32_t ClampInt32(int64_t v) {
    return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

PositionalTime ReadPositional(std::string_view v) {
    // Digits are not validated: a non-digit contributes its code minus "0".
    auto digit = [&](size_t i) { return i < v.size() ? v[i] - '0' : 0; };
    auto two = [&](size_t i) { return digit(i) * 10 + digit(i + 1); };
    PositionalTime t{};
    t.year = digit(0) * 1000 + digit(1) * 100 + digit(2) * 10 + digit(3);
    t.month = two(4);
    t.day = two(6);
    if (v.size() > 8 && v[8] == 'T') {
        t.hour = two(9);
        t.minute = two(11);
        t.second = two(13);
    }
    t.utc = v.size() > 15 && v[15] == 'Z';
    return t;
}

int32_t ConvertTime(const PositionalTime& t, int zone) {
    const int32_t utc = DTGetUTC(t.day, t.month, t.year, t.hour, t.minute, t.second);
    if (utc == -1 || t.utc) return utc;
    const int32_t offset = DTGetUTCOffsetByDate(zone, t.day, t.month, t.year, t.hour);
    // Unsigned: times are unsigned 32-bit seconds.
    return static_cast<int32_t>(static_cast<uint32_t>(utc) - static_cast<uint32_t>(offset));
}

Duration ReadDuration(std::string_view e, int32_t& seconds) {
    seconds = 0;
    size_t i = 0;
    if (i < e.size() && (e[i] == '+' || e[i] == '-')) ++i; // the sign is not applied
    if (i >= e.size() || e[i] != 'P') return Duration::None;
    ++i;
    int64_t total = 0;
    while (i < e.size()) {
        int64_t n = 0;
        while (i < e.size() && IsDigit(e[i])) {
            if (n < (int64_t(1) << 32)) n = n * 10 + (e[i] - '0');
            ++i;
        }
        // A number without its unit: no telling what was meant.
        if (i >= e.size()) return Duration::Malformed;
        const char unit = e[i++];
        const int64_t mult = unit == 'W'   ? 604800
                             : unit == 'D' ? 86400
                             : unit == 'H' ? 3600
                             : unit == 'M' ? 60
                                           : 1;
        total += n * mult;
        if (total > INT32_MAX) total = INT32_MAX;
    }
    seconds = static_cast<int32_t>(total);
    return Duration::Ok;
}

char* CopyText(const char* p, size_t n) {
    char* s = static_cast<char*>(std::malloc(n + 1));
    if (!s) return nullptr;
    std::memcpy(s, p, n);
    s[n] = '\0';
    return s;
}

} // namespace ical

extern "C" {

int ICalEqual(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return arbor::EqualNoCase(a, b);
}

int ICalEqualN(const char* a, const char* b, size_t n) {
    if (!a || !b) return a == b;
    return arbor::EqualNoCaseN(a, b, n);
}

const char* ICalNextToken(int* isValue, char* out, const char* in) {
    if (!in || !*in) return nullptr;
    out[0] = '\0';
    if (*in == ';') {
        *isValue = 0;
        ++in;
    } else if (*in == ':') {
        *isValue = 1;
        ++in;
    }
    bool quoted = false;
    char* w = out;
    for (;;) {
        // Bulk-copy the run of ordinary bytes up to the next byte that
        // matters; ";" and ":" only end a parameter outside quotes.
        const size_t run = std::strcspn(in, quoted || *isValue ? "\"\\" : "\"\\;:");
        std::memcpy(w, in, run);
        w += run;
        in += run;
        const char c = *in;
        if (c == '\0') break;
        if (c == '"') {
            quoted = !quoted;
            ++in;
            continue;
        }
        if (c == ';' || c == ':') {
            if (!quoted && !*isValue) break;
            *w++ = c;
            ++in;
            continue;
        }
        // Backslash.
        const char n = in[1];
        if (n == 'N' || n == 'n') {
            *w++ = '\n';
            in += 2;
        } else if (n == ':' || n == ';' || n == '\\') {
            *w++ = n;
            in += 2;
        } else {
            ++in; // any other escape: drop the backslash, handle what follows
        }
    }
    *w = '\0';
    return in;
}

const char* ICalParsePeriod(ICalPeriod* period, int32_t* seconds, const char* text) {
    *seconds = 0;
    if (!text) return nullptr;
    // The element runs to the next comma; nothing beyond it is read.
    const char* comma = std::strchr(text, ',');
    const std::string_view e(text, comma ? size_t(comma - text) : std::strlen(text));
    const char* next = comma ? comma + 1 : nullptr;
    size_t i = 0;
    if (!e.empty() && ical::IsDigit(e[0])) {
        if (period && e.size() > 15 && e[15] == 'Z') {
            const ical::PositionalTime t = ical::ReadPositional(e);
            period->Day = t.day;
            period->Month = t.month;
            period->Year = t.year;
            period->Hour = t.hour;
            period->Minute = t.minute;
            period->Second = t.second;
            period->UTC = DTGetUTC(t.day, t.month, t.year, t.hour, t.minute, t.second);
        }
        if (e.size() <= 16 || e[16] != '/') return next;
        i = 17;
    }
    int32_t seconds32 = 0;
    switch (ical::ReadDuration(e.substr(i), seconds32)) {
    case ical::Duration::None:
        return nullptr;
    case ical::Duration::Malformed:
        return next; // no length, the list goes on
    case ical::Duration::Ok:
        *seconds = seconds32;
        return next;
    }
    return next;
}

} // extern "C"
