// Results: the record over the server's results, type codes and modifiers of columns, counts,
// moving through rows and results, and writing values in the encodings of the type codes.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <strings.h>

#include "binaryvalue.h"
#include "codec.h"
#include "decode.h"
#include "internal.h"

namespace zt {

namespace {

bool is_infinity(const char *text, size_t len)
{
    return (len == 8 && std::memcmp(text, "infinity", 8) == 0) ||
           (len == 9 && std::memcmp(text, "-infinity", 9) == 0);
}

// Text codes: the value cut at a character boundary to the capacity, zero-terminated when
// there is room; the full length is returned.
int write_text(const char *text, size_t len, void *buffer, int capacity)
{
    if (buffer && capacity > 0) {
        size_t cap = static_cast<size_t>(capacity);
        size_t n = len <= cap ? len : utf8_cut(text, len, cap);
        char *out = static_cast<char *>(buffer);
        std::memcpy(out, text, n);
        if (n < cap)
            out[n] = '\0';
    }
    return len > INT_MAX ? INT_MAX : static_cast<int>(len);
}

template <class T>
int write_fixed(T v, void *buffer)
{
    std::memcpy(buffer, &v, sizeof v);
    return static_cast<int>(sizeof v);
}

int fail(std::string &err, const char *sqlstate, const std::string &text)
{
    set_error(err, sqlstate, text);
    return INT32_MIN;
}

int write_integer(int code, const char *text, size_t len, void *buffer, std::string &err)
{
    int64_t v;
    if (!decode_int64(text, len, v))
        return fail(err, "22023", "the value \"" + std::string(text, utf8_cut(text, len, 40)) +
                                      "\" is not an integer");
    if (!integer_fits(code, v))
        return fail(err, "22003", "the value " + std::to_string(v) +
                                      " is out of range for type code " + std::to_string(code));
    switch (code) {
    case ZTC_TYPE_TINYINT: return write_fixed(static_cast<int8_t>(v), buffer);
    case ZTC_TYPE_SMALLINT: return write_fixed(static_cast<int16_t>(v), buffer);
    case ZTC_TYPE_INTEGER: return write_fixed(static_cast<int32_t>(v), buffer);
    default: return write_fixed(v, buffer);
    }
}

// A float or double from its text whatever the locale; false when it is not a number.
template <class T>
bool read_float(const char *text, size_t len, T &v)
{
    auto [end, ec] = std::from_chars(text, text + len, v);
    if (ec != std::errc() || end != text + len) {
        // from_chars takes "inf" and "nan" but not the leading '+' or a value beyond a
        // float's range; parse_double reads those as a double first.
        double d = 0;
        if (!parse_double(text, len, d, nullptr))
            return false;
        v = static_cast<T>(d);
    }
    return true;
}

template <class T>
int write_float(const char *text, size_t len, void *buffer, std::string &err)
{
    T v;
    if (!read_float(text, len, v))
        return fail(err, "22023", "the value \"" + std::string(text, utf8_cut(text, len, 40)) +
                                      "\" is not a number");
    return write_fixed(v, buffer);
}

int fixed_size(int code)
{
    switch (code) {
    case ZTC_TYPE_BOOLEAN:
    case ZTC_TYPE_TINYINT: return 1;
    case ZTC_TYPE_SMALLINT: return 2;
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_INTERVAL_YM: return 4;
    case ZTC_TYPE_BIGINT:
    case ZTC_TYPE_DOUBLE:
    case ZTC_TYPE_DATETIME_MS:
    case ZTC_TYPE_DATETIME_US:
    case ZTC_TYPE_INTERVAL_DS: return 8;
    default: return 0;
    }
}

}  // namespace

bool decode_bytea(const char *text, size_t len, std::string &out)
{
    out.clear();
    if (len >= 2 && text[0] == '\\' && text[1] == 'x') {
        if ((len - 2) % 2)
            return false;
        out.resize((len - 2) / 2);
        for (size_t i = 2, o = 0; i < len; i += 2, ++o) {
            int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
            if (hi < 0 || lo < 0)
                return false;
            out[o] = static_cast<char>(hi << 4 | lo);
        }
        return true;
    }
    // Escape form: \\ and \ooo octal escapes, other bytes as they are.
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        if (text[i] != '\\') {
            out += text[i];
        } else if (i + 1 < len && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < len + 0 && text[i + 1] >= '0' && text[i + 1] <= '3' &&
                   text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' &&
                   text[i + 3] <= '7') {
            out += static_cast<char>((text[i + 1] - '0') << 6 | (text[i + 2] - '0') << 3 |
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

ColumnInfo column_type(Oid oid, int typmod)
{
    ColumnInfo info;
    info.codec = &codec_of(oid);
    info.codec->column(typmod, info);
    info.oid = oid;
    return info;
}

void select_result(Result &r, size_t index)
{
    r.current = index;
    r.res = index < r.results.size() ? r.results[index].get() : nullptr;
    r.store = index < r.stores.size() ? r.stores[index].get() : nullptr;
    r.row = -1;
    const int64_t stored = r.store ? r.store->rows() : 0;
    r.nrows = r.store ? static_cast<int>(stored > INT_MAX ? INT_MAX : stored)
                      : r.res ? PQntuples(r.res) : 0;
    r.ncols = r.res ? PQnfields(r.res) : 0;
    r.binary = r.ncols > 0 && PQfformat(r.res, 0) == 1;
    r.view_texts.resize(r.binary ? static_cast<size_t>(r.ncols) : 0);
    r.cells.assign(static_cast<size_t>(r.ncols), Cell{});
    r.columns.resize(static_cast<size_t>(r.ncols));
    for (int c = 0; c < r.ncols; ++c)
        r.columns[c] = column_type(PQftype(r.res, c), PQfmod(r.res, c));
    r.restyle_columns.clear();
    if (!r.date_style.iso() && !r.binary)
        for (int c = 0; c < r.ncols; ++c)
            if (r.columns[c].codec->date_styled)
                r.restyle_columns.push_back(c);
    r.restyled.resize(r.restyle_columns.empty() ? 0 : static_cast<size_t>(r.ncols));
}

Result *new_result(Session &s, ResultList &&results, RowStores &&stores)
{
    auto r = std::make_unique<Result>();
    r->error = s.error;
    r->results = std::move(results);
    r->stores = std::move(stores);
    r->date_style = session_date_style(s.conn);
    select_result(*r, 0);
    return r.release();
}

void replace_result(ZTC_HANDLE *R, Result *r)
{
    delete static_cast<Result *>(*R);
    *R = r;
}

ResultCounts result_counts(const PGresult *r, const RowStore *rows)
{
    ResultCounts c;
    if (!r)
        return c;
    c.columns = PQnfields(r);
    ExecStatusType st = PQresultStatus(r);
    if (st == PGRES_TUPLES_OK || st == PGRES_SINGLE_TUPLE || c.columns > 0) {
        c.sql_type = ZTC_SQL_QUERY;
        c.rows = rows ? rows->rows() : PQntuples(r);
        return c;
    }
    const char *n = PQcmdTuples(const_cast<PGresult *>(r));
    if (n && *n) {
        c.sql_type = ZTC_SQL_DML;
        int64_t v = 0;
        decode_int64(n, std::strlen(n), v);
        c.affected = v > INT_MAX ? INT_MAX : static_cast<int>(v);
    }
    return c;
}

int write_value(int code, Oid oid, const char *text, size_t len, void *buffer, int capacity,
                std::string &err)
{
    int need = fixed_size(code);
    if (need && (!buffer || capacity < need))
        return fail(err, "22023", "a buffer of " + std::to_string(capacity) +
                                      " bytes is too small for type code " + std::to_string(code));
    switch (code) {
    case ZTC_TYPE_BOOLEAN:
        *static_cast<char *>(buffer) =
            (len > 0 && (text[0] == 't' || text[0] == 'T' || text[0] == '1')) ? 'T' : 'F';
        return 1;
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT:
        return write_integer(code, text, len, buffer, err);
    case ZTC_TYPE_FLOAT:
        return write_float<float>(text, len, buffer, err);
    case ZTC_TYPE_DOUBLE:
        return write_float<double>(text, len, buffer, err);
    case ZTC_TYPE_NUMERIC: {
        if (!buffer || capacity <= 0)
            return fail(err, "22023", "no room for a NUMERIC value");
        int n = write_numeric(text, len, static_cast<char *>(buffer), capacity);
        if (n < 0)
            return fail(err, "22023", "the NUMERIC value does not fit a buffer of " +
                                          std::to_string(capacity) + " bytes");
        return n;
    }
    case ZTC_TYPE_DATETIME_MS: {
        int64_t ms;
        if (decode_timestamp_ms(text, len, ms))
            return write_fixed(ms, buffer);
        if (is_infinity(text, len))
            return -1;
        return fail(err, "22023", "the value \"" + std::string(text, utf8_cut(text, len, 40)) +
                                      "\" is not a timestamp");
    }
    case ZTC_TYPE_DATETIME_US: {
        // Unlike code 23, an infinite timestamp is an error here, never a NULL.
        int64_t us;
        if (decode_timestamp_us(text, len, us))
            return write_fixed(us, buffer);
        return fail(err, is_infinity(text, len) ? "22008" : "22023",
                    "the value \"" + std::string(text, utf8_cut(text, len, 40)) +
                        "\" cannot be read as a microsecond count");
    }
    case ZTC_TYPE_INTERVAL_YM:
    case ZTC_TYPE_INTERVAL_DS: {
        int32_t months;
        int64_t micros, total;
        bool out_of_range = false;
        const std::string shown(text, utf8_cut(text, len, 40));
        if (!decode_interval(text, len, months, micros, &out_of_range) && !out_of_range)
            return fail(err, "22023", "the value \"" + shown + "\" is not an interval");
        if (!out_of_range && code == ZTC_TYPE_INTERVAL_YM)
            return write_fixed(months, buffer);
        if (out_of_range || !interval_total_micros(months, micros, total))
            return fail(err, "22008", "interval out of range: \"" + shown +
                                          "\" does not fit 64 bits of microseconds");
        return write_fixed(total, buffer);
    }
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2:
    case ZTC_TYPE_CLOB:
    case ZTC_TYPE_CLOB2:
    case ZTC_TYPE_BLOB: {
        Lob *lob = lob_of(static_cast<ZTC_HANDLE *>(buffer));
        if (!lob)
            return fail(err, "HY000", "no large object to receive the value");
        if (codec_of(oid).bytea_text) {
            if (!decode_bytea(text, len, lob->data))
                return fail(err, "22023", "malformed binary value");
        } else {
            lob->data.assign(text, len);
        }
        return lob->data.size() > INT_MAX ? INT_MAX : static_cast<int>(lob->data.size());
    }
    default:
        return write_text(text, len, buffer, capacity);
    }
}

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_getResultRet(ZTC_HANDLE *R, int *sql_type, int *fieldnum, int *rows, int *affected,
                             void *reserved)
{
    (void)reserved;
    Result *r = result_of(R);
    if (!r)
        return -1;
    ResultCounts c = result_counts(r->res, r->store);
    if (sql_type)
        *sql_type = c.sql_type;
    if (fieldnum)
        *fieldnum = c.columns;
    if (rows)
        *rows = c.rows > INT_MAX ? INT_MAX : static_cast<int>(c.rows);
    if (affected)
        *affected = c.affected;
    return 0;
}

ZTC_API int ZTC_getResultStatus(ZTC_HANDLE *R, char *tag, int capacity)
{
    Result *r = result_of(R);
    if (!r)
        return -1;
    const char *status = r->res ? PQcmdStatus(r->res) : "";
    const size_t len = std::strlen(status);
    if (tag && capacity > 0) {
        const size_t n = std::min(len, static_cast<size_t>(capacity - 1));
        std::memcpy(tag, status, n);
        tag[n] = '\0';
    }
    return len > INT_MAX ? INT_MAX : static_cast<int>(len);
}

ZTC_API int ZTC_getResultColumnsnum(ZTC_HANDLE *R, int *count)
{
    Result *r = result_of(R);
    if (!r || !count)
        return -1;
    *count = r->ncols;
    return 0;
}

namespace {

// The column record for a 1-based number, or nullptr with the message recorded.
const ColumnInfo *column_of(Result &r, int col)
{
    if (col >= 1 && col <= r.ncols)
        return &r.columns[col - 1];
    try {
        set_error(*r.error, "HY000", "column " + std::to_string(col) + " does not exist");
    } catch (...) {
    }
    return nullptr;
}

}  // namespace

ZTC_API int ZTC_getResultcolname(ZTC_HANDLE *R, int col, char *name)
{
    Result *r = result_of(R);
    if (!r || !name || !column_of(*r, col))
        return -1;
    const char *n = PQfname(r->res, col - 1);
    size_t len = utf8_cut(n, std::strlen(n), 255);
    std::memcpy(name, n, len);
    name[len] = '\0';
    return 0;
}

ZTC_API int ZTC_getResultcolType(ZTC_HANDLE *R, int col, int *type)
{
    Result *r = result_of(R);
    if (!r || !type)
        return -1;
    // Asked for every value of every row: the common case without a call.
    if (col >= 1 && col <= r->ncols) {
        *type = r->columns[col - 1].code;
        return 0;
    }
    column_of(*r, col);
    return -1;
}

ZTC_API int ZTC_getResultcolmodi(ZTC_HANDLE *R, int col, int *modi)
{
    Result *r = result_of(R);
    const ColumnInfo *c = r && modi ? column_of(*r, col) : nullptr;
    if (!c)
        return -1;
    *modi = c->modifier;
    return 0;
}

ZTC_API int ZTC_getResultcolflags(ZTC_HANDLE *R, int col, int *flags)
{
    Result *r = result_of(R);
    const ColumnInfo *c = r && flags ? column_of(*r, col) : nullptr;
    if (!c)
        return -1;
    *flags = c->codec->with_time_zone ? ZTC_COLUMN_WITH_TIME_ZONE : 0;
    return 0;
}

// 1-based number of the first column of that name: exact match first, then ignoring case.
ZTC_API int ZTC_getResultcolseq(ZTC_HANDLE *R, const char *name)
{
    Result *r = result_of(R);
    if (!r || !name)
        return -1;
    for (int c = 0; c < r->ncols; ++c)
        if (std::strcmp(PQfname(r->res, c), name) == 0)
            return c + 1;
    for (int c = 0; c < r->ncols; ++c)
        if (strcasecmp(PQfname(r->res, c), name) == 0)
            return c + 1;
    return 0;
}

namespace {

// Rewrites the row's dates and timestamps written in a DateStyle other than ISO into ISO, so
// that every reader sees one form. False with the result's message set for a timestamptz
// whose zone cannot be read.
bool restyle_row(Result &r)
{
    for (int c : r.restyle_columns) {
        Cell &cell = r.cells[c];
        if (!cell.text)
            continue;
        std::string err;
        if (!iso_from_style(r.date_style, r.columns[c].codec->date_kind, cell.text, static_cast<size_t>(cell.length),
                            r.restyled[c], err)) {
            set_error(*r.error, "22007", "column " + std::to_string(c + 1) + ": " + err);
            return false;
        }
        cell = Cell{r.restyled[c].c_str(), static_cast<int>(r.restyled[c].size())};
    }
    return true;
}

// Points the result's cells at the values of its current row. False when a value of it
// cannot be read (restyle_row).
bool load_row(Result &r)
{
    if (r.store) {
        r.store->next(r.cells);
    } else {
        for (int c = 0; c < r.ncols; ++c)
            r.cells[c] = PQgetisnull(r.res, r.row, c)
                             ? Cell{}
                             : Cell{PQgetvalue(r.res, r.row, c), PQgetlength(r.res, r.row, c)};
    }
    return r.restyle_columns.empty() || restyle_row(r);
}

}  // namespace

ZTC_API int ZTC_ReadNext(ZTC_HANDLE *R)
{
    Result *r = result_of(R);
    if (!r)
        return -1;
    if (r->row + 1 < r->nrows) {
        ++r->row;
        return load_row(*r) ? 0 : -1;
    }
    r->row = r->nrows;
    return ZTC_NO_MORE;
}

ZTC_API int ZTC_NextResult(ZTC_HANDLE *R)
{
    Result *r = result_of(R);
    if (!r)
        return -1;
    if (r->current + 1 >= r->results.size())
        return ZTC_NO_MORE;
    return guarded(r->error.get(), [&]() -> int {
        select_result(*r, r->current + 1);
        return 0;
    });
}

// Writes one value of the current row. Called once per value: no allocation on the way of a
// value that is written.
ZTC_API int ZTC_GetData(ZTC_HANDLE *R, int col, int type, void *buffer, int capacity, int *length)
{
    Result *r = result_of(R);
    if (!r)
        return -1;
    return guarded(r->error.get(), [&]() -> int {
        if (r->row < 0 || r->row >= r->nrows) {
            set_error(*r->error, "HY000", "no current row");
            return -1;
        }
        if ((col < 1 || col > r->ncols) && !column_of(*r, col))
            return -1;
        int c = col - 1;
        int out_length = -1;
        Cell cell = r->cells[c];
        if (type != ZTC_TYPE_NULL && cell.text && r->binary) {
            const Codec &codec = *r->columns[c].codec;
            if (!codec.binary_text ||
                !codec.binary_text(cell.text, static_cast<size_t>(cell.length), r->text)) {
                set_error(*r->error, "HY000", "the binary value of column " +
                                                  std::to_string(col) + " cannot be read");
                return -1;
            }
            cell = Cell{r->text.c_str(), static_cast<int>(r->text.size())};
        }
        if (type != ZTC_TYPE_NULL && cell.text) {
            std::string err;
            out_length = write_value(type, r->columns[c].oid, cell.text,
                                     static_cast<size_t>(cell.length), buffer, capacity, err);
            if (out_length == INT32_MIN) {
                *r->error = std::move(err);
                return -1;
            }
        } else if (Lob *lob = (type == ZTC_TYPE_BLOB || type == ZTC_TYPE_CLOB2 ||
                               type == ZTC_TYPE_CLOB || type == ZTC_TYPE_BINARY ||
                               type == ZTC_TYPE_BINARY2)
                                  ? lob_of(static_cast<ZTC_HANDLE *>(buffer))
                                  : nullptr) {
            lob->data.clear();
        }
        if (length)
            *length = out_length;
        return 0;
    });
}

namespace zt {

// Fills v.decoded / v.integer / v.real for a value of type code `code` from its text, the way
// ZTC_GetData reads it in that code (for code 23 columns: as code 71). Leaves decoded 0 when
// the value does not read; ZTC_GetData then reports why.
void decode_view(int code, const char *text, size_t len, ZTC_ROWVALUE &v)
{
    switch (code) {
    case ZTC_TYPE_BOOLEAN:
        v.integer = len > 0 && (text[0] == 't' || text[0] == 'T' || text[0] == '1');
        v.decoded = 1;
        return;
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT:
        v.decoded = decode_int64(text, len, v.integer) && integer_fits(code, v.integer);
        return;
    case ZTC_TYPE_FLOAT: {
        float f;
        v.decoded = read_float(text, len, f);
        v.real = f;
        return;
    }
    case ZTC_TYPE_DOUBLE:
        v.decoded = read_float(text, len, v.real);
        return;
    case ZTC_TYPE_DATETIME_MS:
        v.decoded = decode_timestamp_us(text, len, v.integer);
        return;
    default:
        return;
    }
}

// The view of column c of the current row.
void fill_view(Result &r, int c, ZTC_ROWVALUE &v)
{
    const Cell &cell = r.cells[c];
    const ColumnInfo &column = r.columns[c];
    v.text = cell.text;
    v.length = cell.text ? cell.length : -1;
    v.decoded = 0;
    v.integer = 0;
    v.real = 0;
    if (!cell.text)
        return;
    const Codec &codec = *column.codec;
    if (r.binary) {
        v.text = nullptr;
        if (codec.binary_view)
            codec.binary_view(column.code, cell.text, static_cast<size_t>(cell.length), v,
                              r.view_texts[c]);
    } else if (codec.text_view) {
        codec.text_view(column.code, cell.text, static_cast<size_t>(cell.length), v);
    }
}

}  // namespace zt

// Views of the current row's values: one call per row instead of one ZTC_GetData per value,
// and no copy of a text value.
ZTC_API int ZTC_GetRowValues(ZTC_HANDLE *R, ZTC_ROWVALUE *values, int count)
{
    Result *r = result_of(R);
    if (!r)
        return -1;
    if (r->row < 0 || r->row >= r->nrows || !values || count < 0 || count > r->ncols) {
        try {
            set_error(*r->error, "HY000", r->row < 0 || r->row >= r->nrows
                                              ? "no current row"
                                              : "no room for the row's values");
        } catch (...) {
        }
        return -1;
    }
    // Only a binary value's rendered text allocates.
    return guarded(r->error.get(), [&]() -> int {
        for (int c = 0; c < count; ++c)
            fill_view(*r, c, values[c]);
        return 0;
    });
}

ZTC_API int ZTC_FreeRowset(ZTC_HANDLE *R)
{
    if (!R || !*R)
        return 0;
    delete static_cast<Result *>(*R);
    *R = nullptr;
    return 0;
}
