/* zt_metadata.cpp - per-column questions about the current result: the library's own
 * column name and number, the size and scale that description reports, and three
 * placeholders that always answer None. */
#include "zt_cursor.h"
#include "pyzt_util.h"

namespace {

/* Item `item` (from 0) of column n's description tuple. The description is read
 * through the sequence protocol, so a value written over it from Python gives an
 * error rather than a bad read. */
PyObject *zt_curs_description_item(cursorObject *self, PyObject *args, const char *mismatch,
                                   Py_ssize_t item)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    int n = 0;
    if (!PyArg_ParseTuple(args, "i", &n)) {
        return zt_raise_mismatch(mismatch);
    }
    PyObject *description = self->description;
    if (!description) {
        PyErr_SetString(OperationalError,
                        "The result set does not exist and the column width cannot be obtained");
        return nullptr;
    }
    Py_ssize_t count = 0;
    if (description != Py_None) {
        count = PyObject_Length(description);
        if (count < 0)
            return nullptr;
    }
    if (n < 1 || n > count) {
        PyErr_SetString(OperationalError, "The serial number abnormality");
        return nullptr;
    }
    PyRef column(PySequence_GetItem(description, n - 1));
    if (!column)
        return nullptr;
    return PySequence_GetItem(column.get(), item);
}

} // namespace

/* getResultcolname(n): the name of column n (from 1) as the library reports it. */
PyObject *pyzt_curs_getResultcolname(cursorObject *self, PyObject *args)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    int n = 0;
    if (!PyArg_ParseTuple(args, "i", &n)) {
        return zt_raise_mismatch("getResultcolname  Parameter mismatch");
    }
    if (!self->p_results) {
        PyErr_SetString(OperationalError, "Result is NONE");
        return nullptr;
    }
    /* The library writes at most 255 bytes and a zero. */
    char col_name[256];
    std::memset(col_name, 0, sizeof col_name);
    if (ZTC_getResultcolname(&self->p_results, n, col_name) < 0) {
        PyErr_SetString(OperationalError, "The serial number abnormality");
        return nullptr;
    }
    col_name[sizeof col_name - 1] = '\0';
    return PyUnicode_FromString(col_name);
}

/* getResultcolseq(name): the number (from 1) of the first column of that name. */
PyObject *pyzt_curs_getResultcolseq(cursorObject *self, PyObject *args)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    const char *name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) {
        return zt_raise_mismatch("getResultcolseq Parameter mismatch");
    }
    if (!self->p_results) {
        PyErr_SetString(OperationalError, "Result is NONE");
        return nullptr;
    }
    int seq = ZTC_getResultcolseq(&self->p_results, name);
    if (seq <= 0) {
        PyErr_SetString(OperationalError, "The specified column was not found");
        return nullptr;
    }
    return PyLong_FromLong(seq);
}

/* getResultcolsize(n): the size of column n in description. */
PyObject *pyzt_curs_getResultcolsize(cursorObject *self, PyObject *args)
{
    return zt_curs_description_item(self, args, "getResultcolsize Parameter mismatch", 4);
}

/* getResultcolscale(n): the scale of column n in description. */
PyObject *pyzt_curs_getResultcolscale(cursorObject *self, PyObject *args)
{
    return zt_curs_description_item(self, args, "getResultcolscale Parameter mismatch", 5);
}

/* Placeholders: no check, arguments ignored, always None. */
PyObject *pyzt_curs_getResultcolisnull(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    Py_RETURN_NONE;
}

PyObject *pyzt_curs_getResultcoldefault(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    Py_RETURN_NONE;
}

PyObject *pyzt_curs_getResulttable(cursorObject *self, PyObject *unused)
{
    (void)self; (void)unused;
    Py_RETURN_NONE;
}
