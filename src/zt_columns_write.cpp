/* zt_columns_write.cpp - copy_columns: rows of column arrays sent as binary COPY data
 * into a COPY FROM STDIN the caller started (copy_start). Each native column is read
 * straight from its buffer (a NumPy array's memory); object columns hold str, bytes or
 * None. The package's write_frame drives it. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

/* Days and microseconds from 1970-01-01 to 2000-01-01, where binary COPY counts from. */
constexpr int64_t ZT_PG_EPOCH_DAYS = 10957;
constexpr int64_t ZT_PG_EPOCH_US = ZT_PG_EPOCH_DAYS * INT64_C(86400000000);
/* NumPy's NaT. */
constexpr int64_t ZT_NAT = INT64_MIN;
/* Data is handed to the library in chunks of about this size. */
constexpr size_t ZT_COPY_CHUNK = 1 << 20;

/* The kinds of columns and the bytes each native value takes in the buffer. */
enum ZtWriteKind { ZT_W_BOOL, ZT_W_INT16, ZT_W_INT32, ZT_W_INT64, ZT_W_FLOAT32, ZT_W_FLOAT64,
                   ZT_W_DATE, ZT_W_TIMESTAMP, ZT_W_INTERVAL, ZT_W_TEXT };

struct ZtWriteKindName {
    const char *name;
    ZtWriteKind kind;
    int width;
};

const ZtWriteKindName zt_write_kinds[] = {
    {"bool", ZT_W_BOOL, 1},         {"int16", ZT_W_INT16, 2},
    {"int32", ZT_W_INT32, 4},       {"int64", ZT_W_INT64, 8},
    {"float32", ZT_W_FLOAT32, 4},   {"float64", ZT_W_FLOAT64, 8},
    {"date", ZT_W_DATE, 8},         {"timestamp", ZT_W_TIMESTAMP, 8},
    {"interval", ZT_W_INTERVAL, 8}, {"text", ZT_W_TEXT, 0},
};

/* One column: its buffer views kept for the whole call, or its sequence of objects. */
struct ZtWriteColumn {
    ZtWriteKind kind = ZT_W_TEXT;
    int width = 0;
    Py_buffer values{};
    Py_buffer mask{};
    bool has_values = false;
    bool has_mask = false;
    PyRef objects;   /* a tuple for text */
    ~ZtWriteColumn()
    {
        if (has_values)
            PyBuffer_Release(&values);
        if (has_mask)
            PyBuffer_Release(&mask);
    }
};

void put_be16(std::string &out, uint16_t v)
{
    const char b[2] = {(char)(v >> 8), (char)v};
    out.append(b, 2);
}

void put_be32(std::string &out, uint32_t v)
{
    const char b[4] = {(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
    out.append(b, 4);
}

void put_be64(std::string &out, uint64_t v)
{
    put_be32(out, (uint32_t)(v >> 32));
    put_be32(out, (uint32_t)v);
}

template <typename T>
T zt_load(const Py_buffer &b, Py_ssize_t row)
{
    T v;
    std::memcpy(&v, static_cast<const char *>(b.buf) + row * (Py_ssize_t)sizeof v, sizeof v);
    return v;
}

/* Parses one (kind, values, mask) item. 0, or -1 with an error set. */
int zt_write_column_from(PyObject *item, Py_ssize_t nrows, Py_ssize_t index, ZtWriteColumn &col)
{
    const char *kind = nullptr;
    PyObject *values = nullptr, *mask = nullptr;
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "sOO", &kind, &values, &mask)) {
        PyErr_Format(ProgrammingError, "copy_columns: column %zd must be a tuple (kind, "
                                       "values, mask)", index + 1);
        return -1;
    }
    const ZtWriteKindName *found = nullptr;
    for (const ZtWriteKindName &k : zt_write_kinds)
        if (std::strcmp(k.name, kind) == 0)
            found = &k;
    if (found == nullptr) {
        PyErr_Format(ProgrammingError, "copy_columns: column %zd has an unknown kind '%s'",
                     index + 1, kind);
        return -1;
    }
    col.kind = found->kind;
    col.width = found->width;
    if (col.kind == ZT_W_TEXT) {
        /* A tuple of its own: str() of a value may run code that changes a list. */
        col.objects.reset(PySequence_Tuple(values));
        if (!col.objects)
            return -1;
        if (PyTuple_GET_SIZE(col.objects.get()) != nrows) {
            PyErr_Format(ProgrammingError, "copy_columns: column %zd has %zd values, not %zd",
                         index + 1, PyTuple_GET_SIZE(col.objects.get()), nrows);
            return -1;
        }
    } else {
        if (PyObject_GetBuffer(values, &col.values, PyBUF_C_CONTIGUOUS) < 0)
            return -1;
        col.has_values = true;
        if (col.values.len != nrows * col.width) {
            PyErr_Format(ProgrammingError, "copy_columns: column %zd holds %zd bytes, not "
                                           "%zd rows of %d", index + 1, col.values.len, nrows,
                         col.width);
            return -1;
        }
    }
    if (mask != Py_None) {
        if (PyObject_GetBuffer(mask, &col.mask, PyBUF_C_CONTIGUOUS) < 0)
            return -1;
        col.has_mask = true;
        if (col.mask.len != nrows) {
            PyErr_Format(ProgrammingError, "copy_columns: the mask of column %zd holds %zd "
                                           "bytes, not %zd", index + 1, col.mask.len, nrows);
            return -1;
        }
    }
    return 0;
}

/* Appends one object value of a text column: its length word and bytes, or NULL for
 * None and a float NaN. 0, or -1 with an error set. */
int zt_put_object(std::string &out, PyObject *v)
{
    if (v == Py_None || (PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v)))) {
        put_be32(out, 0xFFFFFFFFu);
        return 0;
    }
    if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v)) {
        Py_buffer view;
        if (PyObject_GetBuffer(v, &view, PyBUF_C_CONTIGUOUS) < 0)
            return -1;
        put_be32(out, (uint32_t)view.len);
        out.append(static_cast<const char *>(view.buf), (size_t)view.len);
        PyBuffer_Release(&view);
        return 0;
    }
    PyRef text(PyUnicode_Check(v) ? PyRef::borrow(v).release() : PyObject_Str(v));
    if (!text)
        return -1;
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (p == nullptr)
        return -1;
    put_be32(out, (uint32_t)n);
    out.append(p, (size_t)n);
    return 0;
}

/* Appends the value of one native column at `row`; NULL where the mask says so, and for
 * NaN and NaT. */
void zt_put_native(std::string &out, const ZtWriteColumn &col, Py_ssize_t row)
{
    if (col.has_mask && static_cast<const char *>(col.mask.buf)[row]) {
        put_be32(out, 0xFFFFFFFFu);
        return;
    }
    switch (col.kind) {
    case ZT_W_BOOL:
        put_be32(out, 1);
        out.push_back(static_cast<const char *>(col.values.buf)[row] ? 1 : 0);
        return;
    case ZT_W_INT16:
        put_be32(out, 2);
        put_be16(out, (uint16_t)zt_load<int16_t>(col.values, row));
        return;
    case ZT_W_INT32:
        put_be32(out, 4);
        put_be32(out, (uint32_t)zt_load<int32_t>(col.values, row));
        return;
    case ZT_W_INT64:
        put_be32(out, 8);
        put_be64(out, (uint64_t)zt_load<int64_t>(col.values, row));
        return;
    case ZT_W_FLOAT32: {
        const float f = zt_load<float>(col.values, row);
        if (std::isnan(f))
            break;
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put_be32(out, 4);
        put_be32(out, bits);
        return;
    }
    case ZT_W_FLOAT64: {
        const double d = zt_load<double>(col.values, row);
        if (std::isnan(d))
            break;
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        put_be32(out, 8);
        put_be64(out, bits);
        return;
    }
    case ZT_W_DATE: {
        const int64_t days = zt_load<int64_t>(col.values, row);
        if (days == ZT_NAT)
            break;
        put_be32(out, 4);
        put_be32(out, (uint32_t)(int32_t)(days - ZT_PG_EPOCH_DAYS));
        return;
    }
    case ZT_W_TIMESTAMP: {
        const int64_t us = zt_load<int64_t>(col.values, row);
        if (us == ZT_NAT)
            break;
        put_be32(out, 8);
        put_be64(out, (uint64_t)(us - ZT_PG_EPOCH_US));
        return;
    }
    case ZT_W_INTERVAL: {
        const int64_t us = zt_load<int64_t>(col.values, row);
        if (us == ZT_NAT)
            break;
        /* Microseconds, then days and months (none: the count is exact). */
        put_be32(out, 16);
        put_be64(out, (uint64_t)us);
        put_be32(out, 0);
        put_be32(out, 0);
        return;
    }
    default:
        break;
    }
    put_be32(out, 0xFFFFFFFFu);
}

/* Date values must fit the server's 32-bit day count; checked before anything is sent. */
int zt_check_dates(const std::vector<ZtWriteColumn> &cols, Py_ssize_t nrows)
{
    for (size_t c = 0; c < cols.size(); ++c) {
        if (cols[c].kind != ZT_W_DATE)
            continue;
        for (Py_ssize_t r = 0; r < nrows; ++r) {
            const int64_t d = zt_load<int64_t>(cols[c].values, r);
            if (d != ZT_NAT && (d - ZT_PG_EPOCH_DAYS < INT32_MIN ||
                                d - ZT_PG_EPOCH_DAYS > INT32_MAX)) {
                PyErr_Format(DataError, "copy_columns: column %zu, row %zd: the date is out "
                                        "of range", c + 1, r + 1);
                return -1;
            }
        }
    }
    return 0;
}

/* Hands a chunk to the library (which copies it). 0, or -1 with the error raised. */
int zt_flush_chunk(cursorObject *self, std::string &out)
{
    if (out.empty())
        return 0;
    if (zt_curs_check(self) < 0)
        return -1;
    if (zt_lib_copy_put(&self->p_conn, out.data(), (int)out.size()) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    out.clear();
    return 0;
}

}  // namespace

/* copy_columns(columns, nrows) -> None: sends nrows rows of binary COPY data, header and
 * trailer included, into the COPY FROM STDIN (FORMAT binary) started with copy_start.
 * columns is a sequence of (kind, values, mask): kind one of bool, int16, int32, int64,
 * float32, float64 (values: a contiguous buffer of nrows native values), date (int64
 * days since 1970-01-01), timestamp (int64 microseconds since 1970-01-01), interval
 * (int64 microseconds), or text (values: a sequence of str, bytes or None; other objects
 * go as their str()); mask None or nrows bytes, non-zero where the value is NULL. NaN and
 * NaT go as NULL too. */
PyObject *pyzt_curs_copy_columns(cursorObject *self, PyObject *args)
{
    PyObject *columns = nullptr;
    Py_ssize_t nrows = 0;
    if (!PyArg_ParseTuple(args, "On:copy_columns", &columns, &nrows))
        return nullptr;
    if (nrows < 0) {
        PyErr_SetString(ProgrammingError, "copy_columns: nrows must not be negative");
        return nullptr;
    }
    try {
        PyRef seq(PySequence_Fast(columns, "copy_columns: columns must be a sequence"));
        if (!seq)
            return nullptr;
        const Py_ssize_t ncols = PySequence_Fast_GET_SIZE(seq.get());
        if (ncols < 1 || ncols > 1600) {
            PyErr_SetString(ProgrammingError, "copy_columns: from 1 to 1600 columns");
            return nullptr;
        }
        std::vector<ZtWriteColumn> cols((size_t)ncols);
        for (Py_ssize_t c = 0; c < ncols; ++c)
            if (zt_write_column_from(PySequence_Fast_GET_ITEM(seq.get(), c), nrows, c,
                                     cols[c]) < 0)
                return nullptr;
        if (zt_check_dates(cols, nrows) < 0 || zt_curs_check(self) < 0)
            return nullptr;
        static const char header[19] = {'P', 'G', 'C', 'O', 'P', 'Y', '\n', '\xff', '\r', '\n',
                                        '\0', 0, 0, 0, 0, 0, 0, 0, 0};
        std::string out;
        out.reserve(ZT_COPY_CHUNK + 4096);
        out.append(header, sizeof header);
        for (Py_ssize_t r = 0; r < nrows; ++r) {
            put_be16(out, (uint16_t)ncols);
            for (const ZtWriteColumn &col : cols) {
                if (col.kind != ZT_W_TEXT || (col.has_mask &&
                                              static_cast<const char *>(col.mask.buf)[r]))
                    zt_put_native(out, col, r);
                else if (zt_put_object(out, PyTuple_GET_ITEM(col.objects.get(), r)) < 0)
                    return nullptr;
            }
            if (out.size() >= ZT_COPY_CHUNK && zt_flush_chunk(self, out) < 0)
                return nullptr;
        }
        put_be16(out, 0xFFFF);
        if (zt_flush_chunk(self, out) < 0)
            return nullptr;
        Py_RETURN_NONE;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}
