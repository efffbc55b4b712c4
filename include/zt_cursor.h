/* zt_cursor.h - the cursor record, its type, and the routines the cursor's source
 * files share. */
#ifndef ZT_CURSOR_H
#define ZT_CURSOR_H

#include "pyztdb.h"
#include "ZTCsql.h"
#include "zt_connect.h"
#include "zt_calendar.h"

#include <stdint.h>

typedef struct {
    PyObject_HEAD
    ZTC_HANDLE p_conn;          /* copy of the connection's session handle */
    ZTC_HANDLE *p_conn_zt;      /* address of the connection's p_conn: empty means closed */
    unsigned int closed : 1;    /* no live result */
    unsigned int notuples : 1;
    unsigned int withhold : 1;
    unsigned int prepare : 1;   /* a statement is prepared and must be unprepared */
    unsigned int service_cur : 1; /* a server cursor named by `name` is open */
    unsigned int busy : 1;      /* one of the cursor's methods is running (zt_held) */
    int32_t scrollable;
    int32_t *ParameterType;     /* declared type codes (C allocator), or empty */
    int32_t ParameterNum;       /* entries in ParameterType */
    int32_t *ParameterSize;     /* declared sizes (C allocator), -1 = none, or empty */
    int32_t ParameterSizeNum;   /* entries in ParameterSize */
    int32_t sql_type;           /* class of the current result; -1 without one */
    int32_t effect_num;         /* affected rows */
    int32_t fieldnum;           /* columns of the current result */
    int64_t rowcount;           /* the row count, one 64-bit value */
    int64_t arraysize;          /* fetchmany's default size */
    int64_t itersize;
    int64_t row;                /* unread rows of the current server-cursor rowset */
    int64_t mark;
    char *name;                 /* server cursor name (C allocator), or empty */
    ZTC_HANDLE p_results;       /* the result handle, or empty */
    PyObject *description;      /* owned; may be empty */
    PyObject *conn;             /* owned reference to the connection */
    uint64_t session_gen;       /* the connection's session_gen when p_conn was copied */
    PyObject *kept_rows;        /* owned list, or empty: rows a failed fetch had read,
                                   handed out first by the next fetch */
    int64_t rows_built;         /* rows built from the current execution's result */
    PyObject *pg_plan;          /* owned, or empty: the readers of the current result's
                                   columns by server type (zt_pgtypes.h); None: none */
    struct zt_row_plan *row_plan; /* owned (new), or empty: the decoders of the current
                                   result's columns (zt_conv.h) */
} cursorObject;

extern PyTypeObject cursorType;

/* ---- zt_cursor.cpp ---- */

/* Keeps the rows of `list` (a fetch's rows so far, read before one whose text could not
 * be decoded: the pending exception is DataError) for the next fetch; the pending
 * exception stays. Any other failure keeps nothing. */
void zt_curs_keep_rows(cursorObject *self, PyObject *list);
/* A new list holding up to `count` kept rows (all when count <= 0), taken off the
 * cursor; an empty list when none are kept; nullptr with an error set. */
PyObject *zt_curs_take_kept(cursorObject *self, Py_ssize_t count);
/* True while rows of a failed fetch wait to be handed out. */
bool zt_curs_has_kept(const cursorObject *self);

/* The cursor check: 0 when the connection and the cursor hold a session, otherwise
 * -1 with OperationalError "The cursor object does not exist". */
int zt_curs_check(cursorObject *self);
/* True while the session the cursor copied is still its connection's open session:
 * only then may the cursor's server cursor or prepared statement be given back. */
bool zt_curs_session_alive(cursorObject *self);
/* Releases the current result (server cursor, prepared statement, result handle) and
 * resets counts, sql_type and description. Never fails; keeps a pending exception. */
void FreeResults(cursorObject *self);
/* Marks the cursor busy for one of its methods: 0, or -1 with ProgrammingError when a
 * method of the cursor is running already. Python code that runs inside a method (a
 * parameter's __str__, a GC callback, a finalizer) and calls the same cursor is refused
 * here, so no method ever has the cursor's result, declarations or connection changed
 * under it. Expects the interpreter lock and the connection's hold (ZtHold): only the
 * thread holding the session can find the flag set. */
int zt_curs_enter(cursorObject *self);
/* Clears the busy flag zt_curs_enter set. */
inline void zt_curs_leave(cursorObject *self) { self->busy = 0; }
/* The cursor state of "no result": closed set, counts 0, sql_type -1, description
 * empty. FreeResults ends with it; so does giving up a server cursor. */
void zt_curs_forget_result(cursorObject *self);
/* What every execution method does first: releases the previous result, row count 0,
 * description None. */
void zt_curs_begin_execution(cursorObject *self);
/* Re-imports the datetime C interface into PyDateTimeAPI; -1 with an error set. */
int zt_load_datetime_api(void);

/* datetime.h gives every source file its own static PyDateTimeAPI. Source files that
 * use the datetime macros include datetime.h through this header instead: its static
 * copy is renamed out of the way and PyDateTimeAPI names the one pointer, defined in
 * zt_cursor.cpp, that zt_load_datetime_api refreshes. */
#define PyDateTimeAPI zt_datetime_api_unused [[maybe_unused]]
#include <datetime.h>
#undef PyDateTimeAPI
extern PyDateTime_CAPI *zt_datetime_api;
#define PyDateTimeAPI zt_datetime_api
/* Sets description, releasing the previous reference (steals `value`, may be null). */
void zt_curs_set_description(cursorObject *self, PyObject *value);

/* ---- zt_fetch.cpp ---- */

class PyRef;
/* Reads the next row of a plain result into *row: 1 with a row, 0 at the end, -1
 * with an error set; the result moves past the row either way. */
int zt_curs_plain_row(cursorObject *self, PyRef *row);

/* ---- zt_execute.cpp ---- */

/* What one execute-like method (execute, executemany, executebatch, callproc, callfunc,
 * fetchpage, the pipeline's send and take, copy_start) adds to the steps
 * zt_curs_execution takes for every one of them. Each step returns 0 to go on or -1
 * with an error set; Python code may run in arguments(), parse() and bind(). */
class ZtExecution {
public:
    /* clears_bindings: the session's bindings of an earlier statement are cleared
     * (ZTC_Reset) before bind(). */
    explicit ZtExecution(bool clears_bindings) : clears_bindings_(clears_bindings) {}
    virtual ~ZtExecution() = default;
    ZtExecution(const ZtExecution &) = delete;
    ZtExecution &operator=(const ZtExecution &) = delete;

    /* Reads the arguments that are checked before anything else (a call failing here
     * keeps the cursor's previous result). */
    virtual int arguments(cursorObject *) { return 0; }
    /* Reads the arguments once the previous result is released; 1 when the call is
     * complete without running anything (result() then gives its value). */
    virtual int parse(cursorObject *) { return 0; }
    /* Converts and binds the parameters. */
    virtual int bind(cursorObject *) { return 0; }
    /* Runs the statement on the session and takes its outcome into the cursor. */
    virtual int run(cursorObject *self) = 0;
    /* The method's value: a new reference, or null with an error set. */
    virtual PyObject *result(cursorObject *) { Py_RETURN_NONE; }

    const bool clears_bindings_;

protected:
    /* Reads (statement, parameters) from args by `format` ("O|O", "OO") into sql_ and
     * *parameter (borrowed); a bad argument list is ProgrammingError "<method>
     * Parameter mismatch" with the parser's TypeError as its cause. 0, or -1. */
    int statement_arguments(PyObject *args, const char *format, const char *method,
                            PyObject **parameter);
    const char *sql_ = nullptr;     /* the statement's UTF-8 text, borrowed from args */
};
/* The one execution routine: arguments, the cursor check, release of the previous
 * result, parse, the session checked again (Python code run so far may have closed the
 * connection), the bindings cleared, bind, the session checked again, run, result. A
 * memory failure anywhere is MemoryError. The caller runs it inside a held method, so
 * the cursor is busy throughout: no Python code run by a step can reach this cursor. */
PyObject *zt_curs_execution(cursorObject *self, ZtExecution &how);

/* Settles rowcount after an execution or a new rowset. */
void zt_curs_rowcount(cursorObject *self);
/* Takes the outcome of a successful execution into the cursor: class 1 gives rowcount 1;
 * otherwise ZTC_getResultRet, rowcount and description. 0, or -1 with an error set. */
int zt_curs_take_result(cursorObject *self);
/* The UTF-8 text of a statement argument (borrowed from `stringsql`), or null with
 * ProgrammingError "<method> Parameter mismatch: ..." when it is not a str, has no
 * UTF-8 form or contains a zero character (the library takes zero-terminated text). */
const char *zt_statement_utf8(PyObject *stringsql, const char *method);

/* ---- zt_bind.cpp ---- */

/* How a float goes: as text (execute), or as an 8-byte double (executemany). */
enum zt_float_mode { ZT_FLOAT_AS_TEXT = 0, ZT_FLOAT_AS_DOUBLE = 1 };
/* Binds one Python value as the input parameter at position pos (from 1) the way
 * execute does (floats as text, or as 8-byte doubles for executemany). 0 on success,
 * -1 with an exception set; nothing is bound then. */
int zt_bind_value(cursorObject *self, int pos, PyObject *item, zt_float_mode floats);
/* Binds every item of a parameters sequence at positions 1..n. 0, or -1 with an
 * exception set (the statement must then not run). */
int zt_bind_parameters(cursorObject *self, PyObject *parameters, zt_float_mode floats);
/* The declared size of position i (from 0), or -1 when none is declared. */
int32_t zt_declared_size(const cursorObject *self, Py_ssize_t i);

/* ---- zt_conv_datetime.cpp, zt_conv_interval.cpp: what other paths share ---- */

/* The datetime whose fields a parameter is formatted from: an aware value converted to
 * UTC (*aware then set), a naive one (or one whose utcoffset() is None) as it is. A new
 * reference, or null with an error set. */
PyObject *zt_datetime_for_sending(PyObject *dt, bool *aware = nullptr);
/* Days from 1970-01-01 to a proleptic Gregorian date. */
inline int64_t zt_days_from_civil(int64_t y, int m, int d)
{
    return zt_calendar::days_from_civil(y, m, d);
}
/* Microseconds since 1970-01-01 00:00:00 of a datetime's time of day on `days` (its own
 * date's day count, which a caller may have kept from an earlier row; tzinfo unread). */
inline int64_t zt_datetime_micros_on(PyObject *dt, int64_t days)
{
    const int64_t seconds = (PyDateTime_DATE_GET_HOUR(dt) * 60 +
                             PyDateTime_DATE_GET_MINUTE(dt)) * 60 +
                            PyDateTime_DATE_GET_SECOND(dt);
    return (days * 86400 + seconds) * 1000000 + PyDateTime_DATE_GET_MICROSECOND(dt);
}
/* A datetime's date and time as microseconds since 1970-01-01 00:00:00 (tzinfo unread). */
inline int64_t zt_datetime_micros(PyObject *dt)
{
    return zt_datetime_micros_on(dt, zt_days_from_civil(PyDateTime_GET_YEAR(dt),
                                                        PyDateTime_GET_MONTH(dt),
                                                        PyDateTime_GET_DAY(dt)));
}
/* A timedelta's length in microseconds; false when they do not fit 64 bits. */
bool zt_timedelta_micros(PyObject *delta, int64_t &micros);
/* A timedelta as interval text ("D days S.ffffff seconds") written into text; its length. */
int zt_timedelta_text(PyObject *delta, char *text, size_t size);
/* An aware time as "HH:MM:SS.ffffff+HH:MM:SS" written into text (64 bytes suffice), for
 * the server to read as a time with time zone: its length, 0 when the time has no
 * offset (it goes the plain way), -1 with an error set. */
int zt_aware_time_text(PyObject *time, char *text, size_t size);

/* ---- zt_declare.cpp ---- */

/* Type code of a procedure or function parameter, declared or inferred; -1 with an
 * error set. */
int zt_default_parameter_type(cursorObject *self, PyObject *item, const int i);

/* ---- zt_result.cpp ---- */

/* Builds description from the result handle: None without columns. 0, or -1 with an
 * error set. */
int zt_curs_description(cursorObject *self);
/* The current row as a new tuple, or null with an error set. */
PyObject *_pyzt_curs_buildrow(cursorObject *self);

/* True when the cursor's connection asked for Python types (attribute `pytypes`): what
 * picks the conversion table (zt_conv_of). */
inline bool zt_curs_pytypes(const cursorObject *self)
{
    return self->conn != nullptr && ((const RhConnect *)self->conn)->pytypes;
}

/* ---- zt_result.cpp: row building ---- */

/* A column's value built from ZTC_GetData, or from the library's view of the row (which
 * sets *served false, building nothing, when the view does not carry the value). */
typedef PyObject *(*ZtColumnValue)(cursorObject *self, int col, int type);
typedef PyObject *(*ZtViewValue)(cursorObject *self, int col, int type, const ZTC_ROWVALUE &v,
                                 bool *served);
/* The current row as a tuple, each column built by the decoder the cursor's conversion
 * table resolved for it once per result; the row's values are first taken as the
 * library's views (ZTC_GetRowValues, one call per row). Null with an error set, also
 * when Python code run meanwhile released the result. */
PyObject *zt_curs_row_of(cursorObject *self);
/* Stops the collector from tracking a row tuple that holds no object that could take part
 * in a reference cycle (numbers, texts, dates, None): it can never be part of one, and a
 * million tracked rows make every full collection walk them. The interpreter itself
 * untracks such tuples, but only when a collection reaches them. */
void zt_untrack_plain_row(PyObject *row);

/* ---- methods (one source file each concern) ---- */

PyObject *pyzt_curs_close(cursorObject *self, PyObject *unused);
PyObject *pyzt_curs_callproc(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_callfunc(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_execute(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_executemany(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_executebatch(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_fetchone(cursorObject *self, PyObject *unused);
PyObject *pyzt_curs_clearsize(cursorObject *self, PyObject *unused);
PyObject *pyzt_curs_cleartype(cursorObject *self, PyObject *unused);
PyObject *pyzt_curs_fetchmany(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_getResultcolname(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_getResultcolseq(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_getResultcolsize(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_getResultcolscale(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_getResultcolisnull(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_getResultcoldefault(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_getResulttable(cursorObject *self, PyObject *unused);
PyObject *pyzt_curs_setinputtype(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_setinputsizes(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_fetchall(cursorObject *self, PyObject *unused);
PyObject *pyzt_curs_nextset(cursorObject *self, PyObject *unused);
PyObject *pyzt_curs_fetchpage(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_copy_start(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_copy_put(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_copy_get(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_copy_end(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_fetchcolumns(cursorObject *self, PyObject *args, PyObject *kwds);
PyObject *pyzt_curs_copy_columns(cursorObject *self, PyObject *args);

#endif
