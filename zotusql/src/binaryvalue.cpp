// Binary wire values: which types may arrive in binary form, their text forms (as the server
// writes them with DateStyle ISO, TimeZone UTC and extra_float_digits 1), and their views.
#include "binaryvalue.h"

#include <charconv>
#include <cmath>
#include <cstring>

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

// An integer of a fixed-size binary form (int2, int4, oid, int8); false for another size.
bool binary_integer(Oid oid, const char *p, size_t len, int64_t &v)
{
    const size_t size = oid == OID_INT2 ? 2 : oid == OID_INT8 ? 8 : 4;
    if (len != size)
        return false;
    v = oid == OID_INT2   ? static_cast<int16_t>(be16(p))
        : oid == OID_INT4 ? static_cast<int32_t>(be32(p))
        : oid == OID_OID  ? static_cast<int64_t>(be32(p))
                          : static_cast<int64_t>(be64(p));
    return true;
}

bool binary_double(Oid oid, const char *p, size_t len, double &v)
{
    if (oid == OID_FLOAT4 && len == 4) {
        uint32_t bits = be32(p);
        float f;
        std::memcpy(&f, &bits, 4);
        v = f;
        return true;
    }
    if (oid == OID_FLOAT8 && len == 8) {
        uint64_t bits = be64(p);
        std::memcpy(&v, &bits, 8);
        return true;
    }
    return false;
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

bool binary_readable(const PGconn *conn, Oid oid)
{
    switch (oid) {
    case OID_BOOL:
    case OID_INT2:
    case OID_INT4:
    case OID_INT8:
    case OID_OID:
    case OID_FLOAT4:
    case OID_FLOAT8:
    case OID_NUMERIC:
    case OID_TEXT:
    case OID_VARCHAR:
    case OID_BPCHAR:
    case OID_NAME:
        return true;
    case OID_DATE:
    case OID_TIMESTAMP:
        return date_style_iso(conn);
    case OID_TIMESTAMPTZ:
        return date_style_iso(conn) && time_zone_utc(conn);
    default:
        return false;
    }
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
    out.clear();
    int64_t i;
    double f;
    switch (oid) {
    case OID_BOOL:
        if (len != 1)
            return false;
        out += *p ? 't' : 'f';
        return true;
    case OID_INT2:
    case OID_INT4:
    case OID_OID:
    case OID_INT8:
        if (!binary_integer(oid, p, len, i))
            return false;
        append_int(out, i);
        return true;
    case OID_FLOAT4:
        if (!binary_double(oid, p, len, f))
            return false;
        append_float(out, f, true);
        return true;
    case OID_FLOAT8:
        if (!binary_double(oid, p, len, f))
            return false;
        append_float(out, f, false);
        return true;
    case OID_NUMERIC:
        return numeric_text(p, len, out);
    case OID_TEXT:
    case OID_VARCHAR:
    case OID_BPCHAR:
    case OID_NAME:
        out.assign(p, len);
        return true;
    case OID_DATE:
        return date_text(p, len, out);
    case OID_TIMESTAMP:
    case OID_TIMESTAMPTZ:
        return timestamp_text(p, len, oid == OID_TIMESTAMPTZ, out);
    default:
        return false;
    }
}

void binary_view(int code, Oid oid, const char *p, size_t len, ZTC_ROWVALUE &v,
                 std::string &text)
{
    v.text = nullptr;
    switch (oid) {
    case OID_BOOL:
        v.integer = len == 1 && *p != 0;
        v.decoded = len == 1 && code == ZTC_TYPE_BOOLEAN;
        return;
    case OID_INT2:
    case OID_INT4:
    case OID_OID:
    case OID_INT8:
        v.decoded = binary_integer(oid, p, len, v.integer) && code >= ZTC_TYPE_TINYINT &&
                    code <= ZTC_TYPE_BIGINT && integer_fits(code, v.integer);
        return;
    case OID_FLOAT4:
    case OID_FLOAT8:
        v.decoded = binary_double(oid, p, len, v.real) &&
                    (code == ZTC_TYPE_FLOAT || code == ZTC_TYPE_DOUBLE);
        if (v.decoded && code == ZTC_TYPE_FLOAT)
            v.real = static_cast<float>(v.real);
        return;
    case OID_TIMESTAMP:
    case OID_TIMESTAMPTZ: {
        if (len != 8 || code != ZTC_TYPE_DATETIME_MS)
            return;
        const int64_t us = static_cast<int64_t>(be64(p));
        // Infinite timestamps have no count; ZTC_GetData reads them as their text says.
        int64_t unix_us;
        v.decoded = us != INT64_MAX && us != INT64_MIN &&
                    !__builtin_add_overflow(us, kEpochMicros, &unix_us);
        if (v.decoded)
            v.integer = unix_us;
        return;
    }
    case OID_TEXT:
    case OID_VARCHAR:
    case OID_BPCHAR:
    case OID_NAME:
        v.text = p;  // libpq ends every value with a zero byte
        return;
    case OID_DATE:
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
        [[fallthrough]];
    case OID_NUMERIC:
        if (binary_text(oid, p, len, text)) {
            v.text = text.c_str();
            v.length = static_cast<int>(text.size());
        }
        return;
    default:
        return;
    }
}

}  // namespace zt
