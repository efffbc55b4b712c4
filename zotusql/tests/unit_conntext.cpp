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
// below, put into a text the way the driver writes it, must come back as exactly itself,
// every other field unchanged.

struct Fields {
    std::string hosts = "h", db = "d", user = "u", password = "p", port = "5432", charset = "UTF8";
    std::vector<std::pair<std::string, std::string>> settings;  // field name, raw value
};

std::string encode_setting(const std::string &v)
{
    std::string out;
    for (char c : v)
        out += c == ';' ? "%3B" : c == '%' ? "%25" : std::string(1, c);
    return out;
}

std::string build(const Fields &f, bool host_list)
{
    std::string t = std::string(host_list ? "IPS=" : "IP=") + f.hosts + "; DB=" + f.db + "; USER=" + f.user +
                     "; PWD=" + f.password + "; PORT=" + f.port + "; CHAR_SET=" + f.charset;
    for (const auto &s : f.settings)
        t += "; " + s.first + "=" + encode_setting(s.second);
    return t;
}

// Values meant to fake a separator, a field or an escape. Host, database, user and charset get
// the ones without ';' (the driver refuses the others before the library is called).
const char *const kHostile[] = {
    "x; DB=postgres; USER=postgres; PWD=",
    "; USER=postgres; PWD=",
    "a; PORT=5433; CHAR_SET=UTF8",
    "p; PORT=1; CHAR_SET=GBK; SSLMODE=disable",
    "; CHAR_SET=UTF8; DSN=host=evil",
    "%3B%25%",
    "%",
    "50%; OPTIONS=-c role=postgres",
    " DB=postgres USER=postgres PWD= PORT=5433 CHAR_SET=GBK ",
    "=;=",
    ";",
    "; ",
    "\\; \\",
    "\xc3\xa9; \xe6\xbc\xa2",
    "h DB=postgres USER=postgres",
    "PWD=",
    "x%3B PORT=1",
    "\xc3\xa9 = \xe6\xbc\xa2",
    "UTF8 SSLMODE=disable",
};

std::vector<std::string> hostile(bool semicolons_allowed)
{
    std::vector<std::string> out;
    for (const char *v : kHostile)
        if (semicolons_allowed || !std::strchr(v, ';'))
            out.emplace_back(v);
    return out;
}

void expect_same(const ConnText &c, const Fields &f)
{
    EXPECT_EQ(c.hosts, f.hosts);
    EXPECT_EQ(c.db, f.db);
    EXPECT_EQ(c.user, f.user);
    EXPECT_EQ(c.password, f.password);
    EXPECT_EQ(std::to_string(c.port), f.port);
    EXPECT_EQ(c.charset, f.charset);
    const std::pair<const char *, const std::string *> settings[] = {
        {"SSLMODE", &c.sslmode},
        {"PORTS", &c.ports},
        {"TARGET_SESSION_ATTRS", &c.target_session_attrs},
        {"CONNECT_TIMEOUT", &c.connect_timeout},
        {"APPLICATION_NAME", &c.application_name},
        {"OPTIONS", &c.options},
        {"DSN", &c.dsn},
    };
    for (const auto &s : settings) {
        std::string want;
        for (const auto &given : f.settings)
            if (given.first == s.first)
                want = given.second;
        EXPECT_EQ(*s.second, want) << s.first;
    }
}

// Parses the text built from f (in both forms) and expects f back exactly.
void expect_round_trip(const Fields &f)
{
    for (bool host_list : {false, true}) {
        std::string text = build(f, host_list);
        SCOPED_TRACE(text);
        ConnText c;
        std::string err;
        ASSERT_TRUE(parse_connection_text(text.c_str(), host_list, c, err)) << err;
        expect_same(c, f);
    }
}

// Every setting given with a valid value, so that a hostile field must leave all of them.
Fields with_all_settings()
{
    Fields f;
    f.settings = {{"SSLMODE", "require"}, {"PORTS", "5432"}, {"TARGET_SESSION_ATTRS", "read-write"},
                  {"CONNECT_TIMEOUT", "7"}, {"APPLICATION_NAME", "app"}, {"OPTIONS", "-c x=1"},
                  {"DSN", "sslmode=disable"}};
    return f;
}

TEST(ConnTextInjection, Host)
{
    for (const std::string &v : hostile(false)) {
        Fields f = with_all_settings();
        f.hosts = v;
        // Blanks around a host are dropped and a host holds no comma.
        if (v.find(',') != std::string::npos || v.front() == ' ')
            continue;
        expect_round_trip(f);
    }
}

TEST(ConnTextInjection, Database)
{
    for (const std::string &v : hostile(false)) {
        Fields f = with_all_settings();
        f.db = v;
        expect_round_trip(f);
    }
}

TEST(ConnTextInjection, User)
{
    for (const std::string &v : hostile(false)) {
        Fields f = with_all_settings();
        f.user = v;
        expect_round_trip(f);
    }
}

TEST(ConnTextInjection, Password)
{
    for (const std::string &v : hostile(true)) {
        Fields f = with_all_settings();
        f.password = v;
        expect_round_trip(f);
        f.settings.clear();
        expect_round_trip(f);
    }
}

// The charset is one of four names: anything else is refused, never taken apart. (The port
// is written from an integer.)
TEST(ConnTextInjection, Charset)
{
    for (const std::string &v : hostile(false)) {
        Fields f = with_all_settings();
        f.charset = v;
        std::string text = build(f, false);
        SCOPED_TRACE(text);
        ConnText c;
        std::string err;
        EXPECT_FALSE(parse_connection_text(text.c_str(), false, c, err));
    }
}

// Free-text settings take any value; checked ones refuse what is not theirs.
TEST(ConnTextInjection, Settings)
{
    const char *const free_text[] = {"APPLICATION_NAME", "OPTIONS", "DSN"};
    const char *const checked[] = {"SSLMODE", "PORTS", "TARGET_SESSION_ATTRS", "CONNECT_TIMEOUT"};
    for (const std::string &v : hostile(true)) {
        for (const char *name : free_text) {
            Fields f = with_all_settings();
            for (auto &s : f.settings)
                if (s.first == name)
                    s.second = v;
            expect_round_trip(f);
        }
        for (const char *name : checked) {
            Fields f = with_all_settings();
            for (auto &s : f.settings)
                if (s.first == name)
                    s.second = v;
            std::string text = build(f, false);
            SCOPED_TRACE(text);
            ConnText c;
            std::string err;
            EXPECT_FALSE(parse_connection_text(text.c_str(), false, c, err));
            EXPECT_NE(err.find(name), std::string::npos) << err;
        }
    }
}

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
