// Array bindings and batches: ZTC_BindParamArrayByPos copies a column of values into the
// session; ZTC_ExecBatch runs a statement once per row of those columns, either as one COPY
// (plain INSERT ... VALUES of markers only) or prepared once and executed per row in libpq's
// pipeline mode. Either way the batch costs one round trip for its rows and is atomic.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "copybinary.h"
#include "decode.h"
#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

// How a column's values are read and sent.
enum class Kind {
    Null,    // code 0: every row NULL
    Bool,    // code 1: low byte 0 / 1 or 'F' / 'T'
    Int,     // codes 3, 4, 5, 6: signed integers of the element size
    Float,   // codes 7, 8: float or double of the element size
    Text,    // text codes: packed layout
    Binary,  // codes 15, 18, 42: packed layout, sent as bytea
};

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
    case ZTC_TYPE_CLOB:
    case ZTC_TYPE_CLOB2:
    case ZTC_TYPE_REFCURSOR:
    case ZTC_TYPE_CHAR:
    case ZTC_TYPE_CHAR2: kind = Kind::Text; return true;
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2:
    case ZTC_TYPE_BLOB: kind = Kind::Binary; return true;
    default: return false;
    }
}

bool is_packed(Kind k) { return k == Kind::Text || k == Kind::Binary; }

// Codes whose text is a date or a timestamp that may carry a blank-padded year.
bool is_datetime_code(int type)
{
    return type == ZTC_TYPE_DATE || type == ZTC_TYPE_DATETIME || type == ZTC_TYPE_DATETIME2 ||
           type == ZTC_TYPE_DATETIME_MS;
}

// Checks the element size of a fixed-size column.
bool valid_element_size(Kind kind, int size)
{
    switch (kind) {
    case Kind::Bool: return size >= 1;
    case Kind::Int: return size == 1 || size == 2 || size == 4 || size == 8;
    case Kind::Float: return size == 4 || size == 8;
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

// Reads a signed integer of `size` bytes (1, 2, 4 or 8) in machine order.
int64_t read_int(const char *p, int size)
{
    switch (size) {
    case 1: return static_cast<int8_t>(*p);
    case 2: { int16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { int32_t v; std::memcpy(&v, p, 4); return v; }
    default: { int64_t v; std::memcpy(&v, p, 8); return v; }
    }
}

double read_float(const char *p, int size)
{
    if (size == 4) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

// How a column's values are written in a binary COPY: the target column's binary form.
enum class Wire {
    Null,         // every row NULL: fits any column type
    Bool,         // from booleans, or from integers that are all 0 or 1
    Int2, Int4, Int8,
    Float4, Float8,
    Text,         // text, varchar, bpchar: the bytes the text format would carry
    Bytea,
    Date,         // from texts, parsed beforehand into `parsed`
    Timestamp,    // from texts, parsed beforehand into `parsed`
    Converted4,   // a 4-byte value computed beforehand into `parsed` (float4 from a double)
    Converted8,   // an 8-byte value computed beforehand into `parsed` (float8 from a float)
};

// One column of a batch while it runs: the binding, and the read position in its packed values.
struct Column {
    const ArrayBinding *b = nullptr;
    Kind kind = Kind::Null;
    size_t at = 0;          // packed layout: offset of the next row's length
    Oid oid = 0;            // pipeline path: the parameter's type
    int format = 0;         // pipeline path: 0 text, 1 binary
    int int_bytes = 8;      // pipeline path, integer columns: 2, 4 or 8 bytes sent
    Wire wire = Wire::Null;         // binary COPY: how the values are written
    std::vector<int64_t> parsed;    // binary COPY: per row, values read from text beforehand
};

// One value of a row: NULL, or the bytes of a packed value / the fixed-size element.
struct Value {
    bool null = true;
    const char *data = nullptr;
    int len = 0;
};

// Reads row r of the column (rows are read in order: the packed position advances).
Value next_value(Column &c, int r)
{
    Value v;
    const ArrayBinding &b = *c.b;
    const int *lengths = b.lengths;
    bool null = lengths && lengths[r] == -1;
    if (is_packed(c.kind)) {
        int32_t len;
        std::memcpy(&len, b.values.data() + c.at, 4);
        c.at += 4;
        if (len >= 0) {
            v.data = b.values.data() + c.at;
            v.len = len;
            c.at += static_cast<size_t>(len);
        } else {
            null = true;
        }
    } else if (c.kind != Kind::Null) {
        // A length of 0 in a fixed-size column is the caller's NULL (an integer column's None).
        null = null || (lengths && lengths[r] == 0);
        v.data = b.values.data() + static_cast<size_t>(r) * static_cast<size_t>(b.size);
        v.len = b.size;
    } else {
        null = true;
    }
    v.null = null;
    return v;
}

bool bool_value(const char *p) { return !(*p == 0 || *p == 'F' || *p == 'f'); }

// Appends the shortest text that reads back as the same value (float columns keep their width).
void append_float(std::string &out, const char *p, int size)
{
    double d = read_float(p, size);
    if (std::isnan(d)) {
        out += "NaN";
        return;
    }
    if (std::isinf(d)) {
        out += d < 0 ? "-Infinity" : "Infinity";
        return;
    }
    char buf[64];
    std::to_chars_result r;
    if (size == 4) {
        float f;
        std::memcpy(&f, p, 4);
        r = std::to_chars(buf, buf + sizeof buf, f);
    } else {
        r = std::to_chars(buf, buf + sizeof buf, d);
    }
    out.append(buf, r.ptr);
}

void append_int(std::string &out, int64_t v)
{
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

const char kHex[] = "0123456789abcdef";

// The text a text value is sent as: a date or timestamp with a blank-padded or short year gets
// four digits (the server would read "   5-03-07" as 2007-05-03). The caller's date codes always
// are; a VARCHAR text only when it starts with a blank, the shape dates are packed in.
const char *normalised_text(int type, const Value &v, std::string &scratch, int &len)
{
    len = v.len;
    bool candidate = is_datetime_code(type) ||
                     (type == ZTC_TYPE_VARCHAR && v.len >= 10 && v.data[0] == ' ');
    if (candidate && normalise_datetime_text(v.data, static_cast<size_t>(v.len), scratch)) {
        len = static_cast<int>(scratch.size());
        return scratch.data();
    }
    return v.data;
}

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
void append_copy_value(std::string &out, Column &c, const Value &v, std::string &scratch)
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
        append_float(out, v.data, v.len);
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
    case Kind::Text: {
        int len;
        const char *text = normalised_text(c.b->type, v, scratch, len);
        append_copy_text(out, text, static_cast<size_t>(len));
        return;
    }
    case Kind::Null:
        break;
    }
    out += "\\N";
}

// Appends a big-endian integer of `bytes` bytes (the binary form of int2, int4, int8).
void append_be(std::string &out, uint64_t v, int bytes)
{
    char buf[8];
    for (int i = 0; i < bytes; ++i)
        buf[i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xff);
    out.append(buf, static_cast<size_t>(bytes));
}

// ---- binary COPY ----
//
// A batch goes in binary when every column's binary form is known to carry exactly what the
// text format would: each column is planned against its target type, and any type or value the
// library does not write (numeric, json, an integer too big for its column, a date text of an
// unusual shape, ...) sends the whole batch as text instead, so the server reads it and reports
// what it refuses as it always did.

// Integer range of a target column type; false for other types.
bool int_wire(Oid type, Wire &wire, int64_t &lo, int64_t &hi)
{
    switch (type) {
    case OID_INT2: wire = Wire::Int2; lo = INT16_MIN; hi = INT16_MAX; return true;
    case OID_INT4: wire = Wire::Int4; lo = INT32_MIN; hi = INT32_MAX; return true;
    case OID_INT8: wire = Wire::Int8; lo = INT64_MIN; hi = INT64_MAX; return true;
    // The text path sends 1 and 0, which a boolean column reads; other integers it refuses.
    case OID_BOOL: wire = Wire::Bool; lo = 0; hi = 1; return true;
    default: return false;
    }
}

bool is_text_type(Oid type)
{
    return type == OID_TEXT || type == OID_VARCHAR || type == OID_BPCHAR;
}

// Integer values: into integer and boolean columns when every value fits, into float columns as
// the nearest float (what the server reads from the decimal text), into text columns as decimal.
bool plan_int(Column &c, Oid type, int rows)
{
    if (is_text_type(type)) {
        c.wire = Wire::Text;
        return true;
    }
    const bool to_float = type == OID_FLOAT4 || type == OID_FLOAT8;
    int64_t lo = 0, hi = 0;
    if (to_float) {
        c.wire = type == OID_FLOAT4 ? Wire::Converted4 : Wire::Converted8;
        c.parsed.resize(static_cast<size_t>(rows));
    } else if (!int_wire(type, c.wire, lo, hi)) {
        return false;
    }
    Column scan = c;
    for (int r = 0; r < rows; ++r) {
        Value v = next_value(scan, r);
        if (v.null)
            continue;
        int64_t i = read_int(v.data, v.len);
        if (type == OID_FLOAT4) {
            float f = static_cast<float>(i);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            c.parsed[r] = bits;
        } else if (type == OID_FLOAT8) {
            double d = static_cast<double>(i);
            std::memcpy(&c.parsed[r], &d, 8);
        } else if (i < lo || i > hi) {
            return false;
        }
    }
    return true;
}

// A double as a float4 column reads its shortest text; false when that is out of float range
// (the server refuses it).
bool double_to_float4(double d, uint32_t &bits)
{
    float f;
    if (std::isnan(d) || std::isinf(d) || d == 0) {
        f = static_cast<float>(d);
    } else {
        char buf[64];
        auto w = std::to_chars(buf, buf + sizeof buf, d);
        auto r = std::from_chars(buf, w.ptr, f);
        if (r.ec != std::errc() || std::isinf(f) || f == 0)
            return false;
    }
    std::memcpy(&bits, &f, 4);
    return true;
}

// A float as a float8 column reads its shortest text (0.1f arrives as 0.1, not 0.100000001...).
double float_to_float8(float f)
{
    if (std::isnan(f) || std::isinf(f))
        return f;
    char buf[64];
    auto w = std::to_chars(buf, buf + sizeof buf, f);
    double d = f;
    std::from_chars(buf, w.ptr, d);
    return d;
}

// Float values into float4 and float8 columns.
bool plan_float(Column &c, Oid type, int rows)
{
    const int size = c.b->size;
    if (type == OID_FLOAT8 && size == 8) {
        c.wire = Wire::Float8;
        return true;
    }
    if (type == OID_FLOAT4 && size == 4) {
        c.wire = Wire::Float4;
        return true;
    }
    if (type != OID_FLOAT4 && type != OID_FLOAT8)
        return false;
    c.wire = type == OID_FLOAT4 ? Wire::Converted4 : Wire::Converted8;
    c.parsed.resize(static_cast<size_t>(rows));
    Column scan = c;
    for (int r = 0; r < rows; ++r) {
        Value v = next_value(scan, r);
        if (v.null)
            continue;
        if (type == OID_FLOAT4) {
            uint32_t bits;
            if (!double_to_float4(read_float(v.data, 8), bits))
                return false;
            c.parsed[r] = bits;
        } else {
            float f;
            std::memcpy(&f, v.data, 4);
            double d = float_to_float8(f);
            std::memcpy(&c.parsed[r], &d, 8);
        }
    }
    return true;
}

// Text values: as they are into text columns; dates and timestamps parsed now, every one of
// them, so that a text the library does not read sends the batch as text before anything goes.
bool plan_text(Column &c, Oid type, int rows, bool utc)
{
    if (is_text_type(type)) {
        c.wire = Wire::Text;
        return true;
    }
    const bool tz = type == OID_TIMESTAMPTZ;
    if (type == OID_DATE)
        c.wire = Wire::Date;
    else if (type == OID_TIMESTAMP || (tz && utc))
        c.wire = Wire::Timestamp;
    else
        return false;
    c.parsed.resize(static_cast<size_t>(rows));
    Column scan = c;
    std::string scratch;
    for (int r = 0; r < rows; ++r) {
        Value v = next_value(scan, r);
        if (v.null)
            continue;
        int len;
        const char *text = normalised_text(c.b->type, v, scratch, len);
        if (c.wire == Wire::Date) {
            int32_t days;
            if (!parse_iso_date(text, static_cast<size_t>(len), days))
                return false;
            c.parsed[r] = days;
        } else if (!parse_iso_timestamp(text, static_cast<size_t>(len), tz, c.parsed[r])) {
            return false;
        }
    }
    return true;
}

// Chooses how one column goes in binary COPY into a column of the given type; false when the
// batch must go as text.
bool plan_binary_column(Column &c, Oid type, int rows, bool utc)
{
    c.parsed.clear();
    switch (c.kind) {
    case Kind::Null: c.wire = Wire::Null; return true;
    case Kind::Bool: c.wire = Wire::Bool; return type == OID_BOOL;
    case Kind::Binary: c.wire = Wire::Bytea; return type == OID_BYTEA;
    case Kind::Int: return plan_int(c, type, rows);
    case Kind::Float: return plan_float(c, type, rows);
    case Kind::Text: return plan_text(c, type, rows, utc);
    }
    return false;
}

// Plans every column against the target's types; false (the text format) when the types are
// unknown or any column cannot go in binary.
bool plan_binary(const Session &s, std::vector<Column> &cols, const std::vector<Oid> &types,
                 int rows)
{
    if (types.size() != cols.size())
        return false;
    const bool utc = session_time_zone_is_utc(s);
    for (size_t i = 0; i < cols.size(); ++i) {
        if (!plan_binary_column(cols[i], types[i], rows, utc)) {
            for (Column &c : cols)
                c.parsed = std::vector<int64_t>();
            return false;
        }
    }
    return true;
}

// Appends one field of a binary COPY row: its 4-byte big-endian length (-1 for NULL), then its
// bytes.
void append_binary_value(std::string &out, const Column &c, const Value &v, int r,
                         std::string &scratch)
{
    if (v.null || c.wire == Wire::Null) {
        append_be(out, 0xffffffffu, 4);
        return;
    }
    switch (c.wire) {
    case Wire::Null:
        break;
    case Wire::Bool:
        append_be(out, 1, 4);
        out += (c.kind == Kind::Bool ? bool_value(v.data) : read_int(v.data, v.len) != 0) ? '\1'
                                                                                          : '\0';
        return;
    case Wire::Int2:
    case Wire::Int4:
    case Wire::Int8: {
        const int bytes = c.wire == Wire::Int2 ? 2 : c.wire == Wire::Int4 ? 4 : 8;
        append_be(out, static_cast<uint64_t>(bytes), 4);
        append_be(out, static_cast<uint64_t>(read_int(v.data, v.len)), bytes);
        return;
    }
    case Wire::Float4: {
        uint32_t u;
        std::memcpy(&u, v.data, 4);
        append_be(out, 4, 4);
        append_be(out, u, 4);
        return;
    }
    case Wire::Float8: {
        uint64_t u;
        std::memcpy(&u, v.data, 8);
        append_be(out, 8, 4);
        append_be(out, u, 8);
        return;
    }
    case Wire::Converted4:
    case Wire::Date:
        append_be(out, 4, 4);
        append_be(out, static_cast<uint64_t>(c.parsed[r]), 4);
        return;
    case Wire::Converted8:
    case Wire::Timestamp:
        append_be(out, 8, 4);
        append_be(out, static_cast<uint64_t>(c.parsed[r]), 8);
        return;
    case Wire::Bytea:
        append_be(out, static_cast<uint64_t>(v.len), 4);
        out.append(v.data, static_cast<size_t>(v.len));
        return;
    case Wire::Text: {
        if (c.kind == Kind::Int) {
            char buf[24];
            auto w = std::to_chars(buf, buf + sizeof buf, read_int(v.data, v.len));
            append_be(out, static_cast<uint64_t>(w.ptr - buf), 4);
            out.append(buf, w.ptr);
            return;
        }
        int len;
        const char *text = normalised_text(c.b->type, v, scratch, len);
        append_be(out, static_cast<uint64_t>(len), 4);
        out.append(text, static_cast<size_t>(len));
        return;
    }
    }
    append_be(out, 0xffffffffu, 4);
}

// Binary COPY's fixed header: signature, flags, header extension length.
const char kBinaryHeader[19] = {'P', 'G', 'C', 'O', 'P', 'Y', '\n', '\xff', '\r', '\n', '\0',
                                0, 0, 0, 0, 0, 0, 0, 0};

// Appends one row in COPY's text or binary format.
void append_copy_row(std::string &buf, std::vector<Column> &cols, int r, bool binary,
                     std::string &scratch)
{
    if (binary) {
        append_be(buf, cols.size(), 2);
        for (Column &c : cols)
            append_binary_value(buf, c, next_value(c, r), r, scratch);
        return;
    }
    for (size_t c = 0; c < cols.size(); ++c) {
        if (c)
            buf += '\t';
        append_copy_value(buf, cols[c], next_value(cols[c], r), scratch);
    }
    buf += '\n';
}

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

// Streams the rows as COPY text, or binary when every column was planned for it. Refused: the
// server would not COPY into the target (a view) and nothing happened, so the pipeline path
// may run instead.
CopyOutcome run_copy(Session &s, const std::string &target, const std::string &columns,
                     std::vector<Column> &cols, int rows, bool may_refuse, bool binary)
{
    std::string sql = "COPY " + target + (columns.empty() ? "" : " " + columns) + " FROM STDIN" +
                      (binary ? " (FORMAT binary)" : "");
    ResultPtr start(PQexec(s.conn, sql.c_str()));
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
    std::string buf, scratch;
    buf.reserve(kChunk + 4096);
    if (binary)
        buf.append(kBinaryHeader, sizeof kBinaryHeader);
    bool sending = true;
    for (int r = 0; r < rows && sending; ++r) {
        append_copy_row(buf, cols, r, binary, scratch);
        if (buf.size() >= kChunk) {
            // -1: the server ended the COPY (a failed row) or the connection broke; the
            // result read below says which.
            if (PQputCopyData(s.conn, buf.data(), static_cast<int>(buf.size())) != 1)
                sending = false;
            buf.clear();
        }
    }
    if (binary)
        buf.append("\xff\xff", 2);  // the trailer: a row of -1 fields
    if (sending && !buf.empty())
        PQputCopyData(s.conn, buf.data(), static_cast<int>(buf.size()));
    PQputCopyEnd(s.conn, nullptr);

    ResultPtr failed;
    bool any = false;
    while (PGresult *raw = PQgetResult(s.conn)) {
        ResultPtr res(raw);
        any = true;
        ExecStatusType rs = PQresultStatus(raw);
        if (rs == PGRES_COPY_IN) {
            // The server still waits for rows we could not send: end the COPY.
            PQputCopyEnd(s.conn, "batch ended by the client");
            continue;
        }
        if ((rs == PGRES_FATAL_ERROR || rs == PGRES_BAD_RESPONSE) && !failed)
            failed = std::move(res);
    }
    // The server checks the target only once the COPY has begun: a refusal that names no row
    // (a view) left nothing behind, so the rows may go the other way.
    if (failed && may_refuse && copy_error_line(failed.get()) == 0) {
        const char *state = PQresultErrorField(failed.get(), PG_DIAG_SQLSTATE);
        if (state && (std::strcmp(state, "42809") == 0 || std::strcmp(state, "0A000") == 0))
            return CopyOutcome::Refused;
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
                    int64_t v = read_int(b.values.data() + static_cast<size_t>(r) * b.size, b.size);
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
            break;
        }
    }
}

// Encodes one pipeline parameter into scratch (text values zero-terminated): offset receives its
// offset in scratch (-1 for NULL), len its byte length.
void encode_param(std::string &scratch, Column &c, const Value &v, std::string &tmp, long &offset,
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
    case Kind::Text: {
        int n;
        const char *text = normalised_text(c.b->type, v, tmp, n);
        scratch.append(text, static_cast<size_t>(n));
        scratch += '\0';
        len = n;
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
    explicit Pipeline(Session &s) : s_(s) {}

    bool run(const std::string &sql, std::vector<Column> &cols, int rows);

private:
    bool drain();
    bool pump(bool until_flushed);
    bool wait(bool for_write);
    bool finish();

    Session &s_;
    size_t sent_ = 0;        // queries sent (the prepare counts as query 0)
    size_t done_ = 0;        // queries whose results are complete
    bool sync_sent_ = false, sync_seen_ = false;
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
        default:
            break;
        }
    }
}

// Waits until the socket is readable (or writable, when for_write).
bool Pipeline::wait(bool for_write)
{
    pollfd p{};
    p.fd = PQsocket(s_.conn);
    p.events = POLLIN | (for_write ? POLLOUT : 0);
    if (p.fd < 0) {
        broken_ = format_result_error(nullptr, s_.conn);
        return false;
    }
    while (poll(&p, 1, -1) < 0) {
        if (errno != EINTR) {
            set_error(broken_, "08006", "waiting for the server failed");
            return false;
        }
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

bool Pipeline::finish()
{
    if (!PQpipelineSync(s_.conn)) {
        broken_ = format_result_error(nullptr, s_.conn);
        return false;
    }
    sync_sent_ = true;
    while (!sync_seen_) {
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

    if (PQsetnonblocking(s_.conn, 1) != 0 || !PQenterPipelineMode(s_.conn)) {
        PQsetnonblocking(s_.conn, 0);
        set_error_from_conn(s_, "HY000");
        return false;
    }
    bool ok = PQsendPrepare(s_.conn, "", sql.c_str(), n, n ? types.data() : nullptr) == 1;
    if (ok)
        ++sent_;
    std::string scratch, tmp;
    for (int r = 0; ok && r < rows && !failed_; ++r) {
        scratch.clear();
        for (int c = 0; c < n; ++c)
            encode_param(scratch, cols[c], next_value(cols[c], r), tmp, offsets[c], lengths[c]);
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
    PQsetnonblocking(s_.conn, 0);
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
    int bound = 0, highest = 0;
    for (size_t i = 0; i < s.arrays.size(); ++i) {
        if (s.arrays[i].bound) {
            ++bound;
            highest = static_cast<int>(i) + 1;
        }
    }
    if (bound != markers || highest != markers) {
        for (int pos = 1; pos <= highest && pos <= markers && bound <= markers; ++pos) {
            if (!s.arrays[pos - 1].bound) {
                set_error(s, "07001", "parameter " + std::to_string(pos) + " is not bound");
                return false;
            }
        }
        set_error(s, "07001",
                  "the statement has " + std::to_string(markers) + " parameter markers but " +
                      std::to_string(bound) + " parameters are bound");
        return false;
    }
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

}  // namespace

}  // namespace zt

using namespace zt;

// Copies one column of n values for position pos. Fixed-size codes read n elements of `size`
// bytes; text and binary codes the packed layout of `size` bytes. The lengths array is kept and
// read by ZTC_ExecBatch.
ZTC_API int ZTC_BindParamArrayByPos(ZTC_HANDLE *S, int pos, int columns, int direction, int type,
                                    int n, void *values, int size, int *lengths)
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
        if (is_packed(kind)) {
            int64_t used = packed_extent(data, size, n);
            if (used < 0) {
                set_error(*s, "22023", "the packed values of parameter " + std::to_string(pos) +
                                           " do not fit their size of " + std::to_string(size) +
                                           " bytes");
                return -1;
            }
            b.values.assign(data, data + used);
        } else if (kind != Kind::Null) {
            if (!valid_element_size(kind, size)) {
                set_error(*s, "22023", "element size " + std::to_string(size) +
                                           " does not suit type code " + std::to_string(type));
                return -1;
            }
            b.values.assign(data, data + static_cast<size_t>(n) * static_cast<size_t>(size));
        }
        if (s->arrays.size() < static_cast<size_t>(pos))
            s->arrays.resize(static_cast<size_t>(pos));
        s->arrays[pos - 1] = std::move(b);
        return 0;
    });
}

// Runs the statement once per row of the array bindings, atomically. Returns the number of rows.
ZTC_API int ZTC_ExecBatch(ZTC_HANDLE *S, const char *sql, int rows)
{
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (!sql) {
            set_error(*s, "HY000", "no statement text");
            return -1;
        }
        if (rows < 0) {
            set_error(*s, "22023", "a batch cannot have " + std::to_string(rows) + " rows");
            return -1;
        }
        std::string target, columns, text;
        int insert_markers = 0;
        bool plain = plain_insert_target(sql, target, columns, insert_markers);
        int markers = rewrite_markers(sql, text);
        if (!check_columns(*s, markers, rows))
            return -1;
        if (rows == 0)
            return 0;
        std::vector<Column> cols = batch_columns(*s, markers);
        if (!check_texts(*s, cols, rows) || !begin_if_needed(*s))
            return -1;
        if (plain && insert_markers == markers) {
            bool inside = in_transaction(*s);
            CopyTarget t;
            std::string last = *s->error;
            if (!describe_copy_target(*s, target, columns, t)) {
                // Inside a transaction the failed query has aborted it: report that. Outside,
                // nothing is lost and COPY in text reports any fault of the target itself.
                if (inside)
                    return -1;
                *s->error = std::move(last);
                t = CopyTarget();
            }
            bool accepts = t.relkind == 'r' || t.relkind == 'p' || t.relkind == 'f';
            if (accepts) {
                bool binary = plan_binary(*s, cols, t.types, rows);
                switch (run_copy(*s, target, columns, cols, rows, !inside, binary)) {
                case CopyOutcome::Done: return rows;
                case CopyOutcome::Failed: return -1;
                case CopyOutcome::Refused: break;
                }
                cols = batch_columns(*s, markers);
            }
        }
        choose_param_types(cols, rows);
        Pipeline p(*s);
        return p.run(text, cols, rows) ? rows : -1;
    });
}
