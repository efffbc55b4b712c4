/* zt_conv.h - the driver's conversion layer: one table of adapters per face.
 *
 * An adapter takes the Python values of one family (an exact-type fast path, then
 * subclasses), names the library type code a procedure parameter of that value gets, and
 * encodes one value as a library input parameter. Decoders, keyed by the library's type
 * code, build Python values from a result's columns. The module's own forms and the
 * Python-typed forms (connection attribute `pytypes`) are two tables; a path asks the
 * cursor's table (zt_conv_of) and never the flag. Each family lives in one source file
 * (zt_conv_number.cpp, zt_conv_text.cpp, zt_conv_datetime.cpp, zt_conv_interval.cpp)
 * that holds both directions; zt_conv.cpp lists them in the two tables.
 *
 * Every routine here expects the interpreter lock. */
#ifndef ZT_CONV_H
#define ZT_CONV_H

#include "zt_cursor.h"
#include "zt_call.h"
#include "pyzt_util.h"

#include <cstdint>
#include <string>
#include <vector>

/* ---- Python -> library ---- */

/* One value ready for the library's input binding: `data` points at `buflen` readable
 * bytes (in `local`, in `owned`, or inside the object `keep` holds) and `length` is the
 * length word. The library copies the bytes during the binding call. */
struct zt_param {
    int type = ZTC_TYPE_NULL;
    const char *data = nullptr;
    int buflen = 0;
    int length = 0;
    char local[64];
    std::string owned;
    PyRef keep;

    /* `size` zero-filled bytes of `local` (at most 64), handed over with length word
     * `len`; the caller writes the value into local. */
    char *use_local(int code, int size, int len);
    /* A copy of `n` bytes handed over as buflen n + 1 (a zero after them), length n. */
    void use_copy(int code, const char *bytes, size_t n);
};

/* Where one value is going: its position (from 1, for messages), the declared size of
 * the position (-1 without one), and how a float goes in this path. */
struct zt_encode_ctx {
    int pos;
    int32_t declared;
    zt_float_mode floats;
};

/* Encodes `value` into `out`: 0, or -1 with an exception set (nothing to bind). */
typedef int (*zt_encode_fn)(const zt_encode_ctx &ctx, PyObject *value, zt_param &out);

struct zt_adapter {
    const char *family;
    /* The exact type of the fast path (null: none, the family is tested by `takes`). */
    PyTypeObject *(*exact)(void);
    /* Whether the family takes a value of another type (a subclass). */
    bool (*takes)(PyObject *value);
    /* The type code of a procedure or function parameter holding such a value. */
    int call_code;
    zt_encode_fn encode;
};

/* ---- library -> Python ---- */

/* Builds the Python value of column col (from 1) of the current row: `value` reads it
 * with ZTC_GetData; `view` builds it from the library's view of the row's value and sets
 * *served false (nothing built, no error) when the view does not carry it, which `value`
 * then reads. Both build the same object; `view` may be null. */
struct zt_decoder {
    ZtColumnValue value;
    ZtViewValue view;
};

/* One entry of a table's decoders: the library type code it reads. A column whose flags
 * hold `flags` takes the entry before one without flags. */
struct zt_decoder_entry {
    int code;
    int flags;
    zt_decoder decoder;
};

struct zt_conv_table {
    const char *name;
    /* The description names a column whole ("t.a"), not from its first '.' or '%'. */
    bool whole_column_names;
    /* Procedure outputs are read from the call's output row by the server's types (no
     * declared code needed), and positions declared as INT_LITERAL or INTERVAL_DS are
     * bound, an aware time keeping its offset. */
    bool typed_calls;
    const zt_adapter *const *adapters;   /* in the order values are tested */
    size_t adapter_count;
    const zt_decoder_entry *decoders;
    size_t decoder_count;
    zt_decoder fallback;                 /* every code without an entry */
    /* Procedure and function positions by their type code, one list per family. */
    const zt_call_codecs *const *call_codecs;
    size_t call_codec_count;
    /* PostgreSQL's own types of a cursor with an adapters map (zt_pgtypes.h), asked
     * before the families; null in a table without them. bind_own: 1 bound, 0 not one of
     * them, -1 with an error set. prepare_rows: once per row, 0 or -1. own_value: asked
     * first for each column, *served false when the column is not one of them. */
    int (*bind_own)(cursorObject *self, int pos, PyObject *item);
    int (*prepare_rows)(cursorObject *self);
    PyObject *(*own_value)(cursorObject *self, int col, const ZTC_ROWVALUE *v, bool *served);
};

/* The module's own forms, and the Python-typed forms. */
extern const zt_conv_table zt_conv_specified;
extern const zt_conv_table zt_conv_pytypes;

/* The table of the cursor's connection. */
inline const zt_conv_table &zt_conv_of(const cursorObject *self)
{
    return zt_curs_pytypes(self) ? zt_conv_pytypes : zt_conv_specified;
}

/* The adapter of a value: its exact type first, then the families in table order; null
 * (no error) when none takes it, -1 never. May import decimal (runs Python code). */
const zt_adapter *zt_conv_find(const zt_conv_table &table, PyObject *value);
/* Encodes one value by the table into `out`; a value no family takes is refused with
 * ProgrammingError "parameter N: unsupported type 'T'". 0, or -1 with an error set. */
int zt_conv_encode(const zt_conv_table &table, const zt_encode_ctx &ctx, PyObject *value,
                   zt_param &out);
/* The entry filling a procedure or function position of type code `code`, and reading a
 * function's return of that code; null when the table binds no such position. */
const zt_call_codec *zt_conv_call_codec(const zt_conv_table &table, int code);
/* The decoder of a column of type `code` whose flags are `flags`. */
const zt_decoder &zt_conv_decoder(const zt_conv_table &table, int code, int flags);

/* The decoders of the current result's columns, resolved once per result: kept with the
 * cursor, dropped when the result is released (FreeResults) or moves to its next result
 * set, rebuilt when the result handle, its column count or the table changes. */
struct zt_row_plan {
    ZTC_HANDLE results = nullptr;
    const zt_conv_table *table = nullptr;
    std::vector<int> types;
    std::vector<const zt_decoder *> decoders;
};
/* The cursor's plan for its current result (count columns); null with an error set. */
const zt_row_plan *zt_curs_row_plan(cursorObject *self, int count);
/* Gives back the plan a cursor keeps (its deallocation). */
void zt_curs_drop_row_plan(cursorObject *self);

/* ---- shared by the families ---- */

/* The unqualified name of a value's type ("timedelta", not "datetime.timedelta"). */
const char *zt_conv_type_name(PyObject *value);
/* ProgrammingError "parameter N: value too long". Always -1. */
int zt_conv_too_long(int pos);
/* decimal.Decimal, looked up once and kept for the life of the process; null with an
 * error set when it cannot be imported. */
PyObject *zt_conv_decimal_type(void);

/* The text a float goes to the server as, in every path, spelt one of two ways that both
 * carry the float's shortest exact decimal (the server stores the same value):
 * ZT_FLOAT_FIXED13 (execute): thirteen fixed decimals when that text is the shortest
 * decimal padded with zeros, otherwise the shortest text, and the server's spellings
 * for infinities and NaN; ZT_FLOAT_G (procedure positions): "%g" at the least precision
 * (6 or more) that reads back as the same double. Empty with an exception set when
 * memory runs out. */
enum zt_float_spelling { ZT_FLOAT_FIXED13, ZT_FLOAT_G };
std::string zt_float_text(double v, zt_float_spelling spelling);

/* The families (one source file each). */
extern const zt_adapter zt_adapt_bool, zt_adapt_bool_typed, zt_adapt_int, zt_adapt_int_typed,
    zt_adapt_float, zt_adapt_float_typed, zt_adapt_decimal, zt_adapt_decimal_typed;
extern const zt_adapter zt_adapt_str, zt_adapt_bytes, zt_adapt_buffer, zt_adapt_buffer_typed,
    zt_adapt_none;
extern const zt_adapter zt_adapt_datetime, zt_adapt_date, zt_adapt_time, zt_adapt_time_typed;
extern const zt_adapter zt_adapt_timedelta;

/* Decoders of the module's own forms (zt_dec_*) and of the Python-typed ones (zt_pydec_*). */
extern const zt_decoder zt_dec_null, zt_dec_boolean, zt_dec_tinyint, zt_dec_int, zt_dec_float,
    zt_dec_numeric, zt_pydec_boolean, zt_pydec_tinyint, zt_pydec_int, zt_pydec_float,
    zt_pydec_numeric;
extern const zt_decoder zt_dec_declared_text, zt_dec_binary, zt_dec_lob, zt_dec_other_text,
    zt_pydec_blob, zt_pydec_clob, zt_pydec_text;
extern const zt_decoder zt_dec_date_text, zt_dec_time_text, zt_dec_datetime_text,
    zt_dec_datetime_ms, zt_pydec_date, zt_pydec_time, zt_pydec_timestamp, zt_pydec_timestamptz;
/* Procedure and function positions of each family, in both tables' forms. */
extern const zt_call_codecs zt_call_number, zt_call_int_literal_codecs, zt_call_datetime_codecs,
    zt_call_datetime_codecs_typed, zt_call_interval_codecs, zt_call_interval_codecs_typed,
    zt_call_text_codecs;

extern const zt_decoder zt_dec_interval_ym, zt_dec_interval_ds, zt_pydec_interval_ym,
    zt_pydec_interval_ds;

#endif
