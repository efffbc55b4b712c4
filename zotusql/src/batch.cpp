// Array bindings and batches: ZTC_BindParamArrayByPos copies a column of values into the
// session; ZTC_ExecBatch runs a statement once per row of those columns, either as one COPY
// (plain INSERT ... VALUES of markers only, into a target where COPY stores what the INSERTs
// would; binary when every target column's type is one the library writes, text otherwise) or
// prepared once and executed per row in libpq's pipeline mode. Either way the batch costs one
// round trip for its rows and is atomic.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "batchcolumn.h"
#include "copybinary.h"
#include "decode.h"
#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

// Kind of a type code; false for a code that cannot be bound as an array.
bool kind_of(int type, Kind &kind)
{
    switch (type) {
    case ZTC_TYPE_NULL: kind = Kind::Null; return true;
    case ZTC_TYPE_BOOLEAN: kind = Kind::Bool; return true;
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT: kind = Kind::Int; return true;
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_DOUBLE: kind = Kind::Float; return true;
    case ZTC_TYPE_VARCHAR:
    case ZTC_TYPE_NUMERIC:
    case ZTC_TYPE_DATE:
    case ZTC_TYPE_TIME:
    case ZTC_TYPE_TIME2:
    case ZTC_TYPE_DATETIME:
    case ZTC_TYPE_DATETIME2:
    case ZTC_TYPE_DATETIME_MS:
    case ZTC_TYPE_DATETIME_TEXT:
    case ZTC_TYPE_CLOB:
    case ZTC_TYPE_CLOB2:
    case ZTC_TYPE_REFCURSOR:
    case ZTC_TYPE_CHAR:
    case ZTC_TYPE_CHAR2: kind = Kind::Text; return true;
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2:
    case ZTC_TYPE_BLOB: kind = Kind::Binary; return true;
    case ZTC_TYPE_DATETIME_US: kind = Kind::Micros; return true;
    default: return false;
    }
}

// Checks the element size of a fixed-size column.
bool valid_element_size(Kind kind, int size)
{
    switch (kind) {
    case Kind::Bool: return size >= 1;
    case Kind::Int: return size == 1 || size == 2 || size == 4 || size == 8;
    case Kind::Float: return size == 4 || size == 8;
    case Kind::Micros: return size == 8;
    default: return true;
    }
}

// Walks the packed layout of n rows in data[0..size): every row a 4-byte length in machine order
// (-1 for NULL, no bytes) then that many bytes. Returns the bytes used, or -1 when malformed.
int64_t packed_extent(const char *data, int64_t size, int n)
{
    int64_t at = 0;
    for (int i = 0; i < n; ++i) {
        if (size - at < 4)
            return -1;
        int32_t len;
        std::memcpy(&len, data + at, 4);
        at += 4;
        if (len == -1)
            continue;
        if (len < 0 || len > size - at)
            return -1;
        at += len;
    }
    return at;
}

// Appends the shortest text that reads back as the same value (float columns keep their width).
void append_float_field(std::string &out, const char *p, int size)
{
    append_float(out, read_float(p, size), size == 4);
}

const char kHex[] = "0123456789abcdef";

// Appends a text to a COPY row with COPY's text-format escapes.
void append_copy_text(std::string &out, const char *p, size_t n)
{
    const char *end = p + n, *run = p;
    for (; p < end; ++p) {
        char esc;
        switch (*p) {
        case '\\': esc = '\\'; break;
        case '\t': esc = 't'; break;
        case '\n': esc = 'n'; break;
        case '\r': esc = 'r'; break;
        default: continue;
        }
        out.append(run, p);
        out += '\\';
        out += esc;
        run = p + 1;
    }
    out.append(run, end);
}

// Appends one COPY text-format value.
void append_copy_value(std::string &out, Column &c, const Value &v)
{
    if (v.null) {
        out += "\\N";
        return;
    }
    switch (c.kind) {
    case Kind::Bool:
        out += bool_value(v.data) ? 't' : 'f';
        return;
    case Kind::Int:
        append_int(out, read_int(v.data, v.len));
        return;
    case Kind::Float:
        append_float_field(out, v.data, v.len);
        return;
    case Kind::Binary:
        // bytea's hex input form; the backslash itself is escaped for COPY.
        out += "\\\\x";
        for (int i = 0; i < v.len; ++i) {
            unsigned char ch = static_cast<unsigned char>(v.data[i]);
            out += kHex[ch >> 4];
            out += kHex[ch & 15];
        }
        return;
    case Kind::Text:
        append_copy_text(out, v.data, static_cast<size_t>(v.len));
        return;
    case Kind::Micros: {
        char buf[kMicrosTextMax];
        out.append(buf, static_cast<size_t>(format_micros_text(read_int(v.data, 8), buf)));
        return;
    }
    case Kind::Null:
        break;
    }
    out += "\\N";
}

// Appends one row in COPY's text or binary format.
void append_copy_row(std::string &buf, std::vector<Column> &cols, int r, bool binary)
{
    if (binary) {
        append_binary_row(buf, cols, r);
        return;
    }
    for (size_t c = 0; c < cols.size(); ++c) {
        if (c)
            buf += '\t';
        append_copy_value(buf, cols[c], next_value(cols[c], r));
    }
    buf += '\n';
}

// Asks the driver's wait handler, at most once a tick (the first time at once), whether the
// caller wants the batch stopped (Ctrl-C). A batch streaming its rows rarely waits on the
// socket, where the handler is otherwise asked, so the streaming loops ask it themselves: a
// batch stopped before its last row is sent is rolled back by the server, nothing stored.
class InterruptCheck {
public:
    explicit InterruptCheck(const Session &s) : s_(s) {}

    bool operator()()
    {
        if (!s_.wait_handler)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_)
            return false;
        next_ = now + std::chrono::milliseconds(s_.tick_ms > 0 ? s_.tick_ms : 100);
        return s_.wait_handler(s_.wait_context) != 0;
    }

private:
    const Session &s_;
    std::chrono::steady_clock::time_point next_{};
};

// The message of a batch stopped by its caller before the server had all of it.
constexpr const char *kInterrupted = "the batch was interrupted; none of its rows were stored";

// The row number a COPY failure names in its context ("COPY t, line 5, column b: ..."); 0 when
// none.
long copy_error_line(const PGresult *r)
{
    const char *ctx = r ? PQresultErrorField(r, PG_DIAG_CONTEXT) : nullptr;
    if (!ctx || std::strncmp(ctx, "COPY ", 5) != 0)
        return 0;
    const char *line = std::strstr(ctx, ", line ");
    if (!line)
        return 0;
    return std::strtol(line + 7, nullptr, 10);
}

// "row N: " before a message, when the row is known.
void record_row_error(Session &s, long row, const std::string &msg)
{
    *s.error = row > 0 ? "row " + std::to_string(row) + ": " + msg : msg;
}

// Outcome of the COPY path.
enum class CopyOutcome { Done, Failed, Refused };

// The count a command's tag reports ("INSERT 0 5", "COPY 5"); 0 when it has none.
int64_t reported_count(const PGresult *r)
{
    return std::strtoll(PQcmdTuples(const_cast<PGresult *>(r)), nullptr, 10);
}

// Streams the rows as COPY text, or binary when every column was planned for it, and sets
// `copied` to the rows the server reports inserted (a trigger may skip some). Refused: the
// server would not COPY into the target (a view) and nothing happened, so the pipeline path
// may run instead.
CopyOutcome run_copy(Session &s, const std::string &target, const std::string &columns,
                     std::vector<Column> &cols, int rows, bool may_refuse, bool binary,
                     int64_t &copied)
{
    copied = 0;
    std::string sql = "COPY " + target + (columns.empty() ? "" : " " + columns) + " FROM STDIN" +
                      (binary ? " (FORMAT binary)" : "");
    ResultPtr start(exec_wait(s, sql.c_str()));
    ExecStatusType st = start ? PQresultStatus(start.get()) : PGRES_FATAL_ERROR;
    if (st != PGRES_COPY_IN) {
        const char *state = start ? PQresultErrorField(start.get(), PG_DIAG_SQLSTATE) : nullptr;
        if (may_refuse && state &&
            (std::strcmp(state, "42809") == 0 || std::strcmp(state, "0A000") == 0))
            return CopyOutcome::Refused;
        set_error_from_result(s, start.get());
        return CopyOutcome::Failed;
    }
    start.reset();

    constexpr size_t kChunk = 1 << 16;
    std::string buf;
    buf.reserve(kChunk + 4096);
    if (binary)
        buf.append(kBinaryCopyHeader, sizeof kBinaryCopyHeader);
    bool sending = true, interrupted = false;
    InterruptCheck interrupt(s);
    for (int r = 0; r < rows && sending; ++r) {
        append_copy_row(buf, cols, r, binary);
        if (buf.size() >= kChunk) {
            if (interrupt()) {
                interrupted = true;
                break;
            }
            // -1: the server ended the COPY (a failed row) or the connection broke; the
            // result read below says which.
            if (put_copy_data(s, buf.data(), static_cast<int>(buf.size())) != 1)
                sending = false;
            buf.clear();
        }
    }
    if (interrupted) {
        // The server fails the COPY it is told has failed, and rolls its rows back.
        put_copy_end(s, kInterrupted);
    } else {
        if (binary)
            append_be(buf, 0xffff, 2);  // the trailer: a field count of -1
        if (sending && !buf.empty())
            put_copy_data(s, buf.data(), static_cast<int>(buf.size()));
        put_copy_end(s, nullptr);
    }

    ResultPtr failed;
    bool any = false;
    while (PGresult *raw = next_result(s)) {
        ResultPtr res(raw);
        any = true;
        ExecStatusType rs = PQresultStatus(raw);
        if (rs == PGRES_COPY_IN) {
            // The server still waits for rows we could not send: end the COPY.
            put_copy_end(s, "batch ended by the client");
            continue;
        }
        if ((rs == PGRES_FATAL_ERROR || rs == PGRES_BAD_RESPONSE) && !failed)
            failed = std::move(res);
        else if (rs == PGRES_COMMAND_OK)
            copied = reported_count(raw);
    }
    // The server checks the target only once the COPY has begun: a refusal that names no row
    // (a view) left nothing behind, so the rows may go the other way.
    if (failed && may_refuse && copy_error_line(failed.get()) == 0) {
        const char *state = PQresultErrorField(failed.get(), PG_DIAG_SQLSTATE);
        if (state && (std::strcmp(state, "42809") == 0 || std::strcmp(state, "0A000") == 0))
            return CopyOutcome::Refused;
    }
    if (interrupted && failed) {
        set_error(s, "57014", kInterrupted);
        return CopyOutcome::Failed;
    }
    if (failed || !any) {
        record_row_error(s, copy_error_line(failed.get()),
                         format_result_error(failed.get(), s.conn));
        return CopyOutcome::Failed;
    }
    return CopyOutcome::Done;
}

// Chooses each column's parameter type for the pipeline path. Integer columns take the smallest
// integer type that holds every value (whatever their element size); code 5 stays a decimal text of unknown type, so
// that it fills boolean columns too.
void choose_param_types(std::vector<Column> &cols, int rows)
{
    for (Column &c : cols) {
        const ArrayBinding &b = *c.b;
        switch (c.kind) {
        case Kind::Null: c.oid = 0; c.format = 0; break;
        // Sent as the text a datetime column of texts carries, typed by the server alike.
        case Kind::Micros: c.oid = 0; c.format = 0; break;
        case Kind::Bool: c.oid = OID_BOOL; c.format = 1; break;
        case Kind::Float:
            c.oid = b.size == 4 ? OID_FLOAT4 : OID_FLOAT8;
            c.format = 1;
            break;
        case Kind::Binary: c.oid = OID_BYTEA; c.format = 1; break;
        case Kind::Int:
            if (b.type == ZTC_TYPE_INTEGER) {
                c.oid = 0;
                c.format = 0;
                break;
            }
            c.format = 1;
            {
                int64_t lo = 0, hi = 0;
                for (int r = 0; r < rows; ++r) {
                    int64_t v = read_int(b.data + static_cast<size_t>(r) * b.size, b.size);
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
                if (lo >= INT16_MIN && hi <= INT16_MAX) {
                    c.oid = OID_INT2;
                    c.int_bytes = 2;
                } else if (lo >= INT32_MIN && hi <= INT32_MAX) {
                    c.oid = OID_INT4;
                    c.int_bytes = 4;
                } else {
                    c.oid = OID_INT8;
                    c.int_bytes = 8;
                }
            }
            break;
        case Kind::Text:
            c.format = 0;
            switch (b.type) {
            case ZTC_TYPE_NUMERIC: c.oid = OID_NUMERIC; break;
            case ZTC_TYPE_DATE: c.oid = OID_DATE; break;
            case ZTC_TYPE_TIME:
            case ZTC_TYPE_TIME2: c.oid = OID_TIME; break;
            case ZTC_TYPE_DATETIME:
            case ZTC_TYPE_DATETIME2:
            case ZTC_TYPE_DATETIME_MS: c.oid = OID_TIMESTAMP; break;
            default: c.oid = 0;
            }
            if (b.server_oid != 0)
                c.oid = b.server_oid;
            break;
        }
    }
}

// Encodes one pipeline parameter into scratch (text values zero-terminated): offset receives its
// offset in scratch (-1 for NULL), len its byte length.
void encode_param(std::string &scratch, Column &c, const Value &v, long &offset,
                  int &len)
{
    offset = -1;
    len = 0;
    if (v.null)
        return;
    size_t start = scratch.size();
    switch (c.kind) {
    case Kind::Null:
        return;
    case Kind::Bool:
        scratch += bool_value(v.data) ? '\1' : '\0';
        break;
    case Kind::Int: {
        int64_t i = read_int(v.data, v.len);
        if (c.format == 0) {
            append_int(scratch, i);
            scratch += '\0';
            len = static_cast<int>(scratch.size() - start) - 1;
            offset = static_cast<long>(start);
            return;
        }
        append_be(scratch, static_cast<uint64_t>(i), c.int_bytes);
        break;
    }
    case Kind::Float:
        if (v.len == 4) {
            uint32_t u;
            std::memcpy(&u, v.data, 4);
            append_be(scratch, u, 4);
        } else {
            uint64_t u;
            std::memcpy(&u, v.data, 8);
            append_be(scratch, u, 8);
        }
        break;
    case Kind::Binary:
        scratch.append(v.data, static_cast<size_t>(v.len));
        break;
    case Kind::Text:
        scratch.append(v.data, static_cast<size_t>(v.len));
        scratch += '\0';
        len = v.len;
        offset = static_cast<long>(start);
        return;
    case Kind::Micros: {
        char buf[kMicrosTextMax];
        len = format_micros_text(read_int(v.data, 8), buf);
        scratch.append(buf, static_cast<size_t>(len));
        scratch += '\0';
        offset = static_cast<long>(start);
        return;
    }
    }
    len = static_cast<int>(scratch.size() - start);
    offset = static_cast<long>(start);
}

// Runs the prepared-per-row path: one unnamed statement, then one execution per row, all in one
// pipeline closed by a single Sync, so that the rows form one transaction (the caller's, or the
// implicit one the server opens for a pipeline outside a transaction block).
class Pipeline {
public:
    explicit Pipeline(Session &s) : s_(s), interrupt_(s) {}

    bool run(const std::string &sql, std::vector<Column> &cols, int rows);
    // The sum of the counts the rows' statements reported.
    int64_t affected() const { return affected_; }

private:
    bool drain();
    bool pump(bool until_flushed);
    bool wait(bool for_write);
    bool finish();
    void cancel_if_interrupted();

    Session &s_;
    InterruptCheck interrupt_;
    bool cancel_sent_ = false;
    size_t sent_ = 0;        // queries sent (the prepare counts as query 0)
    size_t done_ = 0;        // queries whose results are complete
    bool sync_sent_ = false, sync_seen_ = false;
    int64_t affected_ = 0;
    ResultPtr failed_;       // the first failed result
    size_t failed_index_ = 0;
    std::string broken_;     // a connection failure
};

// Reads every result that is available without blocking.
bool Pipeline::drain()
{
    if (!PQconsumeInput(s_.conn)) {
        broken_ = format_result_error(nullptr, s_.conn);
        return false;
    }
    for (;;) {
        if (sync_sent_)
            cancel_if_interrupted();
        if (done_ == sent_ && (!sync_sent_ || sync_seen_))
            return true;
        if (PQisBusy(s_.conn))
            return true;
        PGresult *raw = PQgetResult(s_.conn);
        if (!raw) {
            ++done_;
            continue;
        }
        ResultPtr r(raw);
        switch (PQresultStatus(raw)) {
        case PGRES_PIPELINE_SYNC:
            sync_seen_ = true;
            break;
        case PGRES_FATAL_ERROR:
        case PGRES_BAD_RESPONSE:
            if (!failed_) {
                failed_ = std::move(r);
                failed_index_ = done_;
            }
            break;
        case PGRES_COMMAND_OK:
        case PGRES_TUPLES_OK:
            affected_ += reported_count(raw);
            break;
        default:
            break;
        }
    }
}

// Waits until the socket is readable (or writable, when for_write).
bool Pipeline::wait(bool for_write)
{
    if (PQsocket(s_.conn) < 0) {
        broken_ = format_result_error(nullptr, s_.conn);
        return false;
    }
    if (!wait_socket(s_, static_cast<short>(POLLIN | (for_write ? POLLOUT : 0)))) {
        broken_ = s_.broken_reason;
        return false;
    }
    return true;
}

// Sends what libpq has buffered, reading results meanwhile so that neither side blocks on a full
// socket. With until_flushed false it returns as soon as a write would block after one attempt.
bool Pipeline::pump(bool until_flushed)
{
    for (;;) {
        int f = PQflush(s_.conn);
        if (f < 0) {
            broken_ = format_result_error(nullptr, s_.conn);
            return false;
        }
        if (f == 0 || !until_flushed)
            return drain();
        if (!wait(true) || !drain())
            return false;
    }
}

// Once every row is sent, the server may still run many of them while their results stream
// back (so the socket never waits long enough for the wait handler to be asked): an interrupt
// then cancels the statement running, which fails the pipeline and rolls its rows back. One
// that comes after the last row ran finds nothing to cancel; the batch then completed.
void Pipeline::cancel_if_interrupted()
{
    if (cancel_sent_ || !s_.cancel || !interrupt_())
        return;
    char message[256];
    cancel_sent_ = PQcancel(s_.cancel, message, sizeof message) == 1;
}

bool Pipeline::finish()
{
    if (!PQpipelineSync(s_.conn)) {
        broken_ = format_result_error(nullptr, s_.conn);
        return false;
    }
    sync_sent_ = true;
    while (!sync_seen_) {
        cancel_if_interrupted();
        if (!pump(true))
            return false;
        if (sync_seen_)
            break;
        if (!wait(false) || !drain())
            return false;
    }
    return true;
}

bool Pipeline::run(const std::string &sql, std::vector<Column> &cols, int rows)
{
    const int n = static_cast<int>(cols.size());
    std::vector<Oid> types(n);
    std::vector<int> formats(n), lengths(n);
    std::vector<const char *> values(n);
    std::vector<long> offsets(n);
    for (int c = 0; c < n; ++c) {
        types[c] = cols[c].oid;
        formats[c] = cols[c].format;
    }

    if (!PQenterPipelineMode(s_.conn)) {
        set_error_from_conn(s_, "HY000");
        return false;
    }
    bool ok = PQsendPrepare(s_.conn, "", sql.c_str(), n, n ? types.data() : nullptr) == 1;
    if (ok)
        ++sent_;
    std::string scratch;
    for (int r = 0; ok && r < rows && !failed_; ++r) {
        scratch.clear();
        for (int c = 0; c < n; ++c)
            encode_param(scratch, cols[c], next_value(cols[c], r), offsets[c], lengths[c]);
        for (int c = 0; c < n; ++c)
            values[c] = offsets[c] < 0 ? nullptr : scratch.data() + offsets[c];
        if (PQsendQueryPrepared(s_.conn, "", n, n ? values.data() : nullptr,
                                n ? lengths.data() : nullptr, n ? formats.data() : nullptr,
                                0) != 1) {
            broken_ = format_result_error(nullptr, s_.conn);
            ok = false;
            break;
        }
        ++sent_;
        // Keep the output moving and notice a failed row early (the rest are not sent).
        if ((r & 63) == 63 && !pump(false))
            ok = false;
        if (ok && (r & 63) == 63 && interrupt_()) {
            set_error(broken_, "57014", kInterrupted);
            ok = false;
        }
    }
    if (!ok && broken_.empty())
        broken_ = format_result_error(nullptr, s_.conn);
    bool connected = PQstatus(s_.conn) == CONNECTION_OK;
    // Rows already sent must not commit when the client gave up half way: a statement that
    // fails makes the server roll back the pipeline's transaction.
    if (!ok && connected &&
        PQsendQueryParams(s_.conn, "DO $$BEGIN RAISE EXCEPTION 'batch abandoned'; END$$", 0,
                          nullptr, nullptr, nullptr, nullptr, 0) == 1)
        ++sent_;
    bool finished = connected && finish();
    PQexitPipelineMode(s_.conn);
    check_connection(s_, nullptr);
    if (!finished || !broken_.empty()) {
        *s_.error = broken_.empty() ? format_result_error(nullptr, s_.conn) : broken_;
        return false;
    }
    if (failed_) {
        record_row_error(s_, static_cast<long>(failed_index_),
                         format_result_error(failed_.get(), s_.conn));
        return false;
    }
    return true;
}

// Checks that the array bindings cover positions 1..markers exactly and that every column holds
// at least `rows` values, all columns alike.
bool check_columns(Session &s, int markers, int rows)
{
    std::vector<char> bound_at(s.arrays.size(), 0);
    for (size_t i = 0; i < s.arrays.size(); ++i)
        bound_at[i] = s.arrays[i].bound;
    if (!check_positions(s, markers, bound_at))
        return false;
    for (int pos = 1; pos <= markers; ++pos) {
        const ArrayBinding &b = s.arrays[pos - 1];
        const ArrayBinding &first = s.arrays[0];
        if (b.n != first.n) {
            set_error(s, "07001",
                      "the columns of the batch hold different numbers of values (parameter 1 "
                      "has " + std::to_string(first.n) + ", parameter " + std::to_string(pos) +
                          " has " + std::to_string(b.n) + ")");
            return false;
        }
        if (b.n < rows) {
            set_error(s, "07001",
                      "the batch has " + std::to_string(rows) + " rows but its columns hold " +
                          std::to_string(b.n) + " values");
            return false;
        }
    }
    return true;
}

// Refuses a text value with a zero byte before anything is sent: the server cannot store one,
// and libpq would cut a text parameter at it silently.
bool check_texts(Session &s, std::vector<Column> &cols, int rows)
{
    for (size_t c = 0; c < cols.size(); ++c) {
        if (cols[c].kind != Kind::Text)
            continue;
        Column scan = cols[c];
        for (int r = 0; r < rows; ++r) {
            Value v = next_value(scan, r);
            if (!v.null && std::memchr(v.data, '\0', static_cast<size_t>(v.len))) {
                set_error(s, "22021",
                          "row " + std::to_string(r + 1) + ": the text of parameter " +
                              std::to_string(c + 1) + " contains a zero byte");
                return false;
            }
        }
    }
    return true;
}

// The columns of a batch, in position order.
std::vector<Column> batch_columns(const Session &s, int markers)
{
    std::vector<Column> cols(static_cast<size_t>(markers));
    for (int i = 0; i < markers; ++i) {
        cols[i].b = &s.arrays[i];
        kind_of(s.arrays[i].type, cols[i].kind);
    }
    return cols;
}

// The COPY target of a plain INSERT text: kept from earlier in the same transaction (see
// Session::copy_targets), or asked now. Null when the catalog query failed (message recorded,
// the message from before restored when no transaction is open).
const CopyTarget *copy_target(Session &s, const char *sql, const std::string &target,
                              const std::string &columns, int markers)
{
    auto found = s.copy_targets.find(sql);
    if (found != s.copy_targets.end() && found->second.epoch == s.cache.epoch)
        return &found->second;
    std::string last = *s.error;
    CopyTarget t;
    if (!describe_copy_target(s, target, columns, markers, t)) {
        if (!in_transaction(s))
            *s.error = std::move(last);
        return nullptr;
    }
    t.epoch = s.cache.epoch;
    if (s.copy_targets.size() >= Session::copy_target_capacity)
        s.copy_targets.clear();
    CopyTarget &kept = s.copy_targets[sql];
    kept = std::move(t);
    return &kept;
}

// The count a batch returns, within the interface's int.
int count_result(int64_t n)
{
    return n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
}

}  // namespace

}  // namespace zt

using namespace zt;

namespace {

// Binds one column of n values for position pos, copied (copy) or read in the caller's buffer at
// ZTC_ExecBatch. Fixed-size codes read n elements of `size` bytes; text and binary codes the
// packed layout of `size` bytes. The lengths array is kept and read by ZTC_ExecBatch.
int bind_array(ZTC_HANDLE *S, int pos, int columns, int direction, int type, int n, void *values,
               int size, int *lengths, bool copy)
{
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        Kind kind;
        if (pos < 1 || pos > 65535) {
            set_error(*s, "22023", "parameter position " + std::to_string(pos) + " is out of range");
            return -1;
        }
        if (direction != PARAM_INPUT) {
            set_error(*s, "22023", "array parameters are input only (parameter " +
                                       std::to_string(pos) + ")");
            return -1;
        }
        if (!kind_of(type, kind)) {
            set_error(*s, "22023", "unsupported parameter type code " + std::to_string(type));
            return -1;
        }
        if (n < 0 || size < 0 || (n > 0 && kind != Kind::Null && !values)) {
            set_error(*s, "22023", "bad array of values for parameter " + std::to_string(pos));
            return -1;
        }
        ArrayBinding b;
        b.bound = true;
        b.columns = columns;
        b.direction = direction;
        b.type = type;
        b.n = n;
        b.size = size;
        b.lengths = lengths;
        const char *data = static_cast<const char *>(values);
        size_t used = 0;
        if (is_packed(kind)) {
            int64_t extent = packed_extent(data, size, n);
            if (extent < 0) {
                set_error(*s, "22023", "the packed values of parameter " + std::to_string(pos) +
                                           " do not fit their size of " + std::to_string(size) +
                                           " bytes");
                return -1;
            }
            used = static_cast<size_t>(extent);
        } else if (kind != Kind::Null) {
            if (!valid_element_size(kind, size)) {
                set_error(*s, "22023", "element size " + std::to_string(size) +
                                           " does not suit type code " + std::to_string(type));
                return -1;
            }
            used = static_cast<size_t>(n) * static_cast<size_t>(size);
        }
        if (copy) {
            b.values.assign(data, data + used);
            b.data = b.values.data();
        } else {
            b.data = data;
        }
        if (s->arrays.size() < static_cast<size_t>(pos))
            s->arrays.resize(static_cast<size_t>(pos));
        s->arrays[pos - 1] = std::move(b);
        return 0;
    });
}

}  // namespace

// Copies one column of n values for position pos (see bind_array).
ZTC_API int ZTC_BindParamArrayByPos(ZTC_HANDLE *S, int pos, int columns, int direction, int type,
                                    int n, void *values, int size, int *lengths)
{
    return bind_array(S, pos, columns, direction, type, n, values, size, lengths, true);
}

// Binds one column of n values for position pos without a copy: the values are read at
// ZTC_ExecBatch, as the lengths are.
ZTC_API int ZTC_BindParamArrayInPlace(ZTC_HANDLE *S, int pos, int columns, int direction,
                                      int type, int n, void *values, int size, int *lengths)
{
    return bind_array(S, pos, columns, direction, type, n, values, size, lengths, false);
}

// Runs the statement once per row of the array bindings, atomically. Returns the number of rows
// the server reports affected: inserted by COPY, or the sum of the rows' statement counts.
ZTC_API int ZTC_ExecBatch(ZTC_HANDLE *S, const char *sql, int rows)
{
    return with_statement(S, sql, [&](Session &s) -> int {
        if (rows < 0) {
            set_error(s, "22023", "a batch cannot have " + std::to_string(rows) + " rows");
            return -1;
        }
        std::string target, columns, text;
        int insert_markers = 0;
        bool plain = plain_insert_target(sql, target, columns, insert_markers);
        int markers = rewrite_markers(sql, text);
        if (!check_columns(s, markers, rows))
            return -1;
        if (rows == 0)
            return 0;
        std::vector<Column> cols = batch_columns(s, markers);
        if (!check_texts(s, cols, rows) || !begin_if_needed(s))
            return -1;
        if (plain && insert_markers == markers) {
            const bool inside = in_transaction(s);
            const CopyTarget *t = copy_target(s, sql, target, columns, markers);
            // Inside a transaction the failed catalog query has aborted it: report that.
            // Outside, nothing is lost and the statement path reports the target's fault.
            if (!t && inside)
                return -1;
            if (t && t->copy) {
                bool binary = plan_binary(s, cols, t->types, rows);
                int64_t copied = 0;
                switch (run_copy(s, target, t->columns, cols, rows, !inside, binary, copied)) {
                case CopyOutcome::Done: return count_result(copied);
                case CopyOutcome::Failed: return -1;
                case CopyOutcome::Refused: break;
                }
                cols = batch_columns(s, markers);
            }
        }
        choose_param_types(cols, rows);
        Pipeline p(s);
        return p.run(text, cols, rows) ? count_result(p.affected()) : -1;
    });
}
