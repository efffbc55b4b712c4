// Statement execution: parameter markers and their checks, bindings of every type code,
// several statements in one text, statement classes and counts.
#include <cstring>

#include "it_common.h"

using namespace zt_it;

namespace {

int64_t g_rows;
int g_cols, g_affected;

int exec(Session &s, const char *sql, Result &r)
{
    return ZTC_ExecwithDataReader(&s.s, sql, &r.r, &g_cols, &g_rows, &g_affected);
}

void bind_i64(Session &s, int pos, int64_t v)
{
    int len = 8;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, pos, PARAM_INPUT, ZTC_TYPE_BIGINT, &v, 8, &len))
        << s.error();
}

void bind_text(Session &s, int pos, const std::string &v, int type = ZTC_TYPE_VARCHAR)
{
    int len = static_cast<int>(v.size());
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, pos, PARAM_INPUT, type, const_cast<char *>(v.c_str()),
                                    len + 1, &len))
        << s.error();
}

}  // namespace

// Marker count and bound positions must agree.
struct MarkerCase {
    const char *sql;
    std::vector<int> positions;  // bound with an integer
    const char *message;         // nullptr: runs
};

class Markers : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(Markers, CountChecked)
{
    Session s;
    for (int pos : GetParam().positions)
        bind_i64(s, pos, pos);
    std::string got = query_text(s, GetParam().sql);
    if (GetParam().message)
        EXPECT_EQ(std::string("<ERROR> ") + GetParam().message, got);
    else
        EXPECT_TRUE(!got.empty() && got.find_first_not_of("0123456789") == std::string::npos)
            << got;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Markers,
    ::testing::Values(
        MarkerCase{"select ?::int + ?", {1, 2}, nullptr},
        MarkerCase{"select ?::int + ?", {1},
                   "[07001] the statement has 2 parameter markers but 1 parameters are bound"},
        MarkerCase{"select ?::int + ?", {1, 2, 3},
                   "[07001] the statement has 2 parameter markers but 3 parameters are bound"},
        MarkerCase{"select ?::int + ? + ?", {1, 3}, "[07001] parameter 2 is not bound"},
        MarkerCase{"select 1", {1},
                   "[07001] the statement has 0 parameter markers but 1 parameters are bound"},
        MarkerCase{"select ?", {},
                   "[07001] the statement has 1 parameter markers but 0 parameters are bound"},
        // Markers inside literals, identifiers, comments and dollar bodies do not count.
        MarkerCase{"select length('?' || E'\\'?' || $x$?$x$) /* ? */ + ? -- ?\n", {1}, nullptr}));

TEST(Execute, ResetDropsBindingsAndExecutingKeepsThem)
{
    Session s;
    bind_i64(s, 1, 41);
    EXPECT_EQ("42", query_text(s, "select ? + 1"));
    EXPECT_EQ("43", query_text(s, "select ? + 2"));  // still bound
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    EXPECT_EQ("1", query_text(s, "select 1"));
    EXPECT_EQ(0u, query_text(s, "select ?").rfind("<ERROR> [07001]", 0));
}

TEST(Execute, DoubleQuestionMarkIsALiteral)
{
    Session s;
    EXPECT_EQ("t", query_text(s, "select '{\"a\": 1}'::jsonb ?? 'a'"));
    bind_text(s, 1, "b");
    EXPECT_EQ("f", query_text(s, "select '{\"a\": 1}'::jsonb ?? ?"));
}

TEST(Execute, SeveralStatementsKeepEveryResult)
{
    Session s;
    Result r;
    ASSERT_EQ(0, exec(s,
                      "create temp table ms(a int); insert into ms values (1), (2); "
                      "select a from ms order by a; update ms set a = a + 1; ;",
                      r))
        << s.error();
    EXPECT_EQ(0, g_cols);
    EXPECT_EQ(0, g_rows);
    EXPECT_EQ(0, g_affected);
    int type, cols, rows, affected;
    struct Expected { int type, cols, rows, affected; };
    const Expected expected[] = {{3, 0, 0, 0}, {2, 0, 0, 2}, {9, 1, 2, 0}, {2, 0, 0, 2}};
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            ASSERT_EQ(0, ZTC_NextResult(&r.r));
        }
        ASSERT_EQ(0, ZTC_getResultRet(&r.r, &type, &cols, &rows, &affected, nullptr));
        EXPECT_EQ(expected[i].type, type) << i;
        EXPECT_EQ(expected[i].cols, cols) << i;
        EXPECT_EQ(expected[i].rows, rows) << i;
        EXPECT_EQ(expected[i].affected, affected) << i;
        if (type == 9) {
            int got = 0, len = 0;
            ASSERT_EQ(0, ZTC_ReadNext(&r.r));
            ASSERT_EQ(0, ZTC_GetData(&r.r, 1, 5, &got, 4, &len));
            EXPECT_EQ(1, got);
            EXPECT_EQ(0, ZTC_ReadNext(&r.r));
            EXPECT_EQ(100, ZTC_ReadNext(&r.r));
            EXPECT_EQ(100, ZTC_ReadNext(&r.r));
        } else {
            EXPECT_EQ(100, ZTC_ReadNext(&r.r));
        }
    }
    EXPECT_EQ(100, ZTC_NextResult(&r.r));
    EXPECT_EQ(100, ZTC_NextResult(&r.r));

    // A failure anywhere fails the call.
    Result r2;
    EXPECT_EQ(-1, exec(s, "select 1; select * from nope; select 2", r2));
    EXPECT_EQ("[42P01] relation \"nope\" does not exist", s.error());
    EXPECT_EQ(nullptr, r2.r);
}

TEST(Execute, FirstResultCountsAndClasses)
{
    Session s;
    Result r;
    ASSERT_EQ(0, exec(s, "select g, g * 2 from generate_series(1, 5) g", r));
    EXPECT_EQ(2, g_cols);
    EXPECT_EQ(5, g_rows);
    s.run("create temp table cc(a int)");
    Result r2;
    ASSERT_EQ(0, exec(s, "insert into cc select generate_series(1, 3) returning a", r2));
    EXPECT_EQ(1, g_cols);
    EXPECT_EQ(3, g_rows);
    EXPECT_EQ(0, g_affected);
    Result r3;
    ASSERT_EQ(0, exec(s, "delete from cc", r3));
    EXPECT_EQ(3, g_affected);
    EXPECT_EQ(0, g_rows);
    EXPECT_EQ(1, fun_sql_type("insert into cc values (?)"));
    EXPECT_EQ(9, fun_sql_type("select 1"));
    EXPECT_EQ(10, fun_sql_type("select 1; select 2"));
}

TEST(Execute, CopyFromClientRefusedAndSessionUsable)
{
    Session s;
    s.run("create temp table cp(a int)");
    EXPECT_EQ(-1, ZTC_Execute_no_query(&s.s, "copy cp from stdin"));
    EXPECT_NE(std::string::npos, s.error().find("COPY FROM STDIN is not supported")) << s.error();
    EXPECT_EQ(-1, ZTC_Execute_no_query(&s.s, "copy cp to stdout"));
    EXPECT_EQ("1", query_text(s, "select 1"));
}

// Every input type code: the value bound, read back as the server's text.
struct BindCase {
    int type;
    std::string bytes;   // buffer content
    int length;          // length word
    const char *sql;
    const char *expected;
};

class Bind : public ::testing::TestWithParam<BindCase> {};

template <class T>
std::string raw(T v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

TEST_P(Bind, ValueArrives)
{
    Session s;
    s.run("create temp table bt(b boolean, i int, n numeric(10,2), f_int int)");
    s.run("create or replace function pg_temp.takes_int(x integer) returns text "
          "language sql as 'select ''int:'' || x'");
    const BindCase &c = GetParam();
    std::string buf = c.bytes;
    int len = c.length;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUT, c.type,
                                    c.type == 0 ? nullptr : &buf[0],
                                    static_cast<int>(buf.size()), &len))
        << s.error();
    EXPECT_EQ(c.expected, query_text(s, c.sql));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Bind,
    ::testing::Values(
        BindCase{0, "", 0, "select ?::int is null", "t"},
        BindCase{1, std::string(1, '\1'), 1, "select ?", "t"},
        BindCase{1, "F", 1, "select ?", "f"},
        BindCase{3, raw<int32_t>(-5), 1, "select ? + 0", "-5"},
        BindCase{4, raw<int16_t>(-300), 2, "select ? + 0", "-300"},
        // Code 5 fills an integer and a boolean alike.
        BindCase{5, raw<int32_t>(1), 4, "insert into bt(b) values (?) returning b", "t"},
        BindCase{5, raw<int32_t>(-7), 4, "insert into bt(i) values (?) returning i", "-7"},
        // Code 6: the smallest integer type, so a routine taking integer is found.
        BindCase{6, raw<int64_t>(5), 8, "select pg_temp.takes_int(?)", "int:5"},
        BindCase{6, raw<int64_t>(70000), 8, "select pg_temp.takes_int(?)", "int:70000"},
        BindCase{6, raw<int64_t>(5000000000LL), 8, "select ? + 1", "5000000001"},
        BindCase{6, raw<int64_t>(INT64_MIN), 8, "select ?::text", "-9223372036854775808"},
        BindCase{7, raw<float>(1.5f), 4, "select ?", "1.5"},
        BindCase{8, raw<double>(0.1), 8, "select ?", "0.1"},
        BindCase{8, raw<double>(-0.0), 8, "select ?", "-0"},
        BindCase{9, std::string("12.5\0\0\0", 7), 4, "select ?", "12.5"},
        // Untyped text: the server infers the type from the context.
        BindCase{2, "2.5", 3, "insert into bt(n) values (?) returning n", "2.50"},
        BindCase{2, "héllo wörld", 13, "select ? || '!'", "héllo wörld!"},
        // A zero-terminated text whose length word is the whole buffer.
        BindCase{2, std::string("1.5000000000000\0\0\0\0", 19), 19, "select ?::float8", "1.5"},
        BindCase{62, "abc", 3, "select length(?)", "3"},
        BindCase{63, "abc", 2, "select ?::text", "ab"},
        BindCase{41, "clob", 4, "select ?::text", "clob"},
        // Dates with a blank-padded year, zero-terminated inside a longer buffer.
        BindCase{10, std::string("   5-03-07\0", 11), 11, "select ?::text", "0005-03-07"},
        BindCase{10, "2024-02-29", 10, "select ? + 1", "2024-03-01"},
        BindCase{11, std::string("04:05:06.000000\0", 16), 32, "select ?::text", "04:05:06"},
        BindCase{12, "23:59:59.5", 10, "select ?::text", "23:59:59.5"},
        BindCase{13, std::string("2021-03-07 04:05:06.000007\0", 27), 27, "select ?::text",
                 "2021-03-07 04:05:06.000007"},
        BindCase{14, "  99-01-02 03:04:05", 19, "select ?::text", "0099-01-02 03:04:05"},
        BindCase{23, "2000-01-01 00:00:00", 19, "select extract(epoch from ?)::bigint::text",
                 "946684800"},
        // Code 72: an instant, typed timestamp with time zone (also before year 1).
        BindCase{72, raw<int64_t>(0), 8, "select pg_typeof(?)::text", "timestamp with time zone"},
        BindCase{72, raw<int64_t>(-62167219200000000), 8, "select ?::text",
                 "0001-01-01 00:00:00+00 BC"},
        // Binary: every byte, zero included.
        BindCase{15, std::string("a\0b\xff", 4), 4, "select encode(?, 'hex')", "610062ff"},
        BindCase{42, std::string("\0", 1), 1, "select octet_length(?)", "1"},
        BindCase{18, "", 0, "select octet_length(?)", "0"},
        // Refcursor: an empty name is NULL.
        BindCase{58, "", 0, "select ? is null", "t"},
        BindCase{58, "mycur", 5, "select ?::text", "mycur"}));

// An instant is read as the same instant whatever the session's TimeZone.
TEST(Bind, InstantIgnoresTheSessionZone)
{
    Session s;
    s.run("set time zone 'Asia/Kolkata'");
    int64_t us = 1615071906000007;
    int len = 8;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUT, ZTC_TYPE_DATETIME_UTC_US, &us, 8, &len));
    EXPECT_EQ("1615071906.000007", query_text(s, "select extract(epoch from ?)::text"));
}

TEST(Bind, RefusedValues)
{
    Session s;
    char buf[16] = "x";
    int len = 1;
    EXPECT_EQ(-1, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUT, 40, buf, 2, &len));
    EXPECT_EQ("[22023] parameter 1: unsupported parameter type code 40", s.error());
    EXPECT_EQ(-1, ZTC_BindParamByPos(&s.s, 2, PARAM_INPUT, 99, buf, 2, &len));
    EXPECT_EQ(-1, ZTC_BindParamByPos(&s.s, 0, PARAM_INPUT, 2, buf, 2, &len));
    EXPECT_EQ(-1, ZTC_BindParamByPos(&s.s, 1, 4, 2, buf, 2, &len));
    char bad_date[] = "2024-13";
    len = 7;
    EXPECT_EQ(-1, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUT, 10, bad_date, 8, &len));
    EXPECT_EQ(0u, s.error().rfind("[22023] parameter 1: ", 0)) << s.error();
    // The length word never makes the library read past the buffer.
    char short_buf[] = {'a', 'b'};
    len = 1000;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUT, 2, short_buf, 2, &len));
    EXPECT_EQ("ab", query_text(s, "select ?::text"));
}

TEST(Bind, InputCopiedDuringTheCall)
{
    Session s;
    std::string value = "first";
    int len = 5;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUT, 2, &value[0], 6, &len));
    value = "XXXXX";
    len = 0;
    EXPECT_EQ("first", query_text(s, "select ?::text"));
}
