// Sessions: opening one from the driver's connection texts, closing it, the host-list
// attributes, and transaction control (autocommit, the control texts of ZTC_Execute_no_query).
#include <cstring>

#include "conntext.h"
#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

// Session settings that make the server's text forms the ones the decoders read.
constexpr const char *kSessionOptions =
    "-c DateStyle=ISO -c IntervalStyle=postgres -c TimeZone=UTC -c extra_float_digits=1 "
    "-c bytea_output=hex";

// The library never prints: server notices and warnings are dropped.
void ignore_notice(void *, const char *) {}

// Replaces every occurrence of the password in a message, so that no message carries it.
void hide_password(std::string &msg, const std::string &password)
{
    if (password.empty())
        return;
    size_t at = 0;
    while ((at = msg.find(password, at)) != std::string::npos) {
        msg.replace(at, password.size(), "***");
        at += 3;
    }
}

struct PGconnFree {
    void operator()(PGconn *c) const noexcept { PQfinish(c); }
};

// Opens the libpq connection for parsed connection fields. On failure returns nullptr with the
// message (libpq's, under 08001, without the password) in err.
PGconn *connect(const ConnText &ct, std::string &err)
{
    std::string port = std::to_string(ct.port);
    const char *keys[] = {"host", "port", "dbname", "user", "password", "client_encoding",
                          "application_name", "connect_timeout", "options", nullptr};
    const char *values[] = {ct.hosts.c_str(), port.c_str(), ct.db.c_str(), ct.user.c_str(),
                            ct.password.c_str(), "UTF8", "ztcondb", "10", kSessionOptions,
                            nullptr};
    // expand_dbname = 0: a database name is only a name, never a connection string.
    std::unique_ptr<PGconn, PGconnFree> conn(PQconnectdbParams(keys, values, 0));
    if (!conn) {
        set_error(err, "08001", "out of memory while connecting");
        return nullptr;
    }
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        Session tmp;
        tmp.conn = conn.get();
        set_error_from_conn(tmp, "08001");
        tmp.conn = nullptr;
        err = *tmp.error;
        hide_password(err, ct.password);
        return nullptr;
    }
    PQsetNoticeProcessor(conn.get(), ignore_notice, nullptr);
    return conn.release();
}

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
            hide_password(err, ct.password);
            *s->error = err;
            return -1;
        }
        s->conn = connect(ct, err);
        if (!s->conn) {
            *s->error = err;
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

}  // namespace

Session::~Session()
{
    if (conn)
        PQfinish(conn);
}

bool in_transaction(const Session &s)
{
    PGTransactionStatusType st = PQtransactionStatus(s.conn);
    return st == PQTRANS_INTRANS || st == PQTRANS_INERROR || st == PQTRANS_ACTIVE;
}

bool run_command(Session &s, const char *sql)
{
    ResultPtr r(PQexec(s.conn, sql));
    ExecStatusType st = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        set_error_from_result(s, r.get());
        return false;
    }
    return true;
}

bool begin_if_needed(Session &s)
{
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
    if (s->conn && s->autocommit && s->cursor_transaction &&
        PQtransactionStatus(s->conn) == PQTRANS_INTRANS) {
        ResultPtr r(PQexec(s->conn, "COMMIT"));
    }
    delete s;
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
    Session *s = session_of(S);
    if (s && !s->conn) {
        try {
            set_error(*s, "08003", "the session is not connected");
        } catch (...) {
        }
        return nullptr;
    }
    return s;
}

}  // namespace zt
