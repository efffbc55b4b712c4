// Binary wire values: which types may arrive in binary form, their text forms (as the server
// writes them with DateStyle ISO, TimeZone UTC and extra_float_digits 1), and their views.
#include "binaryvalue.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "codec.h"
#include "decode.h"
#include "internal.h"

namespace zt {

namespace {

// Microseconds between 1970-01-01 and 2000-01-01, the binary forms' origin.
constexpr int64_t kEpochMicros = kPgEpochDays * kMicrosPerDay;
// 0001-01-01 and 9999-12-31 as binary day counts.
constexpr int32_t kFirstCommonEraDay = -730119;
constexpr int32_t kLastFourDigitDay = 2921939;

// numeric's sign word.
constexpr uint16_t kNumericNegative = 0x4000;
constexpr uint16_t kNumericNaN = 0xC000;
constexpr uint16_t kNumericPlusInfinity = 0xD000;
constexpr uint16_t kNumericMinusInfinity = 0xF000;

uint16_t be16(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return static_cast<uint16_t>(u[0] << 8 | u[1]);
}

uint32_t be32(const char *p)
{
    return uint32_t{be16(p)} << 16 | be16(p + 2);
}

uint64_t be64(const char *p)
{
    return uint64_t{be32(p)} << 32 | be32(p + 4);
}

bool starts_with(const char *s, const char *prefix)
{
    return s && std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

bool date_style_iso(const PGconn *conn)
{
    return starts_with(PQparameterStatus(conn, "DateStyle"), "ISO");
}

bool time_zone_utc(const PGconn *conn)
{
    const char *tz = PQparameterStatus(conn, "TimeZone");
    return tz && (std::strcmp(tz, "UTC") == 0 || std::strcmp(tz, "Etc/UTC") == 0);
}

// Writes v (0..9999) as four digits.
char *put4(char *w, int v)
{
    return zt_calendar::put_digits(w, v, 4);
}

// The text is written straight into out's buffer, grown to a bound first and cut to what was
// written: row views render a numeric or date value per row, and appending piece by piece to a
// string costs several times the conversion itself.
template <class F>
void write_into(std::string &out, size_t bound, F &&write)
{
    out.resize(bound);
    char *start = &out[0];
    out.resize(static_cast<size_t>(write(start) - start));
}

// numeric: digit count, weight and sign words, display scale, then base-10000 digits.
bool numeric_text(const char *p, size_t len, std::string &out)
{
    if (len < 8)
        return false;
    const int ndigits = static_cast<int16_t>(be16(p));
    const int weight = static_cast<int16_t>(be16(p + 2));
    const uint16_t sign = be16(p + 4);
    const int dscale = be16(p + 6) & 0x3FFF;
    if (ndigits < 0 || len != 8 + 2 * static_cast<size_t>(ndigits))
        return false;
    if (sign == kNumericNaN || sign == kNumericPlusInfinity || sign == kNumericMinusInfinity) {
        out = sign == kNumericNaN ? "NaN" : sign == kNumericPlusInfinity ? "Infinity" : "-Infinity";
        return true;
    }
    if (sign != 0 && sign != kNumericNegative)
        return false;
    auto digit = [&](int d) -> int {
        return d >= 0 && d < ndigits ? be16(p + 8 + 2 * d) : 0;
    };
    for (int d = 0; d < ndigits; ++d)
        if (digit(d) > 9999)
            return false;
    const size_t bound = 2 + 4 * static_cast<size_t>(weight < 0 ? 1 : weight + 1) + 1 +
                         static_cast<size_t>(dscale) + 4;
    write_into(out, bound, [&](char *w) {
        if (sign == kNumericNegative)
            *w++ = '-';
        if (weight < 0) {
            *w++ = '0';
        } else {
            // The first group without its leading zeros.
            char first[4];
            put4(first, digit(0));
            int skip = 0;
            while (skip < 3 && first[skip] == '0')
                ++skip;
            for (int i = skip; i < 4; ++i)
                *w++ = first[i];
            for (int d = 1; d <= weight; ++d)
                w = put4(w, digit(d));
        }
        if (dscale > 0) {
            *w++ = '.';
            char *end = w + dscale;
            for (int d = weight + 1; w < end; ++d)
                w = put4(w, digit(d));
            w = end;
        }
        return w;
    });
    return true;
}

// Room for the longest date-time text: a seven-digit year, time, fraction, zone and era.
constexpr size_t kDateTimeBound = kTimestampTextMax;

bool date_text(const char *p, size_t len, std::string &out)
{
    if (len != 4)
        return false;
    const int32_t days = static_cast<int32_t>(be32(p));
    write_into(out, kDateTimeBound, [&](char *w) {
        if (days == INT32_MAX || days == INT32_MIN)
            return zt_calendar::put_text(w, days == INT32_MAX ? "infinity" : "-infinity");
        bool bc;
        w = write_date(w, days + kPgEpochDays, bc);
        return bc ? zt_calendar::put_text(w, " BC") : w;
    });
    return true;
}

bool timestamp_text(const char *p, size_t len, bool zone, std::string &out)
{
    if (len != 8)
        return false;
    const int64_t us = static_cast<int64_t>(be64(p));
    write_into(out, kDateTimeBound, [&](char *w) {
        if (us == INT64_MAX || us == INT64_MIN)
            return zt_calendar::put_text(w, us == INT64_MAX ? "infinity" : "-infinity");
        // Split in the server's own origin: moving the count to 1970 could overflow.
        return write_timestamp(w, zt_calendar::floor_div(us, kMicrosPerDay) + kPgEpochDays,
                               zt_calendar::floor_mod(us, kMicrosPerDay), true, zone);
    });
    return true;
}

}  // namespace

// ---- the binary forms of each type, as the codec table uses them ----

namespace binary {

bool bool_text(const char *p, size_t len, std::string &out)
{
    out.clear();
    if (len != 1)
        return false;
    out += *p ? 't' : 'f';
    return true;
}

void bool_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &)
{
    v.integer = len == 1 && *p != 0;
    v.decoded = len == 1 && code == ZTC_TYPE_BOOLEAN;
}

namespace {

// An integer of a fixed-size binary form of `size` bytes; false for another size.
template <int size, bool is_unsigned>
bool read_integer(const char *p, size_t len, int64_t &v)
{
    if (len != size)
        return false;
    v = size == 2       ? static_cast<int16_t>(be16(p))
        : size == 8     ? static_cast<int64_t>(be64(p))
        : is_unsigned   ? static_cast<int64_t>(be32(p))
                        : static_cast<int64_t>(static_cast<int32_t>(be32(p)));
    return true;
}

}  // namespace

template <int size, bool is_unsigned>
bool integer_text(const char *p, size_t len, std::string &out)
{
    out.clear();
    int64_t i;
    if (!read_integer<size, is_unsigned>(p, len, i))
        return false;
    append_int(out, i);
    return true;
}

template <int size, bool is_unsigned>
void integer_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &)
{
    v.decoded = read_integer<size, is_unsigned>(p, len, v.integer) && code >= ZTC_TYPE_TINYINT &&
                code <= ZTC_TYPE_BIGINT && integer_fits(code, v.integer);
}

template bool integer_text<2, false>(const char *, size_t, std::string &);
template bool integer_text<4, false>(const char *, size_t, std::string &);
template bool integer_text<4, true>(const char *, size_t, std::string &);
template bool integer_text<8, false>(const char *, size_t, std::string &);
template void integer_view<2, false>(int, const char *, size_t, ZTC_ROWVALUE &, std::string &);
template void integer_view<4, false>(int, const char *, size_t, ZTC_ROWVALUE &, std::string &);
template void integer_view<4, true>(int, const char *, size_t, ZTC_ROWVALUE &, std::string &);
template void integer_view<8, false>(int, const char *, size_t, ZTC_ROWVALUE &, std::string &);

namespace {

// A float4 (`size` 4) or float8 of its binary form as a double; false for another size.
template <int size>
bool read_real(const char *p, size_t len, double &v)
{
    if (len != size)
        return false;
    if (size == 4) {
        const uint32_t bits = be32(p);
        float f;
        std::memcpy(&f, &bits, 4);
        v = f;
    } else {
        const uint64_t bits = be64(p);
        std::memcpy(&v, &bits, 8);
    }
    return true;
}

}  // namespace

template <int size>
bool real_text(const char *p, size_t len, std::string &out)
{
    out.clear();
    double f;
    if (!read_real<size>(p, len, f))
        return false;
    append_float(out, f, size == 4);
    return true;
}

template <int size>
void real_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &)
{
    v.decoded = read_real<size>(p, len, v.real) &&
                (code == ZTC_TYPE_FLOAT || code == ZTC_TYPE_DOUBLE);
    if (v.decoded && code == ZTC_TYPE_FLOAT)
        v.real = static_cast<float>(v.real);
}

template bool real_text<4>(const char *, size_t, std::string &);
template bool real_text<8>(const char *, size_t, std::string &);
template void real_view<4>(int, const char *, size_t, ZTC_ROWVALUE &, std::string &);
template void real_view<8>(int, const char *, size_t, ZTC_ROWVALUE &, std::string &);

bool numeric_text(const char *p, size_t len, std::string &out)
{
    out.clear();
    return zt::numeric_text(p, len, out);
}

// Views that offer the rendered text: numeric, and dates outside the day-count range.
void rendered_view(bool (*text_of)(const char *, size_t, std::string &), const char *p,
                   size_t len, ZTC_ROWVALUE &v, std::string &text)
{
    if (text_of(p, len, text)) {
        v.text = text.c_str();
        v.length = static_cast<int>(text.size());
    }
}

void numeric_view(int, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text)
{
    rendered_view(numeric_text, p, len, v, text);
}

bool character_text(const char *p, size_t len, std::string &out)
{
    out.assign(p, len);
    return true;
}

void character_view(int, const char *p, size_t, ZTC_ROWVALUE &v, std::string &)
{
    v.text = p;  // libpq ends every value with a zero byte
}

bool date_text(const char *p, size_t len, std::string &out)
{
    out.clear();
    return zt::date_text(p, len, out);
}

void date_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text)
{
    // A date of years 1-9999 (all a caller's calendar type may hold) as its day count; any
    // other (BC, a fifth year digit, infinity) keeps its text, which says what it is.
    if (len == 4 && code == ZTC_TYPE_DATE) {
        const int32_t days = static_cast<int32_t>(be32(p));
        if (days >= kFirstCommonEraDay && days <= kLastFourDigitDay) {
            v.integer = days + kPgEpochDays;
            v.decoded = 1;
            v.length = 10;
            return;
        }
    }
    rendered_view(date_text, p, len, v, text);
}

bool timestamp_text(const char *p, size_t len, std::string &out)
{
    out.clear();
    return zt::timestamp_text(p, len, false, out);
}

bool timestamptz_text(const char *p, size_t len, std::string &out)
{
    out.clear();
    return zt::timestamp_text(p, len, true, out);
}

void timestamp_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &)
{
    if (len != 8 || code != ZTC_TYPE_DATETIME_MS)
        return;
    const int64_t us = static_cast<int64_t>(be64(p));
    // Infinite timestamps have no count; ZTC_GetData reads them as their text says.
    int64_t unix_us;
    v.decoded = us != INT64_MAX && us != INT64_MIN &&
                !__builtin_add_overflow(us, kEpochMicros, &unix_us);
    if (v.decoded)
        v.integer = unix_us;
}

}  // namespace binary

bool binary_readable(const PGconn *conn, Oid oid)
{
    return binary_allowed(conn, codec_of(oid));
}

bool binary_readable_types(const PGconn *conn, const std::vector<Oid> &types)
{
    for (Oid t : types)
        if (!binary_readable(conn, t))
            return false;
    return !types.empty();
}

bool binary_text(Oid oid, const char *p, size_t len, std::string &out)
{
    const Codec &codec = codec_of(oid);
    out.clear();
    return codec.binary_text && codec.binary_text(p, len, out);
}

void binary_view(int code, Oid oid, const char *p, size_t len, ZTC_ROWVALUE &v,
                 std::string &text)
{
    const Codec &codec = codec_of(oid);
    v.text = nullptr;
    if (codec.binary_view)
        codec.binary_view(code, p, len, v, text);
}

bool binary_allowed(const PGconn *conn, const Codec &codec)
{
    switch (codec.binary) {
    case BinaryRead::Always:
    case BinaryRead::FloatDigits: return true;
    case BinaryRead::IsoDates: return date_style_iso(conn);
    case BinaryRead::IsoUtc: return date_style_iso(conn) && time_zone_utc(conn);
    case BinaryRead::Never: break;
    }
    return false;
}

}  // namespace zt
