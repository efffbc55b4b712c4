// Connection-text parsing: the field order, passwords holding separators, and one
// case per malformed field, whose message must name the field and never the password.
#include "conntext.h"

#include <gtest/gtest.h>

namespace {

using zt::ConnText;
using zt::parse_connection_text;

TEST(ConnText, SingleHostFields)
{
    ConnText c;
    std::string err;
    ASSERT_TRUE(parse_connection_text("IP=127.0.0.1; DB=app; USER=alice; PWD=pw; PORT=5432; CHAR_SET=UTF8", false,
                                      c, err))
        << err;
    EXPECT_EQ(c.hosts, "127.0.0.1");
    EXPECT_EQ(c.db, "app");
    EXPECT_EQ(c.user, "alice");
    EXPECT_EQ(c.password, "pw");
    EXPECT_EQ(c.port, 5432);
    EXPECT_EQ(c.charset, "UTF8");
}

TEST(ConnText, HostListEntriesAreTrimmed)
{
    ConnText c;
    std::string err;
    ASSERT_TRUE(parse_connection_text("IPS=h1, h2 ,/run/pg; DB=d; USER=u; PWD=p; PORT=1; CHAR_SET=gbk", true, c, err))
        << err;
    EXPECT_EQ(c.hosts, "h1,h2,/run/pg");
    EXPECT_EQ(c.port, 1);
    EXPECT_EQ(c.charset, "gbk");
}

// A password is free text: separators, field names and '=' inside it are its own.
TEST(ConnText, PasswordMayHoldSeparators)
{
    static const struct {
        const char *text;
        const char *password;
    } cases[] = {
        {"IP=h; DB=d; USER=u; PWD=a;b; PORT=5432; CHAR_SET=UTF8", "a;b"},
        {"IP=h; DB=d; USER=u; PWD=a; b; PORT=5432; CHAR_SET=UTF8", "a; b"},
        {"IP=h; DB=d; USER=u; PWD=x; PORT=1; CHAR_SET=UTF8; PORT=5432; CHAR_SET=UTF8", "x; PORT=1; CHAR_SET=UTF8"},
        {"IP=h; DB=d; USER=u; PWD=; DB=e; USER=v; PORT=5432; CHAR_SET=UTF8", "; DB=e; USER=v"},
        {"IP=h; DB=d; USER=u; PWD=; PORT=5432; CHAR_SET=UTF8", ""},
        {"IP=h; DB=d; USER=u; PWD= =;=; PORT=5432; CHAR_SET=UTF8", " =;="},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.text);
        ConnText c;
        std::string err;
        ASSERT_TRUE(parse_connection_text(k.text, false, c, err)) << err;
        EXPECT_EQ(c.password, k.password);
        EXPECT_EQ(c.db, "d");
        EXPECT_EQ(c.user, "u");
        EXPECT_EQ(c.port, 5432);
    }
}

TEST(ConnText, CharsetNamesInAnyCase)
{
    for (const char *cs : {"UTF8", "utf8", "UTF-8", "Utf-8", "GBK", "gbk", "GB18030", "gb18030"}) {
        SCOPED_TRACE(cs);
        std::string text = std::string("IP=h; DB=d; USER=u; PWD=p; PORT=5432; CHAR_SET=") + cs;
        ConnText c;
        std::string err;
        EXPECT_TRUE(parse_connection_text(text.c_str(), false, c, err)) << err;
        EXPECT_EQ(c.charset, cs);
    }
}

TEST(ConnText, MalformedFieldsNameTheFieldAndHideThePassword)
{
    static const struct {
        const char *text;
        bool host_list;
        const char *field;
    } cases[] = {
        {"", false, "IP"},
        {"HOST=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", false, "IP"},
        {"IPS=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", false, "IP"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", true, "IPS"},
        {"IP=h; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", false, "DB"},
        {"IP=h; DB=d; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", false, "USER"},
        {"IP=h; DB=d; USER=u; PORT=5432; CHAR_SET=UTF8", false, "PWD"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432", false, "CHAR_SET"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; CHAR_SET=UTF8; PORT=5432", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=abc; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=0; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=65536; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=-1; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=4294972728; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT= 5432; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432x; CHAR_SET=UTF8", false, "PORT"},
        {"IP=; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", false, "IP"},
        {"IP=  ; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", false, "IP"},
        {"IP=h1,h2; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", false, "IP"},
        {"IPS=; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", true, "IPS"},
        {"IPS=h1,,h2; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", true, "IPS"},
        {"IPS=h1,; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", true, "IPS"},
        {"IPS=,h1; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", true, "IPS"},
        {"IPS=h1, ,h2; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8", true, "IPS"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=latin1", false, "CHAR_SET"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=", false, "CHAR_SET"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8 ", false, "CHAR_SET"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; X=1", false, "CHAR_SET"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF16", false, "CHAR_SET"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.text);
        ConnText c;
        std::string err;
        ASSERT_FALSE(parse_connection_text(k.text, k.host_list, c, err));
        EXPECT_EQ(err.rfind("[08001] ", 0), 0u) << err;
        EXPECT_NE(err.find(k.field), std::string::npos) << err;
        EXPECT_EQ(err.find("s3cr3t"), std::string::npos) << err;
    }
}

TEST(ConnText, NullTextFailsCleanly)
{
    ConnText c;
    std::string err;
    EXPECT_FALSE(parse_connection_text(nullptr, false, c, err));
    EXPECT_EQ(err.rfind("[08001] ", 0), 0u);
}

// A failed parse leaves the output untouched, so no half-filled record is used.
TEST(ConnText, FailureLeavesOutputUntouched)
{
    ConnText c;
    c.hosts = "keep";
    c.port = 7;
    std::string err;
    EXPECT_FALSE(parse_connection_text("IP=h; DB=d; USER=u; PWD=p; PORT=99999; CHAR_SET=UTF8", false, c, err));
    EXPECT_EQ(c.hosts, "keep");
    EXPECT_EQ(c.port, 7);
}

}  // namespace
