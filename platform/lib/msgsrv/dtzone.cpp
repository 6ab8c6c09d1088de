// Time zones: the server's default zone (zone 0, the process's local zone)
// and a registry of zones described by two yearly transition rules.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dt_internal.h"
#include "msgsrv.h"

namespace {

struct ZoneRules {
    int stdWeek, stdWeekday, stdMonth, stdHour;
    int dstWeek, dstWeekday, dstMonth, dstHour;
    int stdOffset, dstOffset; // minutes
    auto Key() const {
        return std::array<int, 10>{stdWeek,    stdWeekday, stdMonth, stdHour,   dstWeek,
                                   dstWeekday, dstMonth,   dstHour,  stdOffset, dstOffset};
    }
};

// Identifiers are indexes + 1 into a fixed table. Identical rule sets share
// one entry, counted by its holders; an entry nobody holds any more goes back
// to a free list and may describe another zone later. Entries are written
// under the lock before their identifier is handed out, and only read by
// holders, so readers need no lock. A full table refuses a new rule set (-1)
// instead of answering with another zone.
constexpr int kMaxZones = 4096;
ZoneRules gZones[kMaxZones];
int gZoneRefs[kMaxZones];       // guarded by gZoneLock
std::atomic<int> gZoneCount{0}; // entries ever used
std::mutex gZoneLock;
std::map<std::array<int, 10>, int>* gZoneIndex = nullptr; // guarded by gZoneLock
std::vector<int>* gZoneFree = nullptr;                    // guarded by gZoneLock

int Clamp(int v, int lo, int hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

// Day number (days since 1970) of the week-th weekday of a month; week < 0
// counts from the end, and a week beyond the month means the last one.
int64_t NthWeekday(int64_t year, int month, int week, int weekday) {
    const int len = dt::DaysInMonth(year, month);
    if (week > 0) {
        const int64_t first = dt::DaysFromCivil(year, month, 1);
        // 1970-01-01 was a Thursday (4).
        const int wd = static_cast<int>(((first + 4) % 7 + 7) % 7);
        int64_t day = first + (weekday - wd + 7) % 7 + 7 * (week - 1);
        while (day >= first + len)
            day -= 7;
        return day;
    }
    const int64_t last = dt::DaysFromCivil(year, month, len);
    const int wd = static_cast<int>(((last + 4) % 7 + 7) % 7);
    int64_t day = last - (wd - weekday + 7) % 7 - 7 * (-week - 1);
    while (day < last - len + 1)
        day += 7;
    return day;
}

int RuleOffsetSeconds(const ZoneRules& z, int day, int month, int year, int hour) {
    const bool hasDst = z.dstMonth >= 1 && z.dstMonth <= 12 && z.stdMonth >= 1 &&
                        z.stdMonth <= 12 && z.dstWeek != 0 && z.stdWeek != 0;
    if (!hasDst) return z.stdOffset * 60;
    // Compare local wall-clock hours: the hour repeated in autumn counts as
    // daylight time (its first occurrence).
    const int64_t now = dt::DaysFromCivil(year, month, day) * 24 + hour;
    // A transition that moves the clock forward skips the local hours up to
    // the new offset; they keep the offset before the gap (RFC 5545 3.3.5),
    // so the change counts from the first hour that exists.
    auto gapHours = [](int from, int to) { return to > from ? (to - from + 59) / 60 : 0; };
    const int64_t dstStart = NthWeekday(year, z.dstMonth, z.dstWeek, z.dstWeekday) * 24 +
                             z.dstHour + gapHours(z.stdOffset, z.dstOffset);
    const int64_t stdStart = NthWeekday(year, z.stdMonth, z.stdWeek, z.stdWeekday) * 24 +
                             z.stdHour + gapHours(z.dstOffset, z.stdOffset);
    bool daylight;
    if (dstStart < stdStart)
        daylight = now >= dstStart && now < stdStart; // northern hemisphere
    else
        daylight = now >= dstStart || now < stdStart; // southern hemisphere
    return (daylight ? z.dstOffset : z.stdOffset) * 60;
}

// --- zone 0 ---------------------------------------------------------------

struct LocalZone {
    bool fixed = false; // true: the zone never changes its offset
    int offset = 0;     // seconds, when fixed
};

uint32_t Be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A compiled zone file with no transitions and one local time type is a
// fixed offset (UTC on most servers): answer it without calling into libc.
bool ReadFixedZone(const std::string& path, int& offset) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::string data(1 << 16, '\0');
    data.resize(std::fread(data.data(), 1, data.size(), f));
    std::fclose(f);
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    size_t pos = 0;
    const size_t size = data.size();
    for (int pass = 1; pass <= 2; ++pass) {
        if (size - pos < 44 || std::memcmp(p + pos, "TZif", 4) != 0) return false;
        const bool v2 = p[pos + 4] >= '2';
        const uint64_t isutcnt = Be32(p + pos + 20), isstdcnt = Be32(p + pos + 24),
                       leapcnt = Be32(p + pos + 28), timecnt = Be32(p + pos + 32),
                       typecnt = Be32(p + pos + 36), charcnt = Be32(p + pos + 40);
        if (timecnt != 0 || typecnt != 1) return false;
        if (size - pos < 44 + 6) return false;
        offset = static_cast<int32_t>(Be32(p + pos + 44));
        const uint64_t tsize = pass == 1 ? 4 : 8;
        const uint64_t body = timecnt * tsize + timecnt + typecnt * 6 + charcnt +
                              leapcnt * (tsize + 4) + isstdcnt + isutcnt;
        if (body > size - pos - 44) return false;
        pos += 44 + body;
        if (!v2) return true;
        if (pass == 2) {
            // The footer holds the rule for times after the table: a fixed
            // zone has none (no comma).
            return std::memchr(p + pos, ',', size - pos) == nullptr;
        }
    }
    return false;
}

LocalZone DetectLocalZone() {
    LocalZone z;
    const char* tz = std::getenv("TZ");
    std::string path;
    if (!tz) {
        path = "/etc/localtime";
    } else {
        if (*tz == ':') ++tz;
        if (*tz == '\0' || std::strcmp(tz, "UTC") == 0 || std::strcmp(tz, "UTC0") == 0 ||
            std::strcmp(tz, "GMT") == 0 || std::strcmp(tz, "GMT0") == 0) {
            z.fixed = true; // glibc treats an empty TZ as UTC as well
            return z;
        }
        if (*tz == '/')
            path = tz;
        else if (std::strstr(tz, "..") == nullptr)
            path = std::string("/usr/share/zoneinfo/") + tz;
    }
    int offset = 0;
    if (!path.empty() && ReadFixedZone(path, offset)) {
        z.fixed = true;
        z.offset = offset;
    } else if (!tz && path == "/etc/localtime") {
        // No TZ and no readable zone file: the C library uses UTC.
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f)
            z.fixed = true;
        else
            std::fclose(f);
    }
    return z;
}

const LocalZone& Local() {
    static const LocalZone zone = [] {
        tzset(); // once, so that localtime_r sees the zone below
        return DetectLocalZone();
    }();
    return zone;
}

long GmtOffset(time_t t) {
    struct tm tm;
    if (!localtime_r(&t, &tm)) return 0;
    return tm.tm_gmtoff;
}

int LocalOffsetSeconds(int day, int month, int year, int hour) {
    const LocalZone& z = Local();
    if (z.fixed) return z.offset;
    const time_t t =
        static_cast<time_t>(dt::DaysFromCivil(year, month, day) * 86400 + int64_t(hour) * 3600);
    // The offsets in force a day before and a day after are the candidates; a
    // candidate is consistent when the instant it gives carries it. Repeated
    // hours (both consistent) take the first occurrence and skipped hours
    // (neither) the offset before the gap: the earlier offset either way, as
    // for the rule zones above.
    const long before = GmtOffset(t - 86400), after = GmtOffset(t + 86400);
    const bool okBefore = GmtOffset(t - before) == before;
    const bool okAfter = before == after || GmtOffset(t - after) == after;
    return static_cast<int>(okAfter && !okBefore ? after : before);
}

} // namespace

extern "C" {

int DTGetTimezoneID(int stdWeek, int stdWeekday, int stdMonth, int stdHour, int dstWeek,
                    int dstWeekday, int dstMonth, int dstHour, int stdOffset, int dstOffset) {
    // Normalise first so that equivalent descriptions share one identifier
    // and the arithmetic never sees absurd values.
    ZoneRules z{Clamp(stdWeek, -5, 5),         ((stdWeekday % 7) + 7) % 7,
                Clamp(stdMonth, 0, 13),        Clamp(stdHour, -48, 72),
                Clamp(dstWeek, -5, 5),         ((dstWeekday % 7) + 7) % 7,
                Clamp(dstMonth, 0, 13),        Clamp(dstHour, -48, 72),
                Clamp(stdOffset, -1440, 1440), Clamp(dstOffset, -1440, 1440)};
    std::lock_guard<std::mutex> lock(gZoneLock);
    if (!gZoneIndex) gZoneIndex = new std::map<std::array<int, 10>, int>();
    if (!gZoneFree) gZoneFree = new std::vector<int>();
    auto it = gZoneIndex->find(z.Key());
    if (it != gZoneIndex->end()) {
        ++gZoneRefs[it->second - 1];
        return it->second;
    }
    int slot;
    if (!gZoneFree->empty()) {
        slot = gZoneFree->back();
        gZoneFree->pop_back();
        gZones[slot] = z;
    } else {
        slot = gZoneCount.load(std::memory_order_relaxed);
        if (slot >= kMaxZones) return -1;
        gZones[slot] = z;
        gZoneCount.store(slot + 1, std::memory_order_release);
    }
    gZoneRefs[slot] = 1;
    (*gZoneIndex)[z.Key()] = slot + 1;
    return slot + 1;
}

int DTReleaseTimezoneID(int zone) {
    std::lock_guard<std::mutex> lock(gZoneLock);
    if (zone <= 0 || zone > gZoneCount.load(std::memory_order_relaxed) || gZoneRefs[zone - 1] <= 0)
        return 0;
    if (--gZoneRefs[zone - 1] == 0) {
        gZoneIndex->erase(gZones[zone - 1].Key());
        gZoneFree->push_back(zone - 1);
    }
    return 1;
}

int32_t DTGetUTCOffsetByDate(int zone, int day, int month, int year, int hour) {
    if (zone > 0 && zone <= gZoneCount.load(std::memory_order_acquire))
        return RuleOffsetSeconds(gZones[zone - 1], day, month, year, hour);
    return LocalOffsetSeconds(day, month, year, hour);
}

} // extern "C"
