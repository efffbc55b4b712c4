// Results: column type codes and modifiers, names, and ZTC_GetData in every code's encoding.
#include <cmath>
#include <cstring>

#include "it_common.h"

using namespace zt_it;

namespace {

// Runs a one-row query and stands on its row.
void one_row(Session &s, Result &r, const std::string &sql)
{
    int c, a;
    int64_t n;
    ASSERT_EQ(0, ZTC_ExecwithDataReader(&s.s, sql.c_str(), &r.r, &c, &n, &a)) << s.error();
    ASSERT_EQ(0, ZTC_ReadNext(&r.r));
}

template <class T>
T get_fixed(Result &r, int col, int type, int expect_length = sizeof(T))
{
    T v{};
    int len = 0;
    EXPECT_EQ(0, ZTC_GetData(&r.r, col, type, &v, sizeof v, &len));
    EXPECT_EQ(expect_length, len);
    return v;
}

}  // namespace

struct TypeCase {
    const char *expr;
    int code;
    int modifier;
};

class ColumnTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(ColumnTypes, CodeAndModifier)
{
    Session s;
    s.run(std::string("create temp table ct(c ") + GetParam().expr + ")");
    Result r;
    int c, a;
    int64_t n;
    ASSERT_EQ(0, ZTC_ExecwithDataReader(&s.s, "select c from ct", &r.r, &c, &n, &a));
    int code = -5, modifier = -5;
    ASSERT_EQ(0, ZTC_getResultcolType(&r.r, 1, &code));
    ASSERT_EQ(0, ZTC_getResultcolmodi(&r.r, 1, &modifier));
    EXPECT_EQ(GetParam().code, code) << GetParam().expr;
    EXPECT_EQ(GetParam().modifier, modifier) << GetParam().expr;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ColumnTypes,
    ::testing::Values(
        TypeCase{"boolean", 1, 1}, TypeCase{"smallint", 4, 2}, TypeCase{"integer", 5, 4},
        TypeCase{"bigint", 6, 8}, TypeCase{"oid", 6, 8}, TypeCase{"real", 7, 4},
        TypeCase{"double precision", 8, 8}, TypeCase{"numeric(12,2)", 9, (12 << 16) | 2},
        TypeCase{"numeric", 9, -1}, TypeCase{"varchar(10)", 2, 10}, TypeCase{"varchar", 2, -1},
        TypeCase{"char(5)", 62, 5}, TypeCase{"text", 2, -1}, TypeCase{"name", 2, 63},
        TypeCase{"date", 10, 10}, TypeCase{"time", 12, 15},
        TypeCase{"time with time zone", 12, 21}, TypeCase{"time(0)", 12, 8},
        TypeCase{"time(3)", 12, 12}, TypeCase{"timestamp", 23, 26},
        TypeCase{"timestamp with time zone", 23, 26}, TypeCase{"timestamp(3)", 23, 23},
        TypeCase{"interval year to month", 28, 4}, TypeCase{"interval year", 28, 4},
        TypeCase{"interval month", 28, 4}, TypeCase{"interval", 31, 8},
        TypeCase{"interval day to second", 31, 8}, TypeCase{"interval(3)", 31, 8},
        TypeCase{"bytea", 42, -1}, TypeCase{"refcursor", 58, -1}, TypeCase{"jsonb", 2, -1},
        TypeCase{"uuid", 2, -1}, TypeCase{"int[]", 2, -1}));

TEST(GetData, FixedSizeCodes)
{
    Session s;
    Result r;
    one_row(s, r,
            "select true, false, (-32768)::smallint, (-2147483648)::int, "
            "(-9223372036854775807 - 1)::bigint, 1.5::real, (-0.1)::float8, "
            "'infinity'::float8, 'NaN'::float8, '1e-310'::float8");
    EXPECT_EQ('T', get_fixed<char>(r, 1, 1));
    EXPECT_EQ('F', get_fixed<char>(r, 2, 1));
    EXPECT_EQ(-32768, get_fixed<int16_t>(r, 3, 4));
    EXPECT_EQ(INT32_MIN, get_fixed<int32_t>(r, 4, 5));
    EXPECT_EQ(INT64_MIN, get_fixed<int64_t>(r, 5, 6));
    EXPECT_EQ(1.5f, get_fixed<float>(r, 6, 7));
    EXPECT_EQ(-0.1, get_fixed<double>(r, 7, 8));
    EXPECT_TRUE(std::isinf(get_fixed<double>(r, 8, 8)));
    EXPECT_TRUE(std::isnan(get_fixed<double>(r, 9, 8)));
    EXPECT_EQ(1e-310, get_fixed<double>(r, 10, 8));
    // A buffer too small for the code is refused, not overrun.
    int16_t small;
    int len;
    EXPECT_EQ(-1, ZTC_GetData(&r.r, 5, 6, &small, 2, &len));
    EXPECT_EQ(0u, s.error().rfind("[22023] ", 0)) << s.error();
}

TEST(GetData, TimestampsAsMilliseconds)
{
    Session s;
    Result r;
    one_row(s, r,
            "select '1970-01-01 00:00:00'::timestamp, '1969-12-31 23:59:59.9995'::timestamp, "
            "'2000-01-01 00:00:00+02'::timestamptz, '9999-12-31 23:59:59.999'::timestamp, "
            "'0001-01-01 00:00:00'::timestamp, 'infinity'::timestamp, "
            "'-infinity'::timestamptz, now()::timestamp(0)");
    EXPECT_EQ(0, get_fixed<int64_t>(r, 1, 23));
    EXPECT_EQ(-1, get_fixed<int64_t>(r, 2, 23));  // floor of the microseconds
    EXPECT_EQ(946677600000LL, get_fixed<int64_t>(r, 3, 23));
    EXPECT_EQ(253402300799999LL, get_fixed<int64_t>(r, 4, 23));
    EXPECT_EQ(-62135596800000LL, get_fixed<int64_t>(r, 5, 23));
    EXPECT_EQ(0, get_fixed<int64_t>(r, 6, 23, -1));  // infinity reads as NULL
    EXPECT_EQ(0, get_fixed<int64_t>(r, 7, 23, -1));
    EXPECT_GT(get_fixed<int64_t>(r, 8, 23), 1700000000000LL);
}

TEST(GetData, Intervals)
{
    Session s;
    Result r;
    one_row(s, r,
            "select '1 year 2 mons'::interval year to month, '-1 year -2 mons'::interval year "
            "to month, '1 day 01:01:01.000001'::interval, '-1 day -01:01:01.000001'::interval, "
            "'1 mon'::interval, '0'::interval");
    EXPECT_EQ(14, get_fixed<int32_t>(r, 1, 28));
    EXPECT_EQ(-14, get_fixed<int32_t>(r, 2, 28));
    EXPECT_EQ(90061000001LL, get_fixed<int64_t>(r, 3, 31));
    EXPECT_EQ(-90061000001LL, get_fixed<int64_t>(r, 4, 31));
    EXPECT_EQ(30LL * 86400 * 1000000, get_fixed<int64_t>(r, 5, 31));
    EXPECT_EQ(0, get_fixed<int64_t>(r, 6, 31));
}

TEST(GetData, TextsCutAtCharacterBoundaryWithFullLength)
{
    Session s;
    Result r;
    one_row(s, r,
            "select 'aéb'::text, 'plain'::varchar(10), 'ab'::char(4), ''::text, "
            "null::text, '2024-01-05'::date, '04:05:06.5+02'::timetz, 'x'::name, "
            "'{1,2}'::int[], 'cur'::refcursor");
    char buf[16];
    int len = 0;
    // Capacity 2 would cut é in half: only "a" is written, zero-terminated; full length 4.
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(0, ZTC_GetData(&r.r, 1, 2, buf, 2, &len));
    EXPECT_EQ(4, len);
    EXPECT_STREQ("a", buf);
    // Exactly the capacity: all bytes, no room for the terminator.
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(0, ZTC_GetData(&r.r, 1, 2, buf, 4, &len));
    EXPECT_EQ(4, len);
    EXPECT_EQ(0, std::memcmp(buf, "a\xc3\xa9" "b#", 5));
    ASSERT_EQ(0, ZTC_GetData(&r.r, 1, 2, buf, 16, &len));
    EXPECT_STREQ("aéb", buf);

    struct { int col, code; const char *text; int len; } cases[] = {
        {2, 2, "plain", 5}, {3, 62, "ab  ", 4}, {4, 2, "", 0}, {6, 10, "2024-01-05", 10},
        {7, 12, "04:05:06.5+02", 13}, {8, 2, "x", 1}, {9, 2, "{1,2}", 5}, {10, 58, "cur", 3}};
    for (auto &c : cases) {
        std::memset(buf, '#', sizeof buf);
        ASSERT_EQ(0, ZTC_GetData(&r.r, c.col, c.code, buf, 16, &len)) << c.col;
        EXPECT_EQ(c.len, len) << c.col;
        EXPECT_STREQ(c.text, buf) << c.col;
    }
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(0, ZTC_GetData(&r.r, 5, 2, buf, 16, &len));
    EXPECT_EQ(-1, len);
    EXPECT_EQ('#', buf[0]);  // NULL writes nothing
}

TEST(GetData, NumericNeverCut)
{
    Session s;
    Result r;
    one_row(s, r,
            "select 12.50::numeric(12,2), 123456789012345678901234567890123456789012345678.9::numeric, "
            "'NaN'::numeric");
    char buf[64];
    int len = 0;
    ASSERT_EQ(0, ZTC_GetData(&r.r, 1, 9, buf, 40, &len));
    EXPECT_STREQ("12.50", buf);
    EXPECT_EQ(5, len);
    ASSERT_EQ(0, ZTC_GetData(&r.r, 2, 9, buf, 40, &len));
    EXPECT_LE(len, 39);
    EXPECT_EQ(len, static_cast<int>(std::strlen(buf)));
    EXPECT_DOUBLE_EQ(1.2345678901234568e47, std::strtod(buf, nullptr)) << buf;
    ASSERT_EQ(0, ZTC_GetData(&r.r, 3, 9, buf, 40, &len));
    EXPECT_STREQ("NaN", buf);
}

TEST(GetData, BinaryThroughLargeObjects)
{
    Session s;
    Result r;
    one_row(s, r, "select '\\x00ff10'::bytea, ''::bytea, null::bytea, repeat('é', 3)");
    ZTC_HANDLE lob = nullptr;
    ASSERT_EQ(0, ZTC_Create_Lob(&lob));
    int len = 0;
    ASSERT_EQ(0, ZTC_GetData(&r.r, 1, 42, &lob, 8, &len));
    EXPECT_EQ(3, len);
    unsigned char out[8] = {0};
    EXPECT_EQ(3, ZTC_Get_Lob_data(&lob, out, 8));
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(0xff, out[1]);
    EXPECT_EQ(0x10, out[2]);
    EXPECT_EQ(2, ZTC_Get_Lob_data(&lob, out, 2));
    ASSERT_EQ(0, ZTC_GetData(&r.r, 2, 42, &lob, 8, &len));
    EXPECT_EQ(0, len);
    ASSERT_EQ(0, ZTC_GetData(&r.r, 3, 42, &lob, 8, &len));
    EXPECT_EQ(-1, len);
    EXPECT_EQ(0, ZTC_Get_Lob_data(&lob, out, 8));
    // A text column read as a character large object.
    ASSERT_EQ(0, ZTC_GetData(&r.r, 4, 41, &lob, 8, &len));
    EXPECT_EQ(6, len);
    EXPECT_EQ(0, ZTC_Distroy_Lob(&lob));
    EXPECT_EQ(nullptr, lob);
    // Without a large object handle the request fails cleanly.
    ZTC_HANDLE none = nullptr;
    EXPECT_EQ(-1, ZTC_GetData(&r.r, 1, 42, &none, 8, &len));
}

TEST(Results, ColumnNamesAndLookups)
{
    Session s;
    Result r;
    one_row(s, r, "select 1 as \"Alpha\", 2 as alpha, 3 as \"Ünï\", 4 as beta");
    char name[256];
    ASSERT_EQ(0, ZTC_getResultcolname(&r.r, 3, name));
    EXPECT_STREQ("Ünï", name);
    EXPECT_EQ(-1, ZTC_getResultcolname(&r.r, 5, name));
    EXPECT_EQ(-1, ZTC_getResultcolname(&r.r, 0, name));
    EXPECT_EQ(2, ZTC_getResultcolseq(&r.r, "alpha"));  // exact match first
    EXPECT_EQ(1, ZTC_getResultcolseq(&r.r, "Alpha"));
    EXPECT_EQ(4, ZTC_getResultcolseq(&r.r, "BETA"));   // then ignoring case
    EXPECT_EQ(0, ZTC_getResultcolseq(&r.r, "gamma"));
    int count = 0;
    ASSERT_EQ(0, ZTC_getResultColumnsnum(&r.r, &count));
    EXPECT_EQ(4, count);
    int v, len;
    EXPECT_EQ(-1, ZTC_GetData(&r.r, 9, 5, &v, 4, &len));
    EXPECT_EQ(100, ZTC_ReadNext(&r.r));
    EXPECT_EQ(-1, ZTC_GetData(&r.r, 1, 5, &v, 4, &len));  // no current row
    EXPECT_EQ("[HY000] no current row", s.error());
}

TEST(Results, OutliveTheirSession)
{
    ZTC_HANDLE r = nullptr;
    {
        Session s;
        Result tmp;
        int c, a;
        int64_t n;
        ASSERT_EQ(0, ZTC_ExecwithDataReader(&s.s, "select 7", &tmp.r, &c, &n, &a));
        r = tmp.r;
        tmp.r = nullptr;
    }
    int v = 0, len = 0;
    ASSERT_EQ(0, ZTC_ReadNext(&r));
    ASSERT_EQ(0, ZTC_GetData(&r, 1, 5, &v, 4, &len));
    EXPECT_EQ(7, v);
    EXPECT_EQ(-1, ZTC_GetData(&r, 2, 5, &v, 4, &len));
    EXPECT_EQ(0, ZTC_FreeRowset(&r));
}
