/* zt_connect.cpp - the connection object: opens one session from the connection
 * parameters, transaction control, closing, context-manager use and the cursor
 * factory. */
#include "zt_connect.h"
#include "pyzt_util.h"
#include "zt_conntext.h"
#include "zt_cursor.h"
#include "zt_session.h"
#include "zt_async.h"
#include "zt_serving.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <structmember.h>

namespace {

/* Gives back the session and host-list attributes the object still holds; results
 * are ignored. Used before a re-initialisation and at deallocation. */
void zt_conn_release(RhConnect *self)
{
    zt_conn_end_session(self);
    if (self->turnIP_attrs) {
        Release_IpsAttrs(&self->turnIP_attrs);
        self->turnIP_attrs = nullptr;
    }
}

/* Raises the failure of an open: the fixed text first, then ": " and the library's
 * reason when it gave one. The library leaves the password out; should the password
 * still appear in it, however short, the reason is dropped rather than shown or
 * rewritten around it. */
void zt_raise_open_error(ZTC_HANDLE *session, const char *password)
{
    char reason[256];
    int length = 0;
    std::memset(reason, 0, sizeof reason);
    bool have = *session && ZTC_GetError(session, reason, &length) >= 0;
    reason[sizeof reason - 1] = '\0';
    if (have && reason[0] && !(password[0] && std::strstr(reason, password)))
        PyErr_Format(OperationalError, "Connection information is not correct: %s", reason);
    else
        PyErr_SetString(OperationalError, "Connection information is not correct");
}

/* Opens the session. 0, or a negative number with an exception set. A failed open
 * leaves the object without a session. */
int connection_setup(RhConnect *self, const char *host, int port, const char *database,
                     const char *user, const char *password, const char *charset,
                     const char *usessl, ZtConnSettings &settings, bool nonblocking)
{
    if (port < 0 || port > 65535) {
        PyErr_SetString(ProgrammingError, "Connection parameter error");
        return -1;
    }
    /* Initialising again would end the parent's session and take locks its threads
     * may hold. */
    if (zt_conn_foreign(self)) {
        zt_raise_foreign();
        return -1;
    }
    bool host_list = std::strchr(host, ',') != nullptr;
    std::string ConnectionString;
    if (zt_format_connection_text(ConnectionString, host_list, host, port, database, user,
                                  password, charset, usessl, settings) < 0)
        return -1;

    /* Initialising again waits for calls of other threads and gives the old session
     * back first; cursors made on it then fail their check (session_gen). Inside a
     * method of this connection the old session is only detached: it ends when that
     * method returns, never under it. */
    ZtHold hold(self);
    if (!(hold.nested() && zt_conn_close_deferred(self, 1)) &&
        (self->p_conn || self->turnIP_attrs))
        zt_conn_release(self);
    if (self->turnIP_attrs) {
        Release_IpsAttrs(&self->turnIP_attrs);
        self->turnIP_attrs = nullptr;
    }
    self->ntimes = host_list ? 1 : 0;

    ZTC_HANDLE session = nullptr, attrs = nullptr;
    /* Counted as a method, so that the wait handler runs signal handlers while the
     * open waits; an exception one raised then replaces the open's outcome. */
    zt_enter_method();
    /* Opt-in: the open is only started; an event loop finishes it (_async_poll,
     * _async_finish) and no host-list attributes are kept. */
    int rc = nonblocking ? ZTC_AsyncOpen(ConnectionString.c_str(), &session)
                         : zt_lib_open(ConnectionString.c_str(), host_list, &attrs, &session);
    zt_wipe_text(ConnectionString);
    PyObject *outcome = nullptr;
    if (rc < 0) {
        zt_raise_open_error(&session, password);
    } else {
        Py_INCREF(Py_None);
        outcome = Py_None;
    }
    outcome = zt_finish_method(outcome);
    if (outcome == nullptr) {
        /* A failed open may still hand back a record carrying the message; the
         * connection stays closed ("Connection does not exist"), never half-open. */
        zt_lib_close(&session);
        Release_IpsAttrs(&attrs);
        return -1;
    }
    Py_DECREF(outcome);
    ZTC_SetWaitHandler(&session, zt_wait_tick, nullptr, ZT_WAIT_TICK_MS);
    if (self->prepare_set)
        ZTC_SetPrepareThreshold(&session, self->prepare_runs);
    self->p_conn = session;
    self->turnIP_attrs = attrs;
    ++self->session_gen;
    return 0;
}

/* "_error_table", interned once (held for the life of the process, as the classes are). */
PyObject *zt_error_table_name()
{
    static PyObject *name = PyUnicode_InternFromString("_error_table");
    return name;
}

PyObject *connection_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    reinterpret_cast<RhConnect *>(self)->sync = zt_sync_new();
    if (reinterpret_cast<RhConnect *>(self)->sync == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    /* A subclass that names an error table raises its own exceptions, from the first
     * failure of opening the session on. */
    PyObject *name = zt_error_table_name();
    PyObject *table = name != nullptr ? _PyType_Lookup(type, name) : nullptr;
    PyErr_Clear();
    if (table != nullptr && PyDict_Check(table)) {
        Py_INCREF(table);
        reinterpret_cast<RhConnect *>(self)->error_table = table;
    }
    return self;
}

/* The seven specified values, then the settings as keyword-only additions (see
 * zt_conntext.h); usessl may be None. */
int connection_init_faced(RhConnect *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"host", "port", "database", "user", "password",
                                   "charset", "usessl", nullptr};
    const char *host, *database, *user, *password, *charset, *usessl;
    int port;
    try {
        ZtConnSettings settings;
        /* Opt-in keyword: nonblocking=True starts the open for an event loop. */
        bool nonblocking = false;
        PyRef own_kwds;
        PyObject *flag = kwds ? PyDict_GetItemString(kwds, "nonblocking") : nullptr;
        if (flag != nullptr) {
            int truth = PyObject_IsTrue(flag);
            own_kwds = PyRef(PyDict_Copy(kwds));
            if (truth < 0 || !own_kwds || PyDict_DelItemString(own_kwds.get(), "nonblocking") < 0)
                return -1;
            nonblocking = truth == 1;
            kwds = own_kwds.get();
        }
        PyObject *rest_kwds;
        if (zt_conn_take_settings(kwds, &rest_kwds, settings) < 0)
            return -1;
        PyRef rest(rest_kwds);
        if (!PyArg_ParseTupleAndKeywords(args, rest.get(), "sissssz",
                                         const_cast<char **>(kwlist), &host, &port, &database,
                                         &user, &password, &charset, &usessl)) {
            std::fputs("-- connection_setup error", stdout);
            std::fflush(stdout);
            return -1;
        }
        return connection_setup(self, host, port, database, user, password, charset, usessl,
                                settings, nonblocking);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

int connection_init(RhConnect *self, PyObject *args, PyObject *kwds)
{
    ZtFace face(self->error_table);
    return face.finish(connection_init_faced(self, args, kwds));
}

/* The error table is the one interpreter reference the object holds. */
int connection_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<RhConnect *>(self)->error_table);
    return 0;
}

int connection_clear(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<RhConnect *>(self)->error_table);
    return 0;
}

void connection_dealloc(RhConnect *self)
{
    PyObject_GC_UnTrack(self);
    {
        PyErrSaver saved;
        connection_clear(reinterpret_cast<PyObject *>(self));
        zt_conn_release(self);
        zt_sync_free(self->sync);
        self->sync = nullptr;
    }
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject *>(self));
}

}  // namespace

/* 0 when a session is open, else -1 with OperationalError (also for zt_serving.h). */
int zt_conn_check(RhConnect *self)
{
    if (self->p_conn)
        return 0;
    PyErr_SetString(OperationalError, "Connection does not exist");
    return -1;
}

namespace {

PyObject *pyzt_conn_cursor(RhConnect *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"name", "cursor_factory", "withhold", "scrollable",
                                   nullptr};
    if (zt_conn_check(self) < 0)
        return nullptr;
    if (zt_conn_foreign(self))
        return zt_raise_foreign();
    PyObject *name = Py_None, *factory = nullptr, *withhold = nullptr, *scrollable = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOO", const_cast<char **>(kwlist), &name,
                                     &factory, &withhold, &scrollable)) {
        return zt_raise_mismatch("Parameter mismatch");
    }
    /* cursor_factory, withhold and scrollable are accepted for compatibility only. */
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&cursorType),
                                        reinterpret_cast<PyObject *>(self), name, nullptr);
}

/* Ends the session, then releases the host-list attributes. The handles are emptied
 * whatever the library answers, so nothing is ever released twice. Asked from Python
 * code running inside a method of this connection, the connection closes at once but
 * the library's session ends when that method returns. */
PyObject *pyzt_conn_close(RhConnect *self, PyObject *)
{
    int rc = zt_conn_close_deferred(self, 1) ? 0 : zt_conn_end_session(self);
    if (rc < 0) {
        PyErr_SetString(ProgrammingError, "Pointer in error");
        return nullptr;
    }
    if (self->turnIP_attrs) {
        rc = Release_IpsAttrs(&self->turnIP_attrs);
        self->turnIP_attrs = nullptr;
        if (rc < 0) {
            PyErr_SetString(ProgrammingError, "turnIP_attrs in error");
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

/* Asks the server to cancel what the session runs, from any thread; the call running
 * it then fails with the server's message. Takes no hold: the hold is the running
 * call's. cancel_lock keeps the session from being ended meanwhile. */
PyObject *pyzt_conn_cancel(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    /* From a forked child a cancel would stop what the parent runs. */
    if (zt_conn_foreign(self))
        return zt_raise_foreign();
    ZtCancelGuard guard(self);
    ZTC_HANDLE session = self->p_conn;
    if (session == nullptr) {
        PyErr_SetString(OperationalError, "Connection does not exist");
        return nullptr;
    }
    if (zt_lib_cancel(&session) < 0) {
        PyErr_SetString(OperationalError, "The cancel request could not be sent");
        return nullptr;
    }
    Py_RETURN_NONE;
}

/* True while the connection has a session the library reports broken: the server
 * ended it or the connection was lost; every call on it fails at once. */
PyObject *pyzt_conn_broken(RhConnect *self, void *)
{
    return PyBool_FromLong(self->p_conn != nullptr && ZTC_IsBroken(&self->p_conn) == 1);
}

/* Sends a transaction control text; on failure raises DatabaseError with `failure`
 * (the library's error fields as its attributes). */
PyObject *zt_conn_control(RhConnect *self, const char *text, const char *failure)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    if (zt_lib_execute_no_query(&self->p_conn, text) < 0)
        return zt_raise_with_fields(DatabaseError, failure, &self->p_conn);
    Py_RETURN_NONE;
}

PyObject *pyzt_conn_commit(RhConnect *self, PyObject *)
{
    return zt_conn_control(self, "commit;", "Commit failed");
}

PyObject *pyzt_conn_rollback(RhConnect *self, PyObject *)
{
    return zt_conn_control(self, "rollback;", "rollback() failed");
}

/* autocommit(flag): None leaves the session as it is; keywords are ignored. */
PyObject *pyzt_set_auto_commit(RhConnect *self, PyObject *args, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    PyObject *flag;
    if (!PyArg_ParseTuple(args, "O", &flag)) {
        PyErr_SetString(ProgrammingError, "parameters is not object");
        return nullptr;
    }
    if (flag == Py_None)
        Py_RETURN_NONE;
    int on = PyObject_IsTrue(flag);
    if (on < 0)
        return nullptr;
    return zt_conn_control(self, on ? "set auto commit on" : "set auto commit off",
                           "set auto commit failed");
}

PyObject *memory_enter(RhConnect *self, PyObject *)
{
    Py_INCREF(self);
    return reinterpret_cast<PyObject *>(self);
}

/* Closes the connection; an exception raised in the with block then propagates. */
PyObject *memory_exit(RhConnect *self, PyObject *)
{
    return pyzt_conn_close(self, nullptr);
}

/* getnotices(): the server notices the library kept for the session, oldest first, as
 * a list of str; each is handed out once. */
PyObject *pyzt_conn_getnotices(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    try {
        std::string text(512, '\0');
        for (;;) {
            int length = 0;
            int rc = ZTC_GetNotice(&self->p_conn, &text[0], (int)text.size(), &length);
            if (rc == ZTC_NO_MORE || rc < 0)
                break;
            if (length >= (int)text.size()) {
                /* Too long for the buffer: the library keeps it; ask again with room. */
                text.assign((size_t)length + 1, '\0');
                continue;
            }
            PyRef item(PyUnicode_DecodeUTF8(text.data(), length, "replace"));
            if (!item || PyList_Append(list.get(), item.get()) < 0)
                return nullptr;
        }
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    return list.release();
}

/* The names session_info() takes, and the library's codes for them. */
struct ZtInfoName {
    const char *name;
    int what;
};
constexpr ZtInfoName zt_info_names[] = {
    {"transaction_status", ZTC_INFO_TRANSACTION}, {"backend_pid", ZTC_INFO_BACKEND_PID},
    {"server_version", ZTC_INFO_SERVER_VERSION},  {"host", ZTC_INFO_HOST},
    {"hostaddr", ZTC_INFO_HOSTADDR},              {"port", ZTC_INFO_PORT},
    {"dbname", ZTC_INFO_DBNAME},                  {"user", ZTC_INFO_USER},
    {"options", ZTC_INFO_OPTIONS},                {"parameter", ZTC_INFO_PARAMETER},
    {"conninfo", ZTC_INFO_CONNINFO},
};

/* session_info(what, name=None): what the library knows of the session without asking
 * the server, as str (see the names above; "parameter" reads the server's reported
 * value of `name`, None when it reported none; "conninfo" is keyword NUL value NUL...).
 * Expects the session held. */
PyObject *pyzt_conn_session_info(RhConnect *self, PyObject *args)
{
    const char *key = nullptr, *name = nullptr;
    if (!PyArg_ParseTuple(args, "s|z:session_info", &key, &name))
        return nullptr;
    int what = 0;
    for (const ZtInfoName &entry : zt_info_names)
        if (std::strcmp(entry.name, key) == 0)
            what = entry.what;
    if (what == 0)
        return PyErr_Format(PyExc_ValueError, "session_info: unknown item %R",
                            PyTuple_GET_ITEM(args, 0));
    if ((what == ZTC_INFO_PARAMETER) != (name != nullptr))
        return PyErr_Format(PyExc_TypeError, "session_info: a name goes with \"parameter\" "
                                             "and only with it");
    if (zt_conn_check(self) < 0)
        return nullptr;
    try {
        std::string text(256, '\0');
        for (;;) {
            int length = 0;
            int rc = ZTC_GetSessionInfo(&self->p_conn, what, name, &text[0], (int)text.size(),
                                        &length);
            if (rc == ZTC_NO_MORE)
                Py_RETURN_NONE;
            if (rc < 0)
                return zt_raise_with_fields(OperationalError, "session_info failed",
                                            &self->p_conn);
            if (length < (int)text.size())
                return PyUnicode_DecodeUTF8(text.data(), length, "replace");
            text.assign((size_t)length + 1, '\0');
        }
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyMemberDef connection_members[] = {
    {(char *)"pytypes", T_BOOL, offsetof(RhConnect, pytypes), 0,
     (char *)"True: values read and sent as Python types, errors with their fields, whole "
             "column names (the DB-API package sets it)"},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef connection_methods[] = {
    ZT_METHD("_async_poll", zt_held<pyzt_conn_async_poll>::call, METH_NOARGS,
             "_async_poll($self, /)\n--\n\nGoes on with the non-blocking operation: 0 when done, else the socket waits (1 read, 2 write)."),
    ZT_METHD("_async_finish", zt_held<pyzt_conn_async_finish>::call, METH_NOARGS,
             "_async_finish($self, /)\n--\n\nEnds a finished non-blocking open, COPY start (direction) or COPY end (rows)."),
    ZT_METHD("_async_copy_start", zt_held<pyzt_conn_async_copy_start>::call, METH_VARARGS,
             "_async_copy_start($self, sql, /)\n--\n\nStarts a COPY statement without waiting."),
    ZT_METHD("_async_copy_put", zt_held<pyzt_conn_async_copy_put>::call, METH_VARARGS,
             "_async_copy_put($self, data, /)\n--\n\nCOPY data: 0 when taken, 2 when the socket must become writable first."),
    ZT_METHD("_async_copy_get", zt_held<pyzt_conn_async_copy_get>::call, METH_NOARGS,
             "_async_copy_get($self, /)\n--\n\nCOPY data: bytes, 1 when the socket must become readable first, None after the last."),
    ZT_METHD("_async_copy_end", zt_held<pyzt_conn_async_copy_end>::call, METH_VARARGS,
             "_async_copy_end($self, abort_message=None, /)\n--\n\nStarts ending the COPY: 0, or 2 when the socket must become writable first."),
    ZT_METHD("getnotices", zt_faced<pyzt_conn_getnotices>::call, METH_NOARGS,
             "getnotices($self, /)\n--\n\nThe server notices kept for the session, oldest first; each is handed out once."),
    ZT_METHD("cursor", zt_faced<pyzt_conn_cursor>::call, METH_VARARGS | METH_KEYWORDS,
             "cursor($self, /, name=None, cursor_factory=None, withhold=None, scrollable=None)\n--\n\nA new cursor of this connection."),
    ZT_METHD("close", zt_closing<pyzt_conn_close>::call, METH_NOARGS,
             "close($self, /)\n--\n\nEnds the session."),
    ZT_METHD("commit", zt_held<pyzt_conn_commit>::call, METH_NOARGS,
             "commit($self, /)\n--\n\nCommits the open transaction."),
    ZT_METHD("rollback", zt_held<pyzt_conn_rollback>::call, METH_NOARGS,
             "rollback($self, /)\n--\n\nRolls the open transaction back."),
    ZT_METHD("autocommit", zt_held<pyzt_set_auto_commit>::call, METH_VARARGS | METH_KEYWORDS,
             "autocommit($self, flag, /)\n--\n\nSwitches autocommit on (committing an open transaction) or off."),
    ZT_METHD("__enter__", memory_enter, METH_NOARGS,
             "__enter__($self, /)\n--\n\nReturns the connection."),
    ZT_METHD("__exit__", zt_closing<memory_exit>::call, METH_VARARGS,
             "__exit__($self, *args)\n--\n\nCloses the connection."),
    ZT_METHD("cancel", zt_faced<pyzt_conn_cancel>::call, METH_NOARGS,
             "cancel($self, /)\n--\n\nAsks the server to cancel the statement running on this session."),
    ZT_METHD("fileno", zt_held<pyzt_conn_fileno>::call, METH_NOARGS,
             "fileno($self, /)\n--\n\nThe session's socket descriptor, for select()."),
    ZT_METHD("getnotifies", zt_held<pyzt_conn_getnotifies>::call, METH_NOARGS,
             "getnotifies($self, /)\n--\n\nThe notifications received so far as (channel, payload, pid), oldest first; each is handed out once."),
    ZT_METHD("waitnotify", zt_held<pyzt_conn_waitnotify>::call, METH_VARARGS,
             "waitnotify($self, timeout=None, /)\n--\n\nWaits until a notification is pending (True) or timeout seconds passed (False)."),
    ZT_METHD("pipeline_sync", zt_held<pyzt_conn_pipeline_sync>::call, METH_NOARGS,
             "pipeline_sync($self, /)\n--\n\nEnds the pipeline batch in flight; returns the number of outcomes kept for pipeline_take."),
    ZT_METHD("session_info", zt_held<pyzt_conn_session_info>::call, METH_VARARGS,
             "session_info($self, what, name=None, /)\n--\n\nWhat the library knows of the session (transaction_status, backend_pid, server_version, host, hostaddr, port, dbname, user, options, parameter, conninfo) as str."),
    {nullptr, nullptr, 0, nullptr},
};

/* The library's own threshold, which a connection keeps until prepare_threshold is set. */
constexpr int ZT_DEFAULT_PREPARE_RUNS = 2;

/* prepare_threshold: how many runs of a statement text come before the library prepares
 * it on the server (the next run is prepared); None: no named server statement is ever
 * created (what a pooler in transaction mode needs). */
PyObject *pyzt_conn_get_prepare_threshold(RhConnect *self, void *)
{
    if (!self->prepare_set)
        return PyLong_FromLong(ZT_DEFAULT_PREPARE_RUNS);
    if (self->prepare_runs < 0)
        Py_RETURN_NONE;
    return PyLong_FromLong(self->prepare_runs);
}

int pyzt_conn_set_prepare_threshold(RhConnect *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "prepare_threshold cannot be deleted");
        return -1;
    }
    long runs = -1;
    if (value != Py_None) {
        if (!PyLong_Check(value) || PyBool_Check(value)) {
            PyErr_Format(PyExc_TypeError, "prepare_threshold must be an int or None, not %s",
                         Py_TYPE(value)->tp_name);
            return -1;
        }
        int overflow = 0;
        runs = PyLong_AsLongAndOverflow(value, &overflow);
        if (runs == -1 && PyErr_Occurred())
            return -1;
        if (runs < 0 || overflow < 0) {
            PyErr_SetString(PyExc_ValueError, "prepare_threshold must be 0 or more, or None");
            return -1;
        }
        if (overflow > 0 || runs > INT32_MAX)
            runs = INT32_MAX;
    }
    /* The library call never waits on the server; the hold keeps it off a session
     * another thread is using. */
    ZtHold hold(self);
    self->prepare_runs = static_cast<int32_t>(runs);
    self->prepare_set = 1;
    if (self->p_conn != nullptr)
        ZTC_SetPrepareThreshold(&self->p_conn, self->prepare_runs);
    return 0;
}

PyGetSetDef connection_getset[] = {
    {"prepare_threshold", reinterpret_cast<getter>(pyzt_conn_get_prepare_threshold),
     reinterpret_cast<setter>(pyzt_conn_set_prepare_threshold),
     "Runs of a statement before the library prepares it on the server (None: never)",
     nullptr},
    {"broken", reinterpret_cast<getter>(pyzt_conn_broken), nullptr,
     "True when the server ended the session or the connection to it was lost", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* Filled field by field: the slot list differs between interpreter versions. */
PyTypeObject zt_connection_type_object()
{
    PyTypeObject t{};
    Py_SET_REFCNT(&t.ob_base.ob_base, 1);
    t.tp_name = "ztcondb.connection";
    t.tp_basicsize = sizeof(RhConnect);
    t.tp_dealloc = reinterpret_cast<destructor>(connection_dealloc);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "connection Objects: a session with the server.";
    t.tp_traverse = connection_traverse;
    t.tp_clear = connection_clear;
    t.tp_methods = connection_methods;
    t.tp_members = connection_members;
    t.tp_getset = connection_getset;
    t.tp_init = reinterpret_cast<initproc>(connection_init);
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_new = connection_new;
    t.tp_free = PyObject_GC_Del;
    return t;
}

}  // namespace

PyTypeObject connectionType = zt_connection_type_object();
