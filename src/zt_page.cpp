/* zt_page.cpp - fetchpage: one page of a named server cursor as a list of rows, with
 * the next page optionally asked for ahead, so that the server makes it while Python
 * works on this one. The package's named cursor reads its pages through it. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <cstring>

/* fetchpage(name, reader, count, ahead=False) -> (rows, sent): the next `count` rows
 * of the server cursor `name` (declared by the caller), which become the cursor's
 * result (description included). `reader` is the caller's number for this
 * declaration; with `ahead`, `sent` tells that the next page was asked for and the
 * next call with the same name and reader takes it. */
PyObject *pyzt_curs_fetchpage(cursorObject *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"name", "reader", "count", "ahead", nullptr};
    PyObject *name_obj = nullptr;
    long long reader = 0;
    int count = 0;
    int ahead = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "ULi|p", const_cast<char **>(kwlist),
                                     &name_obj, &reader, &count, &ahead))
        return nullptr;
    Py_ssize_t name_len = 0;
    const char *name = PyUnicode_AsUTF8AndSize(name_obj, &name_len);
    if (name == nullptr)
        return nullptr;
    if (name_len == 0 || std::strlen(name) != (size_t)name_len) {
        PyErr_SetString(ProgrammingError, "fetchpage: the cursor name must be a non-empty str "
                                          "without zero characters");
        return nullptr;
    }
    if (count < 0) {
        PyErr_SetString(ProgrammingError, "fetchpage: the page size must not be negative");
        return nullptr;
    }
    if (zt_curs_check(self) < 0)
        return nullptr;
    zt_curs_begin_execution(self);
    if (zt_load_datetime_api() < 0)
        return nullptr;
    /* Releasing the old description may have run Python code that closed the
     * connection. */
    if (zt_curs_check(self) < 0)
        return nullptr;
    int sent = 0;
    self->sql_type = ZTC_SQL_QUERY;
    if (zt_lib_fetch_page(&self->p_conn, name, reader, count, ahead, &self->p_results, &sent) < 0)
        return zt_raise_library_error(&self->p_conn);
    if (zt_curs_take_result(self) < 0)
        return nullptr;
    PyRef rows(pyzt_curs_fetchall(self, nullptr));
    if (!rows)
        return nullptr;
    return Py_BuildValue("(OO)", rows.get(), sent ? Py_True : Py_False);
}
