/* zt_copy.cpp - COPY streamed through the cursor's session: copy_start sends the
 * statement, copy_put / copy_get move one chunk, copy_end finishes it. The package's
 * copy_expert drives them over a file object. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <string>

namespace {

/* Releases a buffer view at the end of its scope. */
struct PyBufferGuard {
    Py_buffer *view;
    explicit PyBufferGuard(Py_buffer *v) : view(v) {}
    ~PyBufferGuard() { PyBuffer_Release(view); }
    PyBufferGuard(const PyBufferGuard &) = delete;
    PyBufferGuard &operator=(const PyBufferGuard &) = delete;
};

/* copy_start(sql): the statement is sent on the cursor's session, its previous result
 * released; the direction of the data is the method's value. */
class ZtCopyStart final : public ZtExecution {
public:
    explicit ZtCopyStart(PyObject *args) : ZtExecution(false), args_(args) {}

    int arguments(cursorObject *) override
    {
        PyObject *stringsql = nullptr;
        if (!PyArg_ParseTuple(args_, "O:copy_start", &stringsql))
            return -1;
        sql_ = zt_statement_utf8(stringsql, "copy_start");
        return sql_ ? 0 : -1;
    }

    int run(cursorObject *self) override
    {
        if (zt_lib_copy_start(&self->p_conn, sql_, &direction_) < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        return 0;
    }

    PyObject *result(cursorObject *) override { return PyLong_FromLong(direction_); }

private:
    PyObject *args_;                /* borrowed: the call's arguments */
    int direction_ = 0;
};

}  // namespace

/* copy_start(sql) -> 1 (send data with copy_put) or 2 (read it with copy_get). */
PyObject *pyzt_curs_copy_start(cursorObject *self, PyObject *args)
{
    ZtCopyStart how(args);
    return zt_curs_execution(self, how);
}

/* copy_put(data): sends one chunk (any bytes-like object) of COPY FROM STDIN data. */
PyObject *pyzt_curs_copy_put(cursorObject *self, PyObject *args)
{
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "y*:copy_put", &view))
        return nullptr;
    PyBufferGuard guard(&view);
    if (zt_curs_check(self) < 0)
        return nullptr;
    /* Chunks above 1 GiB go in pieces: the library takes an int length. */
    const char *p = static_cast<const char *>(view.buf);
    Py_ssize_t left = view.len;
    while (left > 0) {
        const int n = left > (1 << 30) ? (1 << 30) : (int)left;
        if (zt_lib_copy_put(&self->p_conn, p, n) < 0)
            return zt_raise_library_error(&self->p_conn);
        p += n;
        left -= n;
    }
    Py_RETURN_NONE;
}

/* copy_get(size) -> bytes of at most size bytes of COPY TO STDOUT data, or None after
 * the last. */
PyObject *pyzt_curs_copy_get(cursorObject *self, PyObject *args)
{
    Py_ssize_t size = 65536;
    if (!PyArg_ParseTuple(args, "|n:copy_get", &size))
        return nullptr;
    if (size <= 0 || size > (1 << 30)) {
        PyErr_SetString(ProgrammingError, "copy_get: the size must be from 1 to 1073741824");
        return nullptr;
    }
    if (zt_curs_check(self) < 0)
        return nullptr;
    try {
        std::string buffer((size_t)size, '\0');
        int length = 0;
        int rc = zt_lib_copy_get(&self->p_conn, &buffer[0], (int)size, &length);
        if (rc < 0)
            return zt_raise_library_error(&self->p_conn);
        if (rc == ZTC_NO_MORE)
            Py_RETURN_NONE;
        return PyBytes_FromStringAndSize(buffer.data(), length);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* copy_end(abort_message=None) -> the number of rows copied. With a message, COPY FROM
 * STDIN is refused by the server with it and nothing is stored. */
PyObject *pyzt_curs_copy_end(cursorObject *self, PyObject *args)
{
    PyObject *message = Py_None;
    if (!PyArg_ParseTuple(args, "|O:copy_end", &message))
        return nullptr;
    const char *text = nullptr;
    if (message != Py_None) {
        text = zt_statement_utf8(message, "copy_end");
        if (!text)
            return nullptr;
    }
    if (zt_curs_check(self) < 0)
        return nullptr;
    long long rows = 0;
    if (zt_lib_copy_end(&self->p_conn, text, &rows) < 0)
        return zt_raise_library_error(&self->p_conn);
    self->rowcount = rows;
    return PyLong_FromLongLong(rows);
}
