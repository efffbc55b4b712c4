/* zt_cursor.cpp - the cursor type: record lifecycle, attribute and method tables,
 * close, the release of the current result and the cursor check. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

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

/* The session the cursor copied must still be its connection's open session: after a
 * close and a new initialisation the copy would name a freed session, so the session
 * generation decides, not the handle value (a new session may reuse the address). */
int zt_curs_check(cursorObject *self)
{
    const RhConnect *conn = zt_conn_of(self);
    if (self->p_conn_zt == nullptr || *self->p_conn_zt == nullptr || self->p_conn == nullptr ||
        conn == nullptr || self->session_gen != conn->session_gen) {
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
bool zt_curs_session_alive(cursorObject *self)
{
    const RhConnect *conn = zt_conn_of(self);
    return self->p_conn != nullptr && conn != nullptr && conn->p_conn == self->p_conn &&
           self->session_gen == conn->session_gen;
}

/* Closes the server cursor and unprepares, when the session is still the one they
 * belong to. A finalizer never waits for another thread's call: the close of the
 * server cursor is then left to whoever gives the session back. */
static void zt_curs_release_session_objects(cursorObject *self)
{
    if (!self->service_cur && !self->prepare)
        return;
    ZtHold hold(zt_conn_of(self), ZtHold::TRY);
    const bool alive = zt_curs_session_alive(self);
    if (self->service_cur) {
        if (alive && hold.held())
            zt_lib_close_cursor(&self->p_conn, self->name);
        else if (alive)
            zt_conn_defer_cursor_close(zt_conn_of(self), self->session_gen, self->name);
        std::free(self->name);
        self->name = nullptr;
        self->service_cur = 0;
    }
    if (self->prepare) {
        if (alive && hold.held())
            zt_lib_unprepare(&self->p_conn);
        self->prepare = 0;
    }
}

void FreeResults(cursorObject *self)
{
    if (self->p_results == nullptr)
        return;
    PyErrSaver saved;
    zt_curs_release_session_objects(self);
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
    self->session_gen = rc->session_gen;

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
    ZT_METH("close", zt_held<pyzt_curs_close>::call, METH_NOARGS),
    ZT_METH("callproc", zt_held<pyzt_curs_callproc>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("callfunc", zt_held<pyzt_curs_callfunc>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("execute", zt_held<pyzt_curs_execute>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("executemany", zt_held<pyzt_curs_executemany>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("executebatch", zt_held<pyzt_curs_executebatch>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("fetchone", zt_held<pyzt_curs_fetchone>::call, METH_NOARGS),
    ZT_METH("clearsize", zt_held<pyzt_curs_clearsize>::call, METH_NOARGS),
    ZT_METH("cleartype", zt_held<pyzt_curs_cleartype>::call, METH_NOARGS),
    ZT_METH("fetchmany", zt_held<pyzt_curs_fetchmany>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("getResultcolname", zt_held<pyzt_curs_getResultcolname>::call, METH_VARARGS),
    ZT_METH("getResultcolseq", zt_held<pyzt_curs_getResultcolseq>::call, METH_VARARGS),
    ZT_METH("getResultcolsize", zt_held<pyzt_curs_getResultcolsize>::call, METH_VARARGS),
    ZT_METH("getResultcolscale", zt_held<pyzt_curs_getResultcolscale>::call, METH_VARARGS),
    ZT_METH("getResultcolisnull", zt_held<pyzt_curs_getResultcolisnull>::call, METH_VARARGS),
    ZT_METH("getResultcoldefault", zt_held<pyzt_curs_getResultcoldefault>::call, METH_VARARGS),
    ZT_METH("getResulttable", zt_held<pyzt_curs_getResulttable>::call, METH_NOARGS),
    ZT_METH("setinputtype", zt_held<pyzt_curs_setinputtype>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("setinputsizes", zt_held<pyzt_curs_setinputsizes>::call, METH_VARARGS | METH_KEYWORDS),
    ZT_METH("fetchall", zt_held<pyzt_curs_fetchall>::call, METH_NOARGS),
    ZT_METH("nextset", zt_held<pyzt_curs_nextset>::call, METH_NOARGS),
    ZT_METH("copy_start", zt_held<pyzt_curs_copy_start>::call, METH_VARARGS),
    ZT_METH("copy_put", zt_held<pyzt_curs_copy_put>::call, METH_VARARGS),
    ZT_METH("copy_get", zt_held<pyzt_curs_copy_get>::call, METH_VARARGS),
    ZT_METH("copy_end", zt_held<pyzt_curs_copy_end>::call, METH_VARARGS),
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
