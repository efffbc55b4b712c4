/* zt_face.h - what the ztcondb package's psycopg-style face adds to the module: %s /
 * %(name)s placeholders beside the library's ? markers, row makers and the command tag.
 * Module functions the package calls; the module's own methods do not use them. */
#ifndef ZT_FACE_H
#define ZT_FACE_H

#include "pyztdb.h"

/* (text, params) as the library takes them: a statement with %s or %(name)s placeholders
 * (or only %%) becomes one with ? markers, its ? operators doubled and %% as %, and a
 * mapping's values become a tuple in the placeholders' order; a statement with ? markers
 * is returned as it is. Raises ProgrammingError for mixed styles, malformed % sequences
 * and parameter counts that do not match, each message naming the style it expected.
 * A new tuple, or null with an error set. */
PyObject *zt_convert_placeholders(PyObject *text, PyObject *params);

/* The module functions of zt_placeholders.cpp, zt_rows.cpp and zt_status.cpp (added at
 * import). */
extern PyMethodDef zt_placeholder_methods[];
extern PyMethodDef zt_row_methods[];
extern PyMethodDef zt_status_methods[];
/* _pyztdb.RowMaker (zt_rows.cpp). */
extern PyTypeObject RowMakerType;

#endif
