// The server the library benchmarks run against, from ZT_TEST_HOST, ZT_TEST_PORT,
// ZT_TEST_USER and ZT_TEST_DB (scripts/with-pg-server sets them).
#ifndef BENCH_SERVER_H
#define BENCH_SERVER_H

#include <cstdio>
#include <cstdlib>
#include <string>

struct BenchServer {
    std::string host = variable("ZT_TEST_HOST");
    std::string port = variable("ZT_TEST_PORT");
    std::string user = variable("ZT_TEST_USER");
    std::string db = variable("ZT_TEST_DB");

    // The library's connection text for this server.
    std::string library_text() const
    {
        return "IP=" + host + "; DB=" + db + "; USER=" + user + "; PWD=; PORT=" + port +
               "; CHAR_SET=UTF8";
    }

    // libpq's connection string for this server.
    std::string conninfo() const
    {
        return "host=" + host + " port=" + port + " user=" + user + " dbname=" + db;
    }

    static std::string variable(const char *name)
    {
        const char *v = std::getenv(name);
        if (!v || !*v) {
            std::fprintf(stderr, "%s is not set: run under scripts/with-pg-server\n", name);
            std::exit(2);
        }
        return v;
    }
};

#endif
