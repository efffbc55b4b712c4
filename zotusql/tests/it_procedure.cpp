// Procedure and function calls: output and in-out positions of every type written in their
// code's encoding, NULL outputs, function return values, the fallback from CALL to SELECT for a
// function, buffers never written past their length, and names refused before the server.
#include <cstring>

#include "it_common.h"

using namespace zt_it;

namespace {

// A parameter buffer as the driver keeps one: heap block, length passed, length word.
struct Param {
    std::vector<char> buf;
    int buflen = 0;
    int length = 0;

    template <class T>
    static Param fixed(T v, int buflen, size_t heap = 8)
    {
        Param p;
        p.buf.assign(heap + 8, '\0');
        std::memcpy(p.buf.data(), &v, sizeof v);
        p.buflen = buflen;
        p.length = buflen;
        return p;
    }
    static Param text(const std::string &v, int buflen)
    {
        Param p;
        p.buf.assign(static_cast<size_t>(buflen) + 8, '\0');
        std::memcpy(p.buf.data(), v.data(), v.size());
        p.buflen = buflen;
        p.length = static_cast<int>(v.size());
        return p;
    }
    // The buffer's text up to the length word.
    std::string str() const { return std::string(buf.data(), static_cast<size_t>(length)); }
    template <class T>
    T as() const
    {
        T v;
        std::memcpy(&v, buf.data(), sizeof v);
        return v;
    }
};

void bind(Session &s, int pos, int direction, int type, Param &p)
{
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, pos, direction, type, p.buf.data(), p.buflen,
                                    &p.length))
        << s.error();
}

int call(Session &s, const char *text)
{
    return ZTC_Execute_procesure(&s.s, text, nullptr);
}

void create_routines(Session &s)
{
    s.run(R"(create or replace procedure p_all(
               a int, inout i int, inout b bigint, inout d double precision, inout n numeric,
               inout s varchar, inout dt date, inout ts timestamp, inout bo boolean,
               inout byt bytea, out o int)
             language plpgsql as $$
             begin
               i := i + a; b := b * 2; d := d / 4; n := n + 0.5; s := s || '!';
               dt := dt + 1; ts := ts + interval '1 hour'; bo := not bo;
               byt := byt || '\x00ff'::bytea; o := a * 10;
             end $$)");
    s.run(R"(create or replace procedure p_null(inout x int, out y text, out z date)
             language plpgsql as $$ begin x := null; y := null; z := null; end $$)");
    s.run(R"(create or replace procedure p_long(out t text)
             language plpgsql as $$ begin t := 'abcdefghij'; end $$)");
    s.run(R"(create or replace procedure p_fail(a int)
             language plpgsql as $$ begin raise exception 'refused %', a; end $$)");
    s.run("create or replace procedure p_echo(a bigint, out v bigint) "
          "language plpgsql as 'begin v := a; end'");
    s.run("create or replace function f_add(a int, b int) returns int "
          "language sql as 'select a + b'");
    s.run("create or replace function f_bool() returns boolean language sql as 'select true'");
    s.run("create or replace function f_null() returns text language sql as 'select null::text'");
    s.run("create or replace function f_text(n int) returns text "
          "language sql as $$select repeat('é', n)$$");
    s.run("create or replace function f_out(a int, out x int, out y text) "
          "language sql as $$select a * 2, 'v' || a$$");
}

}  // namespace

// Every in-out type comes back changed in its code's encoding; the pure output too.
TEST(Procedure, OutputsOfEveryType)
{
    Session s;
    create_routines(s);
    Param a = Param::fixed<int64_t>(3, 8);
    Param i = Param::fixed<int32_t>(10, 4);
    Param b = Param::fixed<int64_t>(int64_t(1) << 40, 8);
    Param d = Param::fixed<double>(1.0, 8);
    Param n = Param::text("1.25", 64);
    Param str = Param::text("abc", 21);
    Param dt = Param::text("2024-02-28", 11);
    dt.length = 10;
    Param ts = Param::text("2024-01-05 07:08:09.000123", 64);
    Param bo = Param::fixed<int32_t>(1, 1);
    Param by = Param::text("ab", 21);
    Param o = Param::fixed<int32_t>(0, 4);
    bind(s, 1, PARAM_INPUT, ZTC_TYPE_BIGINT, a);
    bind(s, 2, PARAM_INPUTOUTPUT, ZTC_TYPE_INTEGER, i);
    bind(s, 3, PARAM_INPUTOUTPUT, ZTC_TYPE_BIGINT, b);
    bind(s, 4, PARAM_INPUTOUTPUT, ZTC_TYPE_DOUBLE, d);
    bind(s, 5, PARAM_INPUTOUTPUT, ZTC_TYPE_NUMERIC, n);
    bind(s, 6, PARAM_INPUTOUTPUT, ZTC_TYPE_VARCHAR, str);
    bind(s, 7, PARAM_INPUTOUTPUT, ZTC_TYPE_DATE, dt);
    bind(s, 8, PARAM_INPUTOUTPUT, ZTC_TYPE_DATETIME, ts);
    bind(s, 9, PARAM_INPUTOUTPUT, ZTC_TYPE_BOOLEAN, bo);
    bind(s, 10, PARAM_INPUTOUTPUT, ZTC_TYPE_BINARY, by);
    bind(s, 11, PARAM_OUTPUT, ZTC_TYPE_INTEGER, o);
    ASSERT_EQ(0, call(s, "execute p_all(?,?,?,?,?,?,?,?,?,?,?);")) << s.error();

    EXPECT_EQ(8, a.length);  // inputs are left alone
    EXPECT_EQ(3, a.as<int64_t>());
    EXPECT_EQ(4, i.length);
    EXPECT_EQ(13, i.as<int32_t>());
    EXPECT_EQ(8, b.length);
    EXPECT_EQ(int64_t(1) << 41, b.as<int64_t>());
    EXPECT_EQ(0.25, d.as<double>());
    EXPECT_EQ("1.75", n.str());
    EXPECT_EQ("abc!", str.str());
    EXPECT_EQ("2024-02-29", dt.str());
    EXPECT_EQ('\0', dt.buf[10]);
    EXPECT_EQ("2024-01-05 08:08:09.000123", ts.str());
    // A boolean is the character F, in the one byte the buffer length allows.
    EXPECT_EQ(1, bo.length);
    EXPECT_EQ(int32_t('F'), bo.as<int32_t>());
    EXPECT_EQ(std::string("ab\0\xff", 4), by.str());  // the bytes, not bytea's text
    EXPECT_EQ('\0', by.buf[static_cast<size_t>(by.length)]);
    EXPECT_EQ(30, o.as<int32_t>());
    EXPECT_EQ(4, o.length);
}

// NULL outputs report length 0 and leave the buffer alone; a text is cut to the buffer, at a
// zero byte that stays inside it, reports its full length, and is kept whole for
// ZTC_GetOutputData until the next call or reset.
TEST(Procedure, NullOutputsAndCutText)
{
    Session s;
    create_routines(s);
    Param x = Param::fixed<int32_t>(5, 4);
    Param y = Param::text("keep", 21);
    Param z = Param::text("", 11);
    bind(s, 1, PARAM_INPUTOUTPUT, ZTC_TYPE_INTEGER, x);
    bind(s, 2, PARAM_OUTPUT, ZTC_TYPE_VARCHAR, y);
    bind(s, 3, PARAM_OUTPUT, ZTC_TYPE_DATE, z);
    ASSERT_EQ(0, call(s, "execute p_null(?,?,?);")) << s.error();
    EXPECT_EQ(0, x.length);
    EXPECT_EQ(0, y.length);
    EXPECT_EQ(0, z.length);
    EXPECT_EQ("keep", std::string(y.buf.data()));

    ASSERT_EQ(0, ZTC_Reset(&s.s));
    Param t = Param::text("", 5);
    std::memset(t.buf.data(), '#', t.buf.size());
    bind(s, 1, PARAM_OUTPUT, ZTC_TYPE_VARCHAR, t);
    ASSERT_EQ(0, call(s, "execute p_long(?);")) << s.error();
    EXPECT_EQ(10, t.length);
    EXPECT_EQ(std::string("abcd\0###", 8), std::string(t.buf.data(), 8));
    std::vector<char> whole(12, '#');
    int length = 0;
    ASSERT_EQ(0, ZTC_GetOutputData(&s.s, 1, whole.data(), 11, &length)) << s.error();
    EXPECT_EQ(10, length);
    EXPECT_EQ(std::string("abcdefghij\0#", 12), std::string(whole.data(), 12));
    EXPECT_EQ(-1, ZTC_GetOutputData(&s.s, 2, whole.data(), 11, &length));
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    EXPECT_EQ(-1, ZTC_GetOutputData(&s.s, 1, whole.data(), 11, &length));
}

// An integer output is written in as many bytes as the buffer length allows, and a value that
// does not fit them is refused rather than cut.
TEST(Procedure, IntegerOutputFitsItsBuffer)
{
    Session s;
    create_routines(s);
    struct Case { int type, buflen; int64_t value; int length; };
    for (const Case &c : {Case{ZTC_TYPE_TINYINT, 1, 100, 1}, Case{ZTC_TYPE_TINYINT, 1, 300, -1},
                          Case{ZTC_TYPE_TINYINT, 4, 300, 4}, Case{ZTC_TYPE_SMALLINT, 2, -7, 2},
                          Case{ZTC_TYPE_SMALLINT, 2, 40000, -1},
                          Case{ZTC_TYPE_INTEGER, 4, int64_t(1) << 31, -1},
                          Case{ZTC_TYPE_BIGINT, 8, int64_t(1) << 62, 8}}) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(0, ZTC_Reset(&s.s));
        Param a = Param::fixed<int64_t>(c.value, 8);
        Param v = Param::fixed<int64_t>(0, c.buflen);
        bind(s, 1, PARAM_INPUT, ZTC_TYPE_BIGINT, a);
        bind(s, 2, PARAM_OUTPUT, c.type, v);
        if (c.length < 0) {
            EXPECT_EQ(-1, call(s, "execute p_echo(?,?);"));
            EXPECT_EQ(0u, s.error().rfind("[22003] output parameter 2:", 0)) << s.error();
            continue;
        }
        ASSERT_EQ(0, call(s, "execute p_echo(?,?);")) << s.error();
        EXPECT_EQ(c.length, v.length);
        int64_t got = c.length == 8   ? v.as<int64_t>()
                      : c.length == 4 ? v.as<int32_t>()
                      : c.length == 2 ? v.as<int16_t>()
                                      : v.as<int8_t>();
        EXPECT_EQ(c.value, got);
        EXPECT_EQ(std::string(8 - c.length, '\0'),
                  std::string(v.buf.data() + c.length, 8 - c.length));  // nothing past it
    }
}

// A function's value comes back as text in the return-value binding after the last marker.
struct ReturnCase {
    const char *name;
    const char *text;
    std::vector<int64_t> args;
    int buflen;
    std::string expected;   // empty with length 0: NULL
    std::string whole;      // the whole value, when the buffer cut it
};

void PrintTo(const ReturnCase &c, std::ostream *os) { *os << c.name; }

class ProcedureReturn : public ::testing::TestWithParam<ReturnCase> {};

TEST_P(ProcedureReturn, WrittenAsText)
{
    Session s;
    create_routines(s);
    std::vector<Param> args;
    for (int64_t v : GetParam().args)
        args.push_back(Param::fixed<int64_t>(v, 8));
    for (size_t i = 0; i < args.size(); ++i)
        bind(s, static_cast<int>(i) + 1, PARAM_INPUT, ZTC_TYPE_BIGINT, args[i]);
    Param ret = Param::text("", GetParam().buflen);
    std::memset(ret.buf.data(), '#', ret.buf.size());
    ret.length = GetParam().buflen;
    bind(s, static_cast<int>(args.size()) + 1, PARAM_RETURNVALUE, ZTC_TYPE_VARCHAR, ret);
    ASSERT_EQ(0, call(s, GetParam().text)) << s.error();
    const std::string &whole = GetParam().whole.empty() ? GetParam().expected : GetParam().whole;
    EXPECT_EQ(static_cast<int>(whole.size()), ret.length);
    if (ret.length > 0) {
        EXPECT_EQ(GetParam().expected, std::string(ret.buf.data()));
    }
    EXPECT_EQ('#', ret.buf[static_cast<size_t>(GetParam().buflen)]);  // nothing past the buffer
    std::vector<char> again(whole.size() + 1);
    int length = 0;
    int pos = static_cast<int>(args.size()) + 1;
    if (GetParam().whole.empty()) {
        EXPECT_EQ(-1, ZTC_GetOutputData(&s.s, pos, again.data(), ret.length + 1, &length));
    } else {
        ASSERT_EQ(0, ZTC_GetOutputData(&s.s, pos, again.data(), ret.length + 1, &length));
        EXPECT_EQ(whole, std::string(again.data()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcedureReturn,
    ::testing::Values(ReturnCase{"Integer", "execute f_add(?,?);", {2, 3}, 65536, "5", ""},
                      ReturnCase{"Boolean", "execute f_bool", {}, 65536, "T", ""},
                      ReturnCase{"Null", "EXECUTE f_null", {}, 65536, "", ""},
                      ReturnCase{"CutAtCharacter", "execute f_text(?);", {5}, 4, "é",
                                 "ééééé"},
                      ReturnCase{"CutToBuffer", "execute f_text(?);", {5}, 10, "éééé", "ééééé"},
                      ReturnCase{"QualifiedName", "execute public.\"f_add\"(?,?);", {40, 2},
                                 3, "42", ""}),
    [](const auto &info) { return std::string(info.param.name); });

// CALL of a function falls back to SELECT * FROM with the inputs; inside a transaction the
// refused CALL does not abort it.
TEST(Procedure, FunctionCalledAsProcedureFallsBack)
{
    Session s;
    create_routines(s);
    s.run("drop table if exists pr_keep");
    s.run("create table pr_keep (v int)");
    for (bool autocommit : {true, false}) {
        SCOPED_TRACE(autocommit);
        s.run(autocommit ? "set auto commit on" : "set auto commit off");
        s.run("insert into pr_keep values (1)");
        Param a = Param::fixed<int64_t>(21, 8);
        Param x = Param::fixed<int32_t>(0, 4);
        Param y = Param::text("", 21);
        bind(s, 1, PARAM_INPUT, ZTC_TYPE_BIGINT, a);
        bind(s, 2, PARAM_OUTPUT, ZTC_TYPE_INTEGER, x);
        bind(s, 3, PARAM_OUTPUT, ZTC_TYPE_VARCHAR, y);
        ASSERT_EQ(0, call(s, "execute f_out(?,?,?);")) << s.error();
        EXPECT_EQ(42, x.as<int32_t>());
        EXPECT_EQ("v21", y.str());
        ASSERT_EQ(0, ZTC_Reset(&s.s));
        s.run("insert into pr_keep values (2)");
        s.run("commit");
    }
    s.run("set auto commit on");
    EXPECT_EQ("4", query_text(s, "select count(*) from pr_keep"));
}

// A failing procedure reports the server's message; the session goes on.
TEST(Procedure, FailureReported)
{
    Session s;
    create_routines(s);
    Param a = Param::fixed<int64_t>(7, 8);
    bind(s, 1, PARAM_INPUT, ZTC_TYPE_BIGINT, a);
    EXPECT_EQ(-1, call(s, "execute p_fail(?);"));
    EXPECT_EQ("[P0001] refused 7", s.error());
    EXPECT_EQ(-1, call(s, "execute nope_proc(?);"));
    EXPECT_EQ(0u, s.error().rfind("[42883] procedure nope_proc(", 0)) << s.error();
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    EXPECT_EQ("1", query_text(s, "select 1"));
}

// Names and texts that are not a plain call are refused before the server is contacted.
class ProcedureName : public ::testing::TestWithParam<const char *> {};

TEST_P(ProcedureName, Refused)
{
    Session s;
    EXPECT_EQ(-1, call(s, GetParam()));
    EXPECT_EQ(0u, s.error().rfind("[42601] ", 0)) << s.error();
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcedureName,
                         ::testing::Values("execute p(); drop table x", "execute 1p",
                                           "execute p;drop table x", "execute a.b.c.d e",
                                           "select 1", "execute \"p", ""));

TEST(Procedure, MissingBindingRefused)
{
    Session s;
    EXPECT_EQ(-1, call(s, "execute f_add(?,?);"));
    EXPECT_EQ("[07001] the statement has 2 parameter markers but 0 parameters are bound",
              s.error());
    ZTC_HANDLE empty = nullptr;
    EXPECT_EQ(-1, ZTC_Execute_procesure(&empty, "execute f_bool", nullptr));
}

// The row a call took its outputs from is handed out once as a result of the server's types: a
// procedure's outputs in order (NULL and empty apart, microseconds kept), a function's value.
TEST(Procedure, OutputRowset)
{
    Session s;
    create_routines(s);
    s.run("create or replace procedure p_row(inout t text, out ts timestamp, out n text) "
          "language plpgsql as $$ begin t := ''; ts := '2024-01-05 07:08:09.000123'; "
          "n := null; end $$");
    struct Case { const char *sql; int outputs; std::vector<std::string> texts; };
    for (const Case &c : {Case{"execute p_row(?,?,?);", 3,
                               {"", "2024-01-05 07:08:09.000123", "<null>"}},
                          Case{"execute f_add(?,?);", 0, {"5"}},
                          Case{"execute p_fail(?);", 0, {}}}) {
        SCOPED_TRACE(c.sql);
        ASSERT_EQ(0, ZTC_Reset(&s.s));
        std::vector<Param> params;
        params.reserve(4);
        int markers = c.outputs ? c.outputs : (std::strchr(c.sql, ',') ? 2 : 1);
        for (int pos = 1; pos <= markers; ++pos) {
            params.push_back(c.outputs ? Param::text("x", 21) : Param::fixed<int32_t>(pos + 1, 4));
            bind(s, pos, !c.outputs ? PARAM_INPUT : pos == 1 ? PARAM_INPUTOUTPUT : PARAM_OUTPUT,
                 c.outputs ? ZTC_TYPE_VARCHAR : ZTC_TYPE_INTEGER, params.back());
        }
        if (!c.outputs) {
            params.push_back(Param::text("", 21));
            bind(s, markers + 1, PARAM_RETURNVALUE, ZTC_TYPE_VARCHAR, params.back());
        }
        ZTC_HANDLE r = nullptr;
        if (c.texts.empty()) {
            EXPECT_EQ(-1, call(s, c.sql));
            EXPECT_EQ(-1, ZTC_GetOutputRowset(&s.s, &r));
            continue;
        }
        ASSERT_EQ(0, call(s, c.sql)) << s.error();
        ASSERT_EQ(0, ZTC_GetOutputRowset(&s.s, &r)) << s.error();
        EXPECT_EQ(-1, ZTC_GetOutputRowset(&s.s, &r));  // handed out once
        int columns = 0;
        ZTC_getResultColumnsnum(&r, &columns);
        ASSERT_EQ(static_cast<int>(c.texts.size()), columns);
        ASSERT_EQ(0, ZTC_ReadNext(&r));
        for (int col = 1; col <= columns; ++col) {
            char text[64] = {0};
            int length = 0;
            ASSERT_EQ(0, ZTC_GetData(&r, col, ZTC_TYPE_VARCHAR, text, sizeof text, &length));
            EXPECT_EQ(c.texts[col - 1], length < 0 ? "<null>" : std::string(text, length));
        }
        EXPECT_EQ(ZTC_NO_MORE, ZTC_ReadNext(&r));
        ZTC_FreeRowset(&r);
    }
}
