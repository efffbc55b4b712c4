// The C floor of the driver benchmark: each workload of bench/workloads done by a plain
// program over libpq, with values parsed or decoded into C types as a driver must, but
// no Python objects. No Python driver can beat these figures.
//
//   bench_floor DSN MODE SIZE      prints {"seconds", "count", "maxrss_kb", "base_rss_kb"}
//   bench_floor "" version 0       prints libpq's version
//
// Modes: fetch-text, fetch-binary (SELECT all of bench_fetch), insert-copy-text,
// insert-copy-binary, insert-pipeline (SIZE rows into bench_ins, one transaction),
// roundtrip (SIZE calls of a prepared "select $1::int").
#include <libpq-fe.h>
#include <sys/resource.h>

#include <arpa/inet.h>
#include <endian.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *kFetch = "SELECT id, f, t, ts, n, d FROM bench_fetch";
constexpr int64_t kDay = 86400000000LL;        // microseconds
constexpr int kDays2000To2024 = 8766;          // 2000-01-01 .. 2024-01-01

[[noreturn]] void die(const std::string &what, PGconn *conn = nullptr)
{
    std::fprintf(stderr, "bench_floor: %s%s%s\n", what.c_str(), conn ? ": " : "",
                 conn ? PQerrorMessage(conn) : "");
    std::exit(1);
}

long peak_rss_kb()
{
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_maxrss;
}

// User plus system CPU time of this process so far, in seconds.
double cpu_seconds()
{
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_utime.tv_sec + use.ru_stime.tv_sec +
           (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Times the work between start() and stop(), wall and CPU, with the peak RSS before it
// began.
struct Timer {
    std::chrono::steady_clock::time_point t0;
    double seconds = 0, cpu0 = 0, cpu = 0;
    long base_rss_kb = 0;
    void start()
    {
        base_rss_kb = peak_rss_kb();
        cpu0 = cpu_seconds();
        t0 = std::chrono::steady_clock::now();
    }
    void stop()
    {
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpu = cpu_seconds() - cpu0;
    }
};

void check(PGconn *conn, PGresult *res, ExecStatusType want, const char *what)
{
    if (PQresultStatus(res) != want)
        die(what, conn);
}

void exec(PGconn *conn, const char *sql)
{
    PGresult *res = PQexec(conn, sql);
    if (PQresultStatus(res) != PGRES_COMMAND_OK && PQresultStatus(res) != PGRES_TUPLES_OK)
        die(sql, conn);
    PQclear(res);
}

// ---------------------------------------------------------------- dates and times

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int &y, int &m, int &d)
{
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

int digits(const char *&p, int n)
{
    int v = 0;
    for (int i = 0; i < n && *p >= '0' && *p <= '9'; ++i)
        v = v * 10 + (*p++ - '0');
    return v;
}

// "YYYY-MM-DD" -> days since 1970-01-01; p is left after the date.
int64_t parse_date(const char *&p)
{
    int y = digits(p, 4);
    ++p;
    int m = digits(p, 2);
    ++p;
    int d = digits(p, 2);
    return days_from_civil(y, m, d);
}

// "YYYY-MM-DD HH:MM:SS[.ffffff]" -> microseconds since 1970-01-01.
int64_t parse_timestamp(const char *p)
{
    int64_t days = parse_date(p);
    ++p;
    int hh = digits(p, 2);
    ++p;
    int mi = digits(p, 2);
    ++p;
    int ss = digits(p, 2);
    int64_t us = 0;
    if (*p == '.') {
        ++p;
        const char *start = p;
        us = digits(p, 6);
        for (long n = p - start; n < 6; ++n)
            us *= 10;
    }
    return days * kDay + ((hh * 60 + mi) * 60 + ss) * 1000000LL + us;
}

// "[-]digits[.digits]" -> the value times 100 (numeric(12,2)).
int64_t parse_cents(const char *p)
{
    bool negative = *p == '-';
    p += negative;
    int64_t v = 0;
    while (*p >= '0' && *p <= '9')
        v = v * 10 + (*p++ - '0');
    int scale = 0;
    if (*p == '.')
        for (++p; *p >= '0' && *p <= '9' && scale < 2; ++scale)
            v = v * 10 + (*p++ - '0');
    for (; scale < 2; ++scale)
        v *= 10;
    return negative ? -v : v;
}

// ---------------------------------------------------------------- binary wire values

uint16_t be16(const char *p) { uint16_t v; std::memcpy(&v, p, 2); return ntohs(v); }
uint32_t be32(const char *p) { uint32_t v; std::memcpy(&v, p, 4); return ntohl(v); }
uint64_t be64(const char *p) { return (uint64_t(be32(p)) << 32) | be32(p + 4); }

void put16(std::string &out, uint16_t v) { v = htons(v); out.append(reinterpret_cast<char *>(&v), 2); }
void put32(std::string &out, uint32_t v) { v = htonl(v); out.append(reinterpret_cast<char *>(&v), 4); }
void put64(std::string &out, uint64_t v) { put32(out, uint32_t(v >> 32)); put32(out, uint32_t(v)); }

// A binary numeric (count, weight, sign, scale, base-10000 digits) -> value times 100.
// Digit i stands for digit * 10000^(weight - i); the groups down to 10000^-1 hold the
// two decimal places.
int64_t decode_cents(const char *p)
{
    int count = int16_t(be16(p)), weight = int16_t(be16(p + 2));
    bool negative = be16(p + 4) == 0x4000;
    int64_t v = 0;                               // the value times 10000
    for (int i = 0; i <= weight + 1; ++i)
        v = v * 10000 + (i < count ? be16(p + 8 + 2 * i) : 0);
    return (negative ? -v : v) / 100;
}

// ---------------------------------------------------------------- workloads

// Every value of bench_fetch parsed from text into C types; returns the row count.
long fetch_text(PGconn *conn, Timer &timer)
{
    exec(conn, "SET DateStyle = ISO");
    uint64_t sum = 0;
    std::string text;
    timer.start();
    PGresult *res = PQexec(conn, kFetch);
    check(conn, res, PGRES_TUPLES_OK, "fetch");
    int rows = PQntuples(res);
    for (int r = 0; r < rows; ++r) {
        sum += uint64_t(std::strtoll(PQgetvalue(res, r, 0), nullptr, 10));
        sum += uint64_t(std::strtod(PQgetvalue(res, r, 1), nullptr));
        text.assign(PQgetvalue(res, r, 2), PQgetlength(res, r, 2));
        sum += text.size();
        sum += uint64_t(parse_timestamp(PQgetvalue(res, r, 3)));
        sum += uint64_t(parse_cents(PQgetvalue(res, r, 4)));
        const char *d = PQgetvalue(res, r, 5);
        sum += uint64_t(parse_date(d));
    }
    PQclear(res);
    timer.stop();
    std::fprintf(stderr, "checksum %llu\n", static_cast<unsigned long long>(sum % 1000));
    return rows;
}

// Every value of bench_fetch decoded from the binary format into C types.
long fetch_binary(PGconn *conn, Timer &timer)
{
    uint64_t sum = 0;
    std::string text;
    timer.start();
    PGresult *res = PQexecParams(conn, kFetch, 0, nullptr, nullptr, nullptr, nullptr, 1);
    check(conn, res, PGRES_TUPLES_OK, "fetch");
    int rows = PQntuples(res);
    for (int r = 0; r < rows; ++r) {
        sum += be64(PQgetvalue(res, r, 0));
        uint64_t bits = be64(PQgetvalue(res, r, 1));
        double f;
        std::memcpy(&f, &bits, 8);
        sum += uint64_t(f);
        text.assign(PQgetvalue(res, r, 2), PQgetlength(res, r, 2));
        sum += text.size();
        sum += be64(PQgetvalue(res, r, 3));
        sum += uint64_t(decode_cents(PQgetvalue(res, r, 4)));
        sum += be32(PQgetvalue(res, r, 5));
    }
    PQclear(res);
    timer.stop();
    std::fprintf(stderr, "checksum %llu\n", static_cast<unsigned long long>(sum % 1000));
    return rows;
}

// The insert workload's rows, as bench/workloads/insert.py builds them.
struct Row {
    int64_t id;
    double f;
    std::string t;
    int64_t ts_us;                               // since 2000-01-01, the server's epoch
};

std::vector<Row> make_rows(long n)
{
    std::vector<Row> rows;
    rows.reserve(n);
    char t[32];
    for (long i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, "text-%015ld", i);
        rows.push_back({i, i / 7.0, t, kDays2000To2024 * kDay + i * 1000000LL + i});
    }
    return rows;
}

void append_timestamp(std::string &out, int64_t us)
{
    int y, m, d;
    int64_t days = us / kDay, rest = us % kDay;
    civil_from_days(days + days_from_civil(2000, 1, 1), y, m, d);
    char buf[40];
    int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02lld:%02lld:%02lld.%06lld", y, m, d,
                          static_cast<long long>(rest / 3600000000LL),
                          static_cast<long long>(rest / 60000000LL % 60),
                          static_cast<long long>(rest / 1000000LL % 60),
                          static_cast<long long>(rest % 1000000LL));
    out.append(buf, n);
}

void copy_in(PGconn *conn, const char *sql, const std::string &data)
{
    PGresult *res = PQexec(conn, sql);
    check(conn, res, PGRES_COPY_IN, sql);
    PQclear(res);
    for (size_t at = 0; at < data.size(); at += 65536) {
        size_t n = std::min<size_t>(65536, data.size() - at);
        if (PQputCopyData(conn, data.data() + at, int(n)) != 1)
            die("copy data", conn);
    }
    if (PQputCopyEnd(conn, nullptr) != 1)
        die("copy end", conn);
    res = PQgetResult(conn);
    check(conn, res, PGRES_COMMAND_OK, "copy");
    PQclear(res);
    while ((res = PQgetResult(conn)))
        PQclear(res);
}

void copy_text(PGconn *conn, const std::vector<Row> &rows)
{
    std::string data;
    char num[64];
    for (const Row &r : rows) {
        data.append(num, std::snprintf(num, sizeof num, "%lld\t%.17g\t",
                                       static_cast<long long>(r.id), r.f));
        for (char c : r.t) {                     // COPY text escapes
            if (c == '\\' || c == '\t' || c == '\n' || c == '\r')
                data += '\\';
            data += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : c;
        }
        data += '\t';
        append_timestamp(data, r.ts_us);
        data += '\n';
    }
    copy_in(conn, "COPY bench_ins (id, f, t, ts) FROM STDIN", data);
}

void copy_binary(PGconn *conn, const std::vector<Row> &rows)
{
    std::string data("PGCOPY\n\377\r\n\0", 11);
    put32(data, 0);                              // flags
    put32(data, 0);                              // header extension length
    for (const Row &r : rows) {
        put16(data, 4);
        put32(data, 8);
        put64(data, uint64_t(r.id));
        uint64_t bits;
        std::memcpy(&bits, &r.f, 8);
        put32(data, 8);
        put64(data, bits);
        put32(data, uint32_t(r.t.size()));
        data += r.t;
        put32(data, 8);
        put64(data, uint64_t(r.ts_us));
    }
    put16(data, 0xffff);
    copy_in(conn, "COPY bench_ins (id, f, t, ts) FROM STDIN (FORMAT binary)", data);
}

// One prepared INSERT per row with binary parameters, sent in pipelined chunks whose
// results are read after each chunk's sync (small enough for the socket buffers).
void pipeline(PGconn *conn, const std::vector<Row> &rows)
{
    const Oid types[4] = {20, 701, 25, 1114};
    PGresult *res = PQprepare(conn, "ins", "INSERT INTO bench_ins VALUES ($1, $2, $3, $4)", 4, types);
    check(conn, res, PGRES_COMMAND_OK, "prepare");
    PQclear(res);
    if (!PQenterPipelineMode(conn))
        die("pipeline mode", conn);
    const int formats[4] = {1, 1, 1, 1};
    const size_t chunk = 256;
    for (size_t at = 0; at < rows.size(); at += chunk) {
        size_t end = std::min(rows.size(), at + chunk);
        for (size_t i = at; i < end; ++i) {
            const Row &r = rows[i];
            uint64_t id = htobe64(uint64_t(r.id)), ts = htobe64(uint64_t(r.ts_us)), f;
            std::memcpy(&f, &r.f, 8);
            f = htobe64(f);
            const char *values[4] = {reinterpret_cast<char *>(&id), reinterpret_cast<char *>(&f),
                                     r.t.data(), reinterpret_cast<char *>(&ts)};
            const int lengths[4] = {8, 8, int(r.t.size()), 8};
            if (!PQsendQueryPrepared(conn, "ins", 4, values, lengths, formats, 0))
                die("send", conn);
        }
        PQpipelineSync(conn);
        for (size_t i = at; i < end; ++i) {
            res = PQgetResult(conn);
            check(conn, res, PGRES_COMMAND_OK, "insert");
            PQclear(res);
            PQgetResult(conn);                   // the null that ends each statement
        }
        res = PQgetResult(conn);
        check(conn, res, PGRES_PIPELINE_SYNC, "sync");
        PQclear(res);
    }
    PQexitPipelineMode(conn);
}

long insert(PGconn *conn, Timer &timer, long size, void (*send)(PGconn *, const std::vector<Row> &))
{
    exec(conn, "TRUNCATE bench_ins");
    std::vector<Row> rows = make_rows(size);
    timer.start();
    exec(conn, "BEGIN");
    send(conn, rows);
    exec(conn, "COMMIT");
    timer.stop();
    PGresult *res = PQexec(conn, "SELECT count(*) FROM bench_ins");
    check(conn, res, PGRES_TUPLES_OK, "count");
    long count = std::atol(PQgetvalue(res, 0, 0));
    PQclear(res);
    if (count != size)
        die("inserted " + std::to_string(count) + " rows, expected " + std::to_string(size));
    return count;
}

long roundtrip(PGconn *conn, Timer &timer, long size)
{
    PGresult *res = PQprepare(conn, "one", "select $1::int", 1, nullptr);
    check(conn, res, PGRES_COMMAND_OK, "prepare");
    PQclear(res);
    auto call = [conn](long i) {
        std::string text = std::to_string(i);
        const char *values[1] = {text.c_str()};
        PGresult *r = PQexecPrepared(conn, "one", 1, values, nullptr, nullptr, 0);
        check(conn, r, PGRES_TUPLES_OK, "call");
        long v = std::atol(PQgetvalue(r, 0, 0));
        PQclear(r);
        return v;
    };
    for (long i = -100; i < 0; ++i)
        call(i);
    long total = 0;
    timer.start();
    for (long i = 0; i < size; ++i)
        total += call(i);
    timer.stop();
    if (total != size * (size - 1) / 2)
        die("round trips returned the wrong sum");
    return size;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        die("usage: bench_floor DSN MODE SIZE");
    std::string mode = argv[2];
    long size = std::atol(argv[3]);
    if (mode == "version") {
        std::printf("%d\n", PQlibVersion());
        return 0;
    }
    PGconn *conn = PQconnectdb(argv[1]);
    if (PQstatus(conn) != CONNECTION_OK)
        die("connect", conn);
    PQsetNoticeProcessor(conn, [](void *, const char *) {}, nullptr);
    Timer timer;
    long count = 0;
    if (mode == "fetch-text")
        count = fetch_text(conn, timer);
    else if (mode == "fetch-binary")
        count = fetch_binary(conn, timer);
    else if (mode == "insert-copy-text")
        count = insert(conn, timer, size, copy_text);
    else if (mode == "insert-copy-binary")
        count = insert(conn, timer, size, copy_binary);
    else if (mode == "insert-pipeline")
        count = insert(conn, timer, size, pipeline);
    else if (mode == "roundtrip")
        count = roundtrip(conn, timer, size);
    else
        die("unknown mode " + mode);
    PQfinish(conn);
    std::printf("{\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"count\": %ld, \"maxrss_kb\": %ld, "
                "\"base_rss_kb\": %ld}\n",
                timer.seconds, timer.cpu, count, peak_rss_kb(), timer.base_rss_kb);
    return 0;
}
