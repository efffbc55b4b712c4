// Waiting on the server: every wait of a session is a loop of short polls on its socket, so that
// the driver's wait handler can run between them (Ctrl-C becomes a cancel request), and a lost
// connection marks the session broken. Also ZTC_Cancel, ZTC_SetWaitHandler and ZTC_IsBroken.
//
// There is no client-side limit on how long a statement may run: the session's statement_timeout
// can change at any time (SET, SET LOCAL, a function's SET clause, role and database settings),
// and the client cannot learn it while the statement runs, so any limit it kept could give up a
// statement that then commits. The server enforces its own timeout; a peer or network that
// vanished is noticed by TCP keepalives and the TCP user timeout; the caller can always cancel.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "internal.h"

namespace zt {

namespace {

using Clock = std::chrono::steady_clock;

// How long a cancelled statement may take to end before the session is given up.
constexpr std::chrono::seconds kCancelGrace(5);
// TCP keepalives: a peer that vanished is noticed after about idle + interval * count seconds.
constexpr int kKeepIdle = 30, kKeepInterval = 10, kKeepCount = 3;
// Data sent and never acknowledged for this long ends the connection (keepalives cover only an
// idle connection): the same minute or so.
constexpr unsigned kUserTimeoutMs = (kKeepIdle + kKeepInterval * kKeepCount) * 1000;

// Gives the session up: every later call fails with `reason`; the socket is shut down so that
// libpq, which still holds it, fails at once instead of waiting.
void abandon(Session &s, const std::string &reason)
{
    mark_broken(s, reason);
    int fd = PQsocket(s.conn);
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

bool send_cancel(Session &s)
{
    char message[256];
    return s.cancel && PQcancel(s.cancel, message, sizeof message) == 1;
}

// The value of a libpq setting the session was opened with, or "".
std::string setting(PGconn *conn, const char *keyword)
{
    std::string out;
    PQconninfoOption *options = PQconninfo(conn);
    for (PQconninfoOption *o = options; o && o->keyword; ++o)
        if (std::strcmp(o->keyword, keyword) == 0 && o->val)
            out = o->val;
    PQconninfoFree(options);
    return out;
}

void set_keepalive(int fd, int option, int value)
{
    setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
}

}  // namespace

void mark_broken(Session &s, const std::string &reason)
{
    if (s.broken_reason.empty())
        s.broken_reason = reason;
    s.broken.store(true);
}

void check_connection(Session &s, const PGresult *r)
{
    if (s.broken.load() || PQstatus(s.conn) != CONNECTION_BAD)
        return;
    std::string reason = format_result_error(r, s.conn);
    if (reason.compare(0, 8, "[HY000] ") == 0)
        reason.replace(1, 5, "08006");
    mark_broken(s, reason);
}

void prepare_waits(Session &s)
{
    PQsetnonblocking(s.conn, 1);
    s.cancel = PQgetCancel(s.conn);
    int fd = PQsocket(s.conn);
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    bool tcp = fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
               (address.ss_family == AF_INET || address.ss_family == AF_INET6);
    if (tcp && setting(s.conn, "keepalives") != "0" &&
        setting(s.conn, "keepalives_idle").empty()) {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        set_keepalive(fd, TCP_KEEPIDLE, kKeepIdle);
        set_keepalive(fd, TCP_KEEPINTVL, kKeepInterval);
        set_keepalive(fd, TCP_KEEPCNT, kKeepCount);
        if (setting(s.conn, "tcp_user_timeout").empty())
            setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    }
}

bool wait_socket(Session &s, short events)
{
    int fd = PQsocket(s.conn);
    if (fd < 0)
        return true;  // libpq reports the closed connection itself
    Clock::time_point cancelled_at;
    bool cancelled = false;
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = poll(&p, 1, s.tick_ms > 0 ? s.tick_ms : 100);
        if (rc > 0 || (rc < 0 && errno != EINTR))
            return true;
        const Clock::time_point now = Clock::now();
        if (!cancelled && s.wait_handler && s.wait_handler(s.wait_context)) {
            cancelled = true;
            cancelled_at = now;
            if (!send_cancel(s)) {
                abandon(s, "[57014] the call was interrupted and the cancel request could not "
                           "be sent; the session is closed");
                return false;
            }
        }
        if (cancelled && now - cancelled_at > kCancelGrace) {
            abandon(s, "[57014] the server did not end the interrupted statement within 5 s "
                       "of the cancel request; the session is closed");
            return false;
        }
    }
}

bool flush_output(Session &s)
{
    for (;;) {
        int rc = PQflush(s.conn);
        if (rc <= 0)
            return rc == 0;
        if (!wait_socket(s, POLLIN | POLLOUT))
            return false;
        // The server may be sending while we send: read it, or both sides could block.
        if (!PQconsumeInput(s.conn))
            return false;
    }
}

PGresult *next_result(Session &s)
{
    // Results a non-blocking operation read ahead come first.
    if (!s.ready_results.empty()) {
        PGresult *r = s.ready_results.front().release();
        s.ready_results.pop_front();
        return r;
    }
    if (flush_output(s)) {
        while (PQisBusy(s.conn)) {
            if (!wait_socket(s, POLLIN) || !PQconsumeInput(s.conn))
                break;
        }
    }
    // Ready, or the connection failed: either way PQgetResult no longer waits.
    PGresult *r = PQgetResult(s.conn);
    check_connection(s, r);
    return r;
}

// The last result of what was sent, as PQexec gives it (the earlier ones are dropped, an
// error result is kept over later ones).
ResultPtr last_result(Session &s)
{
    ResultPtr last;
    while (PGresult *raw = next_result(s)) {
        ExecStatusType st = PQresultStatus(raw);
        if (last && (PQresultStatus(last.get()) == PGRES_FATAL_ERROR))
            PQclear(raw);
        else
            last.reset(raw);
        if (st == PGRES_COPY_IN || st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH)
            break;
    }
    return last;
}

ResultPtr exec_wait(Session &s, const char *sql)
{
    if (!PQsendQuery(s.conn, sql)) {
        check_connection(s, nullptr);
        return nullptr;
    }
    return last_result(s);
}

ResultPtr exec_params_wait(Session &s, const char *sql, int n, const Oid *types,
                           const char *const *values, const int *lengths, const int *formats,
                           int result_format)
{
    if (!PQsendQueryParams(s.conn, sql, n, types, values, lengths, formats, result_format)) {
        check_connection(s, nullptr);
        return nullptr;
    }
    return last_result(s);
}

ResultPtr prepare_wait(Session &s, const char *name, const char *sql, int n, const Oid *types)
{
    if (!PQsendPrepare(s.conn, name, sql, n, types)) {
        check_connection(s, nullptr);
        return nullptr;
    }
    return last_result(s);
}

int put_copy_data(Session &s, const char *data, int n)
{
    for (;;) {
        int rc = PQputCopyData(s.conn, data, n);
        if (rc != 0)
            return rc == 1 && flush_output(s) ? 1 : -1;
        if (!wait_socket(s, POLLOUT) || !PQconsumeInput(s.conn))
            return -1;
    }
}

int put_copy_end(Session &s, const char *error)
{
    for (;;) {
        int rc = PQputCopyEnd(s.conn, error);
        if (rc != 0)
            return rc == 1 && flush_output(s) ? 1 : -1;
        if (!wait_socket(s, POLLOUT) || !PQconsumeInput(s.conn))
            return -1;
    }
}

int get_copy_data(Session &s, char **buffer)
{
    for (;;) {
        int rc = PQgetCopyData(s.conn, buffer, 1);
        if (rc != 0)
            return rc;
        if (!wait_socket(s, POLLIN) || !PQconsumeInput(s.conn))
            return -2;
    }
}

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_SetWaitHandler(ZTC_HANDLE *S, ZTC_WAIT_HANDLER handler, void *context, int tick_ms)
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    s->wait_handler = handler;
    s->wait_context = context;
    s->tick_ms = tick_ms > 0 ? tick_ms : 100;
    return 0;
}

// Reads only what never changes after the open (the cancel object): safe beside a running call.
ZTC_API int ZTC_Cancel(ZTC_HANDLE *S)
{
    Session *s = session_of(S);
    // A forked child's cancel would stop what the parent runs.
    if (!s || !s->cancel || foreign_process(*s))
        return -1;
    return send_cancel(*s) ? 0 : -1;
}

ZTC_API int ZTC_IsBroken(ZTC_HANDLE *S)
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    return s->conn && !s->broken.load() ? 0 : 1;
}
