/* zt_bind.cpp - Python values -> positional input parameters of the client library.
 *
 * Every value either becomes exactly one binding or makes the call fail with a
 * Python exception before anything is bound for it; the caller must then not run
 * the statement. How a value is encoded is the conversion table's (zt_conv.h): the
 * cursor's table finds the value's family and encodes it, and this file binds it. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_conv.h"

#include <climits>
#include <new>

namespace {

const char ZT_BATCH_MESSAGE[] =
    "This function does not support batch operations, use the 'executemany' function to "
    "perform batch operations";

/* One input binding. The library copies the buffer and reads the length word during
 * the call, so both may live on the caller's stack. 0, or -1 with the library's
 * message raised. Python code run while reading a value (a __str__, __len__ or
 * __getitem__) may have closed the connection, so the session is checked each time. */
int zt_bind_input(cursorObject *self, int pos, int type, void *buffer, int buflen, int length)
{
    if (zt_curs_check(self) < 0)
        return -1;
    int len = length;
    if (zt_lib_bind_param(&self->p_conn, pos, PARAM_INPUT, type, buffer, buflen, &len) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    return 0;
}

} // namespace

int32_t zt_declared_size(const cursorObject *self, Py_ssize_t i)
{
    if (self->ParameterSize == nullptr || i < 0 || i >= self->ParameterSizeNum)
        return -1;
    return self->ParameterSize[i];
}

int zt_bind_value(cursorObject *self, int pos, PyObject *item, zt_float_mode floats)
{
    try {
        if (PyDateTimeAPI == nullptr && zt_load_datetime_api() < 0)
            return -1;
        /* A cursor with an adapters map sends PostgreSQL's own types (a list as an array). */
        const zt_conv_table &table = zt_conv_of(self);
        if (table.bind_own != nullptr) {
            int typed = table.bind_own(self, pos, item);
            if (typed != 0)
                return typed < 0 ? -1 : 0;
        }
        if (PyList_Check(item) || PyTuple_Check(item)) {
            PyErr_SetString(OperationalError, ZT_BATCH_MESSAGE);
            return -1;
        }
        if (PyDateTimeAPI == nullptr && zt_load_datetime_api() < 0)
            return -1;
        const zt_encode_ctx ctx = {pos, zt_declared_size(self, pos - 1), floats};
        zt_param param;
        if (zt_conv_encode(table, ctx, item, param) < 0)
            return -1;
        return zt_bind_input(self, pos, param.type, const_cast<char *>(param.data),
                             param.buflen, param.length);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

int zt_bind_parameters(cursorObject *self, PyObject *parameters, zt_float_mode floats)
{
    /* The length is asked again before each item, so a sequence that changes size
     * while its items are read is walked only as far as it reaches. */
    for (Py_ssize_t i = 0;; ++i) {
        Py_ssize_t n = PyObject_Length(parameters);
        if (n < 0)
            return -1;
        if (i >= n)
            return 0;
        if (i >= INT_MAX) {
            PyErr_SetString(ProgrammingError, "too many parameters");
            return -1;
        }
        PyRef index(PyLong_FromSsize_t(i));
        if (!index)
            return -1;
        PyRef item(PyObject_GetItem(parameters, index.get()));
        if (!item)
            return -1;
        if (zt_bind_value(self, (int)(i + 1), item.get(), floats) < 0)
            return -1;
    }
}
