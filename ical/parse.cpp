// The parser: unfolding, line dispatch by component state, property
// handlers, time-zone blocks, and the release of a parsed object.
#include <climits>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "internal.h"
#include "msgsrv.h"

namespace {

using ical::ClampInt32;
using ical::ParseInt;

// The value token of a property's rest, in a new heap block, or null when
// the rest has no value (no ":").
char* ValueOf(const char* rest) {
    const size_t n = std::strlen(rest);
    char* buf = static_cast<char*>(std::malloc(n + 1));
    if (!buf) return nullptr;
    int isValue = 0;
    for (const char* p = rest; (p = ICalNextToken(&isValue, buf, p));)
        if (isValue) return buf;
    std::free(buf);
    return nullptr;
}

void SetText(char*& field, const char* rest) {
    if (char* v = ValueOf(rest)) {
        std::free(field);
        field = v;
    }
}

template <typename T> void SetInt(T& field, const char* rest) {
    if (char* v = ValueOf(rest)) {
        const int64_t n = ParseInt(v);
        if constexpr (std::is_unsigned_v<T>) {
            // A sign is allowed: "-1" wraps like the 32-bit word it is.
            const int64_t c = n < INT32_MIN ? INT32_MIN : n > int64_t(UINT32_MAX) ? UINT32_MAX : n;
            field = static_cast<T>(static_cast<uint32_t>(c));
        } else
            field = ClampInt32(n);
        std::free(v);
    }
}

int32_t Diff(int32_t a, int32_t b) {
    const int64_t d = int64_t(uint32_t(a)) - int64_t(uint32_t(b));
    return ClampInt32(d);
}

class Parser {
  public:
    explicit Parser(ICalObject* o) : obj_(o) {}
    void Line(char* line);

  private:
    void Outside(char* line);
    void TimeZoneLine(const char* line);
    void Component(char* line);
    enum class Target { Start, End, Stamp, Completed, RecurrenceId };
    void DateTime(Target which, const char* rest);

    ICalObject* obj_;
    int state_ = 0;
    int alarmReturn_ = 0;
    ICalTimeZone* zone_ = nullptr; // the block being read in state 1
    // Tails of the lists the parser appends to (the object is its own).
    ICalAttendee** attendeeTail_ = &obj_->Attendees;
    ICalPeriod** periodTail_ = &obj_->FreeBusy;
    ICalTimeZone** zoneTail_ = &obj_->TimeZones;
};

bool Starts(const char* line, const char* name, size_t n) {
    return ical::EqualN(line, name, n);
}
#define STARTS(line, lit) Starts(line, lit, sizeof(lit) - 1)

void Parser::Line(char* line) {
    switch (state_) {
    case 0:
        Outside(line);
        break;
    case 1:
        TimeZoneLine(line);
        break;
    case 2:
    case 3:
        Component(line);
        break;
    case 4:
        if (STARTS(line, "PERCENT-COMPLETE"))
            SetInt(obj_->PercentComplete, line + 16);
        else if (STARTS(line, "COMPLETED"))
            DateTime(Target::Completed, line + 9);
        else
            Component(line);
        break;
    case 5:
        if (ical::Equal(line, "END:VALARM")) state_ = alarmReturn_;
        break;
    }
}

void Parser::Outside(char* line) {
    if (ical::Equal(line, "BEGIN:VTIMEZONE")) {
        auto* z = static_cast<ICalTimeZone*>(std::calloc(1, sizeof(ICalTimeZone)));
        if (z) {
            *zoneTail_ = z;
            zoneTail_ = &z->Next;
        }
        zone_ = z; // without memory the block is read and dropped
        state_ = 1;
    } else if (ical::Equal(line, "BEGIN:VEVENT")) {
        obj_->Kind = ICAL_KIND_EVENT;
        state_ = 2;
    } else if (ical::Equal(line, "BEGIN:VTODO")) {
        obj_->Kind = ICAL_KIND_TODO;
        state_ = 4;
    } else if (ical::Equal(line, "BEGIN:VJOURNAL")) {
        obj_->Kind = ICAL_KIND_JOURNAL;
        state_ = 3;
    } else if (STARTS(line, "METHOD:")) {
        const char* m = line + 7;
        if (ical::Equal(m, "REQUEST"))
            obj_->Method = ICAL_METHOD_REQUEST;
        else if (ical::Equal(m, "REPLY"))
            obj_->Method = ICAL_METHOD_REPLY;
        else if (ical::Equal(m, "CANCEL"))
            obj_->Method = ICAL_METHOD_CANCEL;
    }
}

// Offset "+hhmm" / "-hhmm" in minutes.
int ReadOffset(const char* v) {
    int sign = 1;
    if (*v == '+' || *v == '-') sign = *v++ == '-' ? -1 : 1;
    const std::string_view s(v, std::strlen(v));
    auto digit = [&](size_t i) { return i < s.size() ? s[i] - '0' : 0; };
    return sign * ((digit(0) * 10 + digit(1)) * 60 + digit(2) * 10 + digit(3));
}

void Parser::TimeZoneLine(const char* line) {
    ICalTimeZone* z = zone_;
    if (ical::Equal(line, "END:VTIMEZONE")) {
        if (z)
            z->ZoneId =
                DTGetTimezoneID(z->StdWeek, z->StdWeekday, z->StdMonth, z->StdHour, z->DstWeek,
                                z->DstWeekday, z->DstMonth, z->DstHour, z->StdOffset, z->DstOffset);
        zone_ = nullptr;
        state_ = 0;
        return;
    }
    if (!z) return;
    if (STARTS(line, "BEGIN:STANDARD")) {
        z->Section = 1;
    } else if (STARTS(line, "BEGIN:DAYLIGHT")) {
        z->Section = 2;
    } else if (STARTS(line, "RRULE:")) {
        const bool dst = z->Section == 2;
        const std::string_view rule(line + 6);
        if (size_t at = rule.find("BYDAY="); at != std::string_view::npos) {
            std::string_view v = rule.substr(at + 6);
            v = v.substr(0, v.find(';'));
            size_t end = 0;
            const int week = ClampInt32(ParseInt(v, &end));
            while (end < v.size() && (ical::IsDigit(v[end]) || v[end] == '+' || v[end] == '-'))
                ++end;
            const std::string_view code = v.substr(end);
            static constexpr const char* kDays[] = {"MO", "TU", "WE", "TH", "FR", "SA"};
            int& weekday = dst ? z->DstWeekday : z->StdWeekday;
            for (int i = 0; i < 6; ++i)
                if (code.size() == 2 && ical::EqualN(code.data(), kDays[i], 2)) weekday = i + 1;
            (dst ? z->DstWeek : z->StdWeek) = week;
        }
        if (size_t at = rule.find("BYMONTH="); at != std::string_view::npos)
            (dst ? z->DstMonth : z->StdMonth) = ClampInt32(ParseInt(rule.substr(at + 8)));
    } else if (STARTS(line, "DTSTART")) {
        const size_t n = std::strlen(line);
        if (n > 16 && line[16] == 'T') {
            auto digit = [&](size_t i) { return i < n ? line[i] - '0' : 0; };
            (z->Section == 1 ? z->StdHour : z->DstHour) = digit(17) * 10 + digit(18);
        }
    } else if (STARTS(line, "TZOFFSETTO:")) {
        (z->Section == 1 ? z->StdOffset : z->DstOffset) = ReadOffset(line + 11);
    } else if (STARTS(line, "TZID:")) {
        SetText(z->TZID, line + 4);
    }
}

void Parser::Component(char* line) {
    ICalObject* o = obj_;
    // Every test is a prefix of the line, so only the tests that begin with
    // the line's first letter can match; their order is kept.
    switch (line[0] | 0x20) {
    case 'e':
        if (ical::Equal(line, "END:VEVENT") || ical::Equal(line, "END:VTODO") ||
            ical::Equal(line, "END:VJOURNAL"))
            state_ = 0;
        break;
    case 'b':
        if (ical::Equal(line, "BEGIN:VALARM")) {
            alarmReturn_ = state_;
            state_ = 5;
        }
        break;
    case 'd':
        if (STARTS(line, "DTSTART"))
            DateTime(Target::Start, line + 7);
        else if (STARTS(line, "DTSTAMP"))
            DateTime(Target::Stamp, line + 7);
        else if (STARTS(line, "DTEND"))
            DateTime(Target::End, line + 5);
        else if (STARTS(line, "DUE"))
            DateTime(Target::End, line + 3);
        else if (STARTS(line, "DURATION")) {
            if (char* v = ValueOf(line + 8)) {
                int32_t seconds = 0;
                ICalParsePeriod(nullptr, &seconds, v);
                o->Duration = seconds;
                std::free(v);
            }
        } else if (STARTS(line, "DESCRIPTION"))
            SetText(o->Description, line + 11);
        break;
    case 'r':
        if (STARTS(line, "RECURRENCE-ID"))
            DateTime(Target::RecurrenceId, line + 13);
        else if (STARTS(line, "RRULE:"))
            ICalParseRule(o, line);
        break;
    case 'o':
        if (STARTS(line, "ORGANIZER")) ICalParseOrganizer(o, line + 9);
        break;
    case 'a':
        if (STARTS(line, "ATTENDEE")) {
            if (ICalAttendee** t = ical::ParseAttendeeAt(attendeeTail_, line + 8))
                attendeeTail_ = t;
        }
        break;
    case 's':
        if (STARTS(line, "SUMMARY"))
            SetText(o->Summary, line + 7);
        else if (STARTS(line, "SEQUENCE"))
            SetInt(o->Sequence, line + 8);
        break;
    case 'l':
        if (STARTS(line, "LOCATION")) SetText(o->Location, line + 8);
        break;
    case 'p':
        if (STARTS(line, "PRIORITY")) SetInt(o->Priority, line + 8);
        break;
    case 'u':
        if (STARTS(line, "UID")) SetText(o->UID, line + 3);
        break;
    case 't':
        if (STARTS(line, "TRANSP")) {
            if (char* v = ValueOf(line + 6)) {
                if (ical::Equal(v, "TRANSPARENT")) o->Transparent = 1;
                std::free(v);
            }
        }
        break;
    case 'f':
        if (STARTS(line, "FREEBUSY")) periodTail_ = ical::ParseFreeBusyAt(periodTail_, line + 8);
        break;
    }
}

void Parser::DateTime(Target which, const char* rest) {
    const size_t n = std::strlen(rest);
    char* buf = static_cast<char*>(std::malloc(n + 1));
    if (!buf) return;
    int zone = 0, isValue = 0;
    bool haveValue = false;
    for (const char* p = rest; (p = ICalNextToken(&isValue, buf, p));) {
        if (isValue) {
            haveValue = true;
            break;
        }
        if (STARTS(buf, "TZID=")) {
            zone = 0;
            for (const ICalTimeZone* z = obj_->TimeZones; z; z = z->Next)
                if (z->TZID && ical::Equal(z->TZID, buf + 5)) {
                    zone = z->ZoneId;
                    break;
                }
        }
    }
    if (!haveValue) {
        std::free(buf);
        return;
    }
    const ical::PositionalTime t = ical::ReadPositional(buf);
    std::free(buf);

    ICalObject* o = obj_;
    ICalDateTime* target = which == Target::Start       ? &o->StartTime
                           : which == Target::End       ? &o->EndTime
                           : which == Target::Stamp     ? &o->StampTime
                           : which == Target::Completed ? &o->CompletedTime
                                                        : &o->RecurrenceIdTime;
    *target = ICalDateTime{
        ical::ConvertTime(t, zone), t.day, t.month, t.year, t.hour, t.minute, t.second, zone};

    // Derived end and duration.
    if (which == Target::Start && o->EndTime.UTC == 0) o->EndTime.UTC = o->StartTime.UTC;
    if (which == Target::Stamp && o->StartTime.UTC == 0) o->StartTime = o->StampTime;
    if (o->StartTime.UTC != 0) {
        if (o->EndTime.UTC != o->StartTime.UTC && o->Duration == 0)
            o->Duration = Diff(o->EndTime.UTC, o->StartTime.UTC);
        if (o->EndTime.UTC == 0 && o->Duration != 0)
            o->EndTime.UTC =
                static_cast<int32_t>(uint32_t(o->StartTime.UTC) + uint32_t(o->Duration));
    }
}

ICalObject* ParseBuffer(char* text, size_t length) {
    auto* obj = static_cast<ICalObject*>(std::calloc(1, sizeof(ICalObject)));
    if (!obj) return nullptr;
    char* const end = text + length;
    Parser parser(obj);

    // Unfolding starts at the first CR LF; the text before it is used as it
    // stands.
    char* c = nullptr;
    for (char* p = text; p < end; ++p) {
        p = static_cast<char*>(std::memchr(p, '\r', size_t(end - p)));
        if (!p) break;
        if (p + 1 < end && p[1] == '\n') {
            c = p;
            break;
        }
    }
    char* const rawEnd = c ? c : end;
    char* p = text;
    for (char* lf; (lf = static_cast<char*>(std::memchr(p, '\n', size_t(rawEnd - p))));) {
        *lf = '\0';
        parser.Line(p);
        *lf = '\n';
        p = lf + 1;
    }
    if (!c) {
        if (p < end) {
            // The caller's NUL behind the text is not relied upon.
            std::string last(p, size_t(end - p));
            parser.Line(last.data());
        }
        return obj;
    }

    // From the first CR on, compact in place (CRs dropped, an LF followed by
    // a space dropped with the space) and hand each line to the parser as
    // soon as it is complete: one pass over the text. The write position
    // stays behind the read position, so a line can be NUL-terminated where
    // its LF goes.
    char* line = p;
    char* w = c;
    const char* r = c;
    while (r < end) {
        const char* lf = static_cast<const char*>(std::memchr(r, '\n', size_t(end - r)));
        const char* stop = lf ? lf : end;
        while (r < stop) {
            const char* cr = static_cast<const char*>(std::memchr(r, '\r', size_t(stop - r)));
            const char* run = cr ? cr : stop;
            std::memmove(w, r, size_t(run - r));
            w += run - r;
            r = cr ? cr + 1 : stop;
        }
        if (!lf) break;
        if (lf + 1 < end && lf[1] == ' ') {
            r = lf + 2; // a folded line continues
            continue;
        }
        *w = '\0';
        parser.Line(line);
        *w++ = '\n';
        line = w;
        r = lf + 1;
    }
    *w = '\0'; // inside the buffer: at least the first CR was dropped
    if (line < w) parser.Line(line);
    return obj;
}

} // namespace

extern "C" {

ICalObject* ICalParse(FILE* file, char* text, size_t length) {
    if (length == 0) return nullptr;
    if (text) return ParseBuffer(text, length);
    if (!file || length == SIZE_MAX) return nullptr;
    char* buf = static_cast<char*>(std::malloc(length + 1));
    if (!buf) return nullptr;
    size_t got = 0;
    while (got < length) {
        const size_t want = length - got < 1023 ? length - got : 1023;
        const size_t n = std::fread(buf + got, 1, want, file);
        got += n;
        if (n < want) break; // end of file or read error
    }
    buf[got] = '\0';
    ICalObject* obj =
        got ? ParseBuffer(buf, got) : static_cast<ICalObject*>(std::calloc(1, sizeof(ICalObject)));
    std::free(buf);
    return obj;
}

int ICalFree(ICalObject* object) {
    while (object) {
        ICalObject* next = object->Next;
        for (ICalTimeZone* z = object->TimeZones; z;) {
            ICalTimeZone* n = z->Next;
            std::free(z->TZID);
            std::free(z);
            z = n;
        }
        std::free(object->Recurrence);
        for (ICalAttendee* a = object->Attendees; a;) {
            ICalAttendee* n = a->Next;
            std::free(a);
            a = n;
        }
        for (ICalPeriod* p = object->FreeBusy; p;) {
            ICalPeriod* n = p->Next;
            std::free(p);
            p = n;
        }
        std::free(object->Organizer);
        std::free(object->Summary);
        std::free(object->Description);
        std::free(object->Location);
        std::free(object->UID);
        std::free(object);
        object = next;
    }
    return 1;
}

} // extern "C"
