// The codec table: one record per PostgreSQL type the library knows (codec.h). Adding a
// type is adding a record here (and its binary readers or COPY plan, where it has them,
// beside the others of their kind); no reader or writer elsewhere names a type.
#include "codec.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "batchcolumn.h"
#include "binaryvalue.h"
#include "copybinary.h"
#include "decode.h"
#include "internal.h"

namespace zt {

namespace {

// ---- what a column reports ----

// numeric and varchar/bpchar type modifiers carry a 4-byte header length.
constexpr int kVarHeader = 4;
// Interval type modifier: field range in the high 16 bits, YEAR and MONTH bits as below.
constexpr int kIntervalMonth = 1 << 1;
constexpr int kIntervalYear = 1 << 2;
constexpr int kIntervalFullRange = 0x7FFF;

template <int code, int modifier>
void fixed_column(int, ColumnInfo &info)
{
    info.code = code;
    info.modifier = modifier;
}

// A declared length or precision (numeric, varchar, bpchar), -1 when none is declared.
template <int code>
void declared_column(int typmod, ColumnInfo &info)
{
    info.code = code;
    info.modifier = typmod >= kVarHeader ? typmod - kVarHeader : -1;
}

// Text length of a time value of declared precision p (-1: default 6) with an offset of
// `zone` characters ("+HH:MM" -> 6).
template <int zone>
void time_column(int typmod, ColumnInfo &info)
{
    const int p = typmod < 0 ? 6 : typmod;
    info.code = ZTC_TYPE_TIME2;
    info.modifier = 8 + (p > 0 ? 1 + p : 0) + zone;
}

// timestamp(p) reports the length of its text; timestamp(0) 26, like an undeclared one.
void timestamp_column(int typmod, ColumnInfo &info)
{
    info.code = ZTC_TYPE_DATETIME_MS;
    info.modifier = typmod > 0 ? 20 + typmod : 26;
}

// An interval of years and months only reads as months (code 31 with 4 bytes), any other as
// microseconds.
void interval_column(int typmod, ColumnInfo &info)
{
    const int range = typmod >= 0 ? (typmod >> 16) & kIntervalFullRange : kIntervalFullRange;
    const bool months_only = range != kIntervalFullRange && range != 0 &&
                             (range & ~(kIntervalYear | kIntervalMonth)) == 0;
    info.code = months_only ? ZTC_TYPE_INTERVAL_YM : ZTC_TYPE_INTERVAL_DS;
    info.modifier = months_only ? 4 : 8;
}

// ---- writing a bound parameter ----

void decimal(int64_t v, std::string &out)
{
    out = std::to_string(v);
}

void boolean(int64_t v, std::string &out)
{
    out.assign(v ? "t" : "f", 1);
}

// A float or double in network byte order (the binary form of float4 / float8).
template <class T, class U>
void binary_real(double value, std::string &out)
{
    const T v = static_cast<T>(value);
    U bits;
    static_assert(sizeof bits == sizeof v, "size");
    std::memcpy(&bits, &v, sizeof bits);
    out.resize(sizeof bits);
    for (size_t i = 0; i < sizeof bits; ++i)
        out[i] = static_cast<char>(bits >> (8 * (sizeof bits - 1 - i)));
}

// An instant, `us` microseconds since 1970 UTC, written with its offset ("+00"), so the
// server reads the same instant whatever the session's TimeZone.
void instant(int64_t us, std::string &out)
{
    char text[kMicrosTextMax];
    out.assign(text, static_cast<size_t>(format_micros_text(us, text, true)));
}

// An interval of `us` microseconds as days and seconds ("-1 days -0.500000 seconds"): the
// days stay days, as the server keeps them apart from hours.
void day_seconds(int64_t us, std::string &out)
{
    const int64_t days = us / kMicrosPerDay, rest = us % kMicrosPerDay;
    const uint64_t mag = rest < 0 ? 0 - static_cast<uint64_t>(rest) : static_cast<uint64_t>(rest);
    char text[80];
    const int n = std::snprintf(text, sizeof text, "%lld days %s%llu.%06llu seconds",
                                static_cast<long long>(days), rest < 0 ? "-" : "",
                                static_cast<unsigned long long>(mag / 1000000),
                                static_cast<unsigned long long>(mag % 1000000));
    out.assign(text, static_cast<size_t>(n));
}

bool as_is(const char *p, size_t n, std::string &out)
{
    out.assign(p, n);
    return true;
}

// Dates and timestamps with four-digit years ("   5-03-07" and "0005-03-07" both read).
bool datetime_text(const char *p, size_t n, std::string &out)
{
    return normalise_datetime_text(p, n, out);
}

constexpr Writer kIntegerWriter = {0, decimal, nullptr, nullptr, nullptr};
constexpr Writer kTextWriter = {0, nullptr, nullptr, nullptr, as_is};
constexpr Writer kDateTimeWriter = {0, nullptr, nullptr, nullptr, datetime_text};

// ---- the table ----

// Fields left out are null, false or "never": a type reads as text where it gives no
// reader, is not asked for in binary form, and takes batches only as text.
const Codec kCodecs[] = {
    {.oid = OID_BOOL, .name = "boolean", .column = fixed_column<ZTC_TYPE_BOOLEAN, 1>,
     .text_view = decode_view, .binary = BinaryRead::Always, .binary_text = binary::bool_text,
     .binary_view = binary::bool_view, .send = {0, boolean, nullptr, nullptr, nullptr},
     .copy_plan = plan_into_bool},
    {.oid = OID_INT2, .name = "smallint", .column = fixed_column<ZTC_TYPE_SMALLINT, 2>,
     .text_view = decode_view, .binary = BinaryRead::Always,
     .binary_text = binary::integer_text<2, false>, .binary_view = binary::integer_view<2, false>,
     .send = kIntegerWriter, .copy_plan = plan_into_int2},
    {.oid = OID_INT4, .name = "integer", .column = fixed_column<ZTC_TYPE_INTEGER, 4>,
     .text_view = decode_view, .binary = BinaryRead::Always,
     .binary_text = binary::integer_text<4, false>, .binary_view = binary::integer_view<4, false>,
     .send = kIntegerWriter, .copy_plan = plan_into_int4},
    {.oid = OID_INT8, .name = "bigint", .column = fixed_column<ZTC_TYPE_BIGINT, 8>,
     .text_view = decode_view, .binary = BinaryRead::Always,
     .binary_text = binary::integer_text<8, false>, .binary_view = binary::integer_view<8, false>,
     .send = kIntegerWriter, .copy_plan = plan_into_int8},
    {.oid = OID_OID, .name = "oid", .column = fixed_column<ZTC_TYPE_BIGINT, 8>,
     .text_view = decode_view, .binary = BinaryRead::Always,
     .binary_text = binary::integer_text<4, true>, .binary_view = binary::integer_view<4, true>},
    {.oid = OID_FLOAT4, .name = "real", .column = fixed_column<ZTC_TYPE_FLOAT, 4>,
     .text_view = decode_view, .binary = BinaryRead::FloatDigits,
     .binary_text = binary::real_text<4>, .binary_view = binary::real_view<4>,
     .send = {1, nullptr, binary_real<float, uint32_t>, nullptr, nullptr},
     .copy_plan = plan_into_float4},
    {.oid = OID_FLOAT8, .name = "double precision", .column = fixed_column<ZTC_TYPE_DOUBLE, 8>,
     .text_view = decode_view, .binary = BinaryRead::FloatDigits,
     .binary_text = binary::real_text<8>, .binary_view = binary::real_view<8>,
     .send = {1, nullptr, binary_real<double, uint64_t>, nullptr, nullptr},
     .copy_plan = plan_into_float8},
    {.oid = OID_NUMERIC, .name = "numeric", .column = declared_column<ZTC_TYPE_NUMERIC>,
     .binary = BinaryRead::Always, .binary_text = binary::numeric_text,
     .binary_view = binary::numeric_view, .send = kTextWriter},
    {.oid = OID_TEXT, .name = "text", .column = fixed_column<ZTC_TYPE_VARCHAR, -1>,
     .binary = BinaryRead::Always, .binary_text = binary::character_text,
     .binary_view = binary::character_view, .send = kTextWriter, .copy_plan = plan_into_text},
    {.oid = OID_VARCHAR, .name = "character varying", .column = declared_column<ZTC_TYPE_VARCHAR>,
     .binary = BinaryRead::Always, .binary_text = binary::character_text,
     .binary_view = binary::character_view, .send = kTextWriter, .copy_plan = plan_into_text},
    {.oid = OID_BPCHAR, .name = "character", .column = declared_column<ZTC_TYPE_CHAR>,
     .binary = BinaryRead::Always, .binary_text = binary::character_text,
     .binary_view = binary::character_view, .send = kTextWriter, .copy_plan = plan_into_text},
    {.oid = OID_NAME, .name = "name", .column = fixed_column<ZTC_TYPE_VARCHAR, 63>,
     .binary = BinaryRead::Always, .binary_text = binary::character_text,
     .binary_view = binary::character_view, .send = kTextWriter},
    {.oid = OID_DATE, .name = "date", .column = fixed_column<ZTC_TYPE_DATE, 10>,
     .date_styled = true, .date_kind = DateKind::Date, .binary = BinaryRead::IsoDates,
     .binary_text = binary::date_text, .binary_view = binary::date_view,
     .send = kDateTimeWriter, .copy_plan = plan_into_date},
    {.oid = OID_TIME, .name = "time", .column = time_column<0>, .send = kTextWriter},
    {.oid = OID_TIMETZ, .name = "time with time zone", .column = time_column<6>,
     .with_time_zone = true, .send = kTextWriter},
    {.oid = OID_TIMESTAMP, .name = "timestamp", .column = timestamp_column, .date_styled = true,
     .date_kind = DateKind::Timestamp, .text_view = decode_view, .binary = BinaryRead::IsoDates,
     .binary_text = binary::timestamp_text, .binary_view = binary::timestamp_view,
     .send = kDateTimeWriter, .copy_plan = plan_into_timestamp},
    {.oid = OID_TIMESTAMPTZ, .name = "timestamp with time zone", .column = timestamp_column,
     .with_time_zone = true, .date_styled = true, .date_kind = DateKind::TimestampTz,
     .text_view = decode_view, .binary = BinaryRead::IsoUtc,
     .binary_text = binary::timestamptz_text, .binary_view = binary::timestamp_view,
     .send = {0, nullptr, nullptr, instant, nullptr}, .copy_plan = plan_into_timestamptz},
    {.oid = OID_INTERVAL, .name = "interval", .column = interval_column,
     .send = {0, nullptr, nullptr, day_seconds, nullptr}},
    {.oid = OID_BYTEA, .name = "bytea", .column = fixed_column<ZTC_TYPE_BLOB, -1>,
     .bytea_text = true, .send = {1, nullptr, nullptr, nullptr, as_is},
     .copy_plan = plan_into_bytea},
    {.oid = OID_REFCURSOR, .name = "refcursor", .column = fixed_column<ZTC_TYPE_REFCURSOR, -1>,
     .send = kTextWriter},
};

// Any other type: its text, as a text column reports it.
const Codec kTextCodec = {.oid = 0, .name = "text", .column = fixed_column<ZTC_TYPE_VARCHAR, -1>,
                          .send = kTextWriter};

}  // namespace

const Codec &codec_of(Oid oid)
{
    for (const Codec &c : kCodecs)
        if (c.oid == oid)
            return c;
    return kTextCodec;
}

}  // namespace zt
