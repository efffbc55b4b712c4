/* zt_conv_read.h - how the decoders of the conversion layer read a value of the current
 * row with ZTC_GetData (defined in zt_conv_read.cpp). Two conventions live side by side:
 * the module's own forms start the length word at 0 (a library that writes nothing leaves
 * NULL, and a length of 0 or less is NULL); the Python-typed forms start it at -1 and keep
 * an empty value apart from NULL. Expects the interpreter lock. */
#ifndef ZT_CONV_READ_H
#define ZT_CONV_READ_H

#include "zt_cursor.h"
#include "pyzt_util.h"

#include <cstdint>
#include <memory>
#include <string>

/* Large-object handle, given back to the library when it goes out of scope. */
class ZtLob {
public:
    ZtLob() = default;
    ZtLob(const ZtLob &) = delete;
    ZtLob &operator=(const ZtLob &) = delete;
    ~ZtLob() { ZTC_Distroy_Lob(&h_); }
    ZTC_HANDLE *addr() { return &h_; }
private:
    ZTC_HANDLE h_ = nullptr;
};

/* ---- the module's own forms ---- */

/* ZTC_GetData for column col in form `type`, the length word starting at 0. 0, or -1
 * with the library's error raised. */
int zt_get_data(cursorObject *self, int col, int type, void *buffer, int capacity, int *length);
/* A str from UTF-8 text that ends at the first zero byte or after n bytes; text that is
 * not UTF-8 raises the interpreter's UnicodeDecodeError. */
PyObject *zt_text_to_str(const char *text, size_t n);
/* A text value of column col, first asked for with `capacity` bytes (capped to a stack
 * buffer) and again whole when the length word reports more: no value is cut. With
 * null_by_length a length of 0 or less gives None; otherwise whatever text the library
 * wrote ("" when nothing). */
PyObject *zt_text_item(cursorObject *self, int col, int type, int64_t capacity,
                       bool null_by_length);

/* A fixed-width value of column col read into a T; None for NULL, otherwise make(value). */
template <typename T, typename Make>
PyObject *zt_fixed_item(cursorObject *self, int col, int type, Make make)
{
    T value{};
    int length = 0;
    if (zt_get_data(self, col, type, &value, (int)sizeof value, &length) < 0)
        return nullptr;
    if (length <= 0)
        Py_RETURN_NONE;
    return make(value);
}

/* ---- the Python-typed forms ---- */

/* ZTC_GetData with the length word starting at -1 (NULL). 0, or -1 with the library's
 * error raised. */
int zt_py_get(cursorObject *self, int col, int type, void *buffer, int capacity, int *length);
/* The column's name for a message ("?" when the library cannot tell it). */
std::string zt_column_name(cursorObject *self, int col);
/* DataError for a value Python's types cannot hold. Always returns nullptr. */
PyObject *zt_out_of_range(cursorObject *self, int col, const char *what, const char *value);
/* A str from n bytes of UTF-8. */
PyObject *zt_make_str(const char *text, size_t n);

/* Text values are first requested into a stack buffer of this size; a longer value is
 * requested again with a buffer of its full length. */
constexpr int ZT_PY_TEXT_STACK = 1024;

/* Reads a text value in the form of `type` and hands its bytes to make(text, n); None
 * for NULL (length -1). The value is never cut: a long one is asked for again. */
template <typename Make>
PyObject *zt_py_text(cursorObject *self, int col, int type, Make make)
{
    char small[ZT_PY_TEXT_STACK];
    int length = -1;
    if (zt_py_get(self, col, type, small, ZT_PY_TEXT_STACK, &length) < 0)
        return nullptr;
    if (length < 0)
        Py_RETURN_NONE;
    if (length < ZT_PY_TEXT_STACK)
        return make(small, (size_t)length);
    const int full = length;
    std::unique_ptr<char[]> big(new char[(size_t)full + 1]);
    if (zt_py_get(self, col, type, big.get(), full + 1, &length) < 0)
        return nullptr;
    if (length < 0)
        Py_RETURN_NONE;
    return make(big.get(), (size_t)(length < full ? length : full));
}

template <typename T, typename Make>
PyObject *zt_py_fixed(cursorObject *self, int col, int type, Make make)
{
    T value{};
    int length = -1;
    if (zt_py_get(self, col, type, &value, (int)sizeof value, &length) < 0)
        return nullptr;
    if (length < 0)
        Py_RETURN_NONE;
    return make(value);
}

/* A view that serves only NULL (as None) and leaves every value to ZTC_GetData: the
 * Python-typed forms read a NULL from the view whatever the column's type. */
PyObject *zt_py_null_view(cursorObject *self, int col, int type, const ZTC_ROWVALUE &v,
                          bool *served);

#endif
