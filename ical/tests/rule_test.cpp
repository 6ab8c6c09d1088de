// Recurrence: the layers of every frequency, COUNT and UNTIL, the iterator,
// and whole occurrence lists against an independent implementation.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "helpers.h"
#include "msgsrv.h"
#include "process.h"

namespace {

using List = std::vector<std::string>;

std::string Stamp(int y, int mo, int d, int h, int mi, int s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02d", y, mo, d, h, mi, s);
    return buf;
}

List Walk(const ICalObject* o) {
    List out;
    ICalOccurrence occ;
    for (int r = ICalFirstOccurrence(o, &occ); r; r = ICalNextOccurrence(o, &occ)) {
        out.push_back(Stamp(occ.Year, occ.Month, occ.Day, occ.Hour, occ.Minute, occ.Second));
        EXPECT_EQ(occ.Number, int(out.size()));
        if (out.size() > 200000) break;
    }
    return out;
}

Object Rule(const std::string& start, const std::string& rule,
            const std::vector<std::string>& more = {}) {
    std::vector<std::string> lines{"DTSTART:" + start, "DURATION:PT30M"};
    lines.insert(lines.end(), more.begin(), more.end());
    lines.push_back("RRULE:" + rule);
    return Parse(Calendar(lines));
}

List Occurrences(const std::string& start, const std::string& rule) {
    Object o = Rule(start, rule);
    EXPECT_TRUE(o && ICalHasRecurrence(o.get())) << rule;
    return Walk(o.get());
}

int Weekday(int d, int m, int y) {
    return DTGetRataDie(d, m, y) % 7;
}
int MonthLength(int m, int y) {
    return DTDaysPerMonth[m - 1] + (m == 2 && ((y % 4 == 0 && y % 100) || y % 400 == 0));
}

TEST(Daily, EveryDayOfTheWindowFromTheStart) {
    const List got = Occurrences("19990301T100000", "FREQ=DAILY");
    List want;
    for (int y = 1999; y <= 2010; ++y)
        for (int m = y == 1999 ? 3 : 1; m <= 12; ++m)
            for (int d = 1; d <= MonthLength(m, y); ++d)
                want.push_back(Stamp(y, m, d, 10, 0, 0));
    EXPECT_EQ(got, want);
}

TEST(Daily, IntervalHoursAndMinutes) {
    List got = Occurrences("19990301T100000", "FREQ=DAILY;INTERVAL=3;COUNT=4");
    EXPECT_EQ(got,
              (List{"19990301T100000", "19990304T100000", "19990307T100000", "19990310T100000"}));
    got = Occurrences("19990301T101500", "FREQ=DAILY;BYHOUR=9,17;COUNT=4");
    EXPECT_EQ(got,
              (List{"19990301T171500", "19990302T091500", "19990302T171500", "19990303T091500"}));
    got = Occurrences("19990301T080000", "FREQ=daily;byhour=9,17;byminute=0,30;count=5");
    EXPECT_EQ(got, (List{"19990301T090000", "19990301T093000", "19990301T170000", "19990301T173000",
                         "19990302T090000"}));
    // An hour out of range selects nothing, not even the start.
    EXPECT_TRUE(Occurrences("19990301T080000", "FREQ=DAILY;BYHOUR=24").empty());
}

TEST(Weekly, IntervalWeeksCountedFromTheStart) {
    // Start on a Wednesday; weeks begin on Monday.
    const List got = Occurrences("19990303T090000", "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE");
    List want;
    for (int rd = DTGetRataDie(3, 3, 1999), end = DTGetRataDie(31, 12, 2010); rd <= end; ++rd) {
        const int weekOfStart = (rd - DTGetRataDie(1, 3, 1999)) / 7; // 1 March 1999: Monday
        if (weekOfStart % 2 || (rd % 7 != 1 && rd % 7 != 3)) continue;
        int d, m, y;
        DTGetDate(rd, &d, &m, &y);
        want.push_back(Stamp(y, m, d, 9, 0, 0));
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(got[1], "19990315T090000");
}

TEST(Weekly, OrdinalsSelectNothingAndTheStartStays) {
    EXPECT_EQ(Occurrences("19990303T090000", "FREQ=WEEKLY;BYDAY=1MO"), (List{"19990303T090000"}));
    EXPECT_EQ(Occurrences("19990303T090000", "FREQ=WEEKLY;COUNT=3"),
              (List{"19990303T090000", "19990310T090000", "19990317T090000"}));
}

TEST(Monthly, LastFridayAndLastDay) {
    List fridays = Occurrences("19990129T120000", "FREQ=MONTHLY;BYDAY=-1FR");
    List lastDays = Occurrences("19990131T120000", "FREQ=MONTHLY;BYMONTHDAY=-1");
    List want31 = Occurrences("19990131T120000", "FREQ=MONTHLY;BYMONTHDAY=31");
    List wantFri, wantLast, only31;
    for (int y = 1999; y <= 2010; ++y)
        for (int m = 1; m <= 12; ++m) {
            int d = MonthLength(m, y);
            wantLast.push_back(Stamp(y, m, d, 12, 0, 0));
            if (d == 31) only31.push_back(Stamp(y, m, d, 12, 0, 0));
            while (Weekday(d, m, y) != 5)
                --d;
            wantFri.push_back(Stamp(y, m, d, 12, 0, 0));
        }
    EXPECT_EQ(fridays, wantFri);
    EXPECT_EQ(lastDays, wantLast);
    EXPECT_EQ(want31, only31);
    EXPECT_NE(std::find(lastDays.begin(), lastDays.end(), "20000229T120000"), lastDays.end());
}

TEST(Monthly, SetPositionAndRepeatedOrdinals) {
    const List got =
        Occurrences("19990331T170000", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1;COUNT=6");
    EXPECT_EQ(got, (List{"19990331T170000", "19990430T170000", "19990531T170000", "19990630T170000",
                         "19990730T170000", "19990831T170000"}));
    // Every ordinal of a list counts against all of the period's days, also
    // those an earlier element already picked.
    EXPECT_EQ(Occurrences("19990103T090000", "FREQ=MONTHLY;BYDAY=1SU,2SU;COUNT=4"),
              (List{"19990103T090000", "19990110T090000", "19990207T090000", "19990214T090000"}));
    // Out-of-range days still form a layer: only the start remains.
    EXPECT_EQ(Occurrences("19990103T090000", "FREQ=MONTHLY;BYMONTHDAY=40"),
              (List{"19990103T090000"}));
}

TEST(Yearly, MonthOrdinalAndPlainYears) {
    List got = Occurrences("19990307T080000", "FREQ=YEARLY;BYMONTH=3;BYDAY=1SU");
    List want;
    for (int y = 1999; y <= 2010; ++y) {
        int d = 1;
        while (Weekday(d, 3, y) != 0)
            ++d;
        want.push_back(Stamp(y, 3, d, 8, 0, 0));
    }
    EXPECT_EQ(got, want);
    got = Occurrences("19990615T080000", "FREQ=YEARLY");
    want.clear();
    for (int y = 1999; y <= 2010; ++y)
        want.push_back(Stamp(y, 6, 15, 8, 0, 0));
    EXPECT_EQ(got, want);
    EXPECT_EQ(Occurrences("20000229T000000", "FREQ=YEARLY"),
              (List{"20000229T000000", "20040229T000000", "20080229T000000"}));
}

TEST(SubDaily, HourlyStaysOnTheStartDay) {
    EXPECT_EQ(Occurrences("19990301T101500", "FREQ=HOURLY;INTERVAL=4"),
              (List{"19990301T101500", "19990301T141500", "19990301T181500", "19990301T221500"}));
    EXPECT_EQ(Occurrences("19990301T221500", "FREQ=HOURLY;BYMINUTE=0,-45;BYMINUTE=45"),
              (List{"19990301T224500", "19990301T234500"}));
    EXPECT_EQ(Occurrences("19990301T101512", "FREQ=MINUTELY;INTERVAL=5"),
              (List{"19990301T101512"}));
    EXPECT_EQ(Occurrences("19990301T101512", "FREQ=SECONDLY"), (List{"19990301T101512"}));
}

TEST(Limits, CountAndUntil) {
    Object o = Rule("19990301T100000Z", "FREQ=DAILY;COUNT=3");
    ICalOccurrence occ;
    ASSERT_EQ(ICalFirstOccurrence(o.get(), &occ), 1);
    EXPECT_EQ(occ.UTC, DTGetUTC(1, 3, 1999, 10, 0, 0));
    EXPECT_EQ(occ.Duration, 1800);
    EXPECT_EQ(ICalNextOccurrence(o.get(), &occ), 1);
    EXPECT_EQ(ICalNextOccurrence(o.get(), &occ), 1);
    EXPECT_EQ(occ.Number, 3);
    EXPECT_EQ(ICalNextOccurrence(o.get(), &occ), 0);

    // UNTIL equal to an occurrence still returns it; with UNTIL, COUNT is ignored.
    const std::string until = "FREQ=DAILY;COUNT=2;UNTIL=19990305T100000Z";
    Object u = Rule("19990301T100000Z", until);
    EXPECT_EQ(u->Recurrence->CountLimit, 0);
    EXPECT_EQ(u->Recurrence->Until, uint32_t(DTGetUTC(5, 3, 1999, 10, 0, 0)));
    EXPECT_EQ(Walk(u.get()).size(), 5u);

    // Without "Z" the end is local time of zone 0, like the start here.
    Object local = Rule("19990301T100000", "FREQ=DAILY;UNTIL=19990303T100000");
    EXPECT_EQ(Walk(local.get()).size(), 3u);
    Object date = Rule("19990301T100000", "FREQ=DAILY;UNTIL=19990303");
    EXPECT_EQ(Walk(date.get()).size(), 2u);
}

TEST(Limits, MissingOrBadRules) {
    Object none = Parse(Calendar({"DTSTART:19990301T100000Z"}));
    ICalOccurrence occ;
    EXPECT_EQ(ICalHasRecurrence(none.get()), 0);
    EXPECT_EQ(ICalFirstOccurrence(none.get(), &occ), 0);

    Object o = Rule("19990301T100000Z", "FREQ=FORTNIGHTLY", {"RRULE:FREQ=WEEKLY"});
    // The later rule is bad: the earlier one stays.
    ASSERT_NE(o->Recurrence, nullptr);
    EXPECT_EQ(o->Recurrence->Frequency, ICAL_FREQ_WEEKLY);
    char bad[] = "RRULE:INTERVAL=2";
    EXPECT_EQ(ICalParseRule(o.get(), bad), 0);
    char worse[] = "RRULE:FREQ=FORTNIGHTLY;INTERVAL=2";
    EXPECT_EQ(ICalParseRule(o.get(), worse), 0);
    EXPECT_STREQ(worse, "RRULE:FREQ=FORTNIGHTLY;INTERVAL=2");
    EXPECT_EQ(o->Recurrence->Frequency, ICAL_FREQ_WEEKLY);
    char good[] = "rrule:freq=daily;interval=0;wkst=su";
    EXPECT_EQ(ICalParseRule(o.get(), good), 1);
    EXPECT_STREQ(good, "RRULE:FREQ=DAILY;INTERVAL=0;WKST=SU");
    EXPECT_EQ(o->Recurrence->Interval, 1);
    EXPECT_EQ(o->Recurrence->WeekStart, 0);
}

TEST(Limits, RuleBeforeStartAndHostileIterator) {
    // No DTSTART yet: the expansion and the walk stay inside the maps.
    Object o = Parse(Calendar({"RRULE:FREQ=MONTHLY;BYDAY=-1SU,2MO;BYSETPOS=2"}));
    ASSERT_TRUE(o && o->Recurrence);
    Walk(o.get());
    ICalOccurrence occ{};
    occ.YearIndex = 3;
    occ.MonthIndex = 99;
    occ.DayIndex = -7;
    occ.MinuteIndex = 1000;
    ICalNextOccurrence(o.get(), &occ);
    occ.YearIndex = 12;
    EXPECT_EQ(ICalNextOccurrence(o.get(), &occ), 0);
}

TEST(Maps, NonexistentDaysAndLevels) {
    Object o = Rule("19990301T100000", "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=29,30");
    const ICalRecurrence* r = o->Recurrence;
    EXPECT_EQ(r->DayMap[0][1][28], ICAL_DAY_CELL_NONE);
    EXPECT_EQ(r->DayMap[1][1][28], 2); // 29 February 2000
    EXPECT_EQ(r->DayMap[1][1][29], ICAL_DAY_CELL_NONE);
    EXPECT_EQ(r->DayMap[1][3][30], ICAL_DAY_CELL_NONE);
    EXPECT_EQ(r->DayLevel, 2);
    EXPECT_EQ(r->MinuteLevel, 1);
    EXPECT_EQ(r->MinuteMap[10][0], 1);
    EXPECT_EQ(Walk(o.get()),
              (List{"19990301T100000", "20000229T100000", "20040229T100000", "20080229T100000"}));
}

TEST(Zones, OccurrencesFollowTheStartZone) {
    const std::string tz =
        Zone("Eastern", "FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10", "FREQ=YEARLY;BYDAY=1SU;BYMONTH=4",
             "-0500", "-0400", "19701025T020000", "19700405T020000");
    Object o = Parse(tz + "BEGIN:VEVENT\r\nDTSTART;TZID=Eastern:19990401T090000\r\n"
                          "RRULE:FREQ=DAILY;COUNT=4\r\nEND:VEVENT\r\n");
    std::vector<int32_t> utc;
    ICalOccurrence occ;
    for (int r = ICalFirstOccurrence(o.get(), &occ); r; r = ICalNextOccurrence(o.get(), &occ)) {
        EXPECT_EQ(occ.Hour, 9);
        utc.push_back(occ.UTC);
    }
    // Daylight time begins on Sunday 4 April 1999.
    EXPECT_EQ(utc, (std::vector<int32_t>{
                       DTGetUTC(1, 4, 1999, 14, 0, 0), DTGetUTC(2, 4, 1999, 14, 0, 0),
                       DTGetUTC(3, 4, 1999, 14, 0, 0), DTGetUTC(4, 4, 1999, 13, 0, 0)}));
}

// Rules on which this engine and python's dateutil agree by definition
// inside the twelve-year window: the start is an occurrence of the rule and
// no quirk of the layer order applies.
const std::vector<std::pair<std::string, std::string>> kOracleRules = {
    {"19990301T100000", "FREQ=DAILY"},
    {"19990301T100000", "FREQ=DAILY;INTERVAL=3"},
    {"19990301T100000", "FREQ=DAILY;INTERVAL=10;COUNT=50"},
    {"19990301T100000", "FREQ=DAILY;BYDAY=MO,FR"},
    {"19990303T100000", "FREQ=DAILY;INTERVAL=2;BYDAY=WE,SA"},
    {"19990301T090000", "FREQ=DAILY;BYHOUR=9,17"},
    {"19990301T090000", "FREQ=DAILY;BYHOUR=9,17;BYMINUTE=0,30;UNTIL=20000101T000000"},
    {"19990101T100000", "FREQ=DAILY;BYMONTH=1,7"},
    {"19990303T083000", "FREQ=WEEKLY"},
    {"19990303T083000", "FREQ=WEEKLY;INTERVAL=3"},
    {"19990303T090000", "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE"},
    {"19990302T090000", "FREQ=WEEKLY;BYDAY=TU,TH,SA"},
    {"19990307T090000", "FREQ=WEEKLY;INTERVAL=2;WKST=SU;BYDAY=SU,TU"},
    {"19990303T090000", "FREQ=WEEKLY;INTERVAL=4;BYDAY=WE,SU;WKST=MO"},
    {"19990115T120000", "FREQ=MONTHLY"},
    {"19990131T120000", "FREQ=MONTHLY"},
    {"19990115T120000", "FREQ=MONTHLY;INTERVAL=5"},
    {"19990129T120000", "FREQ=MONTHLY;BYDAY=-1FR"},
    {"19990112T120000", "FREQ=MONTHLY;BYDAY=2TU"},
    {"19990131T120000", "FREQ=MONTHLY;BYMONTHDAY=-1"},
    {"19990131T120000", "FREQ=MONTHLY;BYMONTHDAY=31"},
    {"19990101T120000", "FREQ=MONTHLY;INTERVAL=2;BYMONTHDAY=1,15,-2"},
    {"19990331T170000", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1"},
    {"19990101T170000", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1"},
    {"19990105T100000", "FREQ=MONTHLY;BYDAY=TU;BYMONTHDAY=1,2,3,4,5,6,7"},
    // Ordinals and set positions of one list, each counted on its own.
    {"19990112T100000", "FREQ=MONTHLY;BYDAY=2TU,4TU"},
    {"19990104T100000", "FREQ=MONTHLY;BYDAY=1MO,3MO"},
    {"19990122T100000", "FREQ=MONTHLY;BYDAY=-2FR,-1FR"},
    {"19990103T090000", "FREQ=MONTHLY;BYDAY=1SU,2SU,-1SU"},
    {"19990101T170000", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1,2"},
    {"19990101T170000", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1,-1"},
    {"19990128T170000", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-3,-2,-1"},
    {"19990307T080000", "FREQ=YEARLY;BYMONTH=3;BYDAY=1SU,2SU"},
    {"19990101T080000", "FREQ=YEARLY;BYDAY=1FR,2FR,-1FR"},
    {"19990615T080000", "FREQ=YEARLY"},
    {"20000229T080000", "FREQ=YEARLY"},
    {"19990615T080000", "FREQ=YEARLY;INTERVAL=3"},
    {"19990307T080000", "FREQ=YEARLY;BYMONTH=3;BYDAY=1SU"},
    {"19991031T020000", "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU"},
    {"19990101T080000", "FREQ=YEARLY;BYYEARDAY=1,100,-1"},
    {"19990517T100000", "FREQ=YEARLY;BYWEEKNO=20;BYDAY=MO"},
    {"19990101T000000", "FREQ=YEARLY;BYMONTH=1,7;BYMONTHDAY=1"},
    {"19990228T000000", "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=-1"},
    {"19990301T101500", "FREQ=HOURLY;INTERVAL=4;UNTIL=19990301T235959"},
};

// Runs the dateutil script over the rules; empty, with the reason in why, when
// it cannot (python3 or dateutil missing is a failure too: tools/deps.sh
// installs them, and a skipped oracle would leave the rules unchecked).
std::vector<List> Oracle(std::string& why) {
    if (arbortest::Run("python3 -c 'import dateutil' >/dev/null 2>&1") != 0) {
        why = "python3 with dateutil is not installed (tools/deps.sh installs python3-dateutil)";
        return {};
    }
    const std::string script = arbortest::SourceDir() + "/ical/tests/rrule_oracle.py";
    std::string text;
    for (const auto& [start, rule] : kOracleRules)
        text += start + " " + rule + "\n";
    std::string out;
    std::vector<List> lists;
    if (arbortest::RunWithInput("python3 " + arbortest::ShellQuote(script), text, &out) == 0) {
        List current;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            if (l.empty()) {
                lists.push_back(current);
                current.clear();
            } else {
                current.push_back(l);
            }
        }
    }
    if (lists.size() != kOracleRules.size()) why = "the dateutil script failed";
    return lists;
}

TEST(Oracle, WholeListsAgreeWithDateutil) {
    std::string why;
    const std::vector<List> want = Oracle(why);
    ASSERT_TRUE(why.empty()) << why;
    size_t total = 0;
    for (size_t i = 0; i < kOracleRules.size(); ++i) {
        const auto& [start, rule] = kOracleRules[i];
        const List got = Occurrences(start, rule);
        EXPECT_FALSE(got.empty()) << rule;
        EXPECT_EQ(got, want[i]) << "DTSTART " << start << " RRULE " << rule;
        total += got.size();
    }
    EXPECT_GT(total, 10000u);
}

} // namespace
