/* Placeholder entries until this concern is built. */
#include "zt_cursor.h"

PyObject *pyzt_curs_getResultcolname(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    PyErr_SetString(NotSupportedError, "getResultcolname is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_getResultcolseq(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    PyErr_SetString(NotSupportedError, "getResultcolseq is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_getResultcolsize(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    PyErr_SetString(NotSupportedError, "getResultcolsize is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_getResultcolscale(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    PyErr_SetString(NotSupportedError, "getResultcolscale is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_getResultcolisnull(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    PyErr_SetString(NotSupportedError, "getResultcolisnull is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_getResultcoldefault(cursorObject *self, PyObject *args)
{
    (void)self; (void)args;
    PyErr_SetString(NotSupportedError, "getResultcoldefault is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_getResulttable(cursorObject *self, PyObject *unused)
{
    (void)self; (void)unused;
    PyErr_SetString(NotSupportedError, "getResulttable is not supported yet");
    return nullptr;
}
