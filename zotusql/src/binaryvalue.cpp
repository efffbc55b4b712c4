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

// Days and microseconds between 1970-01-01 and 2000-01-01, the binary forms' origin.
constexpr int64_t kEpochDays = 10957;
constexpr int64_t kEpochMicros = kEpochDays * 86400 * int64_t{1000000};
constexpr int64_t kDayMicros = 86400 * int64_t{1000000};

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
    switch (oid) {
    case OID_INT2:
        v = static_cast<int16_t>(be16(p));
        return len == 2;
    case OID_INT4:
        v = static_cast<int32_t>(be32(p));
        return len == 4;
    case OID_OID:
        v = be32(p);
        return len == 4;
    default:
        v = static_cast<int64_t>(be64(p));
        return len == 8;
    }
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

void append_padded(std::string &out, int64_t v, int width)
{
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
    (void)ec;
    for (int n = static_cast<int>(end - digits); n < width; ++n)
        out += '0';
    out.append(digits, end);
}

// The shortest text that reads back as v, in the server's layout: positional for decimal
// exponents in [-4, limit), else "d.ddde+XX" (at least two exponent digits).
template <class T>
void float_text(T v, int limit, std::string &out)
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
        append_padded(out, exp < 0 ? -exp : exp, 2);
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
        out += sign == kNumericNaN ? "NaN" : sign == kNumericPlusInfinity ? "Infinity" : "-Infinity";
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
    if (sign == kNumericNegative)
        out += '-';
    if (weight < 0) {
        out += '0';
    } else {
        for (int d = 0; d <= weight; ++d)
            append_padded(out, digit(d), d == 0 ? 1 : 4);
    }
    if (dscale > 0) {
        out += '.';
        const size_t end = out.size() + static_cast<size_t>(dscale);
        for (int d = weight + 1; out.size() < end; ++d)
            append_padded(out, digit(d), 4);
        out.resize(end);
    }
    return true;
}

// Year, month and day of a day count since 1970-01-01 (proleptic Gregorian; year 0 is 1 BC).
void civil_from_days(int64_t z, int64_t &y, int &m, int &d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

// "YYYY-MM-DD" of a day count since 2000-01-01; *bc set for years before 1 AD.
void date_part_text(int64_t days, std::string &out, bool &bc)
{
    int64_t y;
    int m, d;
    civil_from_days(days + kEpochDays, y, m, d);
    bc = y <= 0;
    append_padded(out, bc ? 1 - y : y, 4);
    out += '-';
    append_padded(out, m, 2);
    out += '-';
    append_padded(out, d, 2);
}

bool date_text(const char *p, size_t len, std::string &out)
{
    if (len != 4)
        return false;
    const int32_t days = static_cast<int32_t>(be32(p));
    if (days == INT32_MAX || days == INT32_MIN) {
        out += days == INT32_MAX ? "infinity" : "-infinity";
        return true;
    }
    bool bc;
    date_part_text(days, out, bc);
    if (bc)
        out += " BC";
    return true;
}

bool timestamp_text(const char *p, size_t len, bool zone, std::string &out)
{
    if (len != 8)
        return false;
    const int64_t us = static_cast<int64_t>(be64(p));
    if (us == INT64_MAX || us == INT64_MIN) {
        out += us == INT64_MAX ? "infinity" : "-infinity";
        return true;
    }
    int64_t days = us / kDayMicros;
    int64_t time = us % kDayMicros;
    if (time < 0) {
        time += kDayMicros;
        --days;
    }
    bool bc;
    date_part_text(days, out, bc);
    const int64_t seconds = time / 1000000, fraction = time % 1000000;
    out += ' ';
    append_padded(out, seconds / 3600, 2);
    out += ':';
    append_padded(out, seconds / 60 % 60, 2);
    out += ':';
    append_padded(out, seconds % 60, 2);
    if (fraction) {
        out += '.';
        const size_t start = out.size();
        append_padded(out, fraction, 6);
        while (out.size() > start && out.back() == '0')
            out.pop_back();
    }
    if (zone)
        out += "+00";
    if (bc)
        out += " BC";
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

bool binary_readable_columns(const PGconn *conn, const PGresult *r)
{
    const int n = r ? PQnfields(r) : 0;
    for (int c = 0; c < n; ++c)
        if (!binary_readable(conn, PQftype(r, c)))
            return false;
    return n > 0;
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
        append_padded(out, i, 1);
        return true;
    case OID_FLOAT4:
        if (!binary_double(oid, p, len, f))
            return false;
        float_text(static_cast<float>(f), 6, out);
        return true;
    case OID_FLOAT8:
        if (!binary_double(oid, p, len, f))
            return false;
        float_text(f, 15, out);
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
    case OID_NUMERIC:
    case OID_DATE:
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
