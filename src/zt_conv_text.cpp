/* zt_conv_text.cpp - the text and bytes family of the conversion layer: str, bytes,
 * bytearray, memoryview and None going to the library; the library's texts, binary
 * values and large objects coming back, in the module's own forms and in the
 * Python-typed ones. */
#include "zt_conv.h"
#include "zt_conv_read.h"
#include "zt_call.h"

#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace {

/* Largest capacity asked for an unbounded VARCHAR or CHAR on the first request. */
const int64_t ZT_UNBOUNDED_TEXT = 196608;

/* ---- Python -> library ---- */

PyTypeObject *zt_str_type(void) { return &PyUnicode_Type; }
PyTypeObject *zt_bytes_type(void) { return &PyBytes_Type; }
PyTypeObject *zt_none_type(void) { return Py_TYPE(Py_None); }

bool zt_takes_str(PyObject *value) { return PyUnicode_Check(value); }
bool zt_takes_bytes(PyObject *value) { return PyBytes_Check(value); }
bool zt_takes_none(PyObject *) { return false; }
bool zt_takes_buffer(PyObject *value)
{
    return PyByteArray_Check(value) || PyMemoryView_Check(value);
}

/* `len` bytes at `data` (followed by at least one readable byte: the buffer length
 * handed over is len + 1), the length capped by the position's declared size. */
int zt_encode_sized(const zt_encode_ctx &ctx, int code, const char *data, Py_ssize_t len,
                    zt_param &out)
{
    if (ctx.declared >= 0 && ctx.declared < len)
        len = ctx.declared;
    if (len >= INT_MAX)
        return zt_conv_too_long(ctx.pos);
    out.type = code;
    out.data = data;
    out.buflen = (int)len + 1;
    out.length = (int)len;
    return 0;
}

/* A str is sent whole as UTF-8, or cut to a declared size at a character boundary (a
 * cut inside a character would not be text the server accepts). The server cannot store
 * a zero character, and cutting the text there would lose the rest silently, so such
 * a text is refused. The UTF-8 is the str's own: `keep` holds the str. */
int zt_encode_str(const zt_encode_ctx &ctx, PyObject *value, zt_param &out)
{
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(value, &len);
    if (utf8 == nullptr)
        return -1;
    Py_ssize_t sent = len;
    if (ctx.declared >= 0 && ctx.declared < len) {
        sent = ctx.declared;
        while (sent > 0 && ((unsigned char)utf8[sent] & 0xC0) == 0x80)
            sent--;
    }
    if (std::memchr(utf8, '\0', (size_t)sent) != nullptr) {
        PyErr_Format(ProgrammingError, "parameter %d: text contains a zero character", ctx.pos);
        return -1;
    }
    out.keep = PyRef::borrow(value);
    return zt_encode_sized(ctx, ZTC_TYPE_VARCHAR, utf8, sent, out);
}

/* bytes objects always carry a zero byte after their content, so len + 1 is readable. */
int zt_encode_bytes(const zt_encode_ctx &ctx, PyObject *value, zt_param &out)
{
    out.keep = PyRef::borrow(value);
    return zt_encode_sized(ctx, ZTC_TYPE_BINARY, PyBytes_AS_STRING(value),
                           PyBytes_GET_SIZE(value), out);
}

/* bytearray and memoryview: their C-contiguous content, bound like bytes. The copy
 * gives the library the extra readable byte that bytes objects have. */
int zt_encode_buffer(const zt_encode_ctx &ctx, PyObject *value, zt_param &out)
{
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        PyErr_Format(ProgrammingError, "parameter %d: %s is not C-contiguous bytes", ctx.pos,
                     zt_conv_type_name(value));
        return -1;
    }
    out.owned.assign((const char *)view.buf, (size_t)view.len);
    PyBuffer_Release(&view);
    return zt_encode_sized(ctx, ZTC_TYPE_BINARY, out.owned.c_str(),
                           (Py_ssize_t)out.owned.size(), out);
}

int zt_encode_none(const zt_encode_ctx &, PyObject *, zt_param &out)
{
    out.type = ZTC_TYPE_NULL;
    out.data = nullptr;
    out.buflen = out.length = 0;
    return 0;
}

/* ---- library -> Python: the module's own forms ---- */

/* The capacity asked for a VARCHAR (6 bytes a character) or CHAR (the declared
 * length) column of modifier modi. A modifier of 0 or less means unbounded. */
int64_t zt_declared_text_capacity(int type, int modi)
{
    if (modi <= 0)
        return ZT_UNBOUNDED_TEXT;
    return type == ZTC_TYPE_VARCHAR ? 6 * (int64_t)modi : (int64_t)modi;
}

PyObject *zt_declared_text_value(cursorObject *self, int col, int type)
{
    int modi = -1;
    ZTC_getResultcolmodi(&self->p_results, col, &modi);
    return zt_text_item(self, col, type, zt_declared_text_capacity(type, modi), true);
}

/* Read whole, None for NULL and for an empty text, cut at a zero byte. */
PyObject *zt_declared_text_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = true;
    if ((v.text == nullptr && v.length == -1) || (v.text != nullptr && v.length <= 0))
        Py_RETURN_NONE;
    if (v.text != nullptr)
        return zt_text_to_str(v.text, (size_t)v.length);
    *served = false;
    return nullptr;
}

/* Codes 12, 14, 18, 40, 58, 63 and unknown ones: the text the library writes into a
 * 400-byte buffer, whatever the length word says about NULL. */
PyObject *zt_other_text_value(cursorObject *self, int col, int type)
{
    return zt_text_item(self, col, type, 400, false);
}

/* BINARY (code 15) is never read: the item is a fixed marker text. A large object
 * is made and given back as for the other binary codes, but the request goes to a
 * scratch buffer of the same 8 bytes: for this code the library writes raw bytes,
 * which would overwrite the handle and leave it impossible to release. */
PyObject *zt_binary_value(cursorObject *self, int col, int)
{
    static const char marker[] = "<BINARY> ";
    ZtLob lob;
    if (ZTC_Create_Lob(lob.addr()) < 0)
        return zt_raise_library_error(&self->p_conn);
    char scratch[8];
    int length = 0;
    if (zt_get_data(self, col, ZTC_TYPE_BINARY, scratch, (int)sizeof scratch, &length) < 0)
        return nullptr;
    if (length <= 0)
        Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(marker, sizeof marker - 1);
}

/* CLOB (as str) or BLOB (as bytes of exactly the value's length) through a large
 * object the library fills; the object is released on every path. */
PyObject *zt_lob_value(cursorObject *self, int col, int type)
{
    ZtLob lob;
    if (ZTC_Create_Lob(lob.addr()) < 0)
        return zt_raise_library_error(&self->p_conn);
    int length = 0;
    if (zt_get_data(self, col, type, lob.addr(), 8, &length) < 0)
        return nullptr;
    if (length <= 0)
        Py_RETURN_NONE;

    if (type == ZTC_TYPE_BLOB) {
        PyRef value(PyBytes_FromStringAndSize(nullptr, length));
        if (!value)
            return nullptr;
        char *data = PyBytes_AS_STRING(value.get());
        int got = ZTC_Get_Lob_data(lob.addr(), data, length);
        if (got < 0)
            return zt_raise_library_error(&self->p_conn);
        if (got < length)
            std::memset(data + got, 0, (size_t)(length - got));
        return value.release();
    }
    std::unique_ptr<char[]> text(new char[(size_t)length + 1]());
    if (ZTC_Get_Lob_data(lob.addr(), text.get(), length) < 0)
        return zt_raise_library_error(&self->p_conn);
    return zt_text_to_str(text.get(), (size_t)length);
}

PyObject *zt_null_value(cursorObject *, int, int)
{
    Py_RETURN_NONE;
}

/* ---- library -> Python: the Python-typed forms ---- */

/* bytea (as bytes) or a character large object (as str) through a large object, read
 * in the form `type`. */
PyObject *zt_py_lob(cursorObject *self, int col, int type)
{
    ZtLob lob;
    if (ZTC_Create_Lob(lob.addr()) < 0)
        return zt_raise_library_error(&self->p_conn);
    int length = -1;
    if (zt_py_get(self, col, type, lob.addr(), (int)sizeof(ZTC_HANDLE), &length) < 0)
        return nullptr;
    if (length < 0)
        Py_RETURN_NONE;
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, length));
    if (!bytes)
        return nullptr;
    char *data = PyBytes_AS_STRING(bytes.get());
    int got = length > 0 ? ZTC_Get_Lob_data(lob.addr(), data, length) : 0;
    if (got < 0)
        return zt_raise_library_error(&self->p_conn);
    if (got < length)
        std::memset(data + got, 0, (size_t)(length - got));
    if (type == ZTC_TYPE_BLOB)
        return bytes.release();
    return PyUnicode_DecodeUTF8(data, length, nullptr);
}

PyObject *zt_py_blob_value(cursorObject *self, int col, int)
{
    return zt_py_lob(self, col, ZTC_TYPE_BLOB);
}

PyObject *zt_py_clob_value(cursorObject *self, int col, int)
{
    return zt_py_lob(self, col, ZTC_TYPE_CLOB2);
}

/* Text of every other type (varchar, char, json, uuid, arrays, a cursor name). */
PyObject *zt_py_text_value(cursorObject *self, int col, int type)
{
    return zt_py_text(self, col, type, zt_make_str);
}

PyObject *zt_py_text_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.text != nullptr)
        return zt_make_str(v.text, (size_t)v.length);
    *served = false;
    return nullptr;
}

} // namespace

const zt_adapter zt_adapt_str = {"str", zt_str_type, zt_takes_str, ZTC_TYPE_VARCHAR,
                                 zt_encode_str};
const zt_adapter zt_adapt_bytes = {"bytes", zt_bytes_type, zt_takes_bytes, ZTC_TYPE_BINARY,
                                   zt_encode_bytes};
/* bytearray and memoryview: procedures know them only with Python types on. */
const zt_adapter zt_adapt_buffer = {"buffer", nullptr, zt_takes_buffer, ZTC_TYPE_NULL,
                                    zt_encode_buffer};
const zt_adapter zt_adapt_buffer_typed = {"buffer", nullptr, zt_takes_buffer, ZTC_TYPE_BLOB,
                                          zt_encode_buffer};
const zt_adapter zt_adapt_none = {"None", zt_none_type, zt_takes_none, ZTC_TYPE_NULL,
                                  zt_encode_none};

const zt_decoder zt_dec_null = {zt_null_value, nullptr};
const zt_decoder zt_dec_declared_text = {zt_declared_text_value, zt_declared_text_view};
const zt_decoder zt_dec_binary = {zt_binary_value, nullptr};
const zt_decoder zt_dec_lob = {zt_lob_value, nullptr};
const zt_decoder zt_dec_other_text = {zt_other_text_value, nullptr};
const zt_decoder zt_pydec_blob = {zt_py_blob_value, zt_py_null_view};
const zt_decoder zt_pydec_clob = {zt_py_clob_value, zt_py_null_view};
const zt_decoder zt_pydec_text = {zt_py_text_value, zt_py_text_view};

/* ---- procedure and function positions ---- */

namespace {

/* Text buffer of an output or in-out text position without a declared size: 64 KiB
 * plus the zero. */
const int32_t ZT_TEXT_BUFFER = 65537;

/* A contiguous view of a bytes-like object, released on scope exit. */
struct zt_call_buffer_view {
    Py_buffer view{};
    bool held = false;
    int get(PyObject *item) {
        if (PyObject_GetBuffer(item, &view, PyBUF_SIMPLE) < 0)
            return -1;
        held = true;
        return 0;
    }
    ~zt_call_buffer_view() {
        if (held)
            PyBuffer_Release(&view);
    }
};

/* Text positions (and a str at a function's binary position): the UTF-8 text, cut to
 * the declared size at a character boundary, so that what is sent is still text.
 * Without a declared size an input-only text gets a buffer of its own size; an output or
 * in-out one 64 KiB, or the whole text when it is longer. */
int zt_call_text(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    const int code = slot.code;
    const int32_t declared = pos.declared;
    if (!PyUnicode_Check(item))
        return zt_call_unsuitable(pos.i, item, code);
    Py_ssize_t len = 0;
    const char *text = PyUnicode_AsUTF8AndSize(item, &len);
    if (!text)
        return -1;
    if (declared >= 0 && len > declared) {
        Py_ssize_t cut = declared;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            cut--;
        len = cut;
    }
    if (zt_call_refuse_zero(pos.i, text, len) < 0)
        return -1;
    if (zt_call_check_size(pos.i, len) < 0)
        return -1;
    int32_t size = declared >= 0 ? declared + 1 : pos.output ? ZT_TEXT_BUFFER : 0;
    if (len + 1 > size)
        size = static_cast<int32_t>(len) + 1;
    slot.allocate(size);
    if (len > 0)
        std::memcpy(slot.data(), text, static_cast<size_t>(len));
    length = static_cast<int32_t>(len);
    slot.readback = (code == ZTC_TYPE_REFCURSOR) ? zt_readback::refcursor : zt_readback::text;
    slot.whole = pos.output && declared < 0;
    return 0;
}

/* Binary positions take bytes-like values whole, zero bytes included; a function call
 * also takes a str there, sent as its text. */
int zt_call_binary(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    const int32_t declared = pos.declared;
    if (PyUnicode_Check(item) && pos.kind == zt_call_kind::function)
        return zt_call_text(pos, item, slot, length);
    if (PyUnicode_Check(item) || !PyObject_CheckBuffer(item))
        return zt_call_unsuitable(pos.i, item, slot.code);
    zt_call_buffer_view view;
    if (view.get(item) < 0)
        return -1;
    Py_ssize_t len = view.view.len;
    if (declared >= 0 && len > declared)
        len = declared;
    if (zt_call_check_size(pos.i, len) < 0)
        return -1;
    slot.allocate(declared >= 0 ? declared + 1 : static_cast<int32_t>(len) + 1);
    if (len > 0)
        std::memcpy(slot.data(), view.view.buf, static_cast<size_t>(len));
    length = static_cast<int32_t>(len);
    slot.readback = zt_readback::bytes;
    slot.whole = pos.output && declared < 0;
    return 0;
}

const zt_call_codec zt_text_call_codecs[] = {
    {ZTC_TYPE_VARCHAR, zt_call_text, nullptr},  {ZTC_TYPE_CHAR, zt_call_text, nullptr},
    {ZTC_TYPE_CHAR2, zt_call_text, nullptr},    {ZTC_TYPE_CLOB2, zt_call_text, nullptr},
    {ZTC_TYPE_REFCURSOR, zt_call_text, nullptr}, {ZTC_TYPE_BINARY, zt_call_binary, nullptr},
    {ZTC_TYPE_BINARY2, zt_call_binary, nullptr}, {ZTC_TYPE_BLOB, zt_call_binary, nullptr},
};

} // namespace

/* The text and bytes positions are alike in both tables. */
const zt_call_codecs zt_call_text_codecs = {
    zt_text_call_codecs, sizeof zt_text_call_codecs / sizeof zt_text_call_codecs[0]};
