// Time-zone blocks: the rule forms clients write, the sub-blocks in force for
// a date, the hour skipped in spring, the derived duration, and the registry
// the objects share (bounded per object, given back by ICalFree).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "helpers.h"
#include "msgsrv.h"

namespace {

// UTC of a local time in the object's zone tzid, through DTSTART.
int32_t Convert(const std::string& zones, const std::string& tzid, const std::string& local) {
    Object o = Parse(zones + Calendar({"DTSTART;TZID=" + tzid + ":" + local}));
    EXPECT_TRUE(o);
    return o ? o->StartTime.UTC : -2;
}

int32_t Z(int d, int m, int y, int h, int mi = 0) {
    return DTGetUTC(d, m, y, h, mi, 0);
}

TEST(ZoneRules, SevenMonthDaysAreTheWeekTheySpan) {
    // Second Sunday of March to first Sunday of November, as several
    // clients write US zones.
    const std::string us = Zone("US", "FREQ=YEARLY;BYMONTH=11;BYDAY=SU;BYMONTHDAY=1,2,3,4,5,6,7",
                                "FREQ=YEARLY;BYMONTH=3;BYDAY=SU;BYMONTHDAY=8,9,10,11,12,13,14");
    Object o = Parse(us);
    ASSERT_TRUE(o && o->TimeZones);
    EXPECT_EQ(o->TimeZones->StdWeek, 1);
    EXPECT_EQ(o->TimeZones->DstWeek, 2);
    EXPECT_EQ(Convert(us, "US", "20260701T120000"), Z(1, 7, 2026, 16));
    EXPECT_EQ(Convert(us, "US", "20260307T120000"), Z(7, 3, 2026, 17));
    EXPECT_EQ(Convert(us, "US", "20260308T120000"), Z(8, 3, 2026, 16));
    EXPECT_EQ(Convert(us, "US", "20261031T120000"), Z(31, 10, 2026, 16));
    EXPECT_EQ(Convert(us, "US", "20261101T120000"), Z(1, 11, 2026, 17));
    // The last seven days of a month, with or without the -1 ordinal, and
    // counted from the end.
    for (const char* last :
         {"BYDAY=SU;BYMONTHDAY=25,26,27,28,29,30,31", "BYDAY=-1SU;BYMONTHDAY=25,26,27,28,29,30,31",
          "BYDAY=SU;BYMONTHDAY=-7,-6,-5,-4,-3,-2,-1"}) {
        const std::string eu = Zone("EU", std::string("FREQ=YEARLY;BYMONTH=10;") + last,
                                    std::string("FREQ=YEARLY;BYMONTH=3;") + last, "+0100", "+0200",
                                    "16010101T030000", "16010101T020000");
        Object e = Parse(eu);
        ASSERT_TRUE(e && e->TimeZones);
        EXPECT_EQ(e->TimeZones->StdWeek, -1) << last;
        EXPECT_EQ(e->TimeZones->DstWeek, -1) << last;
        EXPECT_EQ(Convert(eu, "EU", "20260328T120000"), Z(28, 3, 2026, 11)) << last;
        EXPECT_EQ(Convert(eu, "EU", "20260329T120000"), Z(29, 3, 2026, 10)) << last;
        EXPECT_EQ(Convert(eu, "EU", "20261024T120000"), Z(24, 10, 2026, 10)) << last;
        EXPECT_EQ(Convert(eu, "EU", "20261025T120000"), Z(25, 10, 2026, 11)) << last;
    }
    // Days that are no week of the month leave the rule without daylight time.
    Object odd = Parse(Zone("odd", "FREQ=YEARLY;BYMONTH=11;BYDAY=SU;BYMONTHDAY=2,3,4,5,6,7,8",
                            "FREQ=YEARLY;BYMONTH=3;BYDAY=SU;BYMONTHDAY=8,9,10"));
    EXPECT_EQ(odd->TimeZones->StdWeek, 0);
    EXPECT_EQ(odd->TimeZones->DstWeek, 0);
}

// US Eastern written with its rules before and after 2007, the current ones
// first (the order is the writer's choice).
const std::string kHistoric =
    "BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\n"
    "BEGIN:DAYLIGHT\r\nDTSTART:20070311T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU\r\n"
    "TZOFFSETFROM:-0500\r\nTZOFFSETTO:-0400\r\nEND:DAYLIGHT\r\n"
    "BEGIN:STANDARD\r\nDTSTART:20071104T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU\r\n"
    "TZOFFSETFROM:-0400\r\nTZOFFSETTO:-0500\r\nEND:STANDARD\r\n"
    "BEGIN:DAYLIGHT\r\nDTSTART:19870405T020000\r\n"
    "RRULE:FREQ=YEARLY;BYMONTH=4;BYDAY=1SU;UNTIL=20060402T070000Z\r\n"
    "TZOFFSETFROM:-0500\r\nTZOFFSETTO:-0400\r\nEND:DAYLIGHT\r\n"
    "BEGIN:STANDARD\r\nDTSTART:19671029T020000\r\n"
    "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU;UNTIL=20061029T060000Z\r\n"
    "TZOFFSETFROM:-0400\r\nTZOFFSETTO:-0500\r\nEND:STANDARD\r\n"
    "END:VTIMEZONE\r\n";

TEST(ZoneRules, TheSubBlocksInForceForTheDateCount) {
    Object o = Parse(kHistoric);
    ASSERT_TRUE(o && o->TimeZones);
    // The record holds the rules in force now, not the last written.
    EXPECT_EQ(o->TimeZones->DstMonth, 3);
    EXPECT_EQ(o->TimeZones->DstWeek, 2);
    EXPECT_EQ(o->TimeZones->StdMonth, 11);
    EXPECT_EQ(o->TimeZones->StdWeek, 1);
    const std::string tz = "America/New_York";
    EXPECT_EQ(Convert(kHistoric, tz, "20060320T120000"), Z(20, 3, 2006, 17)); // old: EST
    EXPECT_EQ(Convert(kHistoric, tz, "20070320T120000"), Z(20, 3, 2007, 16)); // new: EDT
    EXPECT_EQ(Convert(kHistoric, tz, "20061030T120000"), Z(30, 10, 2006, 17));
    EXPECT_EQ(Convert(kHistoric, tz, "20071030T120000"), Z(30, 10, 2007, 16));
    EXPECT_EQ(Convert(kHistoric, tz, "19990404T120000"), Z(4, 4, 1999, 16));
    // Both eras in one object: the older one gets a record of its own, freed
    // with the object.
    Object both = Parse(kHistoric + Calendar({"DTSTART;TZID=America/New_York:20060320T120000",
                                              "DTEND;TZID=America/New_York:20070320T120000"}));
    ASSERT_TRUE(both);
    EXPECT_EQ(both->StartTime.UTC, Z(20, 3, 2006, 17));
    EXPECT_EQ(both->EndTime.UTC, Z(20, 3, 2007, 16));
    EXPECT_NE(both->StartTime.Zone, both->EndTime.Zone);
    EXPECT_EQ(both->EndTime.Zone, both->TimeZones->ZoneId);
    ASSERT_NE(both->TimeZones->Next, nullptr);
    EXPECT_EQ(both->TimeZones->Next->ZoneId, both->StartTime.Zone);
    EXPECT_EQ(both->TimeZones->Next->DstMonth, 4);
}

TEST(ZoneRules, ARuleThatEndedLeavesStandardTime) {
    // Daylight time abolished after 2016: later dates are standard all year.
    const std::string ended =
        "BEGIN:VTIMEZONE\r\nTZID:Ended\r\n"
        "BEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETTO:+0300\r\nEND:STANDARD\r\n"
        "BEGIN:DAYLIGHT\r\nDTSTART:19800330T030000\r\n"
        "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU;UNTIL=20160327T000000Z\r\n"
        "TZOFFSETTO:+0400\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n";
    EXPECT_EQ(Convert(ended, "Ended", "20260701T120000"), Z(1, 7, 2026, 9));
    Object o = Parse(ended);
    EXPECT_EQ(o->TimeZones->DstWeek, 0);
}

TEST(ZoneRules, TheSkippedHourTakesTheOffsetBeforeTheGap) {
    const std::string us =
        Zone("US", "FREQ=YEARLY;BYMONTH=11;BYDAY=1SU", "FREQ=YEARLY;BYMONTH=3;BYDAY=2SU");
    // 02:30 does not exist on 8 March 2026: read with EST it is 07:30 UTC.
    EXPECT_EQ(Convert(us, "US", "20260308T023000"), Z(8, 3, 2026, 7, 30));
    EXPECT_EQ(Convert(us, "US", "20260308T013000"), Z(8, 3, 2026, 6, 30));
    EXPECT_EQ(Convert(us, "US", "20260308T033000"), Z(8, 3, 2026, 7, 30));
    // The repeated hour in November is its first occurrence (EDT).
    EXPECT_EQ(Convert(us, "US", "20261101T013000"), Z(1, 11, 2026, 5, 30));
    EXPECT_EQ(Convert(us, "US", "20261101T023000"), Z(1, 11, 2026, 7, 30));
}

TEST(DerivedDuration, ComesFromTheFinalStartAndEnd) {
    // DTSTAMP first, as most clients write it: the stamp stands in for the
    // start only until DTSTART arrives.
    Object a = Parse(Calendar(
        {"DTSTAMP:20260101T080000Z", "DTSTART:20260105T090000Z", "DTEND:20260105T100000Z"}));
    EXPECT_EQ(a->Duration, 3600);
    EXPECT_EQ(a->EndTime.UTC, Z(5, 1, 2026, 10));
    Object b = Parse(Calendar(
        {"DTSTAMP:20260101T080000Z", "DTEND:20260105T100000Z", "DTSTART:20260105T093000Z"}));
    EXPECT_EQ(b->Duration, 1800);
    Object c = Parse(Calendar({"DTSTAMP:20260101T080000Z", "DTSTART:20260105T090000Z"}));
    EXPECT_EQ(c->Duration, 0);
    EXPECT_EQ(c->EndTime.UTC, c->StartTime.UTC);
    Object d = Parse(Calendar(
        {"DTSTAMP:20260101T080000Z", "DUE:20260107T170000Z", "DTSTART:20260105T170000Z"}, "VTODO"));
    EXPECT_EQ(d->Duration, 2 * 86400);
    // A stamp alone still stands in for the start.
    Object e = Parse(Calendar({"DTSTAMP:20260101T080000Z"}));
    EXPECT_EQ(e->StartTime.UTC, Z(1, 1, 2026, 8));
    EXPECT_EQ(e->Duration, 0);
}

TEST(Recurrence, ARuleBeforeTheStartExpandsFromTheStart) {
    // Several clients write RRULE ahead of DTSTART.
    Object o = Parse(Calendar({"RRULE:FREQ=WEEKLY;BYDAY=TU;COUNT=3", "DTSTART:20260303T093000Z"}));
    ASSERT_TRUE(o && o->Recurrence);
    ICalOccurrence occ;
    std::vector<int32_t> got;
    for (int ok = ICalFirstOccurrence(o.get(), &occ); ok; ok = ICalNextOccurrence(o.get(), &occ))
        got.push_back(occ.UTC);
    EXPECT_EQ(got, (std::vector<int32_t>{Z(3, 3, 2026, 9, 30), Z(10, 3, 2026, 9, 30),
                                         Z(17, 3, 2026, 9, 30)}));
}

TEST(DerivedDuration, ANumberWithoutItsUnitIsRefused) {
    Object a = Parse(Calendar({"DTSTART:20260105T090000Z", "DURATION:PT15"}));
    EXPECT_EQ(a->Duration, 0);
    Object b =
        Parse(Calendar({"DTSTART:20260105T090000Z", "DTEND:20260105T100000Z", "DURATION:PT15"}));
    EXPECT_EQ(b->Duration, 3600);
    Object c = Parse(Calendar({"DURATION:PT15M", "DTSTART:20260105T090000Z"}));
    EXPECT_EQ(c->Duration, 900);
}

// count distinct zones, each with its own standard offset from base minutes.
std::string ManyZones(int count, int base) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += "BEGIN:VTIMEZONE\r\nTZID:z" + std::to_string(i) +
             "\r\nBEGIN:STANDARD\r\nDTSTART:16010101T000000\r\nTZOFFSETTO:+" +
             std::to_string(10000 + (base + i) / 60 * 100 + (base + i) % 60).substr(1) +
             "\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
    return s;
}

TEST(ZoneRegistry, ObjectsGiveTheirZonesBack) {
    // Far more distinct zones in sequence than the registry holds at once:
    // every message converts with its own zones.
    for (int round = 0; round < 100; ++round) {
        const int base = (round * 60) % 1380;
        Object o = Parse(ManyZones(60, base) + Calendar({"DTSTART;TZID=z59:20260101T120000"}));
        ASSERT_TRUE(o) << round;
        ASSERT_EQ(o->StartTime.UTC, Z(1, 1, 2026, 12) - (base + 59) * 60) << round;
    }
}

TEST(ZoneRegistry, ThreadsTakeAndGiveBackZonesAtOnce) {
    // Entries are released and reused while other threads convert with
    // theirs: every conversion still uses its own message's zone.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            for (int round = 0; round < 40; ++round) {
                const int base = (t * 331 + round * 17) % 1300;
                Object o =
                    Parse(ManyZones(20, base) + Calendar({"DTSTART;TZID=z19:20260101T120000"}));
                if (!o || o->StartTime.UTC != Z(1, 1, 2026, 12) - (base + 19) * 60) ++wrong;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ZoneRegistry, TooManyZonesRefuseTheMessageOnly) {
    EXPECT_TRUE(Parse(ManyZones(64, 0) + Calendar({"UID:ok"})));
    EXPECT_FALSE(Parse(ManyZones(65, 0) + Calendar({"UID:refused"})));
    // Identical rule sets count too: each block is a record the object holds.
    std::string same;
    for (int i = 0; i < 100; ++i)
        same += Zone("s" + std::to_string(i), "FREQ=YEARLY;BYMONTH=11;BYDAY=1SU",
                     "FREQ=YEARLY;BYMONTH=3;BYDAY=2SU");
    EXPECT_FALSE(Parse(same + Calendar({"UID:refused"})));
    // The next message is not affected.
    Object next = Parse(ManyZones(3, 7) + Calendar({"DTSTART;TZID=z2:20260101T120000"}));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->StartTime.UTC, Z(1, 1, 2026, 12) - 9 * 60);
}

// Last: fills the registry of this process, then empties it again.
TEST(ZoneRegistryLast, AFullRegistryRefusesTheMessageNotTheZone) {
    std::vector<int> held;
    for (int i = 0;; ++i) {
        const int id = DTGetTimezoneID(1, 0, 1, 0, 2, 0, 2, 0, -i % 1440, 7 + i / 1440);
        ASSERT_NE(id, 0);
        if (id < 0) break;
        held.push_back(id);
        ASSERT_LT(i, 100000);
    }
    EXPECT_FALSE(Parse(ManyZones(1, 500) + Calendar({"DTSTART;TZID=z0:20260101T120000"})));
    // A message whose zones are all known still parses.
    DTReleaseTimezoneID(held.back());
    held.pop_back();
    Object o = Parse(ManyZones(1, 500) + Calendar({"DTSTART;TZID=z0:20260101T120000"}));
    ASSERT_TRUE(o);
    EXPECT_EQ(o->StartTime.UTC, Z(1, 1, 2026, 12) - 500 * 60);
    for (int id : held)
        DTReleaseTimezoneID(id);
}

} // namespace
