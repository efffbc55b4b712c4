// Prepared statements: the per-session cache, re-preparing on new parameter types, errors.
#include <functional>

#include "it_common.h"

using namespace zt_it;

namespace {

int prepared_count(Session &s)
{
    ZTC_Reset(&s.s);
    return std::stoi(query_text(s, "select count(*) from pg_prepared_statements"));
}

void bind_i64(Session &s, int pos, int64_t v)
{
    int len = 8;
    ASSERT_EQ(0, ZTC_BindParamByPos(&s.s, pos, PARAM_INPUT, ZTC_TYPE_BIGINT, &v, 8, &len));
}

// Prepares, binds and executes; returns the first value as text.
std::string run_prepared(Session &s, const char *sql, const std::function<void()> &bind)
{
    ZTC_Reset(&s.s);
    if (ZTC_Prepare2(&s.s, sql, nullptr) != 0)
        return "<PREPARE> " + s.error();
    bind();
    Result r;
    if (ZTC_Execute2(&s.s, nullptr, nullptr, &r.r) != 0)
        return "<EXECUTE> " + s.error();
    ZTC_UnPrepare(&s.s, nullptr);
    if (ZTC_ReadNext(&r.r) != 0)
        return "<NO ROW>";
    char buf[256] = {0};
    int len = 0;
    ZTC_GetData(&r.r, 1, 2, buf, 255, &len);
    return len < 0 ? "<NULL>" : std::string(buf, len);
}

}  // namespace

TEST(Prepare, CachedStatementReused)
{
    Session s;
    int before = prepared_count(s);
    for (int64_t i = 0; i < 20; ++i)
        EXPECT_EQ(std::to_string(i * 2), run_prepared(s, "select ? * 2", [&] { bind_i64(s, 1, i); }));
    EXPECT_EQ(before + 1, prepared_count(s));
    // No markers: prepared at once, so a bad statement fails at prepare time.
    EXPECT_EQ(-1, ZTC_Prepare2(&s.s, "selec 1", nullptr));
    EXPECT_EQ(0u, s.error().rfind("[42601] syntax error", 0)) << s.error();
}

TEST(Prepare, NewParameterTypesPrepareAgain)
{
    Session s;
    s.run("create temp table pt(n numeric, t text)");
    const char *sql = "insert into pt values (?, ?) returning n::text || '/' || t";
    EXPECT_EQ("5/a", run_prepared(s, sql, [&] {
        bind_i64(s, 1, 5);
        std::string t = "a";
        int len = 1;
        ZTC_BindParamByPos(&s.s, 2, 1, 2, &t[0], 2, &len);
    }));
    // Wider integers, a double, a text where an integer was: never an error.
    EXPECT_EQ("5000000000/b", run_prepared(s, sql, [&] {
        bind_i64(s, 1, 5000000000LL);
        std::string t = "b";
        int len = 1;
        ZTC_BindParamByPos(&s.s, 2, 1, 2, &t[0], 2, &len);
    }));
    EXPECT_EQ("2.5/7", run_prepared(s, sql, [&] {
        double d = 2.5;
        int len = 8;
        ZTC_BindParamByPos(&s.s, 1, 1, 8, &d, 8, &len);
        bind_i64(s, 2, 7);
    }));
    EXPECT_EQ("3.25/c", run_prepared(s, sql, [&] {
        std::string n = "3.25", t = "c";
        int len = 4;
        ZTC_BindParamByPos(&s.s, 1, 1, 2, &n[0], 5, &len);
        len = 1;
        ZTC_BindParamByPos(&s.s, 2, 1, 2, &t[0], 2, &len);
    }));
    EXPECT_EQ("<NULL>", run_prepared(s, sql, [&] {
        ZTC_BindParamByPos(&s.s, 1, 1, 0, nullptr, 0, nullptr);
        ZTC_BindParamByPos(&s.s, 2, 1, 0, nullptr, 0, nullptr);
    }));
    // Small integers after a big one fit what is prepared.
    EXPECT_EQ("1/d", run_prepared(s, sql, [&] {
        bind_i64(s, 1, 1);
        std::string t = "d";
        int len = 1;
        ZTC_BindParamByPos(&s.s, 2, 1, 2, &t[0], 2, &len);
    }));
    EXPECT_LE(prepared_count(s), 2);  // stale statements are deallocated
}

TEST(Prepare, CacheEvictsLeastRecentlyUsed)
{
    Session s;
    for (int i = 0; i < 300; ++i) {
        std::string sql = "select " + std::to_string(i);
        EXPECT_EQ(std::to_string(i), run_prepared(s, sql.c_str(), [] {}));
    }
    int count = prepared_count(s);
    EXPECT_GE(count, 64);
    EXPECT_LE(count, 129);
}

TEST(Prepare, Refusals)
{
    Session s;
    Result r;
    EXPECT_EQ(-1, ZTC_Execute2(&s.s, nullptr, nullptr, &r.r));
    EXPECT_EQ("[HY000] no statement is prepared", s.error());
    ASSERT_EQ(0, ZTC_Prepare2(&s.s, "select ?::int + ?", nullptr));
    bind_i64(s, 1, 1);
    EXPECT_EQ(-1, ZTC_Execute2(&s.s, nullptr, nullptr, &r.r));
    EXPECT_EQ("[07001] the statement has 2 parameter markers but 1 parameters are bound",
              s.error());
    // A statement error inside a prepared execution comes back with its code.
    ZTC_Reset(&s.s);
    ASSERT_EQ(0, ZTC_Prepare2(&s.s, "select 1 / ?::int", nullptr));
    bind_i64(s, 1, 0);
    EXPECT_EQ(-1, ZTC_Execute2(&s.s, nullptr, nullptr, &r.r));
    EXPECT_EQ("[22012] division by zero", s.error());
    EXPECT_EQ(0, ZTC_UnPrepare(&s.s, nullptr));
    EXPECT_EQ(0, ZTC_UnPrepare(&s.s, nullptr));
}
