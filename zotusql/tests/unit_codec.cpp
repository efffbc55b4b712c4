// The codec table without a server: what a column of each type reports, each type's binary
// form read back as the server's text and as the same row view its text gives, bound values
// written and read back, and the binary COPY plan of each batch kind into each column type.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "batchcolumn.h"
#include "codec.h"
#include "copybinary.h"
#include "internal.h"

using namespace zt;

namespace {

std::string be(uint64_t v, int bytes)
{
    std::string out;
    append_be(out, v, bytes);
    return out;
}

std::string be_double(double d)
{
    uint64_t u;
    std::memcpy(&u, &d, 8);
    return be(u, 8);
}

std::string be_float(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return be(u, 4);
}

TEST(Codec, ColumnsReportTheirCodeAndModifier)
{
    static const struct {
        Oid oid;
        int typmod, code, modifier, flags;
    } cases[] = {
        {OID_BOOL, -1, ZTC_TYPE_BOOLEAN, 1, 0},
        {OID_INT2, -1, ZTC_TYPE_SMALLINT, 2, 0},
        {OID_INT4, -1, ZTC_TYPE_INTEGER, 4, 0},
        {OID_INT8, -1, ZTC_TYPE_BIGINT, 8, 0},
        {OID_OID, -1, ZTC_TYPE_BIGINT, 8, 0},
        {OID_FLOAT4, -1, ZTC_TYPE_FLOAT, 4, 0},
        {OID_FLOAT8, -1, ZTC_TYPE_DOUBLE, 8, 0},
        {OID_NUMERIC, (12 << 16 | 2) + 4, ZTC_TYPE_NUMERIC, 12 << 16 | 2, 0},
        {OID_NUMERIC, -1, ZTC_TYPE_NUMERIC, -1, 0},
        {OID_VARCHAR, 14, ZTC_TYPE_VARCHAR, 10, 0},
        {OID_BPCHAR, 7, ZTC_TYPE_CHAR, 3, 0},
        {OID_TEXT, -1, ZTC_TYPE_VARCHAR, -1, 0},
        {OID_NAME, -1, ZTC_TYPE_VARCHAR, 63, 0},
        {OID_DATE, -1, ZTC_TYPE_DATE, 10, 0},
        {OID_TIME, -1, ZTC_TYPE_TIME2, 15, 0},
        {OID_TIME, 0, ZTC_TYPE_TIME2, 8, 0},
        {OID_TIME, 3, ZTC_TYPE_TIME2, 12, 0},
        {OID_TIMETZ, -1, ZTC_TYPE_TIME2, 21, 1},
        {OID_TIMESTAMP, -1, ZTC_TYPE_DATETIME_MS, 26, 0},
        {OID_TIMESTAMP, 0, ZTC_TYPE_DATETIME_MS, 26, 0},
        {OID_TIMESTAMP, 3, ZTC_TYPE_DATETIME_MS, 23, 0},
        {OID_TIMESTAMPTZ, -1, ZTC_TYPE_DATETIME_MS, 26, 1},
        {OID_INTERVAL, -1, ZTC_TYPE_INTERVAL_DS, 8, 0},
        {OID_INTERVAL, (4 | 2) << 16 | 0xFFFF, ZTC_TYPE_INTERVAL_YM, 4, 0},  // YEAR TO MONTH
        {OID_INTERVAL, 4 << 16 | 0xFFFF, ZTC_TYPE_INTERVAL_YM, 4, 0},        // YEAR
        {OID_INTERVAL, 8 << 16 | 0xFFFF, ZTC_TYPE_INTERVAL_DS, 8, 0},        // DAY
        {OID_BYTEA, -1, ZTC_TYPE_BLOB, -1, 0},
        {OID_REFCURSOR, -1, ZTC_TYPE_REFCURSOR, -1, 0},
        {114, -1, ZTC_TYPE_VARCHAR, -1, 0},  // json: no record, read as text
    };
    for (const auto &c : cases) {
        ColumnInfo info = column_type(c.oid, c.typmod);
        EXPECT_EQ(c.code, info.code) << c.oid << " " << c.typmod;
        EXPECT_EQ(c.modifier, info.modifier) << c.oid << " " << c.typmod;
        EXPECT_EQ(c.oid, info.oid);
        EXPECT_EQ(c.flags != 0, info.codec->with_time_zone) << c.oid;
    }
    EXPECT_EQ(&codec_of(114), &codec_of(3802));  // every unlisted type shares the text record
    EXPECT_EQ(BinaryRead::Never, codec_of(114).binary);
    EXPECT_EQ(nullptr, codec_of(114).copy_plan);
}

// One value of a type in both forms: the binary bytes read as the text, and both forms give
// the same row view.
struct Pair {
    Oid oid;
    std::string bytes;
    const char *text;
};

TEST(Codec, BinaryReadsAsTheTextAndViewsAgree)
{
    const Pair cases[] = {
        {OID_BOOL, std::string(1, '\1'), "t"},
        {OID_BOOL, std::string(1, '\0'), "f"},
        {OID_INT2, be(static_cast<uint16_t>(-32768), 2), "-32768"},
        {OID_INT4, be(static_cast<uint32_t>(-7), 4), "-7"},
        {OID_INT8, be(static_cast<uint64_t>(INT64_MIN), 8), "-9223372036854775808"},
        {OID_OID, be(4294967295u, 4), "4294967295"},
        {OID_FLOAT4, be_float(0.1f), "0.1"},
        {OID_FLOAT8, be_double(1e300), "1e+300"},
        {OID_FLOAT8, be_double(-0.5), "-0.5"},
        // numeric 12.50: 2 digits, weight 0, positive, scale 2; groups 12, 5000
        {OID_NUMERIC, be(2, 2) + be(0, 2) + be(0, 2) + be(2, 2) + be(12, 2) + be(5000, 2), "12.50"},
        {OID_TEXT, "héllo", "héllo"},
        {OID_VARCHAR, "", ""},
        {OID_DATE, be(0, 4), "2000-01-01"},
        {OID_DATE, be(static_cast<uint32_t>(-730120), 4), "0001-12-31 BC"},
        {OID_TIMESTAMP, be(1500000, 8), "2000-01-01 00:00:01.5"},
        {OID_TIMESTAMP, be(static_cast<uint64_t>(-1), 8), "1999-12-31 23:59:59.999999"},
        {OID_TIMESTAMPTZ, be(0, 8), "2000-01-01 00:00:00+00"},
        {OID_TIMESTAMP, be(static_cast<uint64_t>(INT64_MAX), 8), "infinity"},
    };
    for (const Pair &c : cases) {
        const Codec &codec = codec_of(c.oid);
        ASSERT_NE(nullptr, codec.binary_text) << c.oid;
        std::string text;
        ASSERT_TRUE(codec.binary_text(c.bytes.data(), c.bytes.size(), text)) << c.text;
        EXPECT_EQ(c.text, text);

        const int code = column_type(c.oid, -1).code;
        ZTC_ROWVALUE from_text{}, from_binary{};
        if (codec.text_view)
            codec.text_view(code, c.text, std::strlen(c.text), from_text);
        std::string rendered;
        // libpq ends every value with a zero byte, which character views rely on.
        const std::string held = c.bytes + '\0';
        codec.binary_view(code, held.data(), c.bytes.size(), from_binary, rendered);
        if (codec.text_view) {
            EXPECT_EQ(from_text.decoded, from_binary.decoded) << c.text;
            if (from_text.decoded) {
                EXPECT_EQ(from_text.integer, from_binary.integer) << c.text;
                EXPECT_EQ(from_text.real, from_binary.real) << c.text;
            }
        }
        if (from_binary.text) {
            EXPECT_EQ(std::string(c.text), std::string(from_binary.text)) << c.oid;
        }
    }
}

TEST(Codec, BinaryReadsFollowTheSessionSettings)
{
    static const struct {
        Oid oid;
        BinaryRead read;
    } cases[] = {
        {OID_INT4, BinaryRead::Always},      {OID_NUMERIC, BinaryRead::Always},
        {OID_NAME, BinaryRead::Always},      {OID_FLOAT4, BinaryRead::FloatDigits},
        {OID_FLOAT8, BinaryRead::FloatDigits}, {OID_DATE, BinaryRead::IsoDates},
        {OID_TIMESTAMP, BinaryRead::IsoDates}, {OID_TIMESTAMPTZ, BinaryRead::IsoUtc},
        {OID_TIME, BinaryRead::Never},       {OID_INTERVAL, BinaryRead::Never},
        {OID_BYTEA, BinaryRead::Never},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.read, codec_of(c.oid).binary) << c.oid;
}

// A parameter bound with a type code: the type, form and bytes the server receives.
struct Bound {
    int code;
    std::string given;
    Oid oid;
    int format;
    std::string value;
};

template <class T>
std::string raw(T v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

TEST(Codec, BoundValuesAreWrittenByTheirType)
{
    const Bound cases[] = {
        {ZTC_TYPE_BOOLEAN, "T", OID_BOOL, 0, "t"},
        {ZTC_TYPE_BOOLEAN, std::string(1, '\0'), OID_BOOL, 0, "f"},
        {ZTC_TYPE_TINYINT, raw<int8_t>(-5), OID_INT2, 0, "-5"},
        {ZTC_TYPE_SMALLINT, raw<int16_t>(300), OID_INT2, 0, "300"},
        {ZTC_TYPE_INTEGER, raw<int32_t>(1), 0, 0, "1"},
        {ZTC_TYPE_BIGINT, raw<int64_t>(32767), OID_INT2, 0, "32767"},
        {ZTC_TYPE_BIGINT, raw<int64_t>(32768), OID_INT4, 0, "32768"},
        {ZTC_TYPE_BIGINT, raw<int64_t>(-2147483649LL), OID_INT8, 0, "-2147483649"},
        {ZTC_TYPE_INT_LITERAL, raw<int64_t>(7), OID_INT4, 0, "7"},
        {ZTC_TYPE_INT_LITERAL, raw<int64_t>(1LL << 31), OID_INT8, 0, "2147483648"},
        {ZTC_TYPE_FLOAT, raw<float>(0.1f), OID_FLOAT4, 1, be_float(0.1f)},
        {ZTC_TYPE_DOUBLE, raw<double>(-2.5), OID_FLOAT8, 1, be_double(-2.5)},
        {ZTC_TYPE_INTERVAL_DS, raw<int64_t>(-86400500000LL), OID_INTERVAL, 0,
         "-1 days -0.500000 seconds"},
        {ZTC_TYPE_DATETIME_UTC_US, raw<int64_t>(-1), OID_TIMESTAMPTZ, 0,
         "1969-12-31 23:59:59.999999+00"},
        {ZTC_TYPE_NUMERIC, std::string("12.5\0junk", 9), OID_NUMERIC, 0, "12.5"},
        {ZTC_TYPE_VARCHAR, "abc", 0, 0, "abc"},
        {ZTC_TYPE_DATE, "   5-03-07", OID_DATE, 0, "0005-03-07"},
        {ZTC_TYPE_DATETIME_MS, "2024-01-02 03:04:05", OID_TIMESTAMP, 0, "2024-01-02 03:04:05"},
        {ZTC_TYPE_TIME2, "10:00:00", OID_TIME, 0, "10:00:00"},
        {ZTC_TYPE_BLOB, std::string("a\0b", 3), OID_BYTEA, 1, std::string("a\0b", 3)},
        {ZTC_TYPE_REFCURSOR, "cur", OID_REFCURSOR, 0, "cur"},
    };
    for (const Bound &c : cases) {
        Binding b;
        std::string err;
        ASSERT_TRUE(encode_value(c.code, c.given.data(), static_cast<int>(c.given.size()), b, err))
            << c.code << " " << err;
        EXPECT_FALSE(b.null) << c.code;
        EXPECT_EQ(c.oid, b.oid) << c.code;
        EXPECT_EQ(c.format, b.format) << c.code;
        EXPECT_EQ(c.value, b.value) << c.code;
        // A binary form written for a type reads back through the same type's reader.
        if (b.format == 1 && b.oid && codec_of(b.oid).binary_text) {
            std::string text;
            EXPECT_TRUE(codec_of(b.oid).binary_text(b.value.data(), b.value.size(), text));
        }
    }
}

TEST(Codec, BindRefusalsAndNulls)
{
    static const struct {
        int code;
        const char *given;
        int length;
        bool ok, null;
        const char *message;
    } cases[] = {
        {ZTC_TYPE_BOOLEAN, "x", 1, false, false, "[22023] boolean parameter is neither 0/1 nor F/T"},
        {ZTC_TYPE_DATE, "2023-02-29", 10, false, false,
         "[22023] malformed date parameter \"2023-02-29\""},
        {ZTC_TYPE_DATETIME, "2023-01-01 25:00:00", 19, false, false,
         "[22023] malformed timestamp parameter \"2023-01-01 25:00:00\""},
        {999, "x", 1, false, false, "[22023] unsupported parameter type code 999"},
        {999, nullptr, -1, false, false, "[22023] unsupported parameter type code 999"},
        {ZTC_TYPE_DATETIME_US, "12345678", 8, false, false,
         "[22023] unsupported parameter type code 71"},
        {ZTC_TYPE_DATE, nullptr, -1, true, true, ""},
        {ZTC_TYPE_BOOLEAN, "x", -1, true, true, ""},
        {ZTC_TYPE_NULL, "x", 1, true, true, ""},
        {ZTC_TYPE_REFCURSOR, "", 0, true, true, ""},
    };
    for (const auto &c : cases) {
        Binding b;
        std::string err;
        EXPECT_EQ(c.ok, encode_value(c.code, c.given, c.length, b, err)) << c.code;
        EXPECT_EQ(c.message, err.substr(0, err.find('\0'))) << c.code;
        EXPECT_EQ(c.null || !c.ok, b.null) << c.code;  // a refused value binds nothing
    }
    Binding cursor;
    std::string err;
    ASSERT_TRUE(encode_value(ZTC_TYPE_REFCURSOR, "", 0, cursor, err));
    EXPECT_EQ(OID_REFCURSOR, cursor.oid);  // a typed NULL: the procedure names the cursor
}

// A batch column of one kind planned into a target column type: the binary COPY wire, or
// false (the batch then goes as text).
struct Plan {
    Kind kind;
    int size;              // element size (fixed-size kinds)
    std::vector<std::string> values;
    Oid target;
    bool utc;
    bool binary;
    Wire wire;
};

// The array binding of `values` in the layout the kind is read in (fixed-size elements, or
// the packed 4-byte length + bytes).
ArrayBinding binding_of(const Plan &p, std::vector<char> &store)
{
    ArrayBinding b;
    b.n = static_cast<int>(p.values.size());
    for (const std::string &v : p.values) {
        if (is_packed(p.kind)) {
            const int32_t len = static_cast<int32_t>(v.size());
            store.insert(store.end(), reinterpret_cast<const char *>(&len),
                         reinterpret_cast<const char *>(&len) + 4);
        }
        store.insert(store.end(), v.begin(), v.end());
    }
    b.size = is_packed(p.kind) ? static_cast<int>(store.size()) : p.size;
    b.data = store.data();
    return b;
}

TEST(Codec, CopyPlansOfEachKindIntoEachType)
{
    const std::string micros = raw<int64_t>(0);
    const Plan cases[] = {
        {Kind::Null, 0, {""}, 114, true, true, Wire::Null},
        {Kind::Bool, 1, {"\1"}, OID_BOOL, true, true, Wire::Bool},
        {Kind::Bool, 1, {"\1"}, OID_INT4, true, false, Wire::Null},
        {Kind::Int, 8, {raw<int64_t>(1), raw<int64_t>(0)}, OID_BOOL, true, true, Wire::Bool},
        {Kind::Int, 8, {raw<int64_t>(2)}, OID_BOOL, true, false, Wire::Null},
        {Kind::Int, 8, {raw<int64_t>(32767)}, OID_INT2, true, true, Wire::Int2},
        {Kind::Int, 8, {raw<int64_t>(32768)}, OID_INT2, true, false, Wire::Null},
        {Kind::Int, 8, {raw<int64_t>(-2147483648LL)}, OID_INT4, true, true, Wire::Int4},
        {Kind::Int, 8, {raw<int64_t>(2147483648LL)}, OID_INT4, true, false, Wire::Null},
        {Kind::Int, 8, {raw<int64_t>(INT64_MIN)}, OID_INT8, true, true, Wire::Int8},
        {Kind::Int, 8, {raw<int64_t>(3)}, OID_FLOAT4, true, true, Wire::Converted4},
        {Kind::Int, 8, {raw<int64_t>(3)}, OID_FLOAT8, true, true, Wire::Converted8},
        {Kind::Int, 8, {raw<int64_t>(3)}, OID_TEXT, true, true, Wire::Text},
        {Kind::Int, 8, {raw<int64_t>(3)}, OID_NUMERIC, true, false, Wire::Null},
        {Kind::Float, 8, {raw<double>(0.5)}, OID_FLOAT8, true, true, Wire::Float8},
        {Kind::Float, 4, {raw<float>(0.5f)}, OID_FLOAT4, true, true, Wire::Float4},
        {Kind::Float, 8, {raw<double>(0.5)}, OID_FLOAT4, true, true, Wire::Converted4},
        {Kind::Float, 8, {raw<double>(1e300)}, OID_FLOAT4, true, false, Wire::Null},
        {Kind::Float, 4, {raw<float>(0.5f)}, OID_FLOAT8, true, true, Wire::Converted8},
        {Kind::Float, 8, {raw<double>(0.5)}, OID_TEXT, true, false, Wire::Null},
        {Kind::Text, 0, {"x"}, OID_VARCHAR, true, true, Wire::Text},
        {Kind::Text, 0, {"x"}, OID_BPCHAR, true, true, Wire::Text},
        {Kind::Text, 0, {"x"}, OID_NAME, true, false, Wire::Null},
        {Kind::Text, 0, {"2024-02-29"}, OID_DATE, true, true, Wire::Date},
        {Kind::Text, 0, {"2023-02-29"}, OID_DATE, true, false, Wire::Null},
        {Kind::Text, 0, {" 2024-01-01"}, OID_DATE, true, false, Wire::Null},
        {Kind::Text, 0, {"2024-01-01 10:00:00"}, OID_TIMESTAMP, false, true, Wire::Timestamp},
        {Kind::Text, 0, {"2024-01-01 10:00:00+02"}, OID_TIMESTAMP, true, false, Wire::Null},
        {Kind::Text, 0, {"2024-01-01 10:00:00+02"}, OID_TIMESTAMPTZ, true, true, Wire::Timestamp},
        {Kind::Text, 0, {"2024-01-01 10:00:00"}, OID_TIMESTAMPTZ, false, false, Wire::Null},
        {Kind::Micros, 8, {micros}, OID_TIMESTAMP, false, true, Wire::Micros},
        {Kind::Micros, 8, {micros}, OID_TIMESTAMPTZ, true, true, Wire::Micros},
        {Kind::Micros, 8, {micros}, OID_TIMESTAMPTZ, false, false, Wire::Null},
        {Kind::Micros, 8, {micros}, OID_TEXT, false, true, Wire::Text},
        {Kind::Micros, 8, {micros}, OID_DATE, true, false, Wire::Null},
        {Kind::Binary, 0, {"\1\2"}, OID_BYTEA, true, true, Wire::Bytea},
        {Kind::Binary, 0, {"\1\2"}, OID_TEXT, true, false, Wire::Null},
    };
    for (const Plan &p : cases) {
        std::vector<char> store;
        ArrayBinding b = binding_of(p, store);
        Column c;
        c.b = &b;
        c.kind = p.kind;
        const int rows = static_cast<int>(p.values.size());
        bool planned;
        if (p.kind == Kind::Null) {
            std::vector<Column> cols{c};
            planned = plan_binary_columns(cols, {p.target}, rows, p.utc);
            c = cols[0];
        } else {
            const Codec &codec = codec_of(p.target);
            planned = codec.copy_plan && codec.copy_plan(c, rows, p.utc);
        }
        EXPECT_EQ(p.binary, planned) << static_cast<int>(p.kind) << " into " << p.target;
        if (p.binary && planned) {
            EXPECT_EQ(static_cast<int>(p.wire), static_cast<int>(c.wire))
                << static_cast<int>(p.kind) << " into " << p.target;
        }
    }
}

}  // namespace
