/* pyztmodule.cpp - the _pyztdb module: initialisation, the module functions _connect
 * and version, and the DB-API exception classes. */
#include "pyztdb.h"
#include "pyzt_util.h"
#include "zt_connect.h"
#include "zt_copyrows.h"
#include "zt_cursor.h"
#include "zt_face.h"
#include "zt_session.h"

#include <cstring>

/* Written once by PyInit__pyztdb; each holds its class for the life of the process. */
PyObject *Error, *Warning, *InterfaceError, *DatabaseError, *DataError, *OperationalError,
    *IntegrityError, *InternalError, *ProgrammingError, *NotSupportedError;

namespace {

struct exctable_row {
    const char *name;   /* "module.Class" */
    PyObject **exc;     /* where the created class is stored */
    PyObject **base;    /* null: UnicodeError */
    const char *docstr;
};

/* A row's base must stand in an earlier row: it is read when the row is processed. */
const exctable_row exctable[] = {
    {"pyztdb.Error", &Error, nullptr, nullptr},
    {"pyztdb.Warning", &Warning, nullptr, nullptr},
    {"pyztdb.InterfaceError", &InterfaceError, &Error, nullptr},
    {"pyztdb.DatabaseError", &DatabaseError, &Error, nullptr},
    {"pyztdb.DataError", &DataError, &DatabaseError, nullptr},
    {"pyztdb.OperationalError", &OperationalError, &DatabaseError, nullptr},
    {"pyztdb.IntegrityError", &IntegrityError, &DatabaseError, nullptr},
    {"pyztdb.InternalError", &InternalError, &DatabaseError, nullptr},
    {"pyztdb.ProgrammingError", &ProgrammingError, &DatabaseError, nullptr},
    {"pyztdb.NotSupportedError", &NotSupportedError, &DatabaseError, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

/* Creates the class of one row into its variable. 0, or -1 with an error set. */
int zt_make_exception(const exctable_row &row)
{
    PyRef dict(PyDict_New());
    if (!dict)
        return -1;
    if (row.docstr) {
        PyRef doc(PyUnicode_FromString(row.docstr));
        if (!doc || PyDict_SetItemString(dict.get(), "__doc__", doc.get()) < 0)
            return -1;
    }
    PyObject *base = row.base ? *row.base : PyExc_UnicodeError;
    PyObject *cls = PyErr_NewException(row.name, base, dict.get());
    if (!cls)
        return -1;
    *row.exc = cls;
    return 0;
}

/* Adds a static type to the module; the module keeps one reference. */
int zt_add_type(PyObject *module, const char *name, PyTypeObject *type)
{
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject *>(type)) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

/* Adds each function of `methods` to the type as a static method. 0, or -1 with an
 * error set. */
int zt_add_static_methods(PyTypeObject *type, PyMethodDef *methods)
{
    for (PyMethodDef *def = methods; def->ml_name != nullptr; ++def) {
        PyRef function(PyCFunction_NewEx(def, nullptr, nullptr));
        if (!function)
            return -1;
        PyRef method(PyStaticMethod_New(function.get()));
        if (!method || PyDict_SetItemString(type->tp_dict, def->ml_name, method.get()) < 0)
            return -1;
    }
    PyType_Modified(type);
    return 0;
}

/* _connect(port, host, database, user, password, charset, usessl): a new connection,
 * or null with an error set. The connection type takes host first. */
PyObject *pyzt_connect(PyObject *, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"port", "host", "database", "user", "password",
                                   "charset", "usessl", nullptr};
    int port = 0;
    const char *host = nullptr, *database = nullptr, *user = nullptr, *password = nullptr,
               *charset = nullptr, *usessl = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "i|sssssz", const_cast<char **>(kwlist),
                                     &port, &host, &database, &user, &password, &charset,
                                     &usessl)) {
        PyErr_SetString(ProgrammingError, "Connection parameter error");
        return nullptr;
    }
    /* An omitted text goes as None, which the connection's own parsing refuses. */
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&connectionType), "sisssss",
                                 host, port, database, user, password, charset, usessl);
}

/* ZT_VERSION is pyproject.toml's version, passed by the build (CMakeLists.txt). */
#ifndef ZT_VERSION
#error "ZT_VERSION is not defined: build through CMakeLists.txt"
#endif

PyObject *pyzt_version(PyObject *, PyObject *)
{
    return PyUnicode_FromString("ztcondb version " ZT_VERSION);
}

#ifdef ZT_LEAK_PROBE
/* Sanitizer builds only: takes one reference to `obj` and never gives it back, so the
 * test of the sanitizer setup can show that a one-object reference leak is reported. */
PyObject *pyzt_leak_probe(PyObject *, PyObject *obj)
{
    Py_INCREF(obj);
    Py_RETURN_NONE;
}
#endif

PyMethodDef pyztdbMethods[] = {
    ZT_METHD("_connect", pyzt_connect, METH_VARARGS | METH_KEYWORDS,
             "_connect($module, /, port, host=<unrepresentable>, database=<unrepresentable>, user=<unrepresentable>, password=<unrepresentable>, charset=<unrepresentable>, usessl=None)\n--\n\nOpens a connection (port first)."),
    ZT_METHD("version", pyzt_version, METH_NOARGS,
             "version($module, /)\n--\n\nThe module's version text."),
    ZT_METHD("_copy_text_row", pyzt_copy_text_row, METH_VARARGS,
             "_copy_text_row($module, row, fallback, out, /)\n--\n\nAppends row as a line of COPY text data to the bytearray out (fallback(value) gives the str of other types); returns len(out)."),
    ZT_METHD("_copy_text_fields", pyzt_copy_text_fields, METH_VARARGS,
             "_copy_text_fields($module, data, start, /)\n--\n\nThe fields (str or None) of the COPY text line at offset start of data and the offset after it; None without a whole line."),
#ifdef ZT_LEAK_PROBE
    ZT_METH("_leak_probe", pyzt_leak_probe, METH_O),
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef pyztdbmodule = {
    PyModuleDef_HEAD_INIT,
    "_pyztdb",
    nullptr,
    -1, /* process-wide state only: a single-phase module */
    pyztdbMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

/* Publishes every exception class under its short name (after the last "."). */
extern "C" void psyco_errors_fill(PyObject *dict)
{
    for (const exctable_row *row = exctable; row->name; ++row) {
        if (!*row->exc)
            continue;
        const char *dot = std::strrchr(row->name, '.');
        PyDict_SetItemString(dict, dot ? dot + 1 : row->name, *row->exc);
    }
}

PyMODINIT_FUNC PyInit__pyztdb(void)
{
    Py_SET_TYPE(&connectionType, &PyType_Type);
    if (PyType_Ready(&connectionType) < 0)
        return nullptr;
    Py_SET_TYPE(&cursorType, &PyType_Type);
    if (PyType_Ready(&cursorType) == -1)
        return nullptr;

    PyRef module(PyModule_Create(&pyztdbmodule));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());

    for (const exctable_row *row = exctable; row->name; ++row)
        if (zt_make_exception(*row) < 0)
            return nullptr;

    psyco_errors_fill(dict);
    /* Opens run the signal handlers between ticks too, so Ctrl-C ends a connect. */
    ZTC_SetOpenWaitHandler(zt_wait_tick, nullptr, ZT_WAIT_TICK_MS);
    if (zt_add_type(module.get(), "connection", &connectionType) < 0 ||
        zt_add_type(module.get(), "cursor", &cursorType) < 0)
        return nullptr;
    /* The package's additions (%s placeholders, row makers, command tags) are static
     * methods of the cursor type: the module's namespace stays as it is. */
    if (PyType_Ready(&RowMakerType) < 0 ||
        zt_add_static_methods(&cursorType, zt_placeholder_methods) < 0 ||
        zt_add_static_methods(&cursorType, zt_row_methods) < 0 ||
        zt_add_static_methods(&cursorType, zt_status_methods) < 0)
        return nullptr;
    return module.release();
}
