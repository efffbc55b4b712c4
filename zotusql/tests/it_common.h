// Helpers for the integration tests: the throwaway server's address from ZT_TEST_*, sessions and
// results that close themselves, and reading messages.
#ifndef ZT_IT_COMMON_H
#define ZT_IT_COMMON_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ZTCsql.h"

namespace zt_it {

inline std::string env(const char *name)
{
    const char *v = std::getenv(name);
    if (!v || !*v) {
        ADD_FAILURE() << name << " is not set: run the tests under scripts/with-pg-server";
        return "";
    }
    return v;
}

// A connection text for the test server; fields may be replaced.
inline std::string conn_text(const std::string &host = env("ZT_TEST_HOST"),
                             const std::string &user = env("ZT_TEST_USER"),
                             const std::string &password = "", const std::string &prefix = "IP")
{
    return prefix + "=" + host + "; DB=" + env("ZT_TEST_DB") + "; USER=" + user +
           "; PWD=" + password + "; PORT=" + env("ZT_TEST_PORT") + "; CHAR_SET=UTF8";
}

inline std::string last_error(ZTC_HANDLE &s)
{
    char buffer[256] = {0};
    int length = 0;
    ZTC_GetError(&s, buffer, &length);
    return std::string(buffer, static_cast<size_t>(length));
}

// A session open for the length of a test.
struct Session {
    ZTC_HANDLE s = nullptr;
    Session()
    {
        std::string text = conn_text();
        EXPECT_EQ(0, ZTC_OpenConn(text.c_str(), &s)) << last_error(s);
    }
    ~Session() { ZTC_CloseConn(&s); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    std::string error() { return last_error(s); }
    // Runs a statement that must succeed.
    void run(const std::string &sql)
    {
        ASSERT_EQ(0, ZTC_Execute_no_query(&s, sql.c_str())) << sql << ": " << error();
    }
};

// A result handle freed at the end of its scope.
struct Result {
    ZTC_HANDLE r = nullptr;
    ~Result() { ZTC_FreeRowset(&r); }
};

// Runs a query with the session's bindings and returns the first column of the first row as
// text ("<NULL>" for NULL); "<ERROR> message" on failure.
inline std::string query_text(Session &s, const std::string &sql)
{
    Result r;
    int cols = 0, affected = 0;
    int64_t rows = 0;
    if (ZTC_ExecwithDataReader(&s.s, sql.c_str(), &r.r, &cols, &rows, &affected) != 0)
        return "<ERROR> " + s.error();
    if (ZTC_ReadNext(&r.r) != 0)
        return "<NO ROW>";
    std::vector<char> buffer(4096);
    int length = 0;
    if (ZTC_GetData(&r.r, 1, ZTC_TYPE_VARCHAR, buffer.data(), 4095, &length) != 0)
        return "<ERROR> " + s.error();
    if (length < 0)
        return "<NULL>";
    return std::string(buffer.data(), static_cast<size_t>(length));
}

}  // namespace zt_it

#endif
