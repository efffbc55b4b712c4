/* pyzt_util.h - small C++ helpers over the CPython API shared by the driver's sources. */
#ifndef PYZT_UTIL_H
#define PYZT_UTIL_H

#include "pyztdb.h"
#include "ZTCsql.h"

#include <cstring>
#include <new>
#include <string>

/* A method table row for a C function of any of the calling conventions: the
 * interpreter calls it through the PyCFunction type named by the flags. */
#define ZT_METH(name, fn, flags) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), flags, nullptr}
/* The same with a docstring: "name($self, ...)\n--\n\n" first gives the text signature
 * that help() and inspect.signature show. */
#define ZT_METHD(name, fn, flags, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), flags, doc}

/* Owns one reference; steals what it is given. */
class PyRef {
public:
    PyRef() noexcept : p_(nullptr) {}
    explicit PyRef(PyObject *steal) noexcept : p_(steal) {}
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    PyRef &operator=(PyRef &&o) noexcept {
        if (this != &o) { Py_XDECREF(p_); p_ = o.p_; o.p_ = nullptr; }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    /* Takes a new reference to a borrowed object. */
    static PyRef borrow(PyObject *o) noexcept { Py_XINCREF(o); return PyRef(o); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /* Hands the reference over to the caller. */
    PyObject *release() noexcept { PyObject *o = p_; p_ = nullptr; return o; }
    void reset(PyObject *steal = nullptr) noexcept { PyObject *o = p_; p_ = steal; Py_XDECREF(o); }

private:
    PyObject *p_;
};

/* Keeps a pending exception aside while cleanup runs, and puts it back after. */
class PyErrSaver {
public:
    PyErrSaver() noexcept { PyErr_Fetch(&t_, &v_, &tb_); }
    ~PyErrSaver() { PyErr_Restore(t_, v_, tb_); }
    PyErrSaver(const PyErrSaver &) = delete;
    PyErrSaver &operator=(const PyErrSaver &) = delete;
private:
    PyObject *t_, *v_, *tb_;
};

/* Reads the session's last message into a zero-filled 256-byte buffer and raises it
 * as OperationalError, with the fields of that error as the attributes sqlstate,
 * detail, hint and context. Always returns nullptr. */
PyObject *zt_raise_library_error(ZTC_HANDLE *session);
/* Raises cls(text) carrying the fields of the session's last error as attributes
 * (as above). Always returns nullptr. */
PyObject *zt_raise_with_fields(PyObject *cls, const char *text, ZTC_HANDLE *session);
/* The exceptions of a face. While a method of a connection whose class names an error
 * table runs (a ZtFace on the stack), library errors are raised as the table's class for
 * their SQLSTATE, with every field of the error: str() is the message followed by the
 * server's further report lines (LINE n:, the caret, DETAIL, HINT), and the instance
 * gets `sqlstate`, `detail`, `hint`, `context` and `_info`, a dict of every field the
 * library gave by its letter. The table is a dict: a SQLSTATE, its first two characters
 * or its first one -> the class; "" -> the class of an unknown code; each of the
 * module's classes -> the face's class of the same meaning. Without a table the
 * module's classes and attributes stay exactly as they are. */
class ZtFace {
public:
    /* `table` may be null (the module's classes); held until the scope ends. */
    explicit ZtFace(PyObject *table) noexcept;
    ~ZtFace();
    ZtFace(const ZtFace &) = delete;
    ZtFace &operator=(const ZtFace &) = delete;
    /* A method's result on its way out: an exception of one of the module's own classes
     * raised by the driver's checks (they carry no SQLSTATE) leaves as the face's class
     * of the same meaning, its message, attributes, cause and traceback kept. */
    PyObject *finish(PyObject *result) noexcept;
    int finish(int status) noexcept;
private:
    PyObject *table_;
    PyObject *saved_;
};

/* While a face's method runs: a pending exception of one of the module's own classes
 * becomes the face's class of the same meaning (as ZtFace::finish does), for an error
 * a method hands out as a value rather than raising it. */
void zt_face_pending() noexcept;

/* Replaces the exception of a refused argument list with ProgrammingError(text); the
 * parser's own exception, which says what was wrong, becomes its __cause__. Always
 * returns nullptr. */
PyObject *zt_raise_mismatch(const char *text);

/* The exception (type, value, traceback), whose references it takes, as a normalized
 * instance that holds its traceback: a new reference (nullptr when there was none). */
inline PyObject *zt_exception_instance(PyObject *type, PyObject *value, PyObject *tb)
{
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

/* The pending exception as such an instance; the error indicator is cleared. */
inline PyObject *zt_fetch_exception()
{
    zt_face_pending();
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    return zt_exception_instance(type, value, tb);
}

#endif
