/* Placeholder entries until this concern is built. */
#include "zt_cursor.h"

PyObject *pyzt_curs_execute(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)self; (void)args; (void)kwds;
    PyErr_SetString(NotSupportedError, "execute is not supported yet");
    return nullptr;
}

void zt_curs_rowcount(cursorObject *self) { (void)self; }

int zt_curs_take_result(cursorObject *self) { (void)self; return 0; }
