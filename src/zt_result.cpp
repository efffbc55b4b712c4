/* zt_result.cpp - the description of a result (column names, type names, sizes) and
 * the building of the current row of a result into a tuple of Python values, each
 * column decoded by the decoder the conversion table gives it (zt_conv.h). */
#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_conv.h"

#include <cstring>
#include <memory>
#include <new>

/* ---- description ---- */

/* The type-name table: the name for a library type code and, for the codes of fixed
 * width, the size that replaces the modifier in *size. Unknown codes get "". */
static const char *zt_curs_getcolattr(int type, int *size)
{
    switch (type) {
    case ZTC_TYPE_NULL: *size = 0; return "NULL";
    case ZTC_TYPE_BOOLEAN: *size = 1; return "BOOLEAN";
    case ZTC_TYPE_VARCHAR:
        /* An unbounded VARCHAR reports the largest 16-bit length. */
        if (*size == -1)
            *size = 65535;
        return "VARCHAR";
    case ZTC_TYPE_TINYINT: *size = 1; return "TINYINT";
    case ZTC_TYPE_SMALLINT: *size = 2; return "SMALLINT";
    case ZTC_TYPE_INTEGER: *size = 4; return "INTEGER";
    case ZTC_TYPE_BIGINT: *size = 8; return "BIGINT";
    case ZTC_TYPE_FLOAT: *size = 4; return "FLOAT";
    case ZTC_TYPE_DOUBLE: *size = 8; return "DOUBLE";
    case ZTC_TYPE_NUMERIC: return "NUMERIC";
    case ZTC_TYPE_DATE: *size = 3; return "DATE";
    case ZTC_TYPE_TIME:
    case ZTC_TYPE_TIME2: return "TIME";
    case ZTC_TYPE_DATETIME:
    case ZTC_TYPE_DATETIME2:
    case ZTC_TYPE_DATETIME_MS: return "DATETIME";
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2: return "BINARY";
    case ZTC_TYPE_INTERVAL_YM: *size = 4; return "INTERVAL YEAR TO MONTH";
    case ZTC_TYPE_INTERVAL_DS: *size = 8; return "INTERVAL DAY TO SECOND";
    case ZTC_TYPE_CLOB:
    case ZTC_TYPE_CLOB2: return "CLOB";
    case ZTC_TYPE_BLOB: return "BLOB";
    case ZTC_TYPE_REFCURSOR: return "RefCursor";
    case ZTC_TYPE_CHAR:
    case ZTC_TYPE_CHAR2: return "CHAR";
    default: return "";
    }
}

/* The column name as description reports it: the text after the first '%' when there
 * is one, otherwise after the first '.', otherwise the whole name. One cut only. */
static const char *zt_trim_column_name(const char *name)
{
    const char *cut = std::strchr(name, '%');
    if (cut == nullptr)
        cut = std::strchr(name, '.');
    return cut != nullptr ? cut + 1 : name;
}

/* One 7-item tuple of description for column col (from 1). type and modi carry over
 * from the previous column when the library cannot tell them. */
/* A description's type name as a str, made once per name: zt_curs_getcolattr gives static
 * texts, and every execute describes its columns again. The table is a plain array, never
 * destroyed, so the strings it holds stay reachable to the end (as the date cache's). A
 * new reference, or null. */
struct ZtTypeNameSlot {
    const char *name;
    PyObject *str;
};
static ZtTypeNameSlot zt_type_names[64];

static PyObject *zt_type_name_str(const char *name)
{
    for (ZtTypeNameSlot &slot : zt_type_names) {
        if (slot.name == name) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        if (slot.name == nullptr) {
            PyObject *str = PyUnicode_InternFromString(name);
            if (str == nullptr)
                return nullptr;
            slot.name = name;
            slot.str = str;
            Py_INCREF(str);
            return str;
        }
    }
    return PyUnicode_InternFromString(name);  /* the table is full: made each time */
}

static PyObject *zt_curs_column_description(cursorObject *self, int col, int *type, int *modi)
{
    char col_name[256];
    std::memset(col_name, 0, sizeof col_name);
    ZTC_getResultcolname(&self->p_results, col, col_name);
    /* The library writes at most 255 bytes and a zero; keep the text terminated even
     * when it does not. */
    col_name[sizeof col_name - 1] = '\0';
    ZTC_getResultcolType(&self->p_results, col, type);
    ZTC_getResultcolmodi(&self->p_results, col, modi);

    int size = *modi;
    int scale = 0;
    const char *col_type = zt_curs_getcolattr(*type, &size);
    if (*type == ZTC_TYPE_NUMERIC) {
        /* The modifier packs the precision in its high half and the scale below. */
        scale = *modi % 16;
        size = *modi >> 16;
    }
    /* The Python-typed table reports the name whole. */
    const char *name = zt_conv_of(self).whole_column_names ? col_name
                                                           : zt_trim_column_name(col_name);
    PyRef item(PyTuple_New(7));
    if (!item)
        return nullptr;
    PyObject *fields[7] = {PyUnicode_FromString(name), zt_type_name_str(col_type), Py_None,
                           Py_None, PyLong_FromLong(size), PyLong_FromLong(scale), Py_None};
    bool made = true;
    for (int i = 0; i < 7; ++i) {
        if (fields[i] == Py_None)
            Py_INCREF(Py_None);
        made = made && fields[i] != nullptr;
        PyTuple_SET_ITEM(item.get(), i, fields[i]);
    }
    return made ? item.release() : nullptr;
}

int zt_curs_description(cursorObject *self)
{
    int count = 0;
    ZTC_getResultColumnsnum(&self->p_results, &count);
    if (count <= 0) {
        Py_INCREF(Py_None);
        zt_curs_set_description(self, Py_None);
        return 0;
    }
    PyRef list(PyList_New(count));
    if (!list)
        return -1;
    int type = 0, modi = 0;
    for (int col = 1; col <= count; ++col) {
        PyObject *item = zt_curs_column_description(self, col, &type, &modi);
        if (item == nullptr)
            return -1;
        PyList_SET_ITEM(list.get(), col - 1, item);
    }
    zt_curs_set_description(self, list.release());
    return 0;
}

/* ---- row building ---- */

void zt_untrack_plain_row(PyObject *row)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(row);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyObject_IS_GC(PyTuple_GET_ITEM(row, i)))
            return;
    PyObject_GC_UnTrack(row);
}

/* Up to this many columns a row's views live on the stack. */
static const int ZT_VIEWS_ON_STACK = 32;

/* Replaces a UnicodeDecodeError met while column col of the row was built with a
 * DataError that names the column and the row (the decode error as its cause); any
 * other error stays. Returns nullptr. */
static PyObject *zt_curs_value_failed(cursorObject *self, int col)
{
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return nullptr;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef cause(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyRef name;
    PyObject *description = self->description;
    if (description && PyList_Check(description) && col <= PyList_GET_SIZE(description)) {
        PyObject *column = PyList_GET_ITEM(description, col - 1);
        if (PyTuple_Check(column) && PyTuple_GET_SIZE(column) > 0)
            name.reset(PyObject_Repr(PyTuple_GET_ITEM(column, 0)));
    }
    PyErr_Clear();
    PyRef text(name ? PyUnicode_FromFormat("column %d (%U) of row %lld holds text that is not "
                                           "valid UTF-8; the rows read before it come with the "
                                           "next fetch, this one is skipped",
                                           col, name.get(), (long long)self->rows_built)
                    : PyUnicode_FromFormat("column %d of row %lld holds text that is not valid "
                                           "UTF-8; the rows read before it come with the next "
                                           "fetch, this one is skipped",
                                           col, (long long)self->rows_built));
    if (!text)
        return nullptr;
    PyRef error(PyObject_CallFunctionObjArgs(DataError, text.get(), nullptr));
    if (!error)
        return nullptr;
    if (cause)
        PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(DataError, error.get());
    return nullptr;
}

PyObject *zt_curs_row_of(cursorObject *self)
{
    try {
        int count = 0;
        ZTC_getResultColumnsnum(&self->p_results, &count);
        if (count < 0)
            count = 0;
        /* Python code run meanwhile (the collector, a value's constructor) cannot release
         * the result: the cursor is busy (zt_curs_enter), so the views stay valid. */
        PyRef row(PyTuple_New(count));
        if (!row)
            return nullptr;
        const zt_conv_table &table = zt_conv_of(self);
        if (table.prepare_rows != nullptr && table.prepare_rows(self) < 0)
            return nullptr;
        const zt_row_plan *plan = zt_curs_row_plan(self, count);
        self->rows_built += 1;
        ZTC_ROWVALUE stack[ZT_VIEWS_ON_STACK];
        std::unique_ptr<ZTC_ROWVALUE[]> heap;
        ZTC_ROWVALUE *views = stack;
        if (count > ZT_VIEWS_ON_STACK) {
            heap.reset(new ZTC_ROWVALUE[(size_t)count]);
            views = heap.get();
        }
        /* A library that gives no views has every value read one by one. */
        if (ZTC_GetRowValues(&self->p_results, views, count) < 0)
            views = nullptr;
        for (int col = 1; col <= count; ++col) {
            const zt_decoder &decoder = *plan->decoders[(size_t)col - 1];
            const int type = plan->types[(size_t)col - 1];
            bool served = false;
            PyObject *item = nullptr;
            if (table.own_value != nullptr)
                item = table.own_value(self, col, views ? &views[col - 1] : nullptr, &served);
            if (!served && views != nullptr && decoder.view != nullptr)
                item = decoder.view(self, col, type, views[col - 1], &served);
            if (!served)
                item = decoder.value(self, col, type);
            if (item == nullptr)
                return zt_curs_value_failed(self, col);
            PyTuple_SET_ITEM(row.get(), col - 1, item);
        }
        zt_untrack_plain_row(row.get());
        return row.release();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *_pyzt_curs_buildrow(cursorObject *self)
{
    if (PyDateTimeAPI == nullptr) {
        PyErr_SetString(PyExc_ImportError, "datetime initialization failed");
        return nullptr;
    }
    return zt_curs_row_of(self);
}
