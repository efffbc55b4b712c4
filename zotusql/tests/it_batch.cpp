// Batches of array bindings: the COPY path for plain INSERTs, the pipeline path for any other
// statement, atomicity, NULLs in every column kind, values that need escaping, and the view
// that refuses COPY.
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "it_common.h"

using namespace zt_it;

namespace {

// A column of values in the layout the driver binds.
struct Column {
    int type = ZTC_TYPE_VARCHAR;
    int size = 0;                 // element size of a fixed-size column; packed total otherwise
    std::vector<char> values;
    std::vector<int> lengths;
    int n = 0;

    static Column texts(const std::vector<std::optional<std::string>> &rows,
                        int type = ZTC_TYPE_VARCHAR)
    {
        Column c;
        c.type = type;
        for (const auto &v : rows) {
            int32_t len = v ? static_cast<int32_t>(v->size()) : -1;
            const char *p = reinterpret_cast<const char *>(&len);
            c.values.insert(c.values.end(), p, p + 4);
            if (v)
                c.values.insert(c.values.end(), v->begin(), v->end());
            c.lengths.push_back(len);
        }
        c.size = static_cast<int>(c.values.size());
        c.n = static_cast<int>(rows.size());
        return c;
    }

    // Fixed-size values; a missing value is stored as zero with length 0 (the driver's None).
    template <class T>
    static Column fixed(int type, const std::vector<std::optional<T>> &rows)
    {
        Column c;
        c.type = type;
        c.size = sizeof(T);
        for (const auto &v : rows) {
            T x = v ? *v : T();
            const char *p = reinterpret_cast<const char *>(&x);
            c.values.insert(c.values.end(), p, p + sizeof(T));
            c.lengths.push_back(v ? static_cast<int>(sizeof(T)) : 0);
        }
        c.n = static_cast<int>(rows.size());
        return c;
    }
};

void bind_columns(Session &s, std::vector<Column> &cols)
{
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    int pos = 0;
    for (Column &c : cols) {
        ++pos;
        ASSERT_EQ(0, ZTC_BindParamArrayByPos(&s.s, pos, static_cast<int>(cols.size()), PARAM_INPUT,
                                             c.type, c.n, c.values.data(), c.size,
                                             c.lengths.data()))
            << s.error();
    }
}

// Binds the columns and runs the batch; returns its result.
int run_batch(Session &s, const std::string &sql, std::vector<Column> cols, int rows = -1)
{
    bind_columns(s, cols);
    // The driver frees its values buffers right after binding: the library must have copied.
    for (Column &c : cols)
        std::fill(c.values.begin(), c.values.end(), '\x55');
    if (rows < 0)
        rows = cols.empty() ? 0 : cols[0].n;
    return ZTC_ExecBatch(&s.s, sql.c_str(), rows);
}

std::vector<std::optional<int64_t>> ids(std::vector<int64_t> v)
{
    return std::vector<std::optional<int64_t>>(v.begin(), v.end());
}

// Both ways a batch runs: a plain INSERT goes through COPY, anything else through a pipeline.
struct PathCase {
    const char *name;
    bool copy;
};

// "insert into T (COLUMNS) values (?, ...)" for COPY; with "returning" (which keeps it from
// being a plain INSERT) for the pipeline.
std::string insert_sql(const PathCase &path, const std::string &table, const std::string &columns)
{
    std::string markers;
    for (size_t i = 0, n = std::count(columns.begin(), columns.end(), ',') + 1; i < n; ++i)
        markers += i ? ", ?" : "?";
    return "insert into " + table + " (" + columns + ") values (" + markers + ")" +
           (path.copy ? "" : " returning 1");
}

class BatchPath : public ::testing::TestWithParam<PathCase> {};

const PathCase kPaths[] = {{"Copy", true}, {"Pipeline", false}};

}  // namespace

// The fifth row violates the primary key: the call fails naming that row and nothing of the
// batch remains, in autocommit mode and inside the caller's transaction.
TEST_P(BatchPath, FailingRowLeavesNothing)
{
    Session s;
    s.run("drop table if exists b_uk");
    s.run("create table b_uk (id int primary key, v text)");
    std::string sql = insert_sql(GetParam(), "b_uk", "id, v");
    auto v = Column::texts({"a", "b", "c", "d", "e", "f"});

    EXPECT_EQ(-1, run_batch(s, sql, {Column::fixed(6, ids({1, 2, 3, 4, 2, 6})), v}));
    EXPECT_EQ(0u, s.error().rfind("row 5: [23505] duplicate key value", 0)) << s.error();
    EXPECT_EQ("0", query_text(s, "select count(*) from b_uk"));

    s.run("set auto commit off");
    EXPECT_EQ(6, run_batch(s, sql, {Column::fixed(6, ids({1, 2, 3, 4, 5, 6})), v}))
        << s.error();
    EXPECT_EQ(-1, run_batch(s, sql, {Column::fixed(6, ids({7, 8, 9, 10, 1, 11})), v}));
    EXPECT_EQ(0u, s.error().rfind("row 5: [23505]", 0)) << s.error();
    s.run("rollback");
    EXPECT_EQ("0", query_text(s, "select count(*) from b_uk"));
    // A successful batch is part of the caller's transaction.
    EXPECT_EQ(6, run_batch(s, sql, {Column::fixed(6, ids({1, 2, 3, 4, 5, 6})), v}));
    s.run("rollback");
    EXPECT_EQ("0", query_text(s, "select count(*) from b_uk"));
    EXPECT_EQ(6, run_batch(s, sql, {Column::fixed(6, ids({1, 2, 3, 4, 5, 6})), v}));
    s.run("commit");
    s.run("set auto commit on");
    EXPECT_EQ("6", query_text(s, "select count(*) from b_uk"));
}

// NULL in every column kind (length -1, or 0 in a fixed-size column), beside values of every
// kind, read back as text.
TEST_P(BatchPath, NullsAndValuesOfEveryKind)
{
    Session s;
    s.run("drop table if exists b_kinds");
    s.run("create table b_kinds (id int, v text, bo boolean, sm smallint, i int, bi bigint, "
          "r real, d double precision, n numeric, dt date, ts timestamp, tm time, by bytea, "
          "bo2 boolean)");
    std::string sql = insert_sql(GetParam(), "b_kinds",
                                 "id, v, bo, sm, i, bi, r, d, n, dt, ts, tm, by, bo2");
    std::vector<Column> cols = {
        Column::fixed<int32_t>(ZTC_TYPE_INTEGER, {1, 2}),
        Column::texts({"x", std::nullopt}),
        Column::fixed<char>(ZTC_TYPE_BOOLEAN, {'T', std::nullopt}),
        Column::fixed<int16_t>(ZTC_TYPE_SMALLINT, {-7, std::nullopt}),
        Column::fixed<int64_t>(ZTC_TYPE_BIGINT, {70000, std::nullopt}),
        Column::fixed<int64_t>(ZTC_TYPE_BIGINT, {std::numeric_limits<int64_t>::min(), std::nullopt}),
        Column::fixed<float>(ZTC_TYPE_FLOAT, {0.1f, std::nullopt}),
        Column::fixed<double>(ZTC_TYPE_DOUBLE, {0.1, std::nullopt}),
        Column::texts({"12345678901234567890.123456789", std::nullopt}, ZTC_TYPE_NUMERIC),
        Column::texts({"0005-03-07", std::nullopt}, ZTC_TYPE_DATETIME_TEXT),
        Column::texts({"2024-01-05 07:08:09.000123", std::nullopt}),
        Column::texts({"04:05:06.000007", std::nullopt}),
        Column::texts({std::string("a\0\\\xff", 4), std::nullopt}, ZTC_TYPE_BINARY),
        // Python booleans arrive as 4-byte integers of code 5.
        Column::fixed<int32_t>(ZTC_TYPE_INTEGER, {1, std::nullopt}),
    };
    std::string pid = query_text(s, "select pg_backend_pid()");
    ASSERT_EQ(2, run_batch(s, sql, cols)) << s.error();
    // The path taken, as the server saw it.
    Session other;
    std::string last = query_text(other, "select query from pg_stat_activity where pid = " + pid);
    EXPECT_EQ(GetParam().copy ? "COPY b_kinds (id, v, bo, sm, i, bi, r, d, n, dt, ts, tm, by, bo2) "
                                "FROM STDIN"
                              : "insert into b_kinds (id, v, bo, sm, i, bi, r, d, n, dt, ts, tm, "
                                "by, bo2) values ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, "
                                "$12, $13, $14) returning 1",
              last);
    const char *all = "select concat_ws('|', v, bo, sm, i, bi, r, d, n, dt, ts, tm, by, bo2, "
                      "num_nulls(v, bo, sm, i, bi, r, d, n, dt, ts, tm, by, bo2)) from b_kinds "
                      "where id = ";
    EXPECT_EQ("x|t|-7|70000|-9223372036854775808|0.1|0.1|12345678901234567890.123456789|"
              "0005-03-07|2024-01-05 07:08:09.000123|04:05:06.000007|\\x61005cff|t|0",
              query_text(s, std::string(all) + "1"));
    EXPECT_EQ("13", query_text(s, std::string(all) + "2"));
}

// Texts that COPY must escape, floats that must keep their value, and an empty text (which is
// not NULL).
TEST_P(BatchPath, ValuesKeepTheirExactForm)
{
    Session s;
    s.run("drop table if exists b_exact");
    s.run("create table b_exact (id int, v text, d double precision)");
    std::string sql = insert_sql(GetParam(), "b_exact", "id, v, d");
    std::vector<std::optional<std::string>> texts = {
        "tab\there", "new\nline", "back\\slash", "cr\rlf", "\\N", "", "\\.", "é€😀", "end\\"};
    std::vector<std::optional<double>> doubles = {
        0.1, 1e300, -0.0, 5e-324, std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(), 1.0 / 3, 123456789.123456789,
        std::numeric_limits<double>::quiet_NaN()};
    std::vector<std::optional<int64_t>> id;
    for (size_t i = 0; i < texts.size(); ++i)
        id.push_back(static_cast<int64_t>(i));
    ASSERT_EQ(static_cast<int>(texts.size()),
              run_batch(s, sql, {Column::fixed(6, id), Column::texts(texts),
                                 Column::fixed(ZTC_TYPE_DOUBLE, doubles)}))
        << s.error();
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string where = " from b_exact where id = " + std::to_string(i);
        EXPECT_EQ(*texts[i], query_text(s, "select v" + where)) << i;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.17g", *doubles[i]);
        EXPECT_EQ("t", query_text(s, "select d = '" + std::string(expected) + "'::float8 or "
                                     "(d = 'NaN' and 'NaN' = '" + expected + "'::float8)" + where))
            << i << " " << expected;
    }
    EXPECT_EQ("-0", query_text(s, "select d from b_exact where id = 2"));
}

// Columns bound in place are read when the batch runs, on both paths: what the caller wrote
// into them after binding is what the rows hold.
TEST_P(BatchPath, InPlaceValuesReadAtExecution)
{
    Session s;
    s.run("drop table if exists b_in_place");
    s.run("create table b_in_place (id bigint, v text)");
    std::vector<Column> cols = {Column::fixed<int64_t>(ZTC_TYPE_BIGINT, {1, 2}),
                                Column::texts({"a", "b"})};
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    for (int pos = 1; pos <= 2; ++pos) {
        Column &c = cols[pos - 1];
        ASSERT_EQ(0, ZTC_BindParamArrayInPlace(&s.s, pos, 2, PARAM_INPUT, c.type, c.n,
                                               c.values.data(), c.size, c.lengths.data()))
            << s.error();
    }
    const int64_t ten = 10;
    std::memcpy(cols[0].values.data(), &ten, sizeof ten);
    cols[1].values[4] = 'x';
    ASSERT_EQ(2, ZTC_ExecBatch(&s.s, insert_sql(GetParam(), "b_in_place", "id, v").c_str(), 2))
        << s.error();
    EXPECT_EQ("2:b,10:x",
              query_text(s, "select string_agg(id || ':' || v, ',' order by id) from b_in_place"));
}

// A wait handler asking to stop at its `stop_at`-th call, whatever the socket does: the batch
// paths ask it while they stream, so that a batch that never waits still stops, storing
// nothing, and the session stays usable.
TEST_P(BatchPath, WaitHandlerStopsAStreamingBatch)
{
    struct Stopper {
        int calls = 0;
        int stop_at = 0;
    };
    for (int stop_at : {1, 10, 40}) {
        Session s;
        s.run("drop table if exists b_stopped");
        // numeric: the COPY goes in text form, which the server takes ended at any row.
        s.run("create table b_stopped (id bigint, v text, n numeric)");
        const int n = 200000;
        std::vector<std::optional<int64_t>> id(n);
        std::vector<std::optional<std::string>> v(n), num(n);
        for (int i = 0; i < n; ++i) {
            id[i] = i;
            v[i] = "value " + std::to_string(i) + std::string(40, 'x');
            num[i] = std::to_string(i) + ".5";
        }
        Stopper stopper;
        stopper.stop_at = stop_at;
        auto handler = [](void *context) -> int {
            Stopper &st = *static_cast<Stopper *>(context);
            return ++st.calls >= st.stop_at ? 1 : 0;
        };
        ASSERT_EQ(0, ZTC_SetWaitHandler(&s.s, handler, &stopper, 1));
        EXPECT_EQ(-1, run_batch(s, insert_sql(GetParam(), "b_stopped", "id, v, n"),
                                {Column::fixed<int64_t>(ZTC_TYPE_BIGINT, id), Column::texts(v),
                                 Column::texts(num, ZTC_TYPE_NUMERIC)}))
            << "stop at call " << stop_at;
        EXPECT_NE(std::string::npos, s.error().find("[57014]")) << s.error();
        EXPECT_GE(stopper.calls, stop_at);
        ASSERT_EQ(0, ZTC_SetWaitHandler(&s.s, nullptr, nullptr, 100));
        EXPECT_EQ("0", query_text(s, "select count(*) from b_stopped"));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, BatchPath, ::testing::ValuesIn(kPaths),
                         [](const auto &info) { return std::string(info.param.name); });

// A view refuses COPY: the batch falls back to the pipeline, in autocommit mode and inside a
// transaction (where the refused COPY must not abort the caller's transaction).
TEST(Batch, ViewTargetFallsBack)
{
    Session s;
    s.run("drop view if exists b_view");
    s.run("drop table if exists b_base");
    s.run("create table b_base (id int primary key, v text)");
    s.run("create view b_view as select id, v from b_base");
    auto v = Column::texts({"a", "b", "c"});
    EXPECT_EQ(3, run_batch(s, "insert into b_view values (?, ?)",
                           {Column::fixed(6, ids({1, 2, 3})), v}))
        << s.error();
    s.run("set auto commit off");
    s.run("insert into b_base values (10, 'before')");
    EXPECT_EQ(3, run_batch(s, "INSERT INTO b_view (id, v) VALUES (?, ?);",
                           {Column::fixed(6, ids({4, 5, 6})), v}))
        << s.error();
    s.run("commit");
    s.run("set auto commit on");
    EXPECT_EQ("7", query_text(s, "select count(*) from b_base"));
    // A failing row through the fallback is still reported with its number.
    EXPECT_EQ(-1, run_batch(s, "insert into b_view values (?, ?)",
                            {Column::fixed(6, ids({20, 21, 1})), v}));
    EXPECT_EQ(0u, s.error().rfind("row 3: [23505]", 0)) << s.error();
    EXPECT_EQ("7", query_text(s, "select count(*) from b_base"));
}

// Any statement, not only INSERT, runs once per row; code-5 values fill a boolean column.
TEST(Batch, PipelineRunsAnyStatement)
{
    Session s;
    s.run("drop table if exists b_upd");
    s.run("create table b_upd (id int primary key, flag boolean, n int)");
    s.run("insert into b_upd select g, false, 0 from generate_series(1, 5000) g");
    std::vector<std::optional<int32_t>> flags;
    std::vector<std::optional<int64_t>> id;
    for (int i = 1; i <= 5000; ++i) {
        flags.push_back(i % 2);
        id.push_back(i);
    }
    EXPECT_EQ(5000, run_batch(s, "update b_upd set flag = ?, n = n + 1 where id = ?",
                              {Column::fixed(ZTC_TYPE_INTEGER, flags), Column::fixed(6, id)}))
        << s.error();
    EXPECT_EQ("2500|5000", query_text(s, "select count(*) filter (where flag) || '|' || sum(n) "
                                         "from b_upd"));
    // A row failing deep in a long pipeline is named, and every row before it is undone.
    s.run("alter table b_upd add check (n < 2 or id <> 3000)");
    EXPECT_EQ(-1, run_batch(s, "update b_upd set flag = ?, n = n + 1 where id = ?",
                            {Column::fixed(ZTC_TYPE_INTEGER, flags), Column::fixed(6, id)}));
    EXPECT_EQ(0u, s.error().rfind("row 3000: [23514]", 0)) << s.error();
    EXPECT_EQ("5000", query_text(s, "select sum(n) from b_upd"));
}

// Refusals before the server is asked anything.
struct RefusalCase {
    const char *name;
    std::vector<int> counts;    // values per column (integers)
    int rows;
    const char *sql;
    const char *message;
};

class BatchRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BatchRefusal, Refused)
{
    Session s;
    std::vector<Column> cols;
    for (int n : GetParam().counts)
        cols.push_back(Column::fixed(6, std::vector<std::optional<int64_t>>(n, 1)));
    EXPECT_EQ(-1, run_batch(s, GetParam().sql, cols, GetParam().rows));
    EXPECT_EQ(GetParam().message, s.error());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchRefusal,
    ::testing::Values(
        RefusalCase{"DifferentCounts", {3, 2}, 2, "insert into nope values (?, ?)",
                    "[07001] the columns of the batch hold different numbers of values "
                    "(parameter 1 has 3, parameter 2 has 2)"},
        RefusalCase{"MoreRowsThanValues", {2, 2}, 3, "insert into nope values (?, ?)",
                    "[07001] the batch has 3 rows but its columns hold 2 values"},
        RefusalCase{"TooFewColumns", {2}, 2, "insert into nope values (?, ?)",
                    "[07001] the statement has 2 parameter markers but 1 parameters are bound"},
        RefusalCase{"TooManyColumns", {2, 2}, 2, "insert into nope values (?)",
                    "[07001] the statement has 1 parameter markers but 2 parameters are bound"}),
    [](const auto &info) { return std::string(info.param.name); });

// A text with a zero byte cannot be stored: refused before anything runs, never cut.
TEST(Batch, ZeroByteInTextRefused)
{
    Session s;
    s.run("drop table if exists b_zero");
    s.run("create table b_zero (v text)");
    for (const char *sql : {"insert into b_zero values (?)", "insert into b_zero select ?"}) {
        EXPECT_EQ(-1, run_batch(s, sql, {Column::texts({"ok", std::string("a\0b", 3)})}));
        EXPECT_EQ("[22021] row 2: the text of parameter 1 contains a zero byte", s.error());
    }
    EXPECT_EQ("0", query_text(s, "select count(*) from b_zero"));
}

// Malformed array bindings are refused at the bind call.
TEST(Batch, BadArrayBindingsRefused)
{
    Session s;
    int lengths[2] = {3, 3};
    char packed[8] = {3, 0, 0, 0, 'a', 'b', 'c', 9};  // second row's length missing
    EXPECT_EQ(-1, ZTC_BindParamArrayByPos(&s.s, 1, 1, PARAM_INPUT, ZTC_TYPE_VARCHAR, 2, packed,
                                          8, lengths));
    EXPECT_EQ(0u, s.error().rfind("[22023] the packed values of parameter 1", 0)) << s.error();
    int64_t v[2] = {1, 2};
    EXPECT_EQ(-1, ZTC_BindParamArrayByPos(&s.s, 1, 1, PARAM_INPUT, ZTC_TYPE_BIGINT, 2, v, 3,
                                          lengths));
    EXPECT_EQ(-1, ZTC_BindParamArrayByPos(&s.s, 1, 1, PARAM_INPUT, 99, 2, v, 8, lengths));
    EXPECT_EQ("[22023] unsupported parameter type code 99", s.error());
    EXPECT_EQ(-1, ZTC_BindParamArrayByPos(&s.s, 1, 1, PARAM_OUTPUT, ZTC_TYPE_BIGINT, 2, v, 8,
                                          lengths));
    ZTC_HANDLE empty = nullptr;
    EXPECT_EQ(-1, ZTC_BindParamArrayByPos(&empty, 1, 1, PARAM_INPUT, ZTC_TYPE_BIGINT, 2, v, 8,
                                          lengths));
    EXPECT_EQ(-1, ZTC_ExecBatch(&empty, "insert into t values (?)", 2));
}

// ZTC_Reset drops array bindings; a batch of no rows does nothing.
TEST(Batch, ResetAndEmptyBatch)
{
    Session s;
    s.run("drop table if exists b_reset");
    s.run("create table b_reset (id bigint)");
    EXPECT_EQ(0, run_batch(s, "insert into b_reset values (?)", {Column::fixed(6, ids({}))}));
    std::vector<Column> cols = {Column::fixed(6, ids({1, 2}))};
    bind_columns(s, cols);
    ASSERT_EQ(0, ZTC_Reset(&s.s));
    EXPECT_EQ(-1, ZTC_ExecBatch(&s.s, "insert into b_reset values (?)", 2));
    EXPECT_EQ("[07001] the statement has 1 parameter markers but 0 parameters are bound",
              s.error());
    EXPECT_EQ("0", query_text(s, "select count(*) from b_reset"));
}

namespace {

std::string backend_pid(Session &s) { return query_text(s, "select pg_backend_pid()"); }

// The statement the server last ran for the session of that process (seen from another one).
std::string last_statement(const std::string &pid)
{
    Session other;
    return query_text(other, "select query from pg_stat_activity where pid = " + pid);
}

std::vector<std::optional<int64_t>> int64s(std::vector<std::optional<int64_t>> v) { return v; }

// One column type filled by a plain INSERT batch: the values bound (beside ids 1..n), how the
// rows must travel, and the stored values read back as text ("<NULL>" for NULL), or the message
// the batch fails with (and then nothing is stored).
struct CopyCase {
    const char *name;
    const char *type;
    Column values;
    bool binary;
    const char *expected;
    const char *timezone = "UTC";
};

void PrintTo(const CopyCase &c, std::ostream *os) { *os << c.name; }

class CopyFormat : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyFormat, StoresWhatTheTextWouldSay)
{
    const CopyCase &c = GetParam();
    Session s;
    s.run("drop table if exists b_fmt");
    s.run("drop domain if exists b_dom");
    s.run("create domain b_dom as int check (value > 0)");
    s.run(std::string("create table b_fmt (id int, v ") + c.type + ")");
    s.run(std::string("set time zone '") + c.timezone + "'");
    std::string pid = backend_pid(s);
    std::vector<std::optional<int32_t>> id;
    for (int i = 1; i <= c.values.n; ++i)
        id.push_back(i);
    int done = run_batch(s, "insert into b_fmt (id, v) values (?, ?)",
                         {Column::fixed(ZTC_TYPE_INTEGER, id), c.values});
    std::string copy = "COPY b_fmt (id, v) FROM STDIN";
    EXPECT_EQ(c.binary ? copy + " (FORMAT binary)" : copy, last_statement(pid));
    std::string stored = query_text(
        s, "select coalesce(string_agg(coalesce(v::text, '<NULL>'), '|' order by id), '') "
           "from b_fmt");
    if (done < 0) {
        EXPECT_EQ(0u, s.error().rfind(c.expected, 0)) << s.error();
        EXPECT_EQ("", stored);
    } else {
        EXPECT_EQ(c.values.n, done);
        EXPECT_EQ(c.expected, stored);
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const int64_t kMin64 = std::numeric_limits<int64_t>::min();
const int64_t kMax64 = std::numeric_limits<int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyFormat,
    ::testing::Values(
        // Binary forms, with NULLs of both kinds (length -1; length 0 in a fixed-size column).
        CopyCase{"Int2", "smallint", Column::fixed(6, int64s({-32768, 32767, std::nullopt, 0})),
                 true, "-32768|32767|<NULL>|0"},
        CopyCase{"Int4", "integer",
                 Column::fixed(6, int64s({INT32_MIN, INT32_MAX, std::nullopt})), true,
                 "-2147483648|2147483647|<NULL>"},
        CopyCase{"Int8", "bigint", Column::fixed(6, int64s({kMin64, kMax64, std::nullopt})), true,
                 "-9223372036854775808|9223372036854775807|<NULL>"},
        CopyCase{"Int2FromShorts", "smallint",
                 Column::fixed<int16_t>(ZTC_TYPE_SMALLINT, {-7, std::nullopt}), true, "-7|<NULL>"},
        CopyCase{"IntIntoFloat8", "double precision",
                 Column::fixed(6, int64s({9007199254740993, -3})), true, "9.007199254740992e+15|-3"},
        CopyCase{"IntIntoText", "text", Column::fixed(6, int64s({-42, std::nullopt})), true,
                 "-42|<NULL>"},
        CopyCase{"BoolFromBooleans", "boolean",
                 Column::fixed<char>(ZTC_TYPE_BOOLEAN, {'T', 'F', 1, 0, std::nullopt}), true,
                 "true|false|true|false|<NULL>"},
        CopyCase{"BoolFromZeroAndOne", "boolean",
                 Column::fixed<int32_t>(ZTC_TYPE_INTEGER, {1, 0, std::nullopt}), true,
                 "true|false|<NULL>"},
        CopyCase{"Float8", "double precision",
                 Column::fixed<double>(ZTC_TYPE_DOUBLE, {0.1, -0.0, 1e300, kNaN, std::nullopt}),
                 true, "0.1|-0|1e+300|NaN|<NULL>"},
        CopyCase{"Float4", "real",
                 Column::fixed<float>(ZTC_TYPE_FLOAT, {0.1f, -1.5f, std::nullopt}), true,
                 "0.1|-1.5|<NULL>"},
        CopyCase{"DoubleIntoFloat4", "real",
                 Column::fixed<double>(ZTC_TYPE_DOUBLE, {0.1, 16777217.0, kNaN}), true,
                 "0.1|1.6777216e+07|NaN"},
        CopyCase{"FloatIntoFloat8", "double precision",
                 Column::fixed<float>(ZTC_TYPE_FLOAT, {0.1f, std::nullopt}), true, "0.1|<NULL>"},
        CopyCase{"Text", "text",
                 Column::texts({"tab\tnew\nline\\", "\\N", "", "é€😀", std::nullopt}), true,
                 "tab\tnew\nline\\|\\N||é€😀|<NULL>"},
        CopyCase{"Varchar", "varchar(5)", Column::texts({"abcde", "ab ", std::nullopt}), true,
                 "abcde|ab |<NULL>"},
        CopyCase{"Bpchar", "char(4)", Column::texts({"ab", "abcd", "ab   ", std::nullopt}), true,
                 "ab|abcd|ab|<NULL>"},
        CopyCase{"Bytea", "bytea",
                 Column::texts({std::string("a\0\\\xff", 4), "", std::nullopt}, ZTC_TYPE_BINARY),
                 true, "\\x61005cff|\\x|<NULL>"},
        CopyCase{"Date", "date",
                 Column::texts({"0005-03-07", "1969-12-31", "1999-12-31", "2000-01-01",
                                "2024-02-29", "9999-12-31", std::nullopt},
                               ZTC_TYPE_DATETIME_TEXT),
                 true, "0005-03-07|1969-12-31|1999-12-31|2000-01-01|2024-02-29|9999-12-31|<NULL>"},
        CopyCase{"Timestamp", "timestamp",
                 Column::texts({"2024-01-05 07:08:09.000123", "1999-12-31 23:59:59.999999",
                                "1969-07-20 20:17:40.000000", "0001-01-01 00:00:00.000000",
                                "9999-12-31 23:59:59.999999", "2000-02-29 12:00:00.5",
                                "2024-03-01", std::nullopt},
                               ZTC_TYPE_DATETIME_TEXT),
                 true,
                 "2024-01-05 07:08:09.000123|1999-12-31 23:59:59.999999|1969-07-20 20:17:40|"
                 "0001-01-01 00:00:00|9999-12-31 23:59:59.999999|2000-02-29 12:00:00.5|"
                 "2024-03-01 00:00:00|<NULL>"},
        CopyCase{"TimestampTz", "timestamptz",
                 Column::texts({"2024-01-05 07:08:09+05:30", "1960-06-01 00:00:00.25-08",
                                "1999-12-31 23:59:59.999999", std::nullopt}),
                 true,
                 "2024-01-05 01:38:09+00|1960-06-01 08:00:00.25+00|"
                 "1999-12-31 23:59:59.999999+00|<NULL>"},
        CopyCase{"AllNullIntoAnyType", "json",
                 Column::texts({std::nullopt, std::nullopt}, ZTC_TYPE_NULL), true,
                 "<NULL>|<NULL>"},
        // A value that does not fit its column fails the batch with the server's message.
        CopyCase{"Int2OutOfRange", "smallint", Column::fixed(6, int64s({1, 32768})), false,
                 "row 2: [22003] value \"32768\" is out of range for type smallint"},
        CopyCase{"Int4OutOfRange", "integer", Column::fixed(6, int64s({INT32_MIN - 1LL, 1})),
                 false, "row 1: [22003] value \"-2147483649\" is out of range for type integer"},
        CopyCase{"IntNotABoolean", "boolean", Column::fixed<int32_t>(ZTC_TYPE_INTEGER, {1, 2}),
                 false, "row 2: [22P02] invalid input syntax for type boolean: \"2\""},
        CopyCase{"DoubleBeyondFloat4", "real",
                 Column::fixed<double>(ZTC_TYPE_DOUBLE, {1.0, 1e300}), false,
                 "row 2: [22003] \"1e+300\" is out of range for type real"},
        CopyCase{"TextTooLong", "varchar(3)", Column::texts({"abc", "abcd"}), true,
                 "row 2: [22001] value too long for type character varying(3)"},
        CopyCase{"BadDate", "date", Column::texts({"2024-01-01", "2023-02-29"}), false,
                 "row 2: [22008] date/time field value out of range: \"2023-02-29\""},
        CopyCase{"DomainCheck", "b_dom", Column::fixed(6, int64s({1, -1})), false,
                 "row 2: [23514] value for domain b_dom violates check constraint"},
        // Types and texts the binary form does not carry: the whole batch goes as text.
        CopyCase{"Numeric", "numeric", Column::texts({"1.50", std::nullopt}, ZTC_TYPE_NUMERIC),
                 false, "1.50|<NULL>"},
        CopyCase{"Json", "jsonb", Column::texts({"{\"a\": 1}"}), false, "{\"a\": 1}"},
        CopyCase{"Time", "time", Column::texts({"04:05:06.000007"}), false, "04:05:06.000007"},
        CopyCase{"TextIntoInt", "integer", Column::texts({" 12 "}), false, "12"},
        CopyCase{"TimestampOtherShape", "timestamp",
                 Column::texts({"2024-01-05 07:08:09", "2024-01-05T07:08:09.1234567",
                                "2024-01-05 24:00:00"}),
                 false, "2024-01-05 07:08:09|2024-01-05 07:08:09.123457|2024-01-06 00:00:00"},
        CopyCase{"TimestampWithOffset", "timestamp", Column::texts({"2024-01-05 07:08:09+02"}),
                 false, "2024-01-05 07:08:09"},
        // Outside UTC a timestamptz text without offset is local time: the server reads it.
        CopyCase{"TimestampTzOutsideUtc", "timestamptz",
                 Column::texts({"2024-01-05 07:08:09", "2024-07-05 07:08:09+00"}), false,
                 "2024-01-05 07:08:09+01|2024-07-05 09:08:09+02", "Europe/Paris"},
        CopyCase{"DateFromTimestamp", "date", Column::texts({"2024-01-05 07:08:09.000000"}),
                 false, "2024-01-05"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// Column lists with quoted and upper-case names, in any order, and a table with a generated
// column filled without a list, all go binary into the right columns.
TEST(Batch, BinaryCopyFindsTheColumns)
{
    Session s;
    s.run("drop table if exists \"B Mixed\"");
    s.run("create table \"B Mixed\" (id int, \"Name \"\"x\"\"\" text, flag boolean, "
          "twice int generated always as (id * 2) stored)");
    std::string copy_binary_tail = " FROM STDIN (FORMAT binary)";
    std::string pid = backend_pid(s);
    EXPECT_EQ(2, run_batch(s, "insert into public.\"B Mixed\" (FLAG, \"Name \"\"x\"\"\", ID) "
                              "values (?, ?, ?)",
                           {Column::fixed<char>(ZTC_TYPE_BOOLEAN, {'T', 'F'}),
                            Column::texts({"a", "b"}), Column::fixed(6, ids({1, 2}))}))
        << s.error();
    std::string last = last_statement(pid);
    EXPECT_EQ(copy_binary_tail, last.substr(last.size() - copy_binary_tail.size())) << last;
    EXPECT_EQ(2, run_batch(s, "insert into \"B Mixed\" values (?, ?, ?)",
                           {Column::fixed(6, ids({3, 4})), Column::texts({"c", "d"}),
                            Column::fixed<char>(ZTC_TYPE_BOOLEAN, {'T', 'T'})}))
        << s.error();
    // An INSERT without a column list copies into the columns it fills, named.
    EXPECT_EQ("COPY \"B Mixed\" (id,\"Name \"\"x\"\"\",flag)" + copy_binary_tail,
              last_statement(pid));
    EXPECT_EQ("1,a,t,2|2,b,f,4|3,c,t,6|4,d,t,8",
              query_text(s, "select string_agg(concat_ws(',', id, \"Name \"\"x\"\"\", flag, "
                            "twice), '|' order by id) from \"B Mixed\""));
    // A list naming a missing column goes as text and fails as COPY says.
    EXPECT_EQ(-1, run_batch(s, "insert into \"B Mixed\" (id, nope) values (?, ?)",
                            {Column::fixed(6, ids({5})), Column::texts({"e"})}));
    EXPECT_EQ(0u, s.error().rfind("[42703]", 0)) << s.error();
}

// A binary batch longer than one send buffer: every row arrives, and a row failing deep inside
// it is named while nothing of the batch remains.
TEST(Batch, LongBinaryBatch)
{
    Session s;
    s.run("drop table if exists b_long");
    s.run("create table b_long (id bigint primary key, f float8, t text, ts timestamp)");
    const int n = 20000;
    std::vector<std::optional<int64_t>> id;
    std::vector<std::optional<double>> f;
    std::vector<std::optional<std::string>> t, ts;
    for (int i = 0; i < n; ++i) {
        id.push_back(i);
        f.push_back(i / 7.0);
        t.push_back("text " + std::to_string(i));
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%4d-01-01 00:00:%02d.%06d", 1900 + i % 200, i % 60, i);
        ts.push_back(i % 1000 ? std::optional<std::string>(stamp) : std::nullopt);
    }
    auto columns = [&] {
        return std::vector<Column>{Column::fixed(6, id), Column::fixed(ZTC_TYPE_DOUBLE, f),
                                   Column::texts(t), Column::texts(ts)};
    };
    std::string pid = backend_pid(s);
    ASSERT_EQ(n, run_batch(s, "insert into b_long values (?, ?, ?, ?)", columns())) << s.error();
    EXPECT_EQ("COPY b_long (id,f,t,ts) FROM STDIN (FORMAT binary)", last_statement(pid));
    EXPECT_EQ("20000|199990000|20|2099-01-01 00:00:59.019799",
              query_text(s, "select count(*) || '|' || sum(id) || '|' || count(*) filter "
                            "(where ts is null) || '|' || max(ts) from b_long"));
    EXPECT_EQ("t", query_text(s, "select bool_and(f = id / 7.0::float8 and t = 'text ' || id) "
                                 "from b_long"));
    s.run("truncate b_long");
    id[14999] = 3;
    EXPECT_EQ(-1, run_batch(s, "insert into b_long values (?, ?, ?, ?)", columns()));
    EXPECT_EQ(0u, s.error().rfind("row 15000: [23505]", 0)) << s.error();
    EXPECT_EQ("0", query_text(s, "select count(*) from b_long"));
}
