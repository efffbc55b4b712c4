// Decoding of values from PostgreSQL's text forms, and the text helpers used when writing
// values into caller buffers. The session sets DateStyle=ISO, TimeZone=UTC and
// extra_float_digits=1, so these are the forms that arrive; intervals are read in every
// IntervalStyle, since a pooled server session may have another one.
// None of these routines allocates except where it fills a std::string.
#ifndef ZT_DECODE_H
#define ZT_DECODE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZTCsql.h"

namespace zt {

// The value of one hexadecimal digit, either case; -1 for any other character (bytea's
// \x text, and the %XX escapes of the connection text).
inline int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Whether v fits the integer type code (3-6).
inline bool integer_fits(int code, int64_t v)
{
    int64_t lo = code == ZTC_TYPE_TINYINT ? INT8_MIN : code == ZTC_TYPE_SMALLINT ? INT16_MIN
               : code == ZTC_TYPE_INTEGER ? INT32_MIN : INT64_MIN;
    int64_t hi = code == ZTC_TYPE_TINYINT ? INT8_MAX : code == ZTC_TYPE_SMALLINT ? INT16_MAX
               : code == ZTC_TYPE_INTEGER ? INT32_MAX : INT64_MAX;
    return v >= lo && v <= hi;
}

// The proleptic Gregorian calendar with astronomical years (year 0 is 1 BC): leap years, month
// lengths, and days from 1970-01-01 to y-m-d and back (by 400-year eras).
bool is_leap(int64_t y);
int days_in_month(int64_t y, int m);
int64_t days_from_civil(int64_t y, int m, int d);
void civil_from_days(int64_t days, int64_t &y, int &m, int &d);

// Days from 1970-01-01 to 2000-01-01, where the server's binary dates and timestamps count from.
constexpr int64_t kPgEpochDays = 10957;
constexpr int64_t kMicrosPerDay = 86400 * int64_t{1000000};

// Writes "YYYY-MM-DD" of `days` since 1970-01-01 at w (a year past 9999 with more digits; a
// year before 1 as its BC number, bc then set) and returns the end.
char *write_date(char *w, int64_t days, bool &bc);
// Writes a timestamp the way the server does: the date of `days` since 1970-01-01, the time of
// day of `time_us` (0 .. one day), the fraction in six digits (with `trim`: trailing zeros
// dropped, and none at all when zero), "+00" when `zone`, then " BC" before year 1. Returns
// the end; at most kTimestampTextMax bytes are written.
constexpr int kTimestampTextMax = 48;
char *write_timestamp(char *w, int64_t days, int64_t time_us, bool trim, bool zone);
// Microseconds since 1970-01-01 00:00:00 (floor into days) as write_timestamp writes them with
// six fraction digits: the text the server reads back as the same timestamp (with `zone`, as
// the same instant). Returns its length; buf holds at least kMicrosTextMax bytes.
constexpr int kMicrosTextMax = kTimestampTextMax;
int format_micros_text(int64_t micros, char *buf, bool zone = false);

// "YYYY-MM-DD HH:MM:SS[.ffffff][+HH[:MM[:SS]]]" (also years > 9999 and " BC") -> milliseconds since
// 1970-01-01 00:00:00 (floor division of microseconds; the UTC instant when an offset is given).
// false for "infinity" / "-infinity" (the caller reports NULL) or a malformed text.
bool decode_timestamp_ms(const char *text, size_t len, int64_t &ms);
// The same form -> microseconds since 1970-01-01 00:00:00 (the UTC instant when an offset is
// given); false as above, and for a count beyond 64 bits.
bool decode_timestamp_us(const char *text, size_t len, int64_t &us);

// Interval in any IntervalStyle: postgres ("1 year 2 mons 3 days 04:05:06.5", "-00:00:01"),
// postgres_verbose ("@ 1 year 2 mons ago"), sql_standard ("1-2", "-3 4:05:06",
// "+1-2 -3 +4:05:06"), iso_8601 ("P1Y2M3DT4H5M6.5S"): months and microseconds (days
// counted as 24 h). False for a malformed text, or (with
// *out_of_range set) for one whose months or microseconds do not fit 32 / 64 bits.
bool decode_interval(const char *text, size_t len, int32_t &months, int64_t &micros,
                     bool *out_of_range = nullptr);

// Total microseconds with a month counted as 30 days (for code 31); false when the total does
// not fit 64 bits (it is then never clamped to some other value).
bool interval_total_micros(int32_t months, int64_t micros_and_days, int64_t &total);

// Parses a whole text as a double whatever the process locale says ("1.5", "+2e3", "Infinity",
// "-infinity", "NaN"). A finite value beyond a double's range (or below its smallest) is false,
// or true with *out_of_range set when out_of_range is given (v is then unusable).
bool parse_double(const char *text, size_t len, double &v, bool *out_of_range);

// Hand-written integer parse of a full text (no allocation); false on overflow or junk.
bool decode_int64(const char *text, size_t len, int64_t &v);

// Writes a NUMERIC text into buffer of `capacity` bytes: the text itself (zero-terminated when it
// fits with its terminator), otherwise the shortest round-trip exponent form of its double value
// ("1.2345678901234567e+49"), never a cut number. Returns the length written (without zero).
// NaN/Infinity pass as their text. A buffer too small for every significant digit gets the
// value rounded to the digits that fit; a decimal beyond a double's range is written in
// exponent form from its own digits. -1 when not even one digit fits, or the text is not
// a decimal number (nothing useful is written then).
int write_numeric(const char *text, size_t len, char *buffer, int capacity);

// Appends v in decimal, zero-padded to at least `width` digits.
void append_int(std::string &out, int64_t v, int width = 1);
// Appends the shortest text that reads back as v (as a float when single), in the server's own
// layout: "NaN", "Infinity", positional for decimal exponents in [-4, 15) (floats: [-4, 6)),
// else "d.ddde+XX".
void append_float(std::string &out, double v, bool single);

// Largest length <= cap that does not cut a UTF-8 character of s[0..len). Bytes that are
// not UTF-8 at the cut point are cut at cap.
size_t utf8_cut(const char *s, size_t len, size_t cap);

// Normalises a date "YYYY-MM-DD" or timestamp "YYYY-MM-DD HH:MM:SS[.ffffff]" whose year may be
// blank-padded ("   5-03-07") or zero-padded to a four-digit year; false when malformed.
// The text ends at the first zero byte within len (callers pass zero-filled buffers);
// trailing blanks are ignored; the day is checked against its month.
bool normalise_datetime_text(const char *in, size_t len, std::string &out);

}  // namespace zt

#endif
