/* zt_cursor.cpp - the cursor type: record lifecycle, attribute and method tables,
 * close, the release of the current result and the cursor check. */
#include "zt_cursor.h"
#include "zt_conv.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_serving.h"
#include "zt_async.h"

#include <structmember.h>

#include <cstdlib>

/* The datetime C interface shared by every source file (see zt_cursor.h). */
PyDateTime_CAPI *zt_datetime_api = nullptr;

/* The module and capsule the pointer came from (strong references, so that their
 * identity cannot pass to another object). */
static PyObject *zt_datetime_module = nullptr;
static PyObject *zt_datetime_capsule = nullptr;

/* The interpreter's datetime module and its capsule, as new references, or false (no
 * error set) when either is missing. */
static bool zt_datetime_current(PyObject **module, PyObject **capsule)
{
    static PyObject *name = PyUnicode_InternFromString("datetime");
    static PyObject *attr = PyUnicode_InternFromString("datetime_CAPI");
    *module = *capsule = nullptr;
    if (name == nullptr || attr == nullptr) {
        PyErr_Clear();
        return false;
    }
    *module = PyImport_GetModule(name);
    if (*module != nullptr && PyModule_Check(*module)) {
        *capsule = PyDict_GetItemWithError(PyModule_GetDict(*module), attr);
        Py_XINCREF(*capsule);
    }
    PyErr_Clear();
    if (*capsule != nullptr)
        return true;
    Py_CLEAR(*module);
    return false;
}

/* Re-imports the capsule on every call, as the callers' contract says; when the module
 * in sys.modules and its capsule are still the ones the pointer came from, two
 * look-ups stand in for the import (what the import would return is the same
 * pointer). */
int zt_load_datetime_api(void)
{
    PyObject *module = nullptr, *capsule = nullptr;
    bool found = zt_datetime_current(&module, &capsule);
    if (found && module == zt_datetime_module && capsule == zt_datetime_capsule &&
        zt_datetime_api != nullptr) {
        Py_DECREF(module);
        Py_DECREF(capsule);
        return 0;
    }
    Py_XDECREF(module);
    Py_XDECREF(capsule);
    PyDateTime_CAPI *api = (PyDateTime_CAPI *)PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
    if (api == nullptr)
        return -1;
    zt_datetime_api = api;
    /* Remembered only when the capsule in sys.modules' datetime is the one imported. */
    Py_CLEAR(zt_datetime_module);
    Py_CLEAR(zt_datetime_capsule);
    if (zt_datetime_current(&module, &capsule)) {
        if (PyCapsule_IsValid(capsule, PyDateTime_CAPSULE_NAME) &&
            PyCapsule_GetPointer(capsule, PyDateTime_CAPSULE_NAME) == api) {
            zt_datetime_module = module;
            zt_datetime_capsule = capsule;
            return 0;
        }
        Py_DECREF(module);
        Py_DECREF(capsule);
    }
    PyErr_Clear();
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
    /* A new description is a new result: its columns' readers are resolved again. */
    Py_CLEAR(self->pg_plan);
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
    /* The decoders were the released result's columns'. */
    zt_curs_drop_row_plan(self);
    zt_curs_forget_result(self);
}

int zt_curs_enter(cursorObject *self)
{
    if (self->busy) {
        PyErr_SetString(ProgrammingError, "the cursor is in use by a call in progress");
        return -1;
    }
    self->busy = 1;
    return 0;
}

void zt_curs_keep_rows(cursorObject *self, PyObject *list)
{
    if (list == nullptr || PyList_GET_SIZE(list) == 0 || !PyErr_ExceptionMatches(DataError))
        return;
    PyErrSaver saved;
    if (self->kept_rows == nullptr) {
        Py_INCREF(list);
        self->kept_rows = list;
        return;
    }
    /* Kept rows come before the ones of this fetch, which were read after them. */
    PyRef all(PySequence_Concat(self->kept_rows, list));
    if (all)
        Py_SETREF(self->kept_rows, all.release());
    else
        PyErr_Clear();
}

bool zt_curs_has_kept(const cursorObject *self)
{
    return self->kept_rows != nullptr && PyList_GET_SIZE(self->kept_rows) > 0;
}

PyObject *zt_curs_take_kept(cursorObject *self, Py_ssize_t count)
{
    if (!zt_curs_has_kept(self))
        return PyList_New(0);
    const Py_ssize_t n = PyList_GET_SIZE(self->kept_rows);
    const Py_ssize_t take = count <= 0 || count > n ? n : count;
    PyRef head(PyList_GetSlice(self->kept_rows, 0, take));
    if (!head || PyList_SetSlice(self->kept_rows, 0, take, nullptr) < 0)
        return nullptr;
    if (PyList_GET_SIZE(self->kept_rows) == 0)
        Py_CLEAR(self->kept_rows);
    return head.release();
}

void zt_curs_begin_execution(cursorObject *self)
{
    Py_CLEAR(self->kept_rows);
    self->rows_built = 0;
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
    /* Initialising again releases the result and the connection a running method of
     * the cursor works with: refused like any other call made inside one. */
    if (zt_curs_enter(self) < 0)
        return -1;
    cursor_setup(self, conn, name);
    zt_curs_leave(self);
    return 0;
}

static int cursor_traverse(cursorObject *self, visitproc visit, void *arg)
{
    Py_VISIT(self->description);
    Py_VISIT(self->kept_rows);
    Py_VISIT(self->conn);
    return 0;
}

/* Breaks reference cycles. The result is released while the connection, and so the
 * session, is still reachable; p_conn_zt points into the connection and goes with it. */
static int cursor_clear(cursorObject *self)
{
    FreeResults(self);
    Py_CLEAR(self->description);
    Py_CLEAR(self->kept_rows);
    Py_CLEAR(self->pg_plan);
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
        zt_curs_drop_row_plan(self);
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
    ZT_METHD("_async_execute", zt_held<pyzt_curs_async_execute>::call, METH_VARARGS,
             "_async_execute($self, stringsql, parameter=None, /)\n--\n\nStarts a statement without waiting (an event loop drives it with the connection's _async_poll)."),
    ZT_METHD("_async_finish", zt_held<pyzt_curs_async_finish>::call, METH_NOARGS,
             "_async_finish($self, /)\n--\n\nTakes the result of the finished statement started by _async_execute."),
    ZT_METHD("close", zt_held<pyzt_curs_close>::call, METH_NOARGS,
             "close($self, /)\n--\n\nReleases the cursor's result."),
    ZT_METHD("callproc", zt_held<pyzt_curs_callproc>::call, METH_VARARGS | METH_KEYWORDS,
             "callproc($self, name, parameter=(), directions=<unrepresentable>, /)\n--\n\nCalls a stored procedure; returns the parameters' values after the call."),
    ZT_METHD("callfunc", zt_held<pyzt_curs_callfunc>::call, METH_VARARGS | METH_KEYWORDS,
             "callfunc($self, name, parameter=(), directions=<unrepresentable>, /)\n--\n\nCalls a function; returns the parameters' values followed by its result."),
    ZT_METHD("execute", zt_held<pyzt_curs_execute>::call, METH_VARARGS | METH_KEYWORDS,
             "execute($self, stringsql, parameter=(), /)\n--\n\nRuns one statement with positional ? parameters."),
    ZT_METHD("executemany", zt_held<pyzt_curs_executemany>::call, METH_VARARGS | METH_KEYWORDS,
             "executemany($self, stringsql, parameter=(), /)\n--\n\nRuns the statement once per row of parameters (a flat sequence is one row)."),
    ZT_METHD("executebatch", zt_held<pyzt_curs_executebatch>::call, METH_VARARGS | METH_KEYWORDS,
             "executebatch($self, stringsql, parameter, /, *, flexible=False, rows=False, datetime_counts=False, in_place=False)\n--\n\nRuns the statement over columns of values as one atomic batch (COPY or one pipeline).\nflexible=True types each column by all its values and sets rowcount to the rows affected;\nrows=True takes a sequence of rows of parameters instead of columns;\ndatetime_counts=True hands datetime columns to the library as microsecond counts;\nin_place=True binds the columns without the library copying them."),
    ZT_METHD("fetchone", zt_held<pyzt_curs_fetchone>::call, METH_NOARGS,
             "fetchone($self, /)\n--\n\nThe next row as a tuple, or None at the end."),
    ZT_METHD("clearsize", zt_held<pyzt_curs_clearsize>::call, METH_NOARGS,
             "clearsize($self, /)\n--\n\nForgets the sizes declared with setinputsizes."),
    ZT_METHD("cleartype", zt_held<pyzt_curs_cleartype>::call, METH_NOARGS,
             "cleartype($self, /)\n--\n\nForgets the type codes declared with setinputtype."),
    ZT_METHD("fetchmany", zt_held<pyzt_curs_fetchmany>::call, METH_VARARGS | METH_KEYWORDS,
             "fetchmany($self, /, size=0)\n--\n\nUp to size rows (0: arraysize rows) as a list of tuples."),
    ZT_METHD("getResultcolname", zt_held<pyzt_curs_getResultcolname>::call, METH_VARARGS,
             "getResultcolname($self, n, /)\n--\n\nThe name of result column n (from 1)."),
    ZT_METHD("getResultcolseq", zt_held<pyzt_curs_getResultcolseq>::call, METH_VARARGS,
             "getResultcolseq($self, name, /)\n--\n\nThe number (from 1) of the result column of that name."),
    ZT_METHD("getResultcolsize", zt_held<pyzt_curs_getResultcolsize>::call, METH_VARARGS,
             "getResultcolsize($self, n, /)\n--\n\nThe size of result column n (from 1)."),
    ZT_METHD("getResultcolscale", zt_held<pyzt_curs_getResultcolscale>::call, METH_VARARGS,
             "getResultcolscale($self, n, /)\n--\n\nThe scale of result column n (from 1)."),
    ZT_METHD("getResultcolisnull", zt_held<pyzt_curs_getResultcolisnull>::call, METH_VARARGS,
             "getResultcolisnull($self, *args)\n--\n\nNot supported by the library: returns None."),
    ZT_METHD("getResultcoldefault", zt_held<pyzt_curs_getResultcoldefault>::call, METH_VARARGS,
             "getResultcoldefault($self, *args)\n--\n\nNot supported by the library: returns None."),
    ZT_METHD("getResulttable", zt_held<pyzt_curs_getResulttable>::call, METH_NOARGS,
             "getResulttable($self, /)\n--\n\nNot supported by the library: returns None."),
    ZT_METHD("setinputtype", zt_held<pyzt_curs_setinputtype>::call, METH_VARARGS | METH_KEYWORDS,
             "setinputtype($self, types, /)\n--\n\nDeclares one library type code per procedure parameter."),
    ZT_METHD("setinputsizes", zt_held<pyzt_curs_setinputsizes>::call, METH_VARARGS | METH_KEYWORDS,
             "setinputsizes($self, sizes, /)\n--\n\nDeclares buffer sizes of text and binary procedure parameters."),
    ZT_METHD("fetchall", zt_held<pyzt_curs_fetchall>::call, METH_NOARGS,
             "fetchall($self, /)\n--\n\nEvery remaining row as a list of tuples."),
    ZT_METHD("fetchpage", zt_held<pyzt_curs_fetchpage>::call, METH_VARARGS | METH_KEYWORDS,
             "fetchpage($self, name, reader, count, ahead=False, whole=False, keep=None)\n--\n\nThe next count rows of the server cursor name as (rows, sent); with ahead, sent\ntells that the next page was asked for already (taken by the next call with the same reader).\nWith whole: (rows, sent, failures, interrupt), failures being (index, error) for each row\nthat could not be converted and interrupt a signal handler's exception met while waiting;\nwith keep (a list), that tuple is appended to it and None returned."),
    ZT_METHD("nextset", zt_held<pyzt_curs_nextset>::call, METH_NOARGS,
             "nextset($self, /)\n--\n\nMoves to the next result of a multi-statement text; None when there is none."),
    ZT_METHD("copy_start", zt_held<pyzt_curs_copy_start>::call, METH_VARARGS,
             "copy_start($self, stringsql, /)\n--\n\nSends a COPY statement: 1 when data is to be sent with copy_put, 2 when it is to be read with copy_get."),
    ZT_METHD("copy_put", zt_held<pyzt_curs_copy_put>::call, METH_VARARGS,
             "copy_put($self, data, /)\n--\n\nSends a chunk of COPY FROM STDIN data (any bytes-like object)."),
    ZT_METHD("copy_get", zt_held<pyzt_curs_copy_get>::call, METH_VARARGS,
             "copy_get($self, size=65536, /)\n--\n\nUp to size bytes of COPY TO STDOUT data, or None after the last."),
    ZT_METHD("copy_end", zt_held<pyzt_curs_copy_end>::call, METH_VARARGS,
             "copy_end($self, abort_message=None, /)\n--\n\nEnds the COPY (a message refuses COPY FROM STDIN data) and returns the rows copied."),
    ZT_METHD("fetchcolumns", zt_held<pyzt_curs_fetchcolumns>::call, METH_VARARGS | METH_KEYWORDS,
             "fetchcolumns($self, maxrows=-1, exact=False, cursor=None, reader=0, pagesize=0)\n--\n\nThe rest of the result (at most maxrows rows) as (rows, columns), each column (name, kind, values, mask)."),
    ZT_METHD("copy_columns", zt_held<pyzt_curs_copy_columns>::call, METH_VARARGS,
             "copy_columns($self, columns, nrows, /)\n--\n\nSends nrows rows of column arrays as binary COPY data into the COPY started with copy_start."),
    ZT_METHD("pipeline_send", zt_held<pyzt_curs_pipeline_send>::call, METH_VARARGS,
             "pipeline_send($self, stringsql, parameters=None, /)\n--\n\nSends the statement into the session's pipeline batch without waiting for results."),
    ZT_METHD("pipeline_take", zt_held<pyzt_curs_pipeline_take>::call, METH_NOARGS,
             "pipeline_take($self, /)\n--\n\nTakes the oldest pipeline outcome as this cursor's result (raising its failure); False when none is kept."),
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
    t.tp_doc = "cursor Object: runs statements on its connection's session and reads results.";
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
