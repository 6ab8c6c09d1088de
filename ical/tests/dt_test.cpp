// The date library: calendar arithmetic, 32-bit times, zone rules around
// their transitions, the zone registry under threads, and zone 0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "msgsrv.h"

namespace {

TEST(Calendar, DayNumbersWeekdaysAndInverse) {
    EXPECT_EQ(DTGetRataDie(1, 1, 1), 1);
    EXPECT_EQ(DTGetRataDie(1, 1, 1970) % 7, 4);  // Thursday
    EXPECT_EQ(DTGetRataDie(8, 12, 2026) % 7, 2); // Tuesday
    EXPECT_EQ(DTGetRataDie(1, 13, 1999), DTGetRataDie(1, 1, 2000));
    EXPECT_EQ(DTGetRataDie(1, 3, 2000) - DTGetRataDie(28, 2, 2000), 2);
    EXPECT_EQ(DTGetRataDie(1, 3, 1900) - DTGetRataDie(28, 2, 1900), 1);
    // Every day of four centuries round-trips and numbers are consecutive.
    int previous = DTGetRataDie(31, 12, 1799);
    for (int y = 1800; y < 2200; ++y)
        for (int m = 1; m <= 12; ++m) {
            const int len =
                DTDaysPerMonth[m - 1] + (m == 2 && ((y % 4 == 0 && y % 100) || y % 400 == 0));
            for (int d = 1; d <= len; ++d) {
                const int n = DTGetRataDie(d, m, y);
                ASSERT_EQ(n, previous + 1);
                previous = n;
                int dd, mm, yy;
                DTGetDate(n, &dd, &mm, &yy);
                ASSERT_EQ(dd * 10000 + mm * 100 + yy % 100, d * 10000 + m * 100 + y % 100);
                ASSERT_EQ(yy, y);
            }
        }
    const int table[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(DTDaysPerMonth[i], table[i]);
}

TEST(Times, UtcSecondsAndNonexistentTimes) {
    EXPECT_EQ(DTGetUTC(1, 1, 1970, 0, 0, 0), 0);
    EXPECT_EQ(DTGetUTC(9, 9, 2001, 1, 46, 40), 1000000000);
    EXPECT_EQ(DTGetUTC(29, 2, 2000, 12, 0, 0), 951825600);
    EXPECT_EQ(DTGetUTC(30, 2, 2000, 0, 0, 0), -1);
    EXPECT_EQ(DTGetUTC(29, 2, 1999, 0, 0, 0), -1);
    EXPECT_EQ(DTGetUTC(1, 13, 1999, 0, 0, 0), -1);
    EXPECT_EQ(DTGetUTC(1, 0, 1999, 0, 0, 0), -1);
    EXPECT_EQ(DTGetUTC(0, 1, 1999, 0, 0, 0), -1);
    EXPECT_EQ(DTGetUTC(1, 1, 1999, 24, 0, 0), -1);
    EXPECT_EQ(DTGetUTC(1, 1, 1999, 0, 60, 0), -1);
    EXPECT_EQ(DTGetUTC(1, 1, 1999, 0, 0, 60), -1);
    EXPECT_EQ(DTGetUTC(31, 12, 1969, 23, 59, 59), -1); // before the epoch
    // Unsigned 32-bit: past 2038 and up to 2106.
    EXPECT_EQ(uint32_t(DTGetUTC(1, 1, 2040, 0, 0, 0)), 2208988800u);
    EXPECT_EQ(DTGetUTC(1, 1, 2107, 0, 0, 0), -1);
    int d, m, y, h, mi, s;
    DTGetDMY(int32_t(2208988800u + 3661), &d, &m, &y, &h, &mi, &s);
    EXPECT_EQ(std::vector<int>({d, m, y, h, mi, s}), std::vector<int>({1, 1, 2040, 1, 1, 1}));
    DTGetDMY(951825600, &d, &m, &y, &h, &mi, &s);
    EXPECT_EQ(std::vector<int>({d, m, y, h, mi, s}), std::vector<int>({29, 2, 2000, 12, 0, 0}));
}

int Eastern() {
    return DTGetTimezoneID(-1, 0, 10, 2, 2, 0, 3, 2, -300, -240);
}

TEST(Zones, NorthernTransitionsByLocalHour) {
    const int z = Eastern(); // second Sunday of March 02:00, last Sunday of October 02:00
    ASSERT_GT(z, 0);
    // 2026: daylight from 8 March, standard from 25 October.
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 8, 3, 2026, 1), -5 * 3600);
    // The skipped hour keeps the offset before the gap (RFC 5545 3.3.5):
    // 02:30 is 07:30 UTC, which is 03:30 daylight time.
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 8, 3, 2026, 2), -5 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 8, 3, 2026, 3), -4 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 7, 3, 2026, 23), -5 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 25, 10, 2026, 1), -4 * 3600); // the repeated hour
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 25, 10, 2026, 2), -5 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 1, 7, 2026, 12), -4 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 1, 1, 2026, 12), -5 * 3600);
}

TEST(Zones, SouthernLastWeekAndNoDaylight) {
    // Daylight from the first Sunday of October, standard from the first
    // Sunday of April, both at 03:00 / 02:00 local.
    const int z = DTGetTimezoneID(1, 0, 4, 3, 1, 0, 10, 2, 600, 660);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 15, 1, 2026, 12), 660 * 60);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 15, 7, 2026, 12), 600 * 60);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 5, 4, 2026, 2), 660 * 60);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 5, 4, 2026, 3), 600 * 60);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 4, 10, 2026, 1), 600 * 60);
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 4, 10, 2026, 2), 600 * 60); // skipped
    EXPECT_EQ(DTGetUTCOffsetByDate(z, 4, 10, 2026, 3), 660 * 60);
    // Week 5 means the last one when a month has only four.
    const int last = DTGetTimezoneID(5, 0, 10, 3, 5, 0, 3, 2, 60, 120);
    EXPECT_EQ(DTGetUTCOffsetByDate(last, 29, 3, 2026, 2), 60 * 60); // skipped
    EXPECT_EQ(DTGetUTCOffsetByDate(last, 29, 3, 2026, 3), 120 * 60);
    EXPECT_EQ(DTGetUTCOffsetByDate(last, 28, 3, 2026, 23), 60 * 60);
    // No daylight rule: the standard offset all year.
    const int india = DTGetTimezoneID(0, 0, 0, 0, 0, 0, 0, 0, 330, 0);
    for (int m = 1; m <= 12; ++m)
        EXPECT_EQ(DTGetUTCOffsetByDate(india, 1, m, 2026, 0), 19800);
}

TEST(Zones, RegistrySharesIdenticalRulesAcrossThreads) {
    const int first = Eastern();
    std::vector<std::thread> threads;
    std::vector<std::set<int>> seen(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &seen] {
            for (int i = 0; i < 300; ++i) {
                const int id = DTGetTimezoneID(-1, 0, 10, 2, 1, 0, 4, 2, -300 - i, -240);
                seen[t].insert(id);
                (void)DTGetUTCOffsetByDate(id, 1, 7, 2000, 12);
                seen[t].insert(Eastern());
            }
        });
    for (auto& th : threads)
        th.join();
    for (const auto& s : seen)
        EXPECT_EQ(s, seen[0]);
    EXPECT_EQ(seen[0].size(), 301u);
    EXPECT_EQ(Eastern(), first);
    // An unknown identifier answers like zone 0 rather than failing.
    EXPECT_EQ(DTGetUTCOffsetByDate(987654321, 1, 7, 2000, 12),
              DTGetUTCOffsetByDate(0, 1, 7, 2000, 12));
}

TEST(Zones, DefaultZoneIsTheProcessLocalZone) {
    for (int m = 1; m <= 12; ++m) {
        const int32_t local = DTGetUTC(15, m, 2026, 12, 0, 0);
        const std::time_t t = local - DTGetUTCOffsetByDate(0, 15, m, 2026, 12);
        struct tm tm;
        ASSERT_NE(localtime_r(&t, &tm), nullptr);
        EXPECT_EQ(tm.tm_hour, 12) << "month " << m;
        EXPECT_EQ(tm.tm_mday, 15);
    }
}

TEST(Zones, DefaultZoneAroundItsTransitions) {
    const char* tz = std::getenv("TZ");
    if (!tz || std::string(tz) != "America/New_York")
        GTEST_SKIP() << "needs TZ=America/New_York (a second run of this program sets it)";
    // As for rule zones: the skipped hour keeps the offset before the gap,
    // the repeated hour is its first occurrence (daylight).
    EXPECT_EQ(DTGetUTCOffsetByDate(0, 8, 3, 2026, 1), -5 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(0, 8, 3, 2026, 2), -5 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(0, 8, 3, 2026, 3), -4 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(0, 1, 11, 2026, 0), -4 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(0, 1, 11, 2026, 1), -4 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(0, 1, 11, 2026, 2), -5 * 3600);
    EXPECT_EQ(DTGetUTCOffsetByDate(0, 1, 1, 2040, 12), -5 * 3600);
}

TEST(Zones, ReleasedRuleSetsLeaveTheRegistry) {
    const int a = DTGetTimezoneID(2, 0, 10, 3, 1, 0, 4, 2, 123, 183);
    ASSERT_GT(a, 0);
    EXPECT_EQ(DTGetTimezoneID(2, 0, 10, 3, 1, 0, 4, 2, 123, 183), a); // a second hold
    EXPECT_EQ(DTReleaseTimezoneID(a), 1);
    EXPECT_EQ(DTGetUTCOffsetByDate(a, 1, 1, 2026, 12), 123 * 60); // still held once
    EXPECT_EQ(DTGetTimezoneID(2, 0, 10, 3, 1, 0, 4, 2, 123, 183), a);
    EXPECT_EQ(DTReleaseTimezoneID(a), 1);
    EXPECT_EQ(DTReleaseTimezoneID(a), 1);
    EXPECT_EQ(DTReleaseTimezoneID(a), 0); // no hold left
    EXPECT_EQ(DTReleaseTimezoneID(0), 0);
    EXPECT_EQ(DTReleaseTimezoneID(-1), 0);
    // Its entry serves the next new rule set, with that set's rules.
    const int b = DTGetTimezoneID(2, 0, 10, 3, 1, 0, 4, 2, 124, 184);
    EXPECT_EQ(b, a);
    EXPECT_EQ(DTGetUTCOffsetByDate(b, 1, 1, 2026, 12), 124 * 60);
    EXPECT_EQ(DTReleaseTimezoneID(b), 1);
}

// Runs last: it fills the registry of this process.
TEST(ZonesLast, AFullRegistryRefusesNewRuleSetsUntilOnesAreReleased) {
    const int eastern = Eastern();
    std::set<int> ids;
    int refused = 0;
    for (int i = 0; i < 5000; ++i) {
        const int id = DTGetTimezoneID(-1, 0, 10, 2, 2, 0, 3, 2, i % 1440, 60 + i / 1440);
        ASSERT_NE(id, 0); // never the server zone in place of the one asked for
        if (id < 0)
            ++refused;
        else
            ids.insert(id);
    }
    EXPECT_GT(refused, 0);
    EXPECT_LE(ids.size(), 4096u);
    EXPECT_EQ(Eastern(), eastern); // rule sets registered earlier are still found
    EXPECT_LT(DTGetTimezoneID(1, 1, 1, 1, 1, 1, 1, 1, 1, 1), 0);
    // Released entries make room again.
    const int freed = *ids.begin();
    EXPECT_EQ(DTReleaseTimezoneID(freed), 1);
    const int fresh = DTGetTimezoneID(1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
    EXPECT_EQ(fresh, freed);
    EXPECT_EQ(DTGetUTCOffsetByDate(fresh, 1, 7, 2026, 12), 60);
}

} // namespace
