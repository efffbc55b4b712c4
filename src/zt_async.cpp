/* zt_async.cpp - the stepping methods an event loop drives: each call starts or moves on
 * one non-blocking operation of the library (ZTC_Async*) and returns at once, telling
 * what the socket must be waited on for. The interpreter lock stays held: none of these
 * calls waits. A finished statement's result is taken into the cursor exactly as execute
 * takes its own, so rows are built by the same code. */
#include "zt_async.h"
#include "zt_serving.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <new>

/* The COPY data chunk read at a time. */
static const int kCopyChunk = 65536;

namespace {

/* execute's steps through the one execution routine, but the statement is only
 * started: the loop then drives it (_async_poll) and _async_finish takes its result. */
class ZtAsyncExecute final : public ZtExecution {
public:
    explicit ZtAsyncExecute(PyObject *args) : ZtExecution(true), args_(args) {}

    int parse(cursorObject *) override
    {
        PyObject *stringsql = nullptr;
        if (!PyArg_ParseTuple(args_, "O|O", &stringsql, &parameter_)) {
            zt_raise_mismatch("execute Parameter mismatch");
            return -1;
        }
        sql_ = zt_statement_utf8(stringsql, "execute");
        return sql_ ? 0 : -1;
    }

    int bind(cursorObject *self) override
    {
        if (parameter_ == nullptr || parameter_ == Py_None)
            return 0;
        return zt_bind_parameters(self, parameter_, ZT_FLOAT_AS_TEXT);
    }

    int run(cursorObject *self) override
    {
        self->sql_type = fun_sql_type(sql_);
        int rc = ZTC_AsyncExecute(&self->p_conn, sql_);
        /* The bindings were copied by the call: none stays behind for a later statement. */
        ZTC_Reset(&self->p_conn);
        if (rc < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        return 0;
    }

private:
    PyObject *args_;                   /* borrowed: the call's arguments */
    PyObject *parameter_ = nullptr;    /* borrowed from args_ */
    const char *sql_ = nullptr;        /* borrowed from the statement argument */
};

}  // namespace

PyObject *pyzt_curs_async_execute(cursorObject *self, PyObject *args)
{
    ZtAsyncExecute how(args);
    return zt_curs_execution(self, how);
}

PyObject *pyzt_curs_async_finish(cursorObject *self, PyObject *)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    if (ZTC_AsyncFinish(&self->p_conn, &self->p_results, &self->fieldnum, &self->rowcount,
                        &self->effect_num) < 0)
        return zt_raise_library_error(&self->p_conn);
    if (zt_curs_take_result(self) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *pyzt_conn_async_poll(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    int rc = ZTC_AsyncPoll(&self->p_conn);
    if (rc < 0)
        return zt_raise_library_error(&self->p_conn);
    return PyLong_FromLong(rc);
}

PyObject *pyzt_conn_async_finish(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    int direction = 0;
    int64_t rows = -1;
    if (ZTC_AsyncFinish(&self->p_conn, nullptr, &direction, &rows, nullptr) < 0)
        return zt_raise_library_error(&self->p_conn);
    if (direction != 0)
        return PyLong_FromLong(direction);
    if (rows >= 0)
        return PyLong_FromLongLong(rows);
    Py_RETURN_NONE;
}

PyObject *pyzt_conn_async_copy_start(RhConnect *self, PyObject *args)
{
    PyObject *stringsql = nullptr;
    if (!PyArg_ParseTuple(args, "O", &stringsql))
        return nullptr;
    const char *sql = zt_statement_utf8(stringsql, "copy");
    if (sql == nullptr || zt_conn_check(self) < 0)
        return nullptr;
    if (ZTC_AsyncCopyStart(&self->p_conn, sql) < 0)
        return zt_raise_library_error(&self->p_conn);
    Py_RETURN_NONE;
}

PyObject *pyzt_conn_async_copy_put(RhConnect *self, PyObject *args)
{
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "y*", &data))
        return nullptr;
    if (data.len > INT32_MAX) {
        PyBuffer_Release(&data);
        PyErr_SetString(ProgrammingError, "a COPY chunk must be smaller than 2 GiB");
        return nullptr;
    }
    int rc = zt_conn_check(self) < 0
                 ? -2
                 : ZTC_AsyncCopyPut(&self->p_conn, static_cast<const char *>(data.buf),
                                    static_cast<int>(data.len));
    PyBuffer_Release(&data);
    if (rc == -2)
        return nullptr;
    if (rc < 0)
        return zt_raise_library_error(&self->p_conn);
    return PyLong_FromLong(rc);
}

PyObject *pyzt_conn_async_copy_get(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    try {
        std::string buffer(kCopyChunk, '\0');
        int length = 0;
        int rc = ZTC_AsyncCopyGet(&self->p_conn, &buffer[0], kCopyChunk, &length);
        if (rc < 0)
            return zt_raise_library_error(&self->p_conn);
        if (rc == ZTC_NO_MORE)
            Py_RETURN_NONE;
        if (rc != 0)
            return PyLong_FromLong(rc);
        return PyBytes_FromStringAndSize(buffer.data(), length);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *pyzt_conn_async_copy_end(RhConnect *self, PyObject *args)
{
    const char *message = nullptr;
    if (!PyArg_ParseTuple(args, "|z", &message))
        return nullptr;
    if (zt_conn_check(self) < 0)
        return nullptr;
    int rc = ZTC_AsyncCopyEnd(&self->p_conn, message);
    if (rc < 0)
        return zt_raise_library_error(&self->p_conn);
    return PyLong_FromLong(rc);
}
