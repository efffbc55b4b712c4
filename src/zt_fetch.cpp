/* zt_fetch.cpp - fetchone, fetchmany, fetchall and nextset: reading the rows of a
 * plain result, or of a server cursor rowset by rowset, and moving between results. */
#include "zt_cursor.h"
#include "zt_conv.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <cstdlib>
#include <new>

/* Holds an exception aside while more library work runs; a later error replaces an
 * earlier one. raise() puts the held one back as the pending exception. */
class ZtHeldError {
public:
    ZtHeldError() = default;
    ZtHeldError(const ZtHeldError &) = delete;
    ZtHeldError &operator=(const ZtHeldError &) = delete;
    ~ZtHeldError() { drop(); }

    /* Takes the pending exception, replacing what was held. */
    void take() {
        drop();
        PyErr_Fetch(&t_, &v_, &tb_);
    }
    bool held() const { return t_ != nullptr; }
    /* Restores the held exception; returns nullptr for the caller to return. */
    PyObject *raise() {
        PyErr_Restore(t_, v_, tb_);
        t_ = v_ = tb_ = nullptr;
        return nullptr;
    }
    void drop() {
        Py_CLEAR(t_);
        Py_CLEAR(v_);
        Py_CLEAR(tb_);
    }
private:
    PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

/* Classes of result the fetch methods read: a server-cursor rowset, a query, a text
 * of several statements. */
static bool zt_curs_readable(const cursorObject *self)
{
    return self->sql_type == ZTC_SQL_SERVER_CURSOR || self->sql_type == ZTC_SQL_QUERY ||
           self->sql_type == ZTC_SQL_MULTI;
}

/* Takes the counts of the result p_results now stands on into the cursor. */
static void zt_curs_take_counts(cursorObject *self)
{
    int rows = 0;
    if (ZTC_getResultRet(&self->p_results, &self->sql_type, &self->fieldnum, &rows,
                         &self->effect_num, nullptr) >= 0)
        self->rowcount = rows;
    self->closed = 0;
}

/* Ends a server cursor that is exhausted or could not be fetched: closes it with the
 * library, frees its name and releases whatever result is left. Keeps a pending
 * exception. FreeResults alone cannot do it when the last fetch left no result. */
static void zt_curs_end_server_cursor(cursorObject *self)
{
    PyErrSaver saved;
    if (self->p_results != nullptr) {
        FreeResults(self);
        return;
    }
    if (self->service_cur && zt_curs_session_alive(self))
        zt_lib_close_cursor(&self->p_conn, self->name);
    std::free(self->name);
    self->name = nullptr;
    self->service_cur = 0;
    self->row = 0;
    zt_curs_forget_result(self);
}

/* Fetches the next rowset of the server cursor into p_results (the library frees
 * what it held) and stores its row count in row: the count, 0 when the cursor is
 * exhausted, or -1 with the library's error raised and the server cursor given up.
 * The one place that asks the server for rows. */
static int zt_curs_fetch_rowset(cursorObject *self)
{
    /* Rows built since the last rowset ran Python code, which may have closed the
     * connection: the server cursor went with its session. */
    if (zt_curs_check(self) < 0) {
        self->row = 0;
        zt_curs_end_server_cursor(self);
        return -1;
    }
    int n = self->name != nullptr
                ? zt_lib_fetch_rowset(&self->p_conn, self->name, &self->p_results)
                : 0;
    if (n < 0) {
        self->row = 0;
        zt_raise_library_error(&self->p_conn);
        zt_curs_end_server_cursor(self);
        return -1;
    }
    self->row = n;
    return n;
}

/* Takes a rowset just fetched into the cursor: counts, class 4, row count rule and
 * description. 0, or -1 with an error set. */
static int zt_curs_take_rowset(cursorObject *self)
{
    zt_curs_take_counts(self);
    self->sql_type = ZTC_SQL_SERVER_CURSOR;
    zt_curs_rowcount(self);
    if (self->p_results != nullptr)
        return zt_curs_description(self);
    return 0;
}

/* Loads the next rowset of the server cursor once the current one is read: row
 * becomes its row count (0 when the cursor is exhausted), and the counts and the
 * description follow the new rowset, also an empty one. 0, or -1 with an error set. */
static int zt_curs_refill(cursorObject *self)
{
    ZTC_FreeRowset(&self->p_results);
    int n = zt_curs_fetch_rowset(self);
    if (n < 0)
        return -1;
    if (n == 0 && self->p_results == nullptr) {
        /* No result is left for a later fetch to find and release: the exhausted
         * server cursor is closed now, or it would stay open on the session. */
        zt_curs_end_server_cursor(self);
        return 0;
    }
    return zt_curs_take_rowset(self);
}

/* Counts one row of the server cursor's rowset as read and loads the next rowset
 * when that was the last one. An error raised before (a failed read or row) is held
 * across the refill and raised after it, unless the refill fails itself. */
static int zt_curs_row_consumed(cursorObject *self)
{
    ZtHeldError earlier;
    if (PyErr_Occurred())
        earlier.take();
    self->row -= 1;
    if (self->row == 0 && zt_curs_refill(self) < 0)
        return -1;
    if (earlier.held()) {
        earlier.raise();
        return -1;
    }
    return 0;
}

/* Reads the next row of a server cursor: the row, or nullptr with an error set. A
 * read that reports the end or fails is an error here: the rowset said more rows
 * were left. */
static PyObject *zt_curs_server_row(cursorObject *self)
{
    int rc = ZTC_ReadNext(&self->p_results);
    PyRef row;
    if (rc == ZTC_NO_MORE || rc < 0)
        zt_raise_library_error(&self->p_conn);
    else
        row.reset(_pyzt_curs_buildrow(self));
    if (zt_curs_row_consumed(self) < 0)
        return nullptr;
    return row.release();
}

/* Reads the next row of a plain result into *row: 1 with a row, 0 at the end, -1
 * with an error set (a failed read raises the library's error). Either way the
 * result moves past the row. */
int zt_curs_plain_row(cursorObject *self, PyRef *row)
{
    int rc = ZTC_ReadNext(&self->p_results);
    if (rc == ZTC_NO_MORE)
        return 0;
    if (rc < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    row->reset(_pyzt_curs_buildrow(self));
    return *row ? 1 : -1;
}

static PyObject *zt_no_result_set()
{
    PyErr_SetString(ProgrammingError, "The result set does not exist");
    return nullptr;
}

/* The first of the rows a failed fetch kept, or nullptr with an error set. */
static PyObject *zt_curs_first_kept(cursorObject *self)
{
    PyRef head(zt_curs_take_kept(self, 1));
    if (!head)
        return nullptr;
    PyObject *row = PyList_GET_ITEM(head.get(), 0);
    Py_INCREF(row);
    return row;
}

PyObject *pyzt_curs_fetchone(cursorObject *self, PyObject *unused)
{
    (void)unused;
    if (zt_curs_check(self) < 0)
        return nullptr;
    if (zt_curs_has_kept(self))
        return zt_curs_first_kept(self);
    if (self->p_results == nullptr || !zt_curs_readable(self))
        return zt_no_result_set();
    try {
        if (self->name != nullptr) {
            if (self->row <= 0) {
                zt_curs_end_server_cursor(self);
                Py_RETURN_NONE;
            }
            return zt_curs_server_row(self);
        }
        PyRef row;
        int got = zt_curs_plain_row(self, &row);
        if (got < 0)
            return nullptr;
        if (got == 0)
            Py_RETURN_NONE;
        return row.release();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* fetchall over a server cursor: every row of every rowset, then the server cursor
 * is closed. A failed read or row does not stop the loop; the last such error is
 * raised at the end instead of the list (whose rows the next fetch hands out when the
 * error is undecodable text). A failed rowset fetch stops it at once. */
static PyObject *zt_curs_fetchall_server(cursorObject *self, PyObject *list)
{
    ZtHeldError failed;
    for (;;) {
        if (self->row <= 0) {
            zt_curs_end_server_cursor(self);
            break;
        }
        int rc = ZTC_ReadNext(&self->p_results);
        if (rc == ZTC_NO_MORE || rc < 0) {
            zt_raise_library_error(&self->p_conn);
            failed.take();
        } else {
            PyRef row(_pyzt_curs_buildrow(self));
            if (!row || PyList_Append(list, row.get()) < 0)
                failed.take();
        }
        self->row -= 1;
        if (self->row == 0 && zt_curs_refill(self) < 0)
            return nullptr;
    }
    if (failed.held()) {
        failed.raise();
        zt_curs_keep_rows(self, list);
        return nullptr;
    }
    Py_INCREF(list);
    return list;
}

/* fetchall over a plain result: every remaining row; the result stays open. A row
 * that cannot be built stops it; when its text could not be decoded, the rows before
 * it wait for the next fetch. */
static PyObject *zt_curs_fetchall_plain(cursorObject *self, PyObject *list)
{
    for (;;) {
        PyRef row;
        int got = zt_curs_plain_row(self, &row);
        if (got < 0) {
            zt_curs_keep_rows(self, list);
            return nullptr;
        }
        if (got == 0)
            break;
        if (PyList_Append(list, row.get()) < 0)
            return nullptr;
    }
    Py_INCREF(list);
    return list;
}

PyObject *pyzt_curs_fetchall(cursorObject *self, PyObject *unused)
{
    (void)unused;
    if (zt_curs_check(self) < 0)
        return nullptr;
    const bool kept = zt_curs_has_kept(self);
    if (!kept && (self->p_results == nullptr || !zt_curs_readable(self)))
        return zt_no_result_set();
    try {
        PyRef list(zt_curs_take_kept(self, 0));
        if (!list)
            return nullptr;
        /* Only kept rows are left: the result ended with the failed fetch. */
        if (kept && (self->p_results == nullptr || !zt_curs_readable(self)))
            return list.release();
        if (self->service_cur)
            return zt_curs_fetchall_server(self, list.get());
        return zt_curs_fetchall_plain(self, list.get());
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* fetchmany over a server cursor: up to count rows (all when count <= 0), crossing
 * rowsets; once the cursor is exhausted it is closed. */
static PyObject *zt_curs_fetchmany_server(cursorObject *self, int count, PyObject *list)
{
    Py_ssize_t n = PyList_GET_SIZE(list);
    for (;;) {
        if (self->row <= 0) {
            zt_curs_end_server_cursor(self);
            break;
        }
        PyRef row(zt_curs_server_row(self));
        if (!row || PyList_Append(list, row.get()) < 0) {
            zt_curs_keep_rows(self, list);
            return nullptr;
        }
        if (count > 0 && ++n == count)
            break;
    }
    Py_INCREF(list);
    return list;
}

/* fetchmany over a plain result: up to count rows (all when count <= 0); no row is
 * read beyond the count. A row that cannot be built stops it; when its text could not
 * be decoded, the rows before it wait for the next fetch. */
static PyObject *zt_curs_fetchmany_plain(cursorObject *self, int count, PyObject *list)
{
    Py_ssize_t n = PyList_GET_SIZE(list);
    while (count <= 0 || n < count) {
        PyRef row;
        int got = zt_curs_plain_row(self, &row);
        if (got < 0) {
            zt_curs_keep_rows(self, list);
            return nullptr;
        }
        if (got == 0)
            break;
        if (PyList_Append(list, row.get()) < 0)
            return nullptr;
        ++n;
    }
    Py_INCREF(list);
    return list;
}

PyObject *pyzt_curs_fetchmany(cursorObject *self, PyObject *args, PyObject *kwds)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    static const char *kwlist[] = {"size", nullptr};
    int size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|i", (char **)kwlist, &size)) {
        return zt_raise_mismatch("fetchmany Parameter mismatch");
    }
    /* Without a size, arraysize counts (its low 32 bits); 0 or less means all. */
    int count = size != 0 ? size : (int32_t)self->arraysize;
    const bool kept = zt_curs_has_kept(self);
    if (!kept && (self->p_results == nullptr || !zt_curs_readable(self)))
        Py_RETURN_NONE;
    try {
        PyRef list(zt_curs_take_kept(self, count));
        if (!list)
            return nullptr;
        if (kept && ((count > 0 && PyList_GET_SIZE(list.get()) >= count) ||
                     self->p_results == nullptr || !zt_curs_readable(self)))
            return list.release();
        if (self->name != nullptr)
            return zt_curs_fetchmany_server(self, count, list.get());
        return zt_curs_fetchmany_plain(self, count, list.get());
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* nextset on a server cursor: the next rowset replaces the current one. */
static PyObject *zt_curs_nextset_server(cursorObject *self)
{
    /* The next result reuses the handle: its columns get their decoders anew. */
    zt_curs_drop_row_plan(self);
    int rc = ZTC_NextResult(&self->p_results);
    if (rc == ZTC_NO_MORE)
        Py_RETURN_NONE;
    if (rc != 0)
        return zt_raise_library_error(&self->p_conn);
    int n = zt_curs_fetch_rowset(self);
    if (n < 0)
        return nullptr;
    if (n == 0) {
        zt_curs_end_server_cursor(self);
        Py_RETURN_NONE;
    }
    if (zt_curs_take_rowset(self) < 0)
        return nullptr;
    return PyUnicode_FromString("TRUE");
}

/* nextset on a plain result: moves to the statement's next result. */
static PyObject *zt_curs_nextset_plain(cursorObject *self)
{
    /* The next result reuses the handle: its columns get their decoders anew. */
    zt_curs_drop_row_plan(self);
    int rc = ZTC_NextResult(&self->p_results);
    if (rc < 0)
        return zt_raise_library_error(&self->p_conn);
    if (rc != 0)
        Py_RETURN_NONE;
    zt_curs_take_counts(self);
    zt_curs_rowcount(self);
    if (zt_curs_description(self) < 0)
        return nullptr;
    return PyUnicode_FromString("TRUE");
}

PyObject *pyzt_curs_nextset(cursorObject *self, PyObject *unused)
{
    (void)unused;
    if (zt_curs_check(self) < 0)
        return nullptr;
    if (self->p_results == nullptr)
        return zt_no_result_set();
    try {
        if (self->name != nullptr)
            return zt_curs_nextset_server(self);
        return zt_curs_nextset_plain(self);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}
