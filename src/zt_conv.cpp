/* zt_conv.cpp - the two tables of the conversion layer (the module's own forms and the
 * Python-typed forms), the lookups every path goes through, and the decoders of a
 * result's columns resolved once per result. The families themselves live in
 * zt_conv_<family>.cpp; adding one is a file and a line in each table here. */
#include "zt_conv.h"
#include "zt_pgtypes.h"

#include <cstring>
#include <new>

char *zt_param::use_local(int code, int size, int len)
{
    std::memset(local, 0, sizeof local);
    type = code;
    data = local;
    buflen = size;
    length = len;
    return local;
}

void zt_param::use_copy(int code, const char *bytes, size_t n)
{
    owned.assign(bytes, n);
    type = code;
    data = owned.c_str();   /* a zero follows the bytes: buflen n + 1 is readable */
    buflen = (int)n + 1;
    length = (int)n;
}

const char *zt_conv_type_name(PyObject *value)
{
    const char *name = Py_TYPE(value)->tp_name;
    const char *dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

int zt_conv_too_long(int pos)
{
    PyErr_Format(ProgrammingError, "parameter %d: value too long", pos);
    return -1;
}

/* Held for the life of the process (the module is single-phase): a plain pointer the
 * interpreter's own module table also reaches. */
static PyObject *zt_decimal_class = nullptr;

PyObject *zt_conv_decimal_type(void)
{
    if (zt_decimal_class != nullptr)
        return zt_decimal_class;
    PyRef module(PyImport_ImportModule("decimal"));
    if (!module)
        return nullptr;
    PyRef type(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!type)
        return nullptr;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "decimal.Decimal is not a type");
        return nullptr;
    }
    /* Importing may have run code that set it meanwhile. */
    if (zt_decimal_class == nullptr)
        zt_decimal_class = type.release();
    return zt_decimal_class;
}

/* ---- the tables ---- */

namespace {

/* In the order values are tested: bool before int (a bool is an int), datetime before
 * date (a datetime is a date), the date and time classes before float, str and bytes. */
const zt_adapter *const zt_specified_adapters[] = {
    &zt_adapt_bool, &zt_adapt_int,   &zt_adapt_datetime, &zt_adapt_date,
    &zt_adapt_time, &zt_adapt_float, &zt_adapt_str,      &zt_adapt_bytes,
    &zt_adapt_none, &zt_adapt_decimal, &zt_adapt_buffer,
};

const zt_adapter *const zt_typed_adapters[] = {
    &zt_adapt_bool_typed, &zt_adapt_int_typed, &zt_adapt_float_typed, &zt_adapt_timedelta,
    &zt_adapt_datetime,   &zt_adapt_date,      &zt_adapt_time_typed,  &zt_adapt_str,
    &zt_adapt_bytes,      &zt_adapt_none,      &zt_adapt_decimal_typed, &zt_adapt_buffer_typed,
};

const zt_decoder_entry zt_specified_decoders[] = {
    {ZTC_TYPE_NULL, 0, zt_dec_null},
    {ZTC_TYPE_BOOLEAN, 0, zt_dec_boolean},
    {ZTC_TYPE_VARCHAR, 0, zt_dec_declared_text},
    {ZTC_TYPE_CHAR, 0, zt_dec_declared_text},
    {ZTC_TYPE_TINYINT, 0, zt_dec_tinyint},
    {ZTC_TYPE_SMALLINT, 0, zt_dec_int},
    {ZTC_TYPE_INTEGER, 0, zt_dec_int},
    {ZTC_TYPE_BIGINT, 0, zt_dec_int},
    {ZTC_TYPE_FLOAT, 0, zt_dec_float},
    {ZTC_TYPE_DOUBLE, 0, zt_dec_float},
    {ZTC_TYPE_NUMERIC, 0, zt_dec_numeric},
    {ZTC_TYPE_DATE, 0, zt_dec_date_text},
    {ZTC_TYPE_TIME, 0, zt_dec_time_text},
    {ZTC_TYPE_DATETIME, 0, zt_dec_datetime_text},
    {ZTC_TYPE_BINARY, 0, zt_dec_binary},
    {ZTC_TYPE_DATETIME_MS, 0, zt_dec_datetime_ms},
    {ZTC_TYPE_INTERVAL_YM, 0, zt_dec_interval_ym},
    {ZTC_TYPE_INTERVAL_DS, 0, zt_dec_interval_ds},
    {ZTC_TYPE_CLOB2, 0, zt_dec_lob},
    {ZTC_TYPE_BLOB, 0, zt_dec_lob},
};

const zt_decoder_entry zt_typed_decoders[] = {
    {ZTC_TYPE_NULL, 0, zt_dec_null},
    {ZTC_TYPE_BOOLEAN, 0, zt_pydec_boolean},
    {ZTC_TYPE_TINYINT, 0, zt_pydec_tinyint},
    {ZTC_TYPE_SMALLINT, 0, zt_pydec_int},
    {ZTC_TYPE_INTEGER, 0, zt_pydec_int},
    {ZTC_TYPE_BIGINT, 0, zt_pydec_int},
    {ZTC_TYPE_FLOAT, 0, zt_pydec_float},
    {ZTC_TYPE_DOUBLE, 0, zt_pydec_float},
    {ZTC_TYPE_NUMERIC, 0, zt_pydec_numeric},
    {ZTC_TYPE_DATE, 0, zt_pydec_date},
    {ZTC_TYPE_TIME2, 0, zt_pydec_time},
    {ZTC_TYPE_DATETIME_MS, ZTC_COLUMN_WITH_TIME_ZONE, zt_pydec_timestamptz},
    {ZTC_TYPE_DATETIME_MS, 0, zt_pydec_timestamp},
    {ZTC_TYPE_INTERVAL_YM, 0, zt_pydec_interval_ym},
    {ZTC_TYPE_INTERVAL_DS, 0, zt_pydec_interval_ds},
    {ZTC_TYPE_BINARY, 0, zt_pydec_blob},
    {ZTC_TYPE_BINARY2, 0, zt_pydec_blob},
    {ZTC_TYPE_BLOB, 0, zt_pydec_blob},
    {ZTC_TYPE_CLOB, 0, zt_pydec_clob},
    {ZTC_TYPE_CLOB2, 0, zt_pydec_clob},
};

const zt_call_codecs *const zt_specified_call_codecs[] = {
    &zt_call_number, &zt_call_datetime_codecs, &zt_call_interval_codecs, &zt_call_text_codecs,
};

const zt_call_codecs *const zt_typed_call_codecs[] = {
    &zt_call_number,          &zt_call_int_literal_codecs,   &zt_call_datetime_codecs_typed,
    &zt_call_interval_codecs_typed, &zt_call_text_codecs,
};

} // namespace

const zt_conv_table zt_conv_specified = {
    "specified",
    false,
    false,
    zt_specified_adapters, sizeof zt_specified_adapters / sizeof zt_specified_adapters[0],
    zt_specified_decoders, sizeof zt_specified_decoders / sizeof zt_specified_decoders[0],
    zt_dec_other_text,
    zt_specified_call_codecs,
    sizeof zt_specified_call_codecs / sizeof zt_specified_call_codecs[0],
    nullptr,
    nullptr,
    nullptr,
};

const zt_conv_table zt_conv_pytypes = {
    "pytypes",
    true,
    true,
    zt_typed_adapters, sizeof zt_typed_adapters / sizeof zt_typed_adapters[0],
    zt_typed_decoders, sizeof zt_typed_decoders / sizeof zt_typed_decoders[0],
    zt_pydec_text,
    zt_typed_call_codecs,
    sizeof zt_typed_call_codecs / sizeof zt_typed_call_codecs[0],
    zt_pg_bind,
    zt_pg_prepare_columns,
    zt_pg_column_value,
};

/* ---- lookups ---- */

const zt_adapter *zt_conv_find(const zt_conv_table &table, PyObject *value)
{
    PyTypeObject *type = Py_TYPE(value);
    for (size_t i = 0; i < table.adapter_count; i++) {
        const zt_adapter *a = table.adapters[i];
        if (a->exact != nullptr && a->exact() == type)
            return a;
    }
    for (size_t i = 0; i < table.adapter_count; i++) {
        const zt_adapter *a = table.adapters[i];
        if (a->takes(value))
            return a;
    }
    return nullptr;
}

int zt_conv_encode(const zt_conv_table &table, const zt_encode_ctx &ctx, PyObject *value,
                   zt_param &out)
{
    const zt_adapter *a = zt_conv_find(table, value);
    if (a == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(ProgrammingError, "parameter %d: unsupported type '%s'", ctx.pos,
                         zt_conv_type_name(value));
        return -1;
    }
    return a->encode(ctx, value, out);
}

const zt_call_codec *zt_conv_call_codec(const zt_conv_table &table, int code)
{
    for (size_t f = 0; f < table.call_codec_count; f++) {
        const zt_call_codecs &family = *table.call_codecs[f];
        for (size_t i = 0; i < family.count; i++)
            if (family.entries[i].code == code)
                return &family.entries[i];
    }
    return nullptr;
}

const zt_decoder &zt_conv_decoder(const zt_conv_table &table, int code, int flags)
{
    for (size_t i = 0; i < table.decoder_count; i++) {
        const zt_decoder_entry &e = table.decoders[i];
        if (e.code == code && (e.flags & flags) == e.flags)
            return e.decoder;
    }
    return table.fallback;
}

/* ---- decoders resolved once per result ---- */

const zt_row_plan *zt_curs_row_plan(cursorObject *self, int count)
{
    const zt_conv_table &table = zt_conv_of(self);
    zt_row_plan *plan = self->row_plan;
    if (plan != nullptr && plan->results == self->p_results &&
        plan->table == &table && plan->types.size() == (size_t)count)
        return plan;
    if (plan == nullptr) {
        plan = new zt_row_plan();
        self->row_plan = plan;
    }
    plan->types.assign((size_t)count, ZTC_TYPE_NULL);
    plan->decoders.assign((size_t)count, nullptr);
    for (int col = 1; col <= count; ++col) {
        int type = ZTC_TYPE_NULL;
        ZTC_getResultcolType(&self->p_results, col, &type);
        int flags = 0;
        if (ZTC_getResultcolflags(&self->p_results, col, &flags) < 0)
            flags = 0;
        plan->types[(size_t)col - 1] = type;
        plan->decoders[(size_t)col - 1] = &zt_conv_decoder(table, type, flags);
    }
    plan->results = self->p_results;
    plan->table = &table;
    return plan;
}

void zt_curs_drop_row_plan(cursorObject *self)
{
    delete self->row_plan;
    self->row_plan = nullptr;
}
