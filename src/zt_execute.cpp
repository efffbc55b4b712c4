/* zt_execute.cpp - execute: one statement, with or without positional parameters, run
 * directly through the library's data-reader call; and the routines that take an
 * execution's outcome into the cursor. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <cstring>
#include <string>

void zt_curs_rowcount(cursorObject *self)
{
    if (self->effect_num > 0 && self->rowcount <= 0)
        self->rowcount = self->effect_num;
    else if (self->sql_type == ZTC_SQL_ONE_ROW)
        self->rowcount = 1;
}

/* The row count of a one-row INSERT: the count the server reported for it (0 when a
 * trigger skipped the row), or 1 when the library reports no count for the result. */
static int64_t zt_one_row_count(cursorObject *self)
{
    int sql_type = 0, fieldnum = 0, rows = 0, affected = 0;
    if (ZTC_getResultRet(&self->p_results, &sql_type, &fieldnum, &rows, &affected, nullptr) < 0 ||
        sql_type != ZTC_SQL_DML)
        return 1;
    return affected;
}

int zt_curs_take_result(cursorObject *self)
{
    if (self->sql_type == ZTC_SQL_ONE_ROW) {
        /* One row per execution, unless the server says otherwise; no description. */
        self->rowcount = zt_one_row_count(self);
        self->effect_num = 0;
        self->fieldnum = 0;
        self->closed = 0;
        return 0;
    }
    int rows = 0;
    /* A failed report leaves the counts of the execution call in place. */
    if (ZTC_getResultRet(&self->p_results, &self->sql_type, &self->fieldnum, &rows,
                         &self->effect_num, nullptr) >= 0)
        self->rowcount = rows;
    self->closed = 0;
    zt_curs_rowcount(self);
    if (self->p_results != nullptr && self->sql_type != ZTC_SQL_ONE_ROW)
        return zt_curs_description(self);
    return 0;
}

const char *zt_statement_utf8(PyObject *stringsql, const char *method)
{
    if (!PyUnicode_Check(stringsql)) {
        PyErr_Format(ProgrammingError, "%s Parameter mismatch: the statement must be a str, not '%s'",
                     method, Py_TYPE(stringsql)->tp_name);
        return nullptr;
    }
    Py_ssize_t len = 0;
    const char *sql = PyUnicode_AsUTF8AndSize(stringsql, &len);
    if (sql == nullptr) {
        PyErr_Clear();
        PyErr_Format(ProgrammingError, "%s Parameter mismatch: the statement has no UTF-8 form",
                     method);
        return nullptr;
    }
    if ((size_t)len != std::strlen(sql)) {
        PyErr_Format(ProgrammingError,
                     "%s Parameter mismatch: the statement contains a zero character", method);
        return nullptr;
    }
    return sql;
}

PyObject *zt_curs_execution(cursorObject *self, ZtExecution &how)
{
    try {
        if (how.arguments(self) < 0 || zt_curs_check(self) < 0)
            return nullptr;
        zt_curs_begin_execution(self);
        if (zt_load_datetime_api() < 0)
            return nullptr;
        const int parsed = how.parse(self);
        if (parsed != 0)
            return parsed > 0 ? how.result(self) : nullptr;
        /* Releasing the old result and reading the arguments ran Python code (a
         * finalizer, a __len__), which may have closed the connection. */
        if (zt_curs_check(self) < 0)
            return nullptr;
        ZtBindingsClaim claim(how.clears_bindings_ ? zt_conn_of(self) : nullptr);
        if (claim.refused())
            return nullptr;
        if (how.clears_bindings_)
            ZTC_Reset(&self->p_conn);
        /* So may binding (a value's __str__): the statement then never runs. */
        if (how.bind(self) < 0 || zt_curs_check(self) < 0 || how.run(self) < 0)
            return nullptr;
        return how.result(self);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

int ZtExecution::statement_arguments(PyObject *args, const char *format, const char *method,
                                     PyObject **parameter)
{
    PyObject *stringsql = nullptr;
    if (!PyArg_ParseTuple(args, format, &stringsql, parameter)) {
        zt_raise_mismatch((std::string(method) + " Parameter mismatch").c_str());
        return -1;
    }
    sql_ = zt_statement_utf8(stringsql, method);
    return sql_ ? 0 : -1;
}

namespace {

/* execute(stringsql[, parameter]): one statement through the data-reader call. */
class ZtExecute final : public ZtExecution {
public:
    explicit ZtExecute(PyObject *args) : ZtExecution(true), args_(args) {}

    int parse(cursorObject *) override
    {
        return statement_arguments(args_, "O|O", "execute", &parameter_);
    }

    /* A value that cannot be bound fails the call here: the statement never runs with a
     * parameter missing or replaced. */
    int bind(cursorObject *self) override
    {
        return parameter_ ? zt_bind_parameters(self, parameter_, ZT_FLOAT_AS_TEXT) : 0;
    }

    int run(cursorObject *self) override
    {
        self->sql_type = fun_sql_type(sql_);
        if (zt_lib_exec_reader(&self->p_conn, sql_, &self->p_results, &self->fieldnum,
                               &self->rowcount, &self->effect_num) < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        return zt_curs_take_result(self);
    }

private:
    PyObject *args_;                   /* borrowed: the call's arguments */
    PyObject *parameter_ = nullptr;    /* borrowed from args_ */
};

}  // namespace

PyObject *pyzt_curs_execute(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    ZtExecute how(args);
    return zt_curs_execution(self, how);
}
