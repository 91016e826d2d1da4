// Eight-digit UTC date text ("%Y%m%d") of a nanosecond timestamp.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace fk {

// Seconds are taken by truncation toward zero, so -1 ns is still 1970-01-01. The breakdown
// is the re-entrant UTC one; the process time zone is never consulted. The digits are
// written directly: a string stream per call costs more than reading a large matrix.
inline std::string ns2ymd(std::int64_t ns) {
    const std::time_t sec = static_cast<std::time_t>(ns / 1000000000);
    std::tm tm{};
    gmtime_r(&sec, &tm);
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

}  // namespace fk
