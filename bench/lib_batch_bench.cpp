// Batch throughput of the library beside plain libpq programs doing the same work:
//   - a 100,000-row plain INSERT batch (ZTC_ExecBatch, sent as COPY) beside a libpq text COPY;
//   - the same rows through the pipeline path (INSERT ... ON CONFLICT DO NOTHING) beside a
//     libpq pipeline of one prepared statement.
// Rows: bigint, double precision, text, timestamp (the timestamp as the driver packs it, text).
// The server's address comes from ZT_TEST_HOST, ZT_TEST_PORT, ZT_TEST_USER, ZT_TEST_DB.
// Each measurement is the best of several runs into an emptied table.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ZTCsql.h"
#include "bench_server.h"

namespace {

constexpr int kRows = 100000;
constexpr int kRuns = 5;

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "lib_batch_bench: %s\n", what.c_str());
    std::exit(1);
}

// The rows, in memory as the driver hands them over.
struct Rows {
    std::vector<int64_t> ids;
    std::vector<double> values;
    std::vector<std::string> texts, stamps;
};

Rows make_rows()
{
    Rows r;
    for (int i = 0; i < kRows; ++i) {
        r.ids.push_back(i);
        r.values.push_back(i * 1.25 + 0.1);
        r.texts.push_back("name " + std::to_string(i) + (i % 7 ? "" : " with\ttab"));
        char ts[32];
        std::snprintf(ts, sizeof ts, "%4d-%02d-%02d %02d:%02d:%02d.%06d", 2024, 1 + i % 12,
                      1 + i % 28, i % 24, i % 60, (i / 60) % 60, i % 1000000);
        r.stamps.push_back(ts);
    }
    return r;
}

// Packs texts the way the driver does: per row a 4-byte length then the bytes.
void pack(const std::vector<std::string> &texts, std::vector<char> &out, std::vector<int> &lengths)
{
    out.clear();
    lengths.clear();
    for (const std::string &t : texts) {
        int32_t len = static_cast<int32_t>(t.size());
        const char *p = reinterpret_cast<const char *>(&len);
        out.insert(out.end(), p, p + 4);
        out.insert(out.end(), t.begin(), t.end());
        lengths.push_back(len);
    }
}

double seconds_of(const std::function<void()> &f, const std::function<void()> &reset)
{
    double best = 1e30;
    for (int i = 0; i < kRuns; ++i) {
        reset();
        auto t0 = std::chrono::steady_clock::now();
        f();
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

void exec_or_die(PGconn *c, const char *sql)
{
    PGresult *r = PQexec(c, sql);
    if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
        die(std::string(sql) + ": " + PQerrorMessage(c));
    PQclear(r);
}

std::string zt_error(ZTC_HANDLE &s)
{
    char buffer[256] = {0};
    int len = 0;
    ZTC_GetError(&s, buffer, &len);
    return buffer;
}

// The columns as the driver hands them to the library (packed once: that is the driver's work).
struct Packed {
    std::vector<char> texts, stamps;
    std::vector<int> text_len, stamp_len, id_len, value_len;
    explicit Packed(const Rows &rows) : id_len(kRows, 8), value_len(kRows, 8)
    {
        pack(rows.texts, texts, text_len);
        pack(rows.stamps, stamps, stamp_len);
    }
};

// The library: bind four columns and run one batch.
void library_batch(ZTC_HANDLE &s, const Rows &rows, Packed &p, const char *sql)
{
    auto &[texts, stamps, text_len, stamp_len, id_len, value_len] = p;
    ZTC_Reset(&s);
    if (ZTC_BindParamArrayByPos(&s, 1, 4, PARAM_INPUT, ZTC_TYPE_BIGINT, kRows,
                                const_cast<int64_t *>(rows.ids.data()), 8, id_len.data()) < 0 ||
        ZTC_BindParamArrayByPos(&s, 2, 4, PARAM_INPUT, ZTC_TYPE_DOUBLE, kRows,
                                const_cast<double *>(rows.values.data()), 8,
                                value_len.data()) < 0 ||
        ZTC_BindParamArrayByPos(&s, 3, 4, PARAM_INPUT, ZTC_TYPE_VARCHAR, kRows, texts.data(),
                                static_cast<int>(texts.size()), text_len.data()) < 0 ||
        ZTC_BindParamArrayByPos(&s, 4, 4, PARAM_INPUT, ZTC_TYPE_VARCHAR, kRows, stamps.data(),
                                static_cast<int>(stamps.size()), stamp_len.data()) < 0)
        die("bind: " + zt_error(s));
    if (ZTC_ExecBatch(&s, sql, kRows) != kRows)
        die("batch: " + zt_error(s));
}

void append_escaped(std::string &out, const std::string &t)
{
    for (char c : t) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
}

// Plain libpq: the same rows as COPY text, streamed in 64 kB chunks.
void libpq_copy(PGconn *c, const Rows &rows)
{
    PGresult *r = PQexec(c, "COPY bench_batch (id, v, t, ts) FROM STDIN");
    if (PQresultStatus(r) != PGRES_COPY_IN)
        die(std::string("copy: ") + PQerrorMessage(c));
    PQclear(r);
    std::string buf;
    char num[64];
    for (int i = 0; i < kRows; ++i) {
        buf.append(num, std::to_chars(num, num + sizeof num, rows.ids[i]).ptr);
        buf += '\t';
        buf.append(num, std::to_chars(num, num + sizeof num, rows.values[i]).ptr);
        buf += '\t';
        append_escaped(buf, rows.texts[i]);
        buf += '\t';
        buf += rows.stamps[i];
        buf += '\n';
        if (buf.size() >= 65536) {
            PQputCopyData(c, buf.data(), static_cast<int>(buf.size()));
            buf.clear();
        }
    }
    PQputCopyData(c, buf.data(), static_cast<int>(buf.size()));
    PQputCopyEnd(c, nullptr);
    while ((r = PQgetResult(c))) {
        if (PQresultStatus(r) != PGRES_COMMAND_OK)
            die(std::string("copy end: ") + PQerrorMessage(c));
        PQclear(r);
    }
}

// Plain libpq: one prepared statement executed per row in one pipeline (non-blocking, reading
// results while sending so that neither side stalls), text parameters.
void libpq_pipeline(PGconn *c, const Rows &rows)
{
    const char *sql = "INSERT INTO bench_batch (id, v, t, ts) VALUES ($1, $2, $3, $4) "
                      "ON CONFLICT DO NOTHING";
    Oid types[4] = {20, 701, 0, 0};
    PQsetnonblocking(c, 1);
    PQenterPipelineMode(c);
    PQsendPrepare(c, "", sql, 4, types);
    size_t sent = 1, done = 0;
    bool synced = false, sync_seen = false;
    auto drain = [&]() {
        PQconsumeInput(c);
        while (!(done == sent && (!synced || sync_seen)) && !PQisBusy(c)) {
            PGresult *r = PQgetResult(c);
            if (!r) {
                ++done;
                continue;
            }
            ExecStatusType st = PQresultStatus(r);
            if (st == PGRES_PIPELINE_SYNC)
                sync_seen = true;
            else if (st == PGRES_FATAL_ERROR)
                die(std::string("pipeline: ") + PQresultErrorMessage(r));
            PQclear(r);
        }
    };
    auto wait = [&](bool write) {
        pollfd p{PQsocket(c), static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
        poll(&p, 1, -1);
    };
    char id[24], v[32];
    for (int i = 0; i < kRows; ++i) {
        *std::to_chars(id, id + sizeof id - 1, rows.ids[i]).ptr = '\0';
        *std::to_chars(v, v + sizeof v - 1, rows.values[i]).ptr = '\0';
        const char *values[4] = {id, v, rows.texts[i].c_str(), rows.stamps[i].c_str()};
        if (!PQsendQueryPrepared(c, "", 4, values, nullptr, nullptr, 0))
            die(std::string("send: ") + PQerrorMessage(c));
        ++sent;
        if ((i & 63) == 63) {
            PQflush(c);
            drain();
        }
    }
    PQpipelineSync(c);
    synced = true;
    while (!sync_seen) {
        int f = PQflush(c);
        drain();
        if (!sync_seen)
            wait(f == 1);
        drain();
    }
    PQexitPipelineMode(c);
    PQsetnonblocking(c, 0);
}

void report(const char *what, double lib, double base, double target)
{
    double ratio = lib / base;
    std::printf("%-9s library %9.0f rows/s   libpq %9.0f rows/s   ratio %.2fx (target <= %.1fx) %s\n",
                what, kRows / lib, kRows / base, ratio, target, ratio <= target ? "ok" : "OVER");
}

}  // namespace

int main()
{
    const BenchServer server;
    std::string text = server.library_text();
    ZTC_HANDLE s = nullptr;
    if (ZTC_OpenConn(text.c_str(), &s) != 0)
        die("open: " + zt_error(s));
    std::string conninfo = server.conninfo();
    PGconn *c = PQconnectdb(conninfo.c_str());
    if (PQstatus(c) != CONNECTION_OK)
        die(std::string("connect: ") + PQerrorMessage(c));
    PQsetNoticeProcessor(c, [](void *, const char *) {}, nullptr);
    exec_or_die(c, "SET DateStyle = ISO");
    exec_or_die(c, "DROP TABLE IF EXISTS bench_batch");
    exec_or_die(c, "CREATE TABLE bench_batch (id bigint primary key, v double precision, t text, "
                   "ts timestamp)");
    auto reset = [&]() { exec_or_die(c, "TRUNCATE bench_batch"); };
    Rows rows = make_rows();
    Packed packed(rows);

    std::printf("%d rows of (bigint, double precision, text, timestamp), best of %d runs\n",
                kRows, kRuns);
    double lib_copy = seconds_of(
        [&]() {
            library_batch(s, rows, packed, "INSERT INTO bench_batch (id, v, t, ts) VALUES (?, ?, ?, ?)");
        },
        reset);
    double pq_copy = seconds_of([&]() { libpq_copy(c, rows); }, reset);
    report("COPY", lib_copy, pq_copy, 1.5);

    double lib_pipe = seconds_of(
        [&]() {
            library_batch(s, rows, packed,
                          "INSERT INTO bench_batch (id, v, t, ts) VALUES (?, ?, ?, ?) "
                          "ON CONFLICT DO NOTHING");
        },
        reset);
    double pq_pipe = seconds_of([&]() { libpq_pipeline(c, rows); }, reset);
    report("pipeline", lib_pipe, pq_pipe, 1.3);

    exec_or_die(c, "DROP TABLE bench_batch");
    PQfinish(c);
    ZTC_CloseConn(&s);
    return 0;
}
