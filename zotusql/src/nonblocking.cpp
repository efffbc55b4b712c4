// Non-blocking operations: an open, a statement, a COPY started, fed, read and ended without
// the thread ever waiting on the socket. Each call does what can be done now and tells the
// caller what to wait for (ZTC_WAIT_READ, ZTC_WAIT_WRITE on ZTC_Socket); ZTC_AsyncPoll goes on
// when the socket is ready, until it returns 0; ZTC_AsyncFinish then hands the outcome over
// through the same code as the blocking calls (the results read ahead wait in
// Session::ready_results, which next_result hands out first), so a finished statement gives
// the same result record as ZTC_ExecwithDataReader.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

using Op = AsyncOperation;

constexpr const char *kCopyInRefused = "COPY FROM STDIN is not supported through this interface";

// The session behind S for a non-blocking call: connected (or being connected), of this
// process, not broken. nullptr with the message recorded otherwise.
Session *async_session(ZTC_HANDLE *S)
{
    Session *s = session_of(S);
    if (!s)
        return nullptr;
    if (!s->conn) {
        set_error(*s, "08003", "the session is not connected");
        return nullptr;
    }
    if (foreign_process(*s)) {
        set_error(*s, "08003", "the session belongs to the process that opened it (pid " +
                                   std::to_string(s->owner_pid) + "); a forked process cannot use it");
        return nullptr;
    }
    if (s->broken.load()) {
        *s->error = s->broken_reason;
        return nullptr;
    }
    return s;
}

// Ends the operation: nothing in flight, nothing read ahead.
void reset(Session &s)
{
    s.async = AsyncOperation();
    s.ready_results.clear();
}

// The operation failed: its message is recorded (a lost connection breaks the session).
int fail(Session &s, const char *sqlstate)
{
    if (PQstatus(s.conn) == CONNECTION_BAD) {
        check_connection(s, nullptr);
        *s.error = s.broken_reason.empty() ? format_result_error(nullptr, s.conn) : s.broken_reason;
    } else {
        set_error_from_conn(s, sqlstate);
    }
    reset(s);
    s.copy_direction = 0;
    s.copy_pending.clear();
    return -1;
}

// Sends the operation's statement: simple protocol without parameters, else one unnamed
// statement over the extended protocol.
bool send_statement(Session &s)
{
    Op &op = s.async;
    if (op.simple)
        return PQsendQuery(s.conn, op.sql.c_str()) == 1;
    std::vector<const char *> values;
    std::vector<int> lengths;
    for (size_t i = 0; i < op.values.size(); ++i) {
        values.push_back(op.nulls[i] ? nullptr : op.values[i].data());
        lengths.push_back(static_cast<int>(op.values[i].size()));
    }
    return PQsendQueryParams(s.conn, op.sql.c_str(), static_cast<int>(values.size()),
                             op.types.data(), values.data(), lengths.data(), op.formats.data(),
                             0) == 1;
}

// Whether a text is one that ends or begins a transaction itself: no BEGIN goes before it.
bool transaction_control(const char *text)
{
    static const char *const kWords[] = {"BEGIN", "START", "COMMIT", "END", "ROLLBACK", "ABORT"};
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')
        ++text;
    for (const char *word : kWords) {
        size_t n = std::strlen(word);
        if (strncasecmp(text, word, n) == 0 && !std::isalpha(static_cast<unsigned char>(text[n])))
            return true;
    }
    return false;
}

// Sends the preamble when one is needed, else the statement itself.
bool send_first(Session &s, const char *text)
{
    Op &op = s.async;
    std::string preamble = statement_preamble(s, &op.settings_in_preamble);
    if (transaction_control(text) && !op.settings_in_preamble)
        preamble.clear();
    if (preamble.empty()) {
        op.phase = Op::STATEMENT;
        return send_statement(s);
    }
    op.phase = Op::PREAMBLE;
    return PQsendQuery(s.conn, preamble.c_str()) == 1;
}

// Reads COPY TO STDOUT data and drops it: 1 when the stream ended, 0 when more is to come,
// -1 when the connection failed.
int drain_copy_out(Session &s)
{
    for (;;) {
        char *buf = nullptr;
        int n = PQgetCopyData(s.conn, &buf, 1);
        if (n > 0) {
            PQfreemem(buf);
            continue;
        }
        return n == 0 ? 0 : n == -1 ? 1 : -1;
    }
}

// Sends what libpq holds, reads what the server sent, and moves the results that are
// complete into ready_results. 1 when the query's results are all in (or its COPY stream
// began, for a COPY start), 0 with *wait set when the socket must be waited on, -1 when the
// connection failed.
int pump(Session &s, int *wait)
{
    Op &op = s.async;
    const int flushed = PQflush(s.conn);
    if (flushed < 0 || !PQconsumeInput(s.conn))
        return -1;
    for (;;) {
        if (op.draining_copy) {
            int rc = drain_copy_out(s);
            if (rc < 0)
                return -1;
            if (rc == 0)
                break;
            op.draining_copy = false;
        }
        if (PQisBusy(s.conn))
            break;
        PGresult *raw = PQgetResult(s.conn);
        if (!raw)
            return 1;
        const ExecStatusType status = PQresultStatus(raw);
        s.ready_results.emplace_back(raw);
        if (op.kind == Op::COPY_START && (status == PGRES_COPY_IN || status == PGRES_COPY_OUT))
            return 1;
        if (status == PGRES_COPY_IN) {
            // The interface has no rows to give a COPY met in a statement: refusing it keeps
            // the session usable, and the server's answer is the failure reported.
            if (PQputCopyEnd(s.conn, kCopyInRefused) < 0)
                return -1;
            PQflush(s.conn);
        } else if (status == PGRES_COPY_OUT) {
            op.draining_copy = true;
        }
    }
    *wait = ZTC_WAIT_READ | (flushed == 1 ? ZTC_WAIT_WRITE : 0);
    return 0;
}

// The first failure among the results read ahead, or "".
std::string ready_failure(Session &s)
{
    for (const ResultPtr &r : s.ready_results) {
        ExecStatusType st = PQresultStatus(r.get());
        if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE)
            return format_result_error(r.get(), s.conn);
    }
    return std::string();
}

// A step of an open: libpq's connection polled; once made, the session settings are sent.
int poll_connect(Session &s)
{
    switch (PQconnectPoll(s.conn)) {
    case PGRES_POLLING_READING:
        return ZTC_WAIT_READ;
    case PGRES_POLLING_WRITING:
        return ZTC_WAIT_WRITE;
    case PGRES_POLLING_OK:
        if (!continue_open(s)) {
            reset(s);
            return -1;
        }
        s.async.phase = Op::STATEMENT;
        return -2;   // go on reading the settings' results
    default: {
        std::string err = open_failure(s.conn, s.async.password);
        reset(s);
        *s.error = err;
        return -1;
    }
    }
}

// The preamble's results are in: on success the statement is sent.
int after_preamble(Session &s)
{
    std::string failure = ready_failure(s);
    s.ready_results.clear();
    if (!failure.empty()) {
        reset(s);
        *s.error = failure;
        return -1;
    }
    if (s.async.settings_in_preamble)
        s.settings_lost = false;
    s.async.phase = Op::STATEMENT;
    if (!send_statement(s))
        return fail(s, "08006");
    return 0;
}

// One step of the operation in progress: 0 when it is done, the wait bits, or -1.
int step(Session &s)
{
    Op &op = s.async;
    for (;;) {
        if (op.phase == Op::IDLE || op.phase == Op::DONE)
            return 0;
        if (op.phase == Op::CONNECTING) {
            int rc = poll_connect(s);
            if (rc != -2)
                return rc;
            continue;
        }
        int wait = 0;
        int rc = pump(s, &wait);
        if (rc < 0)
            return fail(s, "08006");
        if (rc == 0)
            return wait;
        if (op.phase == Op::PREAMBLE) {
            if (after_preamble(s) < 0)
                return -1;
            continue;
        }
        op.phase = Op::DONE;
        return 0;
    }
}

// The statement's text and parameters taken into the operation (bindings are copied, so
// the caller may reset them before the operation ends). False with the message recorded.
bool take_statement(Session &s, const char *sql)
{
    Op &op = s.async;
    note_statement_text(s, sql);
    int markers = rewrite_markers(sql, op.sql);
    bool any_bound = std::any_of(s.params.begin(), s.params.end(),
                                 [](const Binding &b) { return b.bound; });
    op.simple = !any_bound && markers == 0;
    if (op.simple)
        return true;
    if (!check_markers(s, markers))
        return false;
    ParamArrays p;
    bound_params(s, markers, p);
    op.types = p.types;
    op.formats = p.formats;
    for (int i = 0; i < p.count(); ++i) {
        op.nulls.push_back(p.values[i] == nullptr);
        op.values.emplace_back(p.values[i] ? std::string(p.values[i], p.lengths[i]) : std::string());
    }
    return true;
}

// The frame of a call that starts an operation on a connected session with none in flight.
template <class F>
int start_operation(ZTC_HANDLE *S, const char *sql, F &&f) noexcept
{
    return with_statement(S, sql, [&](Session &s) -> int {
        reset(s);
        // Named statements the session dropped are deallocated first (rare: after a
        // DEALLOCATE or a threshold turned negative), in the blocking way.
        drop_retired(s);
        int rc = f(s);
        if (rc < 0)
            reset(s);
        return rc;
    });
}

}  // namespace

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_AsyncOpen(const char *conn_text, ZTC_HANDLE *S)
{
    if (!S)
        return -1;
    *S = nullptr;
    auto s = std::make_unique<Session>();
    int rc = guarded(s->error.get(), [&]() -> int {
        if (!conn_text) {
            set_error(*s, "08001", "no connection text");
            return -1;
        }
        std::string err;
        s->conn = start_open(conn_text, err, s->async.password);
        if (!s->conn) {
            *s->error = err;
            return -1;
        }
        s->async.kind = AsyncOperation::OPEN;
        s->async.phase = AsyncOperation::CONNECTING;
        return 0;
    });
    *S = s.release();
    return rc;
}

ZTC_API int ZTC_AsyncExecute(ZTC_HANDLE *S, const char *sql)
{
    return start_operation(S, sql, [&](Session &s) -> int {
        s.async.kind = AsyncOperation::EXECUTE;
        if (!take_statement(s, sql))
            return -1;
        if (!send_first(s, sql))
            return fail(s, "08006");
        return 0;
    });
}

ZTC_API int ZTC_AsyncCopyStart(ZTC_HANDLE *S, const char *sql)
{
    return start_operation(S, sql, [&](Session &s) -> int {
        if (!is_single_copy(sql)) {
            set_error(s, "0A000", "not a COPY FROM STDIN or COPY TO STDOUT statement");
            return -1;
        }
        s.async.kind = AsyncOperation::COPY_START;
        s.async.sql = sql;
        if (!send_first(s, sql))
            return fail(s, "08006");
        return 0;
    });
}

ZTC_API int ZTC_AsyncPoll(ZTC_HANDLE *S)
{
    Session *s = async_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (s->async.kind == AsyncOperation::COPY_DATA) {
            // Between chunks of COPY data: done once what was queued is sent.
            int flushed = PQflush(s->conn);
            if (flushed < 0 || !PQconsumeInput(s->conn))
                return fail(*s, "08006");
            return flushed == 1 ? ZTC_WAIT_READ | ZTC_WAIT_WRITE : 0;
        }
        return step(*s);
    });
}

ZTC_API int ZTC_AsyncFinish(ZTC_HANDLE *S, ZTC_HANDLE *R, int *columns, int64_t *rows,
                            int *affected)
{
    Session *s = async_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        AsyncOperation &op = s->async;
        if (op.phase != AsyncOperation::DONE) {
            set_error(*s, "HY010", "no finished non-blocking operation");
            return -1;
        }
        const AsyncOperation::Kind kind = op.kind;
        op = AsyncOperation();
        if (kind == AsyncOperation::OPEN) {
            std::string failure = ready_failure(*s);
            s->ready_results.clear();
            if (!failure.empty()) {
                *s->error = "[08001] the session settings could not be made: " + failure;
                PQfinish(s->conn);
                s->conn = nullptr;
                return -1;
            }
            return 0;
        }
        if (kind == AsyncOperation::COPY_START) {
            ExecStatusType status = s->ready_results.empty()
                                        ? PGRES_FATAL_ERROR
                                        : PQresultStatus(s->ready_results.front().get());
            if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT) {
                s->ready_results.clear();
                s->copy_direction = status == PGRES_COPY_IN ? ZTC_COPY_IN : ZTC_COPY_OUT;
                s->copy_ended = false;
                op.kind = AsyncOperation::COPY_DATA;
                if (columns)
                    *columns = s->copy_direction;
                return 0;
            }
            std::string failure = ready_failure(*s);
            s->ready_results.clear();
            *s->error = failure.empty()
                            ? "[0A000] not a COPY FROM STDIN or COPY TO STDOUT statement"
                            : failure;
            return -1;
        }
        if (kind == AsyncOperation::COPY_END) {
            long long copied = 0;
            if (!finish_copy(*s, &copied))
                return -1;
            if (rows)
                *rows = copied;
            return 0;
        }
        if (!R) {
            s->ready_results.clear();
            set_error(*s, "HY000", "no result handle");
            return -1;
        }
        ResultList results;
        if (!collect_results(*s, results))
            return -1;
        ResultCounts counts = result_counts(results.front().get());
        replace_result(R, new_result(*s, std::move(results)));
        if (columns)
            *columns = counts.columns;
        if (rows)
            *rows = counts.rows;
        if (affected)
            *affected = counts.affected;
        return 0;
    });
}

ZTC_API int ZTC_AsyncCopyPut(ZTC_HANDLE *S, const char *data, int length)
{
    Session *s = async_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (s->copy_direction != ZTC_COPY_IN || s->async.kind != AsyncOperation::COPY_DATA) {
            set_error(*s, "HY010", "no COPY FROM STDIN is in progress");
            return -1;
        }
        if (length < 0 || (length > 0 && !data)) {
            set_error(*s, "22023", "bad COPY data buffer");
            return -1;
        }
        // What was queued before goes first, so that libpq's buffer stays one chunk deep.
        int flushed = PQflush(s->conn);
        if (flushed < 0)
            return fail(*s, "08006");
        if (flushed == 1)
            return ZTC_WAIT_WRITE;
        int rc = length > 0 ? PQputCopyData(s->conn, data, length) : 1;
        if (rc < 0)
            return fail(*s, "08006");
        if (rc == 0)
            return ZTC_WAIT_WRITE;
        if (PQflush(s->conn) < 0)
            return fail(*s, "08006");
        return 0;
    });
}

ZTC_API int ZTC_AsyncCopyGet(ZTC_HANDLE *S, char *buffer, int capacity, int *length)
{
    Session *s = async_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (s->copy_direction != ZTC_COPY_OUT || s->async.kind != AsyncOperation::COPY_DATA) {
            set_error(*s, "HY010", "no COPY TO STDOUT is in progress");
            return -1;
        }
        if (!buffer || capacity <= 0 || !length) {
            set_error(*s, "22023", "bad COPY buffer");
            return -1;
        }
        *length = 0;
        if (s->copy_pending.empty()) {
            if (s->copy_ended)
                return ZTC_NO_MORE;
            if (!PQconsumeInput(s->conn))
                return fail(*s, "08006");
            char *row = nullptr;
            int n = PQgetCopyData(s->conn, &row, 1);
            if (n == 0)
                return ZTC_WAIT_READ;
            if (n == -1) {
                s->copy_ended = true;
                return ZTC_NO_MORE;
            }
            if (n < 0)
                return fail(*s, "08006");
            s->copy_pending.assign(row, static_cast<size_t>(n));
            s->copy_offset = 0;
            PQfreemem(row);
        }
        size_t take = std::min(s->copy_pending.size() - s->copy_offset,
                               static_cast<size_t>(capacity));
        std::memcpy(buffer, s->copy_pending.data() + s->copy_offset, take);
        *length = static_cast<int>(take);
        s->copy_offset += take;
        if (s->copy_offset == s->copy_pending.size()) {
            s->copy_pending.clear();
            s->copy_offset = 0;
        }
        return 0;
    });
}

ZTC_API int ZTC_AsyncCopyEnd(ZTC_HANDLE *S, const char *abort_message)
{
    Session *s = async_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (s->copy_direction == 0 || s->async.kind != AsyncOperation::COPY_DATA) {
            set_error(*s, "HY010", "no COPY is in progress");
            return -1;
        }
        if (s->copy_direction == ZTC_COPY_IN) {
            int rc = PQputCopyEnd(s->conn, abort_message);
            if (rc < 0) {
                s->copy_direction = 0;
                return fail(*s, "08006");
            }
            if (rc == 0)
                return ZTC_WAIT_WRITE;
        } else {
            // Unread data is read and dropped before the statement's own result.
            s->copy_pending.clear();
            s->async.draining_copy = !s->copy_ended;
        }
        s->copy_ended = false;
        s->async.kind = AsyncOperation::COPY_END;
        s->async.phase = AsyncOperation::STATEMENT;
        return 0;
    });
}
