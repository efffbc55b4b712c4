// The session's last message: recording it from library refusals, from the server's answers
// and from libpq, and copying it out through ZTC_GetError.
#include <climits>
#include <cstring>

#include "decode.h"
#include "internal.h"

namespace zt {

namespace {

// Message length the interface guarantees to fit (the driver passes 256 bytes).
constexpr size_t kMessageMax = 255;

// libpq's messages end with a newline and may span lines (one per host tried): one line,
// without trailing blanks.
std::string one_line(const char *text)
{
    std::string out = text ? text : "";
    for (char &c : out)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

}  // namespace

void set_error(std::string &slot, const char *sqlstate, const std::string &text)
{
    slot.clear();
    slot += '[';
    slot += sqlstate;
    slot += "] ";
    slot += text;
}

// A failure recorded while libpq already knows the connection is gone breaks the session at once,
// so that ZTC_IsBroken says so before the next call finds out.
static void note_lost_connection(Session &s)
{
    if (s.conn && !s.broken.load() && PQstatus(s.conn) == CONNECTION_BAD)
        check_connection(s, nullptr);
}

void set_error(Session &s, const char *sqlstate, const std::string &text)
{
    set_error(*s.error, sqlstate, text);
    note_lost_connection(s);
}

namespace {

// The fields of a server error kept behind its message, by libpq's letters (the SQLSTATE
// is the message's own; the primary text is kept whole too, as the message may be cut).
constexpr int kServerFields[] = {
    PG_DIAG_SEVERITY, PG_DIAG_SEVERITY_NONLOCALIZED, PG_DIAG_MESSAGE_PRIMARY,
    PG_DIAG_MESSAGE_DETAIL, PG_DIAG_MESSAGE_HINT, PG_DIAG_STATEMENT_POSITION,
    PG_DIAG_INTERNAL_POSITION, PG_DIAG_INTERNAL_QUERY, PG_DIAG_CONTEXT, PG_DIAG_SCHEMA_NAME, PG_DIAG_TABLE_NAME,
    PG_DIAG_COLUMN_NAME, PG_DIAG_DATATYPE_NAME, PG_DIAG_CONSTRAINT_NAME, PG_DIAG_SOURCE_FILE,
    PG_DIAG_SOURCE_LINE, PG_DIAG_SOURCE_FUNCTION,
};

void append_field(std::string &out, int field, const char *value)
{
    out += '\0';
    out += static_cast<char>(field);
    out += value;
}

// The lines of the server's report after its first ("LINE 1: ...", the caret under the
// error's position, "DETAIL:  ...", "HINT:  ..."), without the final newline; empty
// for a one-line report.
std::string report_lines(const char *report)
{
    const char *eol = report ? std::strchr(report, '\n') : nullptr;
    if (eol == nullptr)
        return std::string();
    std::string rest(eol + 1);
    while (!rest.empty() && rest.back() == '\n')
        rest.pop_back();
    return rest;
}

}  // namespace

std::string format_result_error(const PGresult *r, PGconn *conn)
{
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const char *primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    std::string out;
    if (state && primary) {
        set_error(out, state, primary);
        // The server's other fields ride behind the message, each after a zero byte and
        // its field letter: prefixes added later ("row 5: ") keep them with the message.
        for (int field : kServerFields) {
            const char *value = PQresultErrorField(r, field);
            if (value && *value)
                append_field(out, field, value);
        }
        std::string lines = report_lines(PQresultErrorMessage(r));
        if (!lines.empty())
            append_field(out, ZTC_ERROR_REPORT_LINES, lines.c_str());
        return out;
    }
    // No server message: a libpq-side failure (lost connection, protocol trouble).
    std::string text = one_line(r && *PQresultErrorMessage(r) ? PQresultErrorMessage(r)
                                                              : PQerrorMessage(conn));
    if (text.empty())
        text = "the server did not answer";
    bool lost = conn && PQstatus(conn) == CONNECTION_BAD;
    set_error(out, lost ? "08006" : (state ? state : "HY000"), text);
    return out;
}

void set_error_from_result(Session &s, const PGresult *r)
{
    *s.error = format_result_error(r, s.conn);
    note_lost_connection(s);
}

void set_error_from_conn(Session &s, const char *sqlstate)
{
    std::string text = one_line(s.conn ? PQerrorMessage(s.conn) : "");
    if (text.empty())
        text = "connection failure";
    set_error(s, sqlstate, text);
}

int copy_message(const std::string &msg, char *buffer, int *length)
{
    size_t n = utf8_cut(msg.data(), strnlen(msg.c_str(), msg.size()), kMessageMax);
    std::memcpy(buffer, msg.data(), n);
    buffer[n] = '\0';
    if (length)
        *length = static_cast<int>(n);
    return 0;
}

// The SQLSTATE of a message "[XXXXX] ..." (possibly after a prefix such as "row 5: ").
std::string message_sqlstate(const std::string &msg)
{
    size_t end = strnlen(msg.c_str(), msg.size());
    size_t at = msg.find('[');
    if (at == std::string::npos || at + 6 >= end || msg[at + 6] != ']')
        return std::string();
    return msg.substr(at + 1, 5);
}

// One field of a recorded error: the SQLSTATE from the message, the others from behind it.
std::string message_field(const std::string &msg, int field)
{
    if (field == ZTC_ERROR_SQLSTATE)
        return message_sqlstate(msg);
    size_t at = 0;
    while ((at = msg.find('\0', at)) != std::string::npos) {
        size_t next = msg.find('\0', at + 1);
        if (at + 1 < msg.size() && msg[at + 1] == static_cast<char>(field))
            return msg.substr(at + 2, next == std::string::npos ? std::string::npos
                                                                 : next - at - 2);
        at = next;
    }
    return std::string();
}

}  // namespace zt

using namespace zt;

// True for the letters ZTC_GetErrorField answers.
static bool known_field(int field)
{
    if (field == ZTC_ERROR_SQLSTATE || field == ZTC_ERROR_REPORT_LINES)
        return true;
    for (int f : kServerFields)
        if (f == field)
            return true;
    return false;
}

// Copies the session's last message; on an empty handle the text says so and -1 is returned.
ZTC_API int ZTC_GetError(ZTC_HANDLE *S, char *buffer, int *length)
{
    if (!buffer)
        return -1;
    Session *s = session_of(S);
    if (!s) {
        copy_message("[HY000] no session", buffer, length);
        return -1;
    }
    // Once the session broke, the reason it broke is the message of the failed call too: the
    // libpq text of a connection the library shut down itself would say less.
    return copy_message(s->broken.load() && !s->broken_reason.empty() ? s->broken_reason
                                                                      : *s->error,
                        buffer, length);
}

ZTC_API int ZTC_GetErrorField(ZTC_HANDLE *S, int field, char *buffer, int capacity, int *length)
{
    Session *s = session_of(S);
    if (!s || !buffer || capacity <= 0)
        return -1;
    if (!known_field(field))
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        std::string value = message_field(*s->error, field);
        size_t n = utf8_cut(value.data(), value.size(), static_cast<size_t>(capacity) - 1);
        std::memcpy(buffer, value.data(), n);
        buffer[n] = '\0';
        if (length)
            *length = value.size() > INT_MAX ? INT_MAX : static_cast<int>(value.size());
        return 0;
    });
}
