/* zt_copyrows.cpp - rows of COPY's text format, written and read without the session:
 * copy_text_row appends one row of Python values to a bytearray, copy_text_fields
 * takes the fields of one line of received data. The package's Copy objects call them
 * once per row. */
#include "zt_copyrows.h"
#include "pyztdb.h"
#include "pyzt_util.h"
#include "zt_lexchars.h"

#include <cmath>
#include <cstring>
#include <new>
#include <string>

namespace {

/* Appends text with COPY's escapes: backslash, tab, newline and carriage return. */
void zt_copy_escape(std::string &out, const char *text, Py_ssize_t size)
{
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = text[i];
        switch (c) {
        case '\\': out.append("\\\\", 2); break;
        case '\t': out.append("\\t", 2); break;
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        default: out.push_back(c);
        }
    }
}

/* Appends a str escaped. 0, or -1 with an error set (a lone surrogate). */
int zt_copy_put_str(std::string &out, PyObject *text)
{
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8)
        return -1;
    if (std::memchr(utf8, '\0', (size_t)size)) {
        PyErr_SetString(DataError, "COPY: a text value holds a NUL character");
        return -1;
    }
    zt_copy_escape(out, utf8, size);
    return 0;
}

/* Appends one value: None as \N, str, bool, int, float and bytes here; anything else
 * as the str that fallback(value) returns. 0, or -1 with an error set. */
int zt_copy_put_value(std::string &out, PyObject *value, PyObject *fallback)
{
    if (value == Py_None) {
        out.append("\\N", 2);
        return 0;
    }
    if (PyUnicode_CheckExact(value))
        return zt_copy_put_str(out, value);
    if (PyBool_Check(value)) {
        out.push_back(value == Py_True ? 't' : 'f');
        return 0;
    }
    if (PyLong_CheckExact(value)) {
        PyRef text(PyObject_Str(value));
        return text ? zt_copy_put_str(out, text.get()) : -1;
    }
    if (PyFloat_CheckExact(value)) {
        double d = PyFloat_AS_DOUBLE(value);
        if (std::isnan(d)) {
            out.append("NaN");
            return 0;
        }
        if (std::isinf(d)) {
            out.append(d > 0 ? "Infinity" : "-Infinity");
            return 0;
        }
        PyRef text(PyObject_Repr(value));
        return text ? zt_copy_put_str(out, text.get()) : -1;
    }
    if (PyBytes_CheckExact(value) || PyByteArray_CheckExact(value)) {
        const unsigned char *data = reinterpret_cast<const unsigned char *>(
            PyBytes_Check(value) ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value));
        Py_ssize_t size = PyBytes_Check(value) ? PyBytes_GET_SIZE(value)
                                               : PyByteArray_GET_SIZE(value);
        static const char hex[] = "0123456789abcdef";
        /* The bytea text "\x..." with its backslash escaped for COPY. */
        out.append("\\\\x", 3);
        for (Py_ssize_t i = 0; i < size; ++i) {
            out.push_back(hex[data[i] >> 4]);
            out.push_back(hex[data[i] & 15]);
        }
        return 0;
    }
    PyRef text(PyObject_CallOneArg(fallback, value));
    if (!text)
        return -1;
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "COPY: the writer of %s gave %s, not str",
                     Py_TYPE(value)->tp_name, Py_TYPE(text.get())->tp_name);
        return -1;
    }
    return zt_copy_put_str(out, text.get());
}

/* COPY's \xHH escapes read their digits as the library reads hex (zt_lexchars.h). */
using zt_lexchars::hex_digit;

/* The field text[0..size) with COPY's escapes undone, as str. */
PyObject *zt_copy_field(const char *text, Py_ssize_t size, std::string &scratch)
{
    if (!std::memchr(text, '\\', (size_t)size))
        return PyUnicode_DecodeUTF8(text, size, "strict");
    scratch.clear();
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 == size) {
            scratch.push_back(c);
            continue;
        }
        c = text[++i];
        switch (c) {
        case 'b': scratch.push_back('\b'); break;
        case 'f': scratch.push_back('\f'); break;
        case 'n': scratch.push_back('\n'); break;
        case 'r': scratch.push_back('\r'); break;
        case 't': scratch.push_back('\t'); break;
        case 'v': scratch.push_back('\v'); break;
        case 'x': {
            int value = 0, digits = 0, d;
            while (digits < 2 && i + 1 < size && (d = hex_digit(text[i + 1])) >= 0) {
                value = value * 16 + d;
                ++digits;
                ++i;
            }
            if (digits)
                scratch.push_back(static_cast<char>(value));
            else
                scratch.push_back('x');
            break;
        }
        default:
            if (c >= '0' && c <= '7') {
                int value = c - '0';
                for (int digits = 1; digits < 3 && i + 1 < size && text[i + 1] >= '0' &&
                                     text[i + 1] <= '7';
                     ++digits)
                    value = value * 8 + (text[++i] - '0');
                scratch.push_back(static_cast<char>(value & 0xff));
            } else {
                scratch.push_back(c);
            }
        }
    }
    return PyUnicode_DecodeUTF8(scratch.data(), (Py_ssize_t)scratch.size(), "strict");
}

}  // namespace

/* copy_text_row(row, fallback, out) -> len(out): appends the row (a sequence of values)
 * as one line of COPY text data to the bytearray out; fallback(value) gives the str of
 * a value of any type but None, str, bool, int, float and bytes. On an error out is as
 * it was. */
PyObject *pyzt_copy_text_row(PyObject *, PyObject *args)
{
    PyObject *row = nullptr, *fallback = nullptr, *out = nullptr;
    if (!PyArg_ParseTuple(args, "OOO!:copy_text_row", &row, &fallback, &PyByteArray_Type, &out))
        return nullptr;
    try {
        PyRef seq(PySequence_Fast(row, "copy_text_row: a row is a sequence of values"));
        if (!seq)
            return nullptr;
        std::string line;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i)
                line.push_back('\t');
            if (zt_copy_put_value(line, PySequence_Fast_GET_ITEM(seq.get(), i), fallback) < 0)
                return nullptr;
        }
        line.push_back('\n');
        Py_ssize_t had = PyByteArray_GET_SIZE(out);
        if (PyByteArray_Resize(out, had + (Py_ssize_t)line.size()) < 0)
            return nullptr;
        std::memcpy(PyByteArray_AS_STRING(out) + had, line.data(), line.size());
        return PyLong_FromSsize_t(had + (Py_ssize_t)line.size());
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* copy_text_fields(data, start) -> (fields, end) or None: the fields of the line of COPY
 * text data that starts at offset start of data (a bytes-like object), each a str or
 * None for \N, and the offset after its newline; None when no whole line is there. */
PyObject *pyzt_copy_text_fields(PyObject *, PyObject *args)
{
    Py_buffer view;
    Py_ssize_t start = 0;
    if (!PyArg_ParseTuple(args, "y*n:_copy_text_fields", &view, &start))
        return nullptr;
    struct Release {
        Py_buffer *v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (start < 0 || start > view.len) {
        PyErr_SetString(PyExc_ValueError, "copy_text_fields: start is outside the data");
        return nullptr;
    }
    const char *data = static_cast<const char *>(view.buf);
    const char *line = data + start;
    const char *end =
        static_cast<const char *>(std::memchr(line, '\n', (size_t)(view.len - start)));
    if (!end)
        Py_RETURN_NONE;
    try {
        PyRef fields(PyList_New(0));
        if (!fields)
            return nullptr;
        std::string scratch;
        const char *field = line;
        for (;;) {
            const char *tab = static_cast<const char *>(
                std::memchr(field, '\t', (size_t)(end - field)));
            const char *stop = tab ? tab : end;
            PyRef value;
            if (stop - field == 2 && field[0] == '\\' && field[1] == 'N')
                value = PyRef::borrow(Py_None);
            else
                value = PyRef(zt_copy_field(field, stop - field, scratch));
            if (!value || PyList_Append(fields.get(), value.get()) < 0)
                return nullptr;
            if (!tab)
                break;
            field = tab + 1;
        }
        return Py_BuildValue("(On)", fields.get(), (Py_ssize_t)(end - data + 1));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}
