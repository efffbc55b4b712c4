/* zt_error.cpp - library errors raised as the module's exceptions. The text is the
 * library's message; the fields of the session's last error ride along as attributes
 * (sqlstate, detail, hint, context), None where the library has none. */
#include "pyzt_util.h"

#include <cstring>

namespace {

/* One field of the session's last error as a str, None when empty or unknown, or null
 * with an error set. */
PyObject *zt_error_field(ZTC_HANDLE *session, int field)
{
    char small[256];
    int length = 0;
    if (ZTC_GetErrorField(session, field, small, (int)sizeof small, &length) < 0 || length <= 0)
        Py_RETURN_NONE;
    if (length < (int)sizeof small)
        return PyUnicode_DecodeUTF8(small, (Py_ssize_t)strnlen(small, sizeof small), "replace");
    /* A long detail or context: asked again with room for all of it. */
    std::string big((size_t)length + 1, '\0');
    if (ZTC_GetErrorField(session, field, &big[0], length + 1, &length) < 0)
        Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(big.c_str(), (Py_ssize_t)std::strlen(big.c_str()), "replace");
}

/* Sets the four attributes on an exception instance. 0, or -1 with an error set. */
int zt_attach_fields(PyObject *exc, ZTC_HANDLE *session)
{
    static const struct { const char *name; int field; } fields[] = {
        {"sqlstate", ZTC_ERROR_SQLSTATE},
        {"detail", ZTC_ERROR_DETAIL},
        {"hint", ZTC_ERROR_HINT},
        {"context", ZTC_ERROR_CONTEXT},
    };
    for (const auto &f : fields) {
        PyRef value(zt_error_field(session, f.field));
        if (!value || PyObject_SetAttrString(exc, f.name, value.get()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

PyObject *zt_raise_with_fields(PyObject *cls, const char *text, ZTC_HANDLE *session)
{
    try {
        PyRef exc(PyObject_CallFunction(cls, "s", text));
        if (exc && zt_attach_fields(exc.get(), session) == 0) {
            PyErr_SetObject(cls, exc.get());
            return nullptr;
        }
    } catch (const std::bad_alloc &) {
    }
    /* The instance could not be made: the plain class and text still go out. */
    PyErr_Clear();
    PyErr_SetString(cls, text);
    return nullptr;
}

PyObject *zt_raise_library_error(ZTC_HANDLE *session)
{
    char error_msg[256];
    int err_len = 0;
    std::memset(error_msg, 0, sizeof error_msg);
    ZTC_GetError(session, error_msg, &err_len);
    error_msg[sizeof error_msg - 1] = '\0';
    return zt_raise_with_fields(OperationalError, error_msg, session);
}

PyObject *zt_raise_mismatch(const char *text)
{
    PyRef cause(zt_fetch_exception());
    PyRef exc(PyObject_CallFunction(ProgrammingError, "s", text));
    if (!exc)
        return nullptr;
    if (cause)
        PyException_SetCause(exc.get(), cause.release());
    PyErr_SetObject(ProgrammingError, exc.get());
    return nullptr;
}
