/* zt_rows.cpp - row makers: what the package's row factories (dict rows, named tuples,
 * rows handed to a class or a function) turn each result row into, built in C so that
 * a fetch pays no Python call per row for the common kinds.
 *
 * A RowMaker is made once per result from the column names; calling it turns one row
 * tuple into the row the user asked for, and make_rows turns a whole fetched list in
 * place. */
#include "pyzt_util.h"
#include "zt_face.h"

#include <cstring>

namespace {

enum ZtRowKind { ZT_ROW_DICT, ZT_ROW_NAMEDTUPLE, ZT_ROW_ARGS, ZT_ROW_KWARGS };

struct ZtRowKindName {
    const char *name;
    ZtRowKind kind;
};

const ZtRowKindName zt_row_kinds[] = {
    {"dict", ZT_ROW_DICT}, {"namedtuple", ZT_ROW_NAMEDTUPLE},
    {"args", ZT_ROW_ARGS}, {"kwargs", ZT_ROW_KWARGS},
};

typedef struct {
    PyObject_HEAD
    int kind;
    PyObject *names;     /* tuple of str: the column names */
    PyObject *target;    /* the named tuple class, or the callable rows are passed to */
    PyObject *keys;      /* dict of the names to None: copied for each dict row (a copy of
                            a dict of the right size is cheaper than growing a new one) */
    bool plain_tuple;    /* target is a tuple subclass laid out as tuple (a named tuple) */
} RowMakerObject;

/* The row as a dict of column name -> value; a name written twice keeps the later
 * value. A new reference, or null with an error set. */
PyObject *zt_dict_row(RowMakerObject *self, PyObject *row)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(self->names);
    if (PyTuple_GET_SIZE(row) != n)
        return PyErr_Format(ProgrammingError, "a row of %zd values for %zd columns",
                            PyTuple_GET_SIZE(row), n);
    PyRef dict(PyDict_Copy(self->keys));
    if (!dict)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(self->names, i),
                           PyTuple_GET_ITEM(row, i)) < 0)
            return nullptr;
    return dict.release();
}

/* The row as an instance of the named tuple class, its items taken straight from the
 * row; another class is called with the values as positional arguments. */
PyObject *zt_namedtuple_row(RowMakerObject *self, PyObject *row)
{
    if (!self->plain_tuple)
        return PyObject_Call(self->target, row, nullptr);
    PyTypeObject *cls = reinterpret_cast<PyTypeObject *>(self->target);
    const Py_ssize_t n = PyTuple_GET_SIZE(row);
    if (n != PyTuple_GET_SIZE(self->names))
        return PyErr_Format(ProgrammingError, "a row of %zd values for %zd columns", n,
                            PyTuple_GET_SIZE(self->names));
    PyObject *made = cls->tp_alloc(cls, n);
    if (made == nullptr)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(row, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(made, i, item);
    }
    return made;
}

/* One row made as the maker's kind says. `row` must be a tuple. */
PyObject *zt_make_row(RowMakerObject *self, PyObject *row)
{
    switch (self->kind) {
    case ZT_ROW_DICT:
        return zt_dict_row(self, row);
    case ZT_ROW_NAMEDTUPLE:
        return zt_namedtuple_row(self, row);
    case ZT_ROW_ARGS:
        return PyObject_Call(self->target, row, nullptr);
    default: {
        PyRef kwargs(zt_dict_row(self, row));
        if (!kwargs)
            return nullptr;
        PyRef none(PyTuple_New(0));
        if (!none)
            return nullptr;
        return PyObject_Call(self->target, none.get(), kwargs.get());
    }
    }
}

PyObject *rowmaker_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"kind", "names", "target", nullptr};
    const char *kind_name = nullptr;
    PyObject *names = nullptr, *target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "sO|O:RowMaker", const_cast<char **>(kwlist),
                                     &kind_name, &names, &target))
        return nullptr;
    int kind = -1;
    for (const ZtRowKindName &row : zt_row_kinds)
        if (std::strcmp(row.name, kind_name) == 0)
            kind = row.kind;
    if (kind < 0)
        return PyErr_Format(PyExc_ValueError, "unknown row kind '%s'", kind_name);
    PyRef name_tuple(PySequence_Tuple(names));
    if (!name_tuple)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(name_tuple.get()); ++i)
        if (!PyUnicode_Check(PyTuple_GET_ITEM(name_tuple.get(), i)))
            return PyErr_Format(PyExc_TypeError, "column names must be str, not %s",
                                Py_TYPE(PyTuple_GET_ITEM(name_tuple.get(), i))->tp_name);
    if (kind != ZT_ROW_DICT && !PyCallable_Check(target))
        return PyErr_Format(PyExc_TypeError, "a %s row maker needs a callable target",
                            kind_name);
    PyRef keys(PyDict_New());
    if (!keys)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(name_tuple.get()); ++i)
        if (PyDict_SetItem(keys.get(), PyTuple_GET_ITEM(name_tuple.get(), i), Py_None) < 0)
            return nullptr;
    RowMakerObject *self = reinterpret_cast<RowMakerObject *>(type->tp_alloc(type, 0));
    if (self == nullptr)
        return nullptr;
    self->kind = kind;
    self->names = name_tuple.release();
    Py_INCREF(target);
    self->target = target;
    self->keys = keys.release();
    PyTypeObject *cls = PyType_Check(target) ? reinterpret_cast<PyTypeObject *>(target) : nullptr;
    self->plain_tuple = cls != nullptr && PyType_IsSubtype(cls, &PyTuple_Type) &&
                        cls->tp_basicsize == PyTuple_Type.tp_basicsize &&
                        cls->tp_itemsize == PyTuple_Type.tp_itemsize && cls->tp_dictoffset == 0 &&
                        cls->tp_alloc != nullptr;
    return reinterpret_cast<PyObject *>(self);
}

PyObject *rowmaker_call(PyObject *op, PyObject *args, PyObject *kwds)
{
    PyObject *row = nullptr;
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0) {
        PyErr_SetString(PyExc_TypeError, "a row maker takes one row");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O:RowMaker", &row))
        return nullptr;
    PyRef values(PySequence_Tuple(row));
    if (!values)
        return nullptr;
    return zt_make_row(reinterpret_cast<RowMakerObject *>(op), values.get());
}

int rowmaker_traverse(PyObject *op, visitproc visit, void *arg)
{
    RowMakerObject *self = reinterpret_cast<RowMakerObject *>(op);
    Py_VISIT(self->names);
    Py_VISIT(self->target);
    Py_VISIT(self->keys);
    return 0;
}

int rowmaker_clear(PyObject *op)
{
    RowMakerObject *self = reinterpret_cast<RowMakerObject *>(op);
    Py_CLEAR(self->names);
    Py_CLEAR(self->target);
    Py_CLEAR(self->keys);
    return 0;
}

void rowmaker_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    rowmaker_clear(op);
    Py_TYPE(op)->tp_free(op);
}

PyObject *rowmaker_names(PyObject *op, void *)
{
    PyObject *names = reinterpret_cast<RowMakerObject *>(op)->names;
    Py_INCREF(names);
    return names;
}

PyGetSetDef rowmaker_getset[] = {
    {"names", rowmaker_names, nullptr, "The column names.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* _pyztdb.make_rows(maker, rows) -> rows: each row of the list (tuples) replaced in place
 * by maker(row); a RowMaker runs without a Python call per row. On an error the rows
 * before the failing one are made, the rest are left as they were. */
PyObject *pyzt_make_rows(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2 || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "make_rows takes (maker, list of rows)");
        return nullptr;
    }
    PyObject *maker = args[0], *rows = args[1];
    RowMakerObject *own = Py_TYPE(maker) == &RowMakerType
                              ? reinterpret_cast<RowMakerObject *>(maker) : nullptr;
    /* Python code run by a maker may change the list: its length is read every time. */
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        PyRef row = PyRef::borrow(PyList_GET_ITEM(rows, i));
        PyObject *made = own != nullptr && PyTuple_Check(row.get())
                             ? zt_make_row(own, row.get())
                             : PyObject_CallOneArg(maker, row.get());
        if (made == nullptr)
            return nullptr;
        if (i >= PyList_GET_SIZE(rows)) {
            Py_DECREF(made);
            break;
        }
        PyList_SetItem(rows, i, made);
    }
    Py_INCREF(rows);
    return rows;
}

}  // namespace

/* The type record, filled field by field: the positional initializer of PyTypeObject
 * differs between interpreter versions. */
static PyTypeObject zt_rowmaker_type_object()
{
    PyTypeObject t{};
    Py_SET_REFCNT(&t.ob_base.ob_base, 1);
    t.tp_name = "_pyztdb.RowMaker";
    t.tp_basicsize = sizeof(RowMakerObject);
    t.tp_dealloc = rowmaker_dealloc;
    t.tp_call = rowmaker_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "RowMaker(kind, names, target=None)\n--\n\n"
               "Turns a row tuple into a dict ('dict'), an instance of the named tuple class "
               "target ('namedtuple'), target(*row) ('args') or target(**dict_row) ('kwargs').";
    t.tp_traverse = rowmaker_traverse;
    t.tp_clear = rowmaker_clear;
    t.tp_getset = rowmaker_getset;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_new = rowmaker_new;
    t.tp_free = PyObject_GC_Del;
    return t;
}

PyTypeObject RowMakerType = zt_rowmaker_type_object();

/* cursor.row_maker(kind, names, target=None): a new RowMaker (the type itself is not
 * published). */
static PyObject *pyzt_row_maker(PyObject *, PyObject *args, PyObject *kwds)
{
    return rowmaker_new(&RowMakerType, args, kwds);
}

PyMethodDef zt_row_methods[] = {
    ZT_METHD("_make_rows", pyzt_make_rows, METH_FASTCALL,
             "_make_rows(maker, rows, /)\n--\n\n"
             "Replaces each row of the list by maker(row); returns the list."),
    ZT_METHD("_row_maker", pyzt_row_maker, METH_VARARGS | METH_KEYWORDS,
             "_row_maker(kind, names, target=None)\n--\n\n"
             "A row maker: a row tuple into a dict ('dict'), an instance of the named tuple "
             "class target ('namedtuple'), target(*row) ('args') or target(**dict_row) "
             "('kwargs')."),
    {nullptr, nullptr, 0, nullptr},
};
