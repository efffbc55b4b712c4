/* zt_cursor.cpp - the cursor type: record lifecycle, attribute and method tables,
 * close, the release of the current result and the cursor check. */
#include "zt_cursor.h"
#include "pyzt_util.h"

#include <structmember.h>

#include <cstdlib>

/* The datetime C interface shared by every source file (see zt_cursor.h). */
PyDateTime_CAPI *zt_datetime_api = nullptr;

int zt_load_datetime_api(void)
{
    PyDateTime_CAPI *api = (PyDateTime_CAPI *)PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
    if (api == nullptr)
        return -1;
    zt_datetime_api = api;
    return 0;
}

/* ---- shared routines ---- */

int zt_curs_check(cursorObject *self)
{
    if (self->p_conn_zt == nullptr || *self->p_conn_zt == nullptr || self->p_conn == nullptr) {
        PyErr_SetString(OperationalError, "The cursor object does not exist");
        return -1;
    }
    return 0;
}

void zt_curs_set_description(cursorObject *self, PyObject *value)
{
    PyObject *old = self->description;
    self->description = value;
    Py_XDECREF(old);
}

/* True while the session the cursor copied is still the connection's open session.
 * Once the connection is closed the copy in p_conn names a session the library has
 * ended, so session calls must not be made with it any more. */
static bool zt_curs_session_alive(const cursorObject *self)
{
    return self->p_conn != nullptr && self->p_conn_zt != nullptr &&
           *self->p_conn_zt == self->p_conn;
}

void FreeResults(cursorObject *self)
{
    if (self->p_results == nullptr)
        return;
    PyErrSaver saved;
    const bool alive = zt_curs_session_alive(self);
    if (self->service_cur) {
        if (alive)
            ZTC_CloseCursor(&self->p_conn, self->name);
        std::free(self->name);
        self->name = nullptr;
        self->service_cur = 0;
    }
    if (self->prepare) {
        if (alive)
            ZTC_UnPrepare(&self->p_conn, nullptr);
        self->prepare = 0;
    }
    ZTC_FreeRowset(&self->p_results);
    self->p_results = nullptr;
    zt_curs_forget_result(self);
}

void zt_curs_begin_execution(cursorObject *self)
{
    if (self->p_results)
        FreeResults(self);
    self->rowcount = 0;
    Py_INCREF(Py_None);
    zt_curs_set_description(self, Py_None);
}

void zt_curs_forget_result(cursorObject *self)
{
    self->closed = 1;
    self->effect_num = 0;
    self->fieldnum = 0;
    self->rowcount = 0;
    self->sql_type = -1;
    zt_curs_set_description(self, nullptr);
}

/* Frees the declaration arrays and the server-cursor name (C allocator). */
static void zt_curs_free_arrays(cursorObject *self)
{
    std::free(self->ParameterType);
    self->ParameterType = nullptr;
    self->ParameterNum = 0;
    std::free(self->ParameterSize);
    self->ParameterSize = nullptr;
    self->ParameterSizeNum = 0;
    std::free(self->name);
    self->name = nullptr;
}

/* ---- methods ---- */

PyObject *pyzt_curs_close(cursorObject *self, PyObject *unused)
{
    (void)unused;
    if (self->closed)
        Py_RETURN_NONE;
    self->closed = 1;
    if (self->p_results != nullptr)
        FreeResults(self);
    Py_RETURN_NONE;
}

/* ---- slots ---- */

static PyObject *cursor_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    (void)args; (void)kwds;
    cursorObject *self = (cursorObject *)type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    Py_INCREF(Py_None);
    self->description = Py_None;
    self->prepare = 0;
    self->service_cur = 0;
    self->rowcount = 0;
    self->arraysize = 1;
    self->sql_type = -1;
    self->ParameterType = nullptr;
    self->ParameterSize = nullptr;
    return (PyObject *)self;
}

/* Attaches the cursor to `conn` (borrowed; a new reference is taken) and resets its
 * state. Whatever an earlier initialisation left (a result, declarations, the
 * connection reference) is released first. */
static void cursor_setup(cursorObject *self, PyObject *conn, PyObject *name)
{
    (void)name;
    FreeResults(self);
    zt_curs_free_arrays(self);

    Py_INCREF(conn);
    PyObject *old_conn = self->conn;
    self->conn = conn;
    RhConnect *rc = (RhConnect *)conn;
    self->p_conn_zt = &rc->p_conn;
    self->p_conn = rc->p_conn;

    self->notuples = 1;
    self->prepare = 0;
    self->service_cur = 0;

    self->arraysize = 1;
    self->itersize = 2000;
    self->rowcount = 0;
    self->effect_num = 0;
    self->fieldnum = 0;
    self->sql_type = -1;

    zt_curs_set_description(self, nullptr);
    Py_XDECREF(old_conn);
}

static int cursor_init(cursorObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"conn", "name", nullptr};
    PyObject *conn = nullptr;
    PyObject *name = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|O", (char **)kwlist,
                                     &connectionType, &conn, &name))
        return -1;
    cursor_setup(self, conn, name);
    return 0;
}

static int cursor_traverse(cursorObject *self, visitproc visit, void *arg)
{
    Py_VISIT(self->description);
    Py_VISIT(self->conn);
    return 0;
}

/* Breaks reference cycles. The result is released while the connection, and so the
 * session, is still reachable; p_conn_zt points into the connection and goes with it. */
static int cursor_clear(cursorObject *self)
{
    FreeResults(self);
    Py_CLEAR(self->description);
    self->p_conn_zt = nullptr;
    self->p_conn = nullptr;
    Py_CLEAR(self->conn);
    return 0;
}

static void cursor_dealloc(cursorObject *self)
{
    PyObject_GC_UnTrack(self);
    {
        PyErrSaver saved;
        cursor_clear(self);
        zt_curs_free_arrays(self);
    }
    Py_TYPE(self)->tp_free((PyObject *)self);
}

/* ---- tables ---- */

static PyMemberDef cursorObject_members[] = {
    {(char *)"description", T_OBJECT_EX, offsetof(cursorObject, description), 0,
     (char *)"column name"},
    {(char *)"rowcount", T_LONGLONG, offsetof(cursorObject, rowcount), 0, (char *)"rowcount"},
    {(char *)"arraysize", T_LONGLONG, offsetof(cursorObject, arraysize), 0,
     (char *)"arraysize is data line"},
    {(char *)"sql_type", T_INT, offsetof(cursorObject, sql_type), READONLY,
     (char *)"class of the current result: 2 counted change, 3 no rows, 9 rows; -1 none"},
    {nullptr, 0, 0, 0, nullptr}};

static_assert(sizeof(long long) == sizeof(int64_t), "rowcount is read as a long long");

static PyMethodDef cursorObject_methods[] = {
    ZT_METH("close", pyzt_curs_close, METH_NOARGS),
    ZT_METH("callproc", pyzt_curs_callproc, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("callfunc", pyzt_curs_callfunc, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("execute", pyzt_curs_execute, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("executemany", pyzt_curs_executemany, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("executebatch", pyzt_curs_executebatch, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("fetchone", pyzt_curs_fetchone, METH_NOARGS),
    ZT_METH("clearsize", pyzt_curs_clearsize, METH_NOARGS),
    ZT_METH("cleartype", pyzt_curs_cleartype, METH_NOARGS),
    ZT_METH("fetchmany", pyzt_curs_fetchmany, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("getResultcolname", pyzt_curs_getResultcolname, METH_VARARGS),
    ZT_METH("getResultcolseq", pyzt_curs_getResultcolseq, METH_VARARGS),
    ZT_METH("getResultcolsize", pyzt_curs_getResultcolsize, METH_VARARGS),
    ZT_METH("getResultcolscale", pyzt_curs_getResultcolscale, METH_VARARGS),
    ZT_METH("getResultcolisnull", pyzt_curs_getResultcolisnull, METH_VARARGS),
    ZT_METH("getResultcoldefault", pyzt_curs_getResultcoldefault, METH_VARARGS),
    ZT_METH("getResulttable", pyzt_curs_getResulttable, METH_NOARGS),
    ZT_METH("setinputtype", pyzt_curs_setinputtype, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("setinputsizes", pyzt_curs_setinputsizes, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("fetchall", pyzt_curs_fetchall, METH_NOARGS),
    ZT_METH("nextset", pyzt_curs_nextset, METH_NOARGS),
    ZT_METH("copy_start", pyzt_curs_copy_start, METH_VARARGS),
    ZT_METH("copy_put", pyzt_curs_copy_put, METH_VARARGS),
    ZT_METH("copy_get", pyzt_curs_copy_get, METH_VARARGS),
    ZT_METH("copy_end", pyzt_curs_copy_end, METH_VARARGS),
    {nullptr, nullptr, 0, nullptr}};

/* Filled field by field: the slot list differs between interpreter versions, and a
 * positional initialiser would have to name every one of them. */
static PyTypeObject zt_cursor_type_object()
{
    PyTypeObject t{};
    Py_SET_REFCNT(&t.ob_base.ob_base, 1);
    t.tp_name = "ztcondb.cursor";
    t.tp_basicsize = sizeof(cursorObject);
    t.tp_dealloc = (destructor)cursor_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "cursor Object";
    t.tp_traverse = (traverseproc)cursor_traverse;
    t.tp_clear = (inquiry)cursor_clear;
    t.tp_methods = cursorObject_methods;
    t.tp_members = cursorObject_members;
    t.tp_init = (initproc)cursor_init;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_new = cursor_new;
    t.tp_free = PyObject_GC_Del;
    return t;
}

PyTypeObject cursorType = zt_cursor_type_object();
