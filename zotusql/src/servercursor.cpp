// Server cursors: reading those opened by procedures rowset by rowset, and closing them (which
// ends the transaction the library kept open for them in autocommit mode); reading any named
// cursor page by page, with the next page asked for while the caller reads the current one.
#include <algorithm>

#include "binaryvalue.h"
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
// already closed cursor from failing (and so aborting) the transaction around it. The name is
// compared as the server keeps it: cut to its identifier length, as DECLARE and CLOSE cut it.
bool cursor_exists(Session &s, const char *name, bool &exists)
{
    const char *values[1] = {name};
    ResultPtr r(exec_params_wait(
        s, "SELECT 1 FROM pg_catalog.pg_cursors WHERE name = $1::pg_catalog.name", 1, nullptr,
        values, nullptr, nullptr, 0));
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

// Readings whose column types the session keeps (a cursor closed by the caller's own CLOSE
// leaves its record behind until it is pushed out).
constexpr size_t kReadings = 16;

CursorReading *reading_of(Session &s, const char *name, long long reader)
{
    for (CursorReading &r : s.readings)
        if (r.reader == reader && r.name == name)
            return &r;
    return nullptr;
}

// Keeps the column types of a page of this reading.
void note_page_types(Session &s, const char *name, long long reader, const PGresult *page)
{
    if (reading_of(s, name, reader) || PQnfields(page) == 0)
        return;
    CursorReading r;
    r.name = name;
    r.reader = reader;
    for (int c = 0; c < PQnfields(page); ++c)
        r.types.push_back(PQftype(page, c));
    if (s.readings.size() >= kReadings)
        s.readings.pop_front();
    s.readings.push_back(std::move(r));
}

// Whether the next page of this reading may come in binary form: its columns are known and
// each is readable that way under the session's current settings.
bool binary_pages(Session &s, const char *name, long long reader)
{
    const CursorReading *r = reading_of(s, name, reader);
    return r && binary_rows_allowed(s, r->types);
}

void forget_readings(Session &s, const char *name)
{
    for (auto it = s.readings.begin(); it != s.readings.end();)
        it = it->name == name ? s.readings.erase(it) : it + 1;
}

bool send_fetch(Session &s, const char *name, int count, bool binary = false)
{
    std::string sql = "FETCH FORWARD " + std::to_string(count) + " FROM " + quoted(name);
    if (binary ? PQsendQueryParams(s.conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1)
               : PQsendQuery(s.conn, sql.c_str()))
        return true;
    set_error_from_conn(s, PQstatus(s.conn) == CONNECTION_BAD ? "08006" : "HY000");
    return false;
}

// The page read ahead for this reading of the cursor, taken out of the session: its results, or
// false with its message recorded. A page of an earlier reading under the same name (the cursor
// was declared again) is dropped; one of another cursor stays.
bool take_page_ahead(Session &s, const char *name, long long reader, ResultList &out, bool &taken)
{
    taken = false;
    if (!s.page_ahead || s.page_ahead->name != name)
        return true;
    std::unique_ptr<PageAhead> page = std::move(s.page_ahead);
    if (page->reader != reader)
        return true;
    taken = true;
    if (!page->error.empty()) {
        *s.error = page->error;
        return false;
    }
    out = std::move(page->results);
    return true;
}

int fetch_page(Session &s, const char *name, long long reader, int count, bool ahead,
               ZTC_HANDLE *R, int *sent)
{
    replace_result(R, nullptr);
    if (sent)
        *sent = 0;
    if (!valid_name(s, name))
        return -1;
    if (count < 0) {
        set_error(s, "HY024", "the page size must not be negative");
        return -1;
    }
    ResultList results;
    bool taken = false;
    if (!take_page_ahead(s, name, reader, results, taken))
        return -1;
    if (!taken && !(begin_if_needed(s) &&
                    send_fetch(s, name, count, binary_pages(s, name, reader)) &&
                    collect_results(s, results)))
        return -1;
    int rows = PQntuples(results.front().get());
    note_page_types(s, name, reader, results.front().get());
    // A full page may have a successor: ask for it now, so that the server makes it while the
    // caller reads this one. One page ahead per session at a time.
    if (ahead && count > 0 && rows == count && !s.page_ahead &&
        send_fetch(s, name, count, binary_pages(s, name, reader))) {
        s.page_ahead = std::make_unique<PageAhead>();
        s.page_ahead->name = name;
        s.page_ahead->reader = reader;
        if (sent)
            *sent = 1;
    }
    replace_result(R, new_result(s, std::move(results)));
    return rows;
}

int close_cursor(Session &s, const char *name)
{
    if (!valid_name(s, name))
        return -1;
    if (s.page_ahead && s.page_ahead->name == name)
        s.page_ahead.reset();
    forget_readings(s, name);
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

void settle_page_ahead(Session &s) noexcept
{
    PageAhead &page = *s.page_ahead;
    page.in_flight = false;
    try {
        std::string kept = *s.error;
        if (!collect_results(s, page.results)) {
            page.error = *s.error;
            if (page.error.empty())
                set_error(page.error, "HY000", "the page read ahead was lost");
        }
        s.error->swap(kept);
    } catch (...) {
        page.results.clear();
        try {
            set_error(page.error, "HY001", "out of memory");
        } catch (...) {
        }
    }
}

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

// Fetches the next `count` rows of the named cursor into *R (freeing what *R held), for the
// reading `reader` (a number the caller picks per declaration of the cursor); with `ahead`, a
// full page has the next one asked for at once (*sent = 1), kept for this reader's next call.
// The number of rows, or -1 on failure.
ZTC_API int ZTC_FetchCursorPage(ZTC_HANDLE *S, const char *name, long long reader, int count,
                                int ahead, ZTC_HANDLE *R, int *sent)
{
    Session *s = connected_session(S);
    if (!s || !R)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        return fetch_page(*s, name, reader, count, ahead != 0, R, sent);
    });
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
