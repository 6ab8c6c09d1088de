// Date arithmetic: proleptic Gregorian calendar, day numbers and the
// 32-bit time values of the message-server interface.
//
// Times are unsigned 32-bit seconds since 1970 carried in an int32_t, so they
// reach into 2106; the bit pattern 0xFFFFFFFF (-1) is reserved for "no such
// time" and instants before 1970 are not representable.
#include "dt_internal.h"
#include "msgsrv.h"

namespace dt {

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    // Fold any month number into 1..12 first (13 is January of the next year).
    int64_t m0 = m - 1;
    y += m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
    m0 -= 12 * (m0 >= 0 ? m0 / 12 : -((11 - m0) / 12));
    m = m0 + 1;
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

bool IsLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int64_t y, int m) {
    if (m < 1 || m > 12) return 0;
    return DTDaysPerMonth[m - 1] + (m == 2 && IsLeap(y));
}

} // namespace dt

extern "C" {

const int DTDaysPerMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int32_t DTGetUTC(int day, int month, int year, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > dt::DaysInMonth(year, month)) return -1;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return -1;
    const int64_t s =
        dt::DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    if (s < 0 || s >= 0xFFFFFFFFLL) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(s));
}

int32_t DTGetRataDie(int day, int month, int year) {
    // Day 1 is 1 January of year 1 (a Monday), so n mod 7 is the weekday, 0 Sunday.
    return static_cast<int32_t>(dt::DaysFromCivil(year, month, day) + dt::kRataDie1970);
}

void DTGetDate(int32_t dayNumber, int* day, int* month, int* year) {
    int64_t y;
    int m, d;
    dt::CivilFromDays(static_cast<int64_t>(dayNumber) - dt::kRataDie1970, y, m, d);
    if (day) *day = d;
    if (month) *month = m;
    if (year) *year = static_cast<int>(y);
}

void DTGetDMY(int32_t seconds, int* day, int* month, int* year, int* hour, int* minute,
              int* second) {
    const uint32_t s = static_cast<uint32_t>(seconds);
    int64_t y;
    int m, d;
    dt::CivilFromDays(s / 86400, y, m, d);
    const uint32_t rest = s % 86400;
    if (day) *day = d;
    if (month) *month = m;
    if (year) *year = static_cast<int>(y);
    if (hour) *hour = static_cast<int>(rest / 3600);
    if (minute) *minute = static_cast<int>(rest / 60 % 60);
    if (second) *second = static_cast<int>(rest % 60);
}

} // extern "C"
