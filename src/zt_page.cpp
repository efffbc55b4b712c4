/* zt_page.cpp - fetchpage: one page of a named server cursor as a list of rows, with
 * the next page optionally asked for ahead, so that the server makes it while Python
 * works on this one. The package's named cursor reads its pages through it. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <cstring>

/* Every row of the page just taken, for a reader that must lose none: the rows that
 * converted go to `rows`; each row that did not becomes (index, error) in `failures`,
 * index being the number of rows before it in `rows`. `limit` bounds the loop (the
 * page's row count). 0, or -1 with an error set when even that bookkeeping fails. */
static int zt_page_rows(cursorObject *self, int limit, PyObject *rows, PyObject *failures)
{
    for (int i = 0; i <= limit; ++i) {
        PyRef row;
        int got = zt_curs_plain_row(self, &row);
        if (got == 0)
            return 0;
        if (got > 0) {
            if (PyList_Append(rows, row.get()) < 0)
                return -1;
            continue;
        }
        if (PyErr_ExceptionMatches(PyExc_MemoryError))
            return -1;
        PyRef error(zt_fetch_exception());
        PyRef entry(Py_BuildValue("(nO)", PyList_GET_SIZE(rows),
                                  error ? error.get() : Py_None));
        if (!entry || PyList_Append(failures, entry.get()) < 0)
            return -1;
    }
    return 0;
}

namespace {

/* fetchpage(name, reader, count, ahead=False, whole=False, keep=None): its arguments are
 * checked before the previous result is released. */
class ZtFetchPage final : public ZtExecution {
public:
    ZtFetchPage(PyObject *args, PyObject *kwds) : ZtExecution(false), args_(args), kwds_(kwds) {}

    int arguments(cursorObject *) override
    {
        static const char *kwlist[] = {"name", "reader", "count", "ahead", "whole", "keep",
                                       nullptr};
        PyObject *name_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args_, kwds_, "ULi|ppO!", const_cast<char **>(kwlist),
                                         &name_obj, &reader_, &count_, &ahead_, &whole_,
                                         &PyList_Type, &keep_))
            return -1;
        Py_ssize_t name_len = 0;
        name_ = PyUnicode_AsUTF8AndSize(name_obj, &name_len);
        if (name_ == nullptr)
            return -1;
        if (name_len == 0 || std::strlen(name_) != (size_t)name_len) {
            PyErr_SetString(ProgrammingError, "fetchpage: the cursor name must be a non-empty "
                                              "str without zero characters");
            return -1;
        }
        if (count_ < 0) {
            PyErr_SetString(ProgrammingError, "fetchpage: the page size must not be negative");
            return -1;
        }
        return 0;
    }

    int run(cursorObject *self) override
    {
        self->sql_type = ZTC_SQL_QUERY;
        rows_ = zt_lib_fetch_page(&self->p_conn, name_, reader_, count_, ahead_,
                                  &self->p_results, &sent_);
        if (rows_ < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        return zt_curs_take_result(self);
    }

    PyObject *result(cursorObject *self) override
    {
        if (!whole_) {
            PyRef rows(pyzt_curs_fetchall(self, nullptr));
            if (!rows)
                return nullptr;
            return Py_BuildValue("(OO)", rows.get(), sent_ ? Py_True : Py_False);
        }
        PyRef rows(PyList_New(0)), failures(PyList_New(0));
        if (!rows || !failures || zt_page_rows(self, rows_, rows.get(), failures.get()) < 0)
            return nullptr;
        /* A signal that came while the page was taken but no wait ran its handler is
         * handled now, so that its exception travels with the rows instead of being
         * raised as the method returns, when they would be lost. */
        PyRef interrupt(zt_take_interrupt());
        if (!interrupt && PyErr_CheckSignals() < 0)
            interrupt = PyRef(zt_fetch_exception());
        PyRef page(Py_BuildValue("(OOOO)", rows.get(), sent_ ? Py_True : Py_False,
                                 failures.get(), interrupt ? interrupt.get() : Py_None));
        if (!page || keep_ == nullptr)
            return page.release();
        /* With `keep` the page is appended there and None returned: a signal's handler
         * that runs as this call returns (the interpreter checks for them right after a
         * call) then cannot take the page with the lost return value. */
        if (PyList_Append(keep_, page.get()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }

private:
    PyObject *args_, *kwds_;           /* borrowed: the call's arguments */
    const char *name_ = nullptr;       /* borrowed from the name argument */
    long long reader_ = 0;
    int count_ = 0;
    int ahead_ = 0;
    int whole_ = 0;
    PyObject *keep_ = nullptr;         /* borrowed list, or null */
    int rows_ = 0;                     /* rows of the page taken */
    int sent_ = 0;                     /* the next page was asked for ahead */
};

}  // namespace

PyObject *pyzt_curs_fetchpage(cursorObject *self, PyObject *args, PyObject *kwds)
{
    ZtFetchPage how(args, kwds);
    return zt_curs_execution(self, how);
}
