/* ztd_library.cpp - the test double's implementation of every call of ZTCsql.h.
 *
 * Each call first appends itself to the log with its arguments, then counts its use
 * and honours a programmed failure, and only then acts. Nothing here trusts what the
 * driver passes: null pointers, empty, stale and unknown handles all end in a clean
 * -1 (or a no-op 0 for the release calls), never in a dereference. */
#include "ztd_state.h"
#include "zt_calendar.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace ztd;

namespace {

bool same_text_nocase(const std::string &a, const char *b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

/* Builds one log entry. Entries naming a handle from before the last reset are
 * dropped, so an object of an earlier test that dies late does not pollute the log. */
class Logger {
public:
    explicit Logger(const char *name) { e_.name = name; }

    Logger &handle(const char *key, ZTC_HANDLE const *h)
    {
        bool set = h && *h;
        if (set && is_stale(*h))
            skip_ = true;
        return boolean(key, set);
    }
    Logger &boolean(const char *key, bool v)
    {
        Arg a;
        a.key = key;
        a.kind = Arg::BOOL;
        a.i = v;
        e_.args.push_back(std::move(a));
        return *this;
    }
    Logger &text(const char *key, const char *s)
    {
        Arg a;
        a.key = key;
        if (s) {
            a.kind = Arg::TEXT;
            a.s = s;
        }
        e_.args.push_back(std::move(a));
        return *this;
    }
    Logger &integer(const char *key, int64_t v)
    {
        Arg a;
        a.key = key;
        a.kind = Arg::INT;
        a.i = v;
        e_.args.push_back(std::move(a));
        return *this;
    }
    Logger &word(const char *key, const int *p)
    {
        if (p)
            return integer(key, *p);
        Arg a;
        a.key = key;
        e_.args.push_back(std::move(a));
        return *this;
    }
    Logger &bytes(const char *key, const void *p, int64_t n)
    {
        Arg a;
        a.key = key;
        if (p) {
            a.kind = Arg::BYTES;
            if (n > 0)
                a.s.assign(static_cast<const char *>(p), static_cast<size_t>(n));
        }
        e_.args.push_back(std::move(a));
        return *this;
    }
    Logger &ints(const char *key, const int *p, int n)
    {
        Arg a;
        a.key = key;
        if (p) {
            a.kind = Arg::INTLIST;
            for (int i = 0; i < n; ++i)
                a.list.push_back(p[i]);
        }
        e_.args.push_back(std::move(a));
        return *this;
    }
    Logger &arg(Arg a)
    {
        e_.args.push_back(std::move(a));
        return *this;
    }
    void commit()
    {
        if (!skip_)
            state().log.push_back(std::move(e_));
    }

private:
    LogEntry e_;
    bool skip_ = false;
};

Session *live_session(uintptr_t h)
{
    auto it = state().sessions.find(h);
    return it == state().sessions.end() ? nullptr : it->second.get();
}

/* A scripted message may carry error fields behind it, each as kFieldMark + letter +
 * value; the letters ZTC_GetErrorField answers, as the library's. */
constexpr char kFieldMark = '\x1f';
constexpr const char kErrorFields[] = "CDHWMSVPpqstcdnFLRr";

/* The message without the fields behind it. */
std::string message_text(const std::string &error)
{
    return error.substr(0, error.find(kFieldMark));
}

/* Records a failure message on the session it concerns; without one, on the session
 * used most recently, so that the driver's next ZTC_GetError finds it. */
void set_error(uintptr_t session, const std::string &msg)
{
    State &st = state();
    Session *s = live_session(session);
    if (!s)
        s = live_session(st.last_session);
    if (s)
        s->error = msg;
    else
        st.orphan_error = msg;
}

int fail_with(uintptr_t session, const char *msg)
{
    set_error(session, msg);
    return -1;
}

/* Counts one use of `call`; when a failure is programmed for this use, applies its
 * message and gives its return code. */
bool injected(const char *call, uintptr_t session, int *rc)
{
    State &st = state();
    int use = ++st.call_counts[call];
    auto pick = st.failures.end();
    for (auto it = st.failures.begin(); it != st.failures.end(); ++it) {
        if (it->call != call)
            continue;
        if (it->nth == use) {
            pick = it;
            break;
        }
        if (it->nth == 0 && pick == st.failures.end())
            pick = it;
    }
    if (pick == st.failures.end())
        return false;
    *rc = pick->rc;
    if (pick->has_error)
        set_error(session, pick->error);
    st.failures.erase(pick);
    return true;
}

uintptr_t value_of(ZTC_HANDLE const *h)
{
    return h ? reinterpret_cast<uintptr_t>(*h) : 0;
}

/* The live session behind S, or null after recording "no session". */
Session *need_session(ZTC_HANDLE *S)
{
    Session *s = live_session(value_of(S));
    if (!s) {
        set_error(0, "no session");
        return nullptr;
    }
    state().last_session = value_of(S);
    return s;
}

Result *need_result(ZTC_HANDLE *R)
{
    State &st = state();
    auto it = st.results.find(value_of(R));
    if (it == st.results.end()) {
        set_error(0, "no result");
        return nullptr;
    }
    return it->second.get();
}

const ResultData *current_data(const Result *r)
{
    return r->current < r->results.size() ? &r->results[r->current] : nullptr;
}

const Column *column_at(const Result *r, int col)
{
    const ResultData *d = current_data(r);
    if (!d || col < 1 || static_cast<size_t>(col) > d->columns.size())
        return nullptr;
    return &d->columns[static_cast<size_t>(col) - 1];
}

/* What the calls on a result do after logging: find it, answer with an injected outcome.
 * nullptr with *rc set (-1 for an unknown handle) when the call ends here. */
Result *result_call(const char *call, ZTC_HANDLE *R, int *rc)
{
    Result *r = need_result(R);
    if (injected(call, r ? r->session : 0, rc))
        return nullptr;
    *rc = -1;
    return r;
}

/* What the per-column getters do first: log the call, answer with an injected
 * outcome, find the column. nullptr with *rc set when the call ends here; outputs_ok
 * false ends it with -1 before the column is looked for, as a missing result does. */
const Column *column_call(const char *call, ZTC_HANDLE *R, int col, int *rc,
                          bool outputs_ok = true)
{
    Logger(call).handle("result", R).integer("col", col).commit();
    Result *r = result_call(call, R, rc);
    if (!r || !outputs_ok)
        return nullptr;
    const Column *c = column_at(r, col);
    if (!c)
        *rc = fail_with(r->session, "no such column");
    return c;
}

/* A per-column getter of one integer attribute of the column (out may be null). */
int column_int(const char *call, ZTC_HANDLE *R, int col, int *out, int Column::*field)
{
    int rc;
    const Column *c = column_call(call, R, col, &rc);
    if (!c)
        return rc;
    if (out)
        *out = c->*field;
    return 0;
}

ResultData empty_result()
{
    ResultData d;
    d.sql_type = ZTC_SQL_NO_ROWS;
    return d;
}

/* Makes a result handle over `results` (at least one) and reports the first one's counts. */
void fill_result(uintptr_t session, std::vector<ResultData> results, ZTC_HANDLE *R,
                 int *columns, int64_t *rows, int *affected)
{
    if (results.empty())
        results.push_back(empty_result());
    const ResultData &first = results.front();
    if (columns)
        *columns = static_cast<int>(first.columns.size());
    if (rows)
        *rows = first.rowcount;
    if (affected)
        *affected = first.affected;
    auto r = std::make_unique<Result>();
    r->session = session;
    r->results = std::move(results);
    uintptr_t h = new_handle(KIND_RESULT);
    state().results[h] = std::move(r);
    *R = reinterpret_cast<ZTC_HANDLE>(h);
}

std::vector<ResultData> next_execution()
{
    State &st = state();
    if (st.executions.empty())
        return {};
    std::vector<ResultData> e = std::move(st.executions.front());
    st.executions.pop_front();
    return e;
}

/* Hands the next queued execution (queue_execution) over in R, or a result without rows when
 * none is queued: what ZTC_Execute2 and ZTC_GetOutputRowset return. */
int hand_over_execution(ZTC_HANDLE *S, ZTC_HANDLE *R)
{
    if (!need_session(S))
        return -1;
    if (!R)
        return fail_with(value_of(S), "no result");
    fill_result(value_of(S), next_execution(), R, nullptr, nullptr, nullptr);
    return 0;
}

/* Codes whose array bindings are n elements of `size` bytes; the others are packed (code 23
 * is bound as timestamp text, as the library reads it; code 73 holds the driver's date and
 * time texts). */
bool fixed_size_code(int type)
{
    switch (type) {
    case ZTC_TYPE_BOOLEAN: case ZTC_TYPE_TINYINT: case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER: case ZTC_TYPE_BIGINT: case ZTC_TYPE_FLOAT: case ZTC_TYPE_DOUBLE:
    case ZTC_TYPE_DATETIME_US: case ZTC_TYPE_INTERVAL_YM: case ZTC_TYPE_INTERVAL_DS:
        return true;
    default:
        return false;
    }
}

/* One scripted cell of a column of type code `code` in a fixed column form, stored at
 * row i of values; false when it does not read so. */
bool cell_to_form(const Cell &cell, int code, int form, void *values, int i)
{
    int64_t n = 0;
    double f = 0;
    const std::string &b = cell.data;
    const bool fixed = fixed_size_code(code) && code != ZTC_TYPE_BOOLEAN;
    if (cell.null) {
        n = 0;
    } else if (form == ZTC_FORM_BOOL) {
        n = !b.empty() && (b[0] == 'T' || b[0] == 1);
    } else if (form == ZTC_FORM_FLOAT32 || form == ZTC_FORM_FLOAT64) {
        if (fixed && b.size() == 8) {
            std::memcpy(&f, b.data(), 8);
        } else if (fixed && b.size() == 4) {
            float x;
            std::memcpy(&x, b.data(), 4);
            f = x;
        } else {
            char *end = nullptr;
            f = std::strtod(b.c_str(), &end);
            if (b.empty() || *end)
                return false;
        }
    } else if (fixed && form <= ZTC_FORM_INT64) {
        if (b.size() == 1) n = static_cast<int8_t>(b[0]);
        if (b.size() == 2) { int16_t x; std::memcpy(&x, b.data(), 2); n = x; }
        if (b.size() == 4) { int32_t x; std::memcpy(&x, b.data(), 4); n = x; }
        if (b.size() == 8) std::memcpy(&n, b.data(), 8);
    } else if (fixed && b.size() == 8 && form >= ZTC_FORM_DAYS) {
        std::memcpy(&n, b.data(), 8);
    } else if (form == ZTC_FORM_DAYS || form == ZTC_FORM_MICROS) {
        int y = 0, mo = 0, dd = 0, h = 0, mi = 0, sec = 0, us = 0;
        int got = std::sscanf(b.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &dd, &h, &mi, &sec, &us);
        if (got < 3)
            return false;
        const int64_t days = zt_calendar::days_from_civil(y, mo, dd);
        n = form == ZTC_FORM_DAYS ? days : ((days * 24 + h) * 60 + mi) * 60 * 1000000 +
                                               int64_t{sec} * 1000000 + us;
    } else {
        return false;
    }
    switch (form) {
    case ZTC_FORM_BOOL: static_cast<uint8_t *>(values)[i] = static_cast<uint8_t>(n); break;
    case ZTC_FORM_INT16: static_cast<int16_t *>(values)[i] = static_cast<int16_t>(n); break;
    case ZTC_FORM_INT32: static_cast<int32_t *>(values)[i] = static_cast<int32_t>(n); break;
    case ZTC_FORM_FLOAT32: static_cast<float *>(values)[i] = static_cast<float>(f); break;
    case ZTC_FORM_FLOAT64: static_cast<double *>(values)[i] = f; break;
    default: static_cast<int64_t *>(values)[i] = n; break;
    }
    return true;
}

bool output_direction(int direction)
{
    return direction == PARAM_OUTPUT || direction == PARAM_INPUTOUTPUT ||
           direction == PARAM_RETURNVALUE;
}

/* Writes a cell into a caller's buffer of `capacity` bytes: at most that many bytes,
 * a terminating zero when there is room; the length word gets the cell's full length. */
void write_cell(const Cell &c, void *buffer, int capacity, int *length)
{
    if (c.null) {
        if (length)
            *length = -1;
        return;
    }
    if (buffer && capacity > 0) {
        size_t cap = static_cast<size_t>(capacity);
        size_t n = std::min(c.data.size(), cap);
        if (n)
            std::memcpy(buffer, c.data.data(), n);
        if (n < cap)
            static_cast<char *>(buffer)[n] = '\0';
    }
    if (length)
        *length = c.length;
}

/* Writes a procedure output as the library does: a text or binary value takes at most
 * buflen - 1 bytes and a terminating zero, its length word the full length; a fixed-size
 * code fills its width. */
void write_output(const Cell &c, const Binding &bd)
{
    if (c.null || fixed_size_code(bd.type) || !bd.buffer || bd.buflen <= 0) {
        write_cell(c, bd.buffer, bd.buflen, bd.length);
        return;
    }
    size_t n = std::min(c.data.size(), static_cast<size_t>(bd.buflen - 1));
    if (n)
        std::memcpy(bd.buffer, c.data.data(), n);
    static_cast<char *>(bd.buffer)[n] = '\0';
    if (bd.length)
        *bd.length = c.length;
}

template <class Map>
int release_handle(const char *name, const char *key, Map &map, ZTC_HANDLE *h)
{
    Logger(name).handle(key, h).commit();
    int rc;
    if (injected(name, 0, &rc))
        return rc;
    if (!h)
        return 0;  // as the library: releasing nothing is a no-op
    map.erase(value_of(h));
    *h = nullptr;
    return 0;
}

/* Body of both open calls: a new session (and host-list attributes when `attrs` is
 * given); a programmed failure keeps the session, with its message, and no attributes. */
int open_session(const char *name, ZTC_HANDLE *attrs, ZTC_HANDLE *S)
{
    uintptr_t h = 0;
    if (S) {
        h = new_handle(KIND_SESSION);
        state().sessions[h] = std::make_unique<Session>();
    }
    int rc;
    if (injected(name, h, &rc)) {
        if (h && rc < 0) {
            state().last_session = h;
            *S = reinterpret_cast<ZTC_HANDLE>(h);
        } else if (h) {
            state().sessions.erase(h);
        }
        return rc;
    }
    if (!S)
        return fail_with(0, "no session");
    if (attrs) {
        uintptr_t a = new_handle(KIND_ATTRS);
        state().attrs[a] = std::make_unique<Attrs>();
        *attrs = reinterpret_cast<ZTC_HANDLE>(a);
    }
    state().last_session = h;
    *S = reinterpret_cast<ZTC_HANDLE>(h);
    return 0;
}

/* The view of one scripted cell of a column of type code `code`, as the library's views
 * go: a NULL has a null text and length -1; a fixed-size number whose cell has exactly its
 * code's size (smallint, integer, bigint, float, double) and a boolean cell of "T" or "F" is
 * decoded; any other cell of a code that is not fixed-size offers its bytes as the text when
 * its length word is their count. Everything else (a tinyint, a date-time count, a cell
 * with a length word of its own) offers neither, and the driver reads it with ZTC_GetData,
 * so each view gives exactly what ZTC_GetData of the same cell gives. */
ZTC_ROWVALUE cell_view(const Cell &cell, int code)
{
    ZTC_ROWVALUE v{nullptr, -1, 0, 0, 0.0};
    if (cell.null)
        return v;
    const std::string &b = cell.data;
    v.length = cell.length;
    const bool whole = cell.length >= 0 && static_cast<size_t>(cell.length) == b.size();
    switch (code) {
    case ZTC_TYPE_BOOLEAN:
        if (whole && (b == "T" || b == "F")) {
            v.integer = b == "T";
            v.decoded = 1;
        }
        return v;
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT: {
        const size_t size = code == ZTC_TYPE_SMALLINT ? 2 : code == ZTC_TYPE_INTEGER ? 4 : 8;
        if (whole && b.size() == size) {
            int16_t i16;
            int32_t i32;
            if (size == 2) {
                std::memcpy(&i16, b.data(), 2);
                v.integer = i16;
            } else if (size == 4) {
                std::memcpy(&i32, b.data(), 4);
                v.integer = i32;
            } else {
                std::memcpy(&v.integer, b.data(), 8);
            }
            v.decoded = 1;
        }
        return v;
    }
    case ZTC_TYPE_FLOAT:
        if (whole && b.size() == 4) {
            float f;
            std::memcpy(&f, b.data(), 4);
            v.real = f;
            v.decoded = 1;
        }
        return v;
    case ZTC_TYPE_DOUBLE:
        if (whole && b.size() == 8) {
            std::memcpy(&v.real, b.data(), 8);
            v.decoded = 1;
        }
        return v;
    default:
        if (whole && !fixed_size_code(code))
            v.text = b.c_str();
        return v;
    }
}

/* COPY data calls, blocking and non-blocking alike (call: the name logged and injected
 * under): COPY FROM STDIN takes any data; COPY TO STDOUT has none; the end copies no row. */
int copy_put(const char *call, ZTC_HANDLE *S, const char *data, int length)
{
    Logger(call).handle("session", S).bytes("data", data, length).commit();
    int rc;
    if (injected(call, value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    return s && s->copy_direction == 1 ? 0 : -1;
}

int copy_get(const char *call, ZTC_HANDLE *S, char *buffer, int capacity, int *length)
{
    Logger(call).handle("session", S).integer("capacity", capacity).commit();
    int rc;
    if (injected(call, value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s || s->copy_direction != 2 || !buffer || !length)
        return -1;
    *length = 0;
    return ZTC_NO_MORE;
}

}  // namespace

extern "C" {

/* ---- sessions ---- */

/* The double takes any connection text; the driver's tests read it back from the log.
 * Like the library, a failed open hands back a session that carries the programmed
 * message, so that ZTC_GetError can read it; ZTC_CloseConn frees it. */
int ZTC_OpenConn(const char *conn_text, ZTC_HANDLE *S)
{
    Logger("ZTC_OpenConn").text("text", conn_text).handle("session", S).commit();
    return open_session("ZTC_OpenConn", nullptr, S);
}

int ZTC_OpenConn_Ips(const char *conn_text, int ntimes, ZTC_HANDLE *attrs, ZTC_HANDLE *S)
{
    Logger("ZTC_OpenConn_Ips").text("text", conn_text).integer("ntimes", ntimes)
        .handle("attrs", attrs).handle("session", S).commit();
    if (S && !attrs)
        return fail_with(0, "no session");
    return open_session("ZTC_OpenConn_Ips", attrs, S);
}

int ZTC_CloseConn(ZTC_HANDLE *S)
{
    return release_handle("ZTC_CloseConn", "session", state().sessions, S);
}

int Release_IpsAttrs(ZTC_HANDLE *attrs)
{
    return release_handle("Release_IpsAttrs", "attrs", state().attrs, attrs);
}

int ZTC_Execute_no_query(ZTC_HANDLE *S, const char *sql)
{
    Logger("ZTC_Execute_no_query").handle("session", S).text("sql", sql).commit();
    int rc;
    if (injected("ZTC_Execute_no_query", value_of(S), &rc))
        return rc;
    return need_session(S) ? 0 : -1;
}

int ZTC_GetError(ZTC_HANDLE *S, char *buffer, int *length)
{
    Logger("ZTC_GetError").handle("session", S).commit();
    int rc;
    if (injected("ZTC_GetError", value_of(S), &rc))
        return rc;
    Session *s = live_session(value_of(S));
    std::string msg = s ? message_text(s->error) : std::string("no session");
    /* At most 255 bytes, cut before a UTF-8 continuation byte. */
    size_t n = std::min<size_t>(msg.size(), 255);
    while (n > 0 && n < msg.size() && (static_cast<unsigned char>(msg[n]) & 0xC0) == 0x80)
        --n;
    if (buffer) {
        std::memcpy(buffer, msg.data(), n);
        buffer[n] = '\0';
    }
    if (length)
        *length = static_cast<int>(n);
    return s ? 0 : -1;
}

/* The SQLSTATE of the message ("[XXXXX] ..."); any other field from behind it, where a
 * scripted message carries it as "\x1f" + letter + value. */
int ZTC_GetErrorField(ZTC_HANDLE *S, int field, char *buffer, int capacity, int *length)
{
    Logger("ZTC_GetErrorField").handle("session", S).integer("field", field).commit();
    int rc;
    if (injected("ZTC_GetErrorField", value_of(S), &rc))
        return rc;
    Session *s = live_session(value_of(S));
    if (!s || !buffer || capacity <= 0 || field <= 0 || field > 127 ||
        std::strchr(kErrorFields, field) == nullptr)
        return -1;
    std::string value;
    std::string text = message_text(s->error);
    size_t at = text.find('[');
    if (field == ZTC_ERROR_SQLSTATE && at != std::string::npos && at + 6 < text.size() &&
        text[at + 6] == ']')
        value = text.substr(at + 1, 5);
    for (size_t mark = s->error.find(kFieldMark); field != ZTC_ERROR_SQLSTATE &&
                                                  mark != std::string::npos;
         mark = s->error.find(kFieldMark, mark + 1)) {
        if (mark + 1 < s->error.size() && s->error[mark + 1] == static_cast<char>(field)) {
            size_t end = s->error.find(kFieldMark, mark + 1);
            value = s->error.substr(mark + 2, end == std::string::npos ? std::string::npos
                                                                       : end - mark - 2);
        }
    }
    size_t n = std::min<size_t>(value.size(), static_cast<size_t>(capacity) - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    if (length)
        *length = static_cast<int>(value.size());
    return 0;
}

/* The double's sessions receive no notices. */
int ZTC_GetNotice(ZTC_HANDLE *S, char * /*buffer*/, int /*capacity*/, int * /*length*/)
{
    Logger("ZTC_GetNotice").handle("session", S).commit();
    int rc;
    if (injected("ZTC_GetNotice", value_of(S), &rc))
        return rc;
    return live_session(value_of(S)) ? ZTC_NO_MORE : -1;
}

/* Fixed answers of a fresh session: idle, pid 4242, version 150000, host "double",
 * client_encoding and server_encoding UTF8, no other parameter, no connection
 * parameters. */
int ZTC_GetSessionInfo(ZTC_HANDLE *S, int what, const char *name, char *buffer, int capacity,
                       int *length)
{
    Logger("ZTC_GetSessionInfo").handle("session", S).integer("what", what).text("name", name)
        .commit();
    int rc;
    if (injected("ZTC_GetSessionInfo", value_of(S), &rc))
        return rc;
    if (!live_session(value_of(S)))
        return -1;
    std::string value;
    switch (what) {
    case ZTC_INFO_TRANSACTION: value = "idle"; break;
    case ZTC_INFO_BACKEND_PID: value = "4242"; break;
    case ZTC_INFO_SERVER_VERSION: value = "150000"; break;
    case ZTC_INFO_HOST: value = "double"; break;
    case ZTC_INFO_HOSTADDR: case ZTC_INFO_OPTIONS: case ZTC_INFO_CONNINFO: break;
    case ZTC_INFO_PORT: value = "5432"; break;
    case ZTC_INFO_DBNAME: case ZTC_INFO_USER: value = "postgres"; break;
    case ZTC_INFO_PARAMETER:
        if (!name || (std::strcmp(name, "client_encoding") != 0 &&
                      std::strcmp(name, "server_encoding") != 0))
            return ZTC_NO_MORE;
        value = "UTF8";
        break;
    default:
        return -1;
    }
    if (length)
        *length = static_cast<int>(value.size());
    if (buffer && capacity > static_cast<int>(value.size())) {
        std::memcpy(buffer, value.data(), value.size());
        buffer[value.size()] = '\0';
    }
    return 0;
}

/* ---- statements ---- */

int ZTC_Reset(ZTC_HANDLE *S)
{
    Logger("ZTC_Reset").handle("session", S).commit();
    int rc;
    if (injected("ZTC_Reset", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    s->binds.clear();
    s->arrays.clear();
    s->outputs.clear();
    return 0;
}

int fun_sql_type(const char *sql)
{
    Logger("fun_sql_type").text("sql", sql).commit();
    int rc;
    if (injected("fun_sql_type", 0, &rc))
        return rc;
    State &st = state();
    std::string text = sql ? sql : "";
    auto it = st.sql_types.find(text);
    if (it != st.sql_types.end())
        return it->second;
    if (st.has_default_sql_type)
        return st.default_sql_type;
    size_t i = text.find_first_not_of(" \t\r\n\f\v");
    if (i != std::string::npos && same_text_nocase(text.substr(i, 6), "select"))
        return ZTC_SQL_QUERY;
    return ZTC_SQL_NO_ROWS;
}

int ZTC_ExecwithDataReader(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE *R,
                           int *columns, int64_t *rows, int *affected)
{
    Logger("ZTC_ExecwithDataReader").handle("session", S).text("sql", sql)
        .handle("result", R).commit();
    int rc;
    if (injected("ZTC_ExecwithDataReader", value_of(S), &rc))
        return rc;
    if (!need_session(S))
        return -1;
    if (!R)
        return fail_with(value_of(S), "no result");
    fill_result(value_of(S), next_execution(), R, columns, rows, affected);
    return 0;
}

int ZTC_Prepare2(ZTC_HANDLE *S, const char *sql, void * /*reserved*/)
{
    Logger("ZTC_Prepare2").handle("session", S).text("sql", sql).commit();
    int rc;
    if (injected("ZTC_Prepare2", value_of(S), &rc))
        return rc;
    return need_session(S) ? 0 : -1;
}

int ZTC_Execute2(ZTC_HANDLE *S, void * /*reserved1*/, void * /*reserved2*/, ZTC_HANDLE *R)
{
    Logger("ZTC_Execute2").handle("session", S).handle("result", R).commit();
    int rc;
    if (injected("ZTC_Execute2", value_of(S), &rc))
        return rc;
    return hand_over_execution(S, R);
}

int ZTC_UnPrepare(ZTC_HANDLE *S, void * /*reserved*/)
{
    Logger("ZTC_UnPrepare").handle("session", S).commit();
    int rc;
    if (injected("ZTC_UnPrepare", value_of(S), &rc))
        return rc;
    return need_session(S) ? 0 : -1;
}

int ZTC_SetPrepareThreshold(ZTC_HANDLE *S, int runs)
{
    Logger("ZTC_SetPrepareThreshold").handle("session", S).integer("runs", runs).commit();
    int rc;
    if (injected("ZTC_SetPrepareThreshold", value_of(S), &rc))
        return rc;
    return need_session(S) ? 0 : -1;
}

/* Installing the wait handler is plumbing done at every open: it is kept on the
 * session but not logged, so logs read as before. */
int ZTC_SetWaitHandler(ZTC_HANDLE *S, ZTC_WAIT_HANDLER handler, void *context, int tick_ms)
{
    Session *s = live_session(value_of(S));
    if (!s)
        return -1;
    s->wait_handler = handler;
    s->wait_context = context;
    s->tick_ms = tick_ms;
    return 0;
}

/* The double's opens never wait: the open wait handler is accepted and not logged. */
int ZTC_SetOpenWaitHandler(ZTC_WAIT_HANDLER handler, void *context, int tick_ms)
{
    (void)handler;
    (void)context;
    (void)tick_ms;
    return 0;
}

int ZTC_Cancel(ZTC_HANDLE *S)
{
    Logger("ZTC_Cancel").handle("session", S).commit();
    int rc;
    if (injected("ZTC_Cancel", value_of(S), &rc))
        return rc;
    return live_session(value_of(S)) ? 0 : -1;
}

/* Not logged (a query of state); set_return("ZTC_IsBroken", 1) reports a broken session. */
int ZTC_IsBroken(ZTC_HANDLE *S)
{
    int rc;
    if (injected("ZTC_IsBroken", value_of(S), &rc))
        return rc;
    return live_session(value_of(S)) ? 0 : -1;
}

int ZTC_ExecBatch(ZTC_HANDLE *S, const char *sql, int rows)
{
    /* The lengths arrays are read here, as the real library reads them at execution. */
    Arg at_exec;
    at_exec.key = "lengths_at_exec";
    at_exec.kind = Arg::POSLISTS;
    if (Session *s = live_session(value_of(S))) {
        for (const auto &kv : s->arrays) {
            std::vector<int64_t> l;
            if (kv.second.lengths)
                for (int i = 0; i < kv.second.n; ++i)
                    l.push_back(kv.second.lengths[i]);
            at_exec.poslists.emplace_back(kv.first, std::move(l));
        }
    }
    /* So are the values bound in place, as bytes. */
    Arg values_at_exec;
    values_at_exec.key = "values_at_exec";
    values_at_exec.kind = Arg::POSLISTS;
    if (Session *s = live_session(value_of(S))) {
        for (const auto &kv : s->arrays) {
            if (!kv.second.in_place)
                continue;
            const unsigned char *p = reinterpret_cast<const unsigned char *>(kv.second.in_place);
            values_at_exec.poslists.emplace_back(
                kv.first, std::vector<int64_t>(p, p + kv.second.nbytes));
        }
    }
    Logger("ZTC_ExecBatch").handle("session", S).text("sql", sql).integer("rows", rows)
        .arg(std::move(at_exec)).arg(std::move(values_at_exec)).commit();
    int rc;
    if (injected("ZTC_ExecBatch", value_of(S), &rc))
        return rc;
    /* Every row counts as affected unless a test programs another count. */
    return need_session(S) ? rows : -1;
}

/* ---- COPY: recorded; a COPY TO STDOUT has no data, every COPY copies no row ---- */

int ZTC_CopyStart(ZTC_HANDLE *S, const char *sql, int *direction)
{
    Logger("ZTC_CopyStart").handle("session", S).text("sql", sql).commit();
    int rc;
    if (injected("ZTC_CopyStart", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s || !sql || !direction)
        return -1;
    std::string text(sql);
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s->copy_direction = text.find("stdin") != std::string::npos ? 1 : 2;
    *direction = s->copy_direction;
    return 0;
}

int ZTC_CopyPut(ZTC_HANDLE *S, const char *data, int length)
{
    return copy_put("ZTC_CopyPut", S, data, length);
}

int ZTC_CopyGet(ZTC_HANDLE *S, char *buffer, int capacity, int *length)
{
    return copy_get("ZTC_CopyGet", S, buffer, capacity, length);
}

int ZTC_CopyEnd(ZTC_HANDLE *S, const char *abort_message, long long *rows)
{
    Logger("ZTC_CopyEnd").handle("session", S).text("abort", abort_message).commit();
    int rc;
    if (injected("ZTC_CopyEnd", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s || s->copy_direction == 0)
        return -1;
    s->copy_direction = 0;
    if (rows)
        *rows = 0;
    return abort_message ? -1 : 0;
}

int ZTC_Execute_procesure(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE R)
{
    Logger("ZTC_Execute_procesure").handle("session", S).text("sql", sql)
        .boolean("handle", R != nullptr).commit();
    int rc;
    if (injected("ZTC_Execute_procesure", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    State &st = state();
    s->outputs.clear();
    if (st.outputs.empty())
        return 0;
    std::vector<std::pair<int, Value>> outs = std::move(st.outputs.front());
    st.outputs.pop_front();
    for (const auto &o : outs) {
        auto b = s->binds.find(o.first);
        if (b == s->binds.end() || !output_direction(b->second.direction))
            continue;
        const Binding &bd = b->second;
        Cell c = encode_value(o.second, bd.type);
        write_output(c, bd);
        s->outputs[o.first] = std::move(c);
    }
    return 0;
}

/* The output row is the next queued execution (queue_execution), or a result without
 * rows when none is queued. */
int ZTC_GetOutputRowset(ZTC_HANDLE *S, ZTC_HANDLE *R)
{
    Logger("ZTC_GetOutputRowset").handle("session", S).handle("result", R).commit();
    int rc;
    if (injected("ZTC_GetOutputRowset", value_of(S), &rc))
        return rc;
    return hand_over_execution(S, R);
}

int ZTC_GetOutputData(ZTC_HANDLE *S, int pos, void *buffer, int capacity, int *length)
{
    Logger("ZTC_GetOutputData").handle("session", S).integer("pos", pos)
        .integer("capacity", capacity).commit();
    int rc;
    if (injected("ZTC_GetOutputData", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    auto it = s->outputs.find(pos);
    if (it == s->outputs.end())
        return fail_with(value_of(S), "no output kept at that position");
    write_cell(it->second, buffer, capacity, length);
    return 0;
}

int ZTC_BindParamByPos(ZTC_HANDLE *S, int pos, int direction, int type,
                       void *buffer, int buflen, int *length)
{
    Logger("ZTC_BindParamByPos").handle("session", S).integer("pos", pos)
        .integer("direction", direction).integer("type", type).integer("buflen", buflen)
        .word("length", length).bytes("data", buffer, buflen).commit();
    int rc;
    if (injected("ZTC_BindParamByPos", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    // The library's refusals: the protocol's positions, the interface's directions.
    if (pos < 1 || pos > 65535)
        return fail_with(value_of(S), ("[22023] parameter position " + std::to_string(pos) +
                                       " is out of range").c_str());
    if (direction != PARAM_INPUT && direction != PARAM_OUTPUT &&
        direction != PARAM_INPUTOUTPUT && direction != PARAM_RETURNVALUE)
        return fail_with(value_of(S), ("[22023] unsupported parameter direction " +
                                       std::to_string(direction)).c_str());
    Binding b;
    b.direction = direction;
    b.type = type;
    b.buflen = buflen;
    if (output_direction(direction)) {
        b.buffer = buffer;
        b.length = length;
    }
    s->binds[pos] = b;
    return 0;
}

/* Both array bindings: logged under `name`; in_place keeps the values' address. */
static int bind_array(const char *name, ZTC_HANDLE *S, int pos, int columns, int direction,
                      int type, int n, void *values, int size, int *lengths, bool in_place)
{
    int count = std::max(n, 0);
    int64_t nbytes = fixed_size_code(type) ? int64_t(count) * std::max(size, 0)
                                           : int64_t(std::max(size, 0));
    Logger(name).handle("session", S).integer("pos", pos)
        .integer("columns", columns).integer("direction", direction).integer("type", type)
        .integer("n", n).integer("size", size).bytes("values", values, nbytes)
        .ints("lengths", lengths, count).commit();
    int rc;
    if (injected(name, value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    ArrayBinding a;
    a.type = type;
    a.n = count;
    a.lengths = lengths;
    if (in_place && values) {
        a.in_place = static_cast<const char *>(values);
        a.nbytes = nbytes;
    }
    s->arrays[pos] = a;
    return 0;
}

int ZTC_BindParamArrayByPos(ZTC_HANDLE *S, int pos, int columns, int direction, int type,
                            int n, void *values, int size, int *lengths)
{
    return bind_array("ZTC_BindParamArrayByPos", S, pos, columns, direction, type, n, values,
                      size, lengths, false);
}

int ZTC_BindParamArrayInPlace(ZTC_HANDLE *S, int pos, int columns, int direction, int type,
                              int n, void *values, int size, int *lengths)
{
    return bind_array("ZTC_BindParamArrayInPlace", S, pos, columns, direction, type, n, values,
                      size, lengths, true);
}

/* ---- server types ---- */

/* A column's server type is what the script gave it (0: none). */
int ZTC_getResultcolServerType(ZTC_HANDLE *R, int col, unsigned *oid, unsigned *element)
{
    int rc;
    const Column *c = column_call("ZTC_getResultcolServerType", R, col, &rc, oid && element);
    if (!c)
        return rc;
    *oid = c->oid;
    *element = c->element;
    return 0;
}

/* The double has no catalog: every type is unknown to it. */
int ZTC_GetServerType(ZTC_HANDLE *S, unsigned oid, ZTC_SERVERTYPE *out)
{
    Logger("ZTC_GetServerType").handle("session", S).integer("oid", oid).commit();
    int rc;
    if (injected("ZTC_GetServerType", value_of(S), &rc))
        return rc;
    if (!need_session(S) || !out)
        return -1;
    return ZTC_NO_MORE;
}

int ZTC_BindParamTyped(ZTC_HANDLE *S, int pos, unsigned oid, int format, const void *data,
                       int length)
{
    Logger("ZTC_BindParamTyped").handle("session", S).integer("pos", pos)
        .integer("oid", oid).integer("format", format).integer("length", length)
        .bytes("data", data, length > 0 ? length : 0).commit();
    int rc;
    if (injected("ZTC_BindParamTyped", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    Binding b;
    b.direction = PARAM_INPUT;
    b.type = format == 0 ? ZTC_TYPE_VARCHAR : ZTC_TYPE_BINARY;
    b.buflen = length;
    s->binds[pos] = b;
    return 0;
}

int ZTC_SetArrayServerType(ZTC_HANDLE *S, int pos, unsigned oid)
{
    Logger("ZTC_SetArrayServerType").handle("session", S).integer("pos", pos)
        .integer("oid", oid).commit();
    int rc;
    if (injected("ZTC_SetArrayServerType", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    if (s->arrays.find(pos) == s->arrays.end())
        return fail_with(value_of(S), "parameter is not bound");
    return 0;
}

/* ---- results ---- */

int ZTC_getResultRet(ZTC_HANDLE *R, int *sql_type, int *fieldnum, int *rows,
                     int *affected, void * /*reserved*/)
{
    Logger("ZTC_getResultRet").handle("result", R).commit();
    int rc;
    Result *r = result_call("ZTC_getResultRet", R, &rc);
    if (!r)
        return rc;
    const ResultData *d = current_data(r);
    if (sql_type)
        *sql_type = d ? d->sql_type : ZTC_SQL_NO_ROWS;
    if (fieldnum)
        *fieldnum = d ? static_cast<int>(d->columns.size()) : 0;
    if (rows)
        *rows = d ? static_cast<int>(d->rowcount) : 0;
    if (affected)
        *affected = d ? d->affected : 0;
    return 0;
}

/* The double keeps no command tags: an empty one for every result. */
int ZTC_getResultStatus(ZTC_HANDLE *R, char *tag, int capacity)
{
    Logger("ZTC_getResultStatus").handle("result", R).commit();
    int rc;
    Result *r = result_call("ZTC_getResultStatus", R, &rc);
    if (!r)
        return rc;
    if (tag && capacity > 0)
        tag[0] = '\0';
    return 0;
}

int ZTC_getResultColumnsnum(ZTC_HANDLE *R, int *count)
{
    Logger("ZTC_getResultColumnsnum").handle("result", R).commit();
    int rc;
    Result *r = result_call("ZTC_getResultColumnsnum", R, &rc);
    if (!r)
        return rc;
    const ResultData *d = current_data(r);
    if (count)
        *count = d ? static_cast<int>(d->columns.size()) : 0;
    return 0;
}

int ZTC_getResultcolname(ZTC_HANDLE *R, int col, char *name)
{
    int rc;
    const Column *c = column_call("ZTC_getResultcolname", R, col, &rc);
    if (!c)
        return rc;
    if (name) {
        size_t n = std::min<size_t>(c->name.size(), 255);
        std::memcpy(name, c->name.data(), n);
        name[n] = '\0';
    }
    return 0;
}

int ZTC_getResultcolType(ZTC_HANDLE *R, int col, int *type)
{
    return column_int("ZTC_getResultcolType", R, col, type, &Column::type);
}

int ZTC_getResultcolmodi(ZTC_HANDLE *R, int col, int *modi)
{
    return column_int("ZTC_getResultcolmodi", R, col, modi, &Column::modi);
}

/* The double's columns carry no flags. */
int ZTC_getResultcolflags(ZTC_HANDLE *R, int col, int *flags)
{
    int rc;
    if (!column_call("ZTC_getResultcolflags", R, col, &rc))
        return rc;
    if (flags)
        *flags = 0;
    return 0;
}

int ZTC_getResultcolseq(ZTC_HANDLE *R, const char *name)
{
    Logger("ZTC_getResultcolseq").handle("result", R).text("name", name).commit();
    int rc;
    Result *r = result_call("ZTC_getResultcolseq", R, &rc);
    if (!r)
        return rc;
    const ResultData *d = current_data(r);
    if (!d || !name)
        return 0;
    for (size_t i = 0; i < d->columns.size(); ++i)
        if (d->columns[i].name == name)
            return static_cast<int>(i + 1);
    for (size_t i = 0; i < d->columns.size(); ++i)
        if (same_text_nocase(d->columns[i].name, name))
            return static_cast<int>(i + 1);
    return 0;
}

int ZTC_ReadNext(ZTC_HANDLE *R)
{
    Logger("ZTC_ReadNext").handle("result", R).commit();
    int rc;
    Result *r = result_call("ZTC_ReadNext", R, &rc);
    if (!r)
        return rc;
    const ResultData *d = current_data(r);
    int64_t nrows = d ? static_cast<int64_t>(d->rows.size()) : 0;
    if (r->row + 1 < nrows) {
        ++r->row;
        return 0;
    }
    r->row = nrows;
    return ZTC_NO_MORE;
}

int ZTC_NextResult(ZTC_HANDLE *R)
{
    Logger("ZTC_NextResult").handle("result", R).commit();
    int rc;
    Result *r = result_call("ZTC_NextResult", R, &rc);
    if (!r)
        return rc;
    if (r->current + 1 >= r->results.size())
        return ZTC_NO_MORE;
    ++r->current;
    r->row = -1;
    return 0;
}

int ZTC_GetData(ZTC_HANDLE *R, int col, int type, void *buffer, int capacity, int *length)
{
    Logger("ZTC_GetData").handle("result", R).integer("col", col).integer("type", type)
        .integer("capacity", capacity).word("length", length).commit();
    int rc;
    Result *r = result_call("ZTC_GetData", R, &rc);
    if (!r)
        return rc;
    const ResultData *d = current_data(r);
    if (!d || r->row < 0 || r->row >= static_cast<int64_t>(d->rows.size()))
        return fail_with(r->session, "no current row");
    const std::vector<Cell> &row = d->rows[static_cast<size_t>(r->row)];
    if (col < 1 || static_cast<size_t>(col) > row.size())
        return fail_with(r->session, "no such column");
    const Cell &c = row[static_cast<size_t>(col) - 1];
    if (type == ZTC_TYPE_CLOB2 || type == ZTC_TYPE_BLOB) {
        if (c.null) {
            if (length)
                *length = -1;
            return 0;
        }
        /* The buffer holds the handle itself: it must at least have room for one. */
        bool holds_handle = buffer && capacity >= static_cast<int>(sizeof(ZTC_HANDLE));
        ZTC_HANDLE lh = holds_handle ? *static_cast<ZTC_HANDLE *>(buffer) : nullptr;
        auto it = state().lobs.find(reinterpret_cast<uintptr_t>(lh));
        if (it == state().lobs.end())
            return fail_with(r->session, "no large object");
        it->second->data = c.data;
        if (length)
            *length = c.length;
        return 0;
    }
    write_cell(c, buffer, capacity, length);
    return 0;
}

/* Views of the current row's scripted cells (cell_view), valid until the row moves. */
int ZTC_GetRowValues(ZTC_HANDLE *R, ZTC_ROWVALUE *values, int count)
{
    Logger("ZTC_GetRowValues").handle("result", R).integer("count", count).commit();
    int rc;
    Result *r = result_call("ZTC_GetRowValues", R, &rc);
    if (!r)
        return rc;
    const ResultData *d = current_data(r);
    if (!d || r->row < 0 || r->row >= static_cast<int64_t>(d->rows.size()))
        return fail_with(r->session, "no current row");
    const std::vector<Cell> &row = d->rows[static_cast<size_t>(r->row)];
    if (!values || count < 0 || static_cast<size_t>(count) > d->columns.size() ||
        static_cast<size_t>(count) > row.size())
        return fail_with(r->session, "no room for the row's values");
    for (int c = 0; c < count; ++c)
        values[c] = state().row_views
                        ? cell_view(row[static_cast<size_t>(c)],
                                    d->columns[static_cast<size_t>(c)].type)
                        : ZTC_ROWVALUE{nullptr, 0, 0, 0, 0.0};
    return 0;
}

/* Columns from the scripted cells: a fixed-size value by its byte count (1, 2, 4, 8: an
 * integer, 4 or 8: a float for the float forms), any other value by its text (a number,
 * "YYYY-MM-DD[ HH:MM:SS[.ffffff]]", "T"/"F"); text forms take the bytes as they are. */
int ZTC_ReadColumns(ZTC_HANDLE *R, ZTC_COLUMNBUF *columns, int count, int maxrows, int *rows)
{
    Logger("ZTC_ReadColumns").handle("result", R).integer("count", count)
        .integer("maxrows", maxrows).commit();
    Result *r = need_result(R);
    int rc;
    if (injected("ZTC_ReadColumns", r ? r->session : 0, &rc))
        return rc;
    if (!r || !rows || !columns || count < 0 || maxrows < 0)
        return fail_with(r ? r->session : 0, "bad arguments");
    *rows = 0;
    const ResultData *d = current_data(r);
    if (!d || static_cast<size_t>(count) > d->columns.size())
        return fail_with(r->session, "bad column count");
    r->column_texts.assign(static_cast<size_t>(count), std::string());
    for (int c = 0; c < count; ++c)
        if (columns[c].form == ZTC_FORM_TEXT)
            columns[c].offsets[0] = 0;
    int n = 0;
    while (n < maxrows && r->row + 1 < static_cast<int64_t>(d->rows.size())) {
        const std::vector<Cell> &row = d->rows[static_cast<size_t>(++r->row)];
        for (int c = 0; c < count; ++c) {
            ZTC_COLUMNBUF &col = columns[c];
            if (col.form == ZTC_FORM_SKIP)
                continue;
            const Cell &cell = row[static_cast<size_t>(c)];
            std::string &texts = r->column_texts[c];
            col.nulls[n] = cell.null ? 1 : 0;
            if (col.form == ZTC_FORM_TEXT) {
                if (!cell.null)
                    texts += cell.data;
                col.offsets[n + 1] = static_cast<int64_t>(texts.size());
                continue;
            }
            if (!cell_to_form(cell, d->columns[c].type, col.form, col.values, n)) {
                *rows = n;
                return fail_with(r->session, "[22023] the value does not read in its form");
            }
        }
        ++n;
    }
    for (int c = 0; c < count; ++c)
        columns[c].text = columns[c].form == ZTC_FORM_TEXT ? r->column_texts[c].data() : nullptr;
    *rows = n;
    return 0;
}

int ZTC_FreeRowset(ZTC_HANDLE *R)
{
    return release_handle("ZTC_FreeRowset", "result", state().results, R);
}

/* ---- server cursors ---- */

// The next programmed rowset of the cursor `name` into *R: its row count.
static int serve_rowset(ZTC_HANDLE *S, const char *name, ZTC_HANDLE *R)
{
    State &st = state();
    st.results.erase(value_of(R));
    *R = nullptr;
    CursorScript &cs = st.cursors[name ? name : ""];
    ResultData next;
    if (!cs.rowsets.empty()) {
        next = std::move(cs.rowsets.front());
        cs.rowsets.pop_front();
        cs.last.columns = next.columns;
        cs.last.sql_type = next.sql_type;
        cs.has_last = true;
    } else {
        next.sql_type = cs.has_last ? cs.last.sql_type : ZTC_SQL_QUERY;
        next.columns = cs.last.columns;
    }
    int64_t count = next.rowcount;
    std::vector<ResultData> one;
    one.push_back(std::move(next));
    fill_result(value_of(S), std::move(one), R, nullptr, nullptr, nullptr);
    return static_cast<int>(count);
}

int ZTC_FetchServerCursorRowset(ZTC_HANDLE *S, const char *name, ZTC_HANDLE *R)
{
    Logger("ZTC_FetchServerCursorRowset").handle("session", S).text("name", name)
        .handle("result", R).commit();
    int rc;
    if (injected("ZTC_FetchServerCursorRowset", value_of(S), &rc))
        return rc;
    if (!need_session(S))
        return -1;
    if (!R)
        return fail_with(value_of(S), "no result");
    return serve_rowset(S, name, R);
}

// Pages come from the cursor's programmed rowsets, one per call; a full page asked for with
// `ahead` reports the next one as sent (the double reads nothing ahead: the next call serves it).
int ZTC_FetchCursorPage(ZTC_HANDLE *S, const char *name, long long reader, int count, int ahead,
                        ZTC_HANDLE *R, int *sent)
{
    Logger("ZTC_FetchCursorPage").handle("session", S).text("name", name)
        .integer("reader", reader).integer("count", count).integer("ahead", ahead)
        .handle("result", R).commit();
    if (sent)
        *sent = 0;
    int rc;
    if (injected("ZTC_FetchCursorPage", value_of(S), &rc))
        return rc;
    if (!need_session(S))
        return -1;
    if (!R)
        return fail_with(value_of(S), "no result");
    int rows = serve_rowset(S, name, R);
    if (sent && ahead && count > 0 && rows == count)
        *sent = 1;
    return rows;
}

int ZTC_CloseCursor(ZTC_HANDLE *S, const char *name)
{
    Logger("ZTC_CloseCursor").handle("session", S).text("name", name).commit();
    int rc;
    if (injected("ZTC_CloseCursor", value_of(S), &rc))
        return rc;
    return need_session(S) ? 0 : -1;
}

/* ---- large objects ---- */

int ZTC_Create_Lob(ZTC_HANDLE *L)
{
    Logger("ZTC_Create_Lob").handle("lob", L).commit();
    int rc;
    if (injected("ZTC_Create_Lob", 0, &rc))
        return rc;
    if (!L)
        return fail_with(0, "no handle");
    uintptr_t h = new_handle(KIND_LOB);
    state().lobs[h] = std::make_unique<Lob>();
    *L = reinterpret_cast<ZTC_HANDLE>(h);
    return 0;
}

int ZTC_Get_Lob_data(ZTC_HANDLE *L, void *buffer, int n)
{
    Logger("ZTC_Get_Lob_data").handle("lob", L).integer("n", n).commit();
    int rc;
    if (injected("ZTC_Get_Lob_data", 0, &rc))
        return rc;
    auto it = state().lobs.find(value_of(L));
    if (it == state().lobs.end())
        return fail_with(0, "no large object");
    const std::string &data = it->second->data;
    size_t count = std::min(data.size(), static_cast<size_t>(std::max(n, 0)));
    if (!buffer)
        count = 0;
    if (count)
        std::memcpy(buffer, data.data(), count);
    return static_cast<int>(count);
}

int ZTC_Distroy_Lob(ZTC_HANDLE *L)
{
    return release_handle("ZTC_Distroy_Lob", "lob", state().lobs, L);
}

/* ---- notifications: the helper queues them (ztd_queue_notify); any session gets them ---- */

int ZTC_GetNotify(ZTC_HANDLE *S, ZTC_NOTIFY *out)
{
    Logger("ZTC_GetNotify").handle("session", S).commit();
    int rc;
    if (injected("ZTC_GetNotify", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s || !out)
        return -1;
    State &st = state();
    if (st.notifications.empty())
        return ZTC_NO_MORE;
    s->notify_out = std::move(st.notifications.front());
    st.notifications.pop_front();
    out->channel = s->notify_out.channel.c_str();
    out->payload = s->notify_out.payload.c_str();
    out->payload_length = static_cast<int>(s->notify_out.payload.size());
    out->pid = s->notify_out.pid;
    return 0;
}

/* Waits as the library does: one tick at a time (without sleeping), the wait handler
 * asked after each; at most 10 s of ticks for a wait without limit. */
int ZTC_WaitNotify(ZTC_HANDLE *S, int timeout_ms)
{
    Logger("ZTC_WaitNotify").handle("session", S).integer("timeout_ms", timeout_ms).commit();
    int rc;
    if (injected("ZTC_WaitNotify", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    int tick = s->tick_ms > 0 ? s->tick_ms : 100;
    for (int waited = 0; timeout_ms < 0 ? waited < 10000 : waited < timeout_ms; waited += tick) {
        if (!state().notifications.empty())
            return 0;
        if (s->wait_handler && s->wait_handler(s->wait_context))
            return fail_with(value_of(S), "[57014] the wait for notifications was interrupted");
    }
    return state().notifications.empty() ? ZTC_NO_MORE : 0;
}

/* No socket unless a test programs one: set_return("ZTC_Socket", fd). */
int ZTC_Socket(ZTC_HANDLE *S)
{
    Logger("ZTC_Socket").handle("session", S).commit();
    int rc;
    if (injected("ZTC_Socket", value_of(S), &rc))
        return rc;
    return -1;
}

/* ---- pipelines: each sent statement takes the next queued execution at the sync ---- */

int ZTC_PipelineSend(ZTC_HANDLE *S, const char *sql)
{
    Logger("ZTC_PipelineSend").handle("session", S).text("sql", sql).commit();
    int rc;
    if (injected("ZTC_PipelineSend", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    ++s->pipeline_sent;
    return 0;
}

static void settle_pipeline(Session *s)
{
    for (; s->pipeline_sent > 0; --s->pipeline_sent)
        s->pipeline_done.push_back(next_execution());
}

int ZTC_PipelineSync(ZTC_HANDLE *S, int *kept)
{
    Logger("ZTC_PipelineSync").handle("session", S).commit();
    int rc;
    if (injected("ZTC_PipelineSync", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s)
        return -1;
    settle_pipeline(s);
    if (kept)
        *kept = static_cast<int>(s->pipeline_done.size());
    return 0;
}

/* fail("ZTC_PipelineResult", error=..., nth=N) fails the Nth outcome handed out. */
int ZTC_PipelineResult(ZTC_HANDLE *S, ZTC_HANDLE *R)
{
    Logger("ZTC_PipelineResult").handle("session", S).commit();
    Session *s = need_session(S);
    if (!s)
        return -1;
    settle_pipeline(s);
    if (s->pipeline_done.empty())
        return ZTC_NO_MORE;
    std::vector<ResultData> results = std::move(s->pipeline_done.front());
    s->pipeline_done.pop_front();
    int rc;
    if (injected("ZTC_PipelineResult", value_of(S), &rc))
        return rc;
    if (!R)
        return fail_with(value_of(S), "no result");
    if (*R)
        state().results.erase(value_of(R));
    fill_result(value_of(S), std::move(results), R, nullptr, nullptr, nullptr);
    return 0;
}

/* ---- non-blocking operations: every operation is done at its start; ZTC_AsyncPoll
 * reports 0 (a test programs waits with set_return("ZTC_AsyncPoll", bits)) ---- */

/* Starts an operation of the given kind on a session with none in progress. */
static int start_async(ZTC_HANDLE *S, int kind)
{
    Session *s = need_session(S);
    if (!s)
        return -1;
    if (s->async_kind != 0)
        return fail_with(value_of(S), "[HY010] a non-blocking operation is in progress");
    s->async_kind = kind;
    return 0;
}

int ZTC_AsyncOpen(const char *conn_text, ZTC_HANDLE *S)
{
    Logger("ZTC_AsyncOpen").text("text", conn_text).handle("session", S).commit();
    int rc = open_session("ZTC_AsyncOpen", nullptr, S);
    if (rc == 0)
        start_async(S, 1);
    return rc;
}

int ZTC_AsyncExecute(ZTC_HANDLE *S, const char *sql)
{
    Logger("ZTC_AsyncExecute").handle("session", S).text("sql", sql).commit();
    int rc;
    if (injected("ZTC_AsyncExecute", value_of(S), &rc))
        return rc;
    return start_async(S, 2);
}

int ZTC_AsyncCopyStart(ZTC_HANDLE *S, const char *sql)
{
    Logger("ZTC_AsyncCopyStart").handle("session", S).text("sql", sql).commit();
    int rc;
    if (injected("ZTC_AsyncCopyStart", value_of(S), &rc))
        return rc;
    if (start_async(S, 3) < 0)
        return -1;
    std::string text(sql ? sql : "");
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    need_session(S)->copy_direction = text.find("stdin") != std::string::npos ? 1 : 2;
    return 0;
}

int ZTC_AsyncPoll(ZTC_HANDLE *S)
{
    Logger("ZTC_AsyncPoll").handle("session", S).commit();
    int rc;
    if (injected("ZTC_AsyncPoll", value_of(S), &rc))
        return rc;
    return need_session(S) ? 0 : -1;
}

int ZTC_AsyncFinish(ZTC_HANDLE *S, ZTC_HANDLE *R, int *columns, int64_t *rows, int *affected)
{
    Logger("ZTC_AsyncFinish").handle("session", S).handle("result", R).commit();
    Session *s = need_session(S);
    if (!s)
        return -1;
    int kind = s->async_kind;
    s->async_kind = 0;
    int rc;
    if (injected("ZTC_AsyncFinish", value_of(S), &rc))
        return rc;
    switch (kind) {
    case 1:
        return 0;
    case 2:
        if (!R)
            return fail_with(value_of(S), "no result");
        fill_result(value_of(S), next_execution(), R, columns, rows, affected);
        return 0;
    case 3:
        if (columns)
            *columns = s->copy_direction;
        return 0;
    case 4:
        if (rows)
            *rows = 0;
        return 0;
    default:
        return fail_with(value_of(S), "[HY010] no finished non-blocking operation");
    }
}

int ZTC_AsyncCopyPut(ZTC_HANDLE *S, const char *data, int length)
{
    return copy_put("ZTC_AsyncCopyPut", S, data, length);
}

int ZTC_AsyncCopyGet(ZTC_HANDLE *S, char *buffer, int capacity, int *length)
{
    return copy_get("ZTC_AsyncCopyGet", S, buffer, capacity, length);
}

int ZTC_AsyncCopyEnd(ZTC_HANDLE *S, const char *abort_message)
{
    Logger("ZTC_AsyncCopyEnd").handle("session", S).text("abort", abort_message).commit();
    int rc;
    if (injected("ZTC_AsyncCopyEnd", value_of(S), &rc))
        return rc;
    Session *s = need_session(S);
    if (!s || s->copy_direction == 0)
        return -1;
    s->copy_direction = 0;
    return start_async(S, 4);
}

}  // extern "C"
