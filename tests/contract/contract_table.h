// The contract table: one scripted sequence of library calls and the outcome each must have,
// run against the real library under a throwaway server (zotusql/tests/it_contract.cpp) and
// against the test double (tests/contract/double_contract.cpp). Whatever the driver's unit
// tests learn from the double therefore holds for the library too, for these calls.
//
// A backend gives a session and makes the next ZTC_ExecwithDataReader of a query produce the
// given result: the library runs the query's SQL; the double is scripted with its columns and
// rows. Every check after that is the same code on both sides.
#ifndef ZT_CONTRACT_TABLE_H
#define ZT_CONTRACT_TABLE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ZTCsql.h"

namespace zt_contract {

struct Column {
    const char *name;
    int code;
    int modifier;
};

// A value of a row: NULL, or the value in its column's code (integer, real, text or boolean).
struct Cell {
    enum Kind { Null, Int, Real, Text, Bool } kind;
    int64_t i = 0;
    double d = 0;
    const char *text = "";
};

inline Cell null_cell() { return Cell{Cell::Null}; }
inline Cell int_cell(int64_t v) { Cell c{Cell::Int}; c.i = v; return c; }
inline Cell real_cell(double v) { Cell c{Cell::Real}; c.d = v; return c; }
inline Cell text_cell(const char *v) { Cell c{Cell::Text}; c.text = v; return c; }
inline Cell bool_cell(bool v) { Cell c{Cell::Bool}; c.i = v; return c; }

struct Query {
    const char *sql;
    std::vector<Column> columns;
    std::vector<std::vector<Cell>> rows;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual ZTC_HANDLE *session() = 0;
    // The next ZTC_ExecwithDataReader of q.sql gives q's result.
    virtual void expect_query(const Query &q) = 0;
};

// Two rows of every kind of column the driver reads through views and fixed-size codes.
inline Query mixed_query()
{
    return Query{
        "select * from (values (7, 'x'::varchar(5), null::bigint, 2.5::float8, true, 'Abc'::text),"
        " (-1, ''::varchar(5), 5::bigint, -0.5::float8, false, null::text)) v(a, b, c, d, e, \"Mixed\")",
        {{"a", ZTC_TYPE_INTEGER, 4},
         {"b", ZTC_TYPE_VARCHAR, 5},
         {"c", ZTC_TYPE_BIGINT, 8},
         {"d", ZTC_TYPE_DOUBLE, 8},
         {"e", ZTC_TYPE_BOOLEAN, 1},
         {"Mixed", ZTC_TYPE_VARCHAR, -1}},
        {{int_cell(7), text_cell("x"), null_cell(), real_cell(2.5), bool_cell(true), text_cell("Abc")},
         {int_cell(-1), text_cell(""), int_cell(5), real_cell(-0.5), bool_cell(false), null_cell()}},
    };
}

inline void run_query(Backend &b, const Query &q, ZTC_HANDLE &r)
{
    b.expect_query(q);
    int cols = 0;
    int64_t rows = 0;
    int affected = 0;
    ASSERT_EQ(0, ZTC_ExecwithDataReader(b.session(), q.sql, &r, &cols, &rows, &affected));
    EXPECT_EQ(static_cast<int>(q.columns.size()), cols);
    EXPECT_EQ(static_cast<int64_t>(q.rows.size()), rows);
}

// Columns: count, class, names, codes, modifiers, lookup by name; a column outside the
// result is refused by every column call.
inline void check_columns(Backend &b)
{
    const Query q = mixed_query();
    ZTC_HANDLE r = nullptr;
    run_query(b, q, r);
    int sql_type = 0, fieldnum = 0, nrows = 0, affected = -1;
    ASSERT_EQ(0, ZTC_getResultRet(&r, &sql_type, &fieldnum, &nrows, &affected, nullptr));
    EXPECT_EQ(ZTC_SQL_QUERY, sql_type);
    EXPECT_EQ(static_cast<int>(q.columns.size()), fieldnum);
    EXPECT_EQ(static_cast<int>(q.rows.size()), nrows);
    int count = 0;
    ASSERT_EQ(0, ZTC_getResultColumnsnum(&r, &count));
    EXPECT_EQ(static_cast<int>(q.columns.size()), count);
    for (size_t c = 0; c < q.columns.size(); ++c) {
        const int col = static_cast<int>(c) + 1;
        char name[256] = {0};
        int code = -1, modifier = -2;
        ASSERT_EQ(0, ZTC_getResultcolname(&r, col, name));
        ASSERT_EQ(0, ZTC_getResultcolType(&r, col, &code));
        ASSERT_EQ(0, ZTC_getResultcolmodi(&r, col, &modifier));
        EXPECT_STREQ(q.columns[c].name, name);
        EXPECT_EQ(q.columns[c].code, code) << name;
        EXPECT_EQ(q.columns[c].modifier, modifier) << name;
    }
    static const struct {
        const char *name;
        int col;
    } lookups[] = {{"a", 1}, {"E", 5}, {"Mixed", 6}, {"mixed", 6}, {"nope", 0}};
    for (const auto &l : lookups)
        EXPECT_EQ(l.col, ZTC_getResultcolseq(&r, l.name)) << l.name;
    for (int col : {0, 7, -1}) {
        char name[256];
        int v = 0;
        EXPECT_EQ(-1, ZTC_getResultcolname(&r, col, name)) << col;
        EXPECT_EQ(-1, ZTC_getResultcolType(&r, col, &v)) << col;
        EXPECT_EQ(-1, ZTC_getResultcolmodi(&r, col, &v)) << col;
    }
    EXPECT_EQ(0, ZTC_FreeRowset(&r));
    EXPECT_EQ(nullptr, r);
}

// One value read with ZTC_GetData in its column's own code: NULL as length -1, numbers in
// their fixed size, texts whole and zero-terminated, booleans as 'T' / 'F'.
inline void check_value(ZTC_HANDLE &r, int col, const Column &column, const Cell &cell)
{
    char buffer[64];
    std::memset(buffer, 0x55, sizeof buffer);
    int length = 0;
    ASSERT_EQ(0, ZTC_GetData(&r, col, column.code, buffer, sizeof buffer, &length)) << column.name;
    switch (cell.kind) {
    case Cell::Null:
        EXPECT_EQ(-1, length) << column.name;
        break;
    case Cell::Int:
        if (column.code == ZTC_TYPE_INTEGER) {
            int32_t v;
            std::memcpy(&v, buffer, 4);
            EXPECT_EQ(4, length);
            EXPECT_EQ(cell.i, v) << column.name;
        } else {
            int64_t v;
            std::memcpy(&v, buffer, 8);
            EXPECT_EQ(8, length);
            EXPECT_EQ(cell.i, v) << column.name;
        }
        break;
    case Cell::Real: {
        double v;
        std::memcpy(&v, buffer, 8);
        EXPECT_EQ(8, length);
        EXPECT_EQ(cell.d, v) << column.name;
        break;
    }
    case Cell::Text:
        EXPECT_EQ(static_cast<int>(std::strlen(cell.text)), length) << column.name;
        EXPECT_STREQ(cell.text, buffer) << column.name;
        break;
    case Cell::Bool:
        EXPECT_EQ(1, length);
        EXPECT_EQ(cell.i ? 'T' : 'F', buffer[0]) << column.name;
        break;
    }
}

// The row view of one value: NULL as a null text with length -1; numbers and booleans
// decoded; texts as their bytes.
inline void check_view(const ZTC_ROWVALUE &v, const Column &column, const Cell &cell)
{
    switch (cell.kind) {
    case Cell::Null:
        EXPECT_EQ(nullptr, v.text) << column.name;
        EXPECT_EQ(-1, v.length) << column.name;
        break;
    case Cell::Int:
    case Cell::Bool:
        EXPECT_EQ(1, v.decoded) << column.name;
        EXPECT_EQ(cell.i, v.integer) << column.name;
        break;
    case Cell::Real:
        EXPECT_EQ(1, v.decoded) << column.name;
        EXPECT_EQ(cell.d, v.real) << column.name;
        break;
    case Cell::Text:
        ASSERT_NE(nullptr, v.text) << column.name;
        EXPECT_EQ(static_cast<int>(std::strlen(cell.text)), v.length) << column.name;
        EXPECT_EQ(std::string(cell.text), std::string(v.text, static_cast<size_t>(v.length)));
        break;
    }
}

// Rows: no value before the first row or after the last; every value by ZTC_GetData and by
// its view; ZTC_NO_MORE after the last row, and again after that.
inline void check_rows(Backend &b)
{
    const Query q = mixed_query();
    ZTC_HANDLE r = nullptr;
    run_query(b, q, r);
    const int ncols = static_cast<int>(q.columns.size());
    std::vector<ZTC_ROWVALUE> views(q.columns.size() + 1);
    char buffer[16];
    int length = 0;
    EXPECT_EQ(-1, ZTC_GetData(&r, 1, ZTC_TYPE_INTEGER, buffer, sizeof buffer, &length));
    EXPECT_EQ(-1, ZTC_GetRowValues(&r, views.data(), ncols));
    for (const auto &row : q.rows) {
        ASSERT_EQ(0, ZTC_ReadNext(&r));
        for (int c = 0; c < ncols; ++c)
            check_value(r, c + 1, q.columns[static_cast<size_t>(c)], row[static_cast<size_t>(c)]);
        ASSERT_EQ(0, ZTC_GetRowValues(&r, views.data(), ncols));
        for (int c = 0; c < ncols; ++c)
            check_view(views[static_cast<size_t>(c)], q.columns[static_cast<size_t>(c)],
                       row[static_cast<size_t>(c)]);
        EXPECT_EQ(0, ZTC_GetRowValues(&r, views.data(), 2));  // the first values only
        EXPECT_EQ(-1, ZTC_GetRowValues(&r, views.data(), ncols + 1));
        EXPECT_EQ(-1, ZTC_GetData(&r, ncols + 1, ZTC_TYPE_VARCHAR, buffer, sizeof buffer,
                                  &length));
        EXPECT_EQ(-1, ZTC_GetData(&r, 0, ZTC_TYPE_VARCHAR, buffer, sizeof buffer, &length));
    }
    EXPECT_EQ(ZTC_NO_MORE, ZTC_ReadNext(&r));
    EXPECT_EQ(ZTC_NO_MORE, ZTC_ReadNext(&r));
    EXPECT_EQ(-1, ZTC_GetData(&r, 1, ZTC_TYPE_INTEGER, buffer, sizeof buffer, &length));
    EXPECT_EQ(-1, ZTC_GetRowValues(&r, views.data(), ncols));
    EXPECT_EQ(ZTC_NO_MORE, ZTC_NextResult(&r));
    EXPECT_EQ(0, ZTC_FreeRowset(&r));
}

// Bindings: positions and directions outside the interface are refused; a refused binding
// leaves the session usable.
inline void check_binding_refusals(Backend &b)
{
    int32_t v = 1;
    int length = 4;
    static const struct {
        int pos, direction, rc;
    } cases[] = {
        {1, PARAM_INPUT, 0},      {65535, PARAM_INPUT, 0}, {0, PARAM_INPUT, -1},
        {-3, PARAM_INPUT, -1},    {65536, PARAM_INPUT, -1}, {1, 4, -1},
        {1, 0, -1},               {2, PARAM_OUTPUT, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.rc, ZTC_BindParamByPos(b.session(), c.pos, c.direction, ZTC_TYPE_INTEGER, &v,
                                           4, &length))
            << c.pos << " " << c.direction;
    }
    EXPECT_EQ(0, ZTC_Reset(b.session()));
}

// Empty and stale handles: every call refuses them without touching anything.
inline void check_empty_handles()
{
    ZTC_HANDLE none = nullptr;
    char buffer[16];
    int length = 0, v = 0;
    ZTC_ROWVALUE views[1];
    EXPECT_EQ(-1, ZTC_ReadNext(&none));
    EXPECT_EQ(-1, ZTC_NextResult(&none));
    EXPECT_EQ(-1, ZTC_GetData(&none, 1, ZTC_TYPE_VARCHAR, buffer, sizeof buffer, &length));
    EXPECT_EQ(-1, ZTC_GetRowValues(&none, views, 1));
    EXPECT_EQ(-1, ZTC_getResultColumnsnum(&none, &v));
    EXPECT_EQ(-1, ZTC_getResultcolType(&none, 1, &v));
    EXPECT_EQ(-1, ZTC_getResultRet(&none, &v, &v, &v, &v, nullptr));
    EXPECT_EQ(0, ZTC_FreeRowset(&none));
    EXPECT_EQ(0, ZTC_FreeRowset(nullptr));
    EXPECT_EQ(-1, ZTC_BindParamByPos(&none, 1, PARAM_INPUT, ZTC_TYPE_INTEGER, &v, 4, &length));
}

}  // namespace zt_contract

// The table, for a test suite whose fixture `Fixture` has a `backend` member.
#define ZT_CONTRACT_TESTS(Fixture)                                                      \
    TEST_F(Fixture, Columns) { zt_contract::check_columns(backend); }                  \
    TEST_F(Fixture, Rows) { zt_contract::check_rows(backend); }                        \
    TEST_F(Fixture, BindingRefusals) { zt_contract::check_binding_refusals(backend); } \
    TEST_F(Fixture, EmptyHandles) { zt_contract::check_empty_handles(); }

#endif
