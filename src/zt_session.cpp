/* zt_session.cpp - the connection's lock and the hold a method keeps on it, work
 * deferred until the session is given back, Ctrl-C while the library waits, and the
 * wrappers that release the interpreter lock around library calls that can wait.
 *
 * Why a method holds the session for its whole run rather than per library call: one
 * statement is several calls (reset, binds, execute, reading outputs) over bindings
 * the session keeps, with Python code run between them; another thread's calls in
 * between would mix bindings. Results are read under the same hold, so result calls
 * never meet a session call of another thread either. */
#include "zt_session.h"
#include "pyzt_util.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

struct zt_conn_sync {
    std::mutex lock;                        /* serialises the session's use */
    std::atomic<unsigned long> owner{0};    /* thread holding `lock`; 0 when free */
    int depth = 0;                          /* holds of the owner, nested */
    /* An execution has cleared the session's bindings and is binding or running (or
     * reading the outputs of) its own (ZtBindingsClaim; the owner's thread, GIL). */
    bool bindings_claimed = false;
    /* Sessions closed or replaced inside a method, ended after it (GIL). */
    std::vector<ZTC_HANDLE> detached;
    /* Server cursors of finalized cursors, with the session they belong to (GIL). */
    std::vector<std::pair<uint64_t, std::string>> cursor_closes;
    /* Keeps the session alive while cancel() uses it from another thread. */
    std::mutex cancel_lock;
    /* The process's count of forks when the connection was made (see zt_forks); in a
     * forked child the session is the parent's, and the locks may be held by parent
     * threads the child does not have. */
    unsigned forks;
};

namespace {

/* Forks this process came out of, counted by the child's handler: a connection compares
 * it with its own count on every method without a system call. */
std::atomic<unsigned> zt_forks_in_child{0};

extern "C" void zt_count_fork_in_child()
{
    zt_forks_in_child.fetch_add(1, std::memory_order_relaxed);
}

unsigned zt_forks()
{
    static const int registered = pthread_atfork(nullptr, nullptr, zt_count_fork_in_child);
    (void)registered;
    return zt_forks_in_child.load(std::memory_order_relaxed);
}

}  // namespace

zt_conn_sync *zt_sync_new()
{
    zt_conn_sync *sync = new (std::nothrow) zt_conn_sync;
    if (sync)
        sync->forks = zt_forks();
    return sync;
}

void zt_sync_free(zt_conn_sync *sync)
{
    if (sync == nullptr)
        return;
    /* In a forked child a lock a parent thread held at the fork stays locked for good:
     * such a record is left as it is rather than destroyed locked. */
    if (sync->forks != zt_forks()) {
        if (!sync->lock.try_lock())
            return;
        if (!sync->cancel_lock.try_lock()) {
            sync->lock.unlock();
            return;
        }
        sync->cancel_lock.unlock();
        sync->lock.unlock();
    }
    delete sync;
}

bool zt_conn_foreign(RhConnect *conn)
{
    return conn != nullptr && conn->sync != nullptr && conn->sync->forks != zt_forks();
}

PyObject *zt_raise_foreign()
{
    PyErr_SetString(InterfaceError,
                    "the connection was opened by another process: a forked process cannot "
                    "use it (open a new connection in this process)");
    return nullptr;
}

void zt_conn_forget(RhConnect *conn)
{
    ZTC_HANDLE session = conn->p_conn;
    conn->p_conn = nullptr;
    ++conn->session_gen;
    /* The library sees the foreign process too and sends nothing. */
    ZTC_CloseConn(&session);
    if (conn->turnIP_attrs) {
        Release_IpsAttrs(&conn->turnIP_attrs);
        conn->turnIP_attrs = nullptr;
    }
}

void zt_lock_without_gil(std::mutex &m)
{
    if (m.try_lock())
        return;
    Py_BEGIN_ALLOW_THREADS
    m.lock();
    Py_END_ALLOW_THREADS
}

ZtCancelGuard::ZtCancelGuard(RhConnect *conn) : sync_(conn->sync)
{
    if (sync_)
        zt_lock_without_gil(sync_->cancel_lock);
}

ZtCancelGuard::~ZtCancelGuard()
{
    if (sync_)
        sync_->cancel_lock.unlock();
}

namespace {

/* A Ctrl-C (or any exception a signal handler raised) met while the library waited,
 * kept until the outermost method of the thread returns. */
struct ZtInterrupt {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
};
thread_local ZtInterrupt zt_interrupt;
/* Methods of any connection running on this thread, nested. */
thread_local int zt_method_depth = 0;

/* Runs what was deferred until the session is given back: the closes of server cursors
 * whose cursors were finalized while another call held the session, then a close()
 * asked for inside a method. The caller holds the session and the interpreter lock;
 * errors are not reported (nobody is left to receive them). */
void zt_run_deferred(RhConnect *conn, zt_conn_sync *sync)
{
    PyErrSaver saved;
    while (!sync->cursor_closes.empty()) {
        std::pair<uint64_t, std::string> item = std::move(sync->cursor_closes.back());
        sync->cursor_closes.pop_back();
        if (conn->p_conn != nullptr && item.first == conn->session_gen)
            zt_lib_close_cursor(&conn->p_conn, item.second.c_str());
    }
    while (!sync->detached.empty()) {
        ZTC_HANDLE session = sync->detached.back();
        sync->detached.pop_back();
        zt_lib_close(&session);
    }
}

}  // namespace

ZtHold::ZtHold(RhConnect *conn, Mode mode) : conn_(conn)
{
    zt_conn_sync *sync = conn ? conn->sync : nullptr;
    if (sync == nullptr) {
        conn_ = nullptr;
        held_ = true;
        return;
    }
    if (sync->forks != zt_forks()) {
        /* A forked child: the lock may be held by a parent thread that is not here. */
        conn_ = nullptr;
        return;
    }
    unsigned long me = PyThread_get_thread_ident();
    if (sync->owner.load(std::memory_order_relaxed) == me) {
        ++sync->depth;
        nested_ = true;
    } else if (sync->lock.try_lock()) {
        sync->owner.store(me, std::memory_order_relaxed);
        sync->depth = 1;
    } else if (mode == TRY) {
        conn_ = nullptr;
        return;
    } else {
        Py_BEGIN_ALLOW_THREADS
        sync->lock.lock();
        Py_END_ALLOW_THREADS
        sync->owner.store(me, std::memory_order_relaxed);
        sync->depth = 1;
    }
    held_ = true;
    /* A nested method may drop the last other reference to the connection (a cursor
     * initialised again onto another one); it must outlive the hold. */
    Py_INCREF(conn);
}

void ZtHold::release()
{
    if (conn_ == nullptr)
        return;
    RhConnect *conn = conn_;
    conn_ = nullptr;
    zt_conn_sync *sync = conn->sync;
    if (sync->depth == 1)
        zt_run_deferred(conn, sync);
    if (--sync->depth == 0) {
        sync->owner.store(0, std::memory_order_relaxed);
        sync->lock.unlock();
    }
    Py_DECREF(conn);
}

bool zt_conn_close_deferred(RhConnect *conn, int outer)
{
    zt_conn_sync *sync = conn->sync;
    if (sync == nullptr || sync->depth <= outer ||
        sync->owner.load(std::memory_order_relaxed) != PyThread_get_thread_ident())
        return false;
    if (conn->p_conn != nullptr) {
        try {
            sync->detached.push_back(conn->p_conn);
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    zt_lock_without_gil(sync->cancel_lock);
    conn->p_conn = nullptr;
    ++conn->session_gen;
    sync->cancel_lock.unlock();
    return true;
}

void zt_conn_defer_cursor_close(RhConnect *conn, uint64_t gen, const char *name)
{
    if (conn == nullptr || conn->sync == nullptr || name == nullptr)
        return;
    try {
        conn->sync->cursor_closes.emplace_back(gen, name);
    } catch (const std::bad_alloc &) {
    }
}

int zt_conn_end_session(RhConnect *conn)
{
    if (conn->p_conn == nullptr)
        return ZTC_CloseConn(&conn->p_conn);
    if (zt_conn_foreign(conn)) {
        zt_conn_forget(conn);
        return 0;
    }
    /* cancel() from another thread reads the handle under cancel_lock. */
    if (conn->sync)
        zt_lock_without_gil(conn->sync->cancel_lock);
    ZTC_HANDLE session = conn->p_conn;
    conn->p_conn = nullptr;
    ++conn->session_gen;
    if (conn->sync)
        conn->sync->cancel_lock.unlock();
    return zt_lib_close(&session);
}

ZtBindingsClaim::ZtBindingsClaim(RhConnect *conn) : sync_(conn ? conn->sync : nullptr)
{
    if (sync_ == nullptr)
        return;
    if (sync_->bindings_claimed) {
        sync_ = nullptr;
        refused_ = true;
        PyErr_SetString(ProgrammingError, "the connection is in use by a call in progress");
        return;
    }
    sync_->bindings_claimed = true;
}

ZtBindingsClaim::~ZtBindingsClaim()
{
    if (sync_ != nullptr)
        sync_->bindings_claimed = false;
}

RhConnect *zt_conn_of(cursorObject *self)
{
    return reinterpret_cast<RhConnect *>(self->conn);
}

RhConnect *zt_conn_of(RhConnect *self)
{
    return self;
}

void zt_enter_method()
{
    ++zt_method_depth;
}

PyObject *zt_finish_method(PyObject *result)
{
    if (--zt_method_depth > 0 || zt_interrupt.type == nullptr)
        return result;
    if (result != nullptr)
        Py_DECREF(result);
    else
        PyErr_Clear();
    PyErr_Restore(zt_interrupt.type, zt_interrupt.value, zt_interrupt.traceback);
    zt_interrupt = ZtInterrupt();
    return nullptr;
}

void zt_note_interrupt(const char *note)
{
    if (zt_method_depth == 0)
        return;
    if (zt_interrupt.type == nullptr) {
        PyErrSaver pending;
        if (PyErr_CheckSignals() < 0)
            PyErr_Fetch(&zt_interrupt.type, &zt_interrupt.value, &zt_interrupt.traceback);
    }
    if (zt_interrupt.type == nullptr)
        return;
    PyErrSaver pending;
    PyErr_NormalizeException(&zt_interrupt.type, &zt_interrupt.value, &zt_interrupt.traceback);
    if (zt_interrupt.value == nullptr)
        return;
    /* __notes__, as BaseException.add_note keeps them (tracebacks show them from 3.11). */
    PyRef notes(PyObject_GetAttrString(zt_interrupt.value, "__notes__"));
    if (!notes) {
        PyErr_Clear();
        notes = PyRef(PyList_New(0));
        if (!notes || PyObject_SetAttrString(zt_interrupt.value, "__notes__", notes.get()) < 0)
            return;
    }
    PyRef text(PyUnicode_FromString(note));
    if (text && PyList_Check(notes.get()))
        PyList_Append(notes.get(), text.get());
    PyErr_Clear();
}

PyObject *zt_take_interrupt()
{
    if (zt_method_depth != 1 || zt_interrupt.type == nullptr)
        return nullptr;
    PyObject *type = zt_interrupt.type, *value = zt_interrupt.value, *tb = zt_interrupt.traceback;
    zt_interrupt = ZtInterrupt();
    return zt_exception_instance(type, value, tb);
}

/* Signal handlers run only on the main thread, so only it takes the interpreter lock
 * here; the main thread of the process is the one whose id is the process id. */
extern "C" int zt_wait_tick(void *)
{
    if (zt_method_depth == 0)
        return 0;
    if (zt_interrupt.type != nullptr)
        return 1;
    if (syscall(SYS_gettid) != getpid())
        return 0;
    PyGILState_STATE gil = PyGILState_Ensure();
    int stop = 0;
    {
        /* An error the method keeps pending for later stays as it is. */
        PyErrSaver pending;
        if (PyErr_CheckSignals() < 0) {
            PyErr_Fetch(&zt_interrupt.type, &zt_interrupt.value, &zt_interrupt.traceback);
            stop = 1;
        }
    }
    PyGILState_Release(gil);
    return stop;
}

/* ---- library calls without the interpreter lock ---- */

/* Calls the library routine fn(args...) with the interpreter lock released, so that
 * other Python threads run while it waits on the server: each wrapper below is this one
 * step over one ZTC_ routine. */
namespace {
template <typename Fn, typename... Args>
int zt_without_gil(Fn fn, Args... args)
{
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = fn(args...);
    Py_END_ALLOW_THREADS
    return rc;
}
}  // namespace

int zt_lib_open(const char *text, bool host_list, ZTC_HANDLE *attrs, ZTC_HANDLE *S)
{
    return host_list ? zt_without_gil(ZTC_OpenConn_Ips, text, 1, attrs, S)
                     : zt_without_gil(ZTC_OpenConn, text, S);
}

int zt_lib_close(ZTC_HANDLE *S)
{
    return zt_without_gil(ZTC_CloseConn, S);
}

int zt_lib_execute_no_query(ZTC_HANDLE *S, const char *sql)
{
    return zt_without_gil(ZTC_Execute_no_query, S, sql);
}

int zt_lib_exec_reader(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE *R, int *columns,
                       int64_t *rows, int *affected)
{
    return zt_without_gil(ZTC_ExecwithDataReader, S, sql, R, columns, rows, affected);
}

int zt_lib_prepare(ZTC_HANDLE *S, const char *sql)
{
    return zt_without_gil(ZTC_Prepare2, S, sql, nullptr);
}

int zt_lib_execute_prepared(ZTC_HANDLE *S, ZTC_HANDLE *R)
{
    return zt_without_gil(ZTC_Execute2, S, nullptr, nullptr, R);
}

int zt_lib_unprepare(ZTC_HANDLE *S)
{
    return zt_without_gil(ZTC_UnPrepare, S, nullptr);
}

int zt_lib_exec_batch(ZTC_HANDLE *S, const char *sql, int rows)
{
    return zt_without_gil(ZTC_ExecBatch, S, sql, rows);
}

int zt_lib_bind_param(ZTC_HANDLE *S, int pos, int direction, int type, void *buffer,
                      int buflen, int *length)
{
    return zt_without_gil(ZTC_BindParamByPos,
                          S, pos, direction, type, buffer, buflen, length);
}

int zt_lib_bind_typed(ZTC_HANDLE *S, int pos, unsigned oid, int format, const char *data,
                      int length)
{
    return zt_without_gil(ZTC_BindParamTyped, S, pos, oid, format, data, length);
}

int zt_lib_set_array_type(ZTC_HANDLE *S, int pos, unsigned oid)
{
    return zt_without_gil(ZTC_SetArrayServerType, S, pos, oid);
}

int zt_lib_bind_array(ZTC_HANDLE *S, bool in_place, int pos, int columns, int direction,
                      int type, int n, void *values, int size, int *lengths)
{
    return zt_without_gil(in_place ? ZTC_BindParamArrayInPlace : ZTC_BindParamArrayByPos,
                          S, pos, columns, direction, type, n, values, size, lengths);
}

int zt_lib_procedure(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE R)
{
    return zt_without_gil(ZTC_Execute_procesure, S, sql, R);
}

int zt_lib_fetch_rowset(ZTC_HANDLE *S, const char *name, ZTC_HANDLE *R)
{
    return zt_without_gil(ZTC_FetchServerCursorRowset, S, name, R);
}

int zt_lib_fetch_page(ZTC_HANDLE *S, const char *name, long long reader, int count, int ahead,
                      ZTC_HANDLE *R, int *sent)
{
    return zt_without_gil(ZTC_FetchCursorPage, S, name, reader, count, ahead, R, sent);
}

int zt_lib_close_cursor(ZTC_HANDLE *S, const char *name)
{
    return zt_without_gil(ZTC_CloseCursor, S, name);
}

int zt_lib_cancel(ZTC_HANDLE *S)
{
    return zt_without_gil(ZTC_Cancel, S);
}

int zt_lib_copy_start(ZTC_HANDLE *S, const char *sql, int *direction)
{
    return zt_without_gil(ZTC_CopyStart, S, sql, direction);
}

int zt_lib_copy_put(ZTC_HANDLE *S, const char *data, int length)
{
    return zt_without_gil(ZTC_CopyPut, S, data, length);
}

int zt_lib_copy_get(ZTC_HANDLE *S, char *buffer, int capacity, int *length)
{
    return zt_without_gil(ZTC_CopyGet, S, buffer, capacity, length);
}

int zt_lib_copy_end(ZTC_HANDLE *S, const char *abort_message, long long *rows)
{
    return zt_without_gil(ZTC_CopyEnd, S, abort_message, rows);
}

int zt_lib_wait_notify(ZTC_HANDLE *S, int timeout_ms)
{
    return zt_without_gil(ZTC_WaitNotify, S, timeout_ms);
}

int zt_lib_pipeline_send(ZTC_HANDLE *S, const char *sql)
{
    return zt_without_gil(ZTC_PipelineSend, S, sql);
}

int zt_lib_pipeline_sync(ZTC_HANDLE *S, int *kept)
{
    return zt_without_gil(ZTC_PipelineSync, S, kept);
}

int zt_lib_pipeline_result(ZTC_HANDLE *S, ZTC_HANDLE *R)
{
    return zt_without_gil(ZTC_PipelineResult, S, R);
}
