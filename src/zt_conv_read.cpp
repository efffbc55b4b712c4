/* zt_conv_read.cpp - the reading helpers the decoders of every family share: a value of
 * the current row taken with ZTC_GetData, in the module's own convention (length word
 * from 0) and in the Python-typed one (from -1, empty kept apart from NULL). */
#include "zt_conv_read.h"

#include <cstring>
#include <memory>

namespace {

/* Text values are first requested into a stack buffer of this many bytes (or less):
 * nearly every value fits, and no memory is allocated for it. */
const int ZT_TEXT_STACK = 1024;

} // namespace

int zt_get_data(cursorObject *self, int col, int type, void *buffer, int capacity, int *length)
{
    *length = 0;
    if (ZTC_GetData(&self->p_results, col, type, buffer, capacity, length) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    return 0;
}

PyObject *zt_text_to_str(const char *text, size_t n)
{
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)strnlen(text, n), nullptr);
}

PyObject *zt_text_item(cursorObject *self, int col, int type, int64_t capacity,
                       bool null_by_length)
{
    char small[ZT_TEXT_STACK];
    int cap = (int)(capacity < ZT_TEXT_STACK - 1 ? capacity : ZT_TEXT_STACK - 1);
    std::memset(small, 0, (size_t)cap + 1);
    int length = 0;
    if (zt_get_data(self, col, type, small, cap, &length) < 0)
        return nullptr;
    if (null_by_length && length <= 0)
        Py_RETURN_NONE;
    if (length <= cap)
        return zt_text_to_str(small, (size_t)cap);

    /* Cut: ask again with room for the whole value and a terminating zero. */
    const int full = length;
    std::unique_ptr<char[]> big(new char[(size_t)full + 1]());
    if (zt_get_data(self, col, type, big.get(), full, &length) < 0)
        return nullptr;
    if (null_by_length && length <= 0)
        Py_RETURN_NONE;
    return zt_text_to_str(big.get(), (size_t)full);
}

int zt_py_get(cursorObject *self, int col, int type, void *buffer, int capacity, int *length)
{
    *length = -1;
    if (ZTC_GetData(&self->p_results, col, type, buffer, capacity, length) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    return 0;
}

std::string zt_column_name(cursorObject *self, int col)
{
    char name[256];
    std::memset(name, 0, sizeof name);
    if (ZTC_getResultcolname(&self->p_results, col, name) < 0)
        return "?";
    name[sizeof name - 1] = '\0';
    return name;
}

PyObject *zt_out_of_range(cursorObject *self, int col, const char *what, const char *value)
{
    std::string name = zt_column_name(self, col);
    PyErr_Format(DataError, "column %d (%s): %s value '%s' is out of the range Python can hold",
                 col, name.c_str(), what, value);
    return nullptr;
}

PyObject *zt_make_str(const char *text, size_t n)
{
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)n, nullptr);
}

PyObject *zt_py_null_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = v.text == nullptr && v.length == -1;
    if (*served)
        Py_RETURN_NONE;
    return nullptr;
}
