/* Placeholder entries until this concern is built. */
#include "zt_cursor.h"

PyObject *pyzt_curs_fetchone(cursorObject *self, PyObject *unused)
{
    (void)self; (void)unused;
    PyErr_SetString(NotSupportedError, "fetchone is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_fetchmany(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "fetchmany is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_fetchall(cursorObject *self, PyObject *unused)
{
    (void)self; (void)unused;
    PyErr_SetString(NotSupportedError, "fetchall is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_nextset(cursorObject *self, PyObject *unused)
{
    (void)self; (void)unused;
    PyErr_SetString(NotSupportedError, "nextset is not supported yet");
    return nullptr;
}
