/* zt_error.cpp - library errors raised as exceptions. The module's own face: the class
 * the raising site names, the library's message as text, and the fields of the session's
 * last error as attributes (sqlstate, detail, hint, context), None where the library has
 * none. A face with an error table (ZtFace): the table's class for the SQLSTATE, picked
 * here where the error is raised, with every field of the error. */
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

/* The error table of the face whose method runs on this thread; null: the module's. */
thread_local PyObject *zt_current_face = nullptr;

/* Every field a face's exception carries in `_info`, by the library's letters. */
constexpr int zt_face_fields[] = {
    ZTC_ERROR_SQLSTATE, ZTC_ERROR_MESSAGE_PRIMARY, ZTC_ERROR_DETAIL, ZTC_ERROR_HINT,
    ZTC_ERROR_CONTEXT, ZTC_ERROR_SEVERITY, ZTC_ERROR_SEVERITY_NONLOCALIZED,
    ZTC_ERROR_STATEMENT_POSITION, ZTC_ERROR_INTERNAL_POSITION, ZTC_ERROR_INTERNAL_QUERY,
    ZTC_ERROR_SCHEMA_NAME, ZTC_ERROR_TABLE_NAME, ZTC_ERROR_COLUMN_NAME,
    ZTC_ERROR_DATATYPE_NAME, ZTC_ERROR_CONSTRAINT_NAME, ZTC_ERROR_SOURCE_FILE,
    ZTC_ERROR_SOURCE_LINE, ZTC_ERROR_SOURCE_FUNCTION,
};

/* table[key] as a borrowed reference, or null (no error set) when absent or unreadable. */
PyObject *zt_table_get(PyObject *table, PyObject *key)
{
    PyObject *found = key ? PyDict_GetItemWithError(table, key) : nullptr;
    if (found == nullptr)
        PyErr_Clear();
    return found;
}

PyObject *zt_table_get(PyObject *table, const char *key, Py_ssize_t length)
{
    PyRef text(PyUnicode_FromStringAndSize(key, length));
    return zt_table_get(table, text.get());
}

/* The face's class for an error the module would raise as `cls` with `sqlstate` (empty:
 * none): the code's own class, its two-character class's, its first character's, the
 * class of an unknown code; without a code, the class standing for `cls`. Borrowed;
 * null when the table names none. */
PyObject *zt_face_class(PyObject *table, PyObject *cls, const std::string &sqlstate)
{
    if (sqlstate.empty())
        return zt_table_get(table, cls);
    for (size_t length : {sqlstate.size(), (size_t)2, (size_t)1}) {
        if (length > sqlstate.size())
            continue;
        if (PyObject *found = zt_table_get(table, sqlstate.data(), (Py_ssize_t)length))
            return found;
    }
    return zt_table_get(table, "", 0);
}

/* One field of the session's last error as a std::string (empty when none). */
std::string zt_error_text(ZTC_HANDLE *session, int field)
{
    PyRef value(zt_error_field(session, field));
    if (!value || value.get() == Py_None) {
        PyErr_Clear();
        return std::string();
    }
    const char *utf8 = PyUnicode_AsUTF8(value.get());
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    return utf8;
}

/* Raises the face's exception for a library error (see ZtFace). Null with the error
 * set; or null without one when the table names no class (the caller raises the
 * module's). */
PyObject *zt_raise_faced(PyObject *table, PyObject *cls, const char *text, ZTC_HANDLE *session)
{
    std::string sqlstate = zt_error_text(session, ZTC_ERROR_SQLSTATE);
    PyObject *face_cls = zt_face_class(table, cls, sqlstate);
    if (face_cls == nullptr)
        return nullptr;
    std::string message(text);
    std::string lines = zt_error_text(session, ZTC_ERROR_REPORT_LINES);
    if (!lines.empty())
        message += "\n" + lines;
    PyRef exc(PyObject_CallFunction(face_cls, "s", message.c_str()));
    PyRef info(PyDict_New());
    if (!exc || !info || zt_attach_fields(exc.get(), session) < 0)
        return nullptr;
    for (int field : zt_face_fields) {
        PyRef value(zt_error_field(session, field));
        if (!value)
            return nullptr;
        if (value.get() == Py_None)
            continue;
        char letter[2] = {(char)field, '\0'};
        if (PyDict_SetItemString(info.get(), letter, value.get()) < 0)
            return nullptr;
    }
    if (PyObject_SetAttrString(exc.get(), "_info", info.get()) < 0)
        return nullptr;
    PyErr_SetObject(face_cls, exc.get());
    return nullptr;
}

/* The module's ten classes: only these are exchanged for a face's on the way out. */
bool zt_module_class(PyObject *type)
{
    for (PyObject *cls : {Error, Warning, InterfaceError, DatabaseError, DataError,
                          OperationalError, IntegrityError, InternalError, ProgrammingError,
                          NotSupportedError})
        if (type == cls)
            return true;
    return false;
}

/* The pending exception, of one of the module's classes, raised again as the table's
 * class standing for it. Anything that fails leaves the original as it was. */
void zt_face_exchange(PyObject *table)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *face_cls = type && zt_module_class(type) ? zt_table_get(table, type) : nullptr;
    if (face_cls == nullptr) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyRef original(zt_exception_instance(type, value, tb));
    if (!original) {
        PyErr_Clear();
        return;
    }
    PyRef args(PyObject_GetAttrString(original.get(), "args"));
    PyRef exc(args && PyTuple_Check(args.get()) ? PyObject_Call(face_cls, args.get(), nullptr)
                                                : nullptr);
    PyObject **dict = exc ? _PyObject_GetDictPtr(original.get()) : nullptr;
    bool copied = static_cast<bool>(exc);
    if (copied && dict != nullptr && *dict != nullptr) {
        PyObject *key, *item;
        Py_ssize_t pos = 0;
        while (copied && PyDict_Next(*dict, &pos, &key, &item))
            copied = PyObject_SetAttr(exc.get(), key, item) == 0;
    }
    if (!copied) {
        PyErr_Clear();
        PyErr_SetObject((PyObject *)Py_TYPE(original.get()), original.get());
        return;
    }
    PyObject *cause = PyException_GetCause(original.get());
    if (cause != nullptr)
        PyException_SetCause(exc.get(), cause);
    PyObject *context = PyException_GetContext(original.get());
    if (context != nullptr)
        PyException_SetContext(exc.get(), context);
    ((PyBaseExceptionObject *)exc.get())->suppress_context =
        ((PyBaseExceptionObject *)original.get())->suppress_context;
    PyRef traceback(PyException_GetTraceback(original.get()));
    if (traceback)
        PyException_SetTraceback(exc.get(), traceback.get());
    PyErr_SetObject(face_cls, exc.get());
}

}  // namespace

ZtFace::ZtFace(PyObject *table) noexcept : table_(table), saved_(zt_current_face)
{
    Py_XINCREF(table_);
    zt_current_face = table_;
}

ZtFace::~ZtFace()
{
    zt_current_face = saved_;
    Py_XDECREF(table_);
}

void zt_face_pending() noexcept
{
    if (zt_current_face != nullptr && PyErr_Occurred())
        zt_face_exchange(zt_current_face);
}

PyObject *ZtFace::finish(PyObject *result) noexcept
{
    if (result == nullptr && table_ != nullptr && PyErr_Occurred())
        zt_face_exchange(table_);
    return result;
}

int ZtFace::finish(int status) noexcept
{
    if (status < 0 && table_ != nullptr && PyErr_Occurred())
        zt_face_exchange(table_);
    return status;
}

PyObject *zt_raise_with_fields(PyObject *cls, const char *text, ZTC_HANDLE *session)
{
    if (PyObject *table = zt_current_face) {
        try {
            zt_raise_faced(table, cls, text, session);
        } catch (const std::bad_alloc &) {
            PyErr_Clear();
        }
        if (PyErr_Occurred())
            return nullptr;
    }
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
