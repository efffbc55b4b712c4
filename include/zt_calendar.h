/* zt_calendar.h - the one calendar of the project and its date/time writers: a pure
 * utility (no Python, no library, no allocation) that both the driver and libzotusql
 * include, so that a day count, a date text and a timestamp text mean the same thing on
 * both sides of ZTCsql.h.
 *
 * The calendar is the proleptic Gregorian one with astronomical years (year 0 is 1 BC,
 * year -4 is 5 BC, a leap year); day counts are days since 1970-01-01 and may be negative.
 * Every routine is exact for any year a 64-bit day count holds without overflow in its
 * arithmetic (beyond +-10^15 years). */
#ifndef ZT_CALENDAR_H
#define ZT_CALENDAR_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zt_calendar {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;
/* Days from 1970-01-01 to 2000-01-01, where PostgreSQL's binary dates and timestamps
 * count from. */
constexpr int64_t kPgEpochDays = 10957;

/* Quotient rounded towards minus infinity (b > 0): a count before 1970 still has a
 * time of day in [0, 24 h). */
constexpr int64_t floor_div(int64_t a, int64_t b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

/* The remainder that goes with floor_div: in [0, b) for b > 0. */
constexpr int64_t floor_mod(int64_t a, int64_t b)
{
    return a - floor_div(a, b) * b;
}

constexpr bool is_leap(int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

/* Days of month m (1..12) of year y. */
constexpr int days_in_month(int64_t y, int m)
{
    return m == 2 ? (is_leap(y) ? 29 : 28) : (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
}

/* Whether y-m-d names a day of the calendar (any year, month 1..12, a day of the month). */
constexpr bool valid_date(int64_t y, int m, int d)
{
    return m >= 1 && m <= 12 && d >= 1 && d <= days_in_month(y, m);
}

/* Days from 1970-01-01 to y-m-d, by 400-year eras (146097 days each) counted from
 * 0000-03-01, so that a leap day ends its year. */
constexpr int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

/* The date of `days` since 1970-01-01: the inverse of days_from_civil. */
inline void civil_from_days(int64_t days, int64_t &y, int &m, int &d)
{
    const int64_t z = days + 719468;
    const int64_t era = floor_div(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

/* ---- writers: each writes at w, returns the end, and writes no terminating zero ---- */

/* Writes v (0 or more) in exactly `width` digits, leading zeros included. */
inline char *put_digits(char *w, int64_t v, int width)
{
    for (int k = width - 1; k >= 0; --k, v /= 10)
        w[k] = static_cast<char>('0' + v % 10);
    return w + width;
}

/* Writes a year of 0 or more in four digits, more past 9999 (at most 19), zero-padded or,
 * when pad is ' ', blank-padded ("   5"). */
inline char *put_year(char *w, int64_t y, char pad = '0')
{
    int n = 1;
    for (int64_t t = y; t >= 10; t /= 10)
        ++n;
    switch (n) {  // the padding, at most three characters
    case 1: *w++ = pad; [[fallthrough]];
    case 2: *w++ = pad; [[fallthrough]];
    case 3: *w++ = pad; break;
    default: break;
    }
    return put_digits(w, y, n);
}

inline char *put_text(char *w, const char *text)
{
    const size_t n = std::strlen(text);
    std::memcpy(w, text, n);
    return w + n;
}

/* "YYYY-MM-DD" of a year of 0 or more (four digits at least, more past 9999; `pad` ' '
 * writes the year blank-padded, "   5-03-07"). */
inline char *write_ymd(char *w, int64_t y, int m, int d, char pad = '0')
{
    w = put_year(w, y, pad);
    *w++ = '-';
    w = put_digits(w, m, 2);
    *w++ = '-';
    return put_digits(w, d, 2);
}

/* "YYYY-MM-DD" of `days` since 1970-01-01, the year as the server writes it: before
 * year 1 as its BC number (bc then set, and the caller writes " BC" where the form puts
 * it). */
inline char *write_date(char *w, int64_t days, bool &bc)
{
    int64_t y;
    int m, d;
    civil_from_days(days, y, m, d);
    bc = y <= 0;  // 1 BC is year 0 of the proleptic calendar
    return write_ymd(w, bc ? 1 - y : y, m, d);
}

/* "HH:MM:SS" of `time_us` microseconds since midnight (0 .. one day), then the fraction:
 * six digits, or with `trim` trailing zeros dropped and none at all when zero. */
inline char *write_time_of_day(char *w, int64_t time_us, bool trim)
{
    const int64_t seconds = time_us / kMicrosPerSecond;
    w = put_digits(w, seconds / 3600, 2);
    *w++ = ':';
    w = put_digits(w, seconds / 60 % 60, 2);
    *w++ = ':';
    w = put_digits(w, seconds % 60, 2);
    int64_t fraction = time_us % kMicrosPerSecond;
    if (!trim || fraction != 0) {
        int digits = 6;
        while (trim && fraction % 10 == 0) {
            fraction /= 10;
            --digits;
        }
        *w++ = '.';
        w = put_digits(w, fraction, digits);
    }
    return w;
}

/* Room for the longest timestamp text: a 16-digit year, time, fraction, zone and era. */
constexpr int kTimestampTextMax = 48;

/* A timestamp the way the server writes it: the date of `days`, a blank, the time of day
 * of `time_us` (write_time_of_day), "+00" when `zone`, then " BC" before year 1. At most
 * kTimestampTextMax bytes. */
inline char *write_timestamp(char *w, int64_t days, int64_t time_us, bool trim, bool zone)
{
    bool bc;
    w = write_date(w, days, bc);
    *w++ = ' ';
    w = write_time_of_day(w, time_us, trim);
    if (zone)
        w = put_text(w, "+00");
    return bc ? put_text(w, " BC") : w;
}

/* Microseconds since 1970-01-01 00:00:00 as write_timestamp writes them with six fraction
 * digits: the text the server reads back as the same timestamp (with `zone`, as the same
 * instant). Returns its length; buf holds at least kTimestampTextMax bytes. */
inline int format_micros_text(int64_t micros, char *buf, bool zone = false)
{
    return static_cast<int>(write_timestamp(buf, floor_div(micros, kMicrosPerDay),
                                            floor_mod(micros, kMicrosPerDay), false, zone) -
                            buf);
}

}  // namespace zt_calendar

#endif
