// A named cursor's pages after its first come in binary form when every column's type allows.
// Each value below is read from a text page and from a binary page of the same cursor, and the
// two must agree: ZTC_GetData in each code (bytes, length, failure and message alike) and the
// row view (decoded number, and text wherever the binary view offers one).
#include <cstdio>
#include <cstring>
#include <vector>

#include "it_common.h"

using namespace zt_it;

namespace {

// What one ZTC_GetData call gave: its return code, length and bytes, or the message.
std::string read_as(Session &s, Result &r, int code)
{
    std::vector<char> buf(4096, '\x5a');
    int len = 0;
    if (ZTC_GetData(&r.r, 1, code, buf.data(), static_cast<int>(buf.size()), &len) < 0)
        return "fails: " + s.error();
    const size_t shown = len < 0 ? 0 : static_cast<size_t>(std::min(len, 4096));
    return std::to_string(len) + ":" + std::string(buf.data(), shown);
}

// Days from 1970-01-01 to y-m-d of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

struct Page {
    Result r;
    ZTC_ROWVALUE view{};
};

void read_page(Session &s, long long reader, Page &p)
{
    ASSERT_EQ(1, ZTC_FetchCursorPage(&s.s, "bin", reader, 1, 0, &p.r.r, nullptr)) << s.error();
    ASSERT_EQ(0, ZTC_ReadNext(&p.r.r));
    ASSERT_EQ(0, ZTC_GetRowValues(&p.r.r, &p.view, 1));
}

}  // namespace

class BinaryPages : public ::testing::TestWithParam<const char *> {};

TEST_P(BinaryPages, AgreeWithTextPages)
{
    Session s;
    s.run("begin");
    s.run(std::string("declare bin cursor for select ") + GetParam() +
          " from generate_series(1, 2)");
    Page text, binary;
    read_page(s, 1, text);
    read_page(s, 1, binary);
    int code = 0;
    ASSERT_EQ(0, ZTC_getResultcolType(&binary.r.r, 1, &code));
    const int codes[] = {code,
                         ZTC_TYPE_VARCHAR,
                         ZTC_TYPE_CHAR,
                         ZTC_TYPE_BIGINT,
                         ZTC_TYPE_DOUBLE,
                         ZTC_TYPE_NUMERIC,
                         ZTC_TYPE_DATE,
                         ZTC_TYPE_DATETIME_US,
                         ZTC_TYPE_BOOLEAN};
    for (int c : codes)
        EXPECT_EQ(read_as(s, text.r, c), read_as(s, binary.r, c)) << GetParam() << " code " << c;

    const ZTC_ROWVALUE &t = text.view, &b = binary.view;
    if (code == ZTC_TYPE_DATE && b.decoded) {
        // A binary date of years 1-9999 comes as its day count since 1970.
        ASSERT_NE(nullptr, t.text);
        int y = 0, m = 0, d = 0;
        ASSERT_EQ(3, std::sscanf(t.text, "%4d-%2d-%2d", &y, &m, &d)) << t.text;
        EXPECT_EQ(days_from_civil(y, m, d), b.integer) << t.text;
        EXPECT_EQ(nullptr, b.text);
        EXPECT_EQ(t.length, b.length);
        return;
    }
    EXPECT_EQ(t.decoded, b.decoded) << GetParam();
    EXPECT_EQ(t.integer, b.integer) << GetParam();
    EXPECT_EQ(0, std::memcmp(&t.real, &b.real, sizeof t.real)) << GetParam();
    if (t.text == nullptr || b.text != nullptr) {
        EXPECT_EQ(t.length, b.length) << GetParam();
        EXPECT_EQ(t.text == nullptr, b.text == nullptr) << GetParam();
        if (t.text && b.text) {
            EXPECT_EQ(std::string(t.text, t.length), std::string(b.text, b.length))
                << GetParam();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, BinaryPages,
    ::testing::Values(
        "true", "false", "null::boolean", "(-32768)::smallint", "32767::smallint",
        "(-2147483648)::integer", "2147483647::integer", "(-9223372036854775808)::bigint",
        "9223372036854775807::bigint", "0::bigint", "null::bigint", "4294967295::oid",
        "0.0::float8", "'-0'::float8", "'NaN'::float8", "'Infinity'::float8",
        "'-Infinity'::float8", "1.7976931348623157e308::float8", "4.9e-324::float8",
        "(1/7.0)::float8", "1e15::float8", "123456789012345::float8", "0.0001::float8",
        "0.00001234::float8", "1e22::float8", "-2.5e-300::float8", "100::float8",
        "'-0'::real", "3.4028235e38::real", "1.4e-45::real", "'NaN'::real", "(1/3.0)::real",
        "100000::real", "1e6::real", "1234567::real", "0.0001::real", "0.00001::real",
        "'0001-01-01 00:00:00'::timestamp", "'0001-01-01 00:00:00.000001'::timestamp",
        "'9999-12-31 23:59:59.999999'::timestamp", "'1969-12-31 23:59:59.999999'::timestamp",
        "'2000-02-29 00:00:00.12'::timestamp", "'0044-03-15 12:00 BC'::timestamp",
        "'4713-11-24 00:00 BC'::timestamp", "'infinity'::timestamp", "'-infinity'::timestamp",
        "'99999-01-01'::timestamp", "'294276-12-31 23:59:59.999999'::timestamp",
        "'2020-06-01 12:00:00.5+05:30:15'::timestamptz", "'0044-03-15 12:00 BC'::timestamptz",
        "'infinity'::timestamptz", "null::timestamp", "'2000-01-01'::date",
        "'1999-12-31'::date", "'0044-03-15 BC'::date", "'4713-11-24 BC'::date",
        "'5874897-12-31'::date", "'infinity'::date", "'-infinity'::date", "'NaN'::numeric",
        "'Infinity'::numeric", "'-Infinity'::numeric", "0::numeric", "'-0.00'::numeric",
        "(repeat('9', 1000) || '.' || repeat('1', 999))::numeric",
        "0.000000000000000000000000000001::numeric", "-12345.678::numeric(12,4)",
        "1e20::numeric", "(-1)::numeric / 3", "0.5::numeric(3,0)", "10000::numeric",
        "''::text", "'a' || chr(8364) || 'b'", "'ab '::char(5)", "'x'::varchar(3)",
        "'pg_class'::name", "null::text"));

// A column of a type without a binary reader keeps every page in text; so does a session whose
// date style is not ISO (its dates reach the reader as ISO text all the same), while a float
// column of the same cursor goes binary.
TEST(BinaryPages, OnlyWhenEveryColumnAllows)
{
    Session s;
    s.run("begin");
    s.run("declare bin cursor for select 1.5::float8, '{1}'::int[] from generate_series(1, 3)");
    Page first, second;
    read_page(s, 7, first);
    read_page(s, 7, second);
    ASSERT_NE(nullptr, second.view.text);  // text: arrays have no binary reader here
    EXPECT_STREQ("1.5", second.view.text);

    s.run("declare bin2 cursor for select 1.5::float8, date '2001-02-03' from generate_series(1, 3)");
    s.run("set datestyle = 'German'");
    Result a, b;
    ZTC_ROWVALUE v[2];
    for (Result *r : {&a, &b}) {
        ASSERT_EQ(1, ZTC_FetchCursorPage(&s.s, "bin2", 8, 1, 0, &r->r, nullptr)) << s.error();
        ASSERT_EQ(0, ZTC_ReadNext(&r->r));
        ASSERT_EQ(0, ZTC_GetRowValues(&r->r, v, 2));
        EXPECT_STREQ("2001-02-03", v[1].text);  // text, rewritten into ISO
    }
    s.run("set datestyle = 'ISO'");
    Result c;
    ASSERT_EQ(1, ZTC_FetchCursorPage(&s.s, "bin2", 8, 1, 0, &c.r, nullptr)) << s.error();
    ASSERT_EQ(0, ZTC_ReadNext(&c.r));
    ASSERT_EQ(0, ZTC_GetRowValues(&c.r, v, 2));
    EXPECT_EQ(nullptr, v[0].text);  // binary now
    EXPECT_EQ(1, v[0].decoded);
    EXPECT_EQ(1, v[1].decoded);
    EXPECT_EQ(11356, v[1].integer);  // 2001-02-03
}
