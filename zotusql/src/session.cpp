// Sessions: opening one from the driver's connection texts, closing it, the host-list
// attributes, and transaction control (autocommit, the control texts of ZTC_Execute_no_query).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "conntext.h"
#include "decode.h"
#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

// Session settings that make the server's text forms the ones the decoders read. They are
// set by a statement once the session is open, not with the `options` startup parameter,
// which a connection pooler (PgBouncer by default) refuses.
constexpr const char *kSessionSettings =
    "SET DateStyle = ISO; SET IntervalStyle = postgres; SET TimeZone = 'UTC'; "
    "SET extra_float_digits = 1; SET bytea_output = hex";

// The library never prints: server notices and warnings are kept on the session (the
// latest ones) for ZTC_GetNotice, and dropped while a session record is not yet there.
void ignore_notice(void *, const char *) {}

void keep_notice(void *arg, const char *message)
{
    auto *s = static_cast<Session *>(arg);
    try {
        if (s->notices.size() >= Session::notice_capacity)
            s->notices.pop_front();
        s->notices.emplace_back(message ? message : "");
    } catch (...) {
        // Out of memory: the notice is lost, the statement is not.
    }
}

// Leaves libpq's or the server's text out of a message that holds one of the passwords: the
// message keeps its "[SQLSTATE] " and says why the rest is missing. Masking the password in
// place would mangle the message around a short one (every "e" of it) and show where the
// password's characters are.
void leave_out_passwords(std::string &msg, std::initializer_list<const std::string *> passwords)
{
    for (const std::string *p : passwords) {
        if (p->empty() || msg.find(*p) == std::string::npos)
            continue;
        bool coded = msg.size() > 8 && msg[0] == '[' && msg[6] == ']' && msg[7] == ' ';
        msg = (coded ? msg.substr(0, 8) : std::string("[08001] ")) +
              "the connection failed (its message is left out: it held the password)";
        return;
    }
}

struct PGconnFree {
    void operator()(PGconn *c) const noexcept { PQfinish(c); }
};

// The libpq keywords and values of a session, in the order they are given to libpq.
struct ConnParams {
    std::vector<std::string> keys, values;

    // Sets a keyword, replacing an earlier value; an empty value leaves the keyword unset.
    void set(const char *key, const std::string &value)
    {
        if (value.empty())
            return;
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == key) {
                values[i] = value;
                return;
            }
        keys.emplace_back(key);
        values.push_back(value);
    }
    std::string get(const char *key) const
    {
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == key)
                return values[i];
        return std::string();
    }

    // Starts a non-blocking connection with these keywords (nullptr when out of memory).
    // expand_dbname = 0: a database name is only a name, never a connection string.
    PGconn *start() const
    {
        std::vector<const char *> k, v;
        for (size_t i = 0; i < keys.size(); ++i) {
            k.push_back(keys[i].c_str());
            v.push_back(values[i].c_str());
        }
        k.push_back(nullptr);
        v.push_back(nullptr);
        return PQconnectStartParams(k.data(), v.data(), 0);
    }
};

struct ConninfoFree {
    void operator()(PQconninfoOption *o) const noexcept { PQconninfoFree(o); }
};

// A text with its %XX escapes decoded until none is left (libpq decodes a URI once; a
// doubled escape must not hide a keyword from the check below either).
std::string percent_decoded(std::string text)
{
    for (int round = 0; round < 8; ++round) {
        std::string out;
        bool changed = false;
        for (size_t i = 0; i < text.size(); ++i) {
            int hi = i + 2 < text.size() && text[i] == '%' ? hex_digit(text[i + 1]) : -1;
            int lo = hi >= 0 ? hex_digit(text[i + 2]) : -1;
            if (lo < 0) {
                out += text[i];
                continue;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            changed = true;
        }
        text.swap(out);
        if (!changed)
            break;
    }
    return text;
}

// True when a DSN may carry a password: a password keyword (in any percent-encoding, in a
// conninfo string or a URI's query) or a URI's user:password@.
bool may_hold_password(const std::string &dsn)
{
    std::string lower = percent_decoded(dsn);
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    size_t scheme = lower.find("://");
    size_t at = scheme == std::string::npos ? std::string::npos : lower.find('@', scheme);
    return lower.find("password") != std::string::npos ||
           (at != std::string::npos && lower.find(':', scheme + 3) < at);
}

// Takes the settings of a DSN (conninfo string or URI) as the base of the session's keywords.
bool add_dsn(const std::string &dsn, ConnParams &params, std::string &err)
{
    char *message = nullptr;
    std::unique_ptr<PQconninfoOption, ConninfoFree> options(PQconninfoParse(dsn.c_str(), &message));
    if (!options) {
        std::string why = message ? message : "out of memory";
        PQfreemem(message);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        // libpq's parse messages quote the fragment they stumbled on, which may be (part of)
        // a password, and a password holding '"' would end the quote early: a DSN that may
        // hold one gets no detail at all.
        err = "[08001] the connection text's DSN is not a valid connection string";
        if (!may_hold_password(dsn))
            err += ": " + why;
        return false;
    }
    for (PQconninfoOption *o = options.get(); o->keyword; ++o)
        if (o->val)
            params.set(o->keyword, o->val);
    return true;
}

// The strength of an sslmode, weakest first; -1 for an unknown name.
int sslmode_rank(const std::string &mode)
{
    static const char *const modes[] = {"disable", "allow", "prefer", "require", "verify-ca",
                                        "verify-full"};
    for (int i = 0; i < 6; ++i)
        if (mode == modes[i])
            return i;
    return -1;
}

// A DSN may come from text configured as a host name (ztcondb reads a first argument holding
// '=' as one): its sslmode may not turn TLS down from what the environment asks for in
// PGSSLMODE. Without PGSSLMODE a DSN's sslmode holds, as it does in every libpq program
// ("dbname=app sslmode=disable" is a common connection string). An sslmode given on its own,
// outside the DSN, decides.
bool check_dsn_sslmode(const ConnText &ct, const ConnParams &params, std::string &err)
{
    std::string from_dsn = params.get("sslmode");
    const char *env = std::getenv("PGSSLMODE");
    if (!ct.sslmode.empty() || from_dsn.empty() || !env || sslmode_rank(env) < 0)
        return true;
    std::string floor = env;
    int rank = sslmode_rank(from_dsn);
    if (rank < 0 || rank >= sslmode_rank(floor))
        return true;
    err = "[08001] the DSN's sslmode=" + from_dsn + " is weaker than " + floor +
          ", which the environment asks for; give sslmode on its own to choose it";
    return false;
}

// The keywords for parsed connection fields: the DSN first, then every field the text gives,
// then the settings the library's decoders rely on. What is still unset comes from libpq's
// environment variables, ~/.pgpass and its defaults.
bool connection_params(const ConnText &ct, ConnParams &params, std::string &err)
{
    if (!ct.dsn.empty() && (!add_dsn(ct.dsn, params, err) || !check_dsn_sslmode(ct, params, err)))
        return false;
    params.set("host", ct.hosts);
    params.set("port", !ct.ports.empty() ? ct.ports : ct.port ? std::to_string(ct.port) : "");
    params.set("dbname", ct.db);
    params.set("user", ct.user);
    params.set("password", ct.password);
    params.set("sslmode", ct.sslmode);
    params.set("target_session_attrs", ct.target_session_attrs);
    params.set("connect_timeout", ct.connect_timeout);
    params.set("application_name", ct.application_name);
    params.set("options", ct.options);
    params.set("client_encoding", "UTF8");
    params.set("fallback_application_name", "ztcondb");
    // Without a timeout from the caller or PGCONNECT_TIMEOUT an unreachable host would block
    // for the system's TCP timeout.
    const char *env_timeout = std::getenv("PGCONNECT_TIMEOUT");
    if (params.get("connect_timeout").empty() && !(env_timeout && *env_timeout))
        params.set("connect_timeout", "10");
    return true;
}

// The wait handler of opens, for every thread (ZTC_SetOpenWaitHandler).
std::atomic<ZTC_WAIT_HANDLER> open_handler{nullptr};
std::atomic<void *> open_context{nullptr};
std::atomic<int> open_tick_ms{100};

// The comma-separated entries of a host, hostaddr or port list.
std::vector<std::string> list_entries(const std::string &list)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        out.push_back(list.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            return out;
        start = comma + 1;
    }
}

// The seconds an attempt on one server may take: libpq's reading of connect_timeout (from the
// settings, else PGCONNECT_TIMEOUT): 0 for none, at least 2.
int attempt_seconds(const ConnParams &params)
{
    std::string value = params.get("connect_timeout");
    const char *env = std::getenv("PGCONNECT_TIMEOUT");
    if (value.empty() && env)
        value = env;
    long n = std::strtol(value.c_str(), nullptr, 10);
    if (n <= 0)
        return 0;
    return n < 2 ? 2 : static_cast<int>(std::min<long>(n, INT_MAX));
}

// Drops the hosts up to and including the one libpq was trying (PQhost, PQport), so that a
// new attempt starts at the next; false when it was the last or cannot be told.
bool skip_tried_host(ConnParams &params, PGconn *conn)
{
    std::vector<std::string> hosts = list_entries(params.get("host"));
    std::vector<std::string> addrs = list_entries(params.get("hostaddr"));
    std::vector<std::string> ports = list_entries(params.get("port"));
    size_t n = std::max(hosts.size(), addrs.size());
    const char *host = PQhost(conn), *port = PQport(conn);
    if (n < 2 || !host)
        return false;
    for (size_t i = 0; i + 1 < n; ++i) {
        bool same = (i < hosts.size() && hosts[i] == host) || (i < addrs.size() && addrs[i] == host);
        if (same && port && ports.size() == n && ports[i] != port)
            same = false;
        if (!same)
            continue;
        auto rest = [&](const std::vector<std::string> &list, const char *key) {
            if (list.size() != n)
                return;
            std::string joined;
            for (size_t j = i + 1; j < n; ++j)
                joined += (j > i + 1 ? "," : "") + list[j];
            params.values[std::find(params.keys.begin(), params.keys.end(), key) -
                          params.keys.begin()] = joined;
        };
        rest(hosts, "host");
        rest(addrs, "hostaddr");
        rest(ports, "port");
        return true;
    }
    return false;
}

// One connection attempt over the hosts of `params`, polled tick by tick: the open wait
// handler runs between ticks, and a host that does not finish within connect_timeout is
// given up for the next one, as libpq's blocking connect does. Returns the connection (also a
// failed one, carrying libpq's message); nullptr with `err` set when out of memory, interrupted
// or out of time.
PGconn *start_connection(ConnParams &params, std::string &err)
{
    using Clock = std::chrono::steady_clock;
    const int seconds = attempt_seconds(params);
    for (;;) {
        std::unique_ptr<PGconn, PGconnFree> conn(params.start());
        if (!conn) {
            set_error(err, "08001", "out of memory while connecting");
            return nullptr;
        }
        PostgresPollingStatusType st =
            PQstatus(conn.get()) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
        int socket = -1;
        Clock::time_point attempt_start = Clock::now();
        bool timed_out = false;
        while (st != PGRES_POLLING_OK && st != PGRES_POLLING_FAILED) {
            if (PQsocket(conn.get()) != socket) {
                socket = PQsocket(conn.get());
                attempt_start = Clock::now();
            }
            if (socket < 0) {
                st = PQconnectPoll(conn.get());
                continue;
            }
            const int tick = open_tick_ms.load();
            pollfd p{socket, static_cast<short>(st == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
            int rc = poll(&p, 1, tick > 0 ? tick : 100);
            if (rc != 0) {
                st = PQconnectPoll(conn.get());
                continue;
            }
            ZTC_WAIT_HANDLER handler = open_handler.load();
            if (handler && handler(open_context.load())) {
                set_error(err, "57014", "the connection attempt was interrupted");
                return nullptr;
            }
            if (seconds > 0 && Clock::now() - attempt_start >= std::chrono::seconds(seconds)) {
                timed_out = true;
                break;
            }
        }
        if (!timed_out)
            return conn.release();
        if (!skip_tried_host(params, conn.get())) {
            set_error(err, "08001",
                      "no answer from the server within connect_timeout (" +
                          std::to_string(seconds) + " s): timeout expired");
            return nullptr;
        }
    }
}

// Opens the libpq connection for parsed connection fields. On failure returns nullptr with the
// message (libpq's, under 08001, without the password) in err.
PGconn *connect(const ConnText &ct, std::string &err)
{
    ConnParams params;
    if (!connection_params(ct, params, err)) {
        leave_out_passwords(err, {&ct.password});
        return nullptr;
    }
    const std::string password = params.get("password");
    std::unique_ptr<PGconn, PGconnFree> conn(start_connection(params, err));
    if (!conn) {
        leave_out_passwords(err, {&ct.password, &password});
        return nullptr;
    }
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        Session tmp;
        tmp.conn = conn.get();
        set_error_from_conn(tmp, "08001");
        tmp.conn = nullptr;
        err = *tmp.error;
        // The password given, the DSN's (as libpq parsed it, escapes decoded), and the one
        // libpq used (it may come from ~/.pgpass or PGPASSWORD).
        const char *used_text = PQpass(conn.get());
        std::string given = params.get("password"), used(used_text ? used_text : "");
        leave_out_passwords(err, {&ct.password, &given, &used});
        return nullptr;
    }
    PQsetNoticeProcessor(conn.get(), ignore_notice, nullptr);
    return conn.release();
}

}  // namespace

std::string open_failure(PGconn *conn, const std::string &password)
{
    Session tmp;
    tmp.conn = conn;
    set_error_from_conn(tmp, "08001");
    tmp.conn = nullptr;
    std::string err = *tmp.error;
    const char *used_text = PQpass(conn);
    std::string used(used_text ? used_text : "");
    leave_out_passwords(err, {&password, &used});
    return err;
}

PGconn *start_open(const char *text, std::string &err, std::string &password)
{
    ConnText ct;
    const bool host_list = std::strncmp(text, "IPS=", 4) == 0;
    if (!parse_connection_text(text, host_list, ct, err)) {
        leave_out_passwords(err, {&ct.password});
        return nullptr;
    }
    ConnParams params;
    if (!connection_params(ct, params, err)) {
        leave_out_passwords(err, {&ct.password});
        return nullptr;
    }
    password = params.get("password");
    if (password.empty())
        password = ct.password;
    PGconn *conn = params.start();
    if (!conn) {
        set_error(err, "08001", "out of memory while connecting");
        return nullptr;
    }
    if (PQstatus(conn) == CONNECTION_BAD) {
        err = open_failure(conn, password);
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(conn, ignore_notice, nullptr);
    return conn;
}

bool continue_open(Session &s)
{
    PQsetNoticeProcessor(s.conn, keep_notice, &s);
    prepare_waits(s);
    if (!PQsendQuery(s.conn, kSessionSettings)) {
        set_error_from_conn(s, "08001");
        return false;
    }
    return true;
}

std::string statement_preamble(Session &s, bool *settings)
{
    std::string text;
    *settings = s.settings_lost && PQtransactionStatus(s.conn) != PQTRANS_INERROR;
    if (*settings)
        text = std::string(kSessionSettings) + "; ";
    if (!s.autocommit && PQtransactionStatus(s.conn) == PQTRANS_IDLE)
        text += "BEGIN";
    return text;
}

namespace {

// Shared body of the two open calls.
int open_session(const char *text, bool host_list, ZTC_HANDLE *attrs, ZTC_HANDLE *S)
{
    if (!S)
        return -1;
    *S = nullptr;
    if (attrs)
        *attrs = nullptr;
    // A failed open still hands back a session record carrying the message, so that the caller
    // can read it with ZTC_GetError; it has no connection and every statement call refuses it.
    auto s = std::make_unique<Session>();
    int rc = guarded(s->error.get(), [&]() -> int {
        if (!text) {
            set_error(*s, "08001", "no connection text");
            return -1;
        }
        ConnText ct;
        std::string err;
        if (!parse_connection_text(text, host_list, ct, err)) {
            leave_out_passwords(err, {&ct.password});
            *s->error = err;
            return -1;
        }
        s->conn = connect(ct, err);
        if (!s->conn) {
            *s->error = err;
            return -1;
        }
        PQsetNoticeProcessor(s->conn, keep_notice, s.get());
        prepare_waits(*s);
        if (!run_command(*s, kSessionSettings)) {
            *s->error = "[08001] the session settings could not be made: " + *s->error;
            PQfinish(s->conn);
            s->conn = nullptr;
            return -1;
        }
        if (host_list && attrs) {
            auto a = std::make_unique<IpsAttrs>();
            a->hosts = ct.hosts;
            const char *h = PQhost(s->conn);
            a->host_in_use = h ? h : "";
            *attrs = a.release();
        }
        return 0;
    });
    *S = s.release();
    return rc;
}

// In a forked child the session's socket is the parent's too: whatever libpq would send on
// closing (the Terminate message, a TLS close-notify) would end the parent's session. The
// child's copy of the socket is first pointed at /dev/null, so libpq's goodbye goes nowhere
// and its close only drops the child's descriptor.
void detach_socket(PGconn *conn)
{
    int sock = PQsocket(conn);
    if (sock < 0)
        return;
    int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0)
        return;
    ::dup2(null_fd, sock);
    ::close(null_fd);
}

// Forks this process came out of, counted by the child's handler.
std::atomic<unsigned> forks_in_child{0};

extern "C" void count_fork_in_child()
{
    forks_in_child.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

unsigned fork_generation()
{
    static const int registered = pthread_atfork(nullptr, nullptr, count_fork_in_child);
    (void)registered;
    return forks_in_child.load(std::memory_order_relaxed);
}

Session::~Session()
{
    if (cancel)
        PQfreeCancel(cancel);
    if (conn) {
        PQsetNoticeProcessor(conn, ignore_notice, nullptr);
        if (foreign_process(*this))
            detach_socket(conn);
        PQfinish(conn);
    }
}

bool in_transaction(const Session &s)
{
    PGTransactionStatusType st = PQtransactionStatus(s.conn);
    return st == PQTRANS_INTRANS || st == PQTRANS_INERROR || st == PQTRANS_ACTIVE;
}

bool run_command(Session &s, const char *sql)
{
    ResultPtr r(exec_wait(s, sql));
    ExecStatusType st = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        set_error_from_result(s, r.get());
        return false;
    }
    return true;
}


bool begin_if_needed(Session &s)
{
    drop_retired(s);
    if (s.settings_lost && PQtransactionStatus(s.conn) != PQTRANS_INERROR) {
        if (!run_command(s, kSessionSettings))
            return false;
        s.settings_lost = false;
    }
    if (s.autocommit || PQtransactionStatus(s.conn) != PQTRANS_IDLE)
        return true;
    return run_command(s, "BEGIN");
}

bool end_transaction(Session &s, bool commit)
{
    s.held_cursors.clear();
    s.cursor_transaction = false;
    PGTransactionStatusType st = PQtransactionStatus(s.conn);
    if (st == PQTRANS_IDLE)
        return true;
    if (!commit || st != PQTRANS_INERROR)
        return run_command(s, commit ? "COMMIT" : "ROLLBACK");
    // The server answers COMMIT of a failed transaction with a rollback and no error; saying
    // so keeps a lost transaction from passing for a committed one.
    if (!run_command(s, "ROLLBACK"))
        return false;
    set_error(s, "40000",
              "the transaction had failed and was rolled back instead of committed");
    return false;
}

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_OpenConn(const char *conn_text, ZTC_HANDLE *S)
{
    return open_session(conn_text, false, nullptr, S);
}

// ntimes (connection attempts per host) is left to libpq: every host of the list is tried once.
ZTC_API int ZTC_OpenConn_Ips(const char *conn_text, int ntimes, ZTC_HANDLE *attrs, ZTC_HANDLE *S)
{
    (void)ntimes;
    return open_session(conn_text, true, attrs, S);
}

// Ends the session. In autocommit mode a transaction the library kept open for procedure cursors
// is committed first (its statements count as committed for the caller); any other open
// transaction is rolled back by the server when the connection ends.
ZTC_API int ZTC_CloseConn(ZTC_HANDLE *S)
{
    Session *s = session_of(S);
    if (!s)
        return 0;
    *S = nullptr;
    if (s->conn && !foreign_process(*s) && s->autocommit && s->cursor_transaction &&
        PQtransactionStatus(s->conn) == PQTRANS_INTRANS) {
        ResultPtr r(exec_wait(*s, "COMMIT"));
    }
    delete s;
    return 0;
}

ZTC_API int ZTC_SetOpenWaitHandler(ZTC_WAIT_HANDLER handler, void *context, int tick_ms)
{
    open_context.store(context);
    open_tick_ms.store(tick_ms > 0 ? tick_ms : 100);
    open_handler.store(handler);
    return 0;
}

ZTC_API int Release_IpsAttrs(ZTC_HANDLE *attrs)
{
    if (!attrs || !*attrs)
        return 0;
    delete static_cast<IpsAttrs *>(*attrs);
    *attrs = nullptr;
    return 0;
}

// Control texts switch autocommit or end the transaction; any other text runs as SQL with the
// session's bindings and its results are dropped.
ZTC_API int ZTC_Execute_no_query(ZTC_HANDLE *S, const char *sql)
{
    return with_statement(S, sql, [&](Session &s) -> int {
        switch (control_text(sql)) {
        case CONTROL_AUTOCOMMIT_OFF:
            s.autocommit = false;
            return 0;
        case CONTROL_AUTOCOMMIT_ON: {
            bool ok = end_transaction(s, true);
            s.autocommit = true;
            return ok ? 0 : -1;
        }
        case CONTROL_COMMIT:
            return end_transaction(s, true) ? 0 : -1;
        case CONTROL_ROLLBACK:
            return end_transaction(s, false) ? 0 : -1;
        case CONTROL_NONE:
            break;
        }
        ResultList results;
        return exec_text(s, sql, results) ? 0 : -1;
    });
}

namespace zt {

Session *connected_session(ZTC_HANDLE *S)
{
    return connected_session(S, true);
}

Session *connected_session(ZTC_HANDLE *S, bool end_pipeline)
{
    Session *s = session_of(S);
    if (s && !s->conn) {
        try {
            set_error(*s, "08003", "the session is not connected");
        } catch (...) {
        }
        return nullptr;
    }
    if (s && foreign_process(*s)) {
        try {
            set_error(*s, "08003",
                      "the session belongs to the process that opened it (pid " +
                          std::to_string(s->owner_pid) + "); a forked process cannot use it");
        } catch (...) {
        }
        return nullptr;
    }
    // A non-blocking operation owns the connection until it is finished.
    if (s && s->async.phase != AsyncOperation::IDLE) {
        try {
            set_error(*s, "HY010", "a non-blocking operation is in progress on this session");
        } catch (...) {
        }
        return nullptr;
    }
    // A broken session fails every call at once, with the reason it broke.
    if (s && (s->broken.load() || PQstatus(s->conn) == CONNECTION_BAD)) {
        try {
            check_connection(*s, nullptr);
            *s->error = s->broken_reason;
        } catch (...) {
        }
        return nullptr;
    }
    if (s && s->page_ahead && s->page_ahead->in_flight)
        settle_page_ahead(*s);
    if (end_pipeline && s && s->pipeline && s->pipeline->active)
        settle_pipeline(*s);
    // A change of client_encoding that a path without its own check let through is set back
    // before this call sends anything; the call fails, saying so.
    if (s && !(s->pipeline && s->pipeline->active) &&
        PQtransactionStatus(s->conn) != PQTRANS_INERROR) {
        try {
            std::string err;
            if (!keep_utf8_encoding(*s, err)) {
                *s->error = err;
                return nullptr;
            }
        } catch (...) {
        }
    }
    // The transaction the COPY targets were asked in has ended.
    if (s && !s->copy_targets.empty() && PQtransactionStatus(s->conn) == PQTRANS_IDLE)
        s->copy_targets.clear();
    return s;
}

}  // namespace zt

ZTC_API int ZTC_GetNotice(ZTC_HANDLE *S, char *buffer, int capacity, int *length)
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    if (s->notices.empty())
        return ZTC_NO_MORE;
    const std::string &text = s->notices.front();
    if (length)
        *length = text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
    if (!buffer || capacity <= 0 || text.size() >= static_cast<size_t>(capacity))
        return 0;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    s->notices.pop_front();
    return 0;
}
