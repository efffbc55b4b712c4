/* zt_batch.h - what the files of executemany and executebatch share: the kinds a batch
 * column is sent as, an encoded column, the context of one call, and the routines that
 * type, shape and encode columns. Expects the interpreter lock throughout. */
#ifndef ZT_BATCH_H
#define ZT_BATCH_H

#include "zt_cursor.h"
#include "pyzt_util.h"

#include <cstdint>
#include <vector>

/* The text a multi-result statement is refused with by executemany and executebatch. */
inline const char *const kMultiResult =
    "This function does not support multi-result set operations, use the 'execute()' function";

/* How a column is sent, chosen by its first value. */
enum class zt_col_kind { boolean, integer, datetime, date, time, floating, text, binary, decimal };

/* One column encoded for the array binding. `values` is the values buffer (fixed-size
 * elements or the packed layout); `lengths` holds one entry per row and must outlive
 * the batch execution, since the library reads it then. */
struct zt_column {
    int type = 0;
    int size = 0;               /* element size, or the packed byte total */
    unsigned server_oid = 0;    /* a column of PostgreSQL's own types: their server type */
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
    PyObject *decimal_type = nullptr;   /* decimal.Decimal (borrowed from the conversion
                                           layer), looked up when first needed */
};

/* Column typing (zt_batch_typing.cpp). */
int zt_batch_decimal_type(zt_batch_ctx *ctx);
bool zt_is_decimal(zt_batch_ctx *ctx, PyObject *value);
int zt_col_kind_of(zt_batch_ctx *ctx, PyObject *first, Py_ssize_t col, zt_col_kind *kind);
bool zt_col_accepts(zt_batch_ctx *ctx, zt_col_kind kind, PyObject *value);
int zt_col_type_error(PyObject *first, PyObject *value, Py_ssize_t col, Py_ssize_t row);
int zt_int_as_exact_double(PyObject *value, double *out);
int zt_flexible_kind(zt_batch_ctx *ctx, PyObject *const *v, Py_ssize_t col, zt_col_kind *kind);

/* Encoding one column (zt_batch_encode.cpp). */
int zt_encode_column(zt_batch_ctx *ctx, PyRef &column, Py_ssize_t col, zt_column *c);

/* The parameters' shape (zt_batch_shape.cpp): columns as tuples (or lists read in
 * place), all of one length. */
int zt_batch_columns(PyObject *parameter, std::vector<PyRef> *columns, Py_ssize_t *nrows);
int zt_batch_rows(PyObject *parameter, std::vector<PyRef> *columns, Py_ssize_t *nrows);

#endif
