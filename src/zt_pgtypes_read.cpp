/* zt_pgtypes_read.cpp - reading PostgreSQL's own types by server type: each column's reader
 * is resolved once per result (kept as a capsule in self->pg_plan) and the row path only
 * calls it. Readers parse the server's text form in C: arrays of any dimension (quoted
 * elements, NULL, the "[1:2]=" bounds decoration), ranges and multiranges, uuid,
 * inet/cidr, json through the map's loads, and the scalar element types of arrays and
 * ranges; a loader registered in the cursor's adapters map is called for its columns. */
#include "zt_pgtypes.h"
#include "zt_pgtypes_impl.h"
#include "pyzt_util.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace zt_pg {

namespace {

/* One reader: what a value of one server type becomes. */
enum class Read {
    Default,     /* not ours: the row path reads it as before */
    PyLoader,    /* fn is a loader's bound `load`, given the value's bytes */
    Json,        /* fn is the map's loads, given the value's str */
    Uuid,
    Inet,
    Cidr,
    Int,
    Float,
    Numeric,
    Bool,
    Text,
    Bytea,
    Date,
    Timestamp,
    TimestampTz,
    Time,
    Array,       /* sub reads the elements; delimiter separates them */
    Range,       /* sub reads the bounds */
    Multirange,  /* sub reads the ranges */
};

struct Reader {
    Read kind = Read::Default;
    unsigned oid = 0;
    PyRef fn;
    std::shared_ptr<Reader> sub;
    char delimiter = ',';
};

struct Plan {
    std::vector<Reader> columns;
};

const char kPlanName[] = "ztcondb.column_readers";

/* ---- scalar texts ---- */

int digits(const char *&p, const char *end, int count, long *out)
{
    long v = 0;
    for (int i = 0; i < count; ++i, ++p) {
        if (p >= end || *p < '0' || *p > '9')
            return -1;
        v = v * 10 + (*p - '0');
    }
    *out = v;
    return 0;
}

PyObject *bad_text(const char *what, const char *s, size_t n)
{
    PyErr_Format(DataError, "'%.60s' is not a %s Python can hold",
                 std::string(s, n).c_str(), what);
    return nullptr;
}

/* "YYYY-MM-DD" at p, moving p past it; -1 (no error set) when it is not one. */
int parse_date(const char *&p, const char *end, long *y, long *m, long *d)
{
    if (digits(p, end, 4, y) < 0 || p >= end || *p++ != '-' || digits(p, end, 2, m) < 0 ||
        p >= end || *p++ != '-' || digits(p, end, 2, d) < 0)
        return -1;
    return 0;
}

/* "HH:MM:SS[.ffffff]" at p. */
int parse_time(const char *&p, const char *end, long *h, long *mi, long *s, long *us)
{
    if (digits(p, end, 2, h) < 0 || p >= end || *p++ != ':' || digits(p, end, 2, mi) < 0 ||
        p >= end || *p++ != ':' || digits(p, end, 2, s) < 0)
        return -1;
    *us = 0;
    if (p < end && *p == '.') {
        ++p;
        long scale = 100000;
        int n = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            if (n++ < 6) {
                *us += (*p - '0') * scale;
                scale /= 10;
            }
            ++p;
        }
        if (n == 0)
            return -1;
    }
    return 0;
}

/* "+HH[:MM[:SS]]" at p: the offset in seconds. */
int parse_offset(const char *&p, const char *end, long *seconds)
{
    if (p >= end || (*p != '+' && *p != '-'))
        return -1;
    const int sign = *p++ == '-' ? -1 : 1;
    long h = 0, m = 0, s = 0;
    if (digits(p, end, 2, &h) < 0)
        return -1;
    if (p < end && *p == ':') {
        ++p;
        if (digits(p, end, 2, &m) < 0)
            return -1;
        if (p < end && *p == ':') {
            ++p;
            if (digits(p, end, 2, &s) < 0)
                return -1;
        }
    }
    *seconds = sign * (h * 3600 + m * 60 + s);
    return 0;
}

PyObject *read_date(const char *s, size_t n)
{
    const char *p = s, *end = s + n;
    long y, m, d;
    if (parse_date(p, end, &y, &m, &d) < 0 || p != end || y < 1)
        return bad_text("date", s, n);
    return PyDate_FromDate((int)y, (int)m, (int)d);
}

PyObject *read_time(const char *s, size_t n)
{
    const char *p = s, *end = s + n;
    long h, mi, sec, us;
    if (parse_time(p, end, &h, &mi, &sec, &us) < 0 || p != end || h > 23)
        return bad_text("time", s, n);
    return PyTime_FromTime((int)h, (int)mi, (int)sec, (int)us);
}

PyObject *read_timestamp(const char *s, size_t n, bool zoned)
{
    const char *p = s, *end = s + n;
    long y, m, d, h, mi, sec, us, offset = 0;
    if (parse_date(p, end, &y, &m, &d) < 0 || p >= end || (*p != ' ' && *p != 'T'))
        return bad_text(zoned ? "timestamptz" : "timestamp", s, n);
    ++p;
    if (parse_time(p, end, &h, &mi, &sec, &us) < 0 || y < 1 ||
        (zoned && parse_offset(p, end, &offset) < 0) || p != end)
        return bad_text(zoned ? "timestamptz" : "timestamp", s, n);
    PyRef naive(PyDateTimeAPI->DateTime_FromDateAndTime((int)y, (int)m, (int)d, (int)h, (int)mi,
                                                         (int)sec, (int)us, Py_None,
                                                         PyDateTimeAPI->DateTimeType));
    if (!naive || !zoned)
        return naive.release();
    /* The instant in UTC, as the row path gives a timestamptz. */
    PyObject *utc = PyDateTimeAPI->TimeZone_UTC;
    PyRef shift(PyDelta_FromDSU(0, (int)-offset, 0));
    if (!shift)
        return nullptr;
    PyRef moved(offset == 0 ? naive.release() : PyNumber_Add(naive.get(), shift.get()));
    if (!moved)
        return nullptr;
    PyObject *t = moved.get();
    return PyDateTimeAPI->DateTime_FromDateAndTime(
        PyDateTime_GET_YEAR(t), PyDateTime_GET_MONTH(t), PyDateTime_GET_DAY(t),
        PyDateTime_DATE_GET_HOUR(t), PyDateTime_DATE_GET_MINUTE(t),
        PyDateTime_DATE_GET_SECOND(t), PyDateTime_DATE_GET_MICROSECOND(t), utc,
        PyDateTimeAPI->DateTimeType);
}

PyObject *read_bytea(const char *s, size_t n)
{
    if (n < 2 || s[0] != '\\' || s[1] != 'x' || n % 2 != 0)
        return bad_text("bytea", s, n);
    std::string out((n - 2) / 2, '\0');
    for (size_t i = 2, o = 0; i < n; i += 2, ++o) {
        int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return bad_text("bytea", s, n);
        out[o] = (char)(hi * 16 + lo);
    }
    return PyBytes_FromStringAndSize(out.data(), (Py_ssize_t)out.size());
}

/* uuid.UUID built without its __init__ (which parses the text again in Python): the
 * 128-bit number goes straight into the instance's `int` slot. */
PyObject *read_uuid(const char *s, size_t n)
{
    char hex[33];
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '-')
            continue;
        if (k == 32 || hex_digit(s[i]) < 0)
            return bad_text("uuid", s, n);
        hex[k++] = s[i];
    }
    if (k != 32)
        return bad_text("uuid", s, n);
    hex[32] = '\0';
    PyRef number(PyLong_FromString(hex, nullptr, 16));
    if (!number)
        return nullptr;
    const Objects &o = objects();
    PyRef u(PyObject_CallMethodObjArgs(o.object_type, o.new_name, o.uuid_type, nullptr));
    if (!u || PyObject_GenericSetAttr(u.get(), o.int_name, number.get()) < 0 ||
        PyObject_GenericSetAttr(u.get(), o.is_safe_name, o.safe_unknown) < 0)
        return nullptr;
    return u.release();
}

PyObject *call_on_str(PyObject *fn, const char *s, size_t n)
{
    PyRef text(PyUnicode_DecodeUTF8(s, (Py_ssize_t)n, nullptr));
    if (!text)
        return nullptr;
    return PyObject_CallOneArg(fn, text.get());
}

/* The number of a dotted IPv4 address ("10.0.0.1"), or -1 when the text is not one. */
long long ipv4_number(const char *s, size_t n)
{
    long long number = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= n || s[at++] != '.'))
            return -1;
        int digits = 0, value = 0;
        while (at < n && s[at] >= '0' && s[at] <= '9' && digits < 3) {
            value = value * 10 + (s[at++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255)
            return -1;
        number = number * 256 + value;
    }
    return at == n ? number : -1;
}

/* inet: an IPv4 host address from its number (IPv4Address(int) skips the text parser);
 * any other text through ip_address, or ip_interface when it has a prefix. */
PyObject *read_inet(const char *s, size_t n)
{
    const Objects &o = objects();
    const long long v4 = ipv4_number(s, n);
    if (v4 >= 0) {
        PyRef number(PyLong_FromLongLong(v4));
        return number ? PyObject_CallOneArg(o.ipv4_type, number.get()) : nullptr;
    }
    return call_on_str(std::memchr(s, '/', n) ? o.ip_interface : o.ip_address, s, n);
}

PyObject *decode(const Reader &r, const char *s, size_t n);

/* ---- arrays, ranges ---- */

/* Reads one element of an array or a bound of a range at p: quoted (backslash escapes
 * undone into scratch) or bare up to one of `stops`. *null is set for a bare NULL. */
int element_text(const char *&p, const char *end, const char *stops, std::string &scratch,
                 const char *&text, size_t &len, bool *null)
{
    *null = false;
    if (p < end && *p == '"') {
        ++p;
        scratch.clear();
        while (p < end && *p != '"') {
            if (*p == '\\' && p + 1 < end)
                ++p;
            scratch.push_back(*p++);
        }
        if (p >= end)
            return -1;
        ++p;
        text = scratch.data();
        len = scratch.size();
        return 0;
    }
    const char *start = p;
    while (p < end && std::strchr(stops, *p) == nullptr)
        ++p;
    const char *stop = p;
    while (stop > start && (stop[-1] == ' ' || stop[-1] == '\t'))
        --stop;
    text = start;
    len = (size_t)(stop - start);
    *null = len == 4 && (std::strncmp(start, "NULL", 4) == 0 || std::strncmp(start, "null", 4) == 0);
    return 0;
}

void skip_blanks(const char *&p, const char *end)
{
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
        ++p;
}

PyObject *bad_array(const char *s, size_t n)
{
    PyErr_Format(DataError, "'%.60s' is not an array text", std::string(s, n).c_str());
    return nullptr;
}

/* One level "{...}" of an array at p (which is at its '{'): a list of its elements or of
 * the lists of the next level. */
PyObject *array_level(const Reader &r, const char *&p, const char *end, const char *s,
                      size_t n, int depth)
{
    if (depth > 6 || p >= end || *p != '{')
        return bad_array(s, n);
    ++p;
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    skip_blanks(p, end);
    if (p < end && *p == '}') {
        ++p;
        return list.release();
    }
    const char stops[] = {r.delimiter, '}', '\0'};
    std::string scratch;
    for (;;) {
        skip_blanks(p, end);
        PyRef item;
        if (p < end && *p == '{') {
            item.reset(array_level(r, p, end, s, n, depth + 1));
        } else {
            const char *text = nullptr;
            size_t len = 0;
            bool null = false;
            if (element_text(p, end, stops, scratch, text, len, &null) < 0)
                return bad_array(s, n);
            if (null)
                item = PyRef::borrow(Py_None);
            else
                item.reset(decode(*r.sub, text, len));
        }
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            return nullptr;
        skip_blanks(p, end);
        if (p < end && *p == r.delimiter) {
            ++p;
            continue;
        }
        if (p < end && *p == '}') {
            ++p;
            return list.release();
        }
        return bad_array(s, n);
    }
}

PyObject *read_array(const Reader &r, const char *s, size_t n)
{
    const char *p = s, *end = s + n;
    /* "[1:2][0:1]={...}": arrays whose lower bounds are not 1 say so first. */
    if (p < end && *p == '[') {
        const char *eq = static_cast<const char *>(std::memchr(p, '=', n));
        if (eq == nullptr)
            return bad_array(s, n);
        p = eq + 1;
    }
    PyRef list(array_level(r, p, end, s, n, 0));
    if (list && p != end)
        return bad_array(s, n);
    return list.release();
}

/* A range at p: "empty", or a bound character, two bounds, a bound character. */
PyObject *range_at(const Reader &r, const char *&p, const char *end, const char *s, size_t n)
{
    const Objects &o = objects();
    if (end - p >= 5 && std::strncmp(p, "empty", 5) == 0) {
        p += 5;
        PyRef args(PyTuple_New(0));
        PyRef kw(Py_BuildValue("{s:O}", "empty", Py_True));
        if (!args || !kw)
            return nullptr;
        return PyObject_Call(o.range_type, args.get(), kw.get());
    }
    if (p >= end || (*p != '[' && *p != '('))
        return bad_text("range", s, n);
    char bounds[3] = {*p++, 0, 0};
    std::string scratch;
    PyRef lower, upper;
    for (int side = 0; side < 2; ++side) {
        const char *text = nullptr;
        size_t len = 0;
        bool null = false;
        const char *stops = side == 0 ? "," : "])";
        const bool quoted = p < end && *p == '"';
        if (element_text(p, end, stops, scratch, text, len, &null) < 0)
            return bad_text("range", s, n);
        PyRef value;
        if (len == 0 && !quoted)
            value = PyRef::borrow(Py_None);
        else
            value.reset(decode(*r.sub, text, len));
        if (!value)
            return nullptr;
        (side == 0 ? lower : upper) = std::move(value);
        if (p >= end)
            return bad_text("range", s, n);
        if (side == 0) {
            if (*p++ != ',')
                return bad_text("range", s, n);
        } else {
            bounds[1] = *p++;
        }
    }
    PyRef text_bounds(PyUnicode_FromString(bounds));
    if (!text_bounds)
        return nullptr;
    return PyObject_CallFunctionObjArgs(o.range_type, lower.get(), upper.get(),
                                        text_bounds.get(), nullptr);
}

PyObject *read_range(const Reader &r, const char *s, size_t n)
{
    const char *p = s, *end = s + n;
    PyRef range(range_at(r, p, end, s, n));
    if (range && p != end)
        return bad_text("range", s, n);
    return range.release();
}

PyObject *read_multirange(const Reader &r, const char *s, size_t n)
{
    const char *p = s, *end = s + n;
    if (p >= end || *p++ != '{')
        return bad_text("multirange", s, n);
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    skip_blanks(p, end);
    while (p < end && *p != '}') {
        PyRef range(range_at(*r.sub, p, end, s, n));
        if (!range || PyList_Append(list.get(), range.get()) < 0)
            return nullptr;
        skip_blanks(p, end);
        if (p < end && *p == ',') {
            ++p;
            skip_blanks(p, end);
        }
    }
    if (p >= end || p + 1 != end)
        return bad_text("multirange", s, n);
    return PyObject_CallOneArg(objects().multirange_type, list.get());
}

PyObject *decode(const Reader &r, const char *s, size_t n)
{
    const Objects &o = objects();
    switch (r.kind) {
    case Read::PyLoader: {
        PyRef data(PyBytes_FromStringAndSize(s, (Py_ssize_t)n));
        return data ? PyObject_CallOneArg(r.fn.get(), data.get()) : nullptr;
    }
    case Read::Json:
        return call_on_str(r.fn.get(), s, n);
    case Read::Uuid:
        return read_uuid(s, n);
    case Read::Inet:
        return read_inet(s, n);
    case Read::Cidr:
        return call_on_str(o.ip_network, s, n);
    case Read::Int: {
        /* Up to 18 digits fit 64 bits whatever they are: parsed here; longer ones (an
         * oid, an int8's extremes) by Python. */
        size_t i = n > 0 && (s[0] == '-' || s[0] == '+') ? 1 : 0;
        if (n > i && n - i <= 18) {
            long long v = 0;
            size_t k = i;
            for (; k < n && s[k] >= '0' && s[k] <= '9'; ++k)
                v = v * 10 + (s[k] - '0');
            if (k == n)
                return PyLong_FromLongLong(s[0] == '-' ? -v : v);
            return bad_text("integer", s, n);
        }
        std::string text(s, n);
        char *stop = nullptr;
        PyRef v(PyLong_FromString(text.c_str(), &stop, 10));
        if (!v || *stop != '\0')
            return v ? bad_text("integer", s, n) : nullptr;
        return v.release();
    }
    case Read::Float: {
        char small[64];
        std::string big;
        const char *text = small;
        if (n < sizeof small) {
            std::memcpy(small, s, n);
            small[n] = '\0';
        } else {
            big.assign(s, n);
            text = big.c_str();
        }
        char *stop = nullptr;
        double d = PyOS_string_to_double(text, &stop, nullptr);
        if (d == -1.0 && PyErr_Occurred())
            return nullptr;
        if (*stop != '\0')
            return bad_text("float", s, n);
        return PyFloat_FromDouble(d);
    }
    case Read::Numeric:
        return call_on_str(o.decimal_type, s, n);
    case Read::Bool:
        if (n == 1 && (s[0] == 't' || s[0] == 'f'))
            return PyBool_FromLong(s[0] == 't');
        return bad_text("boolean", s, n);
    case Read::Bytea:
        return read_bytea(s, n);
    case Read::Date:
        return read_date(s, n);
    case Read::Timestamp:
        return read_timestamp(s, n, false);
    case Read::TimestampTz:
        return read_timestamp(s, n, true);
    case Read::Time:
        return read_time(s, n);
    case Read::Array:
        return read_array(r, s, n);
    case Read::Range:
        return read_range(r, s, n);
    case Read::Multirange:
        return read_multirange(r, s, n);
    case Read::Text:
    case Read::Default:
        break;
    }
    return PyUnicode_DecodeUTF8(s, (Py_ssize_t)n, nullptr);
}

/* ---- resolving a column's reader ---- */

struct BuiltinRange {
    unsigned range, multirange;
    Read bound;
};
const BuiltinRange kRanges[] = {
    {3904, 4451, Read::Int},       {3926, 4536, Read::Int},
    {3906, 4532, Read::Numeric},   {3908, 4533, Read::Timestamp},
    {3910, 4534, Read::TimestampTz}, {3912, 4535, Read::Date},
};

/* The reader of an element or bound of a built-in scalar type. */
Read scalar_of(unsigned oid)
{
    switch (oid) {
    case 20: case 21: case 23: case 26: return Read::Int;
    case 700: case 701: return Read::Float;
    case 1700: return Read::Numeric;
    case 16: return Read::Bool;
    case 17: return Read::Bytea;
    case 1082: return Read::Date;
    case 1114: return Read::Timestamp;
    case 1184: return Read::TimestampTz;
    case 1083: return Read::Time;
    default: return Read::Text;
    }
}

int resolve(const Context &ctx, unsigned oid, unsigned element, bool top, Reader &out);

/* A registered loader for oid in the map: its bound `load`, or null (no error) when none. */
PyObject *registered_loader(const Context &ctx, unsigned oid)
{
    if (ctx.loaders == nullptr || PyDict_GET_SIZE(ctx.loaders) == 0)
        return nullptr;
    PyRef key(PyLong_FromUnsignedLong(oid));
    if (!key)
        return nullptr;
    PyObject *cls = PyDict_GetItemWithError(ctx.loaders, key.get());
    if (cls == nullptr)
        return nullptr;
    PyRef loader(PyObject_CallFunctionObjArgs(cls, key.get(), ctx.context, nullptr));
    if (!loader)
        return nullptr;
    return PyObject_GetAttr(loader.get(), objects().load_name);
}

int resolve_sub(const Context &ctx, unsigned oid, Reader &parent)
{
    parent.sub = std::make_shared<Reader>();
    if (resolve(ctx, oid, 0, false, *parent.sub) < 0)
        return -1;
    if (parent.sub->kind == Read::Default)
        parent.sub->kind = scalar_of(oid);
    return 0;
}

/* Fills out with the reader of a value of type oid (an array's element type given, or 0);
 * top: a column, where the row path's own reading of the plain types is kept. */
int resolve(const Context &ctx, unsigned oid, unsigned element, bool top, Reader &out)
{
    out.oid = oid;
    PyObject *load = registered_loader(ctx, oid);
    if (load != nullptr) {
        out.kind = Read::PyLoader;
        out.fn.reset(load);
        return 0;
    }
    if (PyErr_Occurred())
        return -1;
    switch (oid) {
    case 114:
    case 3802:
        out.kind = Read::Json;
        out.fn = PyRef::borrow(ctx.loads);
        return 0;
    case 2950: out.kind = Read::Uuid; return 0;
    case 869: out.kind = Read::Inet; return 0;
    case 650: out.kind = Read::Cidr; return 0;
    case 26: out.kind = Read::Int; return 0;
    default: break;
    }
    for (const BuiltinRange &b : kRanges) {
        if (oid == b.range || oid == b.multirange) {
            Reader range;
            range.kind = Read::Range;
            range.oid = b.range;
            range.sub = std::make_shared<Reader>();
            range.sub->kind = b.bound;
            if (oid == b.range) {
                out = std::move(range);
                return 0;
            }
            out.kind = Read::Multirange;
            out.sub = std::make_shared<Reader>(std::move(range));
            return 0;
        }
    }
    if (element == 0 && ctx.elements != nullptr && PyDict_GET_SIZE(ctx.elements) > 0) {
        PyRef key(PyLong_FromUnsignedLong(oid));
        if (!key)
            return -1;
        PyObject *e = PyDict_GetItemWithError(ctx.elements, key.get());
        if (e == nullptr && PyErr_Occurred())
            return -1;
        if (e != nullptr)
            element = (unsigned)PyLong_AsUnsignedLong(e);
        if (PyErr_Occurred())
            return -1;
    }
    if (element != 0) {
        out.kind = Read::Array;
        /* box is the one built-in type whose arrays separate elements with ';'. */
        out.delimiter = element == 603 ? ';' : ',';
        return resolve_sub(ctx, element, out);
    }
    (void)top;
    out.kind = Read::Default;
    return 0;
}

void plan_free(PyObject *capsule)
{
    delete static_cast<Plan *>(PyCapsule_GetPointer(capsule, kPlanName));
}

std::string column_name(cursorObject *self, int col)
{
    char name[256];
    std::memset(name, 0, sizeof name);
    if (ZTC_getResultcolname(&self->p_results, col, name) < 0)
        return "?";
    name[sizeof name - 1] = '\0';
    return name;
}

/* DataError naming column and row for a value its reader refused; the reader's own
 * exception becomes the cause. */
PyObject *column_failed(cursorObject *self, int col, unsigned oid, const char *s, size_t n)
{
    PyRef cause(zt_fetch_exception());
    std::string name = column_name(self, col);
    std::string shown(s, n < 60 ? n : 60);
    PyErr_Format(DataError, "column %d (%s), row %lld: the value '%s' of server type %u "
                 "cannot be read: %S", col, name.c_str(), (long long)self->rows_built,
                 shown.c_str(), oid, cause ? cause.get() : Py_None);
    if (cause) {
        PyRef exc(zt_fetch_exception());
        PyException_SetCause(exc.get(), cause.release());
        PyErr_SetObject((PyObject *)Py_TYPE(exc.get()), exc.get());
    }
    return nullptr;
}

}  // namespace

}  // namespace zt_pg

using namespace zt_pg;

void zt_pg_forget_columns(cursorObject *self)
{
    Py_CLEAR(self->pg_plan);
}

int zt_pg_prepare_columns(cursorObject *self)
{
    return zt_pg_prepare_columns_from(self, self);
}

int zt_pg_prepare_columns_from(cursorObject *self, cursorObject *owner)
{
    if (self->pg_plan != nullptr)
        return 0;
    try {
        Context ctx;
        int found = zt_pg_context(owner, &ctx);
        if (found <= 0) {
            if (found < 0)
                return -1;
            Py_INCREF(Py_None);
            self->pg_plan = Py_None;
            return 0;
        }
        int count = 0;
        ZTC_getResultColumnsnum(&self->p_results, &count);
        std::unique_ptr<Plan> plan(new Plan);
        plan->columns.resize(count > 0 ? (size_t)count : 0);
        bool any = false;
        for (int col = 1; col <= count; ++col) {
            unsigned oid = 0, element = 0;
            if (ZTC_getResultcolServerType(&self->p_results, col, &oid, &element) < 0 || oid == 0)
                continue;
            Reader &r = plan->columns[(size_t)col - 1];
            if (resolve(ctx, oid, element, true, r) < 0)
                return -1;
            any = any || r.kind != Read::Default;
        }
        if (!any) {
            Py_INCREF(Py_None);
            self->pg_plan = Py_None;
            return 0;
        }
        PyObject *capsule = PyCapsule_New(plan.get(), kPlanName, plan_free);
        if (capsule == nullptr)
            return -1;
        plan.release();
        self->pg_plan = capsule;
        return 0;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

PyObject *zt_pg_column_value(cursorObject *self, int col, const ZTC_ROWVALUE *v, bool *served)
{
    *served = false;
    if (self->pg_plan == nullptr || self->pg_plan == Py_None)
        return nullptr;
    Plan *plan = static_cast<Plan *>(PyCapsule_GetPointer(self->pg_plan, kPlanName));
    if (plan == nullptr || col < 1 || (size_t)col > plan->columns.size())
        return nullptr;
    const Reader &r = plan->columns[(size_t)col - 1];
    if (r.kind == Read::Default)
        return nullptr;
    *served = true;
    try {
        /* The plan may go while the value is built (Python code re-running the cursor):
         * hold it. */
        PyRef hold = PyRef::borrow(self->pg_plan);
        if (v != nullptr && v->text == nullptr && v->length == -1)
            Py_RETURN_NONE;
        if (v != nullptr && v->text != nullptr) {
            PyObject *item = decode(r, v->text, (size_t)v->length);
            return item ? item : column_failed(self, col, r.oid, v->text, (size_t)v->length);
        }
        std::string text(256, '\0');
        int length = -1;
        for (int attempt = 0; attempt < 2; ++attempt) {
            length = -1;
            if (ZTC_GetData(&self->p_results, col, ZTC_TYPE_VARCHAR, &text[0],
                            (int)text.size(), &length) < 0)
                return zt_raise_library_error(&self->p_conn);
            if (length < 0)
                Py_RETURN_NONE;
            if ((size_t)length < text.size())
                break;
            text.assign((size_t)length + 1, '\0');
        }
        PyObject *item = decode(r, text.data(), (size_t)length);
        return item ? item : column_failed(self, col, r.oid, text.data(), (size_t)length);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}
