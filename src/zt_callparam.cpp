/* zt_callparam.cpp - the parameters of callproc and callfunc: which type codes have a
 * binding, how a Python value fills the heap buffer of its position by the position's
 * code and direction, and the check of the procedure name that goes into the call text. */
#include "zt_call.h"
#include "zt_conv.h"
#include "pyzt_util.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

double zt_parse_float(const char *text)
{
    char *end = nullptr;
    double v = PyOS_string_to_double(text, &end, nullptr);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0.0;
    }
    return v;
}

namespace {

int zt_is_text_code(int code)
{
    return code == ZTC_TYPE_VARCHAR || code == ZTC_TYPE_CLOB2 || code == ZTC_TYPE_REFCURSOR
        || code == ZTC_TYPE_CHAR || code == ZTC_TYPE_CHAR2;
}

int zt_is_binary_code(int code)
{
    return code == ZTC_TYPE_BINARY || code == ZTC_TYPE_BINARY2 || code == ZTC_TYPE_BLOB;
}

} // namespace

/* Whether the call frame has a binding for type code `code` (the codes zt_encode_item
 * fills a buffer for). */
bool zt_code_has_binding(int code)
{
    switch (code) {
    case ZTC_TYPE_NULL:
    case ZTC_TYPE_BOOLEAN:
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT:
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_DOUBLE:
    case ZTC_TYPE_NUMERIC:
    case ZTC_TYPE_DATE:
    case ZTC_TYPE_TIME:
    case ZTC_TYPE_DATETIME:
        return true;
    default:
        return zt_is_text_code(code) || zt_is_binary_code(code);
    }
}

/* A NULL input: no buffer, buffer length 0, length word 0; it reads back as None. The
 * library sends a position bound without a buffer as NULL whatever its type code. */
void zt_null_input(zt_slot &slot, int32_t &length)
{
    slot.readback = zt_readback::null;
    slot.buflen = 0;
    length = 0;
}

int zt_call_unsuitable(Py_ssize_t i, PyObject *item, int code)
{
    PyErr_Format(ProgrammingError, "The parameter %zd (%s) does not suit type code %d",
                 i + 1, Py_TYPE(item)->tp_name, code);
    return -1;
}

/* The library ends a text at its first zero byte, which would drop the rest of the value
 * without a word: such a text is refused, as execute refuses it. */
int zt_call_refuse_zero(Py_ssize_t i, const char *text, Py_ssize_t len)
{
    if (std::memchr(text, '\0', static_cast<size_t>(len)) == nullptr)
        return 0;
    PyErr_Format(ProgrammingError, "parameter %zd: text contains a zero character", i + 1);
    return -1;
}

/* A buffer size for a value of len bytes: at most 2 GiB fits a 32-bit length. */
int zt_call_check_size(Py_ssize_t i, Py_ssize_t len)
{
    if (len >= INT32_MAX - 1) {
        PyErr_Format(ProgrammingError, "The parameter %zd is too long", i + 1);
        return -1;
    }
    return 0;
}

void zt_call_text_slot(zt_slot &slot, int32_t &length, const char *text, int len)
{
    slot.code = ZTC_TYPE_VARCHAR;
    slot.allocate(len + 1);
    std::memcpy(slot.data(), text, static_cast<size_t>(len));
    length = len;
    slot.readback = zt_readback::text;
}

/* An input-only position gets a buffer of its value's size, an output or in-out one the
 * default sizes, which the library writes into. How a value fills the position is the
 * conversion table's entry for the position's code. */
int zt_encode_item(cursorObject *self, zt_call_kind kind, Py_ssize_t i, PyObject *item,
                   int direction, zt_slot &slot, int32_t &length)
{
    const int code = slot.code;
    const bool output = (direction == PARAM_OUTPUT || direction == PARAM_INPUTOUTPUT);
    const int32_t declared = zt_declared_size(self, i);
    if (declared >= INT32_MAX - 1) {
        PyErr_Format(ProgrammingError, "The declared size of parameter %zd is too large", i + 1);
        return -1;
    }

    if (item == Py_None && code == ZTC_TYPE_NULL) {
        zt_null_input(slot, length);
        return 0;
    }

    const zt_call_codec *codec = zt_conv_call_codec(zt_conv_of(self), code);
    if (codec == nullptr)
        return 1;
    const zt_call_pos pos = {kind, i, declared, output};
    return codec->encode(pos, item, slot, length);
}

namespace {

/* A name part: a plain identifier, or a double-quoted one ("" stands for a quote).
 * Advances *p past the part; false when there is none. */
bool zt_name_part(const char **p, const char *end)
{
    const char *s = *p;
    if (s >= end)
        return false;
    if (*s == '"') {
        s++;
        const char *start = s;
        for (;;) {
            if (s >= end || *s == '\0')
                return false;
            if (*s == '"') {
                if (s + 1 < end && s[1] == '"') {
                    s += 2;
                    continue;
                }
                break;
            }
            s++;
        }
        if (s == start)
            return false;
        *p = s + 1;
        return true;
    }
    auto first = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
    };
    if (!first(static_cast<unsigned char>(*s)))
        return false;
    s++;
    while (s < end) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (!first(c) && !(c >= '0' && c <= '9') && c != '$')
            break;
        s++;
    }
    *p = s;
    return true;
}

} // namespace

/* The UTF-8 text of the procedure name, checked to be an identifier or a dot-qualified
 * identifier, so that nothing else can ride along into the call text. nullptr with
 * ProgrammingError otherwise. */
const char *zt_call_name(PyObject *name, Py_ssize_t *len)
{
    if (!PyUnicode_Check(name)) {
        PyErr_Format(ProgrammingError, "The procedure name must be a str, not %s",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    const char *text = PyUnicode_AsUTF8AndSize(name, len);
    bool valid = text != nullptr;
    if (!text)
        PyErr_Clear();
    if (valid) {
        const char *p = text, *end = text + *len;
        valid = zt_name_part(&p, end);
        while (valid && p < end) {
            valid = (*p == '.');
            p++;
            valid = valid && zt_name_part(&p, end);
        }
    }
    if (!valid) {
        PyErr_Format(ProgrammingError, "The procedure name is not valid: %R", name);
        return nullptr;
    }
    return text;
}
