/* Placeholder entries until this concern is built. */
#include "zt_cursor.h"

PyObject *pyzt_curs_executemany(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "executemany is not supported yet");
    return nullptr;
}

PyObject *pyzt_curs_executebatch(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "executebatch is not supported yet");
    return nullptr;
}
