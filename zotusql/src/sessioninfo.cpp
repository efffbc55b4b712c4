// ZTC_GetSessionInfo: what libpq knows of a session (transaction status, server process,
// version, reported parameters, the connection parameters), read without a server round
// trip.
#include "internal.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace zt {
namespace {

const char *transaction_name(PGTransactionStatusType status)
{
    switch (status) {
    case PQTRANS_IDLE:
        return "idle";
    case PQTRANS_ACTIVE:
        return "active";
    case PQTRANS_INTRANS:
        return "intrans";
    case PQTRANS_INERROR:
        return "inerror";
    default:
        return "unknown";
    }
}

struct ConninfoFree {
    void operator()(PQconninfoOption *options) const { PQconninfoFree(options); }
};
using ConninfoPtr = std::unique_ptr<PQconninfoOption, ConninfoFree>;

// The value a keyword takes when nothing sets it: libpq's compiled default, and for
// channel_binding and passfile the ones libpq applies without listing them.
std::string default_of(const PQconninfoOption *defaults, const char *keyword)
{
    for (const PQconninfoOption *d = defaults; d && d->keyword; ++d)
        if (std::strcmp(d->keyword, keyword) == 0 && d->compiled)
            return d->compiled;
    if (std::strcmp(keyword, "channel_binding") == 0)
        return "prefer";
    if (std::strcmp(keyword, "passfile") == 0) {
        const char *home = std::getenv("HOME");
        return home ? std::string(home) + "/.pgpass" : std::string();
    }
    return std::string();
}

// keyword NUL value NUL ... for every parameter of the session that differs from its
// default; never the password.
std::string conninfo_text(PGconn *conn)
{
    ConninfoPtr used(PQconninfo(conn));
    ConninfoPtr defaults(PQconndefaults());
    std::string text;
    for (const PQconninfoOption *o = used.get(); o && o->keyword; ++o) {
        if (!o->val || std::strcmp(o->keyword, "password") == 0)
            continue;
        if (o->val == default_of(defaults.get(), o->keyword))
            continue;
        text.append(o->keyword).push_back('\0');
        text.append(o->val).push_back('\0');
    }
    return text;
}

// The answer to `what`; false when there is none (an unknown `what` or parameter).
bool session_fact(Session &s, int what, const char *name, std::string &out)
{
    PGconn *conn = s.conn;
    const char *text = nullptr;
    switch (what) {
    case ZTC_INFO_TRANSACTION:
        text = transaction_name(s.broken.load() ? PQTRANS_UNKNOWN : PQtransactionStatus(conn));
        break;
    case ZTC_INFO_BACKEND_PID:
        out = std::to_string(PQbackendPID(conn));
        return true;
    case ZTC_INFO_SERVER_VERSION:
        out = std::to_string(PQserverVersion(conn));
        return true;
    case ZTC_INFO_HOST:
        text = PQhost(conn);
        break;
    case ZTC_INFO_HOSTADDR:
        text = PQhostaddr(conn);
        break;
    case ZTC_INFO_PORT:
        text = PQport(conn);
        break;
    case ZTC_INFO_DBNAME:
        text = PQdb(conn);
        break;
    case ZTC_INFO_USER:
        text = PQuser(conn);
        break;
    case ZTC_INFO_OPTIONS:
        text = PQoptions(conn);
        break;
    case ZTC_INFO_PARAMETER:
        if (!name)
            return false;
        text = PQparameterStatus(conn, name);
        if (!text)
            return false;
        break;
    case ZTC_INFO_CONNINFO:
        out = conninfo_text(conn);
        return true;
    default:
        return false;
    }
    out = text ? text : "";
    return true;
}

}  // namespace
}  // namespace zt

using namespace zt;

ZTC_API int ZTC_GetSessionInfo(ZTC_HANDLE *S, int what, const char *name, char *buffer,
                               int capacity, int *length)
{
    Session *s = session_of(S);
    if (!s || !s->conn)
        return -1;
    try {
        std::string text;
        if (!session_fact(*s, what, name, text))
            return what == ZTC_INFO_PARAMETER && name ? ZTC_NO_MORE : -1;
        if (length)
            *length = text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
        if (!buffer || capacity <= 0 || text.size() >= static_cast<size_t>(capacity))
            return 0;
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        return 0;
    } catch (...) {
        return -1;
    }
}
