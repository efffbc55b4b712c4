/* pyztdb.h - the module's exception classes, created once at import and held for the
 * life of the process. */
#ifndef PYZTDB_H
#define PYZTDB_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern PyObject *Error, *Warning, *InterfaceError, *DatabaseError, *DataError,
    *OperationalError, *IntegrityError, *InternalError, *ProgrammingError,
    *NotSupportedError;

extern "C" void psyco_errors_fill(PyObject *dict);

#endif
