/* zt_batch.cpp - repeated execution (executemany: one prepared statement run once, or
 * once per row) and array batches (executebatch: whole columns in one library call). */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace {

/* An encoder's answer: run Python code only on a private copy of the column. */
const int kNeedsSnapshot = 1;
/* The counts encoder's answer: the column holds an aware datetime and goes as texts. */
const int kNeedsTexts = 2;

const char *const kMultiResult =
    "This function does not support multi-result set operations, use the 'execute()' function";

/* ================================ executemany ================================ */

/* Raises the fixed execution failure text that callers match on; the library's
 * message is read but not shown. Always -1. */
int zt_execute2_failed(cursorObject *self)
{
    char error_msg[256];
    int err_len = 0;
    std::memset(error_msg, 0, sizeof error_msg);
    ZTC_GetError(&self->p_conn, error_msg, &err_len);
    PyErr_SetString(OperationalError, "error execute2");
    return -1;
}

/* Prepares the statement, binds `values` (a tuple of plain values) at positions 1..n
 * with floats as doubles, executes and takes the outcome into the cursor. A binding
 * that fails stops the statement before it runs. 0, or -1 with an error set. */
int zt_curs_run_prepared(cursorObject *self, const char *sql, PyObject *values)
{
    if (zt_lib_prepare(&self->p_conn, sql) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    self->prepare = 1;
    const Py_ssize_t n = values ? PyTuple_GET_SIZE(values) : 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (zt_bind_value(self, (int)(i + 1), PyTuple_GET_ITEM(values, i), ZT_FLOAT_AS_DOUBLE) < 0)
            return -1;
    }
    /* Binding may run Python code (a value's __str__) that closes the connection. */
    if (zt_curs_check(self) < 0)
        return -1;
    if (zt_lib_execute_prepared(&self->p_conn, &self->p_results) < 0)
        return zt_execute2_failed(self);
    return zt_curs_take_result(self);
}

/* One row of a sequence of rows: everything a call of executemany with that row
 * alone would do after parsing (release of the previous row's result, reset,
 * classification, prepare, binds, execution). 0, or -1 with an error set. */
int zt_curs_run_row(cursorObject *self, const char *sql, PyObject *row)
{
    if (zt_curs_check(self) < 0)
        return -1;
    zt_curs_begin_execution(self);
    ZTC_Reset(&self->p_conn);
    self->sql_type = fun_sql_type(sql);
    return zt_curs_run_prepared(self, sql, row);
}

/* What the parameters of executemany are: one flat list of values for a single
 * execution, or rows (each a tuple of plain values) for one execution each. */
struct zt_many_plan {
    PyRef flat;               /* tuple of values, or empty */
    std::vector<PyRef> rows;  /* tuples of values */
    bool by_rows = false;
};

/* Sorts the parameters into a plan before anything runs. A sequence that mixes rows
 * with plain values, or a row holding a list or tuple, cannot be run row by row as
 * written and is refused with ProgrammingError (which also rules out a row that
 * contains itself). 0, or -1 with an error set. */
int zt_many_plan_make(PyObject *parameter, zt_many_plan *plan)
{
    if (parameter == nullptr || parameter == Py_None)
        return 0;
    if (!PySequence_Check(parameter) || PyUnicode_Check(parameter) || PyBytes_Check(parameter) ||
        PyByteArray_Check(parameter)) {
        PyErr_Format(ProgrammingError,
                     "executemany: the parameters must be a list or tuple, not %.100s",
                     Py_TYPE(parameter)->tp_name);
        return -1;
    }
    PyRef items(PySequence_Tuple(parameter));
    if (!items)
        return -1;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Py_ssize_t nrows = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        if (PyList_Check(item) || PyTuple_Check(item))
            nrows++;
    }
    if (nrows == 0) {
        plan->flat = std::move(items);
        return 0;
    }
    if (nrows != n) {
        PyErr_SetString(ProgrammingError,
                        "executemany: the parameters mix rows (lists or tuples) with plain values");
        return -1;
    }
    plan->rows.reserve((size_t)n);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyRef row(PySequence_Tuple(PyTuple_GET_ITEM(items.get(), i)));
        if (!row)
            return -1;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(row.get()); j++) {
            PyObject *value = PyTuple_GET_ITEM(row.get(), j);
            if (PyList_Check(value) || PyTuple_Check(value)) {
                PyErr_Format(ProgrammingError,
                             "executemany: row %zd holds a list or tuple at position %zd", i + 1,
                             j + 1);
                return -1;
            }
        }
        plan->rows.push_back(std::move(row));
    }
    plan->by_rows = true;
    return 0;
}

/* Runs every row in turn. A failing row does not stop the ones after it; the call then
 * fails with the last row's error. The cursor ends with the last row's outcome. */
int zt_curs_run_rows(cursorObject *self, const char *sql, const std::vector<PyRef> &rows)
{
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    for (const PyRef &row : rows) {
        if (zt_curs_run_row(self, sql, row.get()) < 0) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            PyErr_Fetch(&type, &value, &tb);
        }
    }
    if (type) {
        PyErr_Restore(type, value, tb);
        return -1;
    }
    return 0;
}

PyObject *zt_curs_executemany(cursorObject *self, PyObject *args)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    zt_curs_begin_execution(self);
    if (zt_load_datetime_api() < 0)
        return nullptr;
    ZTC_Reset(&self->p_conn);

    PyObject *stringsql = nullptr, *parameter = nullptr;
    if (!PyArg_ParseTuple(args, "O|O", &stringsql, &parameter)) {
        return zt_raise_mismatch("executemany Parameter mismatch");
    }
    const char *sql = zt_statement_utf8(stringsql, "executemany");
    if (!sql)
        return nullptr;
    zt_many_plan plan;
    if (zt_many_plan_make(parameter, &plan) < 0)
        return nullptr;
    /* Reading the rows runs Python code, which may have closed the connection. */
    if (zt_curs_check(self) < 0)
        return nullptr;

    self->sql_type = fun_sql_type(sql);
    if (self->sql_type == ZTC_SQL_MULTI) {
        PyErr_SetString(OperationalError, kMultiResult);
        return nullptr;
    }
    if (!plan.by_rows) {
        if (zt_curs_run_prepared(self, sql, plan.flat.get()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    /* A statement the library refuses to prepare is refused for every row alike:
     * report it once, before any row runs. */
    if (zt_lib_prepare(&self->p_conn, sql) < 0)
        return zt_raise_library_error(&self->p_conn);
    self->prepare = 1;
    if (zt_curs_run_rows(self, sql, plan.rows) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

/* =============================== executebatch =============================== */

/* How a column is sent, chosen by its first value. */
enum class zt_col_kind { boolean, integer, datetime, date, time, floating, text, binary, decimal };

/* One column encoded for the array binding. `values` is the values buffer (fixed-size
 * elements or the packed layout); `lengths` holds one entry per row and must outlive
 * the batch execution, since the library reads it then. */
struct zt_column {
    int type = 0;
    int size = 0;               /* element size, or the packed byte total */
    std::vector<char> values;
    std::vector<int32_t> lengths;
};

/* Context shared by the encoders of one call. */
struct zt_batch_ctx {
    Py_ssize_t nrows = 0;
    /* Columns typed by all their values (None anywhere, ints among floats); the
     * column being encoded has its first value other than None in `first`. */
    bool flexible = false;
    /* Datetime columns go as microsecond counts (code 71) instead of texts. */
    bool datetime_counts = false;
    /* The column being encoded is read in a list's own item array. */
    bool in_place = false;
    PyObject *first = nullptr;
    PyObject *decimal_type = nullptr;   /* decimal.Decimal, looked up when first needed */
    PyRef decimal_ref;                  /* owns decimal_type */
};

int zt_batch_decimal_type(zt_batch_ctx *ctx)
{
    if (ctx->decimal_type)
        return 0;
    PyRef module(PyImport_ImportModule("decimal"));
    if (!module)
        return -1;
    PyRef type(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!type)
        return -1;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "decimal.Decimal is not a type");
        return -1;
    }
    ctx->decimal_type = type.get();
    ctx->decimal_ref = std::move(type);
    return 0;
}

bool zt_is_decimal(zt_batch_ctx *ctx, PyObject *value)
{
    return ctx->decimal_type && PyObject_TypeCheck(value, (PyTypeObject *)ctx->decimal_type);
}

/* The kind of a column from its first value; -1 with ProgrammingError when it cannot
 * be sent. */
int zt_col_kind_of(zt_batch_ctx *ctx, PyObject *first, Py_ssize_t col, zt_col_kind *kind)
{
    if (Py_TYPE(first) == &PyBool_Type)
        *kind = zt_col_kind::boolean;
    else if (PyLong_Check(first))
        *kind = zt_col_kind::integer;
    else if (PyDateTime_Check(first))
        *kind = zt_col_kind::datetime;
    else if (PyDate_Check(first))
        *kind = zt_col_kind::date;
    else if (PyTime_Check(first))
        *kind = zt_col_kind::time;
    else if (PyFloat_Check(first))
        *kind = zt_col_kind::floating;
    else if (PyUnicode_Check(first))
        *kind = zt_col_kind::text;
    else if (PyBytes_Check(first))
        *kind = zt_col_kind::binary;
    else if (first == Py_None) {
        PyErr_SetString(ProgrammingError, "Parameter is null");
        return -1;
    } else {
        if (zt_batch_decimal_type(ctx) < 0)
            return -1;
        if (!zt_is_decimal(ctx, first)) {
            PyErr_Format(ProgrammingError, "column %zd: values of type %.100s cannot be sent",
                         col + 1, Py_TYPE(first)->tp_name);
            return -1;
        }
        *kind = zt_col_kind::decimal;
    }
    return 0;
}

/* Whether an int is 0 or 1, the values a boolean column takes without loss. */
bool zt_is_zero_or_one(PyObject *value)
{
    if (!PyLong_Check(value))
        return false;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    return !overflow && (v == 0 || v == 1);
}

/* Whether a later value (not None) of a column has the column's kind, or is one the
 * column holds without loss: 0 or 1 in a boolean column, an int in a float column (whose
 * value the encoder checks) or in a flexible decimal column. A datetime is not accepted in a date column, where its time
 * would be lost. */
bool zt_col_accepts(zt_batch_ctx *ctx, zt_col_kind kind, PyObject *value)
{
    switch (kind) {
    case zt_col_kind::boolean: return Py_TYPE(value) == &PyBool_Type || zt_is_zero_or_one(value);
    case zt_col_kind::integer: return PyLong_Check(value);
    case zt_col_kind::datetime: return PyDateTime_Check(value);
    case zt_col_kind::date: return PyDate_Check(value) && !PyDateTime_Check(value);
    case zt_col_kind::time: return PyTime_Check(value);
    case zt_col_kind::floating: return PyFloat_Check(value) || PyLong_Check(value);
    case zt_col_kind::text: return PyUnicode_Check(value);
    case zt_col_kind::binary: return PyBytes_Check(value);
    /* A flexible column of decimals takes ints too: their text is a numeric's. */
    case zt_col_kind::decimal:
        return zt_is_decimal(ctx, value) ||
               (ctx->flexible && PyLong_Check(value) && !PyBool_Check(value));
    }
    return false;
}

int zt_col_type_error(PyObject *first, PyObject *value, Py_ssize_t col, Py_ssize_t row)
{
    PyErr_Format(ProgrammingError, "column %zd, row %zd: expected %.100s, got %.100s", col + 1,
                 row + 1, Py_TYPE(first)->tp_name, Py_TYPE(value)->tp_name);
    return -1;
}

/* The double of an int in a float column: 1 when it holds the int exactly, 0 when not
 * (the value would change), -1 with an error set. */
int zt_int_as_exact_double(PyObject *value, double *out)
{
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (x == -1 && PyErr_Occurred())
        return -1;
    const long long exact_limit = 1LL << 53;   /* every int up to 2**53 is a double */
    if (!overflow && x >= -exact_limit && x <= exact_limit) {
        *out = (double)x;
        return 1;
    }
    double d = PyLong_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    PyRef back(PyLong_FromDouble(d));
    if (!back)
        return -1;
    int same = PyObject_RichCompareBool(back.get(), value, Py_EQ);
    if (same > 0)
        *out = d;
    return same;
}

/* Writes v right-aligned in `width` digits (leading zeros) at p. */
inline char *zt_put_digits(char *p, int v, int width)
{
    for (int k = width - 1; k >= 0; k--) {
        p[k] = (char)('0' + v % 10);
        v /= 10;
    }
    return p + width;
}

/* "YYYY-MM-DD" (10 bytes), the year in four digits ("0005-03-07"): the library sends the
 * text as it is, and the server reads a shorter year otherwise. */
inline char *zt_put_date(char *p, int y, int m, int d)
{
    p = zt_put_digits(p, y, 4);
    *p++ = '-';
    p = zt_put_digits(p, m, 2);
    *p++ = '-';
    return zt_put_digits(p, d, 2);
}

/* "HH:MM:SS.ffffff" (15 bytes) */
inline char *zt_put_time(char *p, int h, int mi, int s, int us)
{
    p = zt_put_digits(p, h, 2);
    *p++ = ':';
    p = zt_put_digits(p, mi, 2);
    *p++ = ':';
    p = zt_put_digits(p, s, 2);
    *p++ = '.';
    return zt_put_digits(p, us, 6);
}

/* Appends one packed row: its 4-byte length in machine order, then its bytes. */
inline char *zt_put_packed(char *p, const char *data, int32_t len)
{
    std::memcpy(p, &len, sizeof len);
    p += sizeof len;
    if (len > 0) {
        std::memcpy(p, data, (size_t)len);
        p += len;
    }
    return p;
}

/* The column's values lie scattered over the heap, and reading each one's header is most
 * of an encoder's time: the value some rows ahead is asked for before it is needed. */
inline void zt_prefetch_ahead(PyObject *const *v, Py_ssize_t j, Py_ssize_t n)
{
    const Py_ssize_t ahead = 16;
    if (j + ahead < n)
        __builtin_prefetch(v[j + ahead]);
}

/* Encoders: each fills c->values and c->lengths for all rows of `v` (the items of the
 * column), checking that every value but None has the column's kind. 0, or -1 with
 * an error set, or kNeedsSnapshot: a value needs Python code to be encoded (an aware
 * datetime's utcoffset, a comparison of an int subclass) while ctx->in_place says the
 * items are a list's, which that code could change under the encoder; the caller then
 * encodes a tuple copy of the column instead. */

int zt_encode_fixed(zt_batch_ctx *ctx, zt_col_kind kind, PyObject *const *v, Py_ssize_t col,
                    zt_column *c)
{
    const Py_ssize_t n = ctx->nrows;
    PyObject *first = ctx->first;
    const size_t elem = kind == zt_col_kind::boolean ? sizeof(int32_t) : 8;
    c->type = kind == zt_col_kind::boolean ? ZTC_TYPE_INTEGER
              : kind == zt_col_kind::integer ? ZTC_TYPE_BIGINT
                                             : ZTC_TYPE_DOUBLE;
    c->size = (int)elem;
    c->values.assign((size_t)n * elem, 0);
    c->lengths.assign((size_t)n, (int32_t)elem);
    char *out = c->values.data();
    for (Py_ssize_t j = 0; j < n; j++, out += elem) {
        PyObject *value = v[j];
        zt_prefetch_ahead(v, j, n);
        if (value == Py_None) {
            /* The integer column marks NULL with length 0, the others with -1. */
            c->lengths[j] = kind == zt_col_kind::integer ? 0 : -1;
            continue;
        }
        if (!zt_col_accepts(ctx, kind, value))
            return zt_col_type_error(first, value, col, j);
        if (kind == zt_col_kind::boolean) {
            int32_t b = (value == Py_True || (value != Py_False && PyLong_AsLong(value) == 1)) ? 1 : 0;
            std::memcpy(out, &b, sizeof b);
        } else if (kind == zt_col_kind::integer) {
            long long x = PyLong_AsLongLong(value);
            if (x == -1 && PyErr_Occurred()) {
                if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    PyErr_Format(PyExc_OverflowError,
                                 "column %zd, row %zd: int does not fit in 64 bits", col + 1,
                                 j + 1);
                }
                return -1;
            }
            int64_t x64 = (int64_t)x;
            std::memcpy(out, &x64, sizeof x64);
        } else if (PyFloat_Check(value)) {
            double d = PyFloat_AS_DOUBLE(value);
            std::memcpy(out, &d, sizeof d);
        } else {
            /* Comparing an int subclass may call its own __eq__. */
            if (ctx->in_place && !PyLong_CheckExact(value))
                return kNeedsSnapshot;
            double d = 0;
            int exact = zt_int_as_exact_double(value, &d);
            if (exact < 0)
                return -1;
            if (!exact) {
                PyErr_Format(ProgrammingError,
                             "column %zd, row %zd: the int %R has no exact float value", col + 1,
                             j + 1, value);
                return -1;
            }
            std::memcpy(out, &d, sizeof d);
        }
    }
    return 0;
}

/* Checks that the packed total fits the library's 32-bit size argument. */
int zt_packed_size(size_t total, Py_ssize_t col, zt_column *c)
{
    if (total > (size_t)INT32_MAX) {
        PyErr_Format(ProgrammingError, "column %zd holds more than 2 GiB: split the batch",
                     col + 1);
        return -1;
    }
    c->size = (int)total;
    return 0;
}

/* Dates and times: texts of at most `width` bytes under their own type code (73), so the
 * library knows them by code, not by shape; the buffer is sized from the row count. A
 * datetime column goes untyped, so that each value is read as its column or
 * parameter needs: a naive value as its date and time, an aware one as its UTC date and
 * time with the offset "+00", which a timestamp with time zone reads as that instant
 * whatever the session's TimeZone. */
int zt_encode_temporal(zt_batch_ctx *ctx, zt_col_kind kind, PyObject *const *v, Py_ssize_t col,
                       zt_column *c)
{
    const Py_ssize_t n = ctx->nrows;
    PyObject *first = ctx->first;
    const int32_t width = kind == zt_col_kind::datetime ? 29 : kind == zt_col_kind::date ? 10 : 15;
    c->type = ZTC_TYPE_DATETIME_TEXT;
    c->values.assign((size_t)n * (sizeof(int32_t) + (size_t)width), 0);
    c->lengths.assign((size_t)n, width);
    char *out = c->values.data();
    for (Py_ssize_t j = 0; j < n; j++) {
        PyObject *value = v[j];
        zt_prefetch_ahead(v, j, n);
        if (value == Py_None) {
            c->lengths[j] = -1;
            out = zt_put_packed(out, nullptr, -1);
            continue;
        }
        if (!zt_col_accepts(ctx, kind, value))
            return zt_col_type_error(first, value, col, j);
        char *p = out + sizeof width;
        int32_t length = width;
        if (kind == zt_col_kind::datetime) {
            if (ctx->in_place && ((PyDateTime_DateTime *)value)->hastzinfo)
                return kNeedsSnapshot;
            bool aware = false;
            PyRef utc(zt_datetime_for_sending(value, &aware));
            if (!utc)
                return -1;
            PyObject *dt = utc.get();
            p = zt_put_date(p, PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt),
                            PyDateTime_GET_DAY(dt));
            *p++ = ' ';
            p = zt_put_time(p, PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
                            PyDateTime_DATE_GET_SECOND(dt), PyDateTime_DATE_GET_MICROSECOND(dt));
            if (aware)
                p = std::copy_n("+00", 3, p);
            length = (int32_t)(p - (out + sizeof width));
        } else if (kind == zt_col_kind::date) {
            zt_put_date(p, PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                        PyDateTime_GET_DAY(value));
        } else {
            zt_put_time(p, PyDateTime_TIME_GET_HOUR(value), PyDateTime_TIME_GET_MINUTE(value),
                        PyDateTime_TIME_GET_SECOND(value), PyDateTime_TIME_GET_MICROSECOND(value));
        }
        std::memcpy(out, &length, sizeof length);
        c->lengths[j] = length;
        out += sizeof length + (size_t)length;
    }
    c->values.resize((size_t)(out - c->values.data()));
    return zt_packed_size(c->values.size(), col, c);
}

/* Naive datetimes as microseconds since 1970-01-01 00:00:00 (code 71): the count of the
 * date and time the text form would carry. Eight bytes a row, no text to write here or to
 * read back in the library. A count carries no offset, so a column with an aware value
 * goes as texts instead: kNeedsTexts. */
int zt_encode_datetime_counts(zt_batch_ctx *ctx, PyObject *const *v, Py_ssize_t col,
                              zt_column *c)
{
    const Py_ssize_t n = ctx->nrows;
    c->type = ZTC_TYPE_DATETIME_US;
    c->size = (int)sizeof(int64_t);
    c->values.resize((size_t)n * sizeof(int64_t));
    c->lengths.assign((size_t)n, (int32_t)sizeof(int64_t));
    char *out = c->values.data();
    int last_ymd = -1;
    int64_t last_days = 0;
    for (Py_ssize_t j = 0; j < n; j++, out += sizeof(int64_t)) {
        PyObject *value = v[j];
        zt_prefetch_ahead(v, j, n);
        if (value == Py_None) {
            c->lengths[j] = -1;
            std::memset(out, 0, sizeof(int64_t));
            continue;
        }
        if (!zt_col_accepts(ctx, zt_col_kind::datetime, value))
            return zt_col_type_error(ctx->first, value, col, j);
        if (((PyDateTime_DateTime *)value)->hastzinfo) {
            /* utcoffset() may be None: the value is then naive. */
            if (ctx->in_place)
                return kNeedsSnapshot;
            bool aware = false;
            PyRef held(zt_datetime_for_sending(value, &aware));
            if (!held)
                return -1;
            if (aware)
                return kNeedsTexts;
        }
        /* Neighbouring rows mostly share their date: its day count is kept. */
        const int ymd = (PyDateTime_GET_YEAR(value) << 9) | (PyDateTime_GET_MONTH(value) << 5) |
                        PyDateTime_GET_DAY(value);
        if (ymd != last_ymd) {
            last_ymd = ymd;
            last_days = zt_days_from_civil(PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                                           PyDateTime_GET_DAY(value));
        }
        const int64_t micros = zt_datetime_micros_on(value, last_days);
        std::memcpy(out, &micros, sizeof micros);
    }
    return 0;
}

/* The packed rows of a column as they are written: `used` bytes of `out`, which is kept
 * larger than that and doubled when a row does not fit. */
struct zt_packer {
    std::vector<char> &out;
    size_t used = 0;

    void put(const char *data, int32_t len)
    {
        const size_t add = sizeof len + (len > 0 ? (size_t)len : 0);
        if (out.size() - used < add)
            out.resize(std::max(out.size() * 2, used + add));
        zt_put_packed(out.data() + used, data, len);
        used += add;
    }
};

/* The bytes a column of texts, byte strings or decimals will take, guessed from its first
 * value (the buffer grows when the guess is short). */
size_t zt_packed_guess(zt_col_kind kind, PyObject *first, Py_ssize_t n)
{
    size_t each = 16;
    if (kind == zt_col_kind::binary && PyBytes_Check(first))
        each = (size_t)PyBytes_GET_SIZE(first);
    else if (kind == zt_col_kind::text && PyUnicode_Check(first) && PyUnicode_IS_ASCII(first))
        each = (size_t)PyUnicode_GET_LENGTH(first);
    return (size_t)n * (sizeof(int32_t) + each + each / 8);
}

/* Texts, byte strings and decimals, packed in one pass (each value is read once, while
 * its object is at hand). A str is sent whole and one holding a zero character is
 * refused; a decimal goes as its str() text. A column beyond 2 GiB is refused once every
 * value has been checked. */
int zt_encode_varying(zt_batch_ctx *ctx, zt_col_kind kind, PyObject *const *v, Py_ssize_t col,
                      zt_column *c)
{
    const Py_ssize_t n = ctx->nrows;
    PyObject *first = ctx->first;
    c->type = kind == zt_col_kind::binary ? ZTC_TYPE_BINARY
              : kind == zt_col_kind::decimal ? ZTC_TYPE_NUMERIC
                                             : ZTC_TYPE_VARCHAR;
    c->lengths.resize((size_t)n);
    c->values.assign(std::min(zt_packed_guess(kind, first, n), (size_t)INT32_MAX), 0);
    zt_packer packed{c->values};
    size_t total = 0;
    for (Py_ssize_t j = 0; j < n; j++) {
        PyObject *value = v[j];
        zt_prefetch_ahead(v, j, n);
        if (value == Py_None) {
            c->lengths[j] = -1;
            total += sizeof(int32_t);
            if (total <= (size_t)INT32_MAX)
                packed.put(nullptr, -1);
            continue;
        }
        if (!zt_col_accepts(ctx, kind, value))
            return zt_col_type_error(first, value, col, j);
        const char *data = nullptr;
        Py_ssize_t len = 0;
        PyRef decimal_text;   /* a decimal's text, alive until packed */
        if (kind == zt_col_kind::binary) {
            data = PyBytes_AS_STRING(value);
            len = PyBytes_GET_SIZE(value);
        } else if (kind == zt_col_kind::text && PyUnicode_IS_COMPACT_ASCII(value)) {
            /* ASCII text is its own UTF-8, right behind the object's header. */
            data = (const char *)PyUnicode_DATA(value);
            len = PyUnicode_GET_LENGTH(value);
            if (std::memchr(data, '\0', (size_t)len) != nullptr) {
                PyErr_Format(ProgrammingError,
                             "column %zd, row %zd: text contains a zero character", col + 1,
                             j + 1);
                return -1;
            }
        } else {
            PyObject *text = value;
            if (kind == zt_col_kind::decimal) {
                decimal_text = PyRef(PyObject_Str(value));
                text = decimal_text.get();
                if (!text)
                    return -1;
            }
            data = PyUnicode_AsUTF8AndSize(text, &len);
            if (!data)
                return -1;
            /* The library ends a text at its first zero byte, which would drop the
             * rest of the value without a word: refuse it, as execute does. */
            if (std::memchr(data, '\0', (size_t)len) != nullptr) {
                PyErr_Format(ProgrammingError,
                             "column %zd, row %zd: text contains a zero character", col + 1,
                             j + 1);
                return -1;
            }
        }
        if (len > INT32_MAX) {
            PyErr_Format(ProgrammingError, "column %zd, row %zd: value longer than 2 GiB",
                         col + 1, j + 1);
            return -1;
        }
        c->lengths[j] = (int32_t)len;
        total += sizeof(int32_t) + (size_t)len;
        if (total <= (size_t)INT32_MAX)
            packed.put(data, (int32_t)len);
    }
    c->values.resize(packed.used);
    return zt_packed_size(total, col, c);
}

/* A column of NULLs only: the library lets the server type it. */
void zt_encode_nulls(zt_batch_ctx *ctx, zt_column *c)
{
    c->type = ZTC_TYPE_NULL;
    c->size = 0;
    c->values.clear();
    c->lengths.assign((size_t)ctx->nrows, -1);
}

/* The kind of a flexible column: that of its first value other than None, widened
 * to integer when ints follow booleans and to floating when floats follow ints. */
int zt_flexible_kind(zt_batch_ctx *ctx, PyObject *const *v, Py_ssize_t col, zt_col_kind *kind)
{
    if (zt_col_kind_of(ctx, ctx->first, col, kind) < 0)
        return -1;
    if (*kind != zt_col_kind::boolean && *kind != zt_col_kind::integer)
        return 0;
    for (Py_ssize_t j = 0; j < ctx->nrows; j++) {
        PyObject *value = v[j];
        if (PyFloat_Check(value)) {
            *kind = zt_col_kind::floating;
            return 0;
        }
        if (*kind == zt_col_kind::boolean && PyLong_Check(value) && Py_TYPE(value) != &PyBool_Type)
            *kind = zt_col_kind::integer;
    }
    return 0;
}

/* Encodes the items v of column `col` by its kind. */
int zt_encode_items(zt_batch_ctx *ctx, zt_col_kind kind, PyObject *const *v, Py_ssize_t col,
                    zt_column *c)
{
    switch (kind) {
    case zt_col_kind::boolean:
    case zt_col_kind::integer:
    case zt_col_kind::floating:
        return zt_encode_fixed(ctx, kind, v, col, c);
    case zt_col_kind::datetime:
        if (ctx->datetime_counts) {
            int rc = zt_encode_datetime_counts(ctx, v, col, c);
            if (rc != kNeedsTexts)
                return rc;
        }
        return zt_encode_temporal(ctx, kind, v, col, c);
    case zt_col_kind::date:
    case zt_col_kind::time:
        return zt_encode_temporal(ctx, kind, v, col, c);
    case zt_col_kind::text:
    case zt_col_kind::binary:
    case zt_col_kind::decimal:
        return zt_encode_varying(ctx, kind, v, col, c);
    }
    return 0;
}

/* The column's length, checked against the batch's rows: Python code run while an
 * earlier column was encoded may have changed a list. 0, or -1 with an error set. */
int zt_column_unchanged(zt_batch_ctx *ctx, PyObject *column)
{
    if (PySequence_Fast_GET_SIZE(column) == ctx->nrows)
        return 0;
    PyErr_SetString(ProgrammingError, "The number of parameters does not match and the "
                                      "batch operation cannot be performed");
    return -1;
}

/* Encodes column `col`: a tuple, or a list read in place (no copy of its items) for as
 * long as no Python code runs; a column of decimals, or one whose values need Python
 * code, is encoded from a tuple copy, so that code cannot change the items under the
 * encoder. `column` is then replaced by the copy. */
int zt_encode_column(zt_batch_ctx *ctx, PyRef &column, Py_ssize_t col, zt_column *c)
{
    if (zt_column_unchanged(ctx, column.get()) < 0)
        return -1;
    PyObject *const *v = PySequence_Fast_ITEMS(column.get());
    zt_col_kind kind;
    ctx->first = v[0];
    if (ctx->flexible) {
        for (Py_ssize_t j = 0; ctx->first == Py_None && j < ctx->nrows; j++)
            ctx->first = v[j];
    }
    /* Finding the kind may import decimal: the first value is held meanwhile. */
    PyRef first = PyRef::borrow(ctx->first);
    if (ctx->flexible && ctx->first == Py_None) {
        zt_encode_nulls(ctx, c);
        return 0;
    }
    if (zt_col_kind_of(ctx, ctx->first, col, &kind) < 0)
        return -1;
    if (zt_column_unchanged(ctx, column.get()) < 0)
        return -1;
    v = PySequence_Fast_ITEMS(column.get());
    if (ctx->flexible && zt_flexible_kind(ctx, v, col, &kind) < 0)
        return -1;
    ctx->in_place = PyList_CheckExact(column.get());
    int rc = kind == zt_col_kind::decimal && ctx->in_place ? kNeedsSnapshot
                                                           : zt_encode_items(ctx, kind, v, col, c);
    if (rc != kNeedsSnapshot)
        return rc;
    column = PyRef(PySequence_Tuple(column.get()));
    if (!column)
        return -1;
    ctx->in_place = false;
    return zt_encode_items(ctx, kind, PySequence_Fast_ITEMS(column.get()), col, c);
}

/* Whether an object is a sequence of values (a row or a column): not a text or byte
 * string, whose characters would become values. */
bool zt_is_value_sequence(PyObject *row)
{
    return PyTuple_Check(row) || PyList_Check(row) ||
           (PySequence_Check(row) && !PyUnicode_Check(row) && !PyBytes_Check(row) &&
            !PyByteArray_Check(row));
}

/* Takes the columns as tuples and checks their shape: every column a sequence
 * of values (not a str or bytes, whose characters would become rows), all of one
 * length. 0, or -1 with an error set. */
int zt_batch_columns(PyObject *parameter, std::vector<PyRef> *columns, Py_ssize_t *nrows)
{
    if (!zt_is_value_sequence(parameter)) {
        PyErr_Format(ProgrammingError,
                     "executebatch: the parameters must be a sequence of columns, not %.100s",
                     Py_TYPE(parameter)->tp_name);
        return -1;
    }
    PyRef outer(PySequence_Tuple(parameter));
    if (!outer)
        return -1;
    const Py_ssize_t ncols = PyTuple_GET_SIZE(outer.get());
    if (ncols > INT32_MAX) {
        PyErr_SetString(ProgrammingError, "executebatch: too many columns");
        return -1;
    }
    columns->reserve((size_t)ncols);
    for (Py_ssize_t i = 0; i < ncols; i++) {
        PyObject *column = PyTuple_GET_ITEM(outer.get(), i);
        if (!zt_is_value_sequence(column)) {
            PyErr_Format(ProgrammingError,
                         "column %zd is not a sequence of values (got %.100s)", i + 1,
                         Py_TYPE(column)->tp_name);
            return -1;
        }
        /* A list or tuple is read as it is (zt_encode_column copies a list before
         * running Python code over it); any other sequence as a tuple of its items. */
        PyRef items(PyList_CheckExact(column) || PyTuple_CheckExact(column)
                        ? PyRef::borrow(column)
                        : PyRef(PySequence_Tuple(column)));
        if (!items)
            return -1;
        columns->push_back(std::move(items));
    }
    *nrows = ncols ? PySequence_Fast_GET_SIZE(columns->back().get()) : 0;
    for (const PyRef &items : *columns) {
        if (PySequence_Fast_GET_SIZE(items.get()) !=
            PySequence_Fast_GET_SIZE(columns->front().get())) {
            PyErr_SetString(ProgrammingError, "The number of parameters does not match and the "
                                              "batch operation cannot be performed");
            return -1;
        }
    }
    if (*nrows > INT32_MAX) {
        PyErr_SetString(ProgrammingError, "executebatch: more than 2147483647 rows");
        return -1;
    }
    return 0;
}

/* Turns rows of parameters (a sequence of sequences, all of one length) into the
 * columns the encoders read, in one pass and without Python-level loops. The columns
 * hold their own references, so Python code run while encoding cannot change them.
 * 0, or -1 with ProgrammingError naming the first bad row (1-based). */
int zt_batch_rows(PyObject *parameter, std::vector<PyRef> *columns, Py_ssize_t *nrows)
{
    if (PyUnicode_Check(parameter) || PyBytes_Check(parameter) || PyByteArray_Check(parameter)) {
        PyErr_Format(ProgrammingError,
                     "executemany: the parameters must be a sequence of rows, not %.100s",
                     Py_TYPE(parameter)->tp_name);
        return -1;
    }
    PyRef rows(PySequence_Tuple(parameter));
    if (!rows)
        return -1;
    const Py_ssize_t n = PyTuple_GET_SIZE(rows.get());
    if (n > INT32_MAX) {
        PyErr_SetString(ProgrammingError, "executebatch: more than 2147483647 rows");
        return -1;
    }
    *nrows = n;
    Py_ssize_t width = -1;
    for (Py_ssize_t j = 0; j < n; j++) {
        PyObject *row = PyTuple_GET_ITEM(rows.get(), j);
        if (!zt_is_value_sequence(row)) {
            PyErr_Format(ProgrammingError,
                         "executemany: row %zd is not a sequence of parameters (got %.100s)",
                         j + 1, Py_TYPE(row)->tp_name);
            return -1;
        }
        /* A tuple is read in place; anything else as a fresh tuple of its items. */
        PyRef copy;
        if (!PyTuple_Check(row)) {
            copy = PyRef(PySequence_Tuple(row));
            if (!copy)
                return -1;
            row = copy.get();
        }
        const Py_ssize_t size = PyTuple_GET_SIZE(row);
        if (width < 0) {
            width = size;
            columns->reserve((size_t)width);
            for (Py_ssize_t i = 0; i < width; i++) {
                columns->emplace_back(PyTuple_New(n));
                if (!columns->back())
                    return -1;
            }
        } else if (size != width) {
            PyErr_Format(ProgrammingError, "executemany: row %zd has %zd parameters, row 1 has %zd",
                         j + 1, size, width);
            return -1;
        }
        for (Py_ssize_t i = 0; i < width; i++) {
            PyObject *value = PyTuple_GET_ITEM(row, i);
            Py_INCREF(value);
            PyTuple_SET_ITEM((*columns)[(size_t)i].get(), j, value);
        }
    }
    return 0;
}

PyObject *zt_curs_executebatch(cursorObject *self, PyObject *args, bool flexible, bool by_rows,
                               bool datetime_counts, bool in_place)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    zt_curs_begin_execution(self);
    if (zt_load_datetime_api() < 0)
        return nullptr;
    ZTC_Reset(&self->p_conn);

    PyObject *stringsql = nullptr, *parameter = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &stringsql, &parameter)) {
        return zt_raise_mismatch("executebatch Parameter mismatch");
    }
    const char *sql = zt_statement_utf8(stringsql, "executebatch");
    if (!sql)
        return nullptr;
    self->sql_type = fun_sql_type(sql);
    if (self->sql_type == ZTC_SQL_MULTI) {
        PyErr_SetString(ProgrammingError, kMultiResult);
        return nullptr;
    }

    zt_batch_ctx ctx;
    ctx.flexible = flexible;
    ctx.datetime_counts = datetime_counts;
    std::vector<PyRef> columns;
    if ((by_rows ? zt_batch_rows(parameter, &columns, &ctx.nrows)
                 : zt_batch_columns(parameter, &columns, &ctx.nrows)) < 0)
        return nullptr;
    /* Nothing to send: no row is executed. */
    if (columns.empty() || ctx.nrows == 0)
        Py_RETURN_NONE;

    /* Every column is encoded (and so checked) before the first is bound. */
    std::vector<zt_column> encoded(columns.size());
    for (size_t i = 0; i < columns.size(); i++) {
        if (zt_encode_column(&ctx, columns[i], (Py_ssize_t)i, &encoded[i]) < 0)
            return nullptr;
    }
    if (zt_curs_check(self) < 0)   /* a value's __str__ may have closed the connection */
        return nullptr;
    const int ncols = (int)columns.size();
    const int nrows = (int)ctx.nrows;
    for (int i = 0; i < ncols; i++) {
        zt_column &c = encoded[(size_t)i];
        /* In place, the library reads the values at execution, as it reads the lengths:
         * `encoded` keeps both until then, and saves the library a copy of every column. */
        if (zt_lib_bind_array(&self->p_conn, in_place, i + 1, ncols, PARAM_INPUT, c.type, nrows,
                              c.values.data(), c.size, c.lengths.data()) < 0)
            return zt_raise_library_error(&self->p_conn);
        /* The library copied the values; only the lengths must live until execution. */
        if (!in_place)
            std::vector<char>().swap(c.values);
    }
    self->sql_type = fun_sql_type(sql);
    const int affected = zt_lib_exec_batch(&self->p_conn, sql, nrows);
    /* An interrupt that comes with the batch's end says which way it went: a failed batch
     * left nothing behind (its statements or its COPY were rolled back); one that
     * completed was too far along to cancel, and its rows are stored. */
    if (affected < 0) {
        PyObject *failed = zt_raise_library_error(&self->p_conn);
        if (ZTC_IsBroken(&self->p_conn) == 0)
            zt_note_interrupt("the batch was cancelled: none of its rows were stored");
        return failed;
    }
    zt_note_interrupt("the batch had completed when the interrupt came, too late to cancel "
                      "it: its rows are stored (committed, unless a transaction is open)");
    /* The count of rows the server reports: a trigger may have skipped some. */
    if (flexible || self->sql_type == ZTC_SQL_ONE_ROW)
        self->rowcount = affected;
    Py_RETURN_NONE;
}

} // namespace

/* executemany(stringsql[, parameter]): a flat sequence of values is bound for one
 * execution; a sequence of rows runs the statement once per row. */
PyObject *pyzt_curs_executemany(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    try {
        return zt_curs_executemany(self, args);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* executebatch(stringsql, columns, *, flexible=False, rows=False, datetime_counts=False,
 * in_place=False): one array binding per column, one execution. flexible=True types each
 * column by all its values (None anywhere, ints among floats) and leaves in rowcount the
 * rows the whole batch affected; rows=True takes a sequence of rows instead of columns;
 * datetime_counts=True binds datetime columns as microsecond counts, which the library
 * writes without reading a text back (the values stored are the same); in_place=True
 * binds the encoded columns without the library copying them. */
PyObject *pyzt_curs_executebatch(cursorObject *self, PyObject *args, PyObject *kwds)
{
    bool flexible = false, by_rows = false, datetime_counts = false, in_place = false;
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t known = 0;
        for (auto [name, flag] :
             {std::pair<const char *, bool *>{"flexible", &flexible},
              std::pair<const char *, bool *>{"rows", &by_rows},
              std::pair<const char *, bool *>{"datetime_counts", &datetime_counts},
              std::pair<const char *, bool *>{"in_place", &in_place}}) {
            PyObject *value = PyDict_GetItemString(kwds, name);
            if (!value)
                continue;
            ++known;
            int truth = PyObject_IsTrue(value);
            if (truth < 0)
                return nullptr;
            *flag = truth != 0;
        }
        if (known != PyDict_GET_SIZE(kwds)) {
            PyErr_SetString(PyExc_TypeError,
                            "executebatch() takes only the keywords 'flexible', 'rows', "
                            "'datetime_counts' and 'in_place'");
            return nullptr;
        }
    }
    try {
        return zt_curs_executebatch(self, args, flexible, by_rows, datetime_counts, in_place);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}
