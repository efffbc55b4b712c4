// Reads 1,000,000 rows of (bigint, double precision, text, timestamp, numeric(12,2), date)
// through the library (ZTC_ReadNext / ZTC_GetData, asking each column's type code as the driver
// does) and through a plain libpq loop that touches every value, and prints both rates and their
// ratio. The server comes from ZT_TEST_HOST, ZT_TEST_PORT, ZT_TEST_USER, ZT_TEST_DB
// (scripts/with-pg-server sets them). Optional argument: the number of rows.
#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZTCsql.h"
#include "bench_server.h"

namespace {

using Clock = std::chrono::steady_clock;

const char *kQuery = "select id, x, label, at, amount, day from lib_bench order by id";

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

[[noreturn]] void fail(const char *what, ZTC_HANDLE *S)
{
    char msg[256] = {0};
    int len = 0;
    ZTC_GetError(S, msg, &len);
    std::fprintf(stderr, "%s: %s\n", what, msg);
    std::exit(1);
}

// One pass through the library; returns seconds, adds a checksum so nothing is optimised away.
double library_pass(ZTC_HANDLE *S, long expected_rows, uint64_t &sum)
{
    auto t0 = Clock::now();
    ZTC_HANDLE R = nullptr;
    int cols = 0, affected = 0;
    int64_t rows = 0;
    if (ZTC_Reset(S) != 0 || ZTC_ExecwithDataReader(S, kQuery, &R, &cols, &rows, &affected) != 0)
        fail("query", S);
    if (rows != expected_rows)
        fail("row count", S);
    std::vector<char> text(6 * 64 + 1);
    char numeric[40], date[11];
    long n = 0;
    while (ZTC_ReadNext(&R) == 0) {
        int count = 0;
        ZTC_getResultColumnsnum(&R, &count);
        for (int c = 1; c <= count; ++c) {
            int type = 0, len = 0;
            ZTC_getResultcolType(&R, c, &type);
            switch (type) {
            case ZTC_TYPE_BIGINT: {
                int64_t v;
                ZTC_GetData(&R, c, type, &v, 8, &len);
                sum += static_cast<uint64_t>(v);
                break;
            }
            case ZTC_TYPE_DOUBLE: {
                double v;
                ZTC_GetData(&R, c, type, &v, 8, &len);
                sum += static_cast<uint64_t>(v);
                break;
            }
            case ZTC_TYPE_DATETIME_MS: {
                int64_t v;
                ZTC_GetData(&R, c, type, &v, 8, &len);
                sum += static_cast<uint64_t>(v);
                break;
            }
            case ZTC_TYPE_NUMERIC:
                ZTC_GetData(&R, c, type, numeric, sizeof numeric, &len);
                sum += static_cast<unsigned char>(numeric[0]);
                break;
            case ZTC_TYPE_DATE:
                ZTC_GetData(&R, c, type, date, sizeof date, &len);
                sum += static_cast<unsigned char>(date[9]);
                break;
            default:
                ZTC_GetData(&R, c, type, text.data(), static_cast<int>(text.size() - 1), &len);
                sum += static_cast<unsigned>(len);
            }
        }
        ++n;
    }
    ZTC_FreeRowset(&R);
    if (n != expected_rows)
        fail("rows read", S);
    return seconds_since(t0);
}

// One pass of plain libpq over the same query, touching every value (pointer and length).
double libpq_pass(PGconn *conn, long expected_rows, uint64_t &sum)
{
    auto t0 = Clock::now();
    PGresult *res = PQexec(conn, kQuery);
    if (PQresultStatus(res) != PGRES_TUPLES_OK || PQntuples(res) != expected_rows) {
        std::fprintf(stderr, "libpq query: %s\n", PQerrorMessage(conn));
        std::exit(1);
    }
    int rows = PQntuples(res), cols = PQnfields(res);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const char *v = PQgetvalue(res, r, c);
            sum += static_cast<unsigned char>(v[0]) + static_cast<unsigned>(PQgetlength(res, r, c));
        }
    PQclear(res);
    return seconds_since(t0);
}

}  // namespace

int main(int argc, char **argv)
{
    long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
    const BenchServer server;
    std::string text = server.library_text();
    ZTC_HANDLE S = nullptr;
    if (ZTC_OpenConn(text.c_str(), &S) != 0)
        fail("connect", &S);
    std::string setup =
        "drop table if exists lib_bench; "
        "create unlogged table lib_bench(id bigint, x double precision, label text, "
        "at timestamp, amount numeric(12,2), day date); "
        "insert into lib_bench select g, g * 1.25, 'row number ' || g, "
        "timestamp '2020-01-01' + g * interval '1.5 second', (g % 1000000) / 100.0, "
        "date '2000-01-01' + (g % 10000)::int from generate_series(1, " +
        std::to_string(rows) + ") g; analyze lib_bench";
    if (ZTC_Execute_no_query(&S, setup.c_str()) != 0)
        fail("setup", &S);

    std::string conninfo =
        server.conninfo() + " options='-c DateStyle=ISO -c extra_float_digits=1'";
    PGconn *conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        std::fprintf(stderr, "libpq connect: %s\n", PQerrorMessage(conn));
        return 1;
    }

    // Best of three alternating passes, after one warm-up pass each.
    uint64_t sum = 0;
    library_pass(&S, rows, sum);
    libpq_pass(conn, rows, sum);
    double lib = 1e9, pq = 1e9;
    for (int i = 0; i < 3; ++i) {
        lib = std::min(lib, library_pass(&S, rows, sum));
        pq = std::min(pq, libpq_pass(conn, rows, sum));
    }
    std::printf("rows: %ld, values per row: 6 (checksum %llu)\n", rows,
                static_cast<unsigned long long>(sum % 1000));
    std::printf("libzotusql ReadNext/GetData: %10.0f rows/s (%.3f s)\n", rows / lib, lib);
    std::printf("plain libpq loop:            %10.0f rows/s (%.3f s)\n", rows / pq, pq);
    std::printf("ratio library/libpq time:    %.2fx (target: within 1.3x)\n", lib / pq);

    ZTC_Execute_no_query(&S, "drop table lib_bench");
    PQfinish(conn);
    ZTC_CloseConn(&S);
    return 0;
}
