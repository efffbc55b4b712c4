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
#include "zt_calendar.h"
#include "zt_lexchars.h"

namespace zt {

// The value of one hexadecimal digit (bytea's \x text, and the %XX escapes of the
// connection text): the project's one reading (zt_lexchars.h), which the driver shares.
using zt_lexchars::hex_digit;

// Whether v fits the integer type code (3-6).
inline bool integer_fits(int code, int64_t v)
{
    int64_t lo = code == ZTC_TYPE_TINYINT ? INT8_MIN : code == ZTC_TYPE_SMALLINT ? INT16_MIN
               : code == ZTC_TYPE_INTEGER ? INT32_MIN : INT64_MIN;
    int64_t hi = code == ZTC_TYPE_TINYINT ? INT8_MAX : code == ZTC_TYPE_SMALLINT ? INT16_MAX
               : code == ZTC_TYPE_INTEGER ? INT32_MAX : INT64_MAX;
    return v >= lo && v <= hi;
}

// The calendar and the date/time writers are the project's one set (zt_calendar.h), which
// the driver shares.
using zt_calendar::civil_from_days;
using zt_calendar::days_from_civil;
using zt_calendar::days_in_month;
using zt_calendar::format_micros_text;
using zt_calendar::is_leap;
using zt_calendar::kMicrosPerDay;
using zt_calendar::kMicrosPerSecond;
using zt_calendar::kPgEpochDays;
using zt_calendar::kTimestampTextMax;
using zt_calendar::write_date;
using zt_calendar::write_timestamp;
constexpr int kMicrosTextMax = kTimestampTextMax;

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
