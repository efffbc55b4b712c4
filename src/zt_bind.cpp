/* Placeholder until parameter binding is built. */
#include "zt_cursor.h"

int zt_bind_value(cursorObject *self, int pos, PyObject *item, zt_float_mode floats)
{
    (void)self; (void)pos; (void)item; (void)floats;
    PyErr_SetString(NotSupportedError, "parameters are not supported yet");
    return -1;
}

int zt_bind_parameters(cursorObject *self, PyObject *parameters, zt_float_mode floats)
{
    return zt_bind_value(self, 1, parameters, floats);
}

int32_t zt_declared_size(const cursorObject *self, Py_ssize_t i)
{
    if (self->ParameterSize == nullptr || i < 0 || i >= self->ParameterSizeNum)
        return -1;
    return self->ParameterSize[i];
}
