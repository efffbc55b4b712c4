// Connection-text parsing: the field order, passwords holding separators, and one
// case per malformed field, whose message must name the field and never the password.
#include "conntext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

// The ends of the port range: 0 (not given), 1 and 65535 are ports, in PORT and PORTS.
TEST(ConnText, PortBoundaries)
{
    static const struct {
        const char *tail;
        int port;
        const char *ports;
    } cases[] = {
        {"PORT=0; CHAR_SET=UTF8", 0, ""},
        {"PORT=1; CHAR_SET=UTF8", 1, ""},
        {"PORT=65535; CHAR_SET=UTF8", 65535, ""},
        {"PORT=5432; CHAR_SET=UTF8; PORTS=65535", 5432, "65535"},
        {"PORT=5432; CHAR_SET=UTF8; PORTS=1", 5432, "1"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.tail);
        std::string text = std::string("IP=h; DB=d; USER=u; PWD=p; ") + k.tail;
        ConnText c;
        std::string err;
        ASSERT_TRUE(parse_connection_text(text.c_str(), false, c, err)) << err;
        EXPECT_EQ(c.port, k.port);
        EXPECT_EQ(c.ports, k.ports);
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
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=65536; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=-1; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=4294972728; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT= 5432; CHAR_SET=UTF8", false, "PORT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432x; CHAR_SET=UTF8", false, "PORT"},
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
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8;SSLMODE=require", false, "CHAR_SET"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; SSLMODE", false, "CHAR_SET"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; SSLMODE=on", false, "SSLMODE"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; SSLMODE=require; SSLMODE=disable", false, "SSLMODE"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; DSN=%3", false, "DSN"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; DSN=%zz", false, "DSN"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; OPTIONS=a%00b", false, "OPTIONS"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; PORTS=1,0", false, "PORTS"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; PORTS=65536", false, "PORTS"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; PORTS=0", false, "PORTS"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; PORTS=1,2", false, "PORTS"},
        {"IPS=a,b; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; PORTS=1,2,3", true, "PORTS"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; PORTS=", false, "PORTS"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; CONNECT_TIMEOUT=-1", false, "CONNECT_TIMEOUT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; CONNECT_TIMEOUT=1234567890", false, "CONNECT_TIMEOUT"},
        {"IP=h; DB=d; USER=u; PWD=s3cr3t; PORT=5432; CHAR_SET=UTF8; TARGET_SESSION_ATTRS=read-write ", false, "TARGET_SESSION_ATTRS"},
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

// Empty fields and a port of 0 are "not given" (libpq's environment and defaults fill them).
TEST(ConnText, EmptyFieldsAreNotGiven)
{
    ConnText c;
    std::string err;
    ASSERT_TRUE(parse_connection_text("IP= ; DB=; USER=; PWD=; PORT=0; CHAR_SET=UTF8", false, c, err)) << err;
    EXPECT_EQ(c.hosts, "");
    EXPECT_EQ(c.db, "");
    EXPECT_EQ(c.user, "");
    EXPECT_EQ(c.password, "");
    EXPECT_EQ(c.port, 0);
}

// ---- no value of one field can change another ----
//
// The driver refuses ';' in the host, database, user and charset and percent-encodes ';'
// and '%' in the settings; the password is free text. For every field, each hostile value
// put into a text the way the driver writes it must come back as exactly itself with every
// other field unchanged, or, for a field of a fixed form, be refused.

// Every field as text, every setting given (so a hostile field must leave all of them).
struct Fields {
    std::string hosts = "h", db = "d", user = "u", password = "p", charset = "UTF8";
    std::string sslmode = "require", ports = "5432", target_session_attrs = "read-write",
                connect_timeout = "7", application_name = "app", options = "-c x=1",
                dsn = "sslmode=disable";

    std::string text(bool host_list) const
    {
        std::string t = std::string(host_list ? "IPS=" : "IP=") + hosts + "; DB=" + db + "; USER=" + user +
                        "; PWD=" + password + "; PORT=5432; CHAR_SET=" + charset;
        const std::pair<const char *, const std::string *> settings[] = {
            {"SSLMODE", &sslmode},          {"PORTS", &ports},     {"TARGET_SESSION_ATTRS", &target_session_attrs},
            {"CONNECT_TIMEOUT", &connect_timeout}, {"APPLICATION_NAME", &application_name},
            {"OPTIONS", &options},          {"DSN", &dsn}};
        for (const auto &s : settings) {
            t += std::string("; ") + s.first + "=";
            for (char c : *s.second)
                t += c == ';' ? "%3B" : c == '%' ? "%25" : std::string(1, c);
        }
        return t;
    }
};

struct FieldCase {
    const char *name;
    std::string Fields::*member;
    bool semicolons;  // the driver lets ';' through (free text or encoded)
    bool checked;     // a fixed form: anything hostile is refused
};

class Injection : public ::testing::TestWithParam<FieldCase> {};

TEST_P(Injection, NoValueChangesAnotherField)
{
    static const char *const hostile[] = {
        "x; DB=postgres; USER=postgres; PWD=", "a; PORT=5433; CHAR_SET=UTF8",
        "p; PORT=1; CHAR_SET=GBK; SSLMODE=disable", "; CHAR_SET=UTF8; DSN=host=evil",
        "%3B%25%", "%", "50%; OPTIONS=-c role=postgres", "=;=", ";", "; ", "\\; \\",
        "\xc3\xa9; \xe6\xbc\xa2", "h DB=postgres USER=postgres", "PWD=", "x%3B PORT=1",
        "UTF8 SSLMODE=disable",
    };
    const FieldCase &field = GetParam();
    for (const char *v : hostile) {
        if (!field.semicolons && std::strchr(v, ';'))
            continue;  // refused by the driver
        Fields want;
        want.*field.member = v;
        for (bool host_list : {false, true}) {
            std::string text = want.text(host_list);
            SCOPED_TRACE(text);
            ConnText c;
            std::string err;
            if (field.checked) {
                EXPECT_FALSE(parse_connection_text(text.c_str(), host_list, c, err));
                continue;
            }
            ASSERT_TRUE(parse_connection_text(text.c_str(), host_list, c, err)) << err;
            Fields got;
            got.hosts = c.hosts, got.db = c.db, got.user = c.user, got.password = c.password;
            got.charset = c.charset, got.sslmode = c.sslmode, got.ports = c.ports;
            got.target_session_attrs = c.target_session_attrs, got.connect_timeout = c.connect_timeout;
            got.application_name = c.application_name, got.options = c.options, got.dsn = c.dsn;
            EXPECT_EQ(got.text(host_list), text);
            EXPECT_EQ(got.*field.member, v);
            EXPECT_EQ(c.port, 5432);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryField, Injection,
    ::testing::Values(FieldCase{"host", &Fields::hosts, false, false},
                      FieldCase{"database", &Fields::db, false, false},
                      FieldCase{"user", &Fields::user, false, false},
                      FieldCase{"password", &Fields::password, true, false},
                      FieldCase{"charset", &Fields::charset, false, true},
                      FieldCase{"sslmode", &Fields::sslmode, true, true},
                      FieldCase{"ports", &Fields::ports, true, true},
                      FieldCase{"target_session_attrs", &Fields::target_session_attrs, true, true},
                      FieldCase{"connect_timeout", &Fields::connect_timeout, true, true},
                      FieldCase{"application_name", &Fields::application_name, true, false},
                      FieldCase{"options", &Fields::options, true, false},
                      FieldCase{"dsn", &Fields::dsn, true, false}),
    [](const ::testing::TestParamInfo<FieldCase> &i) { return std::string(i.param.name); });

TEST(ConnText, SettingsInAnyOrderAndHostListPorts)
{
    ConnText c;
    std::string err;
    ASSERT_TRUE(parse_connection_text("IPS=a,b; DB=d; USER=u; PWD=p; PORT=1; CHAR_SET=UTF8; "
                                      "TARGET_SESSION_ATTRS=prefer-standby; PORTS=1,2; SSLMODE=verify-full",
                                      true, c, err))
        << err;
    EXPECT_EQ(c.ports, "1,2");
    EXPECT_EQ(c.target_session_attrs, "prefer-standby");
    EXPECT_EQ(c.sslmode, "verify-full");
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
