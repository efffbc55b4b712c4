/* zt_result.cpp - the description of a result (column names, type names, sizes) and
 * the conversion of the current row of a result into a tuple of Python values. */
#include "zt_cursor.h"
#include "pyzt_util.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

/* ---- calendar tables ---- */

/* Month and day of month of each day of a common year (day2md) and of a leap year
 * (day2md_rn), indexed by the day's number within the year, from 0. */
extern "C" const int day2md[365][2] = {
    {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11},
    {1, 12}, {1, 13}, {1, 14}, {1, 15}, {1, 16}, {1, 17}, {1, 18}, {1, 19}, {1, 20}, {1, 21},
    {1, 22}, {1, 23}, {1, 24}, {1, 25}, {1, 26}, {1, 27}, {1, 28}, {1, 29}, {1, 30}, {1, 31},
    {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 6}, {2, 7}, {2, 8}, {2, 9}, {2, 10}, {2, 11},
    {2, 12}, {2, 13}, {2, 14}, {2, 15}, {2, 16}, {2, 17}, {2, 18}, {2, 19}, {2, 20}, {2, 21},
    {2, 22}, {2, 23}, {2, 24}, {2, 25}, {2, 26}, {2, 27}, {2, 28},
    {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {3, 6}, {3, 7}, {3, 8}, {3, 9}, {3, 10}, {3, 11},
    {3, 12}, {3, 13}, {3, 14}, {3, 15}, {3, 16}, {3, 17}, {3, 18}, {3, 19}, {3, 20}, {3, 21},
    {3, 22}, {3, 23}, {3, 24}, {3, 25}, {3, 26}, {3, 27}, {3, 28}, {3, 29}, {3, 30}, {3, 31},
    {4, 1}, {4, 2}, {4, 3}, {4, 4}, {4, 5}, {4, 6}, {4, 7}, {4, 8}, {4, 9}, {4, 10}, {4, 11},
    {4, 12}, {4, 13}, {4, 14}, {4, 15}, {4, 16}, {4, 17}, {4, 18}, {4, 19}, {4, 20}, {4, 21},
    {4, 22}, {4, 23}, {4, 24}, {4, 25}, {4, 26}, {4, 27}, {4, 28}, {4, 29}, {4, 30},
    {5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 5}, {5, 6}, {5, 7}, {5, 8}, {5, 9}, {5, 10}, {5, 11},
    {5, 12}, {5, 13}, {5, 14}, {5, 15}, {5, 16}, {5, 17}, {5, 18}, {5, 19}, {5, 20}, {5, 21},
    {5, 22}, {5, 23}, {5, 24}, {5, 25}, {5, 26}, {5, 27}, {5, 28}, {5, 29}, {5, 30}, {5, 31},
    {6, 1}, {6, 2}, {6, 3}, {6, 4}, {6, 5}, {6, 6}, {6, 7}, {6, 8}, {6, 9}, {6, 10}, {6, 11},
    {6, 12}, {6, 13}, {6, 14}, {6, 15}, {6, 16}, {6, 17}, {6, 18}, {6, 19}, {6, 20}, {6, 21},
    {6, 22}, {6, 23}, {6, 24}, {6, 25}, {6, 26}, {6, 27}, {6, 28}, {6, 29}, {6, 30},
    {7, 1}, {7, 2}, {7, 3}, {7, 4}, {7, 5}, {7, 6}, {7, 7}, {7, 8}, {7, 9}, {7, 10}, {7, 11},
    {7, 12}, {7, 13}, {7, 14}, {7, 15}, {7, 16}, {7, 17}, {7, 18}, {7, 19}, {7, 20}, {7, 21},
    {7, 22}, {7, 23}, {7, 24}, {7, 25}, {7, 26}, {7, 27}, {7, 28}, {7, 29}, {7, 30}, {7, 31},
    {8, 1}, {8, 2}, {8, 3}, {8, 4}, {8, 5}, {8, 6}, {8, 7}, {8, 8}, {8, 9}, {8, 10}, {8, 11},
    {8, 12}, {8, 13}, {8, 14}, {8, 15}, {8, 16}, {8, 17}, {8, 18}, {8, 19}, {8, 20}, {8, 21},
    {8, 22}, {8, 23}, {8, 24}, {8, 25}, {8, 26}, {8, 27}, {8, 28}, {8, 29}, {8, 30}, {8, 31},
    {9, 1}, {9, 2}, {9, 3}, {9, 4}, {9, 5}, {9, 6}, {9, 7}, {9, 8}, {9, 9}, {9, 10}, {9, 11},
    {9, 12}, {9, 13}, {9, 14}, {9, 15}, {9, 16}, {9, 17}, {9, 18}, {9, 19}, {9, 20}, {9, 21},
    {9, 22}, {9, 23}, {9, 24}, {9, 25}, {9, 26}, {9, 27}, {9, 28}, {9, 29}, {9, 30},
    {10, 1}, {10, 2}, {10, 3}, {10, 4}, {10, 5}, {10, 6}, {10, 7}, {10, 8}, {10, 9}, {10, 10},
    {10, 11}, {10, 12}, {10, 13}, {10, 14}, {10, 15}, {10, 16}, {10, 17}, {10, 18}, {10, 19},
    {10, 20}, {10, 21}, {10, 22}, {10, 23}, {10, 24}, {10, 25}, {10, 26}, {10, 27}, {10, 28},
    {10, 29}, {10, 30}, {10, 31},
    {11, 1}, {11, 2}, {11, 3}, {11, 4}, {11, 5}, {11, 6}, {11, 7}, {11, 8}, {11, 9}, {11, 10},
    {11, 11}, {11, 12}, {11, 13}, {11, 14}, {11, 15}, {11, 16}, {11, 17}, {11, 18}, {11, 19},
    {11, 20}, {11, 21}, {11, 22}, {11, 23}, {11, 24}, {11, 25}, {11, 26}, {11, 27}, {11, 28},
    {11, 29}, {11, 30},
    {12, 1}, {12, 2}, {12, 3}, {12, 4}, {12, 5}, {12, 6}, {12, 7}, {12, 8}, {12, 9}, {12, 10},
    {12, 11}, {12, 12}, {12, 13}, {12, 14}, {12, 15}, {12, 16}, {12, 17}, {12, 18}, {12, 19},
    {12, 20}, {12, 21}, {12, 22}, {12, 23}, {12, 24}, {12, 25}, {12, 26}, {12, 27}, {12, 28},
    {12, 29}, {12, 30}, {12, 31}
};

extern "C" const int day2md_rn[366][2] = {
    {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11},
    {1, 12}, {1, 13}, {1, 14}, {1, 15}, {1, 16}, {1, 17}, {1, 18}, {1, 19}, {1, 20}, {1, 21},
    {1, 22}, {1, 23}, {1, 24}, {1, 25}, {1, 26}, {1, 27}, {1, 28}, {1, 29}, {1, 30}, {1, 31},
    {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 6}, {2, 7}, {2, 8}, {2, 9}, {2, 10}, {2, 11},
    {2, 12}, {2, 13}, {2, 14}, {2, 15}, {2, 16}, {2, 17}, {2, 18}, {2, 19}, {2, 20}, {2, 21},
    {2, 22}, {2, 23}, {2, 24}, {2, 25}, {2, 26}, {2, 27}, {2, 28}, {2, 29},
    {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {3, 6}, {3, 7}, {3, 8}, {3, 9}, {3, 10}, {3, 11},
    {3, 12}, {3, 13}, {3, 14}, {3, 15}, {3, 16}, {3, 17}, {3, 18}, {3, 19}, {3, 20}, {3, 21},
    {3, 22}, {3, 23}, {3, 24}, {3, 25}, {3, 26}, {3, 27}, {3, 28}, {3, 29}, {3, 30}, {3, 31},
    {4, 1}, {4, 2}, {4, 3}, {4, 4}, {4, 5}, {4, 6}, {4, 7}, {4, 8}, {4, 9}, {4, 10}, {4, 11},
    {4, 12}, {4, 13}, {4, 14}, {4, 15}, {4, 16}, {4, 17}, {4, 18}, {4, 19}, {4, 20}, {4, 21},
    {4, 22}, {4, 23}, {4, 24}, {4, 25}, {4, 26}, {4, 27}, {4, 28}, {4, 29}, {4, 30},
    {5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 5}, {5, 6}, {5, 7}, {5, 8}, {5, 9}, {5, 10}, {5, 11},
    {5, 12}, {5, 13}, {5, 14}, {5, 15}, {5, 16}, {5, 17}, {5, 18}, {5, 19}, {5, 20}, {5, 21},
    {5, 22}, {5, 23}, {5, 24}, {5, 25}, {5, 26}, {5, 27}, {5, 28}, {5, 29}, {5, 30}, {5, 31},
    {6, 1}, {6, 2}, {6, 3}, {6, 4}, {6, 5}, {6, 6}, {6, 7}, {6, 8}, {6, 9}, {6, 10}, {6, 11},
    {6, 12}, {6, 13}, {6, 14}, {6, 15}, {6, 16}, {6, 17}, {6, 18}, {6, 19}, {6, 20}, {6, 21},
    {6, 22}, {6, 23}, {6, 24}, {6, 25}, {6, 26}, {6, 27}, {6, 28}, {6, 29}, {6, 30},
    {7, 1}, {7, 2}, {7, 3}, {7, 4}, {7, 5}, {7, 6}, {7, 7}, {7, 8}, {7, 9}, {7, 10}, {7, 11},
    {7, 12}, {7, 13}, {7, 14}, {7, 15}, {7, 16}, {7, 17}, {7, 18}, {7, 19}, {7, 20}, {7, 21},
    {7, 22}, {7, 23}, {7, 24}, {7, 25}, {7, 26}, {7, 27}, {7, 28}, {7, 29}, {7, 30}, {7, 31},
    {8, 1}, {8, 2}, {8, 3}, {8, 4}, {8, 5}, {8, 6}, {8, 7}, {8, 8}, {8, 9}, {8, 10}, {8, 11},
    {8, 12}, {8, 13}, {8, 14}, {8, 15}, {8, 16}, {8, 17}, {8, 18}, {8, 19}, {8, 20}, {8, 21},
    {8, 22}, {8, 23}, {8, 24}, {8, 25}, {8, 26}, {8, 27}, {8, 28}, {8, 29}, {8, 30}, {8, 31},
    {9, 1}, {9, 2}, {9, 3}, {9, 4}, {9, 5}, {9, 6}, {9, 7}, {9, 8}, {9, 9}, {9, 10}, {9, 11},
    {9, 12}, {9, 13}, {9, 14}, {9, 15}, {9, 16}, {9, 17}, {9, 18}, {9, 19}, {9, 20}, {9, 21},
    {9, 22}, {9, 23}, {9, 24}, {9, 25}, {9, 26}, {9, 27}, {9, 28}, {9, 29}, {9, 30},
    {10, 1}, {10, 2}, {10, 3}, {10, 4}, {10, 5}, {10, 6}, {10, 7}, {10, 8}, {10, 9}, {10, 10},
    {10, 11}, {10, 12}, {10, 13}, {10, 14}, {10, 15}, {10, 16}, {10, 17}, {10, 18}, {10, 19},
    {10, 20}, {10, 21}, {10, 22}, {10, 23}, {10, 24}, {10, 25}, {10, 26}, {10, 27}, {10, 28},
    {10, 29}, {10, 30}, {10, 31},
    {11, 1}, {11, 2}, {11, 3}, {11, 4}, {11, 5}, {11, 6}, {11, 7}, {11, 8}, {11, 9}, {11, 10},
    {11, 11}, {11, 12}, {11, 13}, {11, 14}, {11, 15}, {11, 16}, {11, 17}, {11, 18}, {11, 19},
    {11, 20}, {11, 21}, {11, 22}, {11, 23}, {11, 24}, {11, 25}, {11, 26}, {11, 27}, {11, 28},
    {11, 29}, {11, 30},
    {12, 1}, {12, 2}, {12, 3}, {12, 4}, {12, 5}, {12, 6}, {12, 7}, {12, 8}, {12, 9}, {12, 10},
    {12, 11}, {12, 12}, {12, 13}, {12, 14}, {12, 15}, {12, 16}, {12, 17}, {12, 18}, {12, 19},
    {12, 20}, {12, 21}, {12, 22}, {12, 23}, {12, 24}, {12, 25}, {12, 26}, {12, 27}, {12, 28},
    {12, 29}, {12, 30}, {12, 31}
};

/* ---- date-times ---- */

/* Milliseconds from 1 January of year -110000 (proleptic Gregorian) to 1970-01-01:
 * shifting the count there keeps every date-time of years 1..9999 positive, so the
 * truncating divisions below act as floor divisions. */
static const int64_t ZT_EPOCH_SHIFT_MS = INT64_C(3533431852800000);

static bool zt_leap_year(int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

/* Splits t, milliseconds since 1970-01-01 00:00:00 without a time zone, into the
 * calendar date and the milliseconds since midnight. Exact for years 1..9999 (and
 * far beyond); the caller keeps t away from the int64 limits. */
void time_format(int64_t t, DateTime *out)
{
    const int64_t T = t + ZT_EPOCH_SHIFT_MS;
    const int64_t S = T / 1000;
    const int64_t D = S / 86400;

    /* A first guess of the years elapsed, by 400-, 100-, 4- and 1-year cycles, that
     * the day number n within the year then corrects by at most one year. */
    const int64_t E = D - 10;
    const int64_t E1 = E % 146097, E2 = E1 % 36524, E3 = E2 % 1461;
    int64_t y = 400 * (E / 146097) + 100 * (E1 / 36524) + 4 * (E2 / 1461) + E3 / 365;
    int64_t n = D - 365 * y - (y - 1) / 4 + (y - 1) / 100 - (y - 1) / 400;
    if (n > 364) {
        if (!zt_leap_year(y)) {
            y += 1;
            n -= 365;
        } else if (n != 365) {
            y += 1;
            n -= 366;
        }
    }
    const int(*md)[2] = zt_leap_year(y) ? day2md_rn : day2md;
    out->year = (int32_t)(y - 110000);
    out->month = (uint8_t)md[n][0];
    out->day = (uint8_t)md[n][1];
    out->wday = (uint8_t)(D % 7); /* 0 = Sunday: the origin day D = 0 was one */
    out->ms = (int32_t)((S % 86400) * 1000 + T % 1000);
}

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
    /* With Python types on, the name is reported whole. */
    const char *name = zt_curs_pytypes(self) ? col_name : zt_trim_column_name(col_name);
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

/* ---- row conversion ---- */

/* Text values are first requested into a stack buffer of this many bytes (or less):
 * nearly every value fits, and no memory is allocated for it. A longer value is
 * requested again with a buffer of its full length. */
static const int ZT_TEXT_STACK = 1024;

/* Largest capacity asked for an unbounded VARCHAR or CHAR on the first request. */
static const int64_t ZT_UNBOUNDED_TEXT = 196608;

/* Large-object handle, given back to the library when it goes out of scope. */
class ZtLob {
public:
    ZtLob() = default;
    ZtLob(const ZtLob &) = delete;
    ZtLob &operator=(const ZtLob &) = delete;
    ~ZtLob() { ZTC_Distroy_Lob(&h_); }
    ZTC_HANDLE *addr() { return &h_; }
private:
    ZTC_HANDLE h_ = nullptr;
};

/* ZTC_GetData for column col in its own type. The length word starts at 0 (NULL)
 * so that a library which writes nothing leaves a NULL. 0, or -1 with the library's
 * error raised. */
static int zt_get_data(cursorObject *self, int col, int type, void *buffer, int capacity,
                       int *length)
{
    *length = 0;
    if (ZTC_GetData(&self->p_results, col, type, buffer, capacity, length) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    return 0;
}

/* A str from UTF-8 text that ends at the first zero byte or after n bytes. Text that
 * is not UTF-8 raises the interpreter's UnicodeDecodeError. */
static PyObject *zt_text_to_str(const char *text, size_t n)
{
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)strnlen(text, n), nullptr);
}

/* A text value of column col. The first request has the given capacity (capped to
 * the stack buffer); when the length word reports a longer value, it is requested
 * again with a buffer of its full length, so no value is ever cut. With
 * null_by_length a length of 0 or less gives None; otherwise the item is whatever
 * text the library wrote ("" when nothing). */
static PyObject *zt_text_item(cursorObject *self, int col, int type, int64_t capacity,
                              bool null_by_length)
{
    char small[ZT_TEXT_STACK];
    int cap = (int)(capacity < ZT_TEXT_STACK - 1 ? capacity : ZT_TEXT_STACK - 1);
    std::memset(small, 0, (size_t)cap + 1);
    int length = 0;
    if (zt_get_data(self, col, type, small, cap, &length) < 0)
        return nullptr;
    if (null_by_length && length <= 0)
        Py_RETURN_NONE;
    if (length <= cap)
        return zt_text_to_str(small, (size_t)cap);

    /* Cut: ask again with room for the whole value and a terminating zero. */
    const int full = length;
    std::unique_ptr<char[]> big(new char[(size_t)full + 1]());
    if (zt_get_data(self, col, type, big.get(), full, &length) < 0)
        return nullptr;
    if (null_by_length && length <= 0)
        Py_RETURN_NONE;
    return zt_text_to_str(big.get(), (size_t)full);
}

/* The capacity asked for a VARCHAR (6 bytes a character) or CHAR (the declared
 * length) column of modifier modi. A modifier of 0 or less means unbounded. */
static int64_t zt_declared_text_capacity(int type, int modi)
{
    if (modi <= 0)
        return ZT_UNBOUNDED_TEXT;
    return type == ZTC_TYPE_VARCHAR ? 6 * (int64_t)modi : (int64_t)modi;
}

static PyObject *zt_declared_text_item(cursorObject *self, int col, int type)
{
    int modi = -1;
    ZTC_getResultcolmodi(&self->p_results, col, &modi);
    return zt_text_item(self, col, type, zt_declared_text_capacity(type, modi), true);
}

/* A fixed-width value of column col read into *value; None for NULL, otherwise the
 * item that make(value) returns. */
template <typename T, typename Make>
static PyObject *zt_fixed_item(cursorObject *self, int col, int type, Make make)
{
    T value{};
    int length = 0;
    if (zt_get_data(self, col, type, &value, (int)sizeof value, &length) < 0)
        return nullptr;
    if (length <= 0)
        Py_RETURN_NONE;
    return make(value);
}

/* NUMERIC arrives as decimal text and becomes a float. The interpreter's own parser
 * is used because strtod follows the C locale's decimal point, which a program may
 * have changed. */
static PyObject *zt_numeric_item(cursorObject *self, int col)
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

/* Earliest and latest millisecond counts that time_format handles without overflow;
 * the datetime constructor rejects years outside 1..9999 itself. */
static const int64_t ZT_DATETIME_MS_MIN = INT64_C(-3400000000000000000);
static const int64_t ZT_DATETIME_MS_MAX = INT64_C(5600000000000000000);

/* A naive datetime.datetime from milliseconds since 1970-01-01 00:00:00. A count
 * outside years 1..9999 raises ValueError. */
static PyObject *zt_datetime_from_ms(int64_t t)
{
    if (t < ZT_DATETIME_MS_MIN || t > ZT_DATETIME_MS_MAX) {
        PyErr_Format(PyExc_ValueError, "date-time %" PRId64 " ms is out of range", t);
        return nullptr;
    }
    DateTime dt;
    time_format(t, &dt);
    const int ms = dt.ms;
    return PyDateTime_FromDateAndTime(dt.year, dt.month, dt.day, ms / 3600000,
                                      ms / 60000 % 60, ms / 1000 % 60, ms % 1000 * 1000);
}

static PyObject *zt_datetime_item(cursorObject *self, int col)
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

/* "Y-MM" from a month count; a negative count is written with a leading '-'. */
static PyObject *zt_interval_ym_str(int32_t months)
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
static PyObject *zt_interval_ds_str(int64_t v)
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

/* BINARY (code 15) is never read: the item is a fixed marker text. A large object
 * is made and given back as for the other binary codes, but the request goes to a
 * scratch buffer of the same 8 bytes: for this code the library writes raw bytes,
 * which would overwrite the handle and leave it impossible to release. */
static PyObject *zt_binary_item(cursorObject *self, int col)
{
    static const char marker[] = "<BINARY> ";
    ZtLob lob;
    if (ZTC_Create_Lob(lob.addr()) < 0)
        return zt_raise_library_error(&self->p_conn);
    char scratch[8];
    int length = 0;
    if (zt_get_data(self, col, ZTC_TYPE_BINARY, scratch, (int)sizeof scratch, &length) < 0)
        return nullptr;
    if (length <= 0)
        Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(marker, sizeof marker - 1);
}

/* CLOB (as str) or BLOB (as bytes of exactly the value's length) through a large
 * object the library fills; the object is released on every path. */
static PyObject *zt_lob_item(cursorObject *self, int col, int type)
{
    ZtLob lob;
    if (ZTC_Create_Lob(lob.addr()) < 0)
        return zt_raise_library_error(&self->p_conn);
    int length = 0;
    if (zt_get_data(self, col, type, lob.addr(), 8, &length) < 0)
        return nullptr;
    if (length <= 0)
        Py_RETURN_NONE;

    if (type == ZTC_TYPE_BLOB) {
        PyRef value(PyBytes_FromStringAndSize(nullptr, length));
        if (!value)
            return nullptr;
        char *data = PyBytes_AS_STRING(value.get());
        int got = ZTC_Get_Lob_data(lob.addr(), data, length);
        if (got < 0)
            return zt_raise_library_error(&self->p_conn);
        if (got < length)
            std::memset(data + got, 0, (size_t)(length - got));
        return value.release();
    }
    std::unique_ptr<char[]> text(new char[(size_t)length + 1]());
    if (ZTC_Get_Lob_data(lob.addr(), text.get(), length) < 0)
        return zt_raise_library_error(&self->p_conn);
    return zt_text_to_str(text.get(), (size_t)length);
}

/* The Python value of column col of the current row, decoded by its type code. */
static PyObject *zt_column_value(cursorObject *self, int col, int type)
{
    switch (type) {
    case ZTC_TYPE_NULL:
        Py_RETURN_NONE;
    case ZTC_TYPE_BOOLEAN:
        /* The library's byte ('T' / 'F') as a one-byte bytes object. */
        return zt_fixed_item<char>(self, col, type, [](char v) {
            return PyBytes_FromStringAndSize(&v, 1);
        });
    case ZTC_TYPE_VARCHAR:
    case ZTC_TYPE_CHAR:
        return zt_declared_text_item(self, col, type);
    case ZTC_TYPE_TINYINT:
        return zt_fixed_item<unsigned char>(self, col, type, [](unsigned char v) {
            return PyLong_FromLong(v);
        });
    case ZTC_TYPE_SMALLINT:
        return zt_fixed_item<int16_t>(self, col, type, [](int16_t v) {
            return PyLong_FromLong(v);
        });
    case ZTC_TYPE_INTEGER:
        return zt_fixed_item<int32_t>(self, col, type, [](int32_t v) {
            return PyLong_FromLong(v);
        });
    case ZTC_TYPE_BIGINT:
        return zt_fixed_item<int64_t>(self, col, type, [](int64_t v) {
            return PyLong_FromLongLong(v);
        });
    case ZTC_TYPE_FLOAT:
        return zt_fixed_item<float>(self, col, type, [](float v) {
            return PyFloat_FromDouble(v);
        });
    case ZTC_TYPE_DOUBLE:
        return zt_fixed_item<double>(self, col, type, [](double v) {
            return PyFloat_FromDouble(v);
        });
    case ZTC_TYPE_NUMERIC:
        return zt_numeric_item(self, col);
    case ZTC_TYPE_DATE:
        return zt_text_item(self, col, type, 11, true);
    case ZTC_TYPE_TIME:
        return zt_text_item(self, col, type, 9, true);
    case ZTC_TYPE_DATETIME:
        return zt_text_item(self, col, type, 20, true);
    case ZTC_TYPE_BINARY:
        return zt_binary_item(self, col);
    case ZTC_TYPE_DATETIME_MS:
        return zt_datetime_item(self, col);
    case ZTC_TYPE_INTERVAL_YM:
        return zt_fixed_item<int32_t>(self, col, type, zt_interval_ym_str);
    case ZTC_TYPE_INTERVAL_DS:
        return zt_fixed_item<int64_t>(self, col, type, zt_interval_ds_str);
    case ZTC_TYPE_CLOB2:
    case ZTC_TYPE_BLOB:
        return zt_lob_item(self, col, type);
    default:
        /* Codes 12, 14, 18, 40, 58, 63 and unknown ones: the text the library writes
         * into a 400-byte buffer, whatever the length word says about NULL. */
        return zt_text_item(self, col, type, 400, false);
    }
}

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

PyObject *zt_curs_row_of(cursorObject *self, ZtColumnValue value, ZtViewValue view)
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
        self->rows_built += 1;
        ZTC_ROWVALUE stack[ZT_VIEWS_ON_STACK];
        std::unique_ptr<ZTC_ROWVALUE[]> heap;
        ZTC_ROWVALUE *views = nullptr;
        if (view != nullptr) {
            views = stack;
            if (count > ZT_VIEWS_ON_STACK) {
                heap.reset(new ZTC_ROWVALUE[(size_t)count]);
                views = heap.get();
            }
            /* A library that gives no views has every value read one by one. */
            if (ZTC_GetRowValues(&self->p_results, views, count) < 0)
                views = nullptr;
        }
        for (int col = 1; col <= count; ++col) {
            int type = ZTC_TYPE_NULL;
            ZTC_getResultcolType(&self->p_results, col, &type);
            bool served = false;
            PyObject *item = nullptr;
            if (views != nullptr)
                item = view(self, col, type, views[col - 1], &served);
            if (!served)
                item = value(self, col, type);
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

/* The module's own item for a column from the library's view of its value, for the codes
 * whose item the view gives exactly as zt_column_value builds it: integers, floats,
 * date-times (milliseconds, floor of the view's microseconds), VARCHAR and CHAR. *served
 * false for every other code and for a value the view does not decode. */
static PyObject *zt_view_value(cursorObject *self, int col, int type, const ZTC_ROWVALUE &v,
                               bool *served)
{
    (void)self;
    (void)col;
    *served = true;
    const bool null = v.text == nullptr && v.length == -1;
    switch (type) {
    case ZTC_TYPE_SMALLINT:
    case ZTC_TYPE_INTEGER:
    case ZTC_TYPE_BIGINT:
        if (null)
            Py_RETURN_NONE;
        if (v.decoded)
            return PyLong_FromLongLong(v.integer);
        break;
    case ZTC_TYPE_FLOAT:
    case ZTC_TYPE_DOUBLE:
        if (null)
            Py_RETURN_NONE;
        if (v.decoded)
            return PyFloat_FromDouble(v.real);
        break;
    case ZTC_TYPE_DATETIME_MS:
        if (null)
            Py_RETURN_NONE;
        if (v.decoded) {
            const int64_t ms = v.integer / 1000 - (v.integer % 1000 < 0 ? 1 : 0);
            return zt_datetime_from_ms(ms);
        }
        break;
    case ZTC_TYPE_VARCHAR:
    case ZTC_TYPE_CHAR:
        /* Read whole, None for NULL and for an empty text, cut at a zero byte. */
        if (null || (v.text != nullptr && v.length <= 0))
            Py_RETURN_NONE;
        if (v.text != nullptr)
            return zt_text_to_str(v.text, (size_t)v.length);
        break;
    default:
        break;
    }
    *served = false;
    return nullptr;
}

PyObject *_pyzt_curs_buildrow(cursorObject *self)
{
    if (PyDateTimeAPI == nullptr) {
        PyErr_SetString(PyExc_ImportError, "datetime initialization failed");
        return nullptr;
    }
    if (zt_curs_pytypes(self))
        return zt_py_buildrow(self);
    return zt_curs_row_of(self, zt_column_value, zt_view_value);
}
