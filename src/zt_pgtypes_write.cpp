/* zt_pgtypes_write.cpp - sending PostgreSQL's own types: a value of a type registered in the
 * cursor's adapters map goes through its dumper; a list as an array (its element type
 * inferred, any number of dimensions, a ragged list refused), a dict as jsonb, Json/Jsonb
 * through their dumps, a UUID in binary form, an ip address as inet or cidr, a Range as
 * its range type. Each goes with its server type (ZTC_BindParamTyped); a batch column of
 * them as texts with the column's type (ZTC_SetArrayServerType). */
#include "zt_pgtypes.h"
#include "zt_pgtypes_impl.h"
#include "zt_session.h"

#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace zt_pg {

namespace {

Objects g_objects;
bool g_ready = false;

PyObject *attr_of(const char *module, const char *name)
{
    PyRef m(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

PyObject *intern(const char *name) { return PyUnicode_InternFromString(name); }

/* ---- one value as its server type ---- */

/* What a value is sent as: its type, form and bytes, or NULL. */
struct Out {
    unsigned oid = 0;
    int format = 0;
    bool null = false;
    std::string data;
};

/* The element kinds of an array parameter, each with its element and array types. */
enum class Elem { None, Bool, Int, Int8, Numeric, Float, Text, Bytes, Date, Timestamp, TimestampTz,
                  Time, Interval, Uuid, Jsonb, Inet, Cidr };
struct ElemTypes {
    unsigned element, array;
};
ElemTypes types_of(Elem e)
{
    switch (e) {
    case Elem::Bool: return {16, 1000};
    case Elem::Int: return {23, 1007};
    case Elem::Int8: return {20, 1016};
    case Elem::Numeric: return {1700, 1231};
    case Elem::Float: return {701, 1022};
    case Elem::Text: return {25, 1009};
    case Elem::Bytes: return {17, 1001};
    case Elem::Date: return {1082, 1182};
    case Elem::Timestamp: return {1114, 1115};
    case Elem::TimestampTz: return {1184, 1185};
    case Elem::Time: return {1083, 1183};
    case Elem::Interval: return {1186, 1187};
    case Elem::Uuid: return {2950, 2951};
    case Elem::Jsonb: return {3802, 3807};
    case Elem::Inet: return {869, 1041};
    case Elem::Cidr: return {650, 651};
    case Elem::None: break;
    }
    return {0, 0};
}

const char *elem_name(Elem e)
{
    switch (e) {
    case Elem::Bool: return "bool";
    case Elem::Int:
    case Elem::Int8: return "int";
    case Elem::Numeric: return "Decimal";
    case Elem::Float: return "float";
    case Elem::Text: return "str";
    case Elem::Bytes: return "bytes";
    case Elem::Date: return "date";
    case Elem::Timestamp: return "naive datetime";
    case Elem::TimestampTz: return "aware datetime";
    case Elem::Time: return "time";
    case Elem::Interval: return "timedelta";
    case Elem::Uuid: return "UUID";
    case Elem::Jsonb: return "dict";
    case Elem::Inet: return "ip address";
    case Elem::Cidr: return "ip network";
    case Elem::None: break;
    }
    return "None";
}

/* Where a failure is reported: "parameter 3" or "column 2, row 7". */
struct Where {
    Py_ssize_t pos = 0;
    Py_ssize_t row = -1;
    std::string text() const
    {
        return row < 0 ? "parameter " + std::to_string(pos)
                       : "column " + std::to_string(pos) + ", row " + std::to_string(row);
    }
};

int refuse(PyObject *cls, const Where &w, const std::string &why)
{
    PyErr_Format(cls, "%s: %s", w.text().c_str(), why.c_str());
    return -1;
}

const char *type_name(PyObject *v)
{
    const char *name = Py_TYPE(v)->tp_name;
    const char *dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

int append_str(std::string &out, PyObject *text)
{
    Py_ssize_t n = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &n);
    if (utf8 == nullptr)
        return -1;
    out.append(utf8, (size_t)n);
    return 0;
}

/* str(v) appended. */
int append_text_of(std::string &out, PyObject *v)
{
    PyRef text(PyObject_Str(v));
    return text ? append_str(out, text.get()) : -1;
}

int append_json(const Context &ctx, std::string &out, PyObject *dumps, PyObject *v)
{
    PyRef text(PyObject_CallOneArg(dumps ? dumps : ctx.dumps, v));
    if (!text)
        return -1;
    if (PyBytes_Check(text.get())) {
        out.append(PyBytes_AS_STRING(text.get()), (size_t)PyBytes_GET_SIZE(text.get()));
        return 0;
    }
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "the json dumps function returned %s, not str",
                     type_name(text.get()));
        return -1;
    }
    return append_str(out, text.get());
}

/* The element kind of a non-None leaf value, Elem::None when it has none. */
Elem elem_of(PyObject *v)
{
    const Objects &o = g_objects;
    if (PyBool_Check(v))
        return Elem::Bool;
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow)
            return Elem::Numeric;
        return n >= INT32_MIN && n <= INT32_MAX ? Elem::Int : Elem::Int8;
    }
    if (PyFloat_Check(v))
        return Elem::Float;
    if (PyUnicode_Check(v))
        return Elem::Text;
    if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v))
        return Elem::Bytes;
    if (PyDateTime_Check(v)) {
        PyObject *tz = ((PyDateTime_DateTime *)v)->hastzinfo
                           ? ((PyDateTime_DateTime *)v)->tzinfo : Py_None;
        return tz == Py_None ? Elem::Timestamp : Elem::TimestampTz;
    }
    if (PyDate_Check(v))
        return Elem::Date;
    if (PyTime_Check(v))
        return Elem::Time;
    if (PyDelta_Check(v))
        return Elem::Interval;
    if (PyDict_Check(v))
        return Elem::Jsonb;
    if (PyObject_TypeCheck(v, (PyTypeObject *)o.uuid_type))
        return Elem::Uuid;
    if (PyObject_IsInstance(v, o.decimal_type) == 1)
        return Elem::Numeric;
    if (PyObject_IsInstance(v, o.ip_cidr_types) == 1)
        return Elem::Cidr;
    if (PyObject_IsInstance(v, o.ip_inet_types) == 1)
        return Elem::Inet;
    PyErr_Clear();
    return Elem::None;
}

/* The kind an array holding both a and b has; Elem::None when they do not mix. */
Elem merge(Elem a, Elem b)
{
    if (a == Elem::None || a == b)
        return b;
    auto number = [](Elem e) {
        return e == Elem::Int || e == Elem::Int8 || e == Elem::Numeric || e == Elem::Float;
    };
    if (number(a) && number(b)) {
        if (a == Elem::Float || b == Elem::Float)
            return Elem::Float;
        if (a == Elem::Numeric || b == Elem::Numeric)
            return Elem::Numeric;
        return Elem::Int8;
    }
    if ((a == Elem::Inet && b == Elem::Cidr) || (a == Elem::Cidr && b == Elem::Inet))
        return Elem::Inet;
    return Elem::None;
}

/* The text of one element or range bound (unquoted). */
int element_text(const Context &ctx, std::string &out, PyObject *v, Elem e)
{
    switch (e) {
    case Elem::Bool:
        out.push_back(v == Py_True ? 't' : 'f');
        return 0;
    case Elem::Float: {
        double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d)) {
            out += "NaN";
            return 0;
        }
        if (std::isinf(d)) {
            out += d > 0 ? "Infinity" : "-Infinity";
            return 0;
        }
        PyRef text(PyObject_Repr(v));
        return text ? append_str(out, text.get()) : -1;
    }
    case Elem::Bytes: {
        Py_buffer view;
        if (PyObject_GetBuffer(v, &view, PyBUF_SIMPLE) < 0)
            return -1;
        static const char hex[] = "0123456789abcdef";
        out += "\\x";
        const unsigned char *p = static_cast<const unsigned char *>(view.buf);
        for (Py_ssize_t i = 0; i < view.len; ++i) {
            out.push_back(hex[p[i] >> 4]);
            out.push_back(hex[p[i] & 15]);
        }
        PyBuffer_Release(&view);
        return 0;
    }
    case Elem::Timestamp:
    case Elem::TimestampTz: {
        PyRef text(PyObject_CallMethod(v, "isoformat", "s", " "));
        return text ? append_str(out, text.get()) : -1;
    }
    case Elem::Interval: {
        char text[96];
        int n = zt_timedelta_text(v, text, sizeof text);
        out.append(text, (size_t)n);
        return 0;
    }
    case Elem::Jsonb:
        return append_json(ctx, out, nullptr, v);
    case Elem::Text:
        return append_str(out, v);
    default:
        return append_text_of(out, v);
    }
}

/* Appends text quoted for an array element or a range bound. */
void append_quoted(std::string &out, const char *p, size_t n)
{
    out.push_back('"');
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '"' || p[i] == '\\')
            out.push_back('\\');
        out.push_back(p[i]);
    }
    out.push_back('"');
}

struct ArrayWriter {
    const Context &ctx;
    const Where &where;
    std::vector<Py_ssize_t> shape;
    Elem kind = Elem::None;
    std::string scratch;

    /* The shape from the first item of each level. */
    void measure(PyObject *list)
    {
        PyObject *level = list;
        while (PyList_Check(level)) {
            shape.push_back(PyList_GET_SIZE(level));
            if (PyList_GET_SIZE(level) == 0)
                break;
            level = PyList_GET_ITEM(level, 0);
        }
    }

    int write(std::string &out, PyObject *list, size_t depth)
    {
        if (depth >= 6)
            return refuse(DataError, where, "a list nested deeper than 6 levels");
        const Py_ssize_t n = PyList_GET_SIZE(list);
        if (n != shape[depth])
            return refuse(DataError, where,
                          "the list is ragged: its sub-lists at depth " + std::to_string(depth) +
                              " have " + std::to_string(shape[depth]) + " and " +
                              std::to_string(n) + " items (an array's dimensions are the "
                              "same throughout)");
        out.push_back('{');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0)
                out.push_back(',');
            /* A list's items may change while Python code runs (str() of an item): hold it. */
            PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
            const bool inner = depth + 1 < shape.size();
            if (PyList_Check(item.get()) != inner)
                return refuse(DataError, where,
                              "the list is ragged: lists and values mix at depth " +
                                  std::to_string(depth + 1));
            if (inner) {
                if (write(out, item.get(), depth + 1) < 0)
                    return -1;
                continue;
            }
            if (item.get() == Py_None) {
                out += "NULL";
                continue;
            }
            Elem e = elem_of(item.get());
            if (PyErr_Occurred())
                return -1;
            Elem merged = e == Elem::None ? Elem::None : merge(kind, e);
            if (merged == Elem::None)
                return refuse(ProgrammingError, where,
                              e == Elem::None
                                  ? std::string("a list item of type '") +
                                        type_name(item.get()) + "' cannot be sent in an array"
                                  : std::string("a list mixes ") + elem_name(kind) + " and " +
                                        elem_name(e) + " items");
            kind = merged;
            scratch.clear();
            if (element_text(ctx, scratch, item.get(), e) < 0)
                return -1;
            if (std::memchr(scratch.data(), 0, scratch.size()) != nullptr)
                return refuse(DataError, where, "a list item holds a zero character");
            append_quoted(out, scratch.data(), scratch.size());
        }
        out.push_back('}');
        return 0;
    }
};

int dump_array(const Context &ctx, const Where &w, PyObject *list, Out &out)
{
    ArrayWriter writer{ctx, w, {}, Elem::None, {}};
    writer.measure(list);
    if (writer.write(out.data, list, 0) < 0)
        return -1;
    out.oid = types_of(writer.kind).array;   /* all None or empty: the server's choice */
    return 0;
}

/* The range type of a Range's bounds (and the multirange type), 0 when unknown. Integer
 * ranges go untyped: int4range and int8range have no cast between them, and the server
 * picks the one its context needs (a column, a cast). */
ElemTypes range_types(Elem e)
{
    switch (e) {
    case Elem::Int:
    case Elem::Int8: return {0, 0};
    case Elem::Numeric:
    case Elem::Float: return {3906, 4532};
    case Elem::Date: return {3912, 4535};
    case Elem::Timestamp: return {3908, 4533};
    case Elem::TimestampTz: return {3910, 4534};
    default: return {0, 0};
    }
}

int range_text(const Context &ctx, const Where &w, PyObject *range, std::string &out, Elem *kind)
{
    PyRef empty(PyObject_GetAttrString(range, "isempty"));
    if (!empty)
        return -1;
    if (PyObject_IsTrue(empty.get()) == 1) {
        out += "empty";
        return 0;
    }
    PyRef lower(PyObject_GetAttrString(range, "lower"));
    PyRef upper(lower ? PyObject_GetAttrString(range, "upper") : nullptr);
    PyRef bounds(upper ? PyObject_GetAttrString(range, "bounds") : nullptr);
    if (!bounds)
        return -1;
    Py_ssize_t bn = 0;
    const char *b = PyUnicode_Check(bounds.get()) ? PyUnicode_AsUTF8AndSize(bounds.get(), &bn)
                                                   : nullptr;
    if (b == nullptr || bn != 2)
        return refuse(DataError, w, "a Range's bounds must be two characters such as '[)'");
    out.push_back(b[0]);
    PyObject *ends[2] = {lower.get(), upper.get()};
    for (int i = 0; i < 2; ++i) {
        if (i == 1)
            out.push_back(',');
        if (ends[i] == Py_None)
            continue;
        Elem e = elem_of(ends[i]);
        if (PyErr_Occurred())
            return -1;
        if (e == Elem::None || (*kind = merge(*kind, e)) == Elem::None)
            return refuse(ProgrammingError, w, std::string("a Range bound of type '") +
                                                   type_name(ends[i]) + "' cannot be sent");
        std::string text;
        if (element_text(ctx, text, ends[i], e) < 0)
            return -1;
        append_quoted(out, text.data(), text.size());
    }
    out.push_back(b[1]);
    return 0;
}

int dump_range(const Context &ctx, const Where &w, PyObject *range, Out &out)
{
    Elem kind = Elem::None;
    if (range_text(ctx, w, range, out.data, &kind) < 0)
        return -1;
    out.oid = range_types(kind).element;
    return 0;
}

int dump_multirange(const Context &ctx, const Where &w, PyObject *list, Out &out)
{
    Elem kind = Elem::None;
    out.data.push_back('{');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyRef range = PyRef::borrow(PyList_GET_ITEM(list, i));
        if (!PyObject_TypeCheck(range.get(), (PyTypeObject *)g_objects.range_type))
            return refuse(ProgrammingError, w, "a Multirange holds only Range items");
        if (i > 0)
            out.data.push_back(',');
        if (range_text(ctx, w, range.get(), out.data, &kind) < 0)
            return -1;
    }
    out.data.push_back('}');
    out.oid = range_types(kind).array;
    return 0;
}

/* A dumper registered for the value's type (or a base class): its dump and oid. 1 done,
 * 0 none registered, -1 with an error set. */
int dump_registered(const Context &ctx, PyObject *v, Out &out)
{
    if (ctx.dumpers == nullptr || PyDict_GET_SIZE(ctx.dumpers) == 0)
        return 0;
    PyObject *mro = Py_TYPE(v)->tp_mro;
    PyObject *cls = nullptr;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro) && cls == nullptr; ++i) {
        cls = PyDict_GetItemWithError(ctx.dumpers, PyTuple_GET_ITEM(mro, i));
        if (cls == nullptr && PyErr_Occurred())
            return -1;
    }
    if (cls == nullptr)
        return 0;
    PyRef dumper(PyObject_CallFunctionObjArgs(cls, (PyObject *)Py_TYPE(v), ctx.context, nullptr));
    if (!dumper)
        return -1;
    PyRef data(PyObject_CallMethodObjArgs(dumper.get(), g_objects.dump_name, v, nullptr));
    PyRef oid(data ? PyObject_GetAttr(dumper.get(), g_objects.oid_name) : nullptr);
    PyRef format(oid ? PyObject_GetAttr(dumper.get(), g_objects.format_name) : nullptr);
    if (!format)
        return -1;
    out.oid = (unsigned)PyLong_AsUnsignedLong(oid.get());
    out.format = PyObject_IsTrue(format.get()) == 1 ? 1 : 0;
    if (PyErr_Occurred())
        return -1;
    if (data.get() == Py_None) {
        out.null = true;
        return 1;
    }
    Py_buffer view;
    if (PyUnicode_Check(data.get())) {
        if (append_str(out.data, data.get()) < 0)
            return -1;
        return 1;
    }
    if (PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) < 0)
        return -1;
    out.data.assign(static_cast<const char *>(view.buf), (size_t)view.len);
    PyBuffer_Release(&view);
    return 1;
}

/* The value as one of these types: 1 with out filled, 0 when it is none of them, -1 with
 * an error set. */
int dump(const Context &ctx, const Where &w, PyObject *v, Out &out)
{
    const Objects &o = g_objects;
    int registered = dump_registered(ctx, v, out);
    if (registered != 0)
        return registered;
    if (PyList_Check(v)) {
        if (PyObject_TypeCheck(v, (PyTypeObject *)o.multirange_type))
            return dump_multirange(ctx, w, v, out) < 0 ? -1 : 1;
        return dump_array(ctx, w, v, out) < 0 ? -1 : 1;
    }
    if (PyDict_Check(v)) {
        out.oid = 3802;
        return append_json(ctx, out.data, nullptr, v) < 0 ? -1 : 1;
    }
    if (PyObject_TypeCheck(v, (PyTypeObject *)o.json_type) ||
        PyObject_TypeCheck(v, (PyTypeObject *)o.jsonb_type)) {
        out.oid = PyObject_TypeCheck(v, (PyTypeObject *)o.jsonb_type) ? 3802 : 114;
        PyRef obj(PyObject_GetAttr(v, o.obj_name));
        PyRef dumps(obj ? PyObject_GetAttr(v, o.dumps_name) : nullptr);
        if (!dumps)
            return -1;
        return append_json(ctx, out.data, dumps.get() == Py_None ? nullptr : dumps.get(),
                           obj.get()) < 0 ? -1 : 1;
    }
    if (PyObject_TypeCheck(v, (PyTypeObject *)o.uuid_type)) {
        /* The binary form: the 16 bytes of the number, most significant first. */
        PyRef number(PyObject_GetAttr(v, o.int_name));
        if (!number)
            return -1;
        unsigned char bytes[16];
        PyRef raw(PyObject_CallMethod(number.get(), "to_bytes", "is", 16, "big"));
        if (!raw || !PyBytes_Check(raw.get()) || PyBytes_GET_SIZE(raw.get()) != 16)
            return raw ? refuse(DataError, w, "a UUID whose int is not 128 bits") : -1;
        std::memcpy(bytes, PyBytes_AS_STRING(raw.get()), 16);
        out.oid = 2950;
        out.format = 1;
        out.data.assign(reinterpret_cast<const char *>(bytes), 16);
        return 1;
    }
    if (PyObject_TypeCheck(v, (PyTypeObject *)o.range_type))
        return dump_range(ctx, w, v, out) < 0 ? -1 : 1;
    int cidr = PyObject_IsInstance(v, o.ip_cidr_types);
    int inet = cidr == 0 ? PyObject_IsInstance(v, o.ip_inet_types) : 0;
    if (cidr < 0 || inet < 0)
        return -1;
    if (cidr || inet) {
        out.oid = cidr ? 650 : 869;
        return append_text_of(out.data, v) < 0 ? -1 : 1;
    }
    if (PyTuple_Check(v))
        return refuse(ProgrammingError, w, "cannot send a tuple (a list is sent as an array)");
    return 0;
}

/* Values the row path's own binding sends: never looked at here (checked by exact type,
 * so that batches of plain columns pay nothing for this). */
bool plain_value(PyObject *v)
{
    return v == Py_None || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
           PyFloat_CheckExact(v) || PyBool_Check(v) || PyBytes_CheckExact(v) ||
           (PyDateTimeAPI != nullptr &&
            (PyDateTime_CheckExact(v) || PyDate_CheckExact(v) || PyTime_CheckExact(v) ||
             PyDelta_CheckExact(v))) ||
           (g_ready && (PyObject *)Py_TYPE(v) == g_objects.decimal_type);
}

}  // namespace

const Objects &objects() { return g_objects; }

int objects_ready()
{
    if (g_ready)
        return 0;
    Objects &o = g_objects;
    o.object_type = (PyObject *)&PyBaseObject_Type;
    if (!(o.uuid_type = attr_of("uuid", "UUID")))
        return -1;
    PyRef safe(attr_of("uuid", "SafeUUID"));
    if (!safe || !(o.safe_unknown = PyObject_GetAttrString(safe.get(), "unknown")))
        return -1;
    if (!(o.ip_address = attr_of("ipaddress", "ip_address")) ||
        !(o.ip_interface = attr_of("ipaddress", "ip_interface")) ||
        !(o.ip_network = attr_of("ipaddress", "ip_network")))
        return -1;
    PyRef a4(attr_of("ipaddress", "IPv4Address")), a6(attr_of("ipaddress", "IPv6Address"));
    PyRef n4(attr_of("ipaddress", "IPv4Network")), n6(attr_of("ipaddress", "IPv6Network"));
    if (!a4 || !a6 || !n4 || !n6)
        return -1;
    /* The interface classes derive from the address classes. */
    o.ipv4_type = a4.get();
    Py_INCREF(o.ipv4_type);
    if (!(o.ip_inet_types = PyTuple_Pack(2, a4.get(), a6.get())) ||
        !(o.ip_cidr_types = PyTuple_Pack(2, n4.get(), n6.get())))
        return -1;
    if (!(o.decimal_type = attr_of("decimal", "Decimal")) ||
        !(o.range_type = attr_of("ztcondb.types.range", "Range")) ||
        !(o.multirange_type = attr_of("ztcondb.types.range", "Multirange")) ||
        !(o.json_type = attr_of("ztcondb.types.json", "Json")) ||
        !(o.jsonb_type = attr_of("ztcondb.types.json", "Jsonb")))
        return -1;
    if (!(o.new_name = intern("__new__")) || !(o.int_name = intern("int")) ||
        !(o.is_safe_name = intern("is_safe")) || !(o.load_name = intern("load")) ||
        !(o.dump_name = intern("dump")) || !(o.oid_name = intern("oid")) ||
        !(o.format_name = intern("format")) || !(o.obj_name = intern("obj")) ||
        !(o.dumps_name = intern("dumps")) || !(o.mro_name = intern("__mro__")))
        return -1;
    g_ready = true;
    return 0;
}

}  // namespace zt_pg

using namespace zt_pg;

int zt_pg_context(cursorObject *self, Context *ctx)
{
    if (!zt_curs_pytypes(self))
        return 0;
    static const char *const names[6] = {"_loaders", "_dumpers", "_elements",
                                         "_json_loads", "_json_dumps", "_context"};
    PyObject *map = PyObject_GetAttrString((PyObject *)self, "_adapters");
    if (map == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    ctx->map.reset(map);
    if (map == Py_None)
        return 0;
    /* The readers and writers build and recognise dates and times. */
    if (objects_ready() < 0 || (PyDateTimeAPI == nullptr && zt_load_datetime_api() < 0))
        return -1;
    PyObject **slots[6] = {&ctx->loaders, &ctx->dumpers, &ctx->elements,
                           &ctx->loads, &ctx->dumps, &ctx->context};
    for (int i = 0; i < 6; ++i) {
        ctx->hold[i].reset(PyObject_GetAttrString(map, names[i]));
        if (!ctx->hold[i])
            return -1;
        *slots[i] = ctx->hold[i].get();
    }
    if (!PyDict_Check(ctx->loaders) || !PyDict_Check(ctx->dumpers) ||
        !PyDict_Check(ctx->elements)) {
        PyErr_SetString(PyExc_TypeError, "the adapters map's tables must be dicts");
        return -1;
    }
    return 1;
}

int zt_pg_bind(cursorObject *self, int pos, PyObject *item)
{
    if (plain_value(item))
        return 0;
    try {
        Context ctx;
        int found = zt_pg_context(self, &ctx);
        if (found <= 0)
            return found;
        Where w;
        w.pos = pos;
        Out out;
        int done = dump(ctx, w, item, out);
        if (done <= 0)
            return done;
        if (out.data.size() >= (size_t)INT_MAX)
            return refuse(ProgrammingError, w, "value too long");
        if (zt_curs_check(self) < 0)
            return -1;
        const int length = out.null ? -1 : (int)out.data.size();
        if (zt_lib_bind_typed(&self->p_conn, pos, out.oid, out.format, out.data.data(), length) < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        return 1;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

bool zt_pg_batch_column(cursorObject *self, PyObject *const *values, Py_ssize_t n)
{
    if (!zt_curs_pytypes(self))
        return false;
    Py_ssize_t i = 0;
    while (i < n && plain_value(values[i]))
        ++i;
    if (i == n)
        return false;
    /* Only a cursor with an adapters map sends these types. */
    Context ctx;
    if (zt_pg_context(self, &ctx) <= 0) {
        PyErr_Clear();
        return false;
    }
    const Objects &o = g_objects;
    for (; i < n; ++i) {
        PyObject *v = values[i];
        if (plain_value(v))
            continue;
        if (PyList_Check(v) || PyDict_Check(v) || PyTuple_Check(v) ||
            PyObject_TypeCheck(v, (PyTypeObject *)o.uuid_type) ||
            PyObject_TypeCheck(v, (PyTypeObject *)o.range_type) ||
            PyObject_TypeCheck(v, (PyTypeObject *)o.json_type) ||
            PyObject_TypeCheck(v, (PyTypeObject *)o.jsonb_type) ||
            PyObject_IsInstance(v, o.ip_inet_types) == 1 ||
            PyObject_IsInstance(v, o.ip_cidr_types) == 1)
            return true;
        if (PyDict_GET_SIZE(ctx.dumpers) > 0) {
            PyObject *mro = Py_TYPE(v)->tp_mro;
            for (Py_ssize_t k = 0; mro != nullptr && k < PyTuple_GET_SIZE(mro); ++k)
                if (PyDict_GetItemWithError(ctx.dumpers, PyTuple_GET_ITEM(mro, k)) != nullptr)
                    return true;
        }
        PyErr_Clear();
    }
    return false;
}

int zt_pg_encode_column(cursorObject *self, PyObject *const *values, Py_ssize_t n, Py_ssize_t col,
                        std::string &packed, int *lengths, unsigned *oid)
{
    try {
        Context ctx;
        int found = zt_pg_context(self, &ctx);
        if (found < 0)
            return -1;
        if (found == 0) {
            PyErr_Format(ProgrammingError, "column %zd: unsupported type", col);
            return -1;
        }
        bool first = true;
        *oid = 0;
        Out out;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *v = values[i];
            size_t at = packed.size();
            packed.append(4, '\0');
            int32_t len = -1;
            if (v != Py_None) {
                Where w;
                w.pos = col;
                w.row = i + 1;
                out = Out();
                int done = dump(ctx, w, v, out);
                if (done < 0)
                    return -1;
                if (done == 0 || out.format != 0) {
                    /* The batch carries texts: a plain value goes as its str, a binary
                     * form (a UUID) as its text. */
                    out = Out();
                    if (PyObject_TypeCheck(v, (PyTypeObject *)g_objects.uuid_type))
                        out.oid = 2950;
                    if (append_text_of(out.data, v) < 0)
                        return -1;
                    if (done == 0 || out.oid == 0)
                        out.oid = 0;
                }
                if (!out.null) {
                    if (out.data.size() >= (size_t)INT_MAX - packed.size())
                        return refuse(ProgrammingError, w, "value too long");
                    len = (int32_t)out.data.size();
                    packed += out.data;
                }
                if (first)
                    *oid = out.oid;
                else if (*oid != out.oid)
                    *oid = 0;   /* mixed types: untyped, each read as its target's type */
                first = false;
            }
            std::memcpy(&packed[at], &len, 4);
            lengths[i] = len;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}
