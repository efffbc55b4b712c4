/* zt_copyrows.h - rows of COPY's text format (zt_copyrows.cpp): module functions that
 * need no session. */
#ifndef ZT_COPYROWS_H
#define ZT_COPYROWS_H

#include <Python.h>

PyObject *pyzt_copy_text_row(PyObject *module, PyObject *args);
PyObject *pyzt_copy_text_fields(PyObject *module, PyObject *args);

#endif
