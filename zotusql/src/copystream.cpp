// COPY streamed by the caller: ZTC_CopyStart sends a COPY statement, then the caller either
// sends the data in chunks (ZTC_CopyPut, for COPY ... FROM STDIN) or reads it in chunks
// (ZTC_CopyGet, for COPY ... TO STDOUT), and ZTC_CopyEnd finishes the statement and reports the
// row count. While a COPY is open every other statement call of the session fails with a clear
// message instead of confusing the protocol.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "sqltext.h"

namespace zt {

// Reads the results that end a COPY: the statement's own (its tag carries the row count), then
// the end of the query. False with the server's message when the COPY failed.
bool finish_copy(Session &s, long long *rows)
{
    std::string failure;
    long long count = 0;
    bool any = false;
    while (PGresult *raw = next_result(s)) {
        ResultPtr r(raw);
        any = true;
        switch (PQresultStatus(raw)) {
        case PGRES_COMMAND_OK:
            count = std::atoll(PQcmdTuples(raw));
            break;
        case PGRES_COPY_OUT: {
            // The caller stopped reading early: the rest is drained and dropped.
            char *buf = nullptr;
            while (get_copy_data(s, &buf) > 0)
                PQfreemem(buf);
            break;
        }
        case PGRES_COPY_IN:
            put_copy_end(s, "the COPY was ended early");
            break;
        default:
            if (failure.empty())
                failure = format_result_error(raw, s.conn);
        }
    }
    s.copy_direction = 0;
    s.copy_pending.clear();
    if (!any && failure.empty())
        failure = format_result_error(nullptr, s.conn);
    if (!failure.empty()) {
        *s.error = failure;
        return false;
    }
    if (rows)
        *rows = count;
    return true;
}

namespace {

// The session in the given COPY direction, or nullptr with a message.
Session *copying_session(ZTC_HANDLE *S, int direction)
{
    Session *s = connected_session(S);
    if (s && s->copy_direction != direction) {
        set_error(*s, "HY010", direction == ZTC_COPY_IN ? "no COPY FROM STDIN is in progress"
                                                        : "no COPY TO STDOUT is in progress");
        return nullptr;
    }
    return s;
}

}  // namespace

}  // namespace zt

using namespace zt;

// Sends a COPY statement (no parameters) and reports in *direction whether the caller now sends
// data (ZTC_COPY_IN) or reads it (ZTC_COPY_OUT). A text that is not one COPY statement is
// refused with [0A000] before anything is sent; a COPY the server does not answer with a copy
// stream (COPY ... TO a file) is run to its end and refused the same way.
ZTC_API int ZTC_CopyStart(ZTC_HANDLE *S, const char *sql, int *direction)
{
    return with_statement(S, sql, [&](Session &s) -> int {
        if (!direction) {
            set_error(s, "HY000", "no direction word");
            return -1;
        }
        if (!is_single_copy(sql)) {
            set_error(s, "0A000", "not a COPY FROM STDIN or COPY TO STDOUT statement");
            return -1;
        }
        if (!begin_if_needed(s))
            return -1;
        if (!PQsendQuery(s.conn, sql)) {
            set_error_from_conn(s, "08006");
            return -1;
        }
        PGresult *raw = next_result(s);
        ResultPtr r(raw);
        ExecStatusType status = raw ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT) {
            s.copy_direction = status == PGRES_COPY_IN ? ZTC_COPY_IN : ZTC_COPY_OUT;
            *direction = s.copy_direction;
            return 0;
        }
        std::string failure = status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE
                                  ? format_result_error(raw, s.conn)
                                  : std::string("[0A000] not a COPY FROM STDIN or COPY TO STDOUT "
                                                "statement");
        r.reset();
        s.copy_direction = -1;   // finish_copy drains whatever else the text produced
        finish_copy(s, nullptr);
        *s.error = failure;
        return -1;
    });
}

// Sends `length` bytes of COPY data (any split of the data: rows may straddle chunks).
ZTC_API int ZTC_CopyPut(ZTC_HANDLE *S, const char *data, int length)
{
    Session *s = copying_session(S, ZTC_COPY_IN);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (length < 0 || (length > 0 && !data)) {
            set_error(*s, "22023", "bad COPY data buffer");
            return -1;
        }
        if (length > 0 && put_copy_data(*s, data, length) != 1) {
            set_error_from_conn(*s, "08006");
            return -1;
        }
        return 0;
    });
}

// Copies up to `capacity` bytes of COPY TO STDOUT data into buffer and sets *length; returns 0
// with data, ZTC_NO_MORE when the data has ended (then ZTC_CopyEnd reports the count).
ZTC_API int ZTC_CopyGet(ZTC_HANDLE *S, char *buffer, int capacity, int *length)
{
    Session *s = copying_session(S, ZTC_COPY_OUT);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (!buffer || capacity <= 0 || !length) {
            set_error(*s, "22023", "bad COPY buffer");
            return -1;
        }
        int used = 0;
        while (used < capacity) {
            if (s->copy_pending.empty()) {
                if (s->copy_ended)
                    break;
                char *row = nullptr;
                int n = get_copy_data(*s, &row);
                if (n == -1) {
                    s->copy_ended = true;
                    break;
                }
                if (n < 0) {
                    set_error_from_conn(*s, "08006");
                    return -1;
                }
                s->copy_pending.assign(row, static_cast<size_t>(n));
                s->copy_offset = 0;
                PQfreemem(row);
            }
            size_t left = s->copy_pending.size() - s->copy_offset;
            size_t take = std::min(left, static_cast<size_t>(capacity - used));
            std::memcpy(buffer + used, s->copy_pending.data() + s->copy_offset, take);
            used += static_cast<int>(take);
            s->copy_offset += take;
            if (s->copy_offset == s->copy_pending.size()) {
                s->copy_pending.clear();
                s->copy_offset = 0;
            }
        }
        *length = used;
        return used > 0 ? 0 : ZTC_NO_MORE;
    });
}

// Ends the COPY in progress. For COPY FROM STDIN, a non-null `abort_message` makes the server
// refuse the data with that message (nothing is stored); otherwise the data is committed to the
// statement. For COPY TO STDOUT unread data is dropped. Sets *rows to the rows copied.
ZTC_API int ZTC_CopyEnd(ZTC_HANDLE *S, const char *abort_message, long long *rows)
{
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (s->copy_direction == 0) {
            set_error(*s, "HY010", "no COPY is in progress");
            return -1;
        }
        if (s->copy_direction == ZTC_COPY_IN && put_copy_end(*s, abort_message) != 1) {
            set_error_from_conn(*s, "08006");
            s->copy_direction = 0;
            return -1;
        }
        s->copy_ended = false;
        return finish_copy(*s, rows) ? 0 : -1;
    });
}
