// ZTC_ReadColumns against the real server: the refusals made before any row is read, a value
// beyond its form failing with its row and column after the rows before it, and the call mixed
// with ZTC_ReadNext on one result.
#include <cstring>
#include <string>
#include <vector>

#include "it_common.h"

using namespace zt_it;

namespace {

// Runs `sql` into r; fails the test when it does not run.
void run(Session &s, Result &r, const char *sql)
{
    int cols = 0, affected = 0;
    int64_t rows = 0;
    ASSERT_EQ(0, ZTC_ExecwithDataReader(&s.s, sql, &r.r, &cols, &rows, &affected)) << s.error();
}

}  // namespace

struct BadColumnsCase {
    const char *name;
    int count;
    int form;
    bool values;
    bool nulls;
    bool offsets;
    int maxrows;
};

class ColumnsRefused : public ::testing::TestWithParam<BadColumnsCase> {};

TEST_P(ColumnsRefused, BeforeAnyRowIsRead)
{
    const BadColumnsCase &c = GetParam();
    Session s;
    Result r;
    run(s, r, "select 1::bigint");
    int64_t value = 0, offsets[2] = {0, 0};
    unsigned char null = 0;
    ZTC_COLUMNBUF col{c.form, c.values ? &value : nullptr, c.nulls ? &null : nullptr,
                      c.offsets ? offsets : nullptr, nullptr};
    int rows = -1;
    EXPECT_EQ(-1, ZTC_ReadColumns(&r.r, &col, c.count, c.maxrows, &rows)) << c.name;
    EXPECT_EQ(0, rows) << c.name;
    EXPECT_NE(std::string::npos, s.error().find("[HY000] ZTC_ReadColumns")) << s.error();
    // The row is still there to read.
    EXPECT_EQ(0, ZTC_ReadNext(&r.r)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Columns, ColumnsRefused,
    ::testing::Values(BadColumnsCase{"more columns than the result", 2, ZTC_FORM_INT64, true, true,
                                     false, 1},
                      BadColumnsCase{"unknown form", 1, 11, true, true, true, 1},
                      BadColumnsCase{"no values", 1, ZTC_FORM_INT64, false, true, false, 1},
                      BadColumnsCase{"no nulls", 1, ZTC_FORM_INT64, true, false, false, 1},
                      BadColumnsCase{"text without offsets", 1, ZTC_FORM_TEXT, true, true, false,
                                     1},
                      BadColumnsCase{"negative maxrows", 1, ZTC_FORM_INT64, true, true, false,
                                     -1}));

TEST(Columns, ValueBeyondItsFormFailsAfterTheRowsBeforeIt)
{
    Session s;
    Result r;
    run(s, r, "select g * 20000 from generate_series(1, 3) g");
    int16_t values[3] = {0, 0, 0};
    unsigned char nulls[3] = {9, 9, 9};
    ZTC_COLUMNBUF col{ZTC_FORM_INT16, values, nulls, nullptr, nullptr};
    int rows = -1;
    EXPECT_EQ(-1, ZTC_ReadColumns(&r.r, &col, 1, 3, &rows));
    EXPECT_EQ(1, rows);
    EXPECT_EQ(20000, values[0]);
    EXPECT_EQ(0, nulls[0]);
    EXPECT_NE(std::string::npos,
              s.error().find("[22023] row 2, column 1: the value \"40000\" does not read as a "
                             "16-bit integer"))
        << s.error();
}

TEST(Columns, MixWithRowReads)
{
    Session s;
    Result r;
    run(s, r, "select g, repeat('x', g) from generate_series(1, 5) g");
    ASSERT_EQ(0, ZTC_ReadNext(&r.r));
    int64_t ints[4];
    unsigned char nulls[2][4];
    int64_t offsets[5];
    ZTC_COLUMNBUF cols[2] = {{ZTC_FORM_INT64, ints, nulls[0], nullptr, nullptr},
                             {ZTC_FORM_TEXT, nullptr, nulls[1], offsets, nullptr}};
    int rows = 0;
    ASSERT_EQ(0, ZTC_ReadColumns(&r.r, cols, 2, 2, &rows)) << s.error();
    ASSERT_EQ(2, rows);
    EXPECT_EQ(2, ints[0]);
    EXPECT_EQ(3, ints[1]);
    EXPECT_EQ("xxxxx", std::string(cols[1].text, (size_t)offsets[2]));
    // The last row read is the current one.
    int64_t current = 0;
    int len = 0;
    ASSERT_EQ(0, ZTC_GetData(&r.r, 1, ZTC_TYPE_BIGINT, &current, 8, &len));
    EXPECT_EQ(3, current);
    ASSERT_EQ(0, ZTC_ReadColumns(&r.r, cols, 2, 4, &rows));
    EXPECT_EQ(2, rows);
    ASSERT_EQ(0, ZTC_ReadColumns(&r.r, cols, 2, 4, &rows));
    EXPECT_EQ(0, rows);
    EXPECT_EQ(ZTC_NO_MORE, ZTC_ReadNext(&r.r));
}
