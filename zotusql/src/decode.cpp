// Decoding of values from PostgreSQL's text forms. These run once per value of every
// result row, so the integer, date-time and interval parsers are hand-written and do
// not allocate; only floats go through strtod.
#include "decode.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace zt {

namespace {

constexpr int64_t kMillisPerDay = 86400 * 1000;

// Reads exactly `count` decimal digits at p.
bool fixed_digits(const char *&p, const char *end, int count, int &v)
{
    if (end - p < count)
        return false;
    int r = 0;
    for (int i = 0; i < count; ++i) {
        unsigned d = static_cast<unsigned char>(p[i]) - '0';
        if (d > 9)
            return false;
        r = r * 10 + static_cast<int>(d);
    }
    p += count;
    v = r;
    return true;
}

// Reads 1..max_digits decimal digits at p.
bool some_digits(const char *&p, const char *end, int max_digits, int64_t &v)
{
    int64_t r = 0;
    int n = 0;
    while (p < end && static_cast<unsigned>(static_cast<unsigned char>(*p) - '0') <= 9) {
        if (++n > max_digits)
            return false;
        r = r * 10 + (*p - '0');
        ++p;
    }
    if (n == 0)
        return false;
    v = r;
    return true;
}

// Reads ".f" with 1..6 fraction digits as microseconds; nothing when there is no '.'.
bool fraction_micros(const char *&p, const char *end, int64_t &us)
{
    us = 0;
    if (p >= end || *p != '.')
        return true;
    ++p;
    int n = 0;
    int64_t r = 0;
    while (p < end && static_cast<unsigned>(static_cast<unsigned char>(*p) - '0') <= 9) {
        if (++n > 6)
            return false;
        r = r * 10 + (*p - '0');
        ++p;
    }
    if (n == 0)
        return false;
    for (; n < 6; ++n)
        r *= 10;
    us = r;
    return true;
}

}  // namespace

namespace {

// "YYYY-MM-DD" with a year of one to seven digits. The day is checked against the
// month's length by the caller, once it knows the era of the year.
bool parse_date(const char *&p, const char *end, int64_t &year, int &month, int &day)
{
    if (!some_digits(p, end, 7, year))
        return false;
    if (p >= end || *p++ != '-' || !fixed_digits(p, end, 2, month) || p >= end || *p++ != '-' ||
        !fixed_digits(p, end, 2, day))
        return false;
    return month >= 1 && month <= 12 && day >= 1;
}

// "HH:MM:SS[.ffffff]" as microseconds since midnight.
bool parse_time_of_day(const char *&p, const char *end, int64_t &us)
{
    int h, mi, s;
    int64_t frac;
    if (!fixed_digits(p, end, 2, h) || p >= end || *p++ != ':' || !fixed_digits(p, end, 2, mi) ||
        p >= end || *p++ != ':' || !fixed_digits(p, end, 2, s) || !fraction_micros(p, end, frac))
        return false;
    if (h > 23 || mi > 59 || s > 59)
        return false;
    us = ((h * 60 + mi) * 60 + s) * kMicrosPerSecond + frac;
    return true;
}

// "+HH[:MM[:SS]]" / "-HH[:MM[:SS]]" as signed seconds east of UTC.
bool parse_offset(const char *&p, const char *end, int64_t &seconds)
{
    int sign = *p == '-' ? -1 : 1;
    ++p;
    int h, m = 0, s = 0;
    if (!fixed_digits(p, end, 2, h))
        return false;
    if (p < end && *p == ':') {
        ++p;
        if (!fixed_digits(p, end, 2, m))
            return false;
        if (p < end && *p == ':') {
            ++p;
            if (!fixed_digits(p, end, 2, s))
                return false;
        }
    }
    if (m > 59 || s > 59)
        return false;
    seconds = sign * ((h * 60 + m) * 60 + s);
    return true;
}

bool equals(const char *text, size_t len, const char *word)
{
    return std::strlen(word) == len && std::memcmp(text, word, len) == 0;
}

// After an interval's number: the blank and the lower-case unit word that follow it
// ("3 days"), p left after the word. False when no blank follows the number.
bool unit_word(const char *&p, const char *end, const char *&unit, size_t &ulen)
{
    if (p >= end || *p++ != ' ')
        return false;
    unit = p;
    while (p < end && *p >= 'a' && *p <= 'z')
        ++p;
    ulen = static_cast<size_t>(p - unit);
    return true;
}

bool add_overflows(int64_t a, int64_t b, int64_t &r)
{
    return __builtin_add_overflow(a, b, &r);
}

bool mul_overflows(int64_t a, int64_t b, int64_t &r)
{
    return __builtin_mul_overflow(a, b, &r);
}

// Writes text of n bytes into buffer: zero-terminated when there is room for it.
int put_text(const char *text, size_t n, char *buffer, int capacity)
{
    std::memcpy(buffer, text, n);
    if (n < static_cast<size_t>(capacity))
        buffer[n] = '\0';
    return static_cast<int>(n);
}

// Exponent form of a decimal text taken from its own digits, for values a double
// cannot hold (beyond 1.8e308, or below its smallest subnormal): at most `digits`
// significant digits, rounded half up, trailing zeros dropped. false on a malformed
// text.
bool decimal_exponent_form(const char *text, size_t len, int digits, std::string &out)
{
    const char *p = text, *end = text + len;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+'))
        negative = *p++ == '-';
    std::string all;          // every digit, the point left out
    long long int_digits = -1;  // digits before the point
    for (; p < end; ++p) {
        if (*p == '.' && int_digits < 0)
            int_digits = static_cast<long long>(all.size());
        else if (*p >= '0' && *p <= '9')
            all.push_back(*p);
        else
            break;
    }
    if (all.empty())
        return false;
    if (int_digits < 0)
        int_digits = static_cast<long long>(all.size());
    long long shift = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        std::string e(p + 1, end);
        char *stop = nullptr;
        errno = 0;
        shift = std::strtoll(e.c_str(), &stop, 10);
        if (e.empty() || *stop != '\0' || errno == ERANGE || shift > (1LL << 40) || shift < -(1LL << 40))
            return false;
        p = end;
    }
    if (p != end)
        return false;
    size_t first = all.find_first_not_of('0');
    if (first == std::string::npos) {
        out = "0e+00";
        return true;
    }
    long long exp10 = int_digits - 1 - static_cast<long long>(first) + shift;
    std::string sig = all.substr(first);
    if (static_cast<int>(sig.size()) > digits) {
        bool up = sig[digits] >= '5';
        sig.resize(digits);
        for (int i = digits - 1; up && i >= 0; --i) {
            if (sig[i] == '9') {
                sig[i] = '0';
            } else {
                ++sig[i];
                up = false;
            }
        }
        if (up) {  // 99..9 rounded up to 10..0
            sig.insert(sig.begin(), '1');
            sig.pop_back();
            ++exp10;
        }
    }
    while (sig.size() > 1 && sig.back() == '0')
        sig.pop_back();
    out.clear();
    if (negative)
        out.push_back('-');
    out.push_back(sig[0]);
    if (sig.size() > 1) {
        out.push_back('.');
        out.append(sig, 1, std::string::npos);
    }
    char tail[32];
    std::snprintf(tail, sizeof tail, "e%c%02lld", exp10 < 0 ? '-' : '+', exp10 < 0 ? -exp10 : exp10);
    out.append(tail);
    return true;
}

}  // namespace

namespace {

// The form nearly every timestamp arrives in: "YYYY-MM-DD HH:MM:SS", a fraction of 1-6
// digits or none, and "+00" (timestamptz under TimeZone UTC) or nothing; years 1-9999. Read
// at fixed positions, it costs a fifth of the general parse, which reads every other form
// (and refuses what this one refuses). False leaves the text to the general parse.
bool canonical_timestamp(const char *t, size_t len, int64_t &days, int64_t &utc_us)
{
    if (len >= 22 && t[len - 3] == '+' && t[len - 2] == '0' && t[len - 1] == '0')
        len -= 3;
    if (len < 19 || len == 20 || len > 26 || t[4] != '-' || t[7] != '-' || t[10] != ' ' ||
        t[13] != ':' || t[16] != ':' || (len > 19 && t[19] != '.'))
        return false;
    static const unsigned char at[14] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
    int dg[14];
    for (int i = 0; i < 14; ++i) {
        dg[i] = static_cast<unsigned char>(t[at[i]]) - '0';
        if (dg[i] < 0 || dg[i] > 9)
            return false;
    }
    const int year = ((dg[0] * 10 + dg[1]) * 10 + dg[2]) * 10 + dg[3];
    const int month = dg[4] * 10 + dg[5], day = dg[6] * 10 + dg[7];
    const int h = dg[8] * 10 + dg[9], mi = dg[10] * 10 + dg[11], sec = dg[12] * 10 + dg[13];
    if (year == 0 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        h > 23 || mi > 59 || sec > 59)
        return false;
    int64_t fraction = 0;
    for (size_t i = 20; i < 26; ++i) {
        int d = 0;
        if (i < len) {
            d = static_cast<unsigned char>(t[i]) - '0';
            if (d < 0 || d > 9)
                return false;
        }
        fraction = fraction * 10 + d;
    }
    days = days_from_civil(year, month, day);
    utc_us = ((h * 60 + mi) * 60 + sec) * kMicrosPerSecond + fraction;
    return true;
}

// The shared parse of the two timestamp forms: days since 1970 and microseconds of that day
// in UTC (possibly outside 0..86400e6 after the offset is applied).
bool decode_timestamp_parts(const char *text, size_t len, int64_t &days, int64_t &utc_us)
{
    if (text == nullptr)
        return false;
    if (canonical_timestamp(text, len, days, utc_us))
        return true;
    const char *p = text, *end = text + len;
    int64_t year;
    int month, day;
    if (!parse_date(p, end, year, month, day))
        return false;
    int64_t day_us = 0;
    if (p < end && *p == ' ' && p + 1 < end && p[1] != 'B') {
        ++p;
        if (!parse_time_of_day(p, end, day_us))
            return false;
    }
    int64_t offset = 0;
    if (p < end && (*p == '+' || *p == '-') && !parse_offset(p, end, offset))
        return false;
    bool bc = false;
    if (end - p == 3 && std::memcmp(p, " BC", 3) == 0) {
        bc = true;
        p = end;
    }
    if (p != end || year == 0)
        return false;
    if (bc)
        year = 1 - year;  // 1 BC is year 0 of the proleptic calendar: 5 BC is a leap year
    if (day > days_in_month(year, month))
        return false;
    days = days_from_civil(year, month, day);
    utc_us = day_us - offset * kMicrosPerSecond;
    return true;
}

}  // namespace

void append_int(std::string &out, int64_t v, int width)
{
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
    (void)ec;
    for (int n = static_cast<int>(end - digits); n < width; ++n)
        out += '0';
    out.append(digits, end);
}

namespace {

// The shortest text that reads back as v, in the server's layout: positional for decimal
// exponents in [-4, limit), else "d.ddde+XX" (at least two exponent digits).
template <class T>
void append_shortest(std::string &out, T v, int limit)
{
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-Infinity" : "Infinity";
        return;
    }
    char sci[40];
    auto [end, ec] = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    (void)ec;
    const char *p = sci;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    const char *e = static_cast<const char *>(std::memchr(p, 'e', static_cast<size_t>(end - p)));
    std::string digits;
    for (const char *q = p; q < e; ++q)
        if (*q != '.')
            digits += *q;
    int exp = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exp);
    const int n = static_cast<int>(digits.size());
    if (exp < -4 || exp >= limit) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'e';
        out += exp < 0 ? '-' : '+';
        append_int(out, exp < 0 ? -exp : exp, 2);
    } else if (exp < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exp - 1), '0');
        out += digits;
    } else if (exp + 1 >= n) {
        out += digits;
        out.append(static_cast<size_t>(exp + 1 - n), '0');
    } else {
        out.append(digits, 0, static_cast<size_t>(exp + 1));
        out += '.';
        out.append(digits, static_cast<size_t>(exp + 1), std::string::npos);
    }
}

}  // namespace

void append_float(std::string &out, double v, bool single)
{
    if (single)
        append_shortest(out, static_cast<float>(v), 6);
    else
        append_shortest(out, v, 15);
}

bool decode_timestamp_ms(const char *text, size_t len, int64_t &ms)
{
    int64_t days, utc_us;
    if (!decode_timestamp_parts(text, len, days, utc_us))
        return false;
    ms = days * kMillisPerDay + zt_calendar::floor_div(utc_us, 1000);
    return true;
}

bool decode_timestamp_us(const char *text, size_t len, int64_t &us)
{
    int64_t days, utc_us;
    if (!decode_timestamp_parts(text, len, days, utc_us))
        return false;
    __int128 total = static_cast<__int128>(days) * 86400 * kMicrosPerSecond + utc_us;
    if (total < INT64_MIN || total > INT64_MAX)
        return false;
    us = static_cast<int64_t>(total);
    return true;
}

namespace {

// Months and microseconds of an interval being read part by part; `overflow` is set by the
// first part that does not fit 64 bits.
struct IntervalSum {
    int64_t months = 0;
    int64_t us = 0;
    bool overflow = false;

    bool add_months(int64_t count, int64_t per)
    {
        int64_t v;
        if (mul_overflows(count, per, v) || add_overflows(months, v, months))
            return !(overflow = true);
        return true;
    }
    bool add_us(int64_t count, int64_t per, int64_t extra = 0)
    {
        int64_t v;
        if (mul_overflows(count, per, v) || add_overflows(v, extra, v) ||
            add_overflows(us, v, us))
            return !(overflow = true);
        return true;
    }
};

constexpr int64_t kMicrosPerSecondI = 1000000;

// An optional sign: -1 or 1.
int read_sign(const char *&p, const char *end)
{
    if (p < end && (*p == '-' || *p == '+'))
        return *p++ == '-' ? -1 : 1;
    return 1;
}

// "H+:MM:SS[.ffffff]" with the sign given: adds it to sum. The hours may exceed a day.
bool read_clock(const char *&p, const char *end, int sign, IntervalSum &sum)
{
    int64_t h, frac;
    int mi, sec;
    if (!some_digits(p, end, 18, h) || p >= end || *p++ != ':' || !fixed_digits(p, end, 2, mi) ||
        p >= end || *p++ != ':' || !fixed_digits(p, end, 2, sec) || !fraction_micros(p, end, frac) ||
        mi > 59 || sec > 59)
        return false;
    // Signed before the minutes are added, so that the most negative time still fits.
    return sum.add_us(sign * h, 3600 * kMicrosPerSecondI,
                      sign * ((mi * 60 + sec) * kMicrosPerSecondI + frac));
}

// IntervalStyle iso_8601: "P1Y2M3DT4H5M6.5S", each part with its own sign, "PT0S" for zero.
bool read_iso8601_interval(const char *p, const char *end, IntervalSum &sum)
{
    if (p >= end || *p++ != 'P' || p >= end)
        return false;
    bool time = false;
    while (p < end) {
        if (*p == 'T') {
            if (time || ++p >= end)
                return false;
            time = true;
            continue;
        }
        int sign = read_sign(p, end);
        int64_t n, frac = 0;
        if (!some_digits(p, end, 18, n) || !fraction_micros(p, end, frac) || p >= end)
            return false;
        char unit = *p++;
        if (frac && !(time && unit == 'S'))
            return false;
        bool ok = !time ? (unit == 'Y'   ? sum.add_months(sign * n, 12)
                           : unit == 'M' ? sum.add_months(sign * n, 1)
                           : unit == 'W' ? sum.add_us(sign * n, 7 * kMicrosPerDay)
                           : unit == 'D' ? sum.add_us(sign * n, kMicrosPerDay)
                                         : false)
                        : (unit == 'H'   ? sum.add_us(sign * n, 3600 * kMicrosPerSecondI)
                           : unit == 'M' ? sum.add_us(sign * n, 60 * kMicrosPerSecondI)
                           : unit == 'S' ? sum.add_us(sign * n, kMicrosPerSecondI, sign * frac)
                                         : false);
        if (!ok)
            return false;
    }
    return true;
}

// IntervalStyle postgres_verbose: "@ 1 year 2 mons -3 days 4 hours 5 mins 6.5 secs ago",
// "@ 0" for zero; "ago" negates the whole value.
bool read_verbose_interval(const char *p, const char *end, IntervalSum &sum)
{
    if (end - p < 3 || p[0] != '@' || p[1] != ' ')
        return false;
    p += 2;
    bool ago = false;
    int parts = 0;
    while (p < end) {
        if (ago)
            return false;
        if (parts && end - p == 3 && std::memcmp(p, "ago", 3) == 0) {
            ago = true;
            p += 3;
            continue;
        }
        int sign = read_sign(p, end);
        int64_t n, frac = 0;
        if (!some_digits(p, end, 18, n) || !fraction_micros(p, end, frac))
            return false;
        if (p == end && n == 0 && frac == 0 && parts == 0)
            return true;   // "@ 0"
        ++parts;
        const char *unit;
        size_t ulen;
        if (!unit_word(p, end, unit, ulen))
            return false;
        if (p < end && *p++ != ' ')
            return false;
        auto is = [&](const char *one, const char *many) {
            return equals(unit, ulen, one) || equals(unit, ulen, many);
        };
        if (frac && !is("sec", "secs"))
            return false;
        bool ok = is("year", "years")  ? sum.add_months(sign * n, 12)
                : is("mon", "mons")    ? sum.add_months(sign * n, 1)
                : is("day", "days")    ? sum.add_us(sign * n, kMicrosPerDay)
                : is("hour", "hours")  ? sum.add_us(sign * n, 3600 * kMicrosPerSecondI)
                : is("min", "mins")    ? sum.add_us(sign * n, 60 * kMicrosPerSecondI)
                : is("sec", "secs")    ? sum.add_us(sign * n, kMicrosPerSecondI, sign * frac)
                                       : false;
        if (!ok)
            return false;
    }
    if (ago && (sum.months == std::numeric_limits<int64_t>::min() ||
                sum.us == std::numeric_limits<int64_t>::min()))
        return !(sum.overflow = true);
    if (ago) {
        sum.months = -sum.months;
        sum.us = -sum.us;
    }
    return true;
}

// IntervalStyle sql_standard: "1-2" (years-months), "3 4:05:06" (days, time), "4:05:06", "0";
// one leading sign for the whole value, or, when the parts' signs differ, all three groups
// each with its own: "+1-2 -3 +4:05:06". Also the postgres style's bare "-00:00:01".
bool read_sql_standard_interval(const char *p, const char *end, IntervalSum &sum)
{
    const char *groups[3], *ends[3];
    int count = 0;
    for (const char *q = p; q <= end; ++q) {
        if (q == end || *q == ' ') {
            if (count == 3 || q == p)
                return false;
            groups[count] = p;
            ends[count++] = q;
            p = q + 1;
        }
    }
    // The kinds the groups must be, by their count: Y-M or time or 0; days and time; all three.
    enum Kind { YEAR_MONTH, DAYS, CLOCK };
    int whole_sign = 1;
    for (int g = 0; g < count; ++g) {
        const char *q = groups[g], *gend = ends[g];
        const char *before_sign = q;
        int sign = read_sign(q, gend);
        if (count == 3 && q == before_sign)
            return false;   // mixed signs: every group carries its own
        if (count < 3 && g > 0 && q != before_sign)
            return false;   // otherwise only the first, for the whole value
        if (g == 0)
            whole_sign = sign;
        if (count < 3)
            sign = whole_sign;
        bool clock = std::memchr(q, ':', static_cast<size_t>(gend - q)) != nullptr;
        Kind kind = count == 3 ? static_cast<Kind>(g)
                  : count == 2 ? (g == 0 ? DAYS : CLOCK)
                  : clock ? CLOCK : YEAR_MONTH;
        if (kind == CLOCK) {
            if (!read_clock(q, gend, sign, sum) || q != gend)
                return false;
            continue;
        }
        int64_t a, m;
        if (!some_digits(q, gend, 18, a))
            return false;
        if (kind == DAYS) {
            if (q != gend || !sum.add_us(sign * a, kMicrosPerDay))
                return false;
            continue;
        }
        if (count == 1 && q == gend && a == 0 && q - groups[g] == 1)
            continue;   // "0"
        if (q >= gend || *q++ != '-' || !some_digits(q, gend, 18, m) || q != gend || m > 11 ||
            !sum.add_months(sign * a, 12) || !sum.add_months(sign * m, 1))
            return false;
    }
    return true;
}

}  // namespace

bool decode_interval(const char *text, size_t len, int32_t &months, int64_t &micros,
                     bool *out_of_range)
{
    // Every refusal below that follows an overflow check says so through out_of_range.
    bool overflow_dummy = false;
    bool &overflow = out_of_range ? *out_of_range : overflow_dummy;
    overflow = false;
    if (text == nullptr || len == 0)
        return false;
    // The forms of the other IntervalStyles: a pooled server session may have any of them
    // whatever the library asked for on the session it first had.
    const char *text_end = text + len;
    bool letters = false;
    for (const char *q = text; q < text_end && !letters; ++q)
        letters = *q >= 'a' && *q <= 'z';
    if (text[0] == 'P' || text[0] == '@' || !letters) {
        IntervalSum sum;
        bool ok = text[0] == 'P'   ? read_iso8601_interval(text, text_end, sum)
                : text[0] == '@'   ? read_verbose_interval(text, text_end, sum)
                                   : read_sql_standard_interval(text, text_end, sum);
        if (!ok || sum.months < std::numeric_limits<int32_t>::min() ||
            sum.months > std::numeric_limits<int32_t>::max()) {
            overflow = sum.overflow || ok;
            return false;
        }
        months = static_cast<int32_t>(sum.months);
        micros = sum.us;
        return true;
    }
    const char *p = text, *end = text + len;
    int64_t total_months = 0, total_us = 0;
    bool seen_time = false;
    while (p < end) {
        if (p != text) {
            if (*p != ' ')
                return false;
            ++p;
        }
        int sign = 1;
        if (p < end && (*p == '-' || *p == '+'))
            sign = *p++ == '-' ? -1 : 1;
        int64_t n;
        if (!some_digits(p, end, 18, n))
            return false;
        if (p < end && *p == ':') {
            // [-]H+:MM:SS[.ffffff]: the hours may exceed a day
            if (seen_time)
                return false;
            seen_time = true;
            int mi, s;
            int64_t frac, us;
            ++p;
            if (!fixed_digits(p, end, 2, mi) || p >= end || *p++ != ':' || !fixed_digits(p, end, 2, s) ||
                !fraction_micros(p, end, frac) || mi > 59 || s > 59)
                return false;
            // Signed before the minutes are added, so that the most negative time
            // (whose magnitude has no positive counterpart) still fits.
            int64_t rest = sign * ((mi * 60 + s) * kMicrosPerSecond + frac);
            if (mul_overflows(sign * n, 3600 * kMicrosPerSecond, us) || add_overflows(us, rest, us) ||
                add_overflows(total_us, us, total_us))
                return overflow = true, false;
            continue;
        }
        const char *unit;
        size_t ulen;
        if (!unit_word(p, end, unit, ulen))
            return false;
        int64_t v = sign * n;
        if (equals(unit, ulen, "year") || equals(unit, ulen, "years")) {
            if (mul_overflows(v, 12, v) || add_overflows(total_months, v, total_months))
                return overflow = true, false;
        } else if (equals(unit, ulen, "mon") || equals(unit, ulen, "mons") || equals(unit, ulen, "month") ||
                   equals(unit, ulen, "months")) {
            if (add_overflows(total_months, v, total_months))
                return overflow = true, false;
        } else if (equals(unit, ulen, "day") || equals(unit, ulen, "days")) {
            if (mul_overflows(v, kMicrosPerDay, v) || add_overflows(total_us, v, total_us))
                return overflow = true, false;
        } else {
            return false;
        }
    }
    if (total_months < std::numeric_limits<int32_t>::min() || total_months > std::numeric_limits<int32_t>::max())
        return overflow = true, false;
    months = static_cast<int32_t>(total_months);
    micros = total_us;
    return true;
}

bool interval_total_micros(int32_t months, int64_t micros_and_days, int64_t &total)
{
    return !mul_overflows(static_cast<int64_t>(months), 30 * kMicrosPerDay, total) &&
           !add_overflows(total, micros_and_days, total);
}

bool decode_int64(const char *text, size_t len, int64_t &v)
{
    if (text == nullptr || len == 0)
        return false;
    const char *p = text, *end = text + len;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        if (++p == end)
            return false;
    }
    // Accumulate negatively so that INT64_MIN is reachable.
    int64_t r = 0;
    const int64_t limit = std::numeric_limits<int64_t>::min();
    for (; p < end; ++p) {
        unsigned d = static_cast<unsigned char>(*p) - '0';
        if (d > 9)
            return false;
        if (r < (limit + static_cast<int64_t>(d)) / 10)
            return false;
        r = r * 10 - static_cast<int64_t>(d);
    }
    if (!negative) {
        if (r == limit)
            return false;
        r = -r;
    }
    v = r;
    return true;
}

bool parse_double(const char *text, size_t len, double &v, bool *out_of_range)
{
    if (out_of_range)
        *out_of_range = false;
    if (text == nullptr)
        return false;
    const char *p = text, *end = text + len;
    // from_chars takes no leading '+'; it reads "Infinity" and "NaN" in any case.
    if (p < end && *p == '+' && p + 1 < end && p[1] != '-')
        ++p;
    if (p == end)
        return false;
    auto [stop, ec] = std::from_chars(p, end, v);
    if (stop != end)
        return false;
    if (ec == std::errc::result_out_of_range) {
        if (!out_of_range)
            return false;
        *out_of_range = true;
        return true;
    }
    return ec == std::errc();
}

namespace {

// "%.*e" without the process locale: the exponent form with `precision` digits after the point.
int exponent_form(double v, int precision, char *out, size_t size)
{
    auto [stop, ec] = std::to_chars(out, out + size - 1, v, std::chars_format::scientific, precision);
    if (ec != std::errc())
        return -1;
    *stop = '\0';
    return static_cast<int>(stop - out);
}

}  // namespace

int write_numeric(const char *text, size_t len, char *buffer, int capacity)
{
    if (text == nullptr || buffer == nullptr || capacity < 0)
        return -1;
    if (len <= static_cast<size_t>(capacity))
        return put_text(text, len, buffer, capacity);
    if (equals(text, len, "NaN") || equals(text, len, "Infinity") || equals(text, len, "-Infinity"))
        return -1;

    try {
        std::string z(text, len);
        if (z.find_first_of("xXnNiIpP") != std::string::npos)
            return -1;
        double v = 0;
        bool out_of_range = false;
        if (!parse_double(text, len, v, &out_of_range))
            return -1;
        char form[64];
        if (out_of_range || v != v || v - v != 0) {
            // Beyond a double's range: the exponent form of the decimal itself.
            std::string wide;
            for (int digits = 17; digits >= 1; --digits) {
                if (!decimal_exponent_form(text, len, digits, wide))
                    return -1;
                if (wide.size() <= static_cast<size_t>(capacity))
                    return put_text(wide.data(), wide.size(), buffer, capacity);
            }
            return -1;
        }
        // Shortest precision that reads back as the same double.
        int precision = 0;
        for (; precision < 17; ++precision) {
            int n = exponent_form(v, precision, form, sizeof form);
            double back = 0;
            if (n > 0 && parse_double(form, static_cast<size_t>(n), back, nullptr) && back == v)
                break;
        }
        // A buffer too small for every digit still gets a whole, rounded number.
        for (; precision >= 0; --precision) {
            int n = exponent_form(v, precision, form, sizeof form);
            if (n > 0 && n <= capacity)
                return put_text(form, static_cast<size_t>(n), buffer, capacity);
        }
        return -1;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

size_t utf8_cut(const char *s, size_t len, size_t cap)
{
    if (len <= cap)
        return len;
    // s[cap] exists. When it continues a character, step back to that character's
    // first byte (at most three steps); text that is not UTF-8 there is cut at cap.
    auto continuation = [s](size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80; };
    size_t k = cap;
    while (k > 0 && cap - k < 3 && continuation(k))
        --k;
    return continuation(k) ? cap : k;
}

bool normalise_datetime_text(const char *in, size_t len, std::string &out)
{
    if (in == nullptr)
        return false;
    // The driver hands fixed-size zero-filled buffers: the text ends at the first zero.
    const void *zero = std::memchr(in, '\0', len);
    if (zero != nullptr)
        len = static_cast<size_t>(static_cast<const char *>(zero) - in);
    const char *p = in, *end = in + len;
    while (end > p && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    while (p < end && *p == ' ')
        ++p;
    const char *date_start = p;
    int64_t year;
    int month, day;
    if (!parse_date(p, end, year, month, day) || year == 0 || day > days_in_month(year, month))
        return false;
    if (p < end) {
        int64_t us;
        if (*p != ' ')
            return false;
        ++p;
        if (!parse_time_of_day(p, end, us) || p != end)
            return false;
    }
    // Digits of the year as written, zero-padded to at least four.
    const char *year_end = date_start;
    while (*year_end >= '0' && *year_end <= '9')
        ++year_end;
    while (date_start < year_end - 1 && *date_start == '0')
        ++date_start;
    size_t ydigits = static_cast<size_t>(year_end - date_start);
    try {
        out.clear();
        if (ydigits < 4)
            out.append(4 - ydigits, '0');
        out.append(date_start, ydigits);
        out.append(year_end, static_cast<size_t>(end - year_end));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

}  // namespace zt
