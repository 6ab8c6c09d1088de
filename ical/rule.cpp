// RRULE expansion into the twelve-year day map and the minute map, and the
// occurrence iterator over them.
//
// Each BY-part is one filter layer: a cell that equals the current level has
// passed every layer so far, and a part promotes the cells it selects from
// the level to level + 1. The order of the layers is fixed.
#include <cstdlib>
#include <string_view>

#include "internal.h"
#include "msgsrv.h"

namespace {

using ical::ClampInt32;
using ical::ParseInt;

constexpr int kYears = ICAL_WINDOW_YEARS;
constexpr int kMonths = kYears * 12;
constexpr uint8_t kNone = ICAL_DAY_CELL_NONE;

int Weekday(int64_t rd) {
    return static_cast<int>(((rd % 7) + 7) % 7);
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
int MonthLength(int y, int m) {
    return DTDaysPerMonth[m - 1] + (m == 2 && IsLeap(y));
}

// The start as the expansion and the iterator use it: a start that is not a
// real date (an RRULE before DTSTART leaves it all zero) is taken as
// 1 January of its year at 00:00, so that every index stays inside the maps.
struct Start {
    int day, month, year, hour, minute, second, zone;
};

Start StartOf(const ICalObject* o) {
    const ICalDateTime& t = o->StartTime;
    Start s{t.Day, t.Month, t.Year, t.Hour, t.Minute, t.Second, t.Zone};
    if (s.year < -100000 || s.year > 100000) s.year = 0;
    if (s.month < 1 || s.month > 12 || s.day < 1 || s.day > MonthLength(s.year, s.month)) {
        s.month = 1;
        s.day = 1;
    }
    if (s.hour < 0 || s.hour > 23) s.hour = 0;
    if (s.minute < 0 || s.minute > 59) s.minute = 0;
    return s;
}

// A comma-separated list of numbers or BYDAY elements.
class List {
  public:
    explicit List(std::string_view v) : v_(v) {}
    bool Next(std::string_view& element) {
        if (pos_ > v_.size()) return false;
        const size_t comma = v_.find(',', pos_);
        const size_t end = comma == std::string_view::npos ? v_.size() : comma;
        element = v_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }

  private:
    std::string_view v_;
    size_t pos_ = 0;
};

// A BYDAY element: optional signed ordinal and a two-letter weekday code.
bool ParseDay(std::string_view e, int& ordinal, int& weekday) {
    size_t end = 0;
    ordinal = ClampInt32(ParseInt(e, &end));
    const std::string_view code = e.substr(end);
    static constexpr std::string_view kCodes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    for (int i = 0; i < 7; ++i)
        if (code == kCodes[i]) {
            weekday = i;
            return true;
        }
    return false;
}

class Expander {
  public:
    Expander(ICalRecurrence* r, const Start& s, std::string_view line);
    void Run();

  private:
    // The value list of a part (cut at the next ";"), if the line has it.
    bool Part(std::string_view name, std::string_view& value) const {
        const size_t at = line_.find(name);
        if (at == std::string_view::npos) return false;
        value = line_.substr(at + name.size());
        value = value.substr(0, value.find(';'));
        return true;
    }
    bool Has(std::string_view name) const { return line_.find(name) != std::string_view::npos; }

    uint8_t* Cell(int yi, int m0, int d0) { return &r_->DayMap[yi][m0][d0]; }
    uint8_t* CellOfFlat(int flat) { return &r_->DayMap[0][0][0] + flat; }
    // Cell of a day number, or null outside the window.
    uint8_t* CellOf(int64_t rd) {
        if (rd < rd0_ || rd > rdEnd_) return nullptr;
        // Walks usually move forward or backward by days or weeks: start
        // from the month of the previous look-up, or from an estimate when
        // far away.
        int k = hint_;
        if (rd < monthRd_[k] - 62 || rd >= monthRd_[k + 1] + 62) {
            k = static_cast<int>((rd - rd0_) * 100 / 3044) - 1;
            if (k < 0) k = 0;
        }
        while (k > 0 && monthRd_[k] > rd)
            --k;
        while (monthRd_[k + 1] <= rd)
            ++k;
        hint_ = k;
        return CellOfFlat(k * 31 + static_cast<int>(rd - monthRd_[k]));
    }
    // Calls f(rd, cell) for rd = first, first + stride, ... up to last (both
    // inside the window), walking the month table instead of searching it.
    template <typename F> void Every(int64_t first, int64_t last, int64_t stride, F f) {
        if (first < rd0_) first += (rd0_ - first + stride - 1) / stride * stride;
        if (last > rdEnd_) last = rdEnd_;
        if (first > last) return;
        CellOf(first);
        int k = hint_;
        int64_t d = first - monthRd_[k];
        for (int64_t rd = first; rd <= last; rd += stride) {
            while (monthRd_[k] + d >= monthRd_[k + 1]) {
                d -= monthRd_[k + 1] - monthRd_[k];
                ++k;
            }
            if (!f(rd, CellOfFlat(k * 31 + static_cast<int>(d)))) return;
            d += stride;
        }
    }
    void Promote(uint8_t* c) {
        if (c && *c == r_->DayLevel) ++*c;
    }
    // A day the current layer counts: it passed every layer so far, whether
    // or not an earlier element of this layer's list already picked it (so
    // "BYDAY=2TU,4TU" counts both ordinals against all the period's Tuesdays).
    bool Counts(const uint8_t* c) const {
        return c && (*c == r_->DayLevel || *c == r_->DayLevel + 1);
    }
    void PromoteMinute(int h, int m) {
        uint8_t& c = r_->MinuteMap[h][m];
        if (c == r_->MinuteLevel) ++c;
    }
    bool YearSelected(int yi) const { return freq_ != ICAL_FREQ_YEARLY || yi % interval_ == 0; }
    template <typename F> void ForSequenceMonths(F f) {
        for (int64_t k = start_.month - 1; k < kMonths; k += interval_)
            f(static_cast<int>(k / 12), static_cast<int>(k % 12));
    }
    // Days [first, last] of a stretch, walked as the ordinal rule says.
    void Ordinal(int64_t first, int64_t last, int64_t step, int ordinal, int weekday);

    void PrepareWindow();
    void ByMonth(std::string_view v);
    void ByWeekNo(std::string_view v);
    void ByYearDay(std::string_view v);
    void ByMonthDay(std::string_view v);
    void ByDay(std::string_view v);
    void BySetPos(std::string_view v);
    void ByHour(std::string_view v, bool withMinutes);
    void ByMinute(std::string_view v);
    void DefaultDays(bool hasByDay, bool hasByMonthDay, bool hasByYearDay, bool hasByMonth);
    void SubDaily();
    void MonthDayOf(int yi, int m0, int n);

    ICalRecurrence* r_;
    Start start_;
    std::string_view line_;
    int freq_;
    int interval_;
    int64_t rd0_ = 0, rdEnd_ = 0, rdStart_ = 0;
    int64_t monthRd_[kMonths + 1]; // day number of the 1st of each window month, and the end
    int hint_ = 0;                 // month index of the last CellOf
};

Expander::Expander(ICalRecurrence* r, const Start& s, std::string_view line)
    : r_(r), start_(s), line_(line), freq_(r->Frequency), interval_(r->Interval) {
    monthRd_[0] = DTGetRataDie(1, 1, s.year);
    for (int k = 0; k < kMonths; ++k)
        monthRd_[k + 1] = monthRd_[k] + MonthLength(s.year + k / 12, k % 12 + 1);
    rd0_ = monthRd_[0];
    rdEnd_ = monthRd_[kMonths] - 1;
    rdStart_ = DTGetRataDie(s.day, s.month, s.year);
}

void Expander::PrepareWindow() {
    for (int k = 0; k < kMonths; ++k)
        for (int d = MonthLength(start_.year + k / 12, k % 12 + 1); d < 31; ++d)
            *Cell(k / 12, k % 12, d) = kNone;
}

void Expander::ByMonth(std::string_view v) {
    List list(v);
    for (std::string_view e; list.Next(e);) {
        const int64_t m = ParseInt(e);
        if (m < 1 || m > 12) continue;
        for (int yi = 0; yi < kYears; ++yi)
            if (YearSelected(yi))
                for (int d = 0; d < 31; ++d)
                    Promote(Cell(yi, int(m) - 1, d));
    }
    ++r_->DayLevel;
}

void Expander::ByWeekNo(std::string_view v) {
    List list(v);
    for (std::string_view e; list.Next(e);) {
        const int64_t w = ParseInt(e);
        if (w < -60 || w > 60) continue; // far outside any year of the window
        for (int yi = 0; yi < kYears; ++yi) {
            if (!YearSelected(yi)) continue;
            // Week 1 begins on the last WeekStart weekday on or before 4 January.
            const int64_t jan4 = monthRd_[yi * 12] + 3;
            const int64_t week1 = jan4 - (Weekday(jan4) - r_->WeekStart + 7) % 7;
            const int64_t first = week1 + (w - 1) * 7;
            for (int i = 0; i < 7; ++i)
                Promote(CellOf(first + i));
        }
    }
    ++r_->DayLevel;
}

void Expander::ByYearDay(std::string_view v) {
    List list(v);
    for (std::string_view e; list.Next(e);) {
        const int64_t n = ParseInt(e);
        if (n < -1000 || n > 1000) continue;
        for (int yi = 0; yi < kYears; ++yi) {
            if (!YearSelected(yi)) continue;
            Promote(CellOf(n >= 1 ? monthRd_[yi * 12] + n - 1 : monthRd_[yi * 12 + 12] + n));
        }
    }
    ++r_->DayLevel;
}

void Expander::MonthDayOf(int yi, int m0, int n) {
    const int len = MonthLength(start_.year + yi, m0 + 1);
    int day = 0;
    if (n >= 1 && n <= 31)
        day = n;
    else if (n >= -31 && n <= -1 && len + n + 1 >= 1)
        day = len + n + 1;
    if (day) Promote(Cell(yi, m0, day - 1));
}

void Expander::ByMonthDay(std::string_view v) {
    List list(v);
    for (std::string_view e; list.Next(e);) {
        const int n = ClampInt32(ParseInt(e));
        if (freq_ == ICAL_FREQ_YEARLY) {
            for (int yi = 0; yi < kYears; yi += interval_)
                for (int m0 = 0; m0 < 12; ++m0)
                    MonthDayOf(yi, m0, n);
        } else if (freq_ == ICAL_FREQ_MONTHLY) {
            ForSequenceMonths([&](int yi, int m0) { MonthDayOf(yi, m0, n); });
        } else {
            for (int k = start_.month - 1; k < kMonths; ++k)
                MonthDayOf(k / 12, k % 12, n);
        }
    }
    ++r_->DayLevel;
}

void Expander::Ordinal(int64_t first, int64_t last, int64_t step, int ordinal, int weekday) {
    if (ordinal >= 0) {
        // Days of one weekday among first, first + step, ... recur every 7
        // steps (every step when the step is a multiple of 7).
        int64_t rd = first;
        for (int i = 0; i < 7 && rd <= last && Weekday(rd) != weekday; ++i)
            rd += step;
        if (rd > last || Weekday(rd) != weekday) return;
        const int64_t stride = step % 7 == 0 ? step : 7 * step;
        int count = 0;
        Every(rd, last, stride, [&](int64_t, uint8_t* c) {
            if (ordinal == 0) {
                Promote(c);
            } else if (Counts(c) && ++count == ordinal) {
                Promote(c);
                return false;
            }
            return true;
        });
        return;
    }
    // Backward one day at a time: the last such weekday, then every 7 days.
    int64_t rd = last - (Weekday(last) - weekday + 7) % 7;
    int count = 0;
    for (; rd >= first; rd -= 7) {
        uint8_t* c = CellOf(rd);
        if (Counts(c) && ++count == -ordinal) {
            Promote(c);
            return;
        }
    }
}

void Expander::ByDay(std::string_view v) {
    List list(v);
    for (std::string_view e; list.Next(e);) {
        int ordinal = 0, weekday = 0;
        if (!ParseDay(e, ordinal, weekday)) continue;
        switch (freq_) {
        case ICAL_FREQ_YEARLY:
            for (int yi = 0; yi < kYears; yi += interval_)
                Ordinal(monthRd_[yi * 12], monthRd_[yi * 12 + 12] - 1, 1, ordinal, weekday);
            break;
        case ICAL_FREQ_MONTHLY:
            ForSequenceMonths([&](int yi, int m0) {
                const int k = yi * 12 + m0;
                Ordinal(monthRd_[k], monthRd_[k + 1] - 1, 1, ordinal, weekday);
            });
            break;
        case ICAL_FREQ_WEEKLY: {
            if (ordinal != 0) break; // ordinals select nothing in a weekly rule
            // Weeks are counted from the start's week (weeks begin on
            // WeekStart); only every I-th week is visited.
            auto weekOf = [&](int64_t rd) { return rd - (Weekday(rd) - r_->WeekStart + 7) % 7; };
            int64_t rd = rdStart_ + (weekday - Weekday(rdStart_) + 7) % 7;
            const int64_t week = (weekOf(rd) - weekOf(rdStart_)) / 7; // 0 or 1
            if (week % interval_) rd += 7 * (interval_ - week % interval_);
            Every(rd, rdEnd_, 7 * int64_t(interval_), [&](int64_t, uint8_t* c) {
                Promote(c);
                return true;
            });
            break;
        }
        default: // DAILY
            if (ordinal >= 0)
                Ordinal(rdStart_, rdEnd_, interval_, ordinal, weekday);
            else
                Ordinal(rdStart_, rdEnd_, 1, ordinal, weekday);
            break;
        }
    }
    ++r_->DayLevel;
}

void Expander::BySetPos(std::string_view v) {
    auto pick = [&](int64_t first, int64_t last, int64_t p) {
        int64_t count = 0;
        if (p >= 1) {
            for (int64_t rd = first; rd <= last; ++rd) {
                uint8_t* c = CellOf(rd);
                if (Counts(c) && ++count == p) return Promote(c);
            }
        } else if (p < 0) {
            for (int64_t rd = last; rd >= first; --rd) {
                uint8_t* c = CellOf(rd);
                if (Counts(c) && ++count == -p) return Promote(c);
            }
        }
    };
    List list(v);
    for (std::string_view e; list.Next(e);) {
        const int64_t p = ParseInt(e);
        if (p == 0 || p < -400 || p > 400) continue;
        if (freq_ == ICAL_FREQ_YEARLY) {
            for (int yi = 0; yi < kYears; yi += interval_)
                pick(monthRd_[yi * 12], monthRd_[yi * 12 + 12] - 1, p);
            continue;
        }
        for (int yi = 0; yi < kYears; ++yi) {
            if (p >= 1) {
                for (int m0 = 0; m0 < 12; m0 += interval_)
                    pick(monthRd_[yi * 12 + m0], monthRd_[yi * 12 + m0 + 1] - 1, p);
            } else {
                for (int m0 = 11; m0 >= 0; m0 -= interval_)
                    pick(monthRd_[yi * 12 + m0], monthRd_[yi * 12 + m0 + 1] - 1, p);
            }
        }
    }
    ++r_->DayLevel;
}

void Expander::ByHour(std::string_view v, bool withMinutes) {
    List list(v);
    for (std::string_view e; list.Next(e);) {
        const int64_t h = ParseInt(e);
        if (h < 0 || h > 23) continue;
        if (!withMinutes)
            PromoteMinute(int(h), start_.minute);
        else
            for (int m = 0; m < 60; ++m)
                PromoteMinute(int(h), m);
    }
    ++r_->MinuteLevel;
}

void Expander::ByMinute(std::string_view v) {
    List list(v);
    for (std::string_view e; list.Next(e);) {
        const int64_t m = ParseInt(e);
        if (m < 0 || m > 59) continue;
        for (int h = 0; h < 24; ++h)
            PromoteMinute(h, int(m));
    }
    ++r_->MinuteLevel;
}

void Expander::DefaultDays(bool hasByDay, bool hasByMonthDay, bool hasByYearDay, bool hasByMonth) {
    uint8_t* startCell = Cell(0, start_.month - 1, start_.day - 1);
    if (freq_ == ICAL_FREQ_YEARLY) {
        if (!hasByDay && !hasByMonthDay && !hasByYearDay) {
            for (int yi = 0; yi < kYears; yi += interval_) {
                if (hasByMonth)
                    for (int m0 = 0; m0 < 12; ++m0)
                        Promote(Cell(yi, m0, start_.day - 1));
                else
                    Promote(Cell(yi, start_.month - 1, start_.day - 1));
            }
            ++r_->DayLevel;
        }
        *startCell = r_->DayLevel;
        return;
    }
    *startCell = r_->DayLevel;
    if (r_->DayLevel != 0) return;
    // No day part: the frequency's own day rule. Cells go from 0 to 1.
    switch (freq_) {
    case ICAL_FREQ_MONTHLY:
        ForSequenceMonths([&](int yi, int m0) { Promote(Cell(yi, m0, start_.day - 1)); });
        r_->DayLevel = 1;
        break;
    case ICAL_FREQ_WEEKLY:
        Every(rdStart_, rdEnd_, int64_t(7) * interval_, [&](int64_t, uint8_t* c) {
            Promote(c);
            return true;
        });
        r_->DayLevel = 1;
        break;
    default: // DAILY: with an interval of 1, level 0 already selects every day
        if (interval_ != 1) {
            Every(rdStart_, rdEnd_, interval_, [&](int64_t, uint8_t* c) {
                Promote(c);
                return true;
            });
            r_->DayLevel = 1;
        }
        break;
    }
}

void Expander::SubDaily() {
    *Cell(0, start_.month - 1, start_.day - 1) = 1;
    r_->DayLevel = 1;
    if (freq_ != ICAL_FREQ_HOURLY) {
        r_->MinuteMap[start_.hour][start_.minute] = 1;
        r_->MinuteLevel = 1;
        return;
    }
    // Every ";" segment that begins with BYMINUTE= is a layer of its own.
    bool any = false;
    for (size_t pos = 0; pos <= line_.size();) {
        size_t semi = line_.find(';', pos);
        if (semi == std::string_view::npos) semi = line_.size();
        const std::string_view seg = line_.substr(pos, semi - pos);
        pos = semi + 1;
        if (seg.substr(0, 9) != "BYMINUTE=") continue;
        any = true;
        List list(seg.substr(9));
        for (std::string_view e; list.Next(e);) {
            int64_t m = ParseInt(e);
            if (m < 0) m = -m; // taken without its sign
            if (m > 59) continue;
            for (int64_t h = start_.hour; h < start_.hour + 24; h += interval_)
                PromoteMinute(int(h % 24), int(m));
        }
        ++r_->MinuteLevel;
    }
    if (!any) {
        for (int64_t h = start_.hour; h < start_.hour + 24; h += interval_)
            ++r_->MinuteMap[h % 24][start_.minute];
        r_->MinuteLevel = 1;
    }
}

void Expander::Run() {
    if (freq_ >= ICAL_FREQ_HOURLY) {
        SubDaily();
        return;
    }
    PrepareWindow();
    std::string_view v;
    const bool hasByMonth = Part("BYMONTH=", v);
    if (hasByMonth) ByMonth(v);
    if (Part("BYWEEKNO=", v)) ByWeekNo(v);
    const bool hasByYearDay = Part("BYYEARDAY=", v);
    if (hasByYearDay) ByYearDay(v);
    const bool hasByMonthDay = Part("BYMONTHDAY=", v);
    if (hasByMonthDay) ByMonthDay(v);
    const bool hasByDay = Part("BYDAY=", v);
    if (hasByDay) ByDay(v);
    const bool hasByMinute = Has("BYMINUTE=");
    if (Part("BYHOUR=", v)) ByHour(v, hasByMinute);
    if (Part("BYMINUTE=", v)) ByMinute(v);
    if (Part("BYSETPOS=", v)) BySetPos(v);
    DefaultDays(hasByDay, hasByMonthDay, hasByYearDay, hasByMonth);
    if (r_->MinuteLevel == 0) {
        ++r_->MinuteMap[start_.hour][start_.minute];
        r_->MinuteLevel = 1;
    }
}

int FrequencyOf(std::string_view v) {
    static constexpr std::string_view kNames[] = {"YEARLY", "MONTHLY",  "WEEKLY",  "DAILY",
                                                  "HOURLY", "MINUTELY", "SECONDLY"};
    for (int i = 0; i < 7; ++i)
        if (v == kNames[i]) return i;
    return -1;
}

} // namespace

extern "C" {

int ICalParseRule(ICalObject* object, char* line) {
    if (!object || !line) return 0;
    arbor::UpperInPlace(line);
    const std::string_view l(line);
    auto part = [&](std::string_view name, std::string_view& value) {
        const size_t at = l.find(name);
        if (at == std::string_view::npos) return false;
        value = l.substr(at + name.size());
        value = value.substr(0, value.find(';'));
        return true;
    };
    std::string_view v;
    if (!part("FREQ=", v)) return 0;
    const int freq = FrequencyOf(v);
    if (freq < 0) return 0;
    auto* r = static_cast<ICalRecurrence*>(std::calloc(1, sizeof(ICalRecurrence)));
    if (!r) return 0;
    r->Frequency = freq;
    // The loops step by the interval: anything below 1 counts as 1.
    r->Interval = 1;
    if (part("INTERVAL=", v)) {
        const int64_t i = ParseInt(v);
        r->Interval = i < 1 ? 1 : ClampInt32(i);
    }
    r->WeekStart = 1;
    if (part("WKST=", v)) {
        static constexpr std::string_view kCodes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
        r->WeekStart = 0;
        for (uint8_t i = 0; i < 7; ++i)
            if (v.substr(0, 2) == kCodes[i]) r->WeekStart = i;
    }
    if (part("UNTIL=", v)) {
        const int32_t until = ical::ConvertTime(ical::ReadPositional(v), 0);
        // An UNTIL that is no real time does not end the series early.
        r->Until = static_cast<uint32_t>(until);
    } else if (part("COUNT=", v)) {
        r->CountLimit = ClampInt32(ParseInt(v));
    }
    Expander(r, StartOf(object), l).Run();
    std::free(object->Recurrence);
    object->Recurrence = r;
    return 1;
}

int ICalHasRecurrence(const ICalObject* object) {
    return object && object->Recurrence;
}

int ICalFirstOccurrence(const ICalObject* object, ICalOccurrence* occurrence) {
    if (!object || !object->Recurrence) return 0;
    const Start s = StartOf(object);
    *occurrence = ICalOccurrence{};
    occurrence->DayIndex = s.day - 1;
    occurrence->MonthIndex = s.month - 1;
    occurrence->YearIndex = 0;
    occurrence->HourIndex = s.hour;
    occurrence->MinuteIndex = s.minute;
    return ICalNextOccurrence(object, occurrence);
}

int ICalNextOccurrence(const ICalObject* object, ICalOccurrence* occ) {
    if (!object || !object->Recurrence) return 0;
    const ICalRecurrence* r = object->Recurrence;
    int y = occ->YearIndex, m = occ->MonthIndex, d = occ->DayIndex, h = occ->HourIndex,
        mi = occ->MinuteIndex;
    // The position belongs to the caller: bring it back into the maps.
    if (y < 0 || m < 0 || d < 0 || h < 0 || mi < 0) y = m = d = h = mi = 0;
    if (mi > 59) mi = 0, ++h;
    if (h > 23) h = mi = 0, ++d;
    if (d > 30) d = h = mi = 0, ++m;
    if (m > 11) m = d = h = mi = 0, ++y;
    if (y >= kYears) return 0;

    const uint8_t* days = &r->DayMap[0][0][0];
    const uint8_t* minutes = &r->MinuteMap[0][0];
    const size_t nDays = sizeof r->DayMap;
    size_t flat = (size_t(y) * 12 + size_t(m)) * 31 + size_t(d);
    size_t minute = size_t(h) * 60 + size_t(mi);
    for (;;) {
        const void* hit = std::memchr(days + flat, r->DayLevel, nDays - flat);
        if (!hit) return 0;
        const size_t f = size_t(static_cast<const uint8_t*>(hit) - days);
        if (f != flat) minute = 0;
        flat = f;
        const void* mhit = std::memchr(minutes + minute, r->MinuteLevel, 1440 - minute);
        if (mhit) {
            minute = size_t(static_cast<const uint8_t*>(mhit) - minutes);
            break;
        }
        ++flat;
        minute = 0;
        if (flat >= nDays) return 0;
    }
    const Start s = StartOf(object);
    occ->YearIndex = int(flat / 372);
    occ->MonthIndex = int(flat / 31 % 12);
    occ->DayIndex = int(flat % 31);
    occ->HourIndex = int(minute / 60);
    occ->MinuteIndex = int(minute % 60);
    occ->Day = occ->DayIndex + 1;
    occ->Month = occ->MonthIndex + 1;
    occ->Year = s.year + occ->YearIndex;
    occ->Hour = occ->HourIndex;
    occ->Minute = occ->MinuteIndex;
    occ->Second = s.second;
    int32_t utc = DTGetUTC(occ->Day, occ->Month, occ->Year, occ->Hour, occ->Minute, occ->Second);
    if (utc != -1) {
        const int32_t off =
            DTGetUTCOffsetByDate(s.zone, occ->Day, occ->Month, occ->Year, occ->Hour);
        utc = static_cast<int32_t>(static_cast<uint32_t>(utc) - static_cast<uint32_t>(off));
    }
    occ->UTC = utc;
    occ->Duration = object->Duration;
    ++occ->Number;
    if (r->Until != 0 && static_cast<uint32_t>(occ->UTC) > r->Until) return 0;
    if (r->CountLimit != 0 && occ->Number > r->CountLimit) return 0;
    ++occ->MinuteIndex;
    return 1;
}

} // extern "C"
