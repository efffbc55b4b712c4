/* zt_batch_shape.cpp - the parameters of a batch (columns, or rows turned into
 * columns) taken as tuples and checked for shape before any value is encoded. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_batch.h"

#include <climits>
#include <vector>

namespace {

/* Whether an object is a sequence of values (a row or a column): not a text or byte
 * string, whose characters would become values. */
bool zt_is_value_sequence(PyObject *row)
{
    return PyTuple_Check(row) || PyList_Check(row) ||
           (PySequence_Check(row) && !PyUnicode_Check(row) && !PyBytes_Check(row) &&
            !PyByteArray_Check(row));
}

} // namespace

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
