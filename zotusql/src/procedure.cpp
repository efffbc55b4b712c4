// Procedure and function calls (ZTC_Execute_procesure): the driver's text "execute NAME" or
// "execute NAME(?,...,?);" becomes CALL NAME(...) or SELECT NAME(...), and the server's answer is
// written into the output buffers the driver bound (directions 2, 3 and 6).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "decode.h"
#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

constexpr const char *kSavepoint = "zt_call";

bool is_output(const Binding &b)
{
    return b.bound && (b.direction == PARAM_OUTPUT || b.direction == PARAM_INPUTOUTPUT);
}

// "$1, $2, ..., $n".
std::string placeholders(int n)
{
    std::string out;
    for (int i = 1; i <= n; ++i) {
        if (i > 1)
            out += ", ";
        out += '$';
        out += std::to_string(i);
    }
    return out;
}

// Arguments of a SELECT: every position but the pure outputs (a function takes no OUT arguments).
void input_params(const Session &s, int markers, ParamArrays &out)
{
    for (int i = 0; i < markers; ++i)
        if (s.params[i].direction != PARAM_OUTPUT)
            out.add(s.params[i]);
}

// Reads a boolean from a text form: the server's t / f, and the usual spellings.
bool truthy(const char *text, size_t len)
{
    if (len == 0)
        return false;
    switch (text[0]) {
    case 'f': case 'F': case 'n': case 'N': return false;
    case '0': return !std::all_of(text, text + len, [](char c) { return c == '0' || c == '.'; });
    case 'o': case 'O': return len >= 2 && (text[1] == 'n' || text[1] == 'N');
    default: return true;
    }
}

// An integer read from the text form of an integer, boolean or decimal value.
bool text_integer(const char *text, size_t len, Oid oid, int64_t &v)
{
    if (oid == OID_BOOL) {
        v = truthy(text, len) ? 1 : 0;
        return true;
    }
    if (decode_int64(text, len, v))
        return true;
    double d = 0;
    if (!parse_double(text, len, d, nullptr) || !std::isfinite(d) || d < -9.2233720368547758e18 ||
        d >= 9.2233720368547758e18)
        return false;
    v = std::llround(d);
    return true;
}

// Copies `text` as zero-terminated text cut to the buffer (at a character boundary); returns the
// bytes written before the zero.
int put_cut_text(const char *text, size_t len, char *buf, int cap)
{
    if (cap <= 0)
        return 0;
    size_t n = utf8_cut(text, len, static_cast<size_t>(cap - 1));
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

// The length word of a text or binary output of `len` bytes of which `written` fit the buffer:
// the full length, so that the caller sees the cut; the whole value is then kept for
// ZTC_GetOutputData. A value beyond 2 GiB cannot be reported and stays cut.
int report_length(Session &s, int pos, const char *data, size_t len, int written)
{
    if (static_cast<size_t>(written) >= len || len >= static_cast<size_t>(INT32_MAX))
        return written;
    s.kept_outputs.emplace_back(pos, std::string(data, len));
    return static_cast<int>(len);
}

// Writes one output value into a binding's buffer in the encoding of its type code, never past
// the buffer length given at binding, and its byte length into the length word (0 for NULL).
// Texts and bytes are cut to leave room for a terminating zero inside the buffer.
// False with the message recorded when the value does not fit the code.
bool write_output(Session &s, int pos, const Binding &b, const char *text, size_t len, Oid oid,
                  bool null)
{
    char *buf = static_cast<char *>(b.out_buffer);
    int cap = b.out_capacity;
    int written = 0;
    if (!null && buf && cap > 0) {
        auto put = [&](const void *v, int size) {
            written = std::min(size, cap);
            std::memcpy(buf, v, static_cast<size_t>(written));
        };
        auto out_of_range = [&]() {
            set_error(s, "22003",
                      "output parameter " + std::to_string(pos) + ": \"" +
                          std::string(text, utf8_cut(text, len, 40)) +
                          "\" does not fit type code " + std::to_string(b.type));
            return false;
        };
        int64_t i = 0;
        switch (b.type) {
        case ZTC_TYPE_BOOLEAN: {
            // The 4-byte character value 'T' / 'F'.
            int32_t c = truthy(text, len) ? 'T' : 'F';
            put(&c, 4);
            break;
        }
        case ZTC_TYPE_TINYINT:
        case ZTC_TYPE_INTEGER:
        case ZTC_TYPE_SMALLINT:
        case ZTC_TYPE_BIGINT: {
            // The code's width (4 bytes for TINYINT, as the driver reads it), or fewer when the
            // buffer length says so: then the value must fit those low-order bytes.
            int width = b.type == ZTC_TYPE_BIGINT ? 8 : b.type == ZTC_TYPE_SMALLINT ? 2 : 4;
            int bytes = std::min(width, cap);
            bytes = bytes >= 8 ? 8 : bytes >= 4 ? 4 : bytes >= 2 ? 2 : 1;
            if (!text_integer(text, len, oid, i))
                return out_of_range();
            if (bytes < 8) {
                int64_t limit = int64_t(1) << (8 * bytes - 1);
                if (i < -limit || i >= limit)
                    return out_of_range();
            }
            int8_t i8 = static_cast<int8_t>(i);
            int16_t i16 = static_cast<int16_t>(i);
            int32_t i32 = static_cast<int32_t>(i);
            if (bytes >= 8)
                put(&i, 8);
            else if (bytes >= 4)
                put(&i32, 4);
            else if (bytes >= 2)
                put(&i16, 2);
            else
                put(&i8, 1);
            break;
        }
        case ZTC_TYPE_FLOAT:
        case ZTC_TYPE_DOUBLE: {
            double d = truthy(text, len) ? 1.0 : 0.0;
            if (oid != OID_BOOL && !parse_double(text, len, d, nullptr))
                return out_of_range();
            if (b.type == ZTC_TYPE_FLOAT) {
                float f = static_cast<float>(d);
                put(&f, 4);
            } else {
                put(&d, 8);
            }
            break;
        }
        case ZTC_TYPE_NUMERIC: {
            // The decimal text, or its shortest exponent form when too long: never a cut number.
            int n = write_numeric(text, len, buf, cap - 1);
            if (n < 0)
                return out_of_range();
            buf[n] = '\0';
            written = n;
            break;
        }
        case ZTC_TYPE_BINARY:
        case ZTC_TYPE_BINARY2:
        case ZTC_TYPE_BLOB: {
            // Binary positions get the bytes themselves, as they were bound, not bytea's text.
            std::string bytes;
            const bool bytea = codec_of(oid).bytea_text;
            if (bytea && !decode_bytea(text, len, bytes))
                return out_of_range();
            const std::string &raw = bytea ? bytes : std::string(text, len);
            written = static_cast<int>(std::min(raw.size(), static_cast<size_t>(cap - 1)));
            std::memcpy(buf, raw.data(), static_cast<size_t>(written));
            buf[written] = '\0';
            written = report_length(s, pos, raw.data(), raw.size(), written);
            break;
        }
        default:
            if (oid == OID_BOOL) {
                written = put_cut_text(truthy(text, len) ? "T" : "F", 1, buf, cap);
            } else {
                written = put_cut_text(text, len, buf, cap);
                written = report_length(s, pos, text, len, written);
            }
        }
    }
    if (b.out_length)
        *b.out_length = written;
    return true;
}

// Points text at the ISO form of a date or timestamp output the session wrote in another
// DateStyle (kept in scratch). False with the session's message set when it cannot be read.
bool iso_output(Session &s, const DateStyle &st, Oid oid, const char *&text, size_t &len,
                std::string &scratch)
{
    DateKind kind;
    if (st.iso() || !styled_oid(oid, kind))
        return true;
    std::string err;
    if (!iso_from_style(st, kind, text, len, scratch, err)) {
        set_error(s, "22007", err);
        return false;
    }
    text = scratch.c_str();
    len = scratch.size();
    return true;
}

// Writes the first row of r into the output and in-out positions, in order; positions without
// a column (or a result without rows) receive NULL. Collects the names of RefCursor outputs.
bool write_outputs(Session &s, int markers, const PGresult *r, std::vector<std::string> &cursors)
{
    int ncols = r ? PQnfields(r) : 0;
    bool row = r && PQntuples(r) > 0;
    int col = 0;
    const DateStyle st = session_date_style(s.conn);
    std::string iso;
    for (int i = 0; i < markers; ++i) {
        const Binding &b = s.params[i];
        if (!is_output(b))
            continue;
        bool null = !row || col >= ncols || PQgetisnull(r, 0, col);
        const char *text = null ? "" : PQgetvalue(r, 0, col);
        size_t len = null ? 0 : static_cast<size_t>(PQgetlength(r, 0, col));
        Oid oid = col < ncols ? PQftype(r, col) : 0;
        if ((!null && !iso_output(s, st, oid, text, len, iso)) ||
            !write_output(s, i + 1, b, text, len, oid, null))
            return false;
        if (!null && b.type == ZTC_TYPE_REFCURSOR)
            cursors.emplace_back(text, len);
        ++col;
    }
    return true;
}

// Writes a function's result as text (booleans as T / F) into the return-value binding at
// position pos. False when a date or timestamp value cannot be read (iso_output).
bool write_return_value(Session &s, int pos, const Binding &b, const PGresult *r)
{
    bool null = !r || PQntuples(r) == 0 || PQnfields(r) == 0 || PQgetisnull(r, 0, 0);
    int written = 0;
    char *buf = static_cast<char *>(b.out_buffer);
    if (!null && buf) {
        const char *text = PQgetvalue(r, 0, 0);
        size_t len = static_cast<size_t>(PQgetlength(r, 0, 0));
        std::string iso;
        if (!iso_output(s, session_date_style(s.conn), PQftype(r, 0), text, len, iso))
            return false;
        if (PQftype(r, 0) == OID_BOOL) {
            written = put_cut_text(truthy(text, len) ? "T" : "F", 1, buf, b.out_capacity);
        } else {
            written = put_cut_text(text, len, buf, b.out_capacity);
            written = report_length(s, pos, text, len, written);
        }
    }
    if (b.out_length)
        *b.out_length = written;
    return true;
}

// A function reports its value through its result only, so its RefCursor outputs learn their
// cursor from it: a refcursor value goes into the first RefCursor position the call sent as NULL
// (a pure output, or an in-out without a name), which the caller then opens as after a
// procedure. Collects the cursors those positions name, an in-out's own name included.
bool write_function_cursors(Session &s, int markers, const PGresult *r,
                            std::vector<std::string> &cursors)
{
    bool returned = r && PQntuples(r) > 0 && PQnfields(r) > 0 && !PQgetisnull(r, 0, 0) &&
                    PQftype(r, 0) == OID_REFCURSOR;
    for (int i = 0; i < markers; ++i) {
        const Binding &b = s.params[i];
        if (!is_output(b) || b.type != ZTC_TYPE_REFCURSOR)
            continue;
        if (!b.null) {
            cursors.push_back(b.value);
        } else if (returned) {
            const char *name = PQgetvalue(r, 0, 0);
            size_t len = static_cast<size_t>(PQgetlength(r, 0, 0));
            if (!write_output(s, i + 1, b, name, len, OID_REFCURSOR, false))
                return false;
            cursors.emplace_back(name, len);
            returned = false;
        }
    }
    return true;
}

// The first result that has a row description, or the last one; null when there is none.
ResultPtr *main_result(ResultList &results)
{
    for (ResultPtr &r : results)
        if (PQnfields(r.get()) > 0)
            return &r;
    return results.empty() ? nullptr : &results.back();
}

bool has_state(const std::string &message, const char *state)
{
    return message.size() > 7 && message[0] == '[' && message.compare(1, 5, state) == 0;
}

// Runs CALL inside the caller's open transaction, between SAVEPOINT and RELEASE sent in one
// pipeline, so that a refusal (NAME is a function) can be undone and the transaction goes on.
// `refused` tells that case apart; any other failure is left to the transaction as usual.
bool call_in_savepoint(Session &s, const std::string &call, const ParamArrays &p,
                       ResultList &out, bool &refused)
{
    refused = false;
    std::string save = std::string("SAVEPOINT ") + kSavepoint;
    std::string release = std::string("RELEASE SAVEPOINT ") + kSavepoint;
    if (!PQenterPipelineMode(s.conn)) {
        set_error_from_conn(s, "HY000");
        return false;
    }
    bool sent = PQsendQueryParams(s.conn, save.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) &&
                PQsendQueryParams(s.conn, call.c_str(), p.count(), p.types.data(),
                                  p.values.data(), p.lengths.data(), p.formats.data(), 0) &&
                PQsendQueryParams(s.conn, release.c_str(), 0, nullptr, nullptr, nullptr, nullptr,
                                  0) &&
                PQpipelineSync(s.conn);
    // Results: one per query (each followed by a null), then the sync point.
    ResultPtr results[3];
    std::string failure;
    for (int q = 0; sent && q < 3; ++q) {
        results[q].reset(next_result(s));
        if (!results[q]) {
            sent = false;
            break;
        }
        while (PGresult *extra = next_result(s))
            PQclear(extra);
    }
    if (sent) {
        ResultPtr sync(next_result(s));
        sent = sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC;
    }
    PQexitPipelineMode(s.conn);
    if (!sent) {
        set_error_from_conn(s, PQstatus(s.conn) == CONNECTION_BAD ? "08006" : "HY000");
        return false;
    }
    for (int q = 0; q < 3; ++q) {
        ExecStatusType st = PQresultStatus(results[q].get());
        if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE) {
            set_error_from_result(s, results[q].get());
            if (q == 1 && has_state(*s.error, "42809")) {
                std::string message = *s.error;
                refused = run_command(s, ("ROLLBACK TO SAVEPOINT " + std::string(kSavepoint) +
                                          "; " + release).c_str());
                if (refused)
                    *s.error = message;
            }
            return false;
        }
    }
    out.clear();
    out.push_back(std::move(results[1]));
    return true;
}

// CALL NAME($1..$n): inputs send their values, outputs NULL, in-outs their values. When NAME is
// a function (SQLSTATE 42809), SELECT * FROM NAME(inputs and in-outs) instead.
bool call_procedure(Session &s, const std::string &name, int markers, ResultList &out)
{
    ParamArrays all;
    bound_params(s, markers, all);
    std::string call = "CALL " + name + "(" + placeholders(markers) + ")";
    bool refused = false;
    if (in_transaction(s)) {
        if (call_in_savepoint(s, call, all, out, refused))
            return true;
    } else {
        if (exec_params(s, call, all, out))
            return true;
        refused = has_state(*s.error, "42809");
    }
    if (!refused)
        return false;
    ParamArrays inputs;
    input_params(s, markers, inputs);
    std::string select = "SELECT * FROM " + name + "(" + placeholders(inputs.count()) + ")";
    return exec_params(s, select, inputs, out);
}

// SELECT NAME(inputs and in-outs): the value is the function's result.
bool call_function(Session &s, const std::string &name, int markers, ResultList &out)
{
    ParamArrays inputs;
    input_params(s, markers, inputs);
    std::string select = "SELECT " + name + "(" + placeholders(inputs.count()) + ")";
    return exec_params(s, select, inputs, out);
}

// Whether any of positions 1..markers is a RefCursor.
bool wants_cursor(const Session &s, int markers)
{
    for (int i = 0; i < markers; ++i)
        if (s.params[i].bound && s.params[i].type == ZTC_TYPE_REFCURSOR)
            return true;
    return false;
}

// After a failed call: a transaction the library opened for cursors is rolled back (the server
// has failed it anyway), keeping the call's message.
void drop_cursor_transaction(Session &s, bool opened_now)
{
    if (!s.cursor_transaction)
        return;
    if (!opened_now && PQtransactionStatus(s.conn) != PQTRANS_INERROR)
        return;
    std::string message = *s.error;
    end_transaction(s, false);
    *s.error = message;
}

int execute_procedure(Session &s, const char *sql)
{
    std::string name;
    int markers = 0;
    if (!sql || !parse_procedure_text(sql, name, markers)) {
        set_error(s, "42601", "not a procedure call: expected \"execute NAME\" or "
                              "\"execute NAME(?,...,?);\"");
        return -1;
    }
    if (!valid_procedure_name(name)) {
        set_error(s, "42601", "invalid procedure name \"" +
                                  std::string(name, 0, utf8_cut(name.data(), name.size(), 64)) +
                                  "\"");
        return -1;
    }
    if (!check_markers(s, markers, true))
        return -1;
    const Binding *ret = nullptr;
    if (s.params.size() > static_cast<size_t>(markers) && s.params[markers].bound &&
        s.params[markers].direction == PARAM_RETURNVALUE)
        ret = &s.params[markers];

    // A cursor the procedure opens lives only as long as its transaction: in autocommit mode
    // the library opens one and keeps it until the last such cursor is closed.
    bool opened_now = false;
    if (wants_cursor(s, markers) && s.autocommit && !in_transaction(s)) {
        if (!run_command(s, "BEGIN"))
            return -1;
        s.cursor_transaction = true;
        opened_now = true;
    } else if (!begin_if_needed(s)) {
        return -1;
    }

    ResultList results;
    s.kept_outputs.clear();
    s.call_row.reset();
    bool ok = ret ? call_function(s, name, markers, results)
                  : call_procedure(s, name, markers, results);
    std::vector<std::string> cursors;
    ResultPtr *main = ok ? main_result(results) : nullptr;
    if (ok) {
        const PGresult *r = main ? main->get() : nullptr;
        if (ret) {
            ok = write_return_value(s, markers + 1, *ret, r);
            // A function reports no OUT values through its result: its pure outputs read NULL,
            // except a RefCursor output that receives the cursor the function returned.
            for (int i = 0; i < markers; ++i)
                if (s.params[i].bound && s.params[i].direction == PARAM_OUTPUT &&
                    s.params[i].out_length)
                    *s.params[i].out_length = 0;
            ok = ok && write_function_cursors(s, markers, r, cursors);
        } else {
            ok = write_outputs(s, markers, r, cursors);
        }
    }
    if (!ok) {
        drop_cursor_transaction(s, opened_now);
        return -1;
    }
    if (main)
        s.call_row = std::move(*main);
    if (s.cursor_transaction) {
        for (std::string &c : cursors)
            if (std::find(s.held_cursors.begin(), s.held_cursors.end(), c) == s.held_cursors.end())
                s.held_cursors.push_back(std::move(c));
        // Nothing to keep the transaction open for.
        if (s.held_cursors.empty() && !end_transaction(s, true))
            return -1;
    }
    return 0;
}

}  // namespace

}  // namespace zt

using namespace zt;

// Runs "execute NAME" / "execute NAME(?,...,?);" with the session's bindings: a procedure, or a
// function when a return-value binding follows the last marker. R is unused.
ZTC_API int ZTC_Execute_procesure(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE R)
{
    (void)R;
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int { return execute_procedure(*s, sql); });
}

// Hands out the row the last call took its output values from, once.
ZTC_API int ZTC_GetOutputRowset(ZTC_HANDLE *S, ZTC_HANDLE *R)
{
    return with_result_handle(S, R, [&](Session &s) -> int {
        if (!s.call_row) {
            set_error(s, "HY000", "no output row is kept: no procedure or function call "
                                  "ran since it was handed out");
            return -1;
        }
        ResultList results;
        results.push_back(std::move(s.call_row));
        replace_result(R, new_result(s, std::move(results)));
        return 0;
    });
}

// Copies the whole value of an output that the last call cut to its buffer.
ZTC_API int ZTC_GetOutputData(ZTC_HANDLE *S, int pos, void *buffer, int capacity, int *length)
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        for (const auto &kept : s->kept_outputs) {
            if (kept.first != pos)
                continue;
            if (buffer && capacity > 0) {
                size_t n = std::min(kept.second.size(), static_cast<size_t>(capacity));
                std::memcpy(buffer, kept.second.data(), n);
                if (n < static_cast<size_t>(capacity))
                    static_cast<char *>(buffer)[n] = '\0';
            }
            if (length)
                *length = static_cast<int>(kept.second.size());
            return 0;
        }
        set_error(*s, "HY000", "no cut output value is kept for parameter " + std::to_string(pos));
        return -1;
    });
}
