/* zt_status.cpp - the server's command tag of a cursor's current result ("INSERT 0 1",
 * "SELECT 3"), read on demand for the package's statusmessage. */
#include "pyzt_util.h"
#include "zt_cursor.h"
#include "zt_face.h"

#include <cstring>
#include <new>
#include <vector>

/* _pyztdb.command_tag(cursor) -> str or None: the tag of the cursor's current result;
 * None without a result or when the server sent none. */
static PyObject *pyzt_command_tag(PyObject *, PyObject *arg)
{
    if (!PyObject_TypeCheck(arg, &cursorType)) {
        PyErr_Format(PyExc_TypeError, "command_tag takes a cursor, not %s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    cursorObject *cur = reinterpret_cast<cursorObject *>(arg);
    if (cur->p_results == nullptr)
        Py_RETURN_NONE;
    char tag[64] = {0};
    int len = ZTC_getResultStatus(&cur->p_results, tag, sizeof tag);
    if (len <= 0)
        Py_RETURN_NONE;
    if (static_cast<size_t>(len) < sizeof tag)
        return PyUnicode_DecodeUTF8(tag, len, "replace");
    /* A longer tag than any the server sends today: read again at its length. */
    try {
        std::vector<char> whole(static_cast<size_t>(len) + 1, '\0');
        len = ZTC_getResultStatus(&cur->p_results, whole.data(), len + 1);
        if (len < 0)
            Py_RETURN_NONE;
        return PyUnicode_DecodeUTF8(whole.data(), static_cast<Py_ssize_t>(std::strlen(whole.data())),
                                    "replace");
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyMethodDef zt_status_methods[] = {
    ZT_METHD("_command_tag", pyzt_command_tag, METH_O,
             "_command_tag(cursor, /)\n--\n\n"
             "The server's command tag of the cursor's current result, or None."),
    {nullptr, nullptr, 0, nullptr},
};
