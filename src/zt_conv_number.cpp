/* zt_conv_number.cpp - the numbers family of the conversion layer: bool, int, float and
 * Decimal going to the library, and the library's booleans, integers, floats and NUMERIC
 * coming back, in the module's own forms and in the Python-typed ones. */
#include "zt_conv.h"
#include "zt_conv_read.h"
#include "zt_call.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

/* Size of the zero-filled block a float's text is handed over in (at least). */
constexpr int ZT_FLOAT_BUF = 64;

/* ---- Python -> library ---- */

PyTypeObject *zt_bool_type(void) { return &PyBool_Type; }
PyTypeObject *zt_int_type(void) { return &PyLong_Type; }
PyTypeObject *zt_float_type(void) { return &PyFloat_Type; }

bool zt_takes_nothing(PyObject *) { return false; }
bool zt_takes_int(PyObject *value) { return PyLong_Check(value); }
bool zt_takes_float(PyObject *value) { return PyFloat_Check(value); }

/* A bool as the 4-byte integer 1 or 0. */
int zt_encode_bool(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    const int32_t v = value == Py_True ? 1 : 0;
    std::memcpy(out.use_local(ZTC_TYPE_INTEGER, 4, 4), &v, sizeof v);
    return 0;
}

/* With Python types on, a bool is sent as a boolean. */
int zt_encode_bool_typed(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    out.use_local(ZTC_TYPE_BOOLEAN, 1, 1)[0] = value == Py_True ? 1 : 0;
    return 0;
}

/* An int as a 64-bit integer; one beyond 64 bits raises OverflowError. */
int zt_encode_int(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    const int64_t v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred())
        return -1;
    std::memcpy(out.use_local(ZTC_TYPE_BIGINT, 8, 8), &v, sizeof v);
    return 0;
}

/* A number's decimal text under the NUMERIC code (an int beyond 64 bits, a Decimal). */
int zt_encode_numeric_text(const zt_encode_ctx &ctx, PyObject *value, zt_param &out)
{
    PyRef text(PyObject_Str(value));
    if (!text)
        return -1;
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (utf8 == nullptr)
        return -1;
    if (len >= INT_MAX)
        return zt_conv_too_long(ctx.pos);
    out.type = ZTC_TYPE_NUMERIC;
    out.data = utf8;
    out.buflen = (int)len + 1;
    out.length = (int)len;
    out.keep = std::move(text);
    return 0;
}

/* With Python types on, an int is typed as the same number written in SQL would be:
 * integer when it fits 32 bits, bigint when it fits 64, numeric beyond. */
int zt_encode_int_typed(const zt_encode_ctx &ctx, PyObject *value, zt_param &out)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (overflow != 0)
        return zt_encode_numeric_text(ctx, value, out);
    const int64_t v64 = v;
    std::memcpy(out.use_local(ZTC_TYPE_INT_LITERAL, 8, 8), &v64, sizeof v64);
    return 0;
}

int zt_encode_double(const zt_encode_ctx &, PyObject *value, zt_param &out)
{
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred())
        return -1;
    std::memcpy(out.use_local(ZTC_TYPE_DOUBLE, 8, 8), &v, sizeof v);
    return 0;
}

/* A float as its text (execute) or as an 8-byte double (the statement path of
 * executemany). The text goes in a zero-filled block of at least 64 bytes whose size is
 * also the length word; a longer text gets a block of its own size. */
int zt_encode_float(const zt_encode_ctx &ctx, PyObject *value, zt_param &out)
{
    if (ctx.floats == ZT_FLOAT_AS_DOUBLE)
        return zt_encode_double(ctx, value, out);
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred())
        return -1;
    const std::string text = zt_float_text(v, ZT_FLOAT_FIXED13);
    if (text.empty())
        return -1;
    out.owned.assign(text.size() < ZT_FLOAT_BUF ? (size_t)ZT_FLOAT_BUF : text.size() + 1, '\0');
    std::memcpy(&out.owned[0], text.data(), text.size());
    out.type = ZTC_TYPE_VARCHAR;
    out.data = out.owned.data();
    out.buflen = out.length = (int)out.owned.size();
    return 0;
}

/* decimal.Decimal and its subclasses. */
bool zt_takes_decimal(PyObject *value)
{
    PyObject *type = zt_conv_decimal_type();
    if (type == nullptr) {
        PyErr_Clear();
        return false;
    }
    return PyType_IsSubtype(Py_TYPE(value), (PyTypeObject *)type) != 0;
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

/* ---- library -> Python: the module's own forms ---- */

/* The library's boolean byte ('T' / 'F') as a one-byte bytes object. */
PyObject *zt_boolean_value(cursorObject *self, int col, int type)
{
    return zt_fixed_item<char>(self, col, type, [](char v) {
        return PyBytes_FromStringAndSize(&v, 1);
    });
}

PyObject *zt_tinyint_value(cursorObject *self, int col, int type)
{
    return zt_fixed_item<unsigned char>(self, col, type, [](unsigned char v) {
        return PyLong_FromLong(v);
    });
}

/* SMALLINT, INTEGER and BIGINT, each read in its own width. */
PyObject *zt_int_value(cursorObject *self, int col, int type)
{
    if (type == ZTC_TYPE_SMALLINT)
        return zt_fixed_item<int16_t>(self, col, type, [](int16_t v) { return PyLong_FromLong(v); });
    if (type == ZTC_TYPE_INTEGER)
        return zt_fixed_item<int32_t>(self, col, type, [](int32_t v) { return PyLong_FromLong(v); });
    return zt_fixed_item<int64_t>(self, col, type, [](int64_t v) { return PyLong_FromLongLong(v); });
}

PyObject *zt_float_value(cursorObject *self, int col, int type)
{
    if (type == ZTC_TYPE_FLOAT)
        return zt_fixed_item<float>(self, col, type, [](float v) { return PyFloat_FromDouble(v); });
    return zt_fixed_item<double>(self, col, type, [](double v) { return PyFloat_FromDouble(v); });
}

/* NUMERIC arrives as decimal text and becomes a float. The interpreter's own parser
 * is used because strtod follows the C locale's decimal point, which a program may
 * have changed. */
PyObject *zt_numeric_value(cursorObject *self, int col, int)
{
    char text[41];
    std::memset(text, 0, sizeof text);
    int length = 0;
    if (zt_get_data(self, col, ZTC_TYPE_NUMERIC, text, 40, &length) < 0)
        return nullptr;
    if (length <= 0)
        Py_RETURN_NONE;
    char *end = nullptr;
    double v = PyOS_string_to_double(text, &end, nullptr);
    if (v == -1.0 && PyErr_Occurred())
        return nullptr;
    return PyFloat_FromDouble(v);
}

PyObject *zt_int_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.decoded)
        return PyLong_FromLongLong(v.integer);
    *served = false;
    return nullptr;
}

PyObject *zt_float_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.decoded)
        return PyFloat_FromDouble(v.real);
    *served = false;
    return nullptr;
}

/* ---- library -> Python: the Python-typed forms ---- */

PyObject *zt_py_boolean_value(cursorObject *self, int col, int type)
{
    return zt_py_fixed<char>(self, col, type, [](char v) {
        return PyBool_FromLong(v == 'T' || v == 't' || v == 1);
    });
}

PyObject *zt_py_tinyint_value(cursorObject *self, int col, int type)
{
    return zt_py_fixed<signed char>(self, col, type, [](signed char v) {
        return PyLong_FromLong(v);
    });
}

PyObject *zt_py_int_value(cursorObject *self, int col, int type)
{
    if (type == ZTC_TYPE_SMALLINT)
        return zt_py_fixed<int16_t>(self, col, type, [](int16_t v) { return PyLong_FromLong(v); });
    if (type == ZTC_TYPE_INTEGER)
        return zt_py_fixed<int32_t>(self, col, type, [](int32_t v) { return PyLong_FromLong(v); });
    return zt_py_fixed<int64_t>(self, col, type, [](int64_t v) { return PyLong_FromLongLong(v); });
}

PyObject *zt_py_float_value(cursorObject *self, int col, int type)
{
    if (type == ZTC_TYPE_FLOAT)
        return zt_py_fixed<float>(self, col, type, [](float v) { return PyFloat_FromDouble(v); });
    return zt_py_fixed<double>(self, col, type, [](double v) { return PyFloat_FromDouble(v); });
}

/* A Decimal from a NUMERIC's text (NaN and Infinity included). */
PyObject *zt_decimal_from_text(const char *text, size_t n)
{
    PyObject *type = zt_conv_decimal_type();
    if (type == nullptr)
        return nullptr;
    PyRef s(PyUnicode_DecodeASCII(text, (Py_ssize_t)n, nullptr));
    if (!s)
        return nullptr;
    return PyObject_CallOneArg(type, s.get());
}

PyObject *zt_py_numeric_value(cursorObject *self, int col, int)
{
    return zt_py_text(self, col, ZTC_TYPE_VARCHAR, [](const char *text, size_t n) -> PyObject * {
        return zt_decimal_from_text(text, n);
    });
}

PyObject *zt_py_boolean_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.decoded)
        return PyBool_FromLong(v.integer != 0);
    *served = false;
    return nullptr;
}

PyObject *zt_py_numeric_view(cursorObject *, int, int, const ZTC_ROWVALUE &v, bool *served)
{
    *served = true;
    if (v.text == nullptr && v.length == -1)
        Py_RETURN_NONE;
    if (v.text != nullptr)
        return zt_decimal_from_text(v.text, (size_t)v.length);
    *served = false;
    return nullptr;
}

} // namespace

/* Procedures' spelling: "%g" when that reads back as the same double, else the shortest
 * precision that does, so that no digit of the value is lost ("0.1", "1e+20"). */
static std::string zt_float_text_g(double v)
{
    std::string text;
    for (int precision = 6; precision <= 17; precision++) {
        char *form = PyOS_double_to_string(v, 'g', precision, 0, nullptr);
        if (form == nullptr)
            return std::string();
        text = form;
        PyMem_Free(form);
        if (std::isnan(v) || PyOS_string_to_double(text.c_str(), nullptr, nullptr) == v)
            break;
        PyErr_Clear();
    }
    return text;
}

std::string zt_float_text(double v, zt_float_spelling spelling)
{
    if (spelling == ZT_FLOAT_G)
        return zt_float_text_g(v);
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

/* The module's own forms: a bool is an int to procedures; Decimal has no procedure code
 * of its own (the position's declared code decides). */
const zt_adapter zt_adapt_bool = {"bool", zt_bool_type, zt_takes_nothing, ZTC_TYPE_BIGINT,
                                  zt_encode_bool};
const zt_adapter zt_adapt_int = {"int", zt_int_type, zt_takes_int, ZTC_TYPE_BIGINT,
                                 zt_encode_int};
const zt_adapter zt_adapt_float = {"float", zt_float_type, zt_takes_float, ZTC_TYPE_DOUBLE,
                                   zt_encode_float};
const zt_adapter zt_adapt_decimal = {"Decimal", nullptr, zt_takes_decimal, ZTC_TYPE_NULL,
                                     zt_encode_numeric_text};
/* The Python-typed forms. */
const zt_adapter zt_adapt_bool_typed = {"bool", zt_bool_type, zt_takes_nothing,
                                        ZTC_TYPE_BOOLEAN, zt_encode_bool_typed};
const zt_adapter zt_adapt_int_typed = {"int", zt_int_type, zt_takes_int, ZTC_TYPE_INT_LITERAL,
                                       zt_encode_int_typed};
const zt_adapter zt_adapt_float_typed = {"float", zt_float_type, zt_takes_float,
                                         ZTC_TYPE_DOUBLE, zt_encode_double};
const zt_adapter zt_adapt_decimal_typed = {"Decimal", nullptr, zt_takes_decimal,
                                           ZTC_TYPE_NUMERIC, zt_encode_numeric_text};

const zt_decoder zt_dec_boolean = {zt_boolean_value, nullptr};
const zt_decoder zt_dec_tinyint = {zt_tinyint_value, nullptr};
const zt_decoder zt_dec_int = {zt_int_value, zt_int_view};
const zt_decoder zt_dec_float = {zt_float_value, zt_float_view};
const zt_decoder zt_dec_numeric = {zt_numeric_value, nullptr};
const zt_decoder zt_pydec_boolean = {zt_py_boolean_value, zt_py_boolean_view};
const zt_decoder zt_pydec_tinyint = {zt_py_tinyint_value, zt_int_view};
const zt_decoder zt_pydec_int = {zt_py_int_value, zt_int_view};
const zt_decoder zt_pydec_float = {zt_py_float_value, zt_float_view};
const zt_decoder zt_pydec_numeric = {zt_py_numeric_value, zt_py_numeric_view};

/* ---- procedure and function positions ---- */

namespace {

/* Smallest NUMERIC text buffer; a longer decimal text gets a buffer of its length. */
const int32_t ZT_NUMERIC_BUFFER = 64;

/* Converts an integer item for code `code` into *out, refusing a value that the
 * library's width for that code cannot hold instead of sending other bits. */
int zt_call_integer_value(Py_ssize_t i, PyObject *item, int code, long long *out)
{
    if (!PyIndex_Check(item))
        return zt_call_unsuitable(i, item, code);
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

/* BOOLEAN, TINYINT, SMALLINT, INTEGER and BIGINT positions: the value in the width the
 * library reads for the code. */
int zt_call_integer(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    const int code = slot.code;
    long long value = 0;
    if (zt_call_integer_value(pos.i, item, code, &value) < 0)
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
        /* BOOLEAN and TINYINT keep a 32-bit value of which the library reads the low
         * byte (buffer length 1); INTEGER passes all four bytes. */
        int32_t v = static_cast<int32_t>(value);
        std::memcpy(slot.data(), &v, sizeof v);
        slot.buflen = length = (code == ZTC_TYPE_INTEGER) ? 4 : 1;
        slot.readback = (code == ZTC_TYPE_BOOLEAN)   ? zt_readback::boolean
                        : (code == ZTC_TYPE_TINYINT) ? zt_readback::int8
                                                     : zt_readback::int32;
    }
    return 0;
}

/* FLOAT and DOUBLE positions take a number (float, int, or anything with __float__ or
 * __index__). */
int zt_call_float(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    const int code = slot.code;
    if (!PyNumber_Check(item))
        return zt_call_unsuitable(pos.i, item, code);
    double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred())
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

/* The decimal text of a NUMERIC item: a float as its shortest exact decimal, a str as it
 * stands, an int or a Decimal as their exact decimal text. */
int zt_call_numeric_text(Py_ssize_t i, PyObject *item, std::string *out)
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
            return zt_call_unsuitable(i, item, ZTC_TYPE_NUMERIC);
        text.reset(PyObject_Str(item));
    }
    if (!text)
        return -1;
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!utf8 || zt_call_refuse_zero(i, utf8, len) < 0)
        return -1;
    out->assign(utf8, static_cast<size_t>(len));
    return 0;
}

/* NUMERIC positions: the value's decimal text. */
int zt_call_numeric(const zt_call_pos &pos, PyObject *item, zt_slot &slot, int32_t &length)
{
    std::string text;
    if (zt_call_numeric_text(pos.i, item, &text) < 0)
        return -1;
    if (zt_call_check_size(pos.i, static_cast<Py_ssize_t>(text.size())) < 0)
        return -1;
    int32_t size = static_cast<int32_t>(text.size()) + 1;
    slot.allocate(size > ZT_NUMERIC_BUFFER ? size : ZT_NUMERIC_BUFFER);
    std::memcpy(slot.data(), text.data(), text.size());
    length = static_cast<int32_t>(text.size());
    slot.readback = zt_readback::numeric;
    return 0;
}

/* With Python types on, an int goes as an 8-byte value that the library types as the
 * same number written in SQL (integer, then bigint); one beyond 64 bits as numeric. */
int zt_call_int_literal(const zt_call_pos &pos, PyObject *item, zt_slot &slot,
                        int32_t &length)
{
    if (item == Py_None) {
        zt_null_input(slot, length);
        return 0;
    }
    if (!PyLong_Check(item))
        return zt_call_unsuitable(pos.i, item, ZTC_TYPE_INT_LITERAL);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (overflow != 0) {
        slot.code = ZTC_TYPE_NUMERIC;
        return zt_call_numeric(pos, item, slot, length);
    }
    int64_t value = v;
    slot.allocate(8);
    std::memcpy(slot.data(), &value, sizeof value);
    slot.buflen = length = 8;
    slot.readback = zt_readback::int64;
    return 0;
}

/* A function's BOOLEAN return: the one byte of its text. */
PyObject *zt_return_boolean(zt_slot &slot, int32_t)
{
    return PyBytes_FromStringAndSize(slot.data(), 1);
}

/* TINYINT, SMALLINT and INTEGER returns: the text's number cut to 32 bits. */
PyObject *zt_return_int32(zt_slot &slot, int32_t)
{
    return PyLong_FromLong(static_cast<int32_t>(std::strtoll(slot.data(), nullptr, 10)));
}

PyObject *zt_return_int64(zt_slot &slot, int32_t)
{
    return PyLong_FromLongLong(std::strtoll(slot.data(), nullptr, 10));
}

/* FLOAT, DOUBLE and NUMERIC returns: a float whatever the process locale says. */
PyObject *zt_return_float(zt_slot &slot, int32_t)
{
    return PyFloat_FromDouble(zt_parse_float(slot.data()));
}

const zt_call_codec zt_number_call_codecs[] = {
    {ZTC_TYPE_BOOLEAN, zt_call_integer, zt_return_boolean},
    {ZTC_TYPE_TINYINT, zt_call_integer, zt_return_int32},
    {ZTC_TYPE_SMALLINT, zt_call_integer, zt_return_int32},
    {ZTC_TYPE_INTEGER, zt_call_integer, zt_return_int32},
    {ZTC_TYPE_BIGINT, zt_call_integer, zt_return_int64},
    {ZTC_TYPE_FLOAT, zt_call_float, zt_return_float},
    {ZTC_TYPE_DOUBLE, zt_call_float, zt_return_float},
    {ZTC_TYPE_NUMERIC, zt_call_numeric, zt_return_float},
};

const zt_call_codec zt_int_literal_call_codecs[] = {
    {ZTC_TYPE_INT_LITERAL, zt_call_int_literal, nullptr},
};

} // namespace

const zt_call_codecs zt_call_number = {zt_number_call_codecs,
                                       sizeof zt_number_call_codecs / sizeof zt_number_call_codecs[0]};
/* Python types only: an int position typed as the number it is. */
const zt_call_codecs zt_call_int_literal_codecs = {
    zt_int_literal_call_codecs,
    sizeof zt_int_literal_call_codecs / sizeof zt_int_literal_call_codecs[0]};
