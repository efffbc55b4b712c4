/* zt_bind.cpp - Python values -> positional input parameters of the client library.
 *
 * Every value either becomes exactly one binding or makes the call fail with a
 * Python exception before anything is bound for it; the caller must then not run
 * the statement. Values are tested in a fixed order: bool before int (a bool is an
 * int), datetime before date (a datetime is a date), the date and time classes before
 * float, str and bytes. */
#include "zt_cursor.h"
#include "zt_pgtypes.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

bool zt_timedelta_micros(PyObject *delta, int64_t &micros)
{
    const long long days = PyDateTime_DELTA_GET_DAYS(delta);
    const long long secs = PyDateTime_DELTA_GET_SECONDS(delta);
    const long long us = PyDateTime_DELTA_GET_MICROSECONDS(delta);
    long long total = 0;
    if (__builtin_mul_overflow(days, 86400000000LL, &total) ||
        __builtin_add_overflow(total, secs * 1000000 + us, &total))
        return false;
    micros = total;
    return true;
}

int zt_timedelta_text(PyObject *delta, char *text, size_t size)
{
    return std::snprintf(text, size, "%lld days %lld.%06lld seconds",
                         (long long)PyDateTime_DELTA_GET_DAYS(delta),
                         (long long)PyDateTime_DELTA_GET_SECONDS(delta),
                         (long long)PyDateTime_DELTA_GET_MICROSECONDS(delta));
}

int zt_aware_time_text(PyObject *time, char *text, size_t size)
{
    if (!reinterpret_cast<PyDateTime_Time *>(time)->hastzinfo)
        return 0;
    PyRef offset(PyObject_CallMethod(time, "utcoffset", nullptr));
    if (!offset)
        return -1;
    if (!PyDelta_Check(offset.get()))
        return 0;
    long long secs = PyDateTime_DELTA_GET_DAYS(offset.get()) * 86400LL +
                     PyDateTime_DELTA_GET_SECONDS(offset.get());
    const char sign = secs < 0 ? '-' : '+';
    if (secs < 0)
        secs = -secs;
    return std::snprintf(text, size, "%02d:%02d:%02d.%06d%c%02lld:%02lld:%02lld",
                         PyDateTime_TIME_GET_HOUR(time), PyDateTime_TIME_GET_MINUTE(time),
                         PyDateTime_TIME_GET_SECOND(time), PyDateTime_TIME_GET_MICROSECOND(time),
                         sign, secs / 3600, secs / 60 % 60, secs % 60);
}

namespace {

/* Size of the zero-filled buffers the library receives for date-times and float
 * texts; the length word carries the whole buffer size and the text ends at its
 * first zero byte. */
constexpr int ZT_DATETIME_BUF = 64;
constexpr int ZT_DATE_BUF = 11;
constexpr int ZT_TIME_BUF = 32;
constexpr int ZT_FLOAT_BUF = 64;

const char ZT_BATCH_MESSAGE[] =
    "This function does not support batch operations, use the 'executemany' function to "
    "perform batch operations";

/* One input binding. The library copies the buffer and reads the length word during
 * the call, so both may live on the caller's stack. 0, or -1 with the library's
 * message raised. Python code run while reading a value (a __str__, __len__ or
 * __getitem__) may have closed the connection, so the session is checked each time. */
int zt_bind_input(cursorObject *self, int pos, int type, void *buffer, int buflen, int length)
{
    if (zt_curs_check(self) < 0)
        return -1;
    int len = length;
    if (zt_lib_bind_param(&self->p_conn, pos, PARAM_INPUT, type, buffer, buflen, &len) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    return 0;
}

/* The unqualified name of a value's type ("timedelta", not "datetime.timedelta"). */
const char *zt_type_name(PyObject *item)
{
    const char *name = Py_TYPE(item)->tp_name;
    const char *dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

int zt_value_too_long(int pos)
{
    PyErr_Format(ProgrammingError, "parameter %d: value too long", pos);
    return -1;
}

/* Binds `len` bytes at `data` (which must be followed by at least one readable byte:
 * the buffer length handed over is len + 1) as text or binary, the length capped by
 * the declared size of the position when one is declared. */
int zt_bind_sized(cursorObject *self, int pos, int type, const char *data, Py_ssize_t len)
{
    const int32_t declared = zt_declared_size(self, pos - 1);
    if (declared >= 0 && declared < len)
        len = declared;
    if (len >= INT_MAX)
        return zt_value_too_long(pos);
    return zt_bind_input(self, pos, type, const_cast<char *>(data), (int)len + 1, (int)len);
}

int zt_bind_bool(cursorObject *self, int pos, PyObject *item)
{
    int32_t v = (item == Py_True) ? 1 : 0;
    return zt_bind_input(self, pos, ZTC_TYPE_INTEGER, &v, 4, 4);
}

int zt_bind_int(cursorObject *self, int pos, PyObject *item)
{
    int64_t v = PyLong_AsLongLong(item);
    if (v == -1 && PyErr_Occurred())
        return -1;
    return zt_bind_input(self, pos, ZTC_TYPE_BIGINT, &v, 8, 8);
}

/* Years are padded with blanks, not zeros: the library reads "   5-03-07". An aware
 * value is sent as its instant (code 72: microseconds since 1970 UTC, typed timestamp
 * with time zone), so the server keeps that instant whatever the session's TimeZone. */
int zt_bind_datetime(cursorObject *self, int pos, PyObject *original)
{
    bool aware = false;
    PyRef utc(zt_datetime_for_sending(original, &aware));
    if (!utc)
        return -1;
    PyObject *item = utc.get();
    if (aware) {
        int64_t us = zt_datetime_micros(item);
        return zt_bind_input(self, pos, ZTC_TYPE_DATETIME_UTC_US, &us, 8, 8);
    }
    char buf[ZT_DATETIME_BUF];
    std::memset(buf, 0, sizeof buf);
    std::snprintf(buf, sizeof buf, "%4d-%02d-%02d %02d:%02d:%02d.%06d",
                  PyDateTime_GET_YEAR(item), PyDateTime_GET_MONTH(item),
                  PyDateTime_GET_DAY(item), PyDateTime_DATE_GET_HOUR(item),
                  PyDateTime_DATE_GET_MINUTE(item), PyDateTime_DATE_GET_SECOND(item),
                  PyDateTime_DATE_GET_MICROSECOND(item));
    return zt_bind_input(self, pos, ZTC_TYPE_DATETIME, buf, sizeof buf, sizeof buf);
}

int zt_bind_date(cursorObject *self, int pos, PyObject *item)
{
    /* Formatted in a roomier scratch buffer (the compiler cannot know that month and
     * day have two digits), then placed in the 11-byte buffer the library gets. */
    char text[16];
    std::snprintf(text, sizeof text, "%4d-%02d-%02d", PyDateTime_GET_YEAR(item),
                  PyDateTime_GET_MONTH(item), PyDateTime_GET_DAY(item));
    char buf[ZT_DATE_BUF];
    std::memset(buf, 0, sizeof buf);
    std::memcpy(buf, text, sizeof buf - 1);
    return zt_bind_input(self, pos, ZTC_TYPE_DATE, buf, sizeof buf, sizeof buf);
}

int zt_bind_time(cursorObject *self, int pos, PyObject *item)
{
    char buf[ZT_TIME_BUF];
    std::memset(buf, 0, sizeof buf);
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%06d", PyDateTime_TIME_GET_HOUR(item),
                  PyDateTime_TIME_GET_MINUTE(item), PyDateTime_TIME_GET_SECOND(item),
                  PyDateTime_TIME_GET_MICROSECOND(item));
    return zt_bind_input(self, pos, ZTC_TYPE_TIME, buf, sizeof buf, sizeof buf);
}

/* The significant digits of a decimal text ("-0.012500" and "1.25e-2" both give "125"):
 * sign, point and exponent dropped, leading and trailing zeros too. */
std::string zt_significant_digits(const std::string &text)
{
    std::string digits;
    for (char c : text) {
        if (c == 'e' || c == 'E')
            break;
        if (c >= '0' && c <= '9' && !(c == '0' && digits.empty()))
            digits.push_back(c);
    }
    while (!digits.empty() && digits.back() == '0')
        digits.pop_back();
    return digits;
}

/* The text a float is sent as: thirteen fixed decimals when that text is the float's
 * shortest exact decimal padded with zeros, otherwise that shortest text (so 1e-20 does
 * not become zero, 1e100 is not cut, and 123456789.123 does not reach a NUMERIC as
 * 123456789.1229999959469); the server's spellings for infinities and NaN. A procedure's
 * NUMERIC position gets the same value. Empty with an exception set when memory runs
 * out. */
std::string zt_float_text(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "Infinity" : "-Infinity";
    /* The interpreter's formatting and parsing ignore the process locale, whose decimal
     * separator may be a comma. */
    char *shortest = PyOS_double_to_string(v, 'r', 0, 0, nullptr);
    if (shortest == nullptr)
        return std::string();
    const std::string exact(shortest);
    PyMem_Free(shortest);
    char *fixed = PyOS_double_to_string(v, 'f', 13, 0, nullptr);
    if (fixed == nullptr)
        return std::string();
    std::string text(fixed);
    PyMem_Free(fixed);
    /* Fixed and shortest texts of the same double with the same digits are one value. */
    if (text.size() < ZT_FLOAT_BUF && PyOS_string_to_double(text.c_str(), nullptr, nullptr) == v
        && zt_significant_digits(text) == zt_significant_digits(exact))
        return text;
    PyErr_Clear();
    return exact;
}

int zt_bind_float_text(cursorObject *self, int pos, PyObject *item)
{
    double v = PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred())
        return -1;
    std::string text = zt_float_text(v);
    if (text.empty())
        return -1;
    /* The library is handed a zero-filled block of at least 64 bytes whose size is
     * also the length word; a longer text gets a block of its own size. */
    std::string block(text.size() < ZT_FLOAT_BUF ? (size_t)ZT_FLOAT_BUF : text.size() + 1, '\0');
    std::memcpy(&block[0], text.data(), text.size());
    const int size = (int)block.size();
    return zt_bind_input(self, pos, ZTC_TYPE_VARCHAR, &block[0], size, size);
}

int zt_bind_double(cursorObject *self, int pos, PyObject *item)
{
    double v = PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred())
        return -1;
    return zt_bind_input(self, pos, ZTC_TYPE_DOUBLE, &v, 8, 8);
}

/* With Python types on, a bool is sent as a boolean. */
int zt_bind_typed_bool(cursorObject *self, int pos, PyObject *item)
{
    char v = (item == Py_True) ? 1 : 0;
    return zt_bind_input(self, pos, ZTC_TYPE_BOOLEAN, &v, 1, 1);
}

/* With Python types on, an int is typed as the same number written in SQL would be:
 * integer when it fits 32 bits, bigint when it fits 64, numeric beyond. */
int zt_bind_typed_int(cursorObject *self, int pos, PyObject *item)
{
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (overflow == 0) {
        int64_t value = v;
        return zt_bind_input(self, pos, ZTC_TYPE_INT_LITERAL, &value, 8, 8);
    }
    PyRef text(PyObject_Str(item));
    if (!text)
        return -1;
    Py_ssize_t len = 0;
    const char *digits = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (digits == nullptr)
        return -1;
    if (len >= INT_MAX)
        return zt_value_too_long(pos);
    return zt_bind_input(self, pos, ZTC_TYPE_NUMERIC, const_cast<char *>(digits), (int)len + 1,
                         (int)len);
}

/* With Python types on, a timedelta is sent as an interval of its microseconds; one
 * beyond 64 bits of them (292,000 years) as the interval's text. */
int zt_bind_timedelta(cursorObject *self, int pos, PyObject *item)
{
    int64_t value = 0;
    if (zt_timedelta_micros(item, value))
        return zt_bind_input(self, pos, ZTC_TYPE_INTERVAL_DS, &value, 8, 8);
    char text[96];
    int n = zt_timedelta_text(item, text, sizeof text);
    return zt_bind_input(self, pos, ZTC_TYPE_VARCHAR, text, n + 1, n);
}

/* With Python types on, an aware time keeps its offset: it goes as text for the
 * server to read as a time with time zone. */
int zt_bind_aware_time(cursorObject *self, int pos, PyObject *item)
{
    char text[64];
    int n = zt_aware_time_text(item, text, sizeof text);
    if (n < 0)
        return -1;
    if (n == 0)
        return zt_bind_time(self, pos, item);
    return zt_bind_input(self, pos, ZTC_TYPE_VARCHAR, text, n + 1, n);
}

/* One value with Python types on; 1 when bound (or failed: -1), 0 when the value
 * goes the module's default way. */
int zt_bind_typed(cursorObject *self, int pos, PyObject *item)
{
    if (Py_TYPE(item) == &PyBool_Type)
        return zt_bind_typed_bool(self, pos, item) < 0 ? -1 : 1;
    if (PyLong_Check(item))
        return zt_bind_typed_int(self, pos, item) < 0 ? -1 : 1;
    if (PyFloat_Check(item))
        return zt_bind_double(self, pos, item) < 0 ? -1 : 1;
    if (PyDelta_Check(item))
        return zt_bind_timedelta(self, pos, item) < 0 ? -1 : 1;
    if (PyTime_Check(item) && ((PyDateTime_Time *)item)->hastzinfo)
        return zt_bind_aware_time(self, pos, item) < 0 ? -1 : 1;
    return 0;
}

/* A str is sent whole as UTF-8, or cut to a declared size at a character boundary (a
 * cut inside a character would not be text the server accepts). The server cannot store
 * a zero character, and cutting the text there would lose the rest silently, so such
 * a text is refused. */
int zt_bind_str(cursorObject *self, int pos, PyObject *item)
{
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(item, &len);
    if (utf8 == nullptr)
        return -1;
    const int32_t declared = zt_declared_size(self, pos - 1);
    Py_ssize_t sent = len;
    if (declared >= 0 && declared < len) {
        sent = declared;
        while (sent > 0 && ((unsigned char)utf8[sent] & 0xC0) == 0x80)
            sent--;
    }
    if (std::memchr(utf8, '\0', (size_t)sent) != nullptr) {
        PyErr_Format(ProgrammingError, "parameter %d: text contains a zero character", pos);
        return -1;
    }
    return zt_bind_sized(self, pos, ZTC_TYPE_VARCHAR, utf8, sent);
}

/* bytes objects always carry a zero byte after their content, so len + 1 is readable. */
int zt_bind_bytes(cursorObject *self, int pos, PyObject *item)
{
    return zt_bind_sized(self, pos, ZTC_TYPE_BINARY, PyBytes_AS_STRING(item),
                         PyBytes_GET_SIZE(item));
}

/* bytearray and memoryview: their C-contiguous content, bound like bytes. The copy
 * gives the library the extra readable byte that bytes objects have. */
int zt_bind_buffer(cursorObject *self, int pos, PyObject *item)
{
    Py_buffer view;
    if (PyObject_GetBuffer(item, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        PyErr_Format(ProgrammingError, "parameter %d: %s is not C-contiguous bytes", pos,
                     zt_type_name(item));
        return -1;
    }
    std::string copy((const char *)view.buf, (size_t)view.len);
    PyBuffer_Release(&view);
    return zt_bind_sized(self, pos, ZTC_TYPE_BINARY, copy.c_str(), (Py_ssize_t)copy.size());
}

/* 1 when item is a decimal.Decimal (or a subclass), 0 when not, -1 on error. */
int zt_is_decimal(PyObject *item)
{
    PyRef module(PyImport_ImportModule("decimal"));
    if (!module)
        return -1;
    PyRef cls(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!cls)
        return -1;
    return PyObject_IsInstance(item, cls.get());
}

/* A Decimal is sent as its exact text with the NUMERIC code. */
int zt_bind_decimal(cursorObject *self, int pos, PyObject *item)
{
    PyRef text(PyObject_Str(item));
    if (!text)
        return -1;
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (utf8 == nullptr)
        return -1;
    if (len >= INT_MAX)
        return zt_value_too_long(pos);
    return zt_bind_input(self, pos, ZTC_TYPE_NUMERIC, const_cast<char *>(utf8), (int)len + 1,
                         (int)len);
}

int zt_bind_other(cursorObject *self, int pos, PyObject *item)
{
    int is_decimal = zt_is_decimal(item);
    if (is_decimal < 0)
        return -1;
    if (is_decimal)
        return zt_bind_decimal(self, pos, item);
    if (PyByteArray_Check(item) || PyMemoryView_Check(item))
        return zt_bind_buffer(self, pos, item);
    PyErr_Format(ProgrammingError, "parameter %d: unsupported type '%s'", pos,
                 zt_type_name(item));
    return -1;
}

} // namespace

PyObject *zt_datetime_for_sending(PyObject *dt, bool *aware)
{
    if (!((PyDateTime_DateTime *)dt)->hastzinfo) {
        Py_INCREF(dt);
        return dt;
    }
    PyRef offset(PyObject_CallMethod(dt, "utcoffset", nullptr));
    if (!offset)
        return nullptr;
    if (offset.get() == Py_None) {
        Py_INCREF(dt);
        return dt;
    }
    /* A subclass's __sub__ may give anything: only a datetime has the fields read next. */
    PyRef utc(PyNumber_Subtract(dt, offset.get()));
    if (utc && !PyDateTime_Check(utc.get())) {
        PyErr_Format(PyExc_TypeError, "%s minus its utcoffset() is not a datetime",
                     Py_TYPE(dt)->tp_name);
        return nullptr;
    }
    if (utc && aware != nullptr)
        *aware = true;
    return utc.release();
}

int32_t zt_declared_size(const cursorObject *self, Py_ssize_t i)
{
    if (self->ParameterSize == nullptr || i < 0 || i >= self->ParameterSizeNum)
        return -1;
    return self->ParameterSize[i];
}

int zt_bind_value(cursorObject *self, int pos, PyObject *item, zt_float_mode floats)
{
    try {
        if (PyDateTimeAPI == nullptr && zt_load_datetime_api() < 0)
            return -1;
        /* A cursor with an adapters map sends PostgreSQL's own types (a list as an array). */
        if (zt_curs_pytypes(self)) {
            int typed = zt_pg_bind(self, pos, item);
            if (typed != 0)
                return typed < 0 ? -1 : 0;
        }
        if (PyList_Check(item) || PyTuple_Check(item)) {
            PyErr_SetString(OperationalError, ZT_BATCH_MESSAGE);
            return -1;
        }
        if (PyDateTimeAPI == nullptr && zt_load_datetime_api() < 0)
            return -1;
        if (zt_curs_pytypes(self)) {
            int typed = zt_bind_typed(self, pos, item);
            if (typed != 0)
                return typed < 0 ? -1 : 0;
        }
        if (Py_TYPE(item) == &PyBool_Type)
            return zt_bind_bool(self, pos, item);
        if (PyLong_Check(item))
            return zt_bind_int(self, pos, item);
        if (PyDateTime_Check(item))
            return zt_bind_datetime(self, pos, item);
        if (PyDate_Check(item))
            return zt_bind_date(self, pos, item);
        if (PyTime_Check(item))
            return zt_bind_time(self, pos, item);
        if (PyFloat_Check(item))
            return floats == ZT_FLOAT_AS_DOUBLE ? zt_bind_double(self, pos, item)
                                                : zt_bind_float_text(self, pos, item);
        if (PyUnicode_Check(item))
            return zt_bind_str(self, pos, item);
        if (PyBytes_Check(item))
            return zt_bind_bytes(self, pos, item);
        if (item == Py_None)
            return zt_bind_input(self, pos, ZTC_TYPE_NULL, nullptr, 0, 0);
        return zt_bind_other(self, pos, item);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

int zt_bind_parameters(cursorObject *self, PyObject *parameters, zt_float_mode floats)
{
    /* The length is asked again before each item, so a sequence that changes size
     * while its items are read is walked only as far as it reaches. */
    for (Py_ssize_t i = 0;; ++i) {
        Py_ssize_t n = PyObject_Length(parameters);
        if (n < 0)
            return -1;
        if (i >= n)
            return 0;
        if (i >= INT_MAX) {
            PyErr_SetString(ProgrammingError, "too many parameters");
            return -1;
        }
        PyRef index(PyLong_FromSsize_t(i));
        if (!index)
            return -1;
        PyRef item(PyObject_GetItem(parameters, index.get()));
        if (!item)
            return -1;
        if (zt_bind_value(self, (int)(i + 1), item.get(), floats) < 0)
            return -1;
    }
}
