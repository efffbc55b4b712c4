// Server types against a real server: column OIDs and element types, catalog entries, typed
// bindings in execution, prepared runs, procedure calls and batches.
#include <cstring>

#include "it_common.h"

using namespace zt_it;

namespace {

struct ColumnType {
    unsigned oid = 0;
    unsigned element = 0;
};

ColumnType column_type(Session &s, const std::string &sql)
{
    Result r;
    int cols = 0, affected = 0;
    int64_t rows = 0;
    ColumnType t;
    EXPECT_EQ(0, ZTC_ExecwithDataReader(&s.s, sql.c_str(), &r.r, &cols, &rows, &affected))
        << s.error();
    EXPECT_EQ(0, ZTC_getResultcolServerType(&r.r, 1, &t.oid, &t.element));
    return t;
}

}  // namespace

// Every built-in array the library knows by number has the element type pg_type gives it,
// and every built-in array of the catalog with a readable element is in the table.
TEST(ServerType, BuiltinArrayElementsMatchTheCatalog)
{
    Session s;
    Result r;
    int cols = 0, affected = 0;
    int64_t rows = 0;
    ASSERT_EQ(0, ZTC_ExecwithDataReader(
                     &s.s,
                     "SELECT a.oid::int8, a.typelem::int8 FROM pg_type a JOIN pg_type e "
                     "ON e.oid = a.typelem WHERE a.typcategory = 'A' AND a.oid < 16384 "
                     "AND e.typtype IN ('b', 'r', 'm') ORDER BY 1",
                     &r.r, &cols, &rows, &affected))
        << s.error();
    int checked = 0;
    while (ZTC_ReadNext(&r.r) == 0) {
        int64_t array = 0, element = 0;
        int length = 0;
        ASSERT_EQ(0, ZTC_GetData(&r.r, 1, ZTC_TYPE_BIGINT, &array, 8, &length));
        ASSERT_EQ(0, ZTC_GetData(&r.r, 2, ZTC_TYPE_BIGINT, &element, 8, &length));
        std::string sql = "SELECT NULL::pg_catalog." +
                          query_text(s, "SELECT typname FROM pg_type WHERE oid = " +
                                            std::to_string(array));
        // Every array the table names must agree; pseudo and internal ones may be absent.
        ColumnType t = column_type(s, sql);
        EXPECT_EQ(static_cast<unsigned>(array), t.oid) << sql;
        if (t.element != 0) {
            EXPECT_EQ(static_cast<unsigned>(element), t.element) << sql;
        }
        checked += t.element != 0;
    }
    EXPECT_GE(checked, 50);
}

struct ServerColumnCase {
    const char *sql;
    unsigned oid;
    unsigned element;
};

class ServerColumnTypes : public ::testing::TestWithParam<ServerColumnCase> {};

TEST_P(ServerColumnTypes, ReportOidAndElement)
{
    Session s;
    s.run("DROP DOMAIN IF EXISTS it_posint; CREATE DOMAIN it_posint AS int4 CHECK (VALUE > 0)");
    ColumnType t = column_type(s, GetParam().sql);
    EXPECT_EQ(GetParam().oid, t.oid) << GetParam().sql;
    EXPECT_EQ(GetParam().element, t.element) << GetParam().sql;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerColumnTypes,
    ::testing::Values(ServerColumnCase{"SELECT '{1,2}'::int4[]", 1007, 23},
                      ServerColumnCase{"SELECT '{}'::text[]", 1009, 25},
                      ServerColumnCase{"SELECT '{}'::jsonb[]", 3807, 3802},
                      ServerColumnCase{"SELECT '[1,2)'::int4range", 3904, 0},
                      ServerColumnCase{"SELECT '{}'::uuid[]", 2951, 2950},
                      ServerColumnCase{"SELECT '{\"a\": 1}'::jsonb", 3802, 0},
                      ServerColumnCase{"SELECT 5::it_posint", 23, 0},
                      ServerColumnCase{"SELECT '10.0.0.1'::inet", 869, 0}));

TEST(ServerType, CatalogEntriesAreKeptPerSession)
{
    Session s;
    s.run("DROP TYPE IF EXISTS it_mood; CREATE TYPE it_mood AS ENUM ('sad', 'ok')");
    std::string oid_text = query_text(s, "SELECT 'it_mood'::regtype::oid");
    unsigned oid = static_cast<unsigned>(std::stoul(oid_text));
    ZTC_SERVERTYPE t;
    ASSERT_EQ(0, ZTC_GetServerType(&s.s, oid, &t)) << s.error();
    EXPECT_STREQ("it_mood", t.name);
    EXPECT_EQ('e', t.kind);
    EXPECT_EQ(0u, t.element);
    ASSERT_NE(0u, t.array);
    ZTC_SERVERTYPE a;
    ASSERT_EQ(0, ZTC_GetServerType(&s.s, t.array, &a)) << s.error();
    EXPECT_EQ(oid, a.element);
    EXPECT_EQ(',', a.delimiter);
    // Kept: a failed transaction does not stop a type already looked up.
    s.run("set auto commit off");
    EXPECT_NE(0, ZTC_Execute_no_query(&s.s, "SELECT 1/0"));
    EXPECT_EQ(0, ZTC_GetServerType(&s.s, oid, &t));
    ZTC_SERVERTYPE box;
    EXPECT_EQ(-1, ZTC_GetServerType(&s.s, 603, &box));
    EXPECT_NE(std::string::npos, s.error().find("25P02")) << s.error();
    s.run("rollback");
    ASSERT_EQ(0, ZTC_GetServerType(&s.s, 1020, &box)) << s.error();
    EXPECT_EQ(';', box.delimiter);
    EXPECT_EQ(603u, box.element);
    EXPECT_EQ(ZTC_NO_MORE, ZTC_GetServerType(&s.s, 4000000000u, &box));
}

struct ServerTypedCase {
    unsigned oid;
    int format;
    std::string value;
    const char *expect;  // pg_typeof and the text the server reads
};

class ServerTypedBindings : public ::testing::TestWithParam<ServerTypedCase> {};

// Each value goes with its type in the execution, prepared and procedure paths.
TEST_P(ServerTypedBindings, ReachTheServerTyped)
{
    const ServerTypedCase &c = GetParam();
    Session s;
    s.run("CREATE OR REPLACE FUNCTION it_echo(v anyelement) RETURNS text LANGUAGE sql AS "
          "$$ SELECT pg_typeof(v)::text || ' ' || v::text $$");
    const char *const texts[] = {"SELECT pg_typeof(?)::text || ' ' || ?::text", nullptr};
    for (const char *sql : texts) {
        for (int run = 0; run < 4; ++run) {
            const char *text = sql ? sql : "SELECT it_echo(?)";
            ASSERT_EQ(0, ZTC_BindParamTyped(&s.s, 1, c.oid, c.format, c.value.data(),
                                            static_cast<int>(c.value.size())));
            if (sql) {
                ASSERT_EQ(0, ZTC_BindParamTyped(&s.s, 2, c.oid, c.format, c.value.data(),
                                                static_cast<int>(c.value.size())));
            }
            EXPECT_EQ(c.expect, query_text(s, text)) << text << " run " << run;
            ZTC_Reset(&s.s);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerTypedBindings,
    ::testing::Values(ServerTypedCase{3802, 0, "{\"a\": [1, null]}", "jsonb {\"a\": [1, null]}"},
                      ServerTypedCase{114, 0, "{\"a\":1}", "json {\"a\":1}"},
                      ServerTypedCase{1016, 0, "{1,NULL,3}", "bigint[] {1,NULL,3}"},
                      ServerTypedCase{1009, 0, "{\"a,b\",\"\\\"\"}", "text[] {\"a,b\",\"\\\"\"}"},
                      ServerTypedCase{2950, 1, std::string("\x12\x34\x56\x78\x9a\xbc\xde\xf0"
                                                     "\x01\x23\x45\x67\x89\xab\xcd\xef", 16),
                                "uuid 12345678-9abc-def0-0123-456789abcdef"},
                      ServerTypedCase{869, 0, "10.1.2.3/8", "inet 10.1.2.3/8"},
                      ServerTypedCase{3910, 0, "[2024-01-01 00:00:00+00,)",
                                "tstzrange [\"2024-01-01 00:00:00+00\",)"}));

TEST(ServerType, TypedTextRefusesAZeroByteAndBindsNull)
{
    Session s;
    const char bad[] = {'a', 0, 'b'};
    EXPECT_EQ(-1, ZTC_BindParamTyped(&s.s, 1, 25, 0, bad, 3));
    EXPECT_NE(std::string::npos, s.error().find("22021")) << s.error();
    ASSERT_EQ(0, ZTC_BindParamTyped(&s.s, 1, 3802, 0, nullptr, -1));
    EXPECT_EQ("jsonb", query_text(s, "SELECT pg_typeof(?)::text"));
    ZTC_Reset(&s.s);
    ASSERT_EQ(0, ZTC_BindParamTyped(&s.s, 1, 3802, 0, nullptr, -1));
    EXPECT_EQ("<NULL>", query_text(s, "SELECT ?"));
}

// A batch column of texts typed jsonb: the statement path sends it typed, COPY stores it.
TEST(ServerType, ArrayServerTypeInBothBatchPaths)
{
    Session s;
    s.run("DROP TABLE IF EXISTS it_typed; CREATE TABLE it_typed (j jsonb, t text)");
    std::string packed;
    for (const char *v : {"{\"k\": 1}", "[1, 2]"}) {
        int32_t n = static_cast<int32_t>(std::strlen(v));
        packed.append(reinterpret_cast<const char *>(&n), 4);
        packed.append(v);
    }
    int lengths[2] = {8, 6};
    for (const char *sql : {"INSERT INTO it_typed (j) VALUES (?)",
                            "UPDATE it_typed SET t = jsonb_typeof(?) || t"}) {
        ASSERT_EQ(0, ZTC_BindParamArrayByPos(&s.s, 1, 1, PARAM_INPUT, ZTC_TYPE_VARCHAR, 2,
                                             packed.data(), static_cast<int>(packed.size()),
                                             lengths));
        ASSERT_EQ(0, ZTC_SetArrayServerType(&s.s, 1, 3802)) << s.error();
        if (std::strncmp(sql, "UPDATE", 6) == 0)
            s.run("UPDATE it_typed SET t = ''");
        EXPECT_LE(0, ZTC_ExecBatch(&s.s, sql, 2)) << s.error();
        ZTC_Reset(&s.s);
    }
    EXPECT_EQ("2", query_text(s, "SELECT count(*) FROM it_typed WHERE jsonb_typeof(j) IN "
                                 "('object', 'array')"));
    EXPECT_EQ("arrayobject", query_text(s, "SELECT min(t) FROM it_typed"));
    EXPECT_EQ(-1, ZTC_SetArrayServerType(&s.s, 3, 25));
    EXPECT_NE(std::string::npos, s.error().find("07001")) << s.error();
}
