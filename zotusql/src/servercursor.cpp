// Server cursors opened by procedures: reading them rowset by rowset, and closing them (which
// ends the transaction the library kept open for them in autocommit mode).
#include <algorithm>

#include "internal.h"

namespace zt {

namespace {

// Rows per rowset.
constexpr int kRowset = 2000;

// The cursor name as a quoted identifier.
std::string quoted(const char *name)
{
    std::string out = "\"";
    for (const char *p = name; *p; ++p) {
        if (*p == '"')
            out += '"';
        out += *p;
    }
    out += '"';
    return out;
}

bool valid_name(Session &s, const char *name)
{
    if (name && *name)
        return true;
    set_error(s, "34000", "no cursor name");
    return false;
}

// Whether the session has a cursor of that name. Asking the catalogue keeps a CLOSE of an
// already closed cursor from failing (and so aborting) the transaction around it.
bool cursor_exists(Session &s, const char *name, bool &exists)
{
    const char *values[1] = {name};
    ResultPtr r(exec_params_wait(s, "SELECT 1 FROM pg_catalog.pg_cursors WHERE name = $1", 1,
                             nullptr, values, nullptr, nullptr, 0));
    if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
        set_error_from_result(s, r.get());
        return false;
    }
    exists = PQntuples(r.get()) > 0;
    return true;
}

int fetch_rowset(Session &s, const char *name, ZTC_HANDLE *R)
{
    // The old rowset goes whatever happens: it belongs to an earlier position of the cursor.
    replace_result(R, nullptr);
    if (!valid_name(s, name))
        return -1;
    std::string sql = "FETCH FORWARD " + std::to_string(kRowset) + " FROM " + quoted(name);
    if (!PQsendQuery(s.conn, sql.c_str())) {
        set_error_from_conn(s, PQstatus(s.conn) == CONNECTION_BAD ? "08006" : "HY000");
        return -1;
    }
    ResultList results;
    if (!collect_results(s, results))
        return -1;
    int rows = PQntuples(results.front().get());
    replace_result(R, new_result(s, std::move(results)));
    return rows;
}

int close_cursor(Session &s, const char *name)
{
    if (!valid_name(s, name))
        return -1;
    bool ok = true;
    std::string message;
    // A failed transaction has lost its cursors already; only its end is left to do.
    if (PQtransactionStatus(s.conn) != PQTRANS_INERROR) {
        bool exists = false;
        ok = cursor_exists(s, name, exists) &&
             (!exists || run_command(s, ("CLOSE " + quoted(name)).c_str()));
    }
    if (!ok)
        message = *s.error;
    auto held = std::find(s.held_cursors.begin(), s.held_cursors.end(), name);
    if (held != s.held_cursors.end())
        s.held_cursors.erase(held);
    if (s.cursor_transaction && s.held_cursors.empty()) {
        if (!s.autocommit) {
            // Autocommit was switched off meanwhile: the transaction is the caller's now.
            s.cursor_transaction = false;
        } else if (!end_transaction(s, true)) {
            return -1;
        }
    }
    if (!ok) {
        *s.error = message;
        return -1;
    }
    return 0;
}

}  // namespace

}  // namespace zt

using namespace zt;

// Fetches the next rowset of the named cursor into *R (freeing what *R held): the number of rows,
// 0 when the cursor is exhausted, -1 on failure.
ZTC_API int ZTC_FetchServerCursorRowset(ZTC_HANDLE *S, const char *name, ZTC_HANDLE *R)
{
    Session *s = connected_session(S);
    if (!s || !R)
        return -1;
    return guarded(slot_of(s), [&]() -> int { return fetch_rowset(*s, name, R); });
}

// Closes the named cursor (no error when it is already closed), then commits the transaction the
// library kept open for its cursors once none of them remains.
ZTC_API int ZTC_CloseCursor(ZTC_HANDLE *S, const char *name)
{
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int { return close_cursor(*s, name); });
}
