/* zt_batch_encode.cpp - the encoders that turn one column of Python values into the
 * library's array layout (fixed-size elements or packed rows). */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_batch.h"

#include <algorithm>
#include <cmath>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace {

/* An encoder's answer: run Python code only on a private copy of the column. */
const int kNeedsSnapshot = 1;
/* The counts encoder's answer: the column holds an aware datetime and goes as texts. */
const int kNeedsTexts = 2;

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

/* The text a number goes as in a text or decimal column, as the server would write the
 * value execute sends: a bool as "true" / "false" (a boolean's text), an int as its
 * digits (no Python code runs, not even a subclass's __str__), a float as the decimal
 * the server makes of a double (15 significant digits, "NaN", "Infinity"), a Decimal as
 * its str(). A new str, or null with an error set. */
PyObject *zt_batch_value_text(PyObject *value)
{
    if (PyBool_Check(value))
        return PyUnicode_FromString(value == Py_True ? "true" : "false");
    if (PyLong_Check(value))
        return PyLong_Type.tp_repr(value);
    if (PyFloat_Check(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        if (std::isnan(d))
            return PyUnicode_FromString("NaN");
        if (std::isinf(d))
            return PyUnicode_FromString(d > 0 ? "Infinity" : "-Infinity");
        char *text = PyOS_double_to_string(d, 'g', 15, 0, nullptr);
        if (text == nullptr)
            return nullptr;
        PyObject *str = PyUnicode_FromString(text);
        PyMem_Free(text);
        return str;
    }
    return PyObject_Str(value);
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
        } else if (kind == zt_col_kind::text && PyUnicode_Check(value) &&
                   PyUnicode_IS_COMPACT_ASCII(value)) {
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
            if (!PyUnicode_Check(value)) {
                decimal_text = PyRef(zt_batch_value_text(value));
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

} // namespace

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
    /* Typing a flexible column by all its values asks each whether it is a Decimal. */
    if (ctx->flexible && zt_batch_decimal_type(ctx) < 0)
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

