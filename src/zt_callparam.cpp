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

/* Text buffer of an output or in-out text position without a declared size: 64 KiB
 * plus the zero. */
const int32_t ZT_TEXT_BUFFER = 65537;
/* Smallest NUMERIC text buffer; a longer decimal text gets a buffer of its length. */
const int32_t ZT_NUMERIC_BUFFER = 64;
/* DATE buffer of an output or in-out procedure position: room for every date the server
 * holds ("4714-11-24 BC", "5874897-12-31"); an input-only DATE keeps its 11 bytes. */
const int32_t ZT_DATE_OUTPUT_BUFFER = 32;

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

namespace {

/* ProgrammingError for an item whose Python type does not suit its type code. */
int zt_unsuitable(Py_ssize_t i, PyObject *item, int code)
{
    PyErr_Format(ProgrammingError, "The parameter %zd (%s) does not suit type code %d",
                 i + 1, Py_TYPE(item)->tp_name, code);
    return -1;
}

/* Converts an integer item for code `code` into *out, refusing a value that the
 * library's width for that code cannot hold instead of sending other bits. */
int zt_integer_item(Py_ssize_t i, PyObject *item, int code, long long *out)
{
    if (!PyIndex_Check(item))
        return zt_unsuitable(i, item, code);
    PyRef index(PyNumber_Index(item));
    if (!index)
        return -1;
    long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred())
        return -1;
    long long low = INT32_MIN, high = INT32_MAX;
    if (code == ZTC_TYPE_TINYINT) {
        low = INT8_MIN; high = INT8_MAX;
    } else if (code == ZTC_TYPE_SMALLINT) {
        low = INT16_MIN; high = INT16_MAX;
    } else if (code == ZTC_TYPE_BIGINT) {
        low = INT64_MIN; high = INT64_MAX;
    }
    if (value < low || value > high) {
        PyErr_Format(PyExc_OverflowError,
                     "The parameter %zd value %lld is out of range for type code %d",
                     i + 1, value, code);
        return -1;
    }
    *out = value;
    return 0;
}

/* Converts a number (float, int, or anything with __float__ or __index__) for a
 * FLOAT or DOUBLE position into *out. */
int zt_float_item(Py_ssize_t i, PyObject *item, int code, double *out)
{
    if (!PyNumber_Check(item))
        return zt_unsuitable(i, item, code);
    double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred())
        return -1;
    *out = value;
    return 0;
}

/* The library ends a text at its first zero byte, which would drop the rest of the value
 * without a word: such a text is refused, as execute refuses it. */
int zt_refuse_zero(Py_ssize_t i, const char *text, Py_ssize_t len)
{
    if (std::memchr(text, '\0', static_cast<size_t>(len)) == nullptr)
        return 0;
    PyErr_Format(ProgrammingError, "parameter %zd: text contains a zero character", i + 1);
    return -1;
}

/* The decimal text of a NUMERIC item: a float as its shortest exact decimal, a str as it
 * stands, an int or a Decimal as their exact decimal text. */
int zt_numeric_text(Py_ssize_t i, PyObject *item, std::string *out)
{
    if (PyFloat_Check(item)) {
        /* The shortest exact decimal, as execute sends it, in the procedures' spelling. */
        *out = zt_float_text(PyFloat_AS_DOUBLE(item), ZT_FLOAT_G);
        if (out->empty())
            return -1;
        return 0;
    }
    PyRef text;
    if (PyUnicode_Check(item)) {
        text = PyRef::borrow(item);
    } else if (PyLong_Check(item)) {
        text.reset(PyNumber_ToBase(item, 10));
    } else {
        PyObject *decimal = zt_conv_decimal_type();
        if (decimal == nullptr)
            return -1;
        if (!PyType_IsSubtype(Py_TYPE(item), (PyTypeObject *)decimal))
            return zt_unsuitable(i, item, ZTC_TYPE_NUMERIC);
        text.reset(PyObject_Str(item));
    }
    if (!text)
        return -1;
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!utf8 || zt_refuse_zero(i, utf8, len) < 0)
        return -1;
    out->assign(utf8, static_cast<size_t>(len));
    return 0;
}

/* The UTF-8 text of a str item, cut to the declared size (at a character boundary,
 * so that what is sent is still text). */
int zt_text_item(Py_ssize_t i, PyObject *item, int code, int32_t declared,
                 const char **text, Py_ssize_t *len)
{
    if (!PyUnicode_Check(item))
        return zt_unsuitable(i, item, code);
    *text = PyUnicode_AsUTF8AndSize(item, len);
    if (!*text)
        return -1;
    if (declared >= 0 && *len > declared) {
        Py_ssize_t cut = declared;
        while (cut > 0 && (static_cast<unsigned char>((*text)[cut]) & 0xC0) == 0x80)
            cut--;
        *len = cut;
    }
    return zt_refuse_zero(i, *text, *len);
}

/* A contiguous view of a bytes-like object, released on scope exit. */
struct zt_buffer_view {
    Py_buffer view{};
    bool held = false;
    int get(PyObject *item) {
        if (PyObject_GetBuffer(item, &view, PyBUF_SIMPLE) < 0)
            return -1;
        held = true;
        return 0;
    }
    ~zt_buffer_view() {
        if (held)
            PyBuffer_Release(&view);
    }
};

/* A buffer size for a value of len bytes: at most 2 GiB fits a 32-bit length. */
int zt_check_size(Py_ssize_t i, Py_ssize_t len)
{
    if (len >= INT32_MAX - 1) {
        PyErr_Format(ProgrammingError, "The parameter %zd is too long", i + 1);
        return -1;
    }
    return 0;
}

/* Fills the slot with a text the caller formatted and binds it as VARCHAR. */
void zt_text_slot(zt_slot &slot, int32_t &length, const char *text, int len)
{
    slot.code = ZTC_TYPE_VARCHAR;
    slot.allocate(len + 1);
    std::memcpy(slot.data(), text, static_cast<size_t>(len));
    length = len;
    slot.readback = zt_readback::text;
}

/* With Python types on, a timedelta goes as an interval of its microseconds; one beyond
 * 64 bits of them (292,000 years) as the interval's text. */
int zt_interval_item(Py_ssize_t i, PyObject *item, zt_slot &slot, int32_t &length)
{
    if (!PyDelta_Check(item))
        return zt_unsuitable(i, item, ZTC_TYPE_INTERVAL_DS);
    int64_t value = 0;
    if (zt_timedelta_micros(item, value)) {
        slot.allocate(8);
        std::memcpy(slot.data(), &value, sizeof value);
        slot.buflen = length = 8;
        slot.readback = zt_readback::int64;
        return 0;
    }
    char text[96];
    int n = zt_timedelta_text(item, text, sizeof text);
    zt_text_slot(slot, length, text, n);
    return 0;
}

/* With Python types on, an int goes as an 8-byte value that the library types as the
 * same number written in SQL (integer, then bigint); one beyond 64 bits as numeric. */
int zt_literal_int_item(Py_ssize_t i, PyObject *item, zt_slot &slot, int32_t &length,
                        bool *numeric)
{
    *numeric = false;
    if (!PyLong_Check(item))
        return zt_unsuitable(i, item, ZTC_TYPE_INT_LITERAL);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (overflow != 0) {
        *numeric = true;
        return 0;
    }
    int64_t value = v;
    slot.allocate(8);
    std::memcpy(slot.data(), &value, sizeof value);
    slot.buflen = length = 8;
    slot.readback = zt_readback::int64;
    return 0;
}

/* With Python types on, an aware time keeps its offset: it goes as text for the server
 * to read as a time with time zone. 1 when the time is naive (bound the plain way). */
int zt_aware_time_item(PyObject *item, zt_slot &slot, int32_t &length)
{
    char text[64];
    int n = zt_aware_time_text(item, text, sizeof text);
    if (n <= 0)
        return n < 0 ? -1 : 1;
    zt_text_slot(slot, length, text, n);
    return 0;
}

} // namespace

/* An input-only position gets a buffer of its value's size, an output or in-out one the
 * default sizes, which the library writes into. */
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

    const bool typed = zt_conv_of(self).typed_calls;
    switch (code) {
    case ZTC_TYPE_INT_LITERAL:
    case ZTC_TYPE_INTERVAL_DS:
        /* Codes of the Python-typed table only. */
        if (!typed)
            break;
        if (item == Py_None) {
            zt_null_input(slot, length);
            return 0;
        }
        if (code == ZTC_TYPE_INTERVAL_DS)
            return zt_interval_item(i, item, slot, length);
        {
            bool numeric = false;
            if (zt_literal_int_item(i, item, slot, length, &numeric) < 0)
                return -1;
            if (!numeric)
                return 0;
        }
        slot.code = ZTC_TYPE_NUMERIC;
        return zt_encode_item(self, kind, i, item, direction, slot, length);
    case ZTC_TYPE_BOOLEAN:
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT: {
        long long value = 0;
        if (zt_integer_item(i, item, code, &value) < 0)
            return -1;
        slot.allocate(8);
        if (code == ZTC_TYPE_BIGINT) {
            int64_t v = value;
            std::memcpy(slot.data(), &v, sizeof v);
            slot.buflen = length = 8;
            slot.readback = zt_readback::int64;
        } else if (code == ZTC_TYPE_SMALLINT) {
            int16_t v = static_cast<int16_t>(value);
            std::memcpy(slot.data(), &v, sizeof v);
            slot.buflen = length = 2;
            slot.readback = zt_readback::int16;
        } else {
            /* BOOLEAN and TINYINT keep a 32-bit value of which the library reads
             * the low byte (buffer length 1); INTEGER passes all four bytes. */
            int32_t v = static_cast<int32_t>(value);
            std::memcpy(slot.data(), &v, sizeof v);
            slot.buflen = length = (code == ZTC_TYPE_INTEGER) ? 4 : 1;
            slot.readback = (code == ZTC_TYPE_BOOLEAN)   ? zt_readback::boolean
                            : (code == ZTC_TYPE_TINYINT) ? zt_readback::int8
                                                         : zt_readback::int32;
        }
        return 0;
    }
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_DOUBLE: {
        double value = 0;
        if (zt_float_item(i, item, code, &value) < 0)
            return -1;
        slot.allocate(8);
        if (code == ZTC_TYPE_FLOAT) {
            float v = static_cast<float>(value);
            std::memcpy(slot.data(), &v, sizeof v);
            slot.buflen = length = 4;
            slot.readback = zt_readback::float32;
        } else {
            std::memcpy(slot.data(), &value, sizeof value);
            slot.buflen = length = 8;
            slot.readback = zt_readback::float64;
        }
        return 0;
    }
    case ZTC_TYPE_NUMERIC: {
        std::string text;
        if (zt_numeric_text(i, item, &text) < 0)
            return -1;
        if (zt_check_size(i, static_cast<Py_ssize_t>(text.size())) < 0)
            return -1;
        int32_t size = static_cast<int32_t>(text.size()) + 1;
        slot.allocate(size > ZT_NUMERIC_BUFFER ? size : ZT_NUMERIC_BUFFER);
        std::memcpy(slot.data(), text.data(), text.size());
        length = static_cast<int32_t>(text.size());
        slot.readback = zt_readback::numeric;
        return 0;
    }
    case ZTC_TYPE_DATE:
    case ZTC_TYPE_TIME:
    case ZTC_TYPE_DATETIME: {
        /* A function call passes DATE and TIME in 64-byte buffers with length word 63. */
        const bool function = (kind == zt_call_kind::function);
        if (code == ZTC_TYPE_DATETIME) {
            if (!PyDateTime_Check(item))
                return zt_unsuitable(i, item, code);
            bool aware = false;
            PyRef utc(zt_datetime_for_sending(item, &aware));
            if (!utc)
                return -1;
            PyObject *dt = utc.get();
            if (aware && !output) {
                /* An aware input goes as its instant (code 72), which the server reads
                 * alike whatever the session's TimeZone. */
                const int64_t us = zt_datetime_micros(dt);
                slot.allocate(8);
                std::memcpy(slot.data(), &us, sizeof us);
                slot.code = ZTC_TYPE_DATETIME_UTC_US;
                slot.buflen = length = 8;
                return 0;
            }
            /* An aware output or in-out value goes as its UTC date and time. */
            slot.allocate(64);
            std::snprintf(slot.data(), 64, "%4d-%02d-%02d %02d:%02d:%02d.%06d",
                          PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt),
                          PyDateTime_GET_DAY(dt), PyDateTime_DATE_GET_HOUR(dt),
                          PyDateTime_DATE_GET_MINUTE(dt), PyDateTime_DATE_GET_SECOND(dt),
                          PyDateTime_DATE_GET_MICROSECOND(dt));
            length = 26;
        } else if (code == ZTC_TYPE_DATE) {
            if (!PyDate_Check(item))
                return zt_unsuitable(i, item, code);
            /* Formatted aside: the 11-byte buffer holds exactly one date's text. */
            char text[32];
            int len = std::snprintf(text, sizeof text, "%4d-%02d-%02d", PyDateTime_GET_YEAR(item),
                                    PyDateTime_GET_MONTH(item), PyDateTime_GET_DAY(item));
            slot.allocate(function ? 64 : output ? ZT_DATE_OUTPUT_BUFFER : 11);
            std::memcpy(slot.data(), text, static_cast<size_t>(len < 10 ? len : 10));
            length = function ? 63 : 10;
        } else {
            if (!PyTime_Check(item))
                return zt_unsuitable(i, item, code);
            if (typed) {
                int aware = zt_aware_time_item(item, slot, length);
                if (aware <= 0)
                    return aware;
            }
            slot.allocate(function ? 64 : 32);
            std::snprintf(slot.data(), 32, "%02d:%02d:%02d.%06d", PyDateTime_TIME_GET_HOUR(item),
                          PyDateTime_TIME_GET_MINUTE(item), PyDateTime_TIME_GET_SECOND(item),
                          PyDateTime_TIME_GET_MICROSECOND(item));
            length = function ? 63 : 15;
        }
        slot.readback = zt_readback::text;
        slot.whole = output;
        return 0;
    }
    default:
        break;
    }

    /* Binary positions take bytes-like values whole, zero bytes included; a function
     * call also takes a str there, sent as its text. */
    if (zt_is_binary_code(code) && (!PyUnicode_Check(item) || kind == zt_call_kind::procedure)) {
        if (PyUnicode_Check(item) || !PyObject_CheckBuffer(item))
            return zt_unsuitable(i, item, code);
        zt_buffer_view view;
        if (view.get(item) < 0)
            return -1;
        Py_ssize_t len = view.view.len;
        if (declared >= 0 && len > declared)
            len = declared;
        if (zt_check_size(i, len) < 0)
            return -1;
        slot.allocate(declared >= 0 ? declared + 1 : static_cast<int32_t>(len) + 1);
        if (len > 0)
            std::memcpy(slot.data(), view.view.buf, static_cast<size_t>(len));
        length = static_cast<int32_t>(len);
        slot.readback = zt_readback::bytes;
        slot.whole = output && declared < 0;
        return 0;
    }

    if (zt_is_text_code(code) || zt_is_binary_code(code)) {
        const char *text = nullptr;
        Py_ssize_t len = 0;
        if (zt_text_item(i, item, code, declared, &text, &len) < 0)
            return -1;
        if (zt_check_size(i, len) < 0)
            return -1;
        /* Without a declared size an input-only text gets a buffer of its own size; an
         * output or in-out one 64 KiB, or the whole text when it is longer. */
        int32_t size = declared >= 0 ? declared + 1 : output ? ZT_TEXT_BUFFER : 0;
        if (len + 1 > size)
            size = static_cast<int32_t>(len) + 1;
        slot.allocate(size);
        if (len > 0)
            std::memcpy(slot.data(), text, static_cast<size_t>(len));
        length = static_cast<int32_t>(len);
        slot.readback = (code == ZTC_TYPE_REFCURSOR) ? zt_readback::refcursor
                                                     : zt_readback::text;
        slot.whole = output && declared < 0;
        return 0;
    }
    return 1;
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
