// The session's last message: recording it from library refusals, from the server's answers
// and from libpq, and copying it out through ZTC_GetError.
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

void set_error(Session &s, const char *sqlstate, const std::string &text)
{
    set_error(*s.error, sqlstate, text);
}

std::string format_result_error(const PGresult *r, PGconn *conn)
{
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const char *primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    std::string out;
    if (state && primary) {
        set_error(out, state, primary);
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
    size_t n = utf8_cut(msg.data(), msg.size(), kMessageMax);
    std::memcpy(buffer, msg.data(), n);
    buffer[n] = '\0';
    if (length)
        *length = static_cast<int>(n);
    return 0;
}

}  // namespace zt

using namespace zt;

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
    return copy_message(*s->error, buffer, length);
}
