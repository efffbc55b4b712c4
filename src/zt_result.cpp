/* Placeholder until result description and row conversion are built. */
#include "zt_cursor.h"

int zt_curs_description(cursorObject *self)
{
    (void)self;
    return 0;
}

PyObject *_pyzt_curs_buildrow(cursorObject *self)
{
    (void)self;
    PyErr_SetString(NotSupportedError, "rows are not supported yet");
    return nullptr;
}
