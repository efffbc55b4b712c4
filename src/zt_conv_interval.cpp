/* zt_conv_interval.cpp - the interval family of the conversion layer: timedelta going to
 * the library (Python types only), and the library's year-month and day-second intervals
 * coming back as texts (the module's own forms) or as timedelta (Python types). */
#include "zt_conv.h"
#include "zt_calendar.h"
#include "zt_conv_read.h"
#include "zt_call.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t ZT_US_PER_DAY = INT64_C(86400000000);

/* ---- Python -> library ---- */

PyTypeObject *zt_timedelta_type(void) { return PyDateTimeAPI->DeltaType; }
bool zt_takes_timedelta(PyObject *value) { return PyDelta_Check(value); }

/* A timedelta as an interval of its microseconds; one beyond 64 bits of them (292,000
 * years) as the interval's text. */
int zt_encode_timedelta(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    int64_t micros = 0;
    if (zt_timedelta_micros(value, micros)) {
        std::memcpy(out.use_local(ZTC_TYPE_INTERVAL_DS, 8, 8), &micros, sizeof micros);
        return 0;
    }
    char text[96];
    const int n = zt_timedelta_text(value, text, sizeof text);
    out.use_copy(ZTC_TYPE_VARCHAR, text, (size_t)n);
    return 0;
}

/* ---- library -> Python: the module's own forms ---- */

/* "Y-MM" from a month count; a negative count is written with a leading '-'. */
PyObject *zt_interval_ym_str(int32_t months)
{
    char text[32];
    int64_t m = months;
    if (m < 0)
        std::snprintf(text, sizeof text, "-%" PRId64 "-%02" PRId64, -m / 12, -m % 12);
    else
        std::snprintf(text, sizeof text, "%" PRId64 "-%02" PRId64, m / 12, m % 12);
    return PyUnicode_FromString(text);
}

/* "DDDDDDD HH:MM:SS.ffffff" from a microsecond count, '-' in front when negative. */
PyObject *zt_interval_ds_str(int64_t v)
{
    /* Unsigned, so that the most negative count has a magnitude too. */
    const uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
    const uint64_t minutes = u / 60000000, hours = minutes / 60, days = hours / 24;
    char text[64];
    std::snprintf(text, sizeof text, "%s%07" PRIu64 " %02" PRIu64 ":%02" PRIu64 ":%02" PRIu64
                  ".%06" PRIu64, v < 0 ? "-" : "", days, hours - 24 * days,
                  minutes - 60 * hours, u % 60000000 / 1000000, u % 1000000);
    return PyUnicode_FromString(text);
}

PyObject *zt_interval_ym_value(cursorObject *self, int col, int type)
{
    return zt_fixed_item<int32_t>(self, col, type, zt_interval_ym_str);
}

PyObject *zt_interval_ds_value(cursorObject *self, int col, int type)
{
    return zt_fixed_item<int64_t>(self, col, type, zt_interval_ds_str);
}

/* ---- library -> Python: the Python-typed forms ---- */

/* An interval as a timedelta: months of 30 days, microseconds split by floor division. */
PyObject *zt_timedelta(int64_t months, int64_t us)
{
    const int64_t days = zt_calendar::floor_div(us, ZT_US_PER_DAY);
    const int64_t rest = us - days * ZT_US_PER_DAY;
    return PyDelta_FromDSU((int)(days + 30 * months), (int)(rest / 1000000),
                           (int)(rest % 1000000));
}

PyObject *zt_py_interval_ym_value(cursorObject *self, int col, int type)
{
    return zt_py_fixed<int32_t>(self, col, type, [](int32_t v) { return zt_timedelta(v, 0); });
}

PyObject *zt_py_interval_ds_value(cursorObject *self, int col, int type)
{
    return zt_py_fixed<int64_t>(self, col, type, [](int64_t v) { return zt_timedelta(0, v); });
}

} // namespace

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

/* Only with Python types on: the module's own forms have no interval parameter. */
const zt_adapter zt_adapt_timedelta = {"timedelta", zt_timedelta_type, zt_takes_timedelta,
                                       ZTC_TYPE_INTERVAL_DS, zt_encode_timedelta};

const zt_decoder zt_dec_interval_ym = {zt_interval_ym_value, nullptr};
const zt_decoder zt_dec_interval_ds = {zt_interval_ds_value, nullptr};
const zt_decoder zt_pydec_interval_ym = {zt_py_interval_ym_value, zt_py_null_view};
const zt_decoder zt_pydec_interval_ds = {zt_py_interval_ds_value, zt_py_null_view};

/* ---- procedure and function positions ---- */

namespace {

/* With Python types on, a timedelta goes as an interval of its microseconds; one beyond
 * 64 bits of them (292,000 years) as the interval's text. */
int zt_call_interval(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    if (item == Py_None) {
        zt_null_input(slot, length);
        return 0;
    }
    if (!PyDelta_Check(item))
        return zt_call_unsuitable(pos.i, item, ZTC_TYPE_INTERVAL_DS);
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
    zt_call_text_slot(slot, length, text, n);
    return 0;
}

const zt_call_codec zt_interval_call_codecs_typed[] = {
    {ZTC_TYPE_INTERVAL_DS, zt_call_interval, nullptr},
};

} // namespace

/* The module's own forms bind no interval position. */
const zt_call_codecs zt_call_interval_codecs = {nullptr, 0};
const zt_call_codecs zt_call_interval_codecs_typed = {
    zt_interval_call_codecs_typed,
    sizeof zt_interval_call_codecs_typed / sizeof zt_interval_call_codecs_typed[0]};
