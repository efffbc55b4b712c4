/* zt_pyvalue.cpp - the opt-in conversion of a row into Python types (connection
 * attribute `pytypes`): bool, int, float, Decimal, date, time, datetime to the
 * microsecond, timedelta, str and bytes, with an empty value kept apart from NULL.
 * Objects are built straight from the library's buffers; nothing is parsed twice. */
#include "zt_cursor.h"
#include "zt_pgtypes.h"
#include "pyzt_util.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

/* Text values are first requested into a stack buffer of this size; a longer value is
 * requested again with a buffer of its full length. */
constexpr int ZT_PY_TEXT_STACK = 1024;
constexpr int64_t ZT_US_PER_DAY = INT64_C(86400000000);

/* decimal.Decimal and datetime.timezone.utc, looked up once and kept for the life of
 * the process (the module is single-phase). */
PyObject *zt_decimal_type = nullptr;
PyObject *zt_utc = nullptr;

int zt_load_constants(void)
{
    if (zt_decimal_type == nullptr) {
        PyRef module(PyImport_ImportModule("decimal"));
        if (!module)
            return -1;
        zt_decimal_type = PyObject_GetAttrString(module.get(), "Decimal");
        if (zt_decimal_type == nullptr)
            return -1;
    }
    if (zt_utc == nullptr) {
        zt_utc = PyDateTimeAPI->TimeZone_UTC;
        Py_INCREF(zt_utc);
    }
    return 0;
}

int64_t zt_floor_div(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

/* Proleptic Gregorian date of a day count since 1970-01-01 (year 0 is 1 BC). */
void zt_civil_from_days(int64_t z, int64_t *y, int *m, int *d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = (int)(doy - (153 * mp + 2) / 5 + 1);
    *m = (int)(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2);
}

/* The column's name for a message ("?" when the library cannot tell it). */
std::string zt_column_name(cursorObject *self, int col)
{
    char name[256];
    std::memset(name, 0, sizeof name);
    if (ZTC_getResultcolname(&self->p_results, col, name) < 0)
        return "?";
    name[sizeof name - 1] = '\0';
    return name;
}

/* DataError for a value Python's types cannot hold. Always returns nullptr. */
PyObject *zt_out_of_range(cursorObject *self, int col, const char *what, const char *value)
{
    std::string name = zt_column_name(self, col);
    PyErr_Format(DataError, "column %d (%s): %s value '%s' is out of the range Python can hold",
                 col, name.c_str(), what, value);
    return nullptr;
}

/* ZTC_GetData with the library's error raised on failure. The length word starts at -1
 * (NULL) so that a library which writes nothing leaves a NULL. */
int zt_py_get(cursorObject *self, int col, int type, void *buffer, int capacity, int *length)
{
    *length = -1;
    if (ZTC_GetData(&self->p_results, col, type, buffer, capacity, length) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    return 0;
}

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

PyObject *zt_make_str(const char *text, size_t n)
{
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)n, nullptr);
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

/* A Decimal from a NUMERIC's text (NaN and Infinity included). */
PyObject *zt_decimal_from_text(const char *text, size_t n)
{
    PyRef s(PyUnicode_DecodeASCII(text, (Py_ssize_t)n, nullptr));
    if (!s)
        return nullptr;
    return PyObject_CallOneArg(zt_decimal_type, s.get());
}

/* NUMERIC as an exact Decimal from the server's text (NaN and Infinity included). */
PyObject *zt_py_numeric(cursorObject *self, int col)
{
    return zt_py_text(self, col, ZTC_TYPE_VARCHAR, [](const char *text, size_t n) -> PyObject * {
        return zt_decimal_from_text(text, n);
    });
}

/* n digits at p as a number; -1 when one is not a digit. */
int zt_digits(const char *p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        unsigned d = (unsigned char)p[i] - '0';
        if (d > 9)
            return -1;
        v = v * 10 + (int)d;
    }
    return v;
}

/* Dates made lately, by their day: a column of dates repeats them often, and a
 * date is immutable, so one object serves every row (as small ints do). Each slot holds a
 * reference for the life of the process. */
constexpr unsigned ZT_DATE_SLOTS = 16384;
struct ZtDateSlot {
    int key;
    PyObject *date;
};
ZtDateSlot zt_date_slots[ZT_DATE_SLOTS];

PyObject *zt_cached_date(int y, int m, int d)
{
    /* Increasing with the date, with a few gaps: the dates of about 44 years take
     * different slots. */
    const int key = y * 372 + (m - 1) * 31 + (d - 1);
    ZtDateSlot &slot = zt_date_slots[(unsigned)key & (ZT_DATE_SLOTS - 1)];
    if (slot.date != nullptr && slot.key == key) {
        Py_INCREF(slot.date);
        return slot.date;
    }
    PyObject *date = PyDate_FromDate(y, m, d);
    if (date == nullptr)
        return nullptr;
    Py_XSETREF(slot.date, date);
    slot.key = key;
    Py_INCREF(date);
    return date;
}

/* DATE from its text: "YYYY-MM-DD" of years 1..9999; any other form (BC, a fifth year
 * digit, infinity) is a date Python cannot hold. */
PyObject *zt_date_from_text(cursorObject *self, int col, const char *t, size_t n)
{
    int y = n == 10 && t[4] == '-' && t[7] == '-' ? zt_digits(t, 4) : -1;
    int m = y > 0 ? zt_digits(t + 5, 2) : -1, d = m > 0 ? zt_digits(t + 8, 2) : -1;
    if (d <= 0)
        return zt_out_of_range(self, col, "date", std::string(t, n).c_str());
    /* Month and day out of their ranges reach the constructor, which refuses them. */
    if (m > 12 || d > 31)
        return PyDate_FromDate(y, m, d);
    return zt_cached_date(y, m, d);
}

PyObject *zt_py_date(cursorObject *self, int col)
{
    return zt_py_text(self, col, ZTC_TYPE_DATE, [&](const char *t, size_t n) -> PyObject * {
        return zt_date_from_text(self, col, t, n);
    });
}

/* A tzinfo for an offset of `seconds` east of UTC; null with an error set. */
PyObject *zt_timezone(int seconds)
{
    if (seconds == 0) {
        Py_INCREF(zt_utc);
        return zt_utc;
    }
    PyRef delta(PyDelta_FromDSU(0, seconds, 0));
    if (!delta)
        return nullptr;
    return PyTimeZone_FromOffset(delta.get());
}

/* TIME / TIMETZ from "HH:MM:SS[.ffffff][+HH[:MM[:SS]]]"; 24:00:00 does not fit. */
PyObject *zt_time_from_text(cursorObject *self, int col, const char *t, size_t n)
{
    {
        const std::string text(t, n);
        const char *p = text.c_str();
        int h = n >= 8 && p[2] == ':' && p[5] == ':' ? zt_digits(p, 2) : -1;
        int mi = h >= 0 ? zt_digits(p + 3, 2) : -1, s = mi >= 0 ? zt_digits(p + 6, 2) : -1;
        if (s < 0 || h > 23)
            return zt_out_of_range(self, col, "time", p);
        p += 8;
        int us = 0;
        if (*p == '.') {
            int scale = 100000;
            for (++p; *p >= '0' && *p <= '9'; ++p, scale /= 10)
                us += (*p - '0') * scale;
        }
        PyRef tz;
        if (*p == '+' || *p == '-') {
            const int sign = *p++ == '-' ? -1 : 1;
            int parts[3] = {0, 0, 0};
            for (int i = 0; i < 3 && *p; ++i) {
                if (i > 0 && *p++ != ':')
                    return zt_out_of_range(self, col, "time", text.c_str());
                parts[i] = zt_digits(p, 2);
                p += 2;
            }
            tz.reset(zt_timezone(sign * (parts[0] * 3600 + parts[1] * 60 + parts[2])));
            if (!tz)
                return nullptr;
        }
        return PyDateTimeAPI->Time_FromTime(h, mi, s, us, tz ? tz.get() : Py_None,
                                            PyDateTimeAPI->TimeType);
    }
}

PyObject *zt_py_time(cursorObject *self, int col)
{
    return zt_py_text(self, col, ZTC_TYPE_TIME2, [&](const char *t, size_t n) -> PyObject * {
        return zt_time_from_text(self, col, t, n);
    });
}

/* A value the library refused in the requested form because that form cannot hold it
 * (an infinite timestamp, one beyond the microsecond count): DataError naming the column
 * and the server's text of the value; the library's error when the text cannot be read
 * either. Always returns nullptr. */
PyObject *zt_py_beyond_form(cursorObject *self, int col, const char *what)
{
    char text[128];
    int length = -1;
    if (ZTC_GetData(&self->p_results, col, ZTC_TYPE_VARCHAR, text, sizeof text, &length) < 0 ||
        length < 0)
        return zt_raise_library_error(&self->p_conn);
    text[length < (int)sizeof text ? length : (int)sizeof text - 1] = '\0';
    return zt_out_of_range(self, col, what, text);
}

/* TIMESTAMP (naive) or TIMESTAMPTZ (aware, UTC) from a microsecond count. */
PyObject *zt_datetime_from_us(cursorObject *self, int col, bool with_zone, int64_t t)
{
    {
        const int64_t days = zt_floor_div(t, ZT_US_PER_DAY);
        const int64_t in_day = t - days * ZT_US_PER_DAY;
        /* Neighbouring rows mostly fall on one day: its date is kept (the GIL guards it). */
        static int64_t last_days = INT64_MIN, last_y = 0;
        static int last_m = 0, last_d = 0;
        if (days != last_days) {
            zt_civil_from_days(days, &last_y, &last_m, &last_d);
            last_days = days;
        }
        const int64_t y = last_y;
        const int m = last_m, d = last_d;
        const int64_t secs = in_day / 1000000;
        const int h = (int)(secs / 3600), mi = (int)(secs / 60 % 60), s = (int)(secs % 60);
        const int us = (int)(in_day % 1000000);
        if (y < 1 || y > 9999) {
            char text[80];
            std::snprintf(text, sizeof text, "%04" PRId64 "-%02d-%02d %02d:%02d:%02d.%06d%s",
                          y < 1 ? 1 - y : y, m, d, h, mi, s, us, y < 1 ? " BC" : "");
            return zt_out_of_range(self, col, "timestamp", text);
        }
        return PyDateTimeAPI->DateTime_FromDateAndTime((int)y, m, d, h, mi, s, us,
                                                        with_zone ? zt_utc : Py_None,
                                                        PyDateTimeAPI->DateTimeType);
    }
}

PyObject *zt_py_datetime(cursorObject *self, int col, bool with_zone)
{
    int64_t count = 0;
    int length = -1;
    if (ZTC_GetData(&self->p_results, col, ZTC_TYPE_DATETIME_US, &count, (int)sizeof count,
                    &length) < 0)
        return zt_py_beyond_form(self, col, "timestamp");
    if (length < 0)
        Py_RETURN_NONE;
    return zt_datetime_from_us(self, col, with_zone, count);
}

/* An interval as a timedelta: months of 30 days, microseconds split by floor division. */
PyObject *zt_timedelta(int64_t months, int64_t us)
{
    const int64_t days = zt_floor_div(us, ZT_US_PER_DAY);
    const int64_t rest = us - days * ZT_US_PER_DAY;
    return PyDelta_FromDSU((int)(days + 30 * months), (int)(rest / 1000000),
                           (int)(rest % 1000000));
}

/* bytea (as bytes) or a character large object (as str) through a large object. */
PyObject *zt_py_lob(cursorObject *self, int col, int type)
{
    ZTC_HANDLE lob = nullptr;
    if (ZTC_Create_Lob(&lob) < 0)
        return zt_raise_library_error(&self->p_conn);
    struct Release {
        ZTC_HANDLE *h;
        ~Release() { ZTC_Distroy_Lob(h); }
    } release{&lob};
    int length = -1;
    if (zt_py_get(self, col, type, &lob, (int)sizeof lob, &length) < 0)
        return nullptr;
    if (length < 0)
        Py_RETURN_NONE;
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, length));
    if (!bytes)
        return nullptr;
    char *data = PyBytes_AS_STRING(bytes.get());
    int got = length > 0 ? ZTC_Get_Lob_data(&lob, data, length) : 0;
    if (got < 0)
        return zt_raise_library_error(&self->p_conn);
    if (got < length)
        std::memset(data + got, 0, (size_t)(length - got));
    if (type == ZTC_TYPE_BLOB)
        return bytes.release();
    return PyUnicode_DecodeUTF8(data, length, nullptr);
}

int zt_column_flags(cursorObject *self, int col)
{
    int flags = 0;
    if (ZTC_getResultcolflags(&self->p_results, col, &flags) < 0)
        return 0;
    return flags;
}

/* The Python value of column col of the current row, by its type code. */
PyObject *zt_py_value(cursorObject *self, int col, int type)
{
    bool served = false;
    PyObject *typed = zt_pg_column_value(self, col, nullptr, &served);
    if (served)
        return typed;
    switch (type) {
    case ZTC_TYPE_NULL:
        Py_RETURN_NONE;
    case ZTC_TYPE_BOOLEAN:
        return zt_py_fixed<char>(self, col, type, [](char v) {
            return PyBool_FromLong(v == 'T' || v == 't' || v == 1);
        });
    case ZTC_TYPE_TINYINT:
        return zt_py_fixed<signed char>(self, col, type, [](signed char v) {
            return PyLong_FromLong(v);
        });
    case ZTC_TYPE_SMALLINT:
        return zt_py_fixed<int16_t>(self, col, type, [](int16_t v) { return PyLong_FromLong(v); });
    case ZTC_TYPE_INTEGER:
        return zt_py_fixed<int32_t>(self, col, type, [](int32_t v) { return PyLong_FromLong(v); });
    case ZTC_TYPE_BIGINT:
        return zt_py_fixed<int64_t>(self, col, type, [](int64_t v) {
            return PyLong_FromLongLong(v);
        });
    case ZTC_TYPE_FLOAT:
        return zt_py_fixed<float>(self, col, type, [](float v) { return PyFloat_FromDouble(v); });
    case ZTC_TYPE_DOUBLE:
        return zt_py_fixed<double>(self, col, type, [](double v) { return PyFloat_FromDouble(v); });
    case ZTC_TYPE_NUMERIC:
        return zt_py_numeric(self, col);
    case ZTC_TYPE_DATE:
        return zt_py_date(self, col);
    case ZTC_TYPE_TIME2:
        return zt_py_time(self, col);
    case ZTC_TYPE_DATETIME_MS:
        return zt_py_datetime(self, col, zt_column_flags(self, col) & ZTC_COLUMN_WITH_TIME_ZONE);
    case ZTC_TYPE_INTERVAL_YM:
        return zt_py_fixed<int32_t>(self, col, type, [](int32_t v) { return zt_timedelta(v, 0); });
    case ZTC_TYPE_INTERVAL_DS:
        return zt_py_fixed<int64_t>(self, col, type, [](int64_t v) { return zt_timedelta(0, v); });
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2:
    case ZTC_TYPE_BLOB:
        return zt_py_lob(self, col, ZTC_TYPE_BLOB);
    case ZTC_TYPE_CLOB:
    case ZTC_TYPE_CLOB2:
        return zt_py_lob(self, col, ZTC_TYPE_CLOB2);
    default:
        /* Text of every other type (varchar, char, json, uuid, arrays, a cursor name). */
        return zt_py_text(self, col, type, zt_make_str);
    }
}

/* The Python value of a column from the library's view of it; *served false (nothing
 * built, no error) when the view does not give this type code's value, which is then read
 * with ZTC_GetData. Builds exactly what zt_py_value builds. */
PyObject *zt_py_view_value(cursorObject *self, int col, int type, const ZTC_ROWVALUE &v,
                           bool *served)
{
    /* A column of one of PostgreSQL's own types (json, arrays, uuid, ...) has its reader. */
    PyObject *typed = zt_pg_column_value(self, col, &v, served);
    if (*served)
        return typed;
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    switch (type) {
    case ZTC_TYPE_NULL:
        Py_RETURN_NONE;
    case ZTC_TYPE_BOOLEAN:
        if (v.decoded)
            return PyBool_FromLong(v.integer != 0);
        break;
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT:
        if (v.decoded)
            return PyLong_FromLongLong(v.integer);
        break;
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_DOUBLE:
        if (v.decoded)
            return PyFloat_FromDouble(v.real);
        break;
    case ZTC_TYPE_NUMERIC:
        if (v.text != nullptr)
            return zt_decimal_from_text(v.text, (size_t)v.length);
        break;
    case ZTC_TYPE_DATE:
        if (v.decoded) {
            int64_t y;
            int m, d;
            zt_civil_from_days(v.integer, &y, &m, &d);
            return zt_cached_date((int)y, m, d);
        }
        if (v.text != nullptr)
            return zt_date_from_text(self, col, v.text, (size_t)v.length);
        break;
    case ZTC_TYPE_TIME2:
        if (v.text != nullptr)
            return zt_time_from_text(self, col, v.text, (size_t)v.length);
        break;
    case ZTC_TYPE_DATETIME_MS:
        if (v.decoded)
            return zt_datetime_from_us(self, col,
                                       zt_column_flags(self, col) & ZTC_COLUMN_WITH_TIME_ZONE,
                                       v.integer);
        break;
    case ZTC_TYPE_INTERVAL_YM:
    case ZTC_TYPE_INTERVAL_DS:
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2:
    case ZTC_TYPE_BLOB:
    case ZTC_TYPE_CLOB:
    case ZTC_TYPE_CLOB2:
        break;
    default:
        if (v.text != nullptr)
            return zt_make_str(v.text, (size_t)v.length);
        break;
    }
    *served = false;
    return nullptr;
}

}  // namespace

PyObject *zt_py_buildrow(cursorObject *self)
{
    if (zt_load_constants() < 0 || zt_pg_prepare_columns(self) < 0)
        return nullptr;
    return zt_curs_row_of(self, zt_py_value, zt_py_view_value);
}
