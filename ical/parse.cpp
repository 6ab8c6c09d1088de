// The parser: unfolding, line dispatch by component state, property
// handlers, time-zone blocks, and the release of a parsed object.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

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

// Zone records (rule sets held in the date library's registry) one object may
// hold. Real messages carry a few; a text with more is refused whole rather
// than let one sender fill the registry the whole process shares.
constexpr int kMaxZoneRecords = 64;
// STANDARD / DAYLIGHT sub-blocks kept per VTIMEZONE.
constexpr size_t kMaxSubBlocks = 256;

// A date as one comparable number, yyyymmdd.
int64_t DateKey(int64_t year, int64_t month, int64_t day) {
    return year * 10000 + month * 100 + day;
}

// One STANDARD or DAYLIGHT sub-block of a VTIMEZONE.
struct SubBlock {
    bool daylight = false;
    int64_t from = 0;  // DTSTART date
    int64_t until = 0; // UNTIL date of its rule, 0 when none
    int hour = 0, week = 0, weekday = 0, month = 0, offset = 0;
};

// The two rules of a zone record, in ICalTimeZone's order.
struct Rules {
    int stdWeek = 0, stdWeekday = 0, stdMonth = 0, stdHour = 0, stdOffset = 0;
    int dstWeek = 0, dstWeekday = 0, dstMonth = 0, dstHour = 0, dstOffset = 0;
    bool operator==(const Rules&) const = default;
};

Rules RulesOf(const ICalTimeZone& z) {
    return {z.StdWeek, z.StdWeekday, z.StdMonth, z.StdHour, z.StdOffset,
            z.DstWeek, z.DstWeekday, z.DstMonth, z.DstHour, z.DstOffset};
}

void SetRules(ICalTimeZone& z, const Rules& r) {
    z.StdWeek = r.stdWeek, z.StdWeekday = r.stdWeekday, z.StdMonth = r.stdMonth;
    z.StdHour = r.stdHour, z.StdOffset = r.stdOffset;
    z.DstWeek = r.dstWeek, z.DstWeekday = r.dstWeekday, z.DstMonth = r.dstMonth;
    z.DstHour = r.dstHour, z.DstOffset = r.dstOffset;
}

// A VTIMEZONE as read: its record, its sub-blocks, and the records made for
// dates at which other sub-blocks were in force.
struct ZoneBlock {
    ICalTimeZone* record;
    std::vector<SubBlock> subs;
    std::vector<ICalTimeZone*> eras;
    bool skipping = false; // inside a sub-block beyond the limit
};

class Parser {
  public:
    explicit Parser(ICalObject* o) : obj_(o) {}
    void Line(char* line);
    // The text is refused: its zones could not all be registered.
    bool Failed() const { return failed_; }
    // The end of a component (or of the text): its RRULE is expanded from
    // the component's final DTSTART, wherever the rule line stood.
    // Lines are taken in order, so a later bad rule leaves an earlier one.
    void Finish() {
        for (std::string& rule : pendingRules_)
            ICalParseRule(obj_, rule.data());
        pendingRules_.clear();
    }

  private:
    void Outside(char* line);
    void TimeZoneLine(const char* line);
    void Component(char* line);
    enum class Target { Start, End, Stamp, Completed, RecurrenceId };
    void DateTime(Target which, const char* rest);
    void Duration(const char* rest);
    void Transparency(const char* rest);
    void Derive(Target which);
    Rules InForce(const ZoneBlock& b, int64_t date) const;
    int Register(const Rules& r);
    int ZoneFor(ZoneBlock& b, const ical::PositionalTime& t);

    ICalObject* obj_;
    int state_ = 0;
    int alarmReturn_ = 0;
    bool failed_ = false;
    int zoneRecords_ = 0;
    bool startGiven_ = false, endGiven_ = false, durationGiven_ = false;
    std::vector<std::string> pendingRules_;
    std::vector<ZoneBlock> blocks_; // every VTIMEZONE, in order
    ZoneBlock* zone_ = nullptr;     // the block being read in state 1
    // Tails of the lists the parser appends to (the object is its own).
    ICalAttendee** attendeeTail_ = &obj_->Attendees;
    ICalPeriod** periodTail_ = &obj_->FreeBusy;
    ICalTimeZone** zoneTail_ = &obj_->TimeZones;
};

bool Starts(const char* line, const char* name, size_t n) {
    return arbor::EqualNoCaseN(line, name, n);
}
#define STARTS(line, lit) Starts(line, lit, sizeof(lit) - 1)

void Parser::Line(char* line) {
    if (failed_) return;
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
        if (arbor::EqualNoCase(line, "END:VALARM")) state_ = alarmReturn_;
        break;
    }
}

void Parser::Outside(char* line) {
    if (arbor::EqualNoCase(line, "BEGIN:VTIMEZONE")) {
        auto* z = static_cast<ICalTimeZone*>(std::calloc(1, sizeof(ICalTimeZone)));
        zone_ = nullptr; // without memory the block is read and dropped
        if (z) {
            *zoneTail_ = z;
            zoneTail_ = &z->Next;
            blocks_.push_back(ZoneBlock{z, {}, {}});
            zone_ = &blocks_.back();
        }
        state_ = 1;
    } else if (arbor::EqualNoCase(line, "BEGIN:VEVENT")) {
        obj_->Kind = ICAL_KIND_EVENT;
        state_ = 2;
    } else if (arbor::EqualNoCase(line, "BEGIN:VTODO")) {
        obj_->Kind = ICAL_KIND_TODO;
        state_ = 4;
    } else if (arbor::EqualNoCase(line, "BEGIN:VJOURNAL")) {
        obj_->Kind = ICAL_KIND_JOURNAL;
        state_ = 3;
    } else if (STARTS(line, "METHOD:")) {
        const char* m = line + 7;
        if (arbor::EqualNoCase(m, "REQUEST"))
            obj_->Method = ICAL_METHOD_REQUEST;
        else if (arbor::EqualNoCase(m, "REPLY"))
            obj_->Method = ICAL_METHOD_REPLY;
        else if (arbor::EqualNoCase(m, "CANCEL"))
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

// The week of a rule written as a weekday and a run of seven month days
// ("BYDAY=SU;BYMONTHDAY=8,9,10,11,12,13,14" is the second Sunday): 1 to 4
// for days 1-7 .. 22-28, -1 for the month's (or February's) last seven days;
// 0 for any other list.
int WeekOfMonthDays(std::string_view v, int month) {
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    size_t count = 0;
    for (size_t pos = 0; pos <= v.size(); ++count) {
        size_t comma = v.find(',', pos);
        if (comma == std::string_view::npos) comma = v.size();
        const int64_t n = ParseInt(v.substr(pos, comma - pos));
        lo = std::min(lo, n);
        hi = std::max(hi, n);
        pos = comma + 1;
    }
    if (count != 7 || hi - lo != 6) return 0;
    const int len = month >= 1 && month <= 12 ? DTDaysPerMonth[month - 1] : 31;
    if (lo >= 1 && hi == len) return -1;
    if (lo >= 1 && hi <= 28 && lo % 7 == 1) return static_cast<int>(lo / 7 + 1);
    if (hi == -1) return -1;
    return 0;
}

void ReadTransition(SubBlock& b, std::string_view rule) {
    auto part = [&](std::string_view name, std::string_view& value) {
        const size_t at = rule.find(name);
        if (at == std::string_view::npos) return false;
        value = rule.substr(at + name.size());
        value = value.substr(0, value.find(';'));
        return true;
    };
    std::string_view v;
    if (part("BYMONTH=", v)) b.month = ClampInt32(ParseInt(v));
    if (part("BYDAY=", v)) {
        size_t end = 0;
        b.week = ClampInt32(ParseInt(v, &end));
        while (end < v.size() && (ical::IsDigit(v[end]) || v[end] == '+' || v[end] == '-'))
            ++end;
        const std::string_view code = v.substr(end);
        static constexpr const char* kDays[] = {"MO", "TU", "WE", "TH", "FR", "SA"};
        for (int i = 0; i < 6; ++i)
            if (code.size() == 2 && arbor::EqualNoCaseN(code.data(), kDays[i], 2))
                b.weekday = i + 1;
        // A plain weekday limited to seven month days is the week they span.
        if (b.week == 0 && part("BYMONTHDAY=", v)) b.week = WeekOfMonthDays(v, b.month);
    }
    if (part("UNTIL=", v)) {
        const ical::PositionalTime t = ical::ReadPositional(v);
        b.until = DateKey(t.year, t.month, t.day);
    }
}

// The rules in force on a date: of each kind, the sub-block that began last
// on or before it, as long as its rule still has transitions in the date's
// year (UNTIL); failing that the next one to begin (a block written with
// this year's transitions covers the months before them). A kind whose
// every rule ended before the date's year has no rule.
Rules Parser::InForce(const ZoneBlock& b, int64_t date) const {
    const SubBlock* pick[2] = {nullptr, nullptr};
    const int64_t year = date / 10000;
    for (int k = 0; k < 2; ++k) {
        for (const SubBlock& s : b.subs)
            if (s.daylight == (k == 1) && s.from <= date &&
                (s.until == 0 || s.until / 10000 >= year) && (!pick[k] || s.from >= pick[k]->from))
                pick[k] = &s;
        if (!pick[k])
            for (const SubBlock& s : b.subs)
                if (s.daylight == (k == 1) && s.from > date && (!pick[k] || s.from < pick[k]->from))
                    pick[k] = &s;
    }
    Rules r;
    if (const SubBlock* s = pick[0])
        r.stdWeek = s->week, r.stdWeekday = s->weekday, r.stdMonth = s->month, r.stdHour = s->hour,
        r.stdOffset = s->offset;
    if (const SubBlock* s = pick[1])
        r.dstWeek = s->week, r.dstWeekday = s->weekday, r.dstMonth = s->month, r.dstHour = s->hour,
        r.dstOffset = s->offset;
    return r;
}

// A registry identifier for the object to hold, or 0 with the text refused.
int Parser::Register(const Rules& r) {
    if (zoneRecords_ >= kMaxZoneRecords) {
        failed_ = true;
        return 0;
    }
    const int id = DTGetTimezoneID(r.stdWeek, r.stdWeekday, r.stdMonth, r.stdHour, r.dstWeek,
                                   r.dstWeekday, r.dstMonth, r.dstHour, r.stdOffset, r.dstOffset);
    if (id <= 0) {
        failed_ = true;
        return 0;
    }
    ++zoneRecords_;
    return id;
}

// The zone of a local time in a block: the block's record when its rules are
// in force on that date, else a record of the block's TZID with the rules
// that are (appended to TimeZones, so that the object holds and frees it).
int Parser::ZoneFor(ZoneBlock& b, const ical::PositionalTime& t) {
    ICalTimeZone* main = b.record;
    if (main->ZoneId <= 0) return 0; // the block never ended
    const Rules r = InForce(b, DateKey(t.year, t.month, t.day));
    if (r == RulesOf(*main)) return main->ZoneId;
    for (const ICalTimeZone* e : b.eras)
        if (r == RulesOf(*e)) return e->ZoneId;
    auto* e = static_cast<ICalTimeZone*>(std::calloc(1, sizeof(ICalTimeZone)));
    if (!e) return main->ZoneId;
    SetRules(*e, r);
    e->ZoneId = Register(r);
    if (main->TZID) e->TZID = ical::CopyText(main->TZID, std::strlen(main->TZID));
    *zoneTail_ = e;
    zoneTail_ = &e->Next;
    b.eras.push_back(e);
    return e->ZoneId;
}

void Parser::TimeZoneLine(const char* line) {
    ZoneBlock* b = zone_;
    if (arbor::EqualNoCase(line, "END:VTIMEZONE")) {
        if (b) {
            // The record carries the rules in force after the last change the
            // block describes (not merely the last written).
            int64_t latest = INT64_MIN;
            for (const SubBlock& s : b->subs)
                latest =
                    std::max({latest, s.from, s.until ? (s.until / 10000 + 1) * 10000 + 101 : 0});
            const Rules r = InForce(*b, latest);
            SetRules(*b->record, r);
            b->record->ZoneId = Register(r);
        }
        zone_ = nullptr;
        state_ = 0;
        return;
    }
    if (!b) return;
    ICalTimeZone* z = b->record;
    if (STARTS(line, "BEGIN:STANDARD") || STARTS(line, "BEGIN:DAYLIGHT")) {
        z->Section = STARTS(line, "BEGIN:STANDARD") ? 1 : 2;
        b->skipping = b->subs.size() >= kMaxSubBlocks;
        if (!b->skipping) b->subs.push_back(SubBlock{z->Section == 2});
        return;
    }
    if (b->subs.empty() || b->skipping) {
        if (STARTS(line, "TZID:")) SetText(z->TZID, line + 4);
        return;
    }
    SubBlock& sub = b->subs.back();
    if (STARTS(line, "RRULE:")) {
        ReadTransition(sub, line + 6);
    } else if (STARTS(line, "DTSTART")) {
        if (char* v = ValueOf(line + 7)) {
            const ical::PositionalTime t = ical::ReadPositional(v);
            sub.from = DateKey(t.year, t.month, t.day);
            sub.hour = t.hour;
            std::free(v);
        }
    } else if (STARTS(line, "TZOFFSETTO:")) {
        sub.offset = ReadOffset(line + 11);
    } else if (STARTS(line, "TZID:")) {
        SetText(z->TZID, line + 4);
    }
}

void Parser::Component(char* line) {
    ICalObject* o = obj_;
    // Every test is a prefix of the line, so only the tests that begin with
    // the line's first letter can match; their order is kept.
    switch (arbor::AsciiLower(line[0])) {
    case 'e':
        if (arbor::EqualNoCase(line, "END:VEVENT") || arbor::EqualNoCase(line, "END:VTODO") ||
            arbor::EqualNoCase(line, "END:VJOURNAL")) {
            state_ = 0;
            Finish();
        }
        break;
    case 'b':
        if (arbor::EqualNoCase(line, "BEGIN:VALARM")) {
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
        else if (STARTS(line, "DURATION"))
            Duration(line + 8);
        else if (STARTS(line, "DESCRIPTION"))
            SetText(o->Description, line + 11);
        break;
    case 'r':
        if (STARTS(line, "RECURRENCE-ID"))
            DateTime(Target::RecurrenceId, line + 13);
        else if (STARTS(line, "RRULE:"))
            pendingRules_.emplace_back(line); // expanded when the component ends
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
        if (STARTS(line, "TRANSP")) Transparency(line + 6);
        break;
    case 'f':
        if (STARTS(line, "FREEBUSY")) periodTail_ = ical::ParseFreeBusyAt(periodTail_, line + 8);
        break;
    }
}

void Parser::Duration(const char* rest) {
    if (char* v = ValueOf(rest)) {
        // A value that is no duration (such as "PT15", a number without its
        // unit) is refused: the length stays as derived.
        int32_t seconds = 0;
        if (ical::ReadDuration(v, seconds) == ical::Duration::Ok) {
            obj_->Duration = seconds;
            durationGiven_ = true;
        }
        std::free(v);
    }
}

void Parser::Transparency(const char* rest) {
    if (char* v = ValueOf(rest)) {
        if (arbor::EqualNoCase(v, "TRANSPARENT")) obj_->Transparent = 1;
        std::free(v);
    }
}

void Parser::DateTime(Target which, const char* rest) {
    const size_t n = std::strlen(rest);
    char* buf = static_cast<char*>(std::malloc(n + 1));
    if (!buf) return;
    ZoneBlock* block = nullptr;
    int isValue = 0;
    bool haveValue = false;
    for (const char* p = rest; (p = ICalNextToken(&isValue, buf, p));) {
        if (isValue) {
            haveValue = true;
            break;
        }
        if (STARTS(buf, "TZID=")) {
            block = nullptr;
            for (ZoneBlock& b : blocks_)
                if (b.record->TZID && arbor::EqualNoCase(b.record->TZID, buf + 5)) {
                    block = &b;
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
    const int zone = block && !t.utc ? ZoneFor(*block, t) : block ? block->record->ZoneId : 0;

    ICalObject* o = obj_;
    ICalDateTime* target = which == Target::Start       ? &o->StartTime
                           : which == Target::End       ? &o->EndTime
                           : which == Target::Stamp     ? &o->StampTime
                           : which == Target::Completed ? &o->CompletedTime
                                                        : &o->RecurrenceIdTime;
    *target = ICalDateTime{
        ical::ConvertTime(t, zone), t.day, t.month, t.year, t.hour, t.minute, t.second, zone};
    if (which == Target::Start) startGiven_ = true;
    if (which == Target::End) endGiven_ = true;
    Derive(which);
}

// Derived end and duration, after each date-time property. They follow the
// start and end as they are now, so an order such as DTSTAMP, DTSTART, DTEND
// ends with the same values as DTSTART, DTEND, DTSTAMP.
void Parser::Derive(Target which) {
    ICalObject* o = obj_;
    // Without a DTSTART the stamp stands in for the start.
    if (which == Target::Stamp && !startGiven_) o->StartTime = o->StampTime;
    // Without a DTEND or DUE the end follows the start.
    if (which == Target::Start && !endGiven_) o->EndTime.UTC = o->StartTime.UTC;
    if (o->StartTime.UTC == 0) return;
    // A DURATION line is kept as written; otherwise the length is the span
    // from the start to a given end.
    if (!durationGiven_)
        o->Duration = endGiven_ && o->EndTime.UTC != 0 ? Diff(o->EndTime.UTC, o->StartTime.UTC) : 0;
    if (o->EndTime.UTC == 0 && o->Duration != 0)
        o->EndTime.UTC = static_cast<int32_t>(uint32_t(o->StartTime.UTC) + uint32_t(o->Duration));
}

ICalObject* ParseBuffer(char* text, size_t length) {
    auto* obj = static_cast<ICalObject*>(std::calloc(1, sizeof(ICalObject)));
    if (!obj) return nullptr;
    char* const end = text + length;
    Parser parser(obj);
    // A refused text gives no object; the object and what it holds go back.
    auto result = [&]() -> ICalObject* {
        if (!parser.Failed()) parser.Finish();
        if (!parser.Failed()) return obj;
        ICalFree(obj);
        return nullptr;
    };

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
        return result();
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
    return result();
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
            if (z->ZoneId > 0) DTReleaseTimezoneID(z->ZoneId);
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
