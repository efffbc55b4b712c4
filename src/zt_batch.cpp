/* zt_batch.cpp - array batches (executebatch): whole columns encoded, then bound in one
 * library call each, and one execution. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_batch.h"

#include <utility>
#include <vector>

namespace {

PyObject *zt_curs_executebatch(cursorObject *self, PyObject *args, bool flexible, bool by_rows,
                               bool datetime_counts, bool in_place)
{
    if (zt_curs_check(self) < 0)
        return nullptr;
    zt_curs_begin_execution(self);
    if (zt_load_datetime_api() < 0)
        return nullptr;
    ZTC_Reset(&self->p_conn);

    PyObject *stringsql = nullptr, *parameter = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &stringsql, &parameter)) {
        return zt_raise_mismatch("executebatch Parameter mismatch");
    }
    const char *sql = zt_statement_utf8(stringsql, "executebatch");
    if (!sql)
        return nullptr;
    self->sql_type = fun_sql_type(sql);
    if (self->sql_type == ZTC_SQL_MULTI) {
        PyErr_SetString(ProgrammingError, kMultiResult);
        return nullptr;
    }

    zt_batch_ctx ctx;
    ctx.flexible = flexible;
    ctx.datetime_counts = datetime_counts;
    std::vector<PyRef> columns;
    if ((by_rows ? zt_batch_rows(parameter, &columns, &ctx.nrows)
                 : zt_batch_columns(parameter, &columns, &ctx.nrows)) < 0)
        return nullptr;
    /* Nothing to send: no row is executed. */
    if (columns.empty() || ctx.nrows == 0)
        Py_RETURN_NONE;

    /* Every column is encoded (and so checked) before the first is bound. */
    std::vector<zt_column> encoded(columns.size());
    for (size_t i = 0; i < columns.size(); i++) {
        if (zt_encode_column(&ctx, columns[i], (Py_ssize_t)i, &encoded[i]) < 0)
            return nullptr;
    }
    if (zt_curs_check(self) < 0)   /* a value's __str__ may have closed the connection */
        return nullptr;
    const int ncols = (int)columns.size();
    const int nrows = (int)ctx.nrows;
    for (int i = 0; i < ncols; i++) {
        zt_column &c = encoded[(size_t)i];
        /* In place, the library reads the values at execution, as it reads the lengths:
         * `encoded` keeps both until then, and saves the library a copy of every column. */
        if (zt_lib_bind_array(&self->p_conn, in_place, i + 1, ncols, PARAM_INPUT, c.type, nrows,
                              c.values.data(), c.size, c.lengths.data()) < 0)
            return zt_raise_library_error(&self->p_conn);
        /* The library copied the values; only the lengths must live until execution. */
        if (!in_place)
            std::vector<char>().swap(c.values);
    }
    self->sql_type = fun_sql_type(sql);
    const int affected = zt_lib_exec_batch(&self->p_conn, sql, nrows);
    /* An interrupt that comes with the batch's end says which way it went: a failed batch
     * left nothing behind (its statements or its COPY were rolled back); one that
     * completed was too far along to cancel, and its rows are stored. */
    if (affected < 0) {
        PyObject *failed = zt_raise_library_error(&self->p_conn);
        if (ZTC_IsBroken(&self->p_conn) == 0)
            zt_note_interrupt("the batch was cancelled: none of its rows were stored");
        return failed;
    }
    zt_note_interrupt("the batch had completed when the interrupt came, too late to cancel "
                      "it: its rows are stored (committed, unless a transaction is open)");
    /* The count of rows the server reports: a trigger may have skipped some. */
    if (flexible || self->sql_type == ZTC_SQL_ONE_ROW)
        self->rowcount = affected;
    Py_RETURN_NONE;
}

} // namespace
/* executebatch(stringsql, columns, *, flexible=False, rows=False, datetime_counts=False,
 * in_place=False): one array binding per column, one execution. flexible=True types each
 * column by all its values (None anywhere, ints among floats) and leaves in rowcount the
 * rows the whole batch affected; rows=True takes a sequence of rows instead of columns;
 * datetime_counts=True binds datetime columns as microsecond counts, which the library
 * writes without reading a text back (the values stored are the same); in_place=True
 * binds the encoded columns without the library copying them. */
PyObject *pyzt_curs_executebatch(cursorObject *self, PyObject *args, PyObject *kwds)
{
    bool flexible = false, by_rows = false, datetime_counts = false, in_place = false;
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t known = 0;
        for (auto [name, flag] :
             {std::pair<const char *, bool *>{"flexible", &flexible},
              std::pair<const char *, bool *>{"rows", &by_rows},
              std::pair<const char *, bool *>{"datetime_counts", &datetime_counts},
              std::pair<const char *, bool *>{"in_place", &in_place}}) {
            PyObject *value = PyDict_GetItemString(kwds, name);
            if (!value)
                continue;
            ++known;
            int truth = PyObject_IsTrue(value);
            if (truth < 0)
                return nullptr;
            *flag = truth != 0;
        }
        if (known != PyDict_GET_SIZE(kwds)) {
            PyErr_SetString(PyExc_TypeError,
                            "executebatch() takes only the keywords 'flexible', 'rows', "
                            "'datetime_counts' and 'in_place'");
            return nullptr;
        }
    }
    try {
        return zt_curs_executebatch(self, args, flexible, by_rows, datetime_counts, in_place);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}
