/* ztd_control.cpp - the test double's state, value encodings and the ztd_* control
 * interface that tests/double/ztdouble.py drives through ctypes.
 *
 * Programming a result is a short sequence of calls: ztd_result_begin, then columns,
 * rows and cells; the staged results are then handed to an execution
 * (ztd_queue_execution) or to a server cursor (ztd_program_cursor). The log is read
 * back as the text of a Python literal, from a given entry on, so the helper only
 * converts what is new. */
#include "ztd_state.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

namespace ztd {

namespace {

constexpr int64_t AUTO_ROWCOUNT = INT64_MIN;

template <class T>
std::string raw(T v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

Cell bytes_cell(std::string data, int32_t length)
{
    Cell c;
    c.null = false;
    c.data = std::move(data);
    c.length = length;
    return c;
}

Cell sized_cell(std::string data)
{
    int32_t n = static_cast<int32_t>(data.size());
    return bytes_cell(std::move(data), n);
}

/* An integer in the fixed-size form of `type`; false when the code has none. */
bool integer_form(int64_t v, int type, std::string *out)
{
    switch (type) {
    case ZTC_TYPE_BOOLEAN: *out = v ? "T" : "F"; return true;
    case ZTC_TYPE_TINYINT: *out = raw(static_cast<int8_t>(v)); return true;
    case ZTC_TYPE_SMALLINT: *out = raw(static_cast<int16_t>(v)); return true;
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_INTERVAL_YM: *out = raw(static_cast<int32_t>(v)); return true;
    case ZTC_TYPE_BIGINT:
    case ZTC_TYPE_DATETIME_MS:
    case ZTC_TYPE_INTERVAL_DS: *out = raw(static_cast<int64_t>(v)); return true;
    case ZTC_TYPE_FLOAT: *out = raw(static_cast<float>(v)); return true;
    case ZTC_TYPE_DOUBLE: *out = raw(static_cast<double>(v)); return true;
    default: return false;
    }
}

void put_bytes_literal(std::string &out, const std::string &s)
{
    out += "b'";
    char esc[8];
    for (unsigned char ch : s) {
        if (ch == '\\' || ch == '\'') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch >= 0x20 && ch < 0x7F) {
            out += static_cast<char>(ch);
        } else {
            std::snprintf(esc, sizeof esc, "\\x%02x", ch);
            out += esc;
        }
    }
    out += '\'';
}

void put_int(std::string &out, int64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRId64, v);
    out += buf;
}

void put_arg(std::string &out, const Arg &a)
{
    switch (a.kind) {
    case Arg::NONE: out += "None"; break;
    case Arg::INT: put_int(out, a.i); break;
    case Arg::BOOL: out += a.i ? "True" : "False"; break;
    case Arg::TEXT:
    case Arg::BYTES: put_bytes_literal(out, a.s); break;
    case Arg::INTLIST:
        out += '[';
        for (size_t i = 0; i < a.list.size(); ++i) {
            if (i)
                out += ", ";
            put_int(out, a.list[i]);
        }
        out += ']';
        break;
    case Arg::POSLISTS:
        out += '{';
        for (size_t i = 0; i < a.poslists.size(); ++i) {
            if (i)
                out += ", ";
            put_int(out, a.poslists[i].first);
            out += ": [";
            const auto &l = a.poslists[i].second;
            for (size_t j = 0; j < l.size(); ++j) {
                if (j)
                    out += ", ";
                put_int(out, l[j]);
            }
            out += ']';
        }
        out += '}';
        break;
    }
}

Value make_value(int kind, int64_t ival, double fval, const char *data, int datalen, int length)
{
    Value v;
    v.kind = kind;
    v.ival = ival;
    v.fval = fval;
    if (data && datalen > 0)
        v.data.assign(data, static_cast<size_t>(datalen));
    v.length = length;
    return v;
}

/* Settles "rowcount None" of the staged results now that their rows are known. */
void settle_staging()
{
    for (ResultData &d : state().staging)
        if (d.rowcount == AUTO_ROWCOUNT)
            d.rowcount = d.sql_type == ZTC_SQL_QUERY ? static_cast<int64_t>(d.rows.size()) : 0;
}

}  // namespace

State &state()
{
    static State s;
    return s;
}

/* generation (20 bits) | kind (4 bits) | counter (36 bits) | 4 zero bits */
uintptr_t new_handle(HandleKind kind)
{
    State &st = state();
    uint64_t h = ((st.generation & 0xFFFFF) << 44) | (uint64_t(kind) << 40) |
                 ((++st.counter & 0xFFFFFFFFF) << 4);
    return static_cast<uintptr_t>(h);
}

bool is_stale(const void *h)
{
    uint64_t v = reinterpret_cast<uintptr_t>(h);
    return (v >> 44) != (state().generation & 0xFFFFF);
}

Cell encode_value(const Value &v, int type)
{
    std::string form;
    switch (v.kind) {
    case VALUE_NULL:
        return Cell();
    case VALUE_CELL:
        return bytes_cell(v.data, v.length);
    case VALUE_BOOL:
        if (type == ZTC_TYPE_BOOLEAN)
            return sized_cell(v.ival ? "T" : "F");
        if (integer_form(v.ival, type, &form))
            return sized_cell(form);
        return sized_cell(v.data);
    case VALUE_INT:
        if (integer_form(v.ival, type, &form))
            return sized_cell(form);
        return sized_cell(v.data);
    case VALUE_FLOAT:
        if (type == ZTC_TYPE_FLOAT)
            return sized_cell(raw(static_cast<float>(v.fval)));
        if (type == ZTC_TYPE_DOUBLE)
            return sized_cell(raw(v.fval));
        if (integer_form(v.ival, type, &form))
            return sized_cell(form);
        return sized_cell(v.data);
    default: /* bytes and text */
        return sized_cell(v.data);
    }
}

}  // namespace ztd

using namespace ztd;

extern "C" {

/* Forgets everything programmed and logged; handles made before are stale from now on. */
void ztd_reset(void)
{
    State &st = state();
    State fresh;
    fresh.generation = st.generation + 1;
    st = std::move(fresh);
}

void ztd_fail(const char *call, int rc, const char *error, int nth)
{
    Failure f;
    f.call = call ? call : "";
    f.rc = rc;
    f.has_error = error != nullptr;
    if (error)
        f.error = error;
    f.nth = nth > 0 ? nth : 0;
    state().failures.push_back(std::move(f));
}

void ztd_set_sql_type(int cls, const char *text)
{
    State &st = state();
    if (text) {
        st.sql_types[text] = cls;
    } else {
        st.has_default_sql_type = true;
        st.default_sql_type = cls;
    }
}

void ztd_result_begin(int sql_type, int has_rowcount, int64_t rowcount, int affected)
{
    ResultData d;
    d.sql_type = sql_type;
    d.rowcount = has_rowcount ? rowcount : AUTO_ROWCOUNT;
    d.affected = affected;
    state().staging.push_back(std::move(d));
}

void ztd_result_column(const char *name, int namelen, int type, int modi)
{
    State &st = state();
    if (st.staging.empty())
        return;
    Column c;
    if (name && namelen > 0)
        c.name.assign(name, static_cast<size_t>(namelen));
    c.type = type;
    c.modi = modi;
    st.staging.back().columns.push_back(std::move(c));
}

/* Gives the last staged column a server type and element type. */
void ztd_result_column_type(unsigned oid, unsigned element)
{
    State &st = state();
    if (st.staging.empty() || st.staging.back().columns.empty())
        return;
    st.staging.back().columns.back().oid = oid;
    st.staging.back().columns.back().element = element;
}

void ztd_result_row(void)
{
    State &st = state();
    if (!st.staging.empty())
        st.staging.back().rows.emplace_back();
}

/* Appends a cell to the last staged row, encoded by its column's type code. */
void ztd_result_cell(int kind, int64_t ival, double fval, const char *data, int datalen,
                     int length)
{
    State &st = state();
    if (st.staging.empty() || st.staging.back().rows.empty())
        return;
    ResultData &d = st.staging.back();
    std::vector<Cell> &row = d.rows.back();
    int type = row.size() < d.columns.size() ? d.columns[row.size()].type : ZTC_TYPE_VARCHAR;
    row.push_back(encode_value(make_value(kind, ival, fval, data, datalen, length), type));
}

void ztd_queue_execution(void)
{
    State &st = state();
    settle_staging();
    st.executions.push_back(std::move(st.staging));
    st.staging.clear();
}

void ztd_program_cursor(const char *name)
{
    State &st = state();
    settle_staging();
    CursorScript &cs = st.cursors[name ? name : ""];
    for (ResultData &d : st.staging)
        cs.rowsets.push_back(std::move(d));
    st.staging.clear();
}

void ztd_output(int pos, int kind, int64_t ival, double fval, const char *data, int datalen,
                int length)
{
    state().staged_outputs.emplace_back(pos, make_value(kind, ival, fval, data, datalen, length));
}

void ztd_program_outputs(void)
{
    State &st = state();
    st.outputs.push_back(std::move(st.staged_outputs));
    st.staged_outputs.clear();
}

void ztd_queue_notify(const char *channel, const char *payload, int length, int pid)
{
    Notify n;
    n.channel = channel ? channel : "";
    n.payload.assign(payload ? payload : "", payload && length > 0 ? static_cast<size_t>(length) : 0);
    n.pid = pid;
    state().notifications.push_back(std::move(n));
}

/* Whether ZTC_GetRowValues gives the cells' views (the default) or views that offer
 * nothing, so that every value is read with ZTC_GetData. */
void ztd_row_views(int on) { state().row_views = on != 0; }

int ztd_lob_count(void) { return static_cast<int>(state().lobs.size()); }
int ztd_open_results(void) { return static_cast<int>(state().results.size()); }
int ztd_open_sessions(void) { return static_cast<int>(state().sessions.size()); }
int ztd_open_attrs(void) { return static_cast<int>(state().attrs.size()); }

size_t ztd_log_size(void) { return state().log.size(); }

/* Renders log entries from `from` on as a Python list literal of (name, {args}) pairs
 * into a scratch text; returns its byte count (copy it out with ztd_log_copy). */
size_t ztd_log_export(size_t from)
{
    State &st = state();
    std::string &out = st.exported;
    out.assign("[");
    for (size_t i = from; i < st.log.size(); ++i) {
        const LogEntry &e = st.log[i];
        out += "('";
        out += e.name;
        out += "', {";
        for (size_t j = 0; j < e.args.size(); ++j) {
            if (j)
                out += ", ";
            out += '\'';
            out += e.args[j].key;
            out += "': ";
            put_arg(out, e.args[j]);
        }
        out += "}),\n";
    }
    out += ']';
    return out.size();
}

void ztd_log_copy(char *buffer)
{
    const std::string &s = state().exported;
    if (buffer)
        std::memcpy(buffer, s.data(), s.size());
}

}  // extern "C"
