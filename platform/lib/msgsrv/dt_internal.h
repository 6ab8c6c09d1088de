// Shared helpers of the date library's source files.
#ifndef MSGSRV_DT_INTERNAL_H
#define MSGSRV_DT_INTERNAL_H

#include <cstdint>

namespace dt {

// Rata Die number of 1970-01-01.
inline constexpr int64_t kRataDie1970 = 719163;

// Days since 1970-01-01 of a date; any month number is folded into a year.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d);
void CivilFromDays(int64_t days, int64_t& y, int& m, int& d);
bool IsLeap(int64_t y);
int DaysInMonth(int64_t y, int m);

} // namespace dt

#endif
