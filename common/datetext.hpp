// Calendar arithmetic on UTC nanosecond timestamps, and their eight-digit date text
// ("%Y%m%d").
//
// Dates are counted in days from 1970-01-01 on the proleptic Gregorian calendar, in whole
// 400-year eras of 146097 days from 0000-03-01, so that a leap day ends its year. Plain
// integer arithmetic gives the same fields as the C library's UTC breakdown at a fraction of
// its cost, needs no lock or time zone state, and never consults the process time zone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>

namespace fk {

constexpr std::int64_t ns_per_s = 1000000000;

// A time later than every one an int64 nanosecond count can hold. Real times built here are
// whole seconds and this value is not, so it never stands for a real date.
constexpr std::int64_t beyond_ns = std::numeric_limits<std::int64_t>::max();

// Days from 1970-01-01 to the date y-m-d (m from 1 to 12).
inline std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;                                    // 0 .. 399
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // 0 .. 365
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;            // 0 .. 146096
    return era * 146097 + doe - 719468;
}

// UTC breakdown of a timestamp; the sub-second part is dropped by truncation toward zero
// (-1 ns is still 1970-01-01). Fills the year, month, day and time of day.
inline void ns_to_tm(std::int64_t ns, std::tm& out) {
    const std::int64_t s = ns / ns_per_s;
    const std::int64_t days = s / 86400 - (s % 86400 < 0 ? 1 : 0);  // floored
    const std::int64_t sod = s - days * 86400;
    const std::int64_t z = days + 719468;  // days from 0000-03-01
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;                                       // 0 .. 146096
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0 .. 399
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // 0 .. 365
    const std::int64_t mp = (5 * doy + 2) / 153;  // months from March, 0 .. 11
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    out.tm_year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0) - 1900);
    out.tm_mon = static_cast<int>(m - 1);
    out.tm_mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.tm_hour = static_cast<int>(sod / 3600);
    out.tm_min = static_cast<int>(sod / 60 % 60);
    out.tm_sec = static_cast<int>(sod % 60);
}

// Inverse of ns_to_tm for a breakdown whose fields all lie in their ranges. Times after
// 2262-04-11 have no nanosecond count; they saturate to beyond_ns instead of wrapping to a
// date in the past.
inline std::int64_t tm_to_ns(const std::tm& in) {
    constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
    const std::int64_t s =
        days_from_civil(std::int64_t{in.tm_year} + 1900, in.tm_mon + 1, in.tm_mday) * 86400 +
        in.tm_hour * 3600 + in.tm_min * 60 + in.tm_sec;
    if (s > i64_max / ns_per_s) return beyond_ns;
    if (s < i64_min / ns_per_s) return i64_min;
    return s * ns_per_s;
}

// Eight-digit UTC date text of a timestamp, seconds taken by truncation toward zero. The
// digits are written directly: a string stream per call costs more than reading a large
// matrix.
inline std::string ns2ymd(std::int64_t ns) {
    std::tm tm{};
    ns_to_tm(ns, tm);
    int y = tm.tm_year + 1900;  // 1677 .. 2262 over the whole int64 range
    const int m = tm.tm_mon + 1;
    const int d = tm.tm_mday;
    char buf[8];
    for (int k = 3; k >= 0; --k, y /= 10) buf[k] = static_cast<char>('0' + y % 10);
    buf[4] = static_cast<char>('0' + m / 10);
    buf[5] = static_cast<char>('0' + m % 10);
    buf[6] = static_cast<char>('0' + d / 10);
    buf[7] = static_cast<char>('0' + d % 10);
    return std::string(buf, 8);
}

// The same day of month and time of day n_months later; the day is clamped to the length
// of the target month (Jan 31 + 1 month = Feb 28 or 29). Sub-second parts are dropped.
inline std::int64_t add_months_ns(std::int64_t ns, std::int32_t n_months) {
    constexpr std::int32_t i32_max = std::numeric_limits<std::int32_t>::max();
    static const std::int32_t md[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::tm tm{};
    ns_to_tm(ns, tm);
    const std::int32_t y = tm.tm_year + 1900;
    const std::int32_t m = tm.tm_mon;
    const std::int32_t d = tm.tm_mday;
    // Months are counted from January of year 0 in 32 bits; a horizon that leaves that
    // range would wrap to a date in the past, so it is refused.
    const std::int64_t tot64 = static_cast<std::int64_t>(y) * 12 + m + n_months;
    if (tot64 > i32_max)
        throw std::invalid_argument("horizon too long: " + std::to_string(n_months) +
                                    " months after " + ns2ymd(ns) + " end past month " +
                                    std::to_string(i32_max) + " counted from year 0");
    const std::int32_t tot = static_cast<std::int32_t>(tot64);
    const std::int32_t ny = tot / 12;
    const std::int32_t nm = tot % 12;
    std::int32_t maxd = md[nm];
    if (nm == 1) maxd = ((ny % 4 == 0 && ny % 100 != 0) || ny % 400 == 0) ? 29 : 28;
    std::tm ntm{};
    ntm.tm_year = ny - 1900;
    ntm.tm_mon = nm;
    ntm.tm_mday = std::min(d, maxd);
    ntm.tm_hour = tm.tm_hour;
    ntm.tm_min = tm.tm_min;
    ntm.tm_sec = tm.tm_sec;
    return tm_to_ns(ntm);
}

}  // namespace fk
