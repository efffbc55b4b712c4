/* zt_batch_statement.cpp - executemany: one prepared statement run once, or once per
 * row, each row bound as execute binds its parameters. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_batch.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {


/* Raises the fixed execution failure text that callers match on; the library's
 * message is read but not shown. Always -1. */
int zt_execute2_failed(cursorObject *self)
{
    char error_msg[256];
    int err_len = 0;
    std::memset(error_msg, 0, sizeof error_msg);
    ZTC_GetError(&self->p_conn, error_msg, &err_len);
    PyErr_SetString(OperationalError, "error execute2");
    return -1;
}

/* Prepares the statement, binds `values` (a tuple of plain values) at positions 1..n
 * with floats as doubles, executes and takes the outcome into the cursor. A binding
 * that fails stops the statement before it runs. 0, or -1 with an error set. */
int zt_curs_run_prepared(cursorObject *self, const char *sql, PyObject *values)
{
    if (zt_lib_prepare(&self->p_conn, sql) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    self->prepare = 1;
    const Py_ssize_t n = values ? PyTuple_GET_SIZE(values) : 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (zt_bind_value(self, (int)(i + 1), PyTuple_GET_ITEM(values, i), ZT_FLOAT_AS_DOUBLE) < 0)
            return -1;
    }
    /* Binding may run Python code (a value's __str__) that closes the connection. */
    if (zt_curs_check(self) < 0)
        return -1;
    if (zt_lib_execute_prepared(&self->p_conn, &self->p_results) < 0)
        return zt_execute2_failed(self);
    return zt_curs_take_result(self);
}

/* One row of a sequence of rows: everything a call of executemany with that row
 * alone would do after parsing (release of the previous row's result, reset,
 * classification, prepare, binds, execution). 0, or -1 with an error set. */
int zt_curs_run_row(cursorObject *self, const char *sql, PyObject *row)
{
    if (zt_curs_check(self) < 0)
        return -1;
    zt_curs_begin_execution(self);
    ZTC_Reset(&self->p_conn);
    self->sql_type = fun_sql_type(sql);
    return zt_curs_run_prepared(self, sql, row);
}

/* What the parameters of executemany are: one flat list of values for a single
 * execution, or rows (each a tuple of plain values) for one execution each. */
struct zt_many_plan {
    PyRef flat;               /* tuple of values, or empty */
    std::vector<PyRef> rows;  /* tuples of values */
    bool by_rows = false;
};

/* Sorts the parameters into a plan before anything runs. A sequence that mixes rows
 * with plain values, or a row holding a list or tuple, cannot be run row by row as
 * written and is refused with ProgrammingError (which also rules out a row that
 * contains itself). 0, or -1 with an error set. */
int zt_many_plan_make(PyObject *parameter, zt_many_plan *plan)
{
    if (parameter == nullptr || parameter == Py_None)
        return 0;
    if (!PySequence_Check(parameter) || PyUnicode_Check(parameter) || PyBytes_Check(parameter) ||
        PyByteArray_Check(parameter)) {
        PyErr_Format(ProgrammingError,
                     "executemany: the parameters must be a list or tuple, not %.100s",
                     Py_TYPE(parameter)->tp_name);
        return -1;
    }
    PyRef items(PySequence_Tuple(parameter));
    if (!items)
        return -1;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Py_ssize_t nrows = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        if (PyList_Check(item) || PyTuple_Check(item))
            nrows++;
    }
    if (nrows == 0) {
        plan->flat = std::move(items);
        return 0;
    }
    if (nrows != n) {
        PyErr_SetString(ProgrammingError,
                        "executemany: the parameters mix rows (lists or tuples) with plain values");
        return -1;
    }
    plan->rows.reserve((size_t)n);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyRef row(PySequence_Tuple(PyTuple_GET_ITEM(items.get(), i)));
        if (!row)
            return -1;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(row.get()); j++) {
            PyObject *value = PyTuple_GET_ITEM(row.get(), j);
            if (PyList_Check(value) || PyTuple_Check(value)) {
                PyErr_Format(ProgrammingError,
                             "executemany: row %zd holds a list or tuple at position %zd", i + 1,
                             j + 1);
                return -1;
            }
        }
        plan->rows.push_back(std::move(row));
    }
    plan->by_rows = true;
    return 0;
}

/* Runs every row in turn. A failing row does not stop the ones after it; the call then
 * fails with the last row's error. The cursor ends with the last row's outcome. */
int zt_curs_run_rows(cursorObject *self, const char *sql, const std::vector<PyRef> &rows)
{
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    for (const PyRef &row : rows) {
        if (zt_curs_run_row(self, sql, row.get()) < 0) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            PyErr_Fetch(&type, &value, &tb);
        }
    }
    if (type) {
        PyErr_Restore(type, value, tb);
        return -1;
    }
    return 0;
}

/* executemany(stringsql[, parameter]): a flat sequence of values is bound for one
 * execution; a sequence of rows runs the statement once per row. */
class ZtExecuteMany final : public ZtExecution {
public:
    explicit ZtExecuteMany(PyObject *args) : ZtExecution(true), args_(args) {}

    /* The statement, and the parameters sorted into a plan (reading the rows runs
     * Python code). */
    int parse(cursorObject *) override
    {
        PyObject *parameter = nullptr;
        if (statement_arguments(args_, "O|O", "executemany", &parameter) < 0)
            return -1;
        return zt_many_plan_make(parameter, &plan_);
    }

    /* Each execution binds its own row: the binds come with the run. */
    int run(cursorObject *self) override
    {
        self->sql_type = fun_sql_type(sql_);
        if (self->sql_type == ZTC_SQL_MULTI) {
            PyErr_SetString(OperationalError, kMultiResult);
            return -1;
        }
        if (!plan_.by_rows)
            return zt_curs_run_prepared(self, sql_, plan_.flat.get());
        /* A statement the library refuses to prepare is refused for every row alike:
         * report it once, before any row runs. */
        if (zt_lib_prepare(&self->p_conn, sql_) < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        self->prepare = 1;
        return zt_curs_run_rows(self, sql_, plan_.rows);
    }

private:
    PyObject *args_;                /* borrowed: the call's arguments */
    zt_many_plan plan_;
};

} // namespace

PyObject *pyzt_curs_executemany(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    ZtExecuteMany how(args);
    return zt_curs_execution(self, how);
}
