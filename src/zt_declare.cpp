/* Placeholder entries until this concern is built. */
#include "zt_cursor.h"

PyObject *pyzt_curs_setinputtype(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "setinputtype is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_setinputsizes(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "setinputsizes is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_cleartype(cursorObject *self, PyObject *unused)
{
    (void)self; (void)unused;
    PyErr_SetString(NotSupportedError, "cleartype is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_clearsize(cursorObject *self, PyObject *unused)
{
    (void)self; (void)unused;
    PyErr_SetString(NotSupportedError, "clearsize is not supported yet");
    return nullptr;
}

int zt_default_parameter_type(cursorObject *self, PyObject *item, const int i)
{
    (void)self; (void)item; (void)i;
    PyErr_SetString(NotSupportedError, "parameter types are not supported yet");
    return -1;
}
