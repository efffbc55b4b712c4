/* zt_pipeline.cpp - pipelines: a cursor sends its statement into the session's batch
 * without waiting for the results before it, and takes its outcome after the batch's
 * sync, as execute would have left it. */
#include "zt_serving.h"
#include "pyzt_util.h"
#include "zt_session.h"

PyObject *pyzt_curs_pipeline_send(cursorObject *self, PyObject *args)
{
    PyObject *stringsql = nullptr;
    PyObject *parameters = Py_None;
    if (!PyArg_ParseTuple(args, "O|O:pipeline_send", &stringsql, &parameters))
        return nullptr;
    if (zt_curs_check(self) < 0)
        return nullptr;
    zt_curs_begin_execution(self);
    if (zt_load_datetime_api() < 0)
        return nullptr;
    const char *sql = zt_statement_utf8(stringsql, "execute");
    /* Releasing the old result may have run Python code that closed the connection. */
    if (sql == nullptr || zt_curs_check(self) < 0)
        return nullptr;
    ZTC_Reset(&self->p_conn);
    if (parameters != Py_None) {
        /* A value that cannot be bound fails the call: nothing is sent. */
        if (zt_bind_parameters(self, parameters, ZT_FLOAT_AS_TEXT) < 0 || zt_curs_check(self) < 0)
            return nullptr;
    }
    if (zt_lib_pipeline_send(&self->p_conn, sql) < 0)
        return zt_raise_library_error(&self->p_conn);
    Py_RETURN_NONE;
}

PyObject *pyzt_curs_pipeline_take(cursorObject *self, PyObject *)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    zt_curs_begin_execution(self);
    if (zt_curs_check(self) < 0)
        return nullptr;
    int rc = zt_lib_pipeline_result(&self->p_conn, &self->p_results);
    if (rc == ZTC_NO_MORE)
        Py_RETURN_FALSE;
    if (rc < 0)
        return zt_raise_library_error(&self->p_conn);
    /* The class comes from the result itself (query, command with a count, other). */
    self->sql_type = 0;
    if (zt_curs_take_result(self) < 0)
        return nullptr;
    Py_RETURN_TRUE;
}

PyObject *pyzt_conn_pipeline_sync(RhConnect *self, PyObject *)
{
    if (zt_conn_check(self) < 0)
        return nullptr;
    int kept = 0;
    if (zt_lib_pipeline_sync(&self->p_conn, &kept) < 0)
        return zt_raise_library_error(&self->p_conn);
    return PyLong_FromLong(kept);
}
