/* zt_columns.cpp - fetchcolumns: the rest of a result as columns. Numbers, booleans,
 * dates, timestamps and intervals are decoded by the library (ZTC_ReadColumns), without
 * the interpreter lock, into plain malloc'd buffers held by small ColumnBuffer objects
 * that export the buffer protocol: NumPy adopts them (numpy.frombuffer) without a copy,
 * and the module never links against NumPy. Other values become Python objects (str,
 * bytes, Decimal, time) in a list. */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

/* ---- ColumnBuffer: owned memory exporting the buffer protocol ---- */

struct ColumnBufferObject {
    PyObject_HEAD
    char *data;          /* malloc'd, or null when empty */
    Py_ssize_t size;     /* bytes in use */
    Py_ssize_t capacity; /* bytes allocated */
    Py_ssize_t exports;  /* live buffer views: the memory must not move meanwhile */
};

static void zt_colbuf_dealloc(ColumnBufferObject *self)
{
    std::free(self->data);
    Py_TYPE(self)->tp_free((PyObject *)self);
}

static int zt_colbuf_getbuffer(ColumnBufferObject *self, Py_buffer *view, int flags)
{
    /* An empty buffer still needs an address NumPy can keep. */
    static char empty = 0;
    if (PyBuffer_FillInfo(view, (PyObject *)self, self->data ? self->data : &empty,
                          self->size, 0, flags) < 0)
        return -1;
    ++self->exports;
    return 0;
}

static void zt_colbuf_releasebuffer(ColumnBufferObject *self, Py_buffer *)
{
    --self->exports;
}

static PyBufferProcs zt_colbuf_as_buffer = {
    (getbufferproc)zt_colbuf_getbuffer,
    (releasebufferproc)zt_colbuf_releasebuffer,
};

static PyObject *zt_colbuf_len(ColumnBufferObject *self, void *)
{
    return PyLong_FromSsize_t(self->size);
}

static PyGetSetDef zt_colbuf_getset[] = {
    {"nbytes", (getter)zt_colbuf_len, nullptr, "Bytes held.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* Filled field by field, as the cursor type is. */
static PyTypeObject zt_colbuf_type_object()
{
    PyTypeObject t{};
    Py_SET_REFCNT(&t.ob_base.ob_base, 1);
    t.tp_name = "_pyztdb.ColumnBuffer";
    t.tp_basicsize = sizeof(ColumnBufferObject);
    t.tp_dealloc = (destructor)zt_colbuf_dealloc;
    t.tp_as_buffer = &zt_colbuf_as_buffer;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "Memory of one column's values, exported through the buffer protocol.";
    t.tp_getset = zt_colbuf_getset;
    t.tp_free = PyObject_Del;
    return t;
}

static PyTypeObject zt_colbuf_type = zt_colbuf_type_object();

/* A new empty buffer, or null with an error set. */
static ColumnBufferObject *zt_colbuf_new()
{
    if (!(zt_colbuf_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&zt_colbuf_type) < 0)
        return nullptr;
    ColumnBufferObject *b = PyObject_New(ColumnBufferObject, &zt_colbuf_type);
    if (b != nullptr) {
        b->data = nullptr;
        b->size = b->capacity = b->exports = 0;
    }
    return b;
}

namespace {

/* Makes room for `need` bytes (growth by doubling; glibc moves large blocks by remapping,
 * so growing costs no second copy of a big column). False with MemoryError set. */
bool zt_colbuf_reserve(ColumnBufferObject *b, Py_ssize_t need)
{
    if (need <= b->capacity)
        return true;
    Py_ssize_t cap = b->capacity ? b->capacity : 4096;
    while (cap < need)
        cap *= 2;
    char *p = static_cast<char *>(std::realloc(b->data, (size_t)cap));
    if (p == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    b->data = p;
    b->capacity = cap;
    return true;
}

/* Gives back the room beyond the size. */
void zt_colbuf_trim(ColumnBufferObject *b)
{
    if (b->data && b->size > 0 && b->size < b->capacity) {
        char *p = static_cast<char *>(std::realloc(b->data, (size_t)b->size));
        if (p != nullptr) {
            b->data = p;
            b->capacity = b->size;
        }
    }
}

/* How a column of a type code is read and what its values become. */
enum ZtObjectKind { ZT_OBJ_NONE, ZT_OBJ_STR, ZT_OBJ_BYTES, ZT_OBJ_DECIMAL, ZT_OBJ_TIME };

struct ZtColumnPlan {
    int form;
    int width;          /* bytes per value (fixed forms) */
    const char *kind;   /* the dtype the package gives the values */
    ZtObjectKind object;
};

/* The table of type codes: the library's form and the dtype for each; every code not
 * listed is text read as str. */
ZtColumnPlan zt_plan_for(int code, int flags, bool exact_numeric)
{
    const bool utc = (flags & ZTC_COLUMN_WITH_TIME_ZONE) != 0;
    switch (code) {
    case ZTC_TYPE_BOOLEAN: return {ZTC_FORM_BOOL, 1, "bool", ZT_OBJ_NONE};
    case ZTC_TYPE_TINYINT:
    case ZTC_TYPE_SMALLINT: return {ZTC_FORM_INT16, 2, "int16", ZT_OBJ_NONE};
    case ZTC_TYPE_INTEGER: return {ZTC_FORM_INT32, 4, "int32", ZT_OBJ_NONE};
    case ZTC_TYPE_BIGINT: return {ZTC_FORM_INT64, 8, "int64", ZT_OBJ_NONE};
    case ZTC_TYPE_FLOAT: return {ZTC_FORM_FLOAT32, 4, "float32", ZT_OBJ_NONE};
    case ZTC_TYPE_DOUBLE: return {ZTC_FORM_FLOAT64, 8, "float64", ZT_OBJ_NONE};
    case ZTC_TYPE_NUMERIC:
        return exact_numeric ? ZtColumnPlan{ZTC_FORM_TEXT, 0, "object", ZT_OBJ_DECIMAL}
                             : ZtColumnPlan{ZTC_FORM_FLOAT64, 8, "float64", ZT_OBJ_NONE};
    case ZTC_TYPE_DATE: return {ZTC_FORM_DAYS, 8, "datetime64[D]", ZT_OBJ_NONE};
    case ZTC_TYPE_DATETIME:
    case ZTC_TYPE_DATETIME2:
    case ZTC_TYPE_DATETIME_MS:
        return {ZTC_FORM_MICROS, 8, utc ? "datetime64[us, UTC]" : "datetime64[us]",
                ZT_OBJ_NONE};
    case ZTC_TYPE_INTERVAL_YM:
    case ZTC_TYPE_INTERVAL_DS: return {ZTC_FORM_INTERVAL, 8, "timedelta64[us]", ZT_OBJ_NONE};
    case ZTC_TYPE_TIME:
    case ZTC_TYPE_TIME2:
        /* A time with its zone stays text: datetime.time has no fixed-offset reading. */
        return {ZTC_FORM_TEXT, 0, "object", utc ? ZT_OBJ_STR : ZT_OBJ_TIME};
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2:
    case ZTC_TYPE_BLOB: return {ZTC_FORM_TEXT, 0, "object", ZT_OBJ_BYTES};
    default: return {ZTC_FORM_TEXT, 0, "object", ZT_OBJ_STR};
    }
}

/* "HH:MM:SS[.ffffff]" -> datetime.time; null (no error) when the text has another form. */
PyObject *zt_time_from_text(const char *p, size_t n)
{
    auto two = [&](size_t at) { return (p[at] - '0') * 10 + (p[at + 1] - '0'); };
    if (n < 8 || p[2] != ':' || p[5] != ':')
        return nullptr;
    for (size_t i : {0, 1, 3, 4, 6, 7})
        if (p[i] < '0' || p[i] > '9')
            return nullptr;
    int us = 0;
    if (n > 8) {
        if (p[8] != '.' || n > 15)
            return nullptr;
        int digits = 0;
        for (size_t i = 9; i < n; ++i, ++digits) {
            if (p[i] < '0' || p[i] > '9')
                return nullptr;
            us = us * 10 + (p[i] - '0');
        }
        for (; digits < 6; ++digits)
            us *= 10;
    }
    const int h = two(0), m = two(3), s = two(6);
    /* 24:00:00 is a valid server time that datetime.time cannot hold. */
    if (h > 23 || m > 59 || s > 59)
        return nullptr;
    return PyTime_FromTime(h, m, s, us);
}

PyObject *zt_decimal_class()
{
    static PyObject *cls = nullptr; /* kept for the life of the process */
    if (cls == nullptr) {
        PyRef module(PyImport_ImportModule("decimal"));
        if (!module)
            return nullptr;
        cls = PyObject_GetAttrString(module.get(), "Decimal");
    }
    return cls;
}

/* One value of an object column; null with an error set. */
PyObject *zt_object_from_text(ZtObjectKind kind, const char *p, size_t n)
{
    switch (kind) {
    case ZT_OBJ_BYTES:
        return PyBytes_FromStringAndSize(p, (Py_ssize_t)n);
    case ZT_OBJ_DECIMAL: {
        PyObject *cls = zt_decimal_class();
        if (cls == nullptr)
            return nullptr;
        PyRef text(PyUnicode_FromStringAndSize(p, (Py_ssize_t)n));
        return text ? PyObject_CallFunctionObjArgs(cls, text.get(), nullptr) : nullptr;
    }
    case ZT_OBJ_TIME:
        if (PyObject *t = zt_time_from_text(p, n))
            return t;
        if (PyErr_Occurred())
            return nullptr;
        return PyUnicode_DecodeUTF8(p, (Py_ssize_t)n, nullptr);
    default:
        return PyUnicode_DecodeUTF8(p, (Py_ssize_t)n, nullptr);
    }
}

/* The columns being filled: the library's view of each, the buffers that will hold the
 * values, and the Python objects of object columns. NULL flags of a block go to scratch
 * first; a column gets its mask only once a NULL shows up, so a column without NULLs
 * never holds one. */
struct ZtColumnsRead {
    std::vector<ZtColumnPlan> plans;
    std::vector<ZTC_COLUMNBUF> bufs;
    std::vector<PyRef> values;        /* ColumnBuffer, or a list for object columns */
    std::vector<PyRef> masks;         /* ColumnBuffer of 1-byte NULL flags, or empty */
    std::vector<int64_t> offsets;     /* scratch of every text column, block rows + 1 each */
    std::vector<unsigned char> nulls; /* scratch of every column, block rows each */
    std::string text;                 /* a text column's bytes of the block being taken */
    Py_ssize_t rows = 0;
};

/* Rows decoded per library call: the buffers of one block of object columns stay small. */
constexpr int ZT_BLOCK_ROWS = 65536;

int zt_columns_prepare(cursorObject *self, int count, bool exact, ZtColumnsRead &rd)
{
    rd.plans.resize((size_t)count);
    rd.bufs.assign((size_t)count, ZTC_COLUMNBUF{});
    rd.masks.resize((size_t)count);
    rd.offsets.assign((size_t)count * (ZT_BLOCK_ROWS + 1), 0);
    rd.nulls.assign((size_t)count * ZT_BLOCK_ROWS, 0);
    for (int c = 0; c < count; ++c) {
        int code = 0, flags = 0;
        ZTC_getResultcolType(&self->p_results, c + 1, &code);
        ZTC_getResultcolflags(&self->p_results, c + 1, &flags);
        rd.plans[c] = zt_plan_for(code, flags, exact);
        rd.bufs[c].form = rd.plans[c].form;
        rd.bufs[c].nulls = &rd.nulls[(size_t)c * ZT_BLOCK_ROWS];
        rd.bufs[c].offsets = &rd.offsets[(size_t)c * (ZT_BLOCK_ROWS + 1)];
        PyObject *values = rd.plans[c].object != ZT_OBJ_NONE ? PyList_New(0)
                                                             : (PyObject *)zt_colbuf_new();
        rd.values.emplace_back(values);
        if (values == nullptr)
            return -1;
    }
    return 0;
}

/* Points the library's view of every native column at room for `block` more rows. */
int zt_columns_room(ZtColumnsRead &rd, int block)
{
    for (size_t c = 0; c < rd.plans.size(); ++c) {
        if (rd.plans[c].form == ZTC_FORM_TEXT)
            continue;
        auto *vals = reinterpret_cast<ColumnBufferObject *>(rd.values[c].get());
        const Py_ssize_t width = rd.plans[c].width;
        if (!zt_colbuf_reserve(vals, (rd.rows + block) * width))
            return -1;
        rd.bufs[c].values = vals->data + rd.rows * width;
    }
    return 0;
}

/* Appends a block's NULL flags to column c's mask, making the mask (all rows before
 * not NULL) at the first NULL. 0, or -1 with an error set. */
int zt_columns_mask(ZtColumnsRead &rd, size_t c, const unsigned char *nulls, int n)
{
    if (!rd.masks[c]) {
        if (std::memchr(nulls, 1, (size_t)n) == nullptr)
            return 0;
        rd.masks[c].reset((PyObject *)zt_colbuf_new());
        auto *fresh = reinterpret_cast<ColumnBufferObject *>(rd.masks[c].get());
        if (fresh == nullptr || !zt_colbuf_reserve(fresh, rd.rows + n))
            return -1;
        std::memset(fresh->data, 0, (size_t)rd.rows);
        fresh->size = rd.rows;
    }
    auto *mask = reinterpret_cast<ColumnBufferObject *>(rd.masks[c].get());
    if (!zt_colbuf_reserve(mask, rd.rows + n))
        return -1;
    std::memcpy(mask->data + rd.rows, nulls, (size_t)n);
    mask->size = rd.rows + n;
    return 0;
}

/* Takes a decoded block of n rows into the columns: objects made for object columns,
 * sizes advanced, NULLs noted. 0, or -1 with an error set. */
int zt_columns_take(ZtColumnsRead &rd, int n)
{
    for (size_t c = 0; c < rd.plans.size(); ++c) {
        const unsigned char *nulls = rd.bufs[c].nulls;
        if (rd.plans[c].form == ZTC_FORM_TEXT) {
            const int64_t *off = rd.bufs[c].offsets;
            /* The block's bytes are the result's: copied first, since making an object may
             * run Python code (a collection, a finalizer) that frees the result. */
            rd.text.assign(rd.bufs[c].text, (size_t)off[n]);
            PyObject *list = rd.values[c].get();
            for (int i = 0; i < n; ++i) {
                PyRef item;
                if (nulls[i]) {
                    item = PyRef::borrow(Py_None);
                } else {
                    item.reset(zt_object_from_text(rd.plans[c].object, rd.text.data() + off[i],
                                                   (size_t)(off[i + 1] - off[i])));
                    if (!item)
                        return -1;
                }
                if (PyList_Append(list, item.get()) < 0)
                    return -1;
            }
        } else {
            reinterpret_cast<ColumnBufferObject *>(rd.values[c].get())->size =
                (rd.rows + n) * rd.plans[c].width;
        }
        if (zt_columns_mask(rd, c, nulls, n) < 0)
            return -1;
    }
    rd.rows += n;
    return 0;
}

/* ZTC_ReadColumns without the interpreter lock: the buffers belong to objects no Python
 * code has seen yet. */
int zt_lib_read_columns(ZTC_HANDLE *R, ZTC_COLUMNBUF *cols, int count, int maxrows, int *rows)
{
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = ZTC_ReadColumns(R, cols, count, maxrows, rows);
    Py_END_ALLOW_THREADS
    return rc;
}

/* The finished columns: a list of (name, kind, values, mask or None). */
PyObject *zt_columns_result(cursorObject *self, ZtColumnsRead &rd)
{
    const Py_ssize_t count = (Py_ssize_t)rd.plans.size();
    PyRef out(PyList_New(count));
    if (!out)
        return nullptr;
    for (Py_ssize_t c = 0; c < count; ++c) {
        char name[256];
        std::memset(name, 0, sizeof name);
        ZTC_getResultcolname(&self->p_results, (int)c + 1, name);
        name[sizeof name - 1] = '\0';
        if (rd.plans[c].object == ZT_OBJ_NONE)
            zt_colbuf_trim(reinterpret_cast<ColumnBufferObject *>(rd.values[c].get()));
        PyObject *mask = Py_None;
        if (rd.masks[c]) {
            zt_colbuf_trim(reinterpret_cast<ColumnBufferObject *>(rd.masks[c].get()));
            mask = rd.masks[c].get();
        }
        PyObject *item = Py_BuildValue("(ssOO)", name, rd.plans[c].kind, rd.values[c].get(),
                                       mask);
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(out.get(), c, item);
    }
    return out.release();
}

}  // namespace

/* fetchcolumns(maxrows=-1, exact=False, cursor=None, reader=0, pagesize=0) -> (rows,
 * columns): at most maxrows (-1: all) of the rest of the result as columns, each
 * (name, kind, values, mask): kind a NumPy dtype name ("object" for a list of objects,
 * "datetime64[us, UTC]" for instants), values a ColumnBuffer or list, mask a
 * ColumnBuffer of one byte per row (1: NULL) or None without NULLs. With `exact`,
 * numeric values are Decimal objects instead of float64. With `cursor`, pages of
 * `pagesize` rows of that server cursor (declared by the caller; `reader` as for
 * fetchpage) follow the current result, each asked for while the previous one is
 * decoded. */
PyObject *pyzt_curs_fetchcolumns(cursorObject *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"maxrows", "exact", "cursor", "reader", "pagesize",
                                   nullptr};
    Py_ssize_t maxrows = -1;
    int exact = 0;
    PyObject *cursor_name = Py_None;
    long long reader = 0;
    int pagesize = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|npOLi:fetchcolumns",
                                     const_cast<char **>(kwlist), &maxrows, &exact,
                                     &cursor_name, &reader, &pagesize))
        return nullptr;
    const char *name = nullptr;
    if (cursor_name != Py_None) {
        name = zt_statement_utf8(cursor_name, "fetchcolumns");
        if (name == nullptr)
            return nullptr;
        if (pagesize <= 0) {
            PyErr_SetString(ProgrammingError, "fetchcolumns: pagesize must be positive");
            return nullptr;
        }
    }
    if (zt_curs_check(self) < 0)
        return nullptr;
    if (self->p_results == nullptr || self->sql_type != ZTC_SQL_QUERY) {
        PyErr_SetString(ProgrammingError, "The result set does not exist");
        return nullptr;
    }
    if (zt_load_datetime_api() < 0)
        return nullptr;
    int count = 0;
    ZTC_getResultColumnsnum(&self->p_results, &count);
    try {
        ZtColumnsRead rd;
        if (zt_columns_prepare(self, count, exact != 0, rd) < 0)
            return nullptr;
        while (maxrows < 0 || rd.rows < maxrows) {
            Py_ssize_t want = maxrows < 0 ? ZT_BLOCK_ROWS : maxrows - rd.rows;
            const int block = (int)(want < ZT_BLOCK_ROWS ? want : ZT_BLOCK_ROWS);
            if (zt_columns_room(rd, block) < 0)
                return nullptr;
            int n = 0;
            int rc = zt_lib_read_columns(&self->p_results, rd.bufs.data(), count, block, &n);
            if (rc < 0)
                return zt_raise_library_error(&self->p_conn);
            if (n > 0 && zt_columns_take(rd, n) < 0)
                return nullptr;
            if (n > 0)
                continue;
            if (name == nullptr)
                break;
            /* Object construction ran Python code (a Decimal subclass, GC), which may have
             * closed the connection: its session must not be asked for another page. */
            if (zt_curs_check(self) < 0)
                return nullptr;
            int sent = 0;
            int got = zt_lib_fetch_page(&self->p_conn, name, reader, pagesize, 1,
                                        &self->p_results, &sent);
            if (got < 0)
                return zt_raise_library_error(&self->p_conn);
            /* Pages go on until an empty one: a page taken from the one asked for ahead
             * may have another size than pagesize. */
            if (got == 0)
                break;
        }
        PyRef columns(zt_columns_result(self, rd));
        if (!columns)
            return nullptr;
        return Py_BuildValue("(nO)", rd.rows, columns.get());
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}
