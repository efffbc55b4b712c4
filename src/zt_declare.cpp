/* zt_declare.cpp - declared parameter types and sizes (setinputtype, setinputsizes,
 * cleartype, clearsize) and the type-code rule of procedure and function parameters. */
#include "zt_cursor.h"
#include "zt_conv.h"
#include "pyzt_util.h"

#include <climits>
#include <cstdlib>

namespace {

/* How one declaration item is read: types refuse None, sizes store -1 for it. */
enum class zt_decl_kind { types, sizes };

/* Reads one item of a declaration list into *out. 0, or -1 with an error set.
 * Values are 32-bit on the library side: a value that does not fit is refused
 * instead of being narrowed into some other, silently wrong size or code. */
int zt_decl_item(PyObject *item, zt_decl_kind kind, int32_t *out)
{
    if (item == Py_None) {
        if (kind == zt_decl_kind::types) {
            PyErr_SetString(ProgrammingError, "setinputsizes  Parameter is none");
            return -1;
        }
        *out = -1;
        return 0;
    }
    if (!PyLong_Check(item)) {
        PyErr_SetString(ProgrammingError, "setinputsizes  Parameter is not int");
        return -1;
    }
    long value = PyLong_AsLong(item);
    if (value == -1 && PyErr_Occurred())
        return -1;
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "declared value %ld does not fit in 32 bits", value);
        return -1;
    }
    *out = static_cast<int32_t>(value);
    return 0;
}

/* Reads a whole declaration list into a new C-allocated array (stored in *array, with
 * its length in *count). 0, or -1 with an error set and nothing allocated. The list is
 * read by its length and by integer position, so any sequence works. */
int zt_decl_read(PyObject *list, zt_decl_kind kind, int32_t **array, int32_t *count)
{
    Py_ssize_t n = PyObject_Length(list);
    if (n < 0)
        return -1;
    if (n > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many declared parameters");
        return -1;
    }
    /* One extra entry so that an empty declaration still gives a present array:
     * declaring zero types differs from declaring none. */
    int32_t *values = static_cast<int32_t *>(std::malloc(sizeof(int32_t) * (size_t)(n + 1)));
    if (!values) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyRef index(PyLong_FromSsize_t(i));
        PyRef item(index ? PyObject_GetItem(list, index.get()) : nullptr);
        if (!item || zt_decl_item(item.get(), kind, &values[i]) < 0) {
            std::free(values);
            return -1;
        }
    }
    *array = values;
    *count = static_cast<int32_t>(n);
    return 0;
}

/* The single positional argument of a declaration method; keywords are ignored. */
PyObject *zt_decl_argument(PyObject *args, const char *mismatch)
{
    PyObject *list = nullptr;
    if (!PyArg_ParseTuple(args, "O", &list)) {
        return zt_raise_mismatch(mismatch);
    }
    return list;
}

} // namespace

/* setinputtype(types): replaces the declared type codes. */
PyObject *pyzt_curs_setinputtype(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    if (zt_curs_check(self) < 0)
        return nullptr;
    PyObject *list = zt_decl_argument(args, "setinputtype  Parameter mismatch");
    if (!list)
        return nullptr;
    int32_t *types = nullptr;
    int32_t count = 0;
    if (zt_decl_read(list, zt_decl_kind::types, &types, &count) < 0)
        return nullptr;
    std::free(self->ParameterType);
    self->ParameterType = types;
    self->ParameterNum = count;
    Py_RETURN_NONE;
}

/* setinputsizes(sizes): replaces the declared sizes (None: no size for a position).
 * The count is kept so that binding never reads beyond the declared list. */
PyObject *pyzt_curs_setinputsizes(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    if (zt_curs_check(self) < 0)
        return nullptr;
    PyObject *list = zt_decl_argument(args, "setinputsizes  Parameter mismatch");
    if (!list)
        return nullptr;
    int32_t *sizes = nullptr;
    int32_t count = 0;
    if (zt_decl_read(list, zt_decl_kind::sizes, &sizes, &count) < 0)
        return nullptr;
    std::free(self->ParameterSize);
    self->ParameterSize = sizes;
    self->ParameterSizeNum = count;
    Py_RETURN_NONE;
}

/* cleartype(): drops the declared type codes. */
PyObject *pyzt_curs_cleartype(cursorObject *self, PyObject *unused)
{
    (void)unused;
    if (zt_curs_check(self) < 0)
        return nullptr;
    if (self->ParameterType) {
        std::free(self->ParameterType);
        self->ParameterType = nullptr;
        self->ParameterNum = 0;
    }
    Py_RETURN_NONE;
}

/* clearsize(): drops the declared sizes. */
PyObject *pyzt_curs_clearsize(cursorObject *self, PyObject *unused)
{
    (void)unused;
    if (zt_curs_check(self) < 0)
        return nullptr;
    if (self->ParameterSize) {
        std::free(self->ParameterSize);
        self->ParameterSize = nullptr;
        self->ParameterSizeNum = 0;
    }
    Py_RETURN_NONE;
}

/* The type code of the parameter at position i (from 0) with value item (borrowed;
 * null when fetching it failed). Declared codes win; a position beyond them is an
 * error. Without declarations the Python type decides, datetime before date since it
 * is a subclass of it. Returns -1 with an error set on failure. */
int zt_default_parameter_type(cursorObject *self, PyObject *item, const int i)
{
    if (!item) {
        PyErr_SetString(ProgrammingError, "The parameter variable is empty");
        return -1;
    }
    if (self->ParameterType) {
        if (i < 0 || i >= self->ParameterNum) {
            PyErr_SetString(ProgrammingError, "The parameter is out of range");
            return -1;
        }
        return self->ParameterType[i];
    }
    /* Callers load the datetime interface before binding; load it here when not. */
    if (!PyDateTimeAPI && zt_load_datetime_api() < 0)
        return -1;
    /* The family of the value (the cursor's conversion table) names its code; a value
     * no family takes has none. */
    const zt_adapter *adapter = zt_conv_find(zt_conv_of(self), item);
    if (adapter == nullptr && PyErr_Occurred())
        return -1;
    return adapter != nullptr ? adapter->call_code : ZTC_TYPE_NULL;
}
