/* zt_procedure.cpp - stored procedure and function calls (callproc, callfunc).
 *
 * Both methods run in one frame: the call text "execute NAME(?,...,?);" is built from
 * the name and the number of parameters, every item is bound by position into a heap
 * buffer of its own (the library writes output values into those buffers during
 * ZTC_Execute_procesure), and after execution every buffer is read back into a Python
 * value. A function call binds one more position, the return value, after the last
 * parameter. A RefCursor output opens the named server cursor as the cursor's result. */
#include "zt_cursor.h"
#include "pyzt_util.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class zt_call_kind { procedure, function };

/* Texts that differ between the two methods. */
struct zt_call_texts {
    const char *mismatch;       /* failed argument parse */
    const char *unsupported;    /* diagnostic line for a code that has no binding */
    size_t unsupported_len;
};

/* The GBK bytes of the function call's "unsupported type" line, newline included. */
const char zt_gbk_unsupported[] = "\xB2\xBB\xD6\xA7\xB3\xD6\xB5\xC4\xC0\xE0\xD0\xCD\n";
const char zt_plain_unsupported[] = "the type not supported\n";

const zt_call_texts zt_proc_texts = {
    "callproc Parameter mismatch", zt_plain_unsupported, sizeof zt_plain_unsupported - 1};
const zt_call_texts zt_func_texts = {
    "callfunc Parameter mismatch", zt_gbk_unsupported, sizeof zt_gbk_unsupported - 1};

/* Size of a function call's return buffer when none is declared. */
const int32_t ZT_RETURN_BUFFER = 65536;
/* Text buffer of a text position without a declared size: 64 KiB plus the zero. */
const int32_t ZT_TEXT_BUFFER = 65537;
/* Smallest NUMERIC text buffer; a longer decimal text gets a buffer of its length. */
const int32_t ZT_NUMERIC_BUFFER = 64;

/* Keeps the exception recorded during a call; a later one replaces an earlier one,
 * and the call fails with it at its end. While it is held, no exception is set, so the
 * call can go on using the interpreter. */
class zt_pending_error {
public:
    zt_pending_error() = default;
    zt_pending_error(const zt_pending_error &) = delete;
    zt_pending_error &operator=(const zt_pending_error &) = delete;
    ~zt_pending_error() { drop(); }

    /* Takes the currently set exception over. */
    void record() {
        drop();
        PyErr_Fetch(&type_, &value_, &traceback_);
        if (!type_) {
            type_ = PyExc_SystemError;
            Py_INCREF(type_);
            value_ = PyUnicode_FromString("a parameter failed without an error");
        }
    }
    bool any() const { return type_ != nullptr; }
    /* Sets the recorded exception again and forgets it; returns nullptr. */
    PyObject *raise() {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
        return nullptr;
    }
    void drop() {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

/* How a bound position is read back after execution. */
enum class zt_readback { none, null, boolean, int8, int32, int16, int64, float32, float64,
                         numeric, refcursor, bytes, text };

/* One bound position. The buffer holds `buflen` bytes for the library plus one zero
 * byte of our own, so that reading a text back never runs past the end even when the
 * library filled the whole buffer. Its storage does not move once bound: the library
 * keeps its address for output values. */
struct zt_slot {
    std::vector<char> buffer;
    int32_t buflen = 0;
    int code = 0;
    zt_readback readback = zt_readback::none;

    char *data() { return buffer.empty() ? nullptr : buffer.data(); }
    void allocate(int32_t size) {
        buflen = size;
        buffer.assign(static_cast<size_t>(size) + 1, '\0');
    }
    /* The length word clamped into the buffer: bytes may fill it, a text leaves its
     * last byte to the terminating zero. */
    int32_t clamp_bytes(int32_t length) const { return length < buflen ? length : buflen; }
    int32_t clamp_text(int32_t length) const {
        int32_t room = buflen > 0 ? buflen - 1 : 0;
        return length < room ? length : room;
    }
};

/* Working state of one call; everything is released when it goes out of scope. */
struct zt_call_frame {
    std::vector<zt_slot> slots;         /* one per parameter, then the return value */
    std::vector<int32_t> lengths;       /* one length word per slot */
    zt_pending_error pending;
    char last_boolean = 0;              /* last 'T' or 'F' read back in this call */
};

int zt_is_text_code(int code)
{
    return code == ZTC_TYPE_VARCHAR || code == ZTC_TYPE_CLOB2 || code == ZTC_TYPE_REFCURSOR
        || code == ZTC_TYPE_CHAR || code == ZTC_TYPE_CHAR2;
}

int zt_is_binary_code(int code)
{
    return code == ZTC_TYPE_BINARY || code == ZTC_TYPE_BINARY2 || code == ZTC_TYPE_BLOB;
}

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

/* Writes a diagnostic line to standard output as raw bytes. Python's own buffered
 * stdout is flushed first and ours after, so the lines keep their order. */
void zt_print_diagnostic(const char *line, size_t len)
{
    PyObject *out = PySys_GetObject("stdout");      /* borrowed */
    if (out && out != Py_None) {
        PyRef flushed(PyObject_CallMethod(out, "flush", nullptr));
        if (!flushed)
            PyErr_Clear();
    }
    std::fflush(stdout);
    std::fwrite(line, 1, len, stdout);
    std::fflush(stdout);
}

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

/* The decimal text of a float: "%g" when that reads back as the same double, else the
 * shortest precision that does, so that no digit of the value is lost. */
std::string zt_float_text(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    if (std::isnan(value) || std::strtod(text, nullptr) == value)
        return text;
    for (int precision = 7; precision <= 17; precision++) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    return text;
}

/* True when item is a decimal.Decimal; -1 with an error set when that cannot be
 * told. The module is imported only for items that are not float, int or str. */
int zt_is_decimal(PyObject *item)
{
    PyRef module(PyImport_ImportModule("decimal"));
    if (!module)
        return -1;
    PyRef decimal(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!decimal)
        return -1;
    return PyObject_IsInstance(item, decimal.get());
}

/* The decimal text of a NUMERIC item: a float (see zt_float_text), a str as it
 * stands, an int or a Decimal as their exact decimal text. */
int zt_numeric_text(Py_ssize_t i, PyObject *item, std::string *out)
{
    if (PyFloat_Check(item)) {
        *out = zt_float_text(PyFloat_AS_DOUBLE(item));
        return 0;
    }
    PyRef text;
    if (PyUnicode_Check(item)) {
        text = PyRef::borrow(item);
    } else if (PyLong_Check(item)) {
        text.reset(PyNumber_ToBase(item, 10));
    } else {
        int decimal = zt_is_decimal(item);
        if (decimal < 0)
            return -1;
        if (!decimal)
            return zt_unsuitable(i, item, ZTC_TYPE_NUMERIC);
        text.reset(PyObject_Str(item));
    }
    if (!text)
        return -1;
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!utf8)
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
    return 0;
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

/* Fills the slot of parameter i (from 0) from item by its type code and sets its length
 * word; nothing is bound. 0 when the code has a binding, 1 when it has none (the
 * caller reports it), -1 with an error set. */
int zt_encode_item(cursorObject *self, zt_call_kind kind, Py_ssize_t i, PyObject *item,
                   zt_slot &slot, int32_t &length)
{
    const int code = slot.code;
    const int32_t declared = zt_declared_size(self, i);
    if (declared >= INT32_MAX - 1) {
        PyErr_Format(ProgrammingError, "The declared size of parameter %zd is too large", i + 1);
        return -1;
    }

    if (item == Py_None && code == ZTC_TYPE_NULL) {
        zt_null_input(slot, length);
        return 0;
    }

    switch (code) {
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
            slot.allocate(64);
            std::snprintf(slot.data(), 64, "%4d-%02d-%02d %02d:%02d:%02d.%06d",
                          PyDateTime_GET_YEAR(item), PyDateTime_GET_MONTH(item),
                          PyDateTime_GET_DAY(item), PyDateTime_DATE_GET_HOUR(item),
                          PyDateTime_DATE_GET_MINUTE(item), PyDateTime_DATE_GET_SECOND(item),
                          PyDateTime_DATE_GET_MICROSECOND(item));
            length = 26;
        } else if (code == ZTC_TYPE_DATE) {
            if (!PyDate_Check(item))
                return zt_unsuitable(i, item, code);
            /* Formatted aside: the 11-byte buffer holds exactly one date's text. */
            char text[32];
            int len = std::snprintf(text, sizeof text, "%4d-%02d-%02d", PyDateTime_GET_YEAR(item),
                                    PyDateTime_GET_MONTH(item), PyDateTime_GET_DAY(item));
            slot.allocate(function ? 64 : 11);
            std::memcpy(slot.data(), text, static_cast<size_t>(len < 10 ? len : 10));
            length = function ? 63 : 10;
        } else {
            if (!PyTime_Check(item))
                return zt_unsuitable(i, item, code);
            slot.allocate(function ? 64 : 32);
            std::snprintf(slot.data(), 32, "%02d:%02d:%02d.%06d", PyDateTime_TIME_GET_HOUR(item),
                          PyDateTime_TIME_GET_MINUTE(item), PyDateTime_TIME_GET_SECOND(item),
                          PyDateTime_TIME_GET_MICROSECOND(item));
            length = function ? 63 : 15;
        }
        slot.readback = zt_readback::text;
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
        return 0;
    }

    if (zt_is_text_code(code) || zt_is_binary_code(code)) {
        const char *text = nullptr;
        Py_ssize_t len = 0;
        if (zt_text_item(i, item, code, declared, &text, &len) < 0)
            return -1;
        if (zt_check_size(i, len) < 0)
            return -1;
        /* Without a declared size the buffer holds 64 KiB, or the whole text when it
         * is longer. */
        int32_t size = declared >= 0 ? declared + 1 : ZT_TEXT_BUFFER;
        if (len + 1 > size)
            size = static_cast<int32_t>(len) + 1;
        slot.allocate(size);
        if (len > 0)
            std::memcpy(slot.data(), text, static_cast<size_t>(len));
        length = static_cast<int32_t>(len);
        slot.readback = (code == ZTC_TYPE_REFCURSOR) ? zt_readback::refcursor
                                                     : zt_readback::text;
        return 0;
    }
    return 1;
}

/* The direction of parameter i: the caller's integer, or PARAM_INPUT without a
 * directions object. -1 with an error set when it cannot be read. */
int zt_call_direction(PyObject *directions, Py_ssize_t i, int *direction)
{
    if (!directions) {
        *direction = PARAM_INPUT;
        return 0;
    }
    PyRef index(PyLong_FromSsize_t(i));
    if (!index)
        return -1;
    PyRef item(PyObject_GetItem(directions, index.get()));
    if (!item) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        PyErr_Format(ProgrammingError, "The direction of parameter %zd cannot be read", i + 1);
        return -1;
    }
    if (!PyLong_Check(item.get())) {
        PyErr_Format(ProgrammingError, "The direction of parameter %zd is not an integer", i + 1);
        return -1;
    }
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(item.get(), &overflow);
    if (overflow || value < INT32_MIN || value > INT32_MAX) {
        PyErr_Format(ProgrammingError, "The direction of parameter %zd is out of range", i + 1);
        return -1;
    }
    if (value == -1 && PyErr_Occurred())
        return -1;
    *direction = static_cast<int>(value);
    return 0;
}

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

/* Binds every parameter. Errors of a position are recorded in the frame and binding goes
 * on; 0 then, or -1 with an error set when the call must fail at once. */
int zt_call_bind(cursorObject *self, zt_call_kind kind, const zt_call_texts &texts,
                 PyObject *parameters, PyObject *directions, Py_ssize_t n, zt_call_frame &frame)
{
    for (Py_ssize_t i = 0; i < n; i++) {
        zt_slot &slot = frame.slots[static_cast<size_t>(i)];
        PyRef index(PyLong_FromSsize_t(i));
        if (!index)
            return -1;
        PyRef item(PyObject_GetItem(parameters, index.get()));
        if (!item) {
            /* Reported below as "The parameter variable is empty"; an interrupt is not. */
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                return -1;
            PyErr_Clear();
        }
        slot.code = zt_default_parameter_type(self, item.get(), static_cast<int>(i));
        if (slot.code == -1)
            frame.pending.record();

        int direction = PARAM_INPUT;
        if (zt_call_direction(directions, i, &direction) < 0) {
            frame.pending.record();
            continue;
        }
        if ((direction == PARAM_OUTPUT || direction == PARAM_INPUTOUTPUT) && !self->ParameterType) {
            frame.pending.drop();
            PyErr_SetString(ProgrammingError, "Please set the parameter data type first");
            return -1;
        }
        if (slot.code == -1) {
            zt_print_diagnostic(texts.unsupported, texts.unsupported_len);
            continue;
        }

        int32_t &length = frame.lengths[static_cast<size_t>(i)];
        /* None at an input position is NULL of the position's declared type. An output
         * or in-out position still needs a value that suits its code: its buffer is
         * where the result is written. */
        int rc = 0;
        if (item.get() == Py_None && direction == PARAM_INPUT && zt_code_has_binding(slot.code))
            zt_null_input(slot, length);
        else
            rc = zt_encode_item(self, kind, i, item.get(), slot, length);
        if (rc < 0) {
            frame.pending.record();
            continue;
        }
        if (rc > 0) {
            zt_print_diagnostic(texts.unsupported, texts.unsupported_len);
            PyErr_Format(ProgrammingError, "The type code %d of parameter %zd is not supported",
                         slot.code, i + 1);
            frame.pending.record();
            continue;
        }
        /* Reading the item ran Python code (__getitem__, __index__, a Decimal's
         * __str__) that may have closed the connection. */
        if (zt_curs_check(self) < 0) {
            frame.pending.drop();
            return -1;
        }
        ZTC_BindParamByPos(&self->p_conn, static_cast<int>(i + 1), direction, slot.code,
                           slot.data(), slot.buflen, &length);
    }
    return 0;
}

/* Binds the function's return value at position n + 1: a text buffer of the declared
 * size of entry n, or 64 KiB. */
void zt_call_bind_return(cursorObject *self, Py_ssize_t n, zt_call_frame &frame)
{
    zt_slot &slot = frame.slots[static_cast<size_t>(n)];
    int32_t &length = frame.lengths[static_cast<size_t>(n)];
    int32_t declared = zt_declared_size(self, n);
    slot.code = ZTC_TYPE_VARCHAR;
    slot.readback = zt_readback::text;
    slot.allocate(declared >= 0 ? declared : ZT_RETURN_BUFFER);
    length = slot.buflen;
    ZTC_BindParamByPos(&self->p_conn, static_cast<int>(n + 1), PARAM_RETURNVALUE,
                       ZTC_TYPE_VARCHAR, slot.data(), slot.buflen, &length);
}

/* "execute NAME", then "(?,...,?);" when there are parameters. */
std::string zt_call_text(const char *name, Py_ssize_t name_len, Py_ssize_t n)
{
    std::string sql;
    sql.reserve(static_cast<size_t>(name_len) + 12 + 2 * static_cast<size_t>(n));
    sql.append("execute ");
    sql.append(name, static_cast<size_t>(name_len));
    if (n > 0) {
        sql.push_back('(');
        for (Py_ssize_t i = 0; i < n; i++)
            sql.append(i + 1 < n ? "?," : "?);");
    }
    return sql;
}

/* A value of type T read from a buffer that may not be aligned for it. */
template <typename T>
T zt_load(const char *data)
{
    T v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

/* The text of a buffer up to its first zero byte, at most `length` bytes, as str. */
PyObject *zt_slot_text(zt_slot &slot, int32_t length)
{
    int32_t end = slot.clamp_text(length);
    slot.buffer[static_cast<size_t>(end)] = '\0';
    size_t len = strnlen(slot.data(), static_cast<size_t>(end));
    return PyUnicode_DecodeUTF8(slot.data(), static_cast<Py_ssize_t>(len), nullptr);
}

/* The one-byte bytes of a BOOLEAN read-back: 'T' or 1 give T, 'F' or 0 give F; any
 * other value repeats the last character of the call (or its truth when none). */
PyObject *zt_slot_boolean(zt_slot &slot, zt_call_frame &frame)
{
    int32_t value = zt_load<int32_t>(slot.data());
    char c;
    if (value == 'T' || value == 1)
        c = 'T';
    else if (value == 'F' || value == 0)
        c = 'F';
    else
        c = frame.last_boolean ? frame.last_boolean : 'T';
    frame.last_boolean = c;
    return PyBytes_FromStringAndSize(&c, 1);
}

/* Opens the server cursor named by a RefCursor output as the cursor's result. Returns
 * the name as str; a failure to fetch its first rowset is recorded and the server
 * cursor closed again. nullptr with an error set when the name cannot be read. */
PyObject *zt_call_open_cursor(cursorObject *self, zt_slot &slot, int32_t length,
                              zt_call_frame &frame)
{
    PyRef value(zt_slot_text(slot, length));
    if (!value)
        return nullptr;
    /* A second RefCursor of the call replaces the first, which is closed first. */
    if (self->p_results)
        FreeResults(self);
    std::free(self->name);
    self->name = nullptr;
    self->service_cur = 0;

    size_t len = std::strlen(slot.data());
    self->name = static_cast<char *>(std::malloc(len + 1));
    if (!self->name)
        return PyErr_NoMemory();
    std::memcpy(self->name, slot.data(), len + 1);

    int fetched = ZTC_FetchServerCursorRowset(&self->p_conn, self->name, &self->p_results);
    if (fetched < 0) {
        zt_raise_library_error(&self->p_conn);
        frame.pending.record();
        ZTC_CloseCursor(&self->p_conn, self->name);
        ZTC_FreeRowset(&self->p_results);
        std::free(self->name);
        self->name = nullptr;
        self->row = 0;
        self->sql_type = -1;
        self->closed = 1;
        Py_INCREF(Py_None);
        zt_curs_set_description(self, Py_None);
        return value.release();
    }
    self->row = fetched;
    self->service_cur = 1;
    int rows = 0;
    ZTC_getResultRet(&self->p_results, &self->sql_type, &self->fieldnum, &rows,
                     &self->effect_num, nullptr);
    self->rowcount = rows;
    self->sql_type = ZTC_SQL_SERVER_CURSOR;
    self->closed = 0;
    zt_curs_rowcount(self);
    if (self->p_results && zt_curs_description(self) < 0)
        frame.pending.record();
    return value.release();
}

/* The Python value of slot j after execution. */
PyObject *zt_call_read_slot(cursorObject *self, zt_slot &slot, int32_t length,
                            zt_call_frame &frame)
{
    if (slot.readback == zt_readback::none || slot.readback == zt_readback::null || length <= 0)
        Py_RETURN_NONE;
    const char *data = slot.data();
    switch (slot.readback) {
    case zt_readback::boolean:
        return zt_slot_boolean(slot, frame);
    case zt_readback::int8:
        /* The library writes a TINYINT output into its one byte of buffer only; the
         * other bytes still hold the input's. */
        return PyLong_FromLong(zt_load<int8_t>(data));
    case zt_readback::int32:
        return PyLong_FromLong(zt_load<int32_t>(data));
    case zt_readback::int16:
        return PyLong_FromLong(zt_load<int16_t>(data));
    case zt_readback::int64:
        return PyLong_FromLongLong(zt_load<int64_t>(data));
    case zt_readback::float32:
        return PyFloat_FromDouble(zt_load<float>(data));
    case zt_readback::float64:
        return PyFloat_FromDouble(zt_load<double>(data));
    case zt_readback::numeric:
        slot.buffer[static_cast<size_t>(slot.clamp_text(length))] = '\0';
        return PyFloat_FromDouble(std::strtod(data, nullptr));
    case zt_readback::bytes:
        return PyBytes_FromStringAndSize(data, slot.clamp_bytes(length));
    case zt_readback::refcursor:
        return zt_call_open_cursor(self, slot, length, frame);
    default:
        return zt_slot_text(slot, length);
    }
}

/* The function's return value, converted by the code declared for entry n. */
PyObject *zt_call_read_return(cursorObject *self, Py_ssize_t n, zt_call_frame &frame)
{
    zt_slot &slot = frame.slots[static_cast<size_t>(n)];
    int32_t length = frame.lengths[static_cast<size_t>(n)];
    if (length <= 0)
        Py_RETURN_NONE;
    int code = ZTC_TYPE_VARCHAR;
    if (self->ParameterType) {
        if (n >= self->ParameterNum) {
            PyErr_SetString(ProgrammingError, "The parameter is out of range");
            frame.pending.record();
        } else {
            code = self->ParameterType[n];
        }
    }
    /* The numeric forms read the text up to its zero byte, which the clamp provides. */
    slot.buffer[static_cast<size_t>(slot.clamp_text(length))] = '\0';
    const char *text = slot.data();
    switch (code) {
    case ZTC_TYPE_BOOLEAN:
        return PyBytes_FromStringAndSize(text, 1);
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
        return PyLong_FromLong(static_cast<int32_t>(std::strtoll(text, nullptr, 10)));
    case ZTC_TYPE_BIGINT:
        return PyLong_FromLongLong(std::strtoll(text, nullptr, 10));
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_DOUBLE:
    case ZTC_TYPE_NUMERIC:
        return PyFloat_FromDouble(std::strtod(text, nullptr));
    default:
        return zt_slot_text(slot, length);
    }
}

/* The frame shared by callproc and callfunc. */
PyObject *zt_curs_call(cursorObject *self, PyObject *args, zt_call_kind kind)
{
    const zt_call_texts &texts = (kind == zt_call_kind::function) ? zt_func_texts : zt_proc_texts;
    if (zt_curs_check(self) < 0)
        return nullptr;
    zt_curs_begin_execution(self);
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    if (zt_load_datetime_api() < 0)
        return nullptr;

    PyObject *name = nullptr, *parameters = nullptr, *directions = nullptr;
    if (!PyArg_ParseTuple(args, "O|OO", &name, &parameters, &directions)) {
        PyErr_SetString(ProgrammingError, texts.mismatch);
        return nullptr;
    }
    Py_ssize_t name_len = 0;
    const char *name_text = zt_call_name(name, &name_len);
    if (!name_text)
        return nullptr;

    Py_ssize_t n = 0;
    if (parameters) {
        n = PyObject_Length(parameters);
        if (n < 0)
            return nullptr;
        if (n >= INT32_MAX - 1) {
            PyErr_SetString(ProgrammingError, "Too many parameters");
            return nullptr;
        }
    }
    const bool function = (kind == zt_call_kind::function);
    const size_t nslots = static_cast<size_t>(n) + (function ? 1 : 0);

    zt_call_frame frame;
    frame.slots.resize(nslots);
    frame.lengths.assign(nslots, 0);

    /* Bindings left by an earlier statement must not reach this call. The parameters'
     * __len__ may have closed the connection. */
    if (zt_curs_check(self) < 0)
        return nullptr;
    ZTC_Reset(&self->p_conn);
    if (zt_call_bind(self, kind, texts, parameters, directions, n, frame) < 0)
        return nullptr;
    if (function)
        zt_call_bind_return(self, n, frame);
    /* A position that failed to bind would leave the call short of a value. */
    if (frame.pending.any())
        return frame.pending.raise();

    std::string sql = zt_call_text(name_text, name_len, n);
    if (zt_curs_check(self) < 0)
        return nullptr;
    if (ZTC_Execute_procesure(&self->p_conn, sql.c_str(), self->p_results) < 0)
        return zt_raise_library_error(&self->p_conn);

    for (Py_ssize_t j = 0; j < n; j++) {
        zt_slot &slot = frame.slots[static_cast<size_t>(j)];
        PyRef value(zt_call_read_slot(self, slot, frame.lengths[static_cast<size_t>(j)], frame));
        if (!value || PyList_Append(list.get(), value.get()) < 0) {
            frame.pending.record();
            continue;
        }
        slot.buffer.clear();
        slot.buffer.shrink_to_fit();
    }
    if (function) {
        PyRef value(zt_call_read_return(self, n, frame));
        if (!value || PyList_Append(list.get(), value.get()) < 0)
            frame.pending.record();
    }
    if (frame.pending.any())
        return frame.pending.raise();
    return list.release();
}

/* Entry points catch what the standard containers may throw. */
PyObject *zt_curs_call_entry(cursorObject *self, PyObject *args, zt_call_kind kind)
{
    try {
        return zt_curs_call(self, args, kind);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

} // namespace

/* callproc(name[, parameters[, directions]]): runs a stored procedure and returns the
 * values of all its parameters after the call. */
PyObject *pyzt_curs_callproc(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    return zt_curs_call_entry(self, args, zt_call_kind::procedure);
}

/* callfunc(name[, parameters[, directions]]): as callproc, followed by the function's
 * return value. */
PyObject *pyzt_curs_callfunc(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    return zt_curs_call_entry(self, args, zt_call_kind::function);
}
