/* Placeholder entries until this concern is built. */
#include "zt_cursor.h"

PyObject *pyzt_curs_callproc(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "callproc is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_callfunc(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "callfunc is not supported yet");
    return nullptr;
}
