/* zt_conv_datetime.cpp - the date and time family of the conversion layer: datetime,
 * date and time going to the library; the library's dates, times and timestamps coming
 * back, in the module's own forms (texts, naive datetimes to the millisecond) and in
 * the Python-typed ones (date, time, datetime to the microsecond, aware when the column
 * has a time zone). The calendar is zt_calendar.h's. */
#include "zt_conv.h"
#include "zt_calendar.h"
#include "zt_conv_read.h"
#include "zt_call.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

/* Sizes of the zero-filled buffers the library receives for date-times, dates and
 * times; the length word carries the whole buffer size and the text ends at its first
 * zero byte. */
constexpr int ZT_DATETIME_BUF = 64;
constexpr int ZT_DATE_BUF = 11;
constexpr int ZT_TIME_BUF = 32;
constexpr int64_t ZT_US_PER_DAY = INT64_C(86400000000);
constexpr int64_t ZT_MS_PER_DAY = INT64_C(86400000);

/* ---- Python -> library ---- */

/* The datetime classes are the datetime module's: known once its C interface is. */
PyTypeObject *zt_datetime_type(void) { return PyDateTimeAPI->DateTimeType; }
PyTypeObject *zt_date_type(void) { return PyDateTimeAPI->DateType; }
PyTypeObject *zt_time_type(void) { return PyDateTimeAPI->TimeType; }

bool zt_takes_datetime(PyObject *value) { return PyDateTime_Check(value); }
bool zt_takes_date(PyObject *value) { return PyDate_Check(value); }
bool zt_takes_time(PyObject *value) { return PyTime_Check(value); }

/* Years are padded with blanks, not zeros: the library reads "   5-03-07". An aware
 * value is sent as its instant (code 72: microseconds since 1970 UTC, typed timestamp
 * with time zone), so the server keeps that instant whatever the session's TimeZone. */
int zt_encode_datetime(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    bool aware = false;
    PyRef utc(zt_datetime_for_sending(value, &aware));
    if (!utc)
        return -1;
    PyObject *dt = utc.get();
    if (aware) {
        const int64_t us = zt_datetime_micros(dt);
        std::memcpy(out.use_local(ZTC_TYPE_DATETIME_UTC_US, 8, 8), &us, sizeof us);
        return 0;
    }
    char *buf = out.use_local(ZTC_TYPE_DATETIME, ZT_DATETIME_BUF, ZT_DATETIME_BUF);
    std::snprintf(buf, ZT_DATETIME_BUF, "%4d-%02d-%02d %02d:%02d:%02d.%06d",
                  PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt),
                  PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
                  PyDateTime_DATE_GET_SECOND(dt), PyDateTime_DATE_GET_MICROSECOND(dt));
    return 0;
}

int zt_encode_date(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    /* Formatted in a roomier scratch buffer (the compiler cannot know that month and
     * day have two digits), then placed in the 11-byte buffer the library gets. */
    char text[16];
    std::snprintf(text, sizeof text, "%4d-%02d-%02d", PyDateTime_GET_YEAR(value),
                  PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value));
    std::memcpy(out.use_local(ZTC_TYPE_DATE, ZT_DATE_BUF, ZT_DATE_BUF), text, ZT_DATE_BUF - 1);
    return 0;
}

int zt_encode_time(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    char *buf = out.use_local(ZTC_TYPE_TIME, ZT_TIME_BUF, ZT_TIME_BUF);
    std::snprintf(buf, ZT_TIME_BUF, "%02d:%02d:%02d.%06d", PyDateTime_TIME_GET_HOUR(value),
                  PyDateTime_TIME_GET_MINUTE(value), PyDateTime_TIME_GET_SECOND(value),
                  PyDateTime_TIME_GET_MICROSECOND(value));
    return 0;
}

/* With Python types on, an aware time keeps its offset: it goes as text for the
 * server to read as a time with time zone; a naive one goes the plain way. */
int zt_encode_time_typed(const zt_encode_ctx &ctx, PyObject *value, zt_param &out)
{
    char text[64];
    const int n = zt_aware_time_text(value, text, sizeof text);
    if (n < 0)
        return -1;
    if (n == 0)
        return zt_encode_time(ctx, value, out);
    out.use_copy(ZTC_TYPE_VARCHAR, text, (size_t)n);
    return 0;
}

/* ---- library -> Python: the module's own forms ---- */

PyObject *zt_date_text_value(cursorObject *self, int col, int type)
{
    return zt_text_item(self, col, type, 11, true);
}

PyObject *zt_time_text_value(cursorObject *self, int col, int type)
{
    return zt_text_item(self, col, type, 9, true);
}

PyObject *zt_datetime_text_value(cursorObject *self, int col, int type)
{
    return zt_text_item(self, col, type, 20, true);
}

/* Earliest and latest millisecond counts taken: years far beyond 1..9999 are refused
 * here with the count; the datetime constructor refuses the rest itself. */
const int64_t ZT_DATETIME_MS_MIN = INT64_C(-3400000000000000000);
const int64_t ZT_DATETIME_MS_MAX = INT64_C(5600000000000000000);

/* A naive datetime.datetime from milliseconds since 1970-01-01 00:00:00. A count
 * outside years 1..9999 raises ValueError. */
PyObject *zt_datetime_from_ms(int64_t t)
{
    if (t < ZT_DATETIME_MS_MIN || t > ZT_DATETIME_MS_MAX) {
        PyErr_Format(PyExc_ValueError, "date-time %" PRId64 " ms is out of range", t);
        return nullptr;
    }
    const int64_t days = zt_calendar::floor_div(t, ZT_MS_PER_DAY);
    const int64_t ms = t - days * ZT_MS_PER_DAY;
    int64_t y = 0;
    int m = 0, d = 0;
    zt_calendar::civil_from_days(days, y, m, d);
    return PyDateTime_FromDateAndTime((int)y, m, d, (int)(ms / 3600000), (int)(ms / 60000 % 60),
                                      (int)(ms / 1000 % 60), (int)(ms % 1000 * 1000));
}

PyObject *zt_datetime_ms_value(cursorObject *self, int col, int)
{
    int64_t t = 0;
    int length = 0;
    if (zt_get_data(self, col, ZTC_TYPE_DATETIME_MS, &t, 8, &length) < 0)
        return nullptr;
    /* Anything but an 8-byte count is not a value this form can hold. */
    if (length != 8)
        Py_RETURN_NONE;
    return zt_datetime_from_ms(t);
}

/* Milliseconds: the floor of the view's microseconds. */
PyObject *zt_datetime_ms_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.decoded)
        return zt_datetime_from_ms(zt_calendar::floor_div(v.integer, 1000));
    *served = false;
    return nullptr;
}

/* ---- library -> Python: the Python-typed forms ---- */

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

PyObject *zt_py_date_value(cursorObject *self, int col, int)
{
    return zt_py_text(self, col, ZTC_TYPE_DATE, [&](const char *t, size_t n) -> PyObject * {
        return zt_date_from_text(self, col, t, n);
    });
}

PyObject *zt_py_date_view(cursorObject *self, int col, int, const ZTC_ROWVALUE &v,
                          bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.decoded) {
        int64_t y;
        int m, d;
        zt_calendar::civil_from_days(v.integer, y, m, d);
        return zt_cached_date((int)y, m, d);
    }
    if (v.text != nullptr)
        return zt_date_from_text(self, col, v.text, (size_t)v.length);
    *served = false;
    return nullptr;
}

/* A tzinfo for an offset of `seconds` east of UTC; null with an error set. */
PyObject *zt_timezone(int seconds)
{
    if (seconds == 0) {
        Py_INCREF(PyDateTimeAPI->TimeZone_UTC);
        return PyDateTimeAPI->TimeZone_UTC;
    }
    PyRef delta(PyDelta_FromDSU(0, seconds, 0));
    if (!delta)
        return nullptr;
    return PyTimeZone_FromOffset(delta.get());
}

/* TIME / TIMETZ from "HH:MM:SS[.ffffff][+HH[:MM[:SS]]]"; 24:00:00 does not fit. */
PyObject *zt_time_from_text(cursorObject *self, int col, const char *t, size_t n)
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

PyObject *zt_py_time_value(cursorObject *self, int col, int)
{
    return zt_py_text(self, col, ZTC_TYPE_TIME2, [&](const char *t, size_t n) -> PyObject * {
        return zt_time_from_text(self, col, t, n);
    });
}

PyObject *zt_py_time_view(cursorObject *self, int col, int, const ZTC_ROWVALUE &v,
                          bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.text != nullptr)
        return zt_time_from_text(self, col, v.text, (size_t)v.length);
    *served = false;
    return nullptr;
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
    const int64_t days = zt_calendar::floor_div(t, ZT_US_PER_DAY);
    const int64_t in_day = t - days * ZT_US_PER_DAY;
    /* Neighbouring rows mostly fall on one day: its date is kept (the GIL guards it). */
    static int64_t last_days = INT64_MIN, last_y = 0;
    static int last_m = 0, last_d = 0;
    if (days != last_days) {
        zt_calendar::civil_from_days(days, last_y, last_m, last_d);
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
                                                    with_zone ? PyDateTimeAPI->TimeZone_UTC
                                                              : Py_None,
                                                    PyDateTimeAPI->DateTimeType);
}

template <bool WithZone>
PyObject *zt_py_timestamp_value(cursorObject *self, int col, int)
{
    int64_t count = 0;
    int length = -1;
    if (ZTC_GetData(&self->p_results, col, ZTC_TYPE_DATETIME_US, &count, (int)sizeof count,
                    &length) < 0)
        return zt_py_beyond_form(self, col, "timestamp");
    if (length < 0)
        Py_RETURN_NONE;
    return zt_datetime_from_us(self, col, WithZone, count);
}

template <bool WithZone>
PyObject *zt_py_timestamp_view(cursorObject *self, int col, int, const ZTC_ROWVALUE &v,
                               bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.decoded)
        return zt_datetime_from_us(self, col, WithZone, v.integer);
    *served = false;
    return nullptr;
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

const zt_adapter zt_adapt_datetime = {"datetime", zt_datetime_type, zt_takes_datetime,
                                      ZTC_TYPE_DATETIME, zt_encode_datetime};
const zt_adapter zt_adapt_date = {"date", zt_date_type, zt_takes_date, ZTC_TYPE_DATE,
                                  zt_encode_date};
const zt_adapter zt_adapt_time = {"time", zt_time_type, zt_takes_time, ZTC_TYPE_TIME,
                                  zt_encode_time};
const zt_adapter zt_adapt_time_typed = {"time", zt_time_type, zt_takes_time, ZTC_TYPE_TIME,
                                        zt_encode_time_typed};

const zt_decoder zt_dec_date_text = {zt_date_text_value, nullptr};
const zt_decoder zt_dec_time_text = {zt_time_text_value, nullptr};
const zt_decoder zt_dec_datetime_text = {zt_datetime_text_value, nullptr};
const zt_decoder zt_dec_datetime_ms = {zt_datetime_ms_value, zt_datetime_ms_view};
const zt_decoder zt_pydec_date = {zt_py_date_value, zt_py_date_view};
const zt_decoder zt_pydec_time = {zt_py_time_value, zt_py_time_view};
const zt_decoder zt_pydec_timestamp = {zt_py_timestamp_value<false>,
                                       zt_py_timestamp_view<false>};
const zt_decoder zt_pydec_timestamptz = {zt_py_timestamp_value<true>,
                                         zt_py_timestamp_view<true>};

/* ---- procedure and function positions ---- */

namespace {

/* DATE buffer of an output or in-out procedure position: room for every date the server
 * holds ("4714-11-24 BC", "5874897-12-31"); an input-only DATE keeps its 11 bytes. */
const int32_t ZT_DATE_OUTPUT_BUFFER = 32;

/* DATETIME positions: an aware input goes as its instant (code 72), which the server
 * reads alike whatever the session's TimeZone; any other as its (UTC) date and time. */
int zt_call_datetime(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    if (!PyDateTime_Check(item))
        return zt_call_unsuitable(pos.i, item, slot.code);
    bool aware = false;
    PyRef utc(zt_datetime_for_sending(item, &aware));
    if (!utc)
        return -1;
    PyObject *dt = utc.get();
    if (aware && !pos.output) {
        const int64_t us = zt_datetime_micros(dt);
        slot.allocate(8);
        std::memcpy(slot.data(), &us, sizeof us);
        slot.code = ZTC_TYPE_DATETIME_UTC_US;
        slot.buflen = length = 8;
        return 0;
    }
    slot.allocate(64);
    std::snprintf(slot.data(), 64, "%4d-%02d-%02d %02d:%02d:%02d.%06d",
                  PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt),
                  PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
                  PyDateTime_DATE_GET_SECOND(dt), PyDateTime_DATE_GET_MICROSECOND(dt));
    length = 26;
    slot.readback = zt_readback::text;
    slot.whole = pos.output;
    return 0;
}

/* DATE positions. A function call passes DATE and TIME in 64-byte buffers with length
 * word 63. */
int zt_call_date(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    if (!PyDate_Check(item))
        return zt_call_unsuitable(pos.i, item, slot.code);
    const bool function = (pos.kind == zt_call_kind::function);
    /* Formatted aside: the 11-byte buffer holds exactly one date's text. */
    char text[32];
    int len = std::snprintf(text, sizeof text, "%4d-%02d-%02d", PyDateTime_GET_YEAR(item),
                            PyDateTime_GET_MONTH(item), PyDateTime_GET_DAY(item));
    slot.allocate(function ? 64 : pos.output ? ZT_DATE_OUTPUT_BUFFER : 11);
    std::memcpy(slot.data(), text, static_cast<size_t>(len < 10 ? len : 10));
    length = function ? 63 : 10;
    slot.readback = zt_readback::text;
    slot.whole = pos.output;
    return 0;
}

/* TIME positions: the time of day, its offset dropped. */
int zt_call_time(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    if (!PyTime_Check(item))
        return zt_call_unsuitable(pos.i, item, slot.code);
    const bool function = (pos.kind == zt_call_kind::function);
    slot.allocate(function ? 64 : 32);
    std::snprintf(slot.data(), 32, "%02d:%02d:%02d.%06d", PyDateTime_TIME_GET_HOUR(item),
                  PyDateTime_TIME_GET_MINUTE(item), PyDateTime_TIME_GET_SECOND(item),
                  PyDateTime_TIME_GET_MICROSECOND(item));
    length = function ? 63 : 15;
    slot.readback = zt_readback::text;
    slot.whole = pos.output;
    return 0;
}

/* With Python types on, an aware time keeps its offset: it goes as text for the server
 * to read as a time with time zone; a naive one the plain way. */
int zt_call_time_typed(const zt_call_pos &pos, PyObject *item, zt_slot &slot,
                       int32_t &length)
{
    if (!PyTime_Check(item))
        return zt_call_unsuitable(pos.i, item, slot.code);
    char text[64];
    int n = zt_aware_time_text(item, text, sizeof text);
    if (n < 0)
        return -1;
    if (n == 0)
        return zt_call_time(pos, item, slot, length);
    zt_call_text_slot(slot, length, text, n);
    return 0;
}

const zt_call_codec zt_datetime_call_codecs[] = {
    {ZTC_TYPE_DATE, zt_call_date, nullptr},
    {ZTC_TYPE_TIME, zt_call_time, nullptr},
    {ZTC_TYPE_DATETIME, zt_call_datetime, nullptr},
};

const zt_call_codec zt_datetime_call_codecs_typed[] = {
    {ZTC_TYPE_DATE, zt_call_date, nullptr},
    {ZTC_TYPE_TIME, zt_call_time_typed, nullptr},
    {ZTC_TYPE_DATETIME, zt_call_datetime, nullptr},
};

} // namespace

const zt_call_codecs zt_call_datetime_codecs = {
    zt_datetime_call_codecs, sizeof zt_datetime_call_codecs / sizeof zt_datetime_call_codecs[0]};
const zt_call_codecs zt_call_datetime_codecs_typed = {
    zt_datetime_call_codecs_typed,
    sizeof zt_datetime_call_codecs_typed / sizeof zt_datetime_call_codecs_typed[0]};
