// Sessions, connection texts, host lists, passwords, transactions and messages.
#include <cstring>

#include "it_common.h"

using namespace zt_it;

namespace {

// Sets up role pwuser with a known password (the test server asks pwuser for a password).
const char *kPassword = "Corr3ct;horse-battery";

void ensure_password_role()
{
    Session admin;
    admin.run("DO $$BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'pwuser') THEN "
              "CREATE ROLE pwuser LOGIN; END IF; END$$");
    admin.run(std::string("ALTER ROLE pwuser PASSWORD '") + kPassword + "'");
}

bool valid_utf8(const std::string &s)
{
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (!n || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
                return false;
        i += n;
    }
    return true;
}

}  // namespace

TEST(Session, OpenCloseAndEmptyHandles)
{
    ZTC_HANDLE s = nullptr;
    std::string text = conn_text();
    ASSERT_EQ(0, ZTC_OpenConn(text.c_str(), &s)) << last_error(s);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(0, ZTC_CloseConn(&s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(0, ZTC_CloseConn(&s));  // a second close is a no-op
    EXPECT_EQ(0, ZTC_CloseConn(nullptr));

    // Every call refuses an empty handle cleanly.
    ZTC_HANDLE r = nullptr;
    int cols, affected, type;
    int64_t rows;
    EXPECT_EQ(-1, ZTC_Execute_no_query(&s, "select 1"));
    EXPECT_EQ(-1, ZTC_ExecwithDataReader(&s, "select 1", &r, &cols, &rows, &affected));
    EXPECT_EQ(-1, ZTC_Prepare2(&s, "select 1", nullptr));
    EXPECT_EQ(-1, ZTC_Execute2(&s, nullptr, nullptr, &r));
    EXPECT_EQ(-1, ZTC_BindParamByPos(&s, 1, 1, 0, nullptr, 0, nullptr));
    EXPECT_EQ(-1, ZTC_Reset(&s));
    EXPECT_EQ(-1, ZTC_ReadNext(&r));
    EXPECT_EQ(-1, ZTC_NextResult(&r));
    EXPECT_EQ(-1, ZTC_getResultcolType(&r, 1, &type));
    EXPECT_EQ(-1, ZTC_GetData(&r, 1, 5, &type, 4, &cols));
    EXPECT_EQ(0, ZTC_FreeRowset(&r));
    EXPECT_EQ(0, ZTC_Distroy_Lob(&r));
    EXPECT_EQ(0, Release_IpsAttrs(&r));
    EXPECT_EQ("[HY000] no session", last_error(s));
}

// Malformed texts fail before contacting any server, with [08001], never showing the password.
class BadConnText : public ::testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(BadConnText, Refused)
{
    ZTC_HANDLE s = nullptr;
    EXPECT_EQ(-1, ZTC_OpenConn(GetParam().first, &s));
    std::string msg = last_error(s);
    EXPECT_EQ(0u, msg.rfind("[08001] ", 0)) << msg;
    EXPECT_NE(std::string::npos, msg.find(GetParam().second)) << msg;
    EXPECT_EQ(std::string::npos, msg.find("s3cr3tpw")) << msg;
    // A failed open still closes cleanly; nothing else works on it.
    ZTC_HANDLE r = nullptr;
    int c, a;
    int64_t n;
    EXPECT_EQ(-1, ZTC_ExecwithDataReader(&s, "select 1", &r, &c, &n, &a));
    EXPECT_EQ(0, ZTC_CloseConn(&s));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BadConnText,
    ::testing::Values(
        std::make_pair("IP=h; DB=d; USER=u; PWD=s3cr3tpw; PORT=70000; CHAR_SET=UTF8", "PORT"),
        std::make_pair("IP=h; DB=d; USER=u; PWD=s3cr3tpw; PORT=x1; CHAR_SET=UTF8", "PORT"),
        std::make_pair("IP=h; DB=d; USER=u; PWD=s3cr3tpw; PORT=5432; CHAR_SET=LATIN9", "CHAR_SET"),
        std::make_pair("IP=h; DB=d; USER=u; PWD=s3cr3tpw; PORT=5432", "CHAR_SET"),
        std::make_pair("IP=h; DB=d; USER=u; PWD=s3cr3tpw; PORT=5432; CHAR_SET=UTF8; SSLMODE=maybe", "SSLMODE"),
        std::make_pair("IP=h; DB=d; USER=u; PWD=s3cr3tpw; PORT=5432; CHAR_SET=UTF8; DSN=port", "DSN"),
        std::make_pair("IPS=h; DB=d; USER=u; PWD=s3cr3tpw; PORT=5432; CHAR_SET=UTF8", "IP")));

TEST(Session, CharsetNamesAccepted)
{
    for (const char *cs : {"UTF8", "utf-8", "GBK", "gb18030"}) {
        std::string text = conn_text();
        text.replace(text.find("CHAR_SET=UTF8"), 13, std::string("CHAR_SET=") + cs);
        ZTC_HANDLE s = nullptr;
        EXPECT_EQ(0, ZTC_OpenConn(text.c_str(), &s)) << cs << ": " << last_error(s);
        // Text still crosses as UTF-8.
        Result r;
        int c, a;
        int64_t n;
        ASSERT_EQ(0, ZTC_ExecwithDataReader(&s, "select 'ü€'", &r.r, &c, &n, &a));
        ASSERT_EQ(0, ZTC_ReadNext(&r.r));
        char buf[16] = {0};
        int len = 0;
        ASSERT_EQ(0, ZTC_GetData(&r.r, 1, 2, buf, 15, &len));
        EXPECT_STREQ("ü€", buf);
        ZTC_CloseConn(&s);
    }
}

TEST(Session, WrongPasswordNeverShown)
{
    ensure_password_role();
    const std::string wrong = "Wr0ng;pass-word";
    std::string text = conn_text(env("ZT_TEST_HOST"), "pwuser", wrong);
    ZTC_HANDLE s = nullptr;
    EXPECT_EQ(-1, ZTC_OpenConn(text.c_str(), &s));
    std::string msg = last_error(s);
    EXPECT_EQ(0u, msg.rfind("[08001] ", 0)) << msg;
    EXPECT_NE(std::string::npos, msg.find("password authentication failed")) << msg;
    EXPECT_EQ(std::string::npos, msg.find(wrong)) << msg;
    ZTC_CloseConn(&s);

    // The right one (with a ';' inside) opens the session.
    text = conn_text(env("ZT_TEST_HOST"), "pwuser", kPassword);
    EXPECT_EQ(0, ZTC_OpenConn(text.c_str(), &s)) << last_error(s);
    ZTC_CloseConn(&s);
}

TEST(Session, HostListSkipsHostsThatFail)
{
    for (const char *bad : {"no-such-host.invalid", "127.0.0.2"}) {
        std::string text = conn_text(std::string(bad) + "," + env("ZT_TEST_HOST"),
                                     env("ZT_TEST_USER"), "", "IPS");
        ZTC_HANDLE s = nullptr, attrs = nullptr;
        ASSERT_EQ(0, ZTC_OpenConn_Ips(text.c_str(), 1, &attrs, &s)) << last_error(s);
        EXPECT_NE(nullptr, attrs);
        EXPECT_EQ(0, Release_IpsAttrs(&attrs));
        EXPECT_EQ(nullptr, attrs);
        EXPECT_EQ(0, Release_IpsAttrs(&attrs));
        ZTC_CloseConn(&s);
    }
    // Every host failing: libpq's message under [08001].
    std::string text = conn_text("no-such-host.invalid,127.0.0.2", env("ZT_TEST_USER"), "pw12345",
                                 "IPS");
    ZTC_HANDLE s = nullptr, attrs = nullptr;
    EXPECT_EQ(-1, ZTC_OpenConn_Ips(text.c_str(), 1, &attrs, &s));
    EXPECT_EQ(nullptr, attrs);
    std::string msg = last_error(s);
    EXPECT_EQ(0u, msg.rfind("[08001] ", 0)) << msg;
    EXPECT_EQ(std::string::npos, msg.find("pw12345")) << msg;
    ZTC_CloseConn(&s);
}

TEST(Transactions, AutocommitByDefaultAndManualMode)
{
    Session a, b;
    a.run("create table if not exists tx_t(id int)");
    a.run("truncate tx_t");
    a.run("insert into tx_t values (1)");
    EXPECT_EQ("1", query_text(b, "select count(*) from tx_t"));  // committed on its own

    a.run("set auto commit off");
    a.run("insert into tx_t values (2)");
    EXPECT_EQ("1", query_text(b, "select count(*) from tx_t"));
    a.run("rollback;");
    EXPECT_EQ("1", query_text(a, "select count(*) from tx_t"));
    a.run("insert into tx_t values (3)");
    a.run("  COMMIT ; ");
    EXPECT_EQ("2", query_text(b, "select count(*) from tx_t"));
    a.run("commit");  // nothing open: a no-op
    a.run("rollback");

    // A COMMIT sent as SQL is seen: nothing is left to roll back.
    a.run("insert into tx_t values (4)");
    a.run("commit work");
    a.run("rollback");
    EXPECT_EQ("3", query_text(b, "select count(*) from tx_t"));

    // Back to autocommit commits the open transaction.
    a.run("insert into tx_t values (5)");
    a.run("Set Auto Commit On;");
    EXPECT_EQ("4", query_text(b, "select count(*) from tx_t"));
    a.run("drop table tx_t");
}

TEST(Transactions, StatementErrorInsideTransaction)
{
    Session s;
    s.run("create temp table te(id int primary key)");
    s.run("set auto commit off");
    s.run("insert into te values (1)");
    EXPECT_EQ(-1, ZTC_Execute_no_query(&s.s, "insert into te values (1)"));
    EXPECT_EQ(0u, s.error().rfind("[23505] duplicate key value", 0)) << s.error();
    // The server refuses further statements; the library does not roll back on its own.
    EXPECT_EQ(-1, ZTC_Execute_no_query(&s.s, "insert into te values (2)"));
    EXPECT_EQ(0u, s.error().rfind("[25P02] ", 0)) << s.error();
    // Committing a failed transaction rolls it back, and says so.
    EXPECT_EQ(-1, ZTC_Execute_no_query(&s.s, "commit"));
    EXPECT_EQ(0u, s.error().rfind("[40000] ", 0)) << s.error();
    EXPECT_EQ("0", query_text(s, "select count(*) from te"));
    s.run("rollback");

    s.run("insert into te values (7)");
    EXPECT_EQ(-1, ZTC_Execute_no_query(&s.s, "select 1/0"));
    EXPECT_EQ("[22012] division by zero", s.error());
    s.run("rollback");
    EXPECT_EQ("0", query_text(s, "select count(*) from te"));
}

TEST(Messages, CutAtCharacterBoundary)
{
    Session s;
    EXPECT_EQ(-1, ZTC_Execute_no_query(
                      &s.s, "DO $$BEGIN RAISE EXCEPTION '%', repeat('é', 300); END$$"));
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    int length = 0;
    ASSERT_EQ(0, ZTC_GetError(&s.s, buffer, &length));
    // "[P0001] " is 8 bytes, each é 2: the longest cut not splitting one is 254 bytes.
    EXPECT_EQ(254, length);
    EXPECT_EQ('\0', buffer[length]);
    std::string msg(buffer, length);
    EXPECT_EQ(0u, msg.rfind("[P0001] éé", 0));
    EXPECT_TRUE(valid_utf8(msg));

    EXPECT_EQ(-1, ZTC_Execute_no_query(&s.s, "select * from nope"));
    EXPECT_EQ("[42P01] relation \"nope\" does not exist", s.error());
}

TEST(Messages, ServerNoticesNeverPrinted)
{
    Session s;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    s.run("DO $$BEGIN RAISE NOTICE 'hello'; RAISE WARNING 'careful'; END$$");
    s.run("rollback");  // "no transaction in progress" is only a warning
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
}

TEST(Session, LostConnectionReported)
{
    Session victim, killer;
    std::string pid = query_text(victim, "select pg_backend_pid()");
    EXPECT_EQ("t", query_text(killer, "select pg_terminate_backend(" + pid + ")"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(-1, ZTC_Execute_no_query(&victim.s, "select 1"));
        std::string msg = victim.error();
        EXPECT_TRUE(msg.rfind("[08006] ", 0) == 0 || msg.rfind("[57P01] ", 0) == 0) << msg;
    }
    EXPECT_EQ(-1, ZTC_Execute_no_query(&victim.s, "commit"));  // no transaction state known
}

TEST(Session, UnixSocketDirectoryAsHost)
{
    // The test server keeps its socket in its own folder.
    std::string text = conn_text(env("ZT_TEST_PGDIR"));
    ZTC_HANDLE s = nullptr;
    ASSERT_EQ(0, ZTC_OpenConn(text.c_str(), &s)) << last_error(s);
    ZTC_CloseConn(&s);
}
