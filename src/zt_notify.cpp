/* zt_notify.cpp - notifications of the connection's session (LISTEN / NOTIFY): the
 * socket for select(), the notifications received so far, and a wait for the next one
 * that releases the interpreter lock. */
#include "zt_serving.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <climits>
#include <cstring>
#include <cmath>

PyObject *pyzt_conn_fileno(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    int fd = ZTC_Socket(&self->p_conn);
    if (fd < 0) {
        PyErr_SetString(OperationalError, "The session has no socket");
        return nullptr;
    }
    return PyLong_FromLong(fd);
}

/* One notification as (channel, payload, pid); texts that are not UTF-8 keep their
 * bytes as replacement characters rather than failing the whole list. */
static PyObject *zt_notify_tuple(const ZTC_NOTIFY &n)
{
    PyRef channel(PyUnicode_DecodeUTF8(n.channel, (Py_ssize_t)std::strlen(n.channel), "replace"));
    PyRef payload(PyUnicode_DecodeUTF8(n.payload, n.payload_length, "replace"));
    if (!channel || !payload)
        return nullptr;
    return Py_BuildValue("(OOi)", channel.get(), payload.get(), n.pid);
}

PyObject *pyzt_conn_getnotifies(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    for (;;) {
        ZTC_NOTIFY n{};
        int rc = ZTC_GetNotify(&self->p_conn, &n);
        if (rc == ZTC_NO_MORE)
            break;
        if (rc < 0) {
            /* What was taken already is handed out; the failure shows at the next call. */
            if (PyList_GET_SIZE(list.get()) > 0)
                break;
            return zt_raise_library_error(&self->p_conn);
        }
        PyRef item(zt_notify_tuple(n));
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyObject *pyzt_conn_waitnotify(RhConnect *self, PyObject *args)
{
    PyObject *timeout = Py_None;
    if (!PyArg_ParseTuple(args, "|O:waitnotify", &timeout))
        return nullptr;
    int ms = -1;
    if (timeout != Py_None) {
        double seconds = PyFloat_AsDouble(timeout);
        if (seconds == -1.0 && PyErr_Occurred())
            return nullptr;
        if (std::isnan(seconds) || seconds < 0) {
            PyErr_SetString(PyExc_ValueError, "waitnotify: timeout must be a number >= 0 or None");
            return nullptr;
        }
        ms = seconds * 1000.0 >= (double)INT_MAX ? INT_MAX : (int)std::ceil(seconds * 1000.0);
    }
    if (zt_conn_check(self) < 0)
        return nullptr;
    int rc = zt_lib_wait_notify(&self->p_conn, ms);
    if (rc < 0)
        return zt_raise_library_error(&self->p_conn);
    return PyBool_FromLong(rc == 0);
}
