/* zt_batch_typing.cpp - which kind each column of a batch is sent as, and which of
 * its values a column of that kind takes. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_batch.h"
#include "zt_conv.h"

#include <utility>

int zt_batch_decimal_type(zt_batch_ctx *ctx)
{
    if (ctx->decimal_type)
        return 0;
    ctx->decimal_type = zt_conv_decimal_type();
    return ctx->decimal_type ? 0 : -1;
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
static bool zt_is_zero_or_one(PyObject *value)
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
    /* A flexible column of texts takes ints and booleans too, as their texts. */
    case zt_col_kind::text:
        return PyUnicode_Check(value) || (ctx->flexible && PyLong_Check(value));
    case zt_col_kind::binary: return PyBytes_Check(value);
    /* A flexible column of decimals takes ints and floats too, as numeric texts. */
    case zt_col_kind::decimal:
        return zt_is_decimal(ctx, value) ||
               (ctx->flexible && ((PyLong_Check(value) && !PyBool_Check(value)) ||
                                  PyFloat_Check(value)));
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


/* The kind of a flexible column, from all its values (None aside), whatever their order:
 * booleans, then integer when ints come too, floating when floats do; decimal when a
 * Decimal comes with ints or floats (their numeric texts); text when a str comes with
 * ints or booleans (their texts as the server writes them). A mix that no kind holds as
 * execute would store it keeps the kind of the first value, and its encoder refuses the
 * value that does not fit. Expects the decimal class looked up (zt_batch_decimal_type). */
int zt_flexible_kind(zt_batch_ctx *ctx, PyObject *const *v, Py_ssize_t col, zt_col_kind *kind)
{
    if (zt_col_kind_of(ctx, ctx->first, col, kind) < 0)
        return -1;
    bool has_bool = false, has_int = false, has_float = false, has_decimal = false;
    bool has_text = false, has_other = false;
    for (Py_ssize_t j = 0; j < ctx->nrows; j++) {
        PyObject *value = v[j];
        if (value == Py_None)
            continue;
        if (Py_TYPE(value) == &PyBool_Type)
            has_bool = true;
        else if (PyLong_Check(value))
            has_int = true;
        else if (PyFloat_Check(value))
            has_float = true;
        else if (PyUnicode_Check(value))
            has_text = true;
        else if (zt_is_decimal(ctx, value))
            has_decimal = true;
        else
            has_other = true;
    }
    if (has_other)
        return 0;
    if (has_text) {
        if (!has_float && !has_decimal)
            *kind = zt_col_kind::text;
    } else if (has_decimal) {
        if (!has_bool)
            *kind = zt_col_kind::decimal;
    } else if (has_float) {
        *kind = zt_col_kind::floating;
    } else if (has_int) {
        *kind = zt_col_kind::integer;
    }
    return 0;
}
