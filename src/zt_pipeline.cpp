/* zt_pipeline.cpp - pipelines: a cursor sends its statement into the session's batch
 * without waiting for the results before it, and takes its outcome after the batch's
 * sync, as execute would have left it. */
#include "zt_serving.h"
#include "pyzt_util.h"
#include "zt_session.h"

namespace {

/* pipeline_send(stringsql, parameters=None): the statement goes into the session's batch;
 * a value that cannot be bound fails the call and nothing is sent. */
class ZtPipelineSend final : public ZtExecution {
public:
    explicit ZtPipelineSend(PyObject *args) : ZtExecution(true), args_(args) {}

    int arguments(cursorObject *) override
    {
        return PyArg_ParseTuple(args_, "O|O:pipeline_send", &stringsql_, &parameters_) ? 0 : -1;
    }

    int parse(cursorObject *) override
    {
        sql_ = zt_statement_utf8(stringsql_, "execute");
        return sql_ ? 0 : -1;
    }

    int bind(cursorObject *self) override
    {
        return parameters_ != Py_None ? zt_bind_parameters(self, parameters_, ZT_FLOAT_AS_TEXT)
                                      : 0;
    }

    int run(cursorObject *self) override
    {
        if (zt_lib_pipeline_send(&self->p_conn, sql_) < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        return 0;
    }

private:
    PyObject *args_;                    /* borrowed: the call's arguments */
    PyObject *stringsql_ = nullptr;     /* borrowed from args_ */
    PyObject *parameters_ = Py_None;    /* borrowed from args_ */
};

/* pipeline_take(): the oldest outcome of the batch becomes the cursor's result; False
 * when none is kept. */
class ZtPipelineTake final : public ZtExecution {
public:
    ZtPipelineTake() : ZtExecution(false) {}

    int run(cursorObject *self) override
    {
        int rc = zt_lib_pipeline_result(&self->p_conn, &self->p_results);
        if (rc == ZTC_NO_MORE)
            return 0;
        if (rc < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        taken_ = true;
        /* The class comes from the result itself (query, command with a count, other). */
        self->sql_type = 0;
        return zt_curs_take_result(self);
    }

    PyObject *result(cursorObject *) override { return PyBool_FromLong(taken_); }

private:
    bool taken_ = false;
};

}  // namespace

PyObject *pyzt_curs_pipeline_send(cursorObject *self, PyObject *args)
{
    ZtPipelineSend how(args);
    return zt_curs_execution(self, how);
}

PyObject *pyzt_curs_pipeline_take(cursorObject *self, PyObject *)
{
    ZtPipelineTake how;
    return zt_curs_execution(self, how);
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
