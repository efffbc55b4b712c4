/* zt_batch.cpp - array batches (executebatch): whole columns encoded, then bound in one
 * library call each, and one execution. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"
#include "zt_batch.h"
#include "zt_pgtypes.h"

#include <string>
#include <utility>
#include <vector>

namespace {

/* A column holding PostgreSQL's own types (lists, dicts, UUIDs, ...) when the cursor has
 * an adapters map: encoded as texts with their server type, from a tuple copy (dumping
 * runs Python code). 1 encoded, 0 not such a column, -1 with an error set. */
int zt_encode_pg_column(cursorObject *self, PyRef &column, Py_ssize_t col, zt_column *c)
{
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(column.get());
    if (!zt_pg_batch_column(self, PySequence_Fast_ITEMS(column.get()), n))
        return 0;
    column = PyRef(PySequence_Tuple(column.get()));
    if (!column)
        return -1;
    std::string packed;
    c->lengths.resize((size_t)n);
    if (zt_pg_encode_column(self, PySequence_Fast_ITEMS(column.get()), n, col + 1, packed,
                            c->lengths.data(), &c->server_oid) < 0)
        return -1;
    if (packed.size() > (size_t)INT32_MAX) {
        PyErr_Format(ProgrammingError, "column %zd holds more than 2 GiB: split the batch",
                     col + 1);
        return -1;
    }
    c->type = ZTC_TYPE_VARCHAR;
    c->size = (int)packed.size();
    c->values.assign(packed.begin(), packed.end());
    return 1;
}

/* executebatch(stringsql, columns, *, flexible=False, rows=False, datetime_counts=False,
 * in_place=False): one array binding per column, one execution. */
class ZtExecuteBatch final : public ZtExecution {
public:
    ZtExecuteBatch(PyObject *args, PyObject *kwds) : ZtExecution(true), args_(args), kwds_(kwds)
    {
    }

    /* The keywords, read before anything else. */
    int arguments(cursorObject *) override
    {
        if (!kwds_ || PyDict_GET_SIZE(kwds_) == 0)
            return 0;
        Py_ssize_t known = 0;
        for (auto [name, flag] :
             {std::pair<const char *, bool *>{"flexible", &ctx_.flexible},
              std::pair<const char *, bool *>{"rows", &by_rows_},
              std::pair<const char *, bool *>{"datetime_counts", &ctx_.datetime_counts},
              std::pair<const char *, bool *>{"in_place", &in_place_}}) {
            PyObject *value = PyDict_GetItemString(kwds_, name);
            if (!value)
                continue;
            ++known;
            int truth = PyObject_IsTrue(value);
            if (truth < 0)
                return -1;
            *flag = truth != 0;
        }
        if (known != PyDict_GET_SIZE(kwds_)) {
            PyErr_SetString(PyExc_TypeError,
                            "executebatch() takes only the keywords 'flexible', 'rows', "
                            "'datetime_counts' and 'in_place'");
            return -1;
        }
        return 0;
    }

    int parse(cursorObject *) override
    {
        return statement_arguments(args_, "OO", "executebatch", &parameter_);
    }

    /* Every column is taken and encoded (and so checked) before the first is bound. */
    int bind(cursorObject *self) override
    {
        self->sql_type = fun_sql_type(sql_);
        if (self->sql_type == ZTC_SQL_MULTI) {
            PyErr_SetString(ProgrammingError, kMultiResult);
            return -1;
        }
        if ((by_rows_ ? zt_batch_rows(parameter_, &columns_, &ctx_.nrows)
                      : zt_batch_columns(parameter_, &columns_, &ctx_.nrows)) < 0)
            return -1;
        if (nothing_to_send())
            return 0;
        encoded_.resize(columns_.size());
        for (size_t i = 0; i < columns_.size(); i++) {
            int typed = zt_encode_pg_column(self, columns_[i], (Py_ssize_t)i, &encoded_[i]);
            if (typed < 0)
                return -1;
            if (typed == 0 && zt_encode_column(&ctx_, columns_[i], (Py_ssize_t)i,
                                               &encoded_[i]) < 0)
                return -1;
        }
        return 0;
    }

    int run(cursorObject *self) override
    {
        if (nothing_to_send())
            return 0;
        const int ncols = (int)columns_.size();
        const int nrows = (int)ctx_.nrows;
        for (int i = 0; i < ncols; i++) {
            zt_column &c = encoded_[(size_t)i];
            /* In place, the library reads the values at execution, as it reads the
             * lengths: `encoded_` keeps both until then, and saves the library a copy of
             * every column. */
            if (zt_lib_bind_array(&self->p_conn, in_place_, i + 1, ncols, PARAM_INPUT, c.type,
                                  nrows, c.values.data(), c.size, c.lengths.data()) < 0) {
                zt_raise_library_error(&self->p_conn);
                return -1;
            }
            if (c.server_oid != 0 &&
                zt_lib_set_array_type(&self->p_conn, i + 1, c.server_oid) < 0) {
                zt_raise_library_error(&self->p_conn);
                return -1;
            }
            /* The library copied the values; only the lengths must live until execution. */
            if (!in_place_)
                std::vector<char>().swap(c.values);
        }
        self->sql_type = fun_sql_type(sql_);
        const int affected = zt_lib_exec_batch(&self->p_conn, sql_, nrows);
        /* An interrupt that comes with the batch's end says which way it went: a failed
         * batch left nothing behind (its statements or its COPY were rolled back); one
         * that completed was too far along to cancel, and its rows are stored. */
        if (affected < 0) {
            zt_raise_library_error(&self->p_conn);
            if (ZTC_IsBroken(&self->p_conn) == 0)
                zt_note_interrupt("the batch was cancelled: none of its rows were stored");
            return -1;
        }
        zt_note_interrupt("the batch had completed when the interrupt came, too late to "
                          "cancel it: its rows are stored (committed, unless a transaction "
                          "is open)");
        /* The count of rows the server reports: a trigger may have skipped some. */
        if (ctx_.flexible || self->sql_type == ZTC_SQL_ONE_ROW)
            self->rowcount = affected;
        return 0;
    }

private:
    /* No column or no row: nothing is bound and no row is executed. */
    bool nothing_to_send() const { return columns_.empty() || ctx_.nrows == 0; }

    PyObject *args_, *kwds_;            /* borrowed: the call's arguments */
    PyObject *parameter_ = nullptr;     /* borrowed from args_ */
    bool by_rows_ = false;
    bool in_place_ = false;
    zt_batch_ctx ctx_;
    std::vector<PyRef> columns_;
    std::vector<zt_column> encoded_;
};

} // namespace

/* executebatch: flexible=True types each column by all its values (None anywhere, ints
 * among floats) and leaves in rowcount the rows the whole batch affected; rows=True
 * takes a sequence of rows instead of columns; datetime_counts=True binds datetime
 * columns as microsecond counts, which the library writes without reading a text back
 * (the values stored are the same); in_place=True binds the encoded columns without the
 * library copying them. */
PyObject *pyzt_curs_executebatch(cursorObject *self, PyObject *args, PyObject *kwds)
{
    ZtExecuteBatch how(args, kwds);
    return zt_curs_execution(self, how);
}
