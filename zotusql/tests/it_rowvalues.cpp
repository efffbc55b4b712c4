// Row views (ZTC_GetRowValues) against ZTC_GetData on the same values: the view's text is what
// code 2 writes, its decoded number what the column's own code (71 for timestamps) writes, and
// a value that ZTC_GetData refuses is never decoded. Also rows of a streamed result that fill
// several blocks, read back whole.
#include <cmath>
#include <cstring>
#include <vector>

#include "it_common.h"

using namespace zt_it;

namespace {

struct ViewCase {
    const char *expr;   // one value, typed
};

// The text ZTC_GetData writes in code 2, or "<NULL>".
std::string text_of(Result &r, int col)
{
    std::vector<char> buf(8192);
    int len = 0;
    EXPECT_EQ(0, ZTC_GetData(&r.r, col, ZTC_TYPE_VARCHAR, buf.data(), (int)buf.size(), &len));
    return len < 0 ? "<NULL>" : std::string(buf.data(), (size_t)len);
}

}  // namespace

class RowViews : public ::testing::TestWithParam<ViewCase> {};

TEST_P(RowViews, AgreeWithValueByValueReads)
{
    Session s;
    Result r;
    int cols = 0, affected = 0;
    int64_t rows = 0;
    std::string sql = std::string("select ") + GetParam().expr;
    ASSERT_EQ(0, ZTC_ExecwithDataReader(&s.s, sql.c_str(), &r.r, &cols, &rows, &affected))
        << s.error();
    ASSERT_EQ(0, ZTC_ReadNext(&r.r));
    ZTC_ROWVALUE v;
    ASSERT_EQ(0, ZTC_GetRowValues(&r.r, &v, 1));
    int code = 0;
    ASSERT_EQ(0, ZTC_getResultcolType(&r.r, 1, &code));

    const std::string text = text_of(r, 1);
    if (text == "<NULL>") {
        EXPECT_EQ(nullptr, v.text);
        EXPECT_EQ(-1, v.length);
        EXPECT_EQ(0, v.decoded);
        return;
    }
    ASSERT_NE(nullptr, v.text) << sql;
    EXPECT_EQ(text, std::string(v.text, (size_t)v.length)) << sql;
    EXPECT_EQ('\0', v.text[v.length]) << sql;

    const int read_code = code == ZTC_TYPE_DATETIME_MS ? ZTC_TYPE_DATETIME_US : code;
    union {
        char b;
        int8_t i1;
        int16_t i2;
        int32_t i4;
        int64_t i8;
        float f4;
        double f8;
    } got{};
    int len = 0;
    const int rc = ZTC_GetData(&r.r, 1, read_code, &got, sizeof got, &len);
    switch (code) {
    case ZTC_TYPE_BOOLEAN:
        ASSERT_EQ(1, v.decoded);
        EXPECT_EQ(got.b == 'T', v.integer == 1) << sql;
        break;
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT:
    case ZTC_TYPE_DATETIME_MS:
        ASSERT_EQ(rc == 0, v.decoded == 1) << sql << ": " << s.error();
        if (rc == 0) {
            int64_t want = code == ZTC_TYPE_SMALLINT ? got.i2 : code == ZTC_TYPE_INTEGER ? got.i4
                                                                                       : got.i8;
            EXPECT_EQ(want, v.integer) << sql;
        }
        break;
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_DOUBLE: {
        ASSERT_EQ(rc == 0, v.decoded == 1) << sql;
        double want = code == ZTC_TYPE_FLOAT ? got.f4 : got.f8;
        if (std::isnan(want)) {
            EXPECT_TRUE(std::isnan(v.real)) << sql;
        } else {
            // Bit for bit: the sign of a zero counts.
            EXPECT_EQ(0, std::memcmp(&want, &v.real, sizeof want)) << sql << " " << v.real;
        }
        break;
    }
    default:
        EXPECT_EQ(0, v.decoded) << sql;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, RowViews,
    ::testing::Values(
        ViewCase{"true"}, ViewCase{"false"}, ViewCase{"null::boolean"},
        ViewCase{"(-32768)::smallint"}, ViewCase{"32767::smallint"},
        ViewCase{"(-2147483648)::integer"}, ViewCase{"2147483647::integer"},
        ViewCase{"(-9223372036854775808)::bigint"}, ViewCase{"9223372036854775807::bigint"},
        ViewCase{"0::bigint"}, ViewCase{"null::bigint"}, ViewCase{"4294967295::oid"},
        ViewCase{"0.0::float8"}, ViewCase{"'-0'::float8"}, ViewCase{"'NaN'::float8"},
        ViewCase{"'Infinity'::float8"}, ViewCase{"'-Infinity'::float8"},
        ViewCase{"1.7976931348623157e308::float8"}, ViewCase{"4.9e-324::float8"},
        ViewCase{"(1/7.0)::float8"}, ViewCase{"'-0'::real"}, ViewCase{"3.4028235e38::real"},
        ViewCase{"1.4e-45::real"}, ViewCase{"'NaN'::real"}, ViewCase{"(1/3.0)::real"},
        ViewCase{"'0001-01-01 00:00:00'::timestamp"},
        ViewCase{"'0001-01-01 00:00:00.000001'::timestamp"},
        ViewCase{"'9999-12-31 23:59:59.999999'::timestamp"},
        ViewCase{"'1969-12-31 23:59:59.999999'::timestamp"},
        ViewCase{"'0044-03-15 12:00 BC'::timestamp"}, ViewCase{"'infinity'::timestamp"},
        ViewCase{"'-infinity'::timestamp"}, ViewCase{"'99999-01-01'::timestamp"},
        ViewCase{"'2020-06-01 12:00:00.5+05:30:15'::timestamptz"},
        ViewCase{"'infinity'::timestamptz"}, ViewCase{"null::timestamp"},
        ViewCase{"'2000-01-01'::date"}, ViewCase{"'0044-03-15 BC'::date"},
        ViewCase{"'infinity'::date"}, ViewCase{"'12:34:56.789+05:30:15'::timetz"},
        ViewCase{"'24:00:00'::time"}, ViewCase{"'NaN'::numeric"}, ViewCase{"'-Infinity'::numeric"},
        ViewCase{"(repeat('9', 1000) || '.' || repeat('1', 999))::numeric"},
        ViewCase{"0.000000000000000000000000000001::numeric"}, ViewCase{"''::text"},
        ViewCase{"'a' || chr(8364) || 'b'"}, ViewCase{"'\\x00ff'::bytea"},
        ViewCase{"'1 year 2 days 00:00:01'::interval"}, ViewCase{"'{1,2}'::int[]"}));

// Rows of every shape (NULLs, empty texts, values larger than a block) streamed through several
// blocks come back in order, each exactly.
TEST(RowStore, ManyBlocksReadBackWhole)
{
    Session s;
    Result r;
    int cols = 0, affected = 0;
    int64_t rows = 0;
    const char *sql =
        "select g, case when g % 3 = 0 then null else repeat('x', g % 50) end, "
        "case when g % 20000 = 7 then repeat('y', 3000000) else '' end "
        "from generate_series(1, 60000) g";
    ASSERT_EQ(0, ZTC_ExecwithDataReader(&s.s, sql, &r.r, &cols, &rows, &affected)) << s.error();
    EXPECT_EQ(60000, rows);
    int32_t ok = 0;
    ZTC_ROWVALUE v[3];
    for (int g = 1; ZTC_ReadNext(&r.r) == 0; ++g) {
        ASSERT_EQ(0, ZTC_GetRowValues(&r.r, v, 3));
        bool same = v[0].decoded && v[0].integer == g;
        if (g % 3 == 0)
            same = same && v[1].text == nullptr && v[1].length == -1;
        else
            same = same && v[1].length == g % 50 && std::string(v[1].text, (size_t)v[1].length) ==
                                                        std::string((size_t)(g % 50), 'x');
        const size_t big = g % 20000 == 7 ? 3000000 : 0;
        same = same && v[2].text != nullptr && (size_t)v[2].length == big &&
               (big == 0 || (v[2].text[0] == 'y' && v[2].text[big - 1] == 'y'));
        ASSERT_TRUE(same) << "row " << g;
        ++ok;
    }
    EXPECT_EQ(60000, ok);
    EXPECT_EQ(-1, ZTC_GetRowValues(&r.r, v, 3));  // after the last row
}

// Rows without columns take no room in the store and are still counted and read.
TEST(RowStore, RowsWithoutColumns)
{
    Session s;
    Result r;
    int cols = -1, affected = 0;
    int64_t rows = 0;
    ASSERT_EQ(0, ZTC_ExecwithDataReader(&s.s, "select from generate_series(1, 3)", &r.r, &cols,
                                        &rows, &affected))
        << s.error();
    EXPECT_EQ(0, cols);
    EXPECT_EQ(3, rows);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, ZTC_ReadNext(&r.r));
    EXPECT_EQ(ZTC_NO_MORE, ZTC_ReadNext(&r.r));
}
