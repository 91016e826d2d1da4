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
#include <cstring>
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

// Whole days from 1970-01-01 of a timestamp, its seconds taken by truncation toward zero
// (-1 ns is still 1970-01-01), then floored to the day.
inline std::int64_t day_of_ns(std::int64_t ns) {
    const std::int64_t s = ns / ns_per_s;
    return s / 86400 - (s % 86400 < 0 ? 1 : 0);
}

// Year, month (1 to 12) and day of month of a day counted from 1970-01-01.
struct Civil {
    std::int64_t y, m, d;
};

// The breakdown takes a few multiplications in 32-bit unsigned arithmetic: days are shifted
// by whole 400-year eras so that every day from 34,770 years before 1970 to some 2.9 million
// years after it counts from 0, which covers every day of an int64 nanosecond count (about
// 292 years to either side) many times over. Years then come out of the eras and of the
// day within an era by multiplications and shifts rather than divisions, and a year is
// counted from March so that a leap day ends it.
inline Civil civil_from_days(std::int64_t days) {
    constexpr std::uint32_t eras = 82;  // the shift, in eras of 146097 days
    constexpr std::int64_t shift = 719468 + 146097 * std::int64_t{eras};  // to 0000-03-01, then back
    const auto n = static_cast<std::uint32_t>(days + shift);
    const std::uint32_t n1 = 4 * n + 3;
    const std::uint32_t century = n1 / 146097;
    const std::uint32_t n2 = n1 % 146097 / 4 * 4 + 3;  // 4 * (day of the century) + 3
    const std::uint64_t p2 = std::uint64_t{2939745} * n2;
    const auto year_of_century = static_cast<std::uint32_t>(p2 >> 32);
    const std::uint32_t day_of_year = static_cast<std::uint32_t>(p2) / 2939745 / 4;  // from March
    const std::uint32_t n3 = 2141 * day_of_year + 197913;
    const std::uint32_t month = n3 >> 16;  // 3 .. 14, March to February
    const bool next = day_of_year >= 306;  // January or February of the next year
    return {std::int64_t{100 * century + year_of_century} - 400 * std::int64_t{eras} + next,
            next ? month - 12 : month, (n3 & 0xffff) / 2141 + 1};
}

// UTC breakdown of a timestamp; the sub-second part is dropped by truncation toward zero.
// Fills the year, month, day and time of day.
inline void ns_to_tm(std::int64_t ns, std::tm& out) {
    const std::int64_t days = day_of_ns(ns);
    const std::int64_t sod = ns / ns_per_s - days * 86400;
    const Civil c = civil_from_days(days);
    out.tm_year = static_cast<int>(c.y - 1900);
    out.tm_mon = static_cast<int>(c.m - 1);
    out.tm_mday = static_cast<int>(c.d);
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
// digits are written directly, two at a time from a table: a string stream per call costs
// more than reading a large matrix, and a small call writes a text or two per fund.
inline std::string ns2ymd(std::int64_t ns) {
    static constexpr char pairs[] =
        "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
        "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";
    const Civil c = civil_from_days(day_of_ns(ns));
    const auto y = static_cast<int>(c.y);  // 1677 .. 2262 over the whole int64 range
    char buf[8];
    std::memcpy(buf, pairs + 2 * (y / 100), 2);
    std::memcpy(buf + 2, pairs + 2 * (y % 100), 2);
    std::memcpy(buf + 4, pairs + 2 * c.m, 2);
    std::memcpy(buf + 6, pairs + 2 * c.d, 2);
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
