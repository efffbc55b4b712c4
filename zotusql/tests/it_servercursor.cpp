// Server cursors a procedure opens: the cursor's name in the RefCursor output, rowsets of 2000
// rows, closing (also of a cursor already gone), and the transaction the library keeps open for
// the cursor in autocommit mode, left clean once the cursor is closed.
#include <cstring>

#include "it_common.h"

using namespace zt_it;

namespace {

void create_routines(Session &s)
{
    s.run(R"(create or replace procedure sc_open(n int, inout c refcursor)
             language plpgsql as $$
             begin open c for select g, 'row ' || g from generate_series(1, n) g; end $$)");
    s.run(R"(create or replace procedure sc_two(inout a refcursor, inout b refcursor)
             language plpgsql as $$
             begin
               open a for select 1; open b for select 2;
             end $$)");
    s.run("drop table if exists sc_log");
    s.run("create table sc_log (v int)");
}

// Binds n at position 1 and a RefCursor at position 2 (empty name: the procedure names it) and
// runs the procedure; returns the cursor's name.
std::string open_cursor(Session &s, int64_t n, const std::string &name = "")
{
    static int64_t value;
    static int value_len;
    static char buffer[65];
    static int length;
    value = n;
    value_len = 8;
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, name.data(), name.size());
    length = static_cast<int>(name.size());
    EXPECT_EQ(0, ZTC_Reset(&s.s));
    EXPECT_EQ(0, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUT, ZTC_TYPE_BIGINT, &value, 8, &value_len));
    EXPECT_EQ(0, ZTC_BindParamByPos(&s.s, 2, PARAM_INPUTOUTPUT, ZTC_TYPE_REFCURSOR, buffer,
                                    sizeof buffer, &length));
    EXPECT_EQ(0, ZTC_Execute_procesure(&s.s, "execute sc_open(?,?);", nullptr)) << s.error();
    EXPECT_EQ(0, ZTC_Reset(&s.s));
    EXPECT_GT(length, 0);
    EXPECT_EQ('\0', buffer[length]);
    return std::string(buffer, static_cast<size_t>(length));
}

// Reads every rowset: their sizes, and the sum of the first column.
std::vector<int> read_all(Session &s, const std::string &name, int64_t &sum)
{
    std::vector<int> sizes;
    Result r;
    sum = 0;
    for (int guard = 0; guard < 10; ++guard) {
        int rows = ZTC_FetchServerCursorRowset(&s.s, name.c_str(), &r.r);
        EXPECT_GE(rows, 0) << s.error();
        sizes.push_back(rows);
        if (rows <= 0)
            break;
        while (ZTC_ReadNext(&r.r) == 0) {
            int32_t v = 0;
            int len = 0;
            EXPECT_EQ(0, ZTC_GetData(&r.r, 1, ZTC_TYPE_INTEGER, &v, 4, &len));
            sum += v;
        }
    }
    return sizes;
}

// True when the session runs each statement in its own transaction: after a pause, a new
// statement's transaction start is its own start.
bool autocommitting(Session &s)
{
    query_text(s, "select pg_sleep(0.02)");
    return query_text(s, "select now() = statement_timestamp()") == "t";
}

}  // namespace

// A cursor of 4500 rows is read in rowsets of 2000, 2000, 500 and then 0, and closed; in
// autocommit mode the transaction the library held for it is committed by the close.
TEST(ServerCursor, ReadAcrossRowsetsAndClosedAutocommit)
{
    Session s;
    create_routines(s);
    s.run("insert into sc_log values (1)");
    std::string name = open_cursor(s, 4500);
    EXPECT_EQ("<unnamed portal 1>", name);
    // The session is inside the transaction held for the cursor.
    EXPECT_FALSE(autocommitting(s));
    int64_t sum = 0;
    EXPECT_EQ((std::vector<int>{2000, 2000, 500, 0}), read_all(s, name, sum));
    EXPECT_EQ(4500 * 4501 / 2, sum);
    EXPECT_EQ(0, ZTC_CloseCursor(&s.s, name.c_str())) << s.error();
    EXPECT_TRUE(autocommitting(s));
    EXPECT_EQ("0", query_text(s, "select count(*) from pg_cursors"));
    // A second close is harmless and changes nothing.
    EXPECT_EQ(0, ZTC_CloseCursor(&s.s, name.c_str())) << s.error();
    s.run("insert into sc_log values (2)");
    Session other;
    EXPECT_EQ("2", query_text(other, "select count(*) from sc_log"));
}

// With autocommit off the cursor lives in the caller's transaction, which closing leaves open.
TEST(ServerCursor, ReadAndClosedInCallersTransaction)
{
    Session s;
    create_routines(s);
    s.run("set auto commit off");
    s.run("insert into sc_log values (1)");
    std::string name = open_cursor(s, 2001, "my cursor");
    EXPECT_EQ("my cursor", name);
    int64_t sum = 0;
    EXPECT_EQ((std::vector<int>{2000, 1, 0}), read_all(s, name, sum));
    EXPECT_EQ(0, ZTC_CloseCursor(&s.s, name.c_str())) << s.error();
    EXPECT_EQ(0, ZTC_CloseCursor(&s.s, name.c_str())) << s.error();  // gone: no error
    EXPECT_EQ("0", query_text(s, "select count(*) from pg_cursors"));
    s.run("insert into sc_log values (2)");
    Session other;
    EXPECT_EQ("0", query_text(other, "select count(*) from sc_log"));  // not committed yet
    s.run("commit");
    EXPECT_EQ("2", query_text(other, "select count(*) from sc_log"));
}

// The library's transaction stays open until the last of its cursors is closed.
TEST(ServerCursor, TransactionHeldUntilLastCursorClosed)
{
    Session s;
    create_routines(s);
    char a[65] = {0}, b[65] = {0};
    int la = 0, lb = 0;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, 1, PARAM_OUTPUT, ZTC_TYPE_REFCURSOR, a, 65, &la));
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, 2, PARAM_OUTPUT, ZTC_TYPE_REFCURSOR, b, 65, &lb));
    ASSERT_EQ(0, ZTC_Execute_procesure(&s.s, "execute sc_two(?,?);", nullptr)) << s.error();
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    ASSERT_GT(la, 0);
    ASSERT_GT(lb, 0);
    EXPECT_EQ(0, ZTC_CloseCursor(&s.s, a));
    int64_t sum = 0;
    EXPECT_EQ((std::vector<int>{1, 0}), read_all(s, b, sum));  // still readable
    EXPECT_EQ(2, sum);
    EXPECT_FALSE(autocommitting(s));
    EXPECT_EQ(0, ZTC_CloseCursor(&s.s, b));
    EXPECT_TRUE(autocommitting(s));
}

// A failed procedure call rolls back the transaction the library opened for it.
TEST(ServerCursor, FailedCallLeavesNoTransaction)
{
    Session s;
    create_routines(s);
    s.run(R"(create or replace procedure sc_fail(inout c refcursor)
             language plpgsql as $$ begin open c for select 1; raise exception 'no'; end $$)");
    char c[65] = {0};
    int lc = 0;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, 1, PARAM_INPUTOUTPUT, ZTC_TYPE_REFCURSOR, c, 65, &lc));
    EXPECT_EQ(-1, ZTC_Execute_procesure(&s.s, "execute sc_fail(?);", nullptr));
    EXPECT_EQ("[P0001] no", s.error());
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    EXPECT_TRUE(autocommitting(s));
}

// Fetching or closing a cursor that does not exist fails cleanly or is a no-op.
TEST(ServerCursor, UnknownCursor)
{
    Session s;
    Result r;
    EXPECT_EQ(-1, ZTC_FetchServerCursorRowset(&s.s, "nope", &r.r));
    EXPECT_EQ("[34000] cursor \"nope\" does not exist", s.error());
    EXPECT_EQ(nullptr, r.r);
    EXPECT_EQ(0, ZTC_CloseCursor(&s.s, "nope"));
    EXPECT_EQ(-1, ZTC_CloseCursor(&s.s, ""));
    // A name with a quote in it is quoted, not spliced into the statement.
    EXPECT_EQ(-1, ZTC_FetchServerCursorRowset(&s.s, "x\"; drop table sc_log; --", &r.r));
    EXPECT_EQ(0u, s.error().rfind("[34000]", 0)) << s.error();
    ZTC_HANDLE empty = nullptr;
    EXPECT_EQ(-1, ZTC_FetchServerCursorRowset(&empty, "nope", &r.r));
    EXPECT_EQ(-1, ZTC_CloseCursor(&empty, "nope"));
}

namespace {

// One page of cursor `name` for `reader`: its row count, the first column's first value (-1
// when none) and whether the next page was asked for.
struct Page {
    int rows = -1;
    int64_t first = -1;
    int sent = 0;
};

Page fetch_page(Session &s, const char *name, long long reader, int count, bool ahead)
{
    Page p;
    Result r;
    p.rows = ZTC_FetchCursorPage(&s.s, name, reader, count, ahead ? 1 : 0, &r.r, &p.sent);
    if (p.rows > 0 && ZTC_ReadNext(&r.r) == 0) {
        int len = 0;
        EXPECT_EQ(0, ZTC_GetData(&r.r, 1, ZTC_TYPE_BIGINT, &p.first, 8, &len));
    }
    return p;
}

// What runs on the session between the first page and the second.
enum class Between { nothing, other_query, redeclared, closed };

struct AheadCase {
    Between between;
    bool ahead;
    int second_rows;        // of the second page
    int64_t second_first;   // its first value
    const char *second_error;
    std::vector<int> rest;  // the sizes of the pages after it
};

}  // namespace

// Pages asked for ahead arrive in order whatever runs between them; a cursor declared again
// (a new reader) or closed never gets the old page.
TEST(ServerCursor, PagesReadAhead)
{
    const AheadCase cases[] = {
        {Between::nothing, true, 3, 4, "", {2, 0}},
        {Between::nothing, false, 3, 4, "", {2, 0}},
        {Between::other_query, true, 3, 4, "", {2, 0}},
        {Between::redeclared, true, 3, 101, "", {3, 2, 0}},
        {Between::closed, true, -1, -1, "34000", {}},
    };
    for (const AheadCase &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.between));
        Session s;
        s.run("set auto commit off");
        s.run("declare pa cursor for select g::bigint from generate_series(1, 8) g");
        Page first = fetch_page(s, "pa", 1, 3, c.ahead);
        EXPECT_EQ(3, first.rows) << s.error();
        EXPECT_EQ(1, first.first);
        EXPECT_EQ(c.ahead ? 1 : 0, first.sent);
        long long reader = 1;
        switch (c.between) {
        case Between::nothing:
            break;
        case Between::other_query:
            EXPECT_EQ("42", query_text(s, "select 42"));
            break;
        case Between::redeclared:
            s.run("close pa");
            s.run("declare pa cursor for select g::bigint + 100 from generate_series(1, 8) g");
            reader = 2;
            break;
        case Between::closed:
            EXPECT_EQ(0, ZTC_CloseCursor(&s.s, "pa")) << s.error();
            break;
        }
        Page second = fetch_page(s, "pa", reader, 3, true);
        EXPECT_EQ(c.second_rows, second.rows);
        EXPECT_EQ(c.second_first, second.first);
        EXPECT_NE(std::string::npos, s.error().find(c.second_error)) << s.error();
        // The rest; no page is asked for after a short one.
        std::vector<int> rest;
        for (size_t i = 0; i < c.rest.size(); ++i) {
            Page p = fetch_page(s, "pa", reader, 3, true);
            rest.push_back(p.rows);
            EXPECT_EQ(p.rows == 3 ? 1 : 0, p.sent);
        }
        EXPECT_EQ(c.rest, rest) << s.error();
    }
}

// A page asked for ahead that fails keeps its failure for the reader; a statement run
// meanwhile finds the transaction aborted by it.
TEST(ServerCursor, FailedPageAheadReportedToItsReader)
{
    Session s;
    s.run("set auto commit off");
    s.run("declare pf cursor for select 10 / (4 - g) from generate_series(1, 8) g");
    Page first = fetch_page(s, "pf", 7, 2, true);
    EXPECT_EQ(2, first.rows) << s.error();
    EXPECT_EQ(1, first.sent);
    EXPECT_NE(std::string::npos, query_text(s, "select 1").find("25P02"));
    Page second = fetch_page(s, "pf", 7, 2, true);
    EXPECT_EQ(-1, second.rows);
    EXPECT_NE(std::string::npos, s.error().find("[22012] division by zero")) << s.error();
    s.run("rollback");
    EXPECT_EQ("1", query_text(s, "select 1"));
}
