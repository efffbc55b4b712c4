/* zt_session.h - one session, several threads: the connection's lock, the hold a method
 * keeps on it, deferred work, Ctrl-C while the library waits, and one wrapper per
 * library call that can wait on the server.
 *
 * Rules kept here (see zt_session.cpp for why):
 * - A connection method, and every method of its cursors, holds the connection's
 *   session for its whole run (ZtHold). Another thread waits for it without the
 *   interpreter lock; the same thread (Python code run inside the method: a parameter's
 *   methods, GC callbacks, finalizers) enters again, but a method of the cursor whose
 *   method is running is refused (the cursor's busy flag): only the connection can
 *   change under a method, and closing it from inside is deferred until the method
 *   returns.
 * - conn->p_conn and conn->session_gen change only with the hold and the interpreter
 *   lock both held, so a reader holding either one sees a settled value.
 * - The zt_lib_ wrappers release the interpreter lock around the call; the caller holds
 *   the session and passes only memory that no Python code can change or free. */
#ifndef ZT_SESSION_H
#define ZT_SESSION_H

#include "pyzt_util.h"
#include "zt_connect.h"
#include "zt_cursor.h"

#include <mutex>

/* The connection's lock and deferred work; made with the connection, freed with it. */
struct zt_conn_sync;
zt_conn_sync *zt_sync_new();
void zt_sync_free(zt_conn_sync *sync);

/* The hold of a method on its connection's session. */
class ZtHold {
public:
    enum Mode { WAIT, TRY };
    /* WAIT: takes the session, waiting for another thread without the interpreter lock.
     * TRY: takes it only when that needs no wait (finalizers must never block).
     * A null connection, or one without its lock, is held trivially. */
    explicit ZtHold(RhConnect *conn, Mode mode = WAIT);
    /* In a forked child nothing is held (held() is false) and no lock is touched. */
    ~ZtHold() { release(); }
    ZtHold(const ZtHold &) = delete;
    ZtHold &operator=(const ZtHold &) = delete;

    /* False only when TRY found the session in use by another thread. */
    bool held() const { return held_; }
    /* True when this thread held the session already (a method running inside a
     * method of the same connection). */
    bool nested() const { return nested_; }
    /* Gives the hold back; the last hold of the thread runs the deferred work first. */
    void release();

private:
    RhConnect *conn_;
    bool held_ = false;
    bool nested_ = false;
};

/* The session's bindings (parameters, arrays, a call's outputs), claimed by one
 * execution from the moment it clears them until it returns. Python code run inside it
 * (a parameter's __str__, a finalizer) that starts an execution on another cursor of
 * the same connection would clear them or bind its own in their place, and the first
 * statement would run with the other's values: that execution is refused instead
 * (ProgrammingError), as a call on the same cursor is. Expects the session's hold. */
class ZtBindingsClaim {
public:
    explicit ZtBindingsClaim(RhConnect *conn);
    ~ZtBindingsClaim();
    ZtBindingsClaim(const ZtBindingsClaim &) = delete;
    ZtBindingsClaim &operator=(const ZtBindingsClaim &) = delete;
    /* True when another execution holds the bindings (the error is set). */
    bool refused() const { return refused_; }

private:
    zt_conn_sync *sync_;
    bool refused_ = false;
};

/* Called by close() while this thread holds the session more than once (close asked
 * from Python code that runs inside a method of the same connection): the connection
 * is closed at once (its cursors fail their check from now on), but the library's
 * session is ended only when the outermost hold is given back, so the running method
 * never has it freed under it. `outer` is the caller's own holds (close() is a held
 * method: 1; an initialisation holds the session itself: 1 too). False when the close
 * is not nested. */
bool zt_conn_close_deferred(RhConnect *conn, int outer = 1);
/* Called by FreeResults when it cannot take the session: the server cursor is closed
 * by whoever gives the session back next, if that session is still `gen`. Never fails;
 * a failed allocation leaves the cursor to the end of its transaction. */
void zt_conn_defer_cursor_close(RhConnect *conn, uint64_t gen, const char *name);
/* Ends the session now (the caller holds it): handle emptied and session_gen changed
 * with the interpreter lock held, then the library call without it. Returns what
 * ZTC_CloseConn returned. */
int zt_conn_end_session(RhConnect *conn);
/* True in a process other than the one that made the connection (a forked child): the
 * session is the parent's; nothing of it may be used or ended on the server here. */
bool zt_conn_foreign(RhConnect *conn);
/* Raises InterfaceError for a connection used in a forked child; returns nullptr. */
PyObject *zt_raise_foreign();
/* In a forked child: drops the session and host-list attributes without a word to the
 * server and without taking any lock. */
void zt_conn_forget(RhConnect *conn);
/* Takes `m` without waiting with the interpreter lock held. */
void zt_lock_without_gil(std::mutex &m);
/* Keeps the connection's session from being ended while cancel() uses it. */
class ZtCancelGuard {
public:
    explicit ZtCancelGuard(RhConnect *conn);
    ~ZtCancelGuard();
    ZtCancelGuard(const ZtCancelGuard &) = delete;
    ZtCancelGuard &operator=(const ZtCancelGuard &) = delete;
private:
    zt_conn_sync *sync_;
};

/* Runs one method with its connection's session held, then gives back a Ctrl-C that
 * arrived while the library waited: the method's result or error is replaced by it. */
RhConnect *zt_conn_of(cursorObject *self);
RhConnect *zt_conn_of(RhConnect *self);
PyObject *zt_finish_method(PyObject *result);
void zt_enter_method();
/* Takes the exception a signal handler raised while the library waited, for a method
 * that hands it back itself with what it received: a new reference, or nullptr (no
 * error set) when there is none or the method runs inside another. */
PyObject *zt_take_interrupt();

/* Runs one method's body: a cursor's with its busy flag held for the whole of it (a
 * method called inside it on the same cursor is refused), a connection's as it is. */
template <typename Body> PyObject *zt_run_marked(RhConnect *, Body body)
{
    return body();
}
template <typename Body> PyObject *zt_run_marked(cursorObject *cur, Body body)
{
    if (zt_curs_enter(cur) < 0)
        return nullptr;
    struct Leave {
        cursorObject *cur;
        ~Leave() { zt_curs_leave(cur); }
    } leave{cur};
    return body();
}

/* The error table of a connection (null: the module's classes, or no connection). */
inline PyObject *zt_face_table(RhConnect *conn)
{
    return conn != nullptr ? conn->error_table : nullptr;
}

template <auto F> struct zt_held;
template <typename Self, typename... A, PyObject *(*F)(Self *, A...)>
struct zt_held<F> {
    static PyObject *call(PyObject *self, A... args)
    {
        Self *s = reinterpret_cast<Self *>(self);
        ZtFace face(zt_face_table(zt_conn_of(s)));
        if (zt_conn_foreign(zt_conn_of(s)))
            return face.finish(zt_raise_foreign());
        PyObject *result;
        {
            ZtHold hold(zt_conn_of(s));
            zt_enter_method();
            result = zt_run_marked(s, [&] { return F(s, args...); });
        }
        return face.finish(zt_finish_method(result));
    }
};

/* A method that takes no hold, run with its connection's exceptions (see ZtFace). */
template <auto F> struct zt_faced;
template <typename Self, typename... A, PyObject *(*F)(Self *, A...)>
struct zt_faced<F> {
    static PyObject *call(PyObject *self, A... args)
    {
        Self *s = reinterpret_cast<Self *>(self);
        ZtFace face(zt_face_table(zt_conn_of(s)));
        return face.finish(F(s, args...));
    }
};

/* close() and __exit__: in a forked child they drop the session quietly (the parent's
 * goes on), elsewhere they run as held methods. */
template <auto F> struct zt_closing;
template <typename... A, PyObject *(*F)(RhConnect *, A...)>
struct zt_closing<F> {
    static PyObject *call(PyObject *self, A... args)
    {
        RhConnect *conn = reinterpret_cast<RhConnect *>(self);
        if (!zt_conn_foreign(conn))
            return zt_held<F>::call(self, args...);
        zt_conn_forget(conn);
        Py_RETURN_NONE;
    }
};

/* The wait handler installed on every session: on the main thread it runs pending
 * signal handlers; when one raises, the exception is kept for zt_finish_method and the
 * library is asked to cancel. */
extern "C" int zt_wait_tick(void *context);
/* After a call that may have taken effect on the server: a Ctrl-C or a signal handler's
 * exception kept for the end of the method (taking one still pending now) gets `note` in
 * its __notes__, saying what became of the call. Nothing when there is none; an error
 * already set stays as it is. */
void zt_note_interrupt(const char *note);
constexpr int ZT_WAIT_TICK_MS = 100;

/* ---- library calls without the interpreter lock (caller holds the session) ---- */

int zt_lib_open(const char *text, bool host_list, ZTC_HANDLE *attrs, ZTC_HANDLE *S);
int zt_lib_close(ZTC_HANDLE *S);
int zt_lib_execute_no_query(ZTC_HANDLE *S, const char *sql);
int zt_lib_exec_reader(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE *R, int *columns,
                       int64_t *rows, int *affected);
int zt_lib_prepare(ZTC_HANDLE *S, const char *sql);
int zt_lib_execute_prepared(ZTC_HANDLE *S, ZTC_HANDLE *R);
int zt_lib_unprepare(ZTC_HANDLE *S);
int zt_lib_exec_batch(ZTC_HANDLE *S, const char *sql, int rows);
/* Bindings: the library first reads a page a named cursor asked for ahead, which may wait
 * on the server. The buffers are the caller's own or an immutable object's it holds. */
int zt_lib_bind_param(ZTC_HANDLE *S, int pos, int direction, int type, void *buffer,
                      int buflen, int *length);
int zt_lib_bind_typed(ZTC_HANDLE *S, int pos, unsigned oid, int format, const char *data,
                      int length);
int zt_lib_set_array_type(ZTC_HANDLE *S, int pos, unsigned oid);
int zt_lib_bind_array(ZTC_HANDLE *S, bool in_place, int pos, int columns, int direction,
                      int type, int n, void *values, int size, int *lengths);
int zt_lib_procedure(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE R);
int zt_lib_fetch_rowset(ZTC_HANDLE *S, const char *name, ZTC_HANDLE *R);
int zt_lib_close_cursor(ZTC_HANDLE *S, const char *name);
int zt_lib_fetch_page(ZTC_HANDLE *S, const char *name, long long reader, int count, int ahead,
                      ZTC_HANDLE *R, int *sent);
int zt_lib_cancel(ZTC_HANDLE *S);
/* Notifications and pipelines. */
int zt_lib_wait_notify(ZTC_HANDLE *S, int timeout_ms);
int zt_lib_pipeline_send(ZTC_HANDLE *S, const char *sql);
int zt_lib_pipeline_sync(ZTC_HANDLE *S, int *kept);
int zt_lib_pipeline_result(ZTC_HANDLE *S, ZTC_HANDLE *R);
/* COPY streaming; copy_put's data is a buffer the caller keeps exported (Py_buffer),
 * so no Python code can change or free it meanwhile. */
int zt_lib_copy_start(ZTC_HANDLE *S, const char *sql, int *direction);
int zt_lib_copy_put(ZTC_HANDLE *S, const char *data, int length);
int zt_lib_copy_get(ZTC_HANDLE *S, char *buffer, int capacity, int *length);
int zt_lib_copy_end(ZTC_HANDLE *S, const char *abort_message, long long *rows);

#endif
