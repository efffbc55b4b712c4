// SQL-text analysis: marker rewriting around literals, identifiers, comments and
// dollar quotes; statement classes; control texts; plain INSERT recognition; procedure
// names and texts.
#include "sqltext.h"

#include <gtest/gtest.h>

namespace {

TEST(RewriteMarkers, Table)
{
    static const struct {
        const char *in;
        const char *out;
        int markers;
    } cases[] = {
        {"select 1", "select 1", 0},
        {"", "", 0},
        {"select ?, ?", "select $1, $2", 2},
        {"insert into t values(?,?,?)", "insert into t values($1,$2,$3)", 3},
        {"select x from t where a=?and b=?", "select x from t where a=$1and b=$2", 2},
        // string literals, '' escapes, and standard strings where a backslash is plain
        {"select '?', ?", "select '?', $1", 1},
        {"select 'it''s ?', ?", "select 'it''s ?', $1", 1},
        {"select 'a\\', ?", "select 'a\\', $1", 1},
        {"select note'\\', ?", "select note'\\', $1", 1},
        {"select B'1?', X'?'", "select B'1?', X'?'", 0},
        {"select U&'?\\0041', ?", "select U&'?\\0041', $1", 1},
        // escape strings: \' and \\ inside, '' too
        {"select E'\\'?', ?", "select E'\\'?', $1", 1},
        {"select e'a\\\\', ?", "select e'a\\\\', $1", 1},
        {"select E'x''?', ?", "select E'x''?', $1", 1},
        {"select E'\\\\\\'?', ?", "select E'\\\\\\'?', $1", 1},
        // quoted identifiers
        {"select \"a?\" from t where x = ?", "select \"a?\" from t where x = $1", 1},
        {"select \"a\"\"?\" , ?", "select \"a\"\"?\" , $1", 1},
        {"select \"it's\", ?", "select \"it's\", $1", 1},
        // comments
        {"select ? -- ?\n, ?", "select $1 -- ?\n, $2", 2},
        {"select ? -- '?", "select $1 -- '?", 1},
        {"select /* ? */ ?", "select /* ? */ $1", 1},
        {"select /* a /* ? */ ? */ ?", "select /* a /* ? */ ? */ $1", 1},
        {"select /* ' */ ?", "select /* ' */ $1", 1},
        {"select 1 - ?", "select 1 - $1", 1},
        {"select 4/?", "select 4/$1", 1},
        // dollar quotes, with and without tags; $n and identifiers with $ are not quotes
        {"select $$?$$, ?", "select $$?$$, $1", 1},
        {"select $fn$ ? $x$ ? $fn$, ?", "select $fn$ ? $x$ ? $fn$, $1", 1},
        {"select $a$ ' $a$, ?", "select $a$ ' $a$, $1", 1},
        {"select a$b$, ?", "select a$b$, $1", 1},
        {"select $1, ?", "select $1, $1", 1},
        // ?? is a literal question mark (json operators)
        {"select '{}'::jsonb ?? 'a', ?", "select '{}'::jsonb ? 'a', $1", 1},
        {"select j ??| array['a'], j ??& array['b']", "select j ?| array['a'], j ?& array['b']", 0},
        {"select ???", "select ?$1", 1},
        {"select ????", "select ??", 0},
        // unterminated constructs swallow the rest
        {"select '?", "select '?", 0},
        {"select /* ?", "select /* ?", 0},
        {"select $q$ ?", "select $q$ ?", 0},
        {"select \"?", "select \"?", 0},
        {"select E'\\", "select E'\\", 0},
        {"select ?,?,?,?,?,?,?,?,?,?,?", "select $1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11", 11},
        {"select 'é?', ?", "select 'é?', $1", 1},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.in);
        std::string out = "stale";
        EXPECT_EQ(zt::rewrite_markers(k.in, out), k.markers);
        EXPECT_EQ(out, k.out);
    }
}

TEST(RewriteMarkers, NullText)
{
    std::string out = "stale";
    EXPECT_EQ(zt::rewrite_markers(nullptr, out), 0);
    EXPECT_EQ(out, "");
}

TEST(ClassifyStatement, Table)
{
    static const struct {
        const char *sql;
        int cls;
    } cases[] = {
        // one-row INSERT
        {"INSERT INTO t VALUES (1)", 1},
        {"insert into t (a, b) values (?, ?)", 1},
        {"Insert Into s.t Values(?);", 1},
        {"insert into t values (case when true then 1 end, (select 2))", 1},
        {"INSERT INTO t DEFAULT VALUES", 1},
        {"with x as (select 1) insert into t values (1)", 1},
        // other data-changing statements
        {"insert into t values (1), (2)", 2},
        {"insert into t values (1),(2);", 2},
        {"insert into t select * from u", 2},
        {"insert into t (a) select 1", 2},
        {"insert into t (select 1)", 2},
        {"insert into t (a) (values (1))", 2},
        {"insert into t values (1) on conflict do nothing", 2},
        {"insert into t values (1) on conflict (a) do update set b = 2", 2},
        {"insert into t values (1) union select 2", 2},
        {"update t set a = 1", 2},
        {"UPDATE t SET a = (SELECT 1 RETURNING)", 2},
        {"delete from t where a in (select a from u)", 2},
        {"merge into t using s on t.id = s.id when matched then delete", 2},
        {"copy t from stdin", 2},
        {"copy t (a, b) from '/tmp/x' with (format csv)", 2},
        {"with x as (select 1) insert into t select * from x", 2},
        {"with x as (select 1) update t set a = 1", 2},
        {"with recursive x(n) as (select 1) delete from t", 2},
        // statements returning rows
        {"select 1", 9},
        {"  SELECT 1;", 9},
        {"values (1), (2)", 9},
        {"table t", 9},
        {"show all", 9},
        {"explain select 1", 9},
        {"explain analyze delete from t", 9},
        {"fetch 10 from c", 9},
        {"insert into t values (1) returning id", 9},
        {"insert into t select 1 returning *", 9},
        {"insert into t values (1) on conflict do nothing returning a", 9},
        {"update t set a = 1 returning a", 9},
        {"delete from t returning *", 9},
        {"with x as (delete from a returning *) select * from x", 9},
        {"with x as (select 1) delete from t returning *", 9},
        {"with recursive r(n) as (values (1) union all select n + 1 from r where n < 5) select * from r", 9},
        {"with x as materialized (select 1) select * from x", 9},
        {"with x as (select 1) (select * from x)", 9},
        {"with a as (select 1), b as (select 2) values (3)", 9},
        {"-- comment\nselect 1", 9},
        {"/* a /* nested */ comment */ select 1", 9},
        {"((select 1))", 9},
        {"(select 1) union (select 2)", 9},
        {"select ';'", 9},
        {"select $$;$$; ", 9},
        {"select 1 -- ; select 2\n", 9},
        {"select 1 /* ; */", 9},
        {"select \";\" from t", 9},
        {"select E'\\';' ", 9},
        // statements without rows
        {"call p(1)", 3},
        {"do $$ begin perform 1; end $$", 3},
        {"create table t (a int)", 3},
        {"set search_path = x", 3},
        {"begin", 3},
        {"commit;", 3},
        {"grant select on t to u", 3},
        {"select a into b from t", 3},
        {"copy t to stdout", 3},
        {"copy (select a from t) to stdout", 3},
        {"with x as (select 1)", 3},
        {"", 3},
        {"   ", 3},
        {";", 3},
        {";;  ;", 3},
        {"-- only a comment\n", 3},
        {"create function f() returns int language sql begin atomic select 1; select 2; end", 3},
        {"create or replace procedure p() language sql begin atomic insert into t values (1); end;", 3},
        {"create function f(x int) returns int language sql begin atomic select case when x > 0 then 1 else 2 "
         "end; end",
         3},
        // several statements
        {"select 1; select 2", 10},
        {"select 1;;select 2;", 10},
        {"insert into t values (1); select 1", 10},
        {"create function f() returns int language sql begin atomic select 1; end; select 1", 10},
        {"begin; update t set a = 1; commit", 10},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.sql);
        EXPECT_EQ(zt::classify_statement(k.sql), k.cls);
    }
    EXPECT_EQ(zt::classify_statement(nullptr), 3);
}

TEST(IsSingleCopy, Table)
{
    static const struct {
        const char *sql;
        bool copy;
    } cases[] = {
        {"copy t from stdin", true},
        {"  COPY t (a, b) FROM STDIN ;  ", true},
        {"/* note; */ copy (select 1) to stdout", true},
        {"-- copy\ncopy t to stdout", true},
        {"drop table t", false},
        {"-- copy t from stdin\ndrop table t", false},
        {"copy t from stdin; drop table t", false},
        {"insert into t values (1); copy t from stdin", false},
        {"(copy t from stdin)", false},
        {"'copy' ", false},
        {"", false},
        {";", false},
    };
    for (const auto &k : cases)
        EXPECT_EQ(zt::is_single_copy(k.sql), k.copy) << k.sql;
    EXPECT_FALSE(zt::is_single_copy(nullptr));
}

TEST(ControlText, Table)
{
    static const struct {
        const char *sql;
        zt::ControlText control;
    } cases[] = {
        {"set auto commit off", zt::CONTROL_AUTOCOMMIT_OFF},
        {"SET AUTO COMMIT ON", zt::CONTROL_AUTOCOMMIT_ON},
        {"  set   auto\tcommit off ;  ", zt::CONTROL_AUTOCOMMIT_OFF},
        {"Set Auto Commit On;", zt::CONTROL_AUTOCOMMIT_ON},
        {"commit", zt::CONTROL_COMMIT},
        {"commit;", zt::CONTROL_COMMIT},
        {"\tCOMMIT\n", zt::CONTROL_COMMIT},
        {"rollback", zt::CONTROL_ROLLBACK},
        {"Rollback ; ", zt::CONTROL_ROLLBACK},
        {"commit work", zt::CONTROL_NONE},
        {"commit;;", zt::CONTROL_NONE},
        {"; commit", zt::CONTROL_NONE},
        {"committed", zt::CONTROL_NONE},
        {"rollback to s1", zt::CONTROL_NONE},
        {"set autocommit off", zt::CONTROL_NONE},
        {"set auto commit", zt::CONTROL_NONE},
        {"set auto commit offx", zt::CONTROL_NONE},
        {"set auto commit off now", zt::CONTROL_NONE},
        {"setauto commit off", zt::CONTROL_NONE},
        {"select 1", zt::CONTROL_NONE},
        {"", zt::CONTROL_NONE},
        {nullptr, zt::CONTROL_NONE},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.sql ? k.sql : "(null)");
        EXPECT_EQ(zt::control_text(k.sql), k.control);
    }
}

TEST(PlainInsertTarget, Table)
{
    static const struct {
        const char *sql;
        bool ok;
        const char *target;
        const char *columns;
        int markers;
    } cases[] = {
        {"INSERT INTO t VALUES (?)", true, "t", "", 1},
        {"insert into public.t (a, b) values (?, ?);", true, "public.t", "(a, b)", 2},
        {"insert into \"My T\" (\"A\", b) values (?,?)", true, "\"My T\"", "(\"A\", b)", 2},
        {"insert into s.\"t.x\" values (?, ?, ?)", true, "s.\"t.x\"", "", 3},
        {"  insert into t values ( ? ) ;  ", true, "t", "", 1},
        {"-- load\ninsert into t(a) values(?)", true, "t", "(a)", 1},
        {"insert into t values (1)", false, "", "", 0},
        {"insert into t values (?, 1)", false, "", "", 0},
        {"insert into t values (?), (?)", false, "", "", 0},
        {"insert into t values (?) returning id", false, "", "", 0},
        {"insert into t values (?) on conflict do nothing", false, "", "", 0},
        {"insert into t select ?", false, "", "", 0},
        {"insert into t (a) select ?", false, "", "", 0},
        {"insert into t default values", false, "", "", 0},
        {"insert into t as x values (?)", false, "", "", 0},
        {"insert into t (a, b) values (?)", false, "", "", 0},
        {"insert into t values (?::int)", false, "", "", 0},
        {"insert into t (a[1]) values (?)", false, "", "", 0},
        {"insert into t (a.b) values (?)", false, "", "", 0},
        {"insert into t values (?" "?)", false, "", "", 0},
        {"insert into t values ()", false, "", "", 0},
        {"insert into t values (?,)", false, "", "", 0},
        {"insert into t values (?); select 1", false, "", "", 0},
        {"insert into t values (?) x", false, "", "", 0},
        {"insert into values (?)", false, "", "", 0},
        {"insert into t. values (?)", false, "", "", 0},
        {"with x as (select 1) insert into t values (?)", false, "", "", 0},
        {"update t set a = ?", false, "", "", 0},
        {"insert t values (?)", false, "", "", 0},
        {"", false, "", "", 0},
        {nullptr, false, "", "", 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.sql ? k.sql : "(null)");
        std::string target = "stale", columns = "stale";
        int markers = -1;
        ASSERT_EQ(zt::plain_insert_target(k.sql, target, columns, markers), k.ok);
        if (!k.ok)
            continue;
        EXPECT_EQ(target, k.target);
        EXPECT_EQ(columns, k.columns);
        EXPECT_EQ(markers, k.markers);
    }
}

TEST(ValidProcedureName, Table)
{
    static const struct {
        std::string name;
        bool ok;
    } cases[] = {
        {"p", true},
        {"_p1", true},
        {"P$1", true},
        {"s.p", true},
        {"db.s.p", true},
        {"\"My Proc\"", true},
        {"\"a\"\"b\"", true},
        {"s.\"p q\"", true},
        {"\"s\".\"p;drop\"", true},
        {"pr\xc3\xbc" "fung", true},
        {"\xe6\x95\xb0\xe6\x8d\xae.\xe8\xbf\x87\xe7\xa8\x8b", true},
        {"\xf0\x9f\x98\x80p", true},
        {"", false},
        {"1p", false},
        {"$p", false},
        {"a..b", false},
        {".a", false},
        {"a.", false},
        {"a b", false},
        {" a", false},
        {"p()", false},
        {"p;drop table t", false},
        {"p--", false},
        {"p-1", false},
        {"\"\"", false},
        {"\"unterminated", false},
        {"a\"b\"", false},
        {"\"a\"b", false},
        {"\"a\" .b", false},
        {"\xff", false},
        {"p\xc3", false},
        {"p\xc0\xaf", false},
        {"p\xed\xa0\x80", false},
        {std::string("a\0b", 3), false},
        {std::string("\"a\0\"", 4), false},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(zt::valid_procedure_name(k.name), k.ok);
    }
}

TEST(ParseProcedureText, Table)
{
    static const struct {
        const char *sql;
        bool ok;
        const char *name;
        int markers;
    } cases[] = {
        {"execute p1", true, "p1", 0},
        {"execute p1(?);", true, "p1", 1},
        {"execute p1(?,?,?);", true, "p1", 3},
        {"EXECUTE  s.p ( ? , ? ) ; ", true, "s.p", 2},
        {"  Execute\tp1(?)", true, "p1", 1},
        {"execute p1()", true, "p1", 0},
        {"execute p1();", true, "p1", 0},
        {"execute p1;", true, "p1", 0},
        {"execute \"my (proc)\"(?);", true, "\"my (proc)\"", 1},
        {"execute \"a\"\"b\".\"c d\"(?,?);", true, "\"a\"\"b\".\"c d\"", 2},
        {"exec p1", false, "", 0},
        {"execute", false, "", 0},
        {"execute ", false, "", 0},
        {"executep1", false, "", 0},
        {"execute (?)", false, "", 0},
        {"execute p1(", false, "", 0},
        {"execute p1(?", false, "", 0},
        {"execute p1(1)", false, "", 0},
        {"execute p1(?,)", false, "", 0},
        {"execute p1(,?)", false, "", 0},
        {"execute p1(?" "?)", false, "", 0},
        {"execute p1(?) x", false, "", 0},
        {"execute p1(?);;", false, "", 0},
        {"execute p1 p2", false, "", 0},
        {"execute \"p1(?);", false, "", 0},
        {"select 1", false, "", 0},
        {nullptr, false, "", 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.sql ? k.sql : "(null)");
        std::string name = "stale";
        int markers = -1;
        ASSERT_EQ(zt::parse_procedure_text(k.sql, name, markers), k.ok);
        if (!k.ok)
            continue;
        EXPECT_EQ(name, k.name);
        EXPECT_EQ(markers, k.markers);
        EXPECT_TRUE(zt::valid_procedure_name(name));
    }
}

}  // namespace

namespace {

// A text cut anywhere (inside a literal, a comment, a dollar quote, an escape) is
// handled without reading past its end, whatever the routines conclude.
TEST(SqlText, EveryPrefixIsHandled)
{
    static const char *const texts[] = {
        "with x as (select E'\\'?' /* a /* b */ */) insert into \"T\"\"x\" (a) values (?, $q$ ? $q$) -- c",
        "create function f() returns int language sql begin atomic select case when true then 1 end; end; select ??",
        "  execute \"s\".\"p q\"( ? , ? ) ; ",
        "set auto commit off ;",
    };
    for (const char *text : texts) {
        std::string all(text);
        for (size_t len = 0; len <= all.size(); ++len) {
            std::string cut = all.substr(0, len);
            SCOPED_TRACE(cut);
            std::string out, target, columns;
            int markers;
            EXPECT_GE(zt::rewrite_markers(cut.c_str(), out), 0);
            EXPECT_LE(out.size(), cut.size() + 8);
            int cls = zt::classify_statement(cut.c_str());
            EXPECT_TRUE(cls == 1 || cls == 2 || cls == 3 || cls == 9 || cls == 10) << cls;
            zt::control_text(cut.c_str());
            zt::plain_insert_target(cut.c_str(), target, columns, markers);
            zt::parse_procedure_text(cut.c_str(), target, markers);
            zt::valid_procedure_name(cut);
        }
    }
}

}  // namespace
