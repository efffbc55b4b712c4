/*
 * ZTCsql.h - the interface of the libzotusql client library, as the driver uses it.
 *
 * Every call returns an int: negative on failure, 0 or a count on success, 100 for
 * "no more" where a call says so. A failed call records its message on the session
 * (result calls: on the result's session); read it with ZTC_GetError.
 *
 * Handles are opaque pointers passed by address (ZTC_HANDLE *). A call given the
 * address of an empty handle fails cleanly (-1). ZTC_CloseConn, ZTC_FreeRowset,
 * ZTC_Distroy_Lob and Release_IpsAttrs empty the handle and are no-ops (0) on an
 * empty one.
 *
 * Text crossing the interface is UTF-8 in both directions.
 */
#ifndef ZTCSQL_H
#define ZTCSQL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *ZTC_HANDLE;

/* Parameter directions. */
typedef enum tagPARAMINOUT_TYPE {
    PARAM_INPUT = 1,
    PARAM_OUTPUT = 2,
    PARAM_INPUTOUTPUT = 3,
    PARAM_RETURNVALUE = 6
} PARAMINOUT_TYPE;

/* Library type codes. */
enum {
    ZTC_TYPE_NULL = 0,
    ZTC_TYPE_BOOLEAN = 1,
    ZTC_TYPE_VARCHAR = 2,
    ZTC_TYPE_TINYINT = 3,
    ZTC_TYPE_SMALLINT = 4,
    ZTC_TYPE_INTEGER = 5,
    ZTC_TYPE_BIGINT = 6,
    ZTC_TYPE_FLOAT = 7,
    ZTC_TYPE_DOUBLE = 8,
    ZTC_TYPE_NUMERIC = 9,
    ZTC_TYPE_DATE = 10,
    ZTC_TYPE_TIME = 11,
    ZTC_TYPE_TIME2 = 12,
    ZTC_TYPE_DATETIME = 13,
    ZTC_TYPE_DATETIME2 = 14,
    ZTC_TYPE_BINARY = 15,
    ZTC_TYPE_BINARY2 = 18,
    ZTC_TYPE_DATETIME_MS = 23,      /* 8-byte millisecond count since 1970 */
    ZTC_TYPE_INT_LITERAL = 70,      /* binding: 8-byte integer typed as an SQL literal would be */
    ZTC_TYPE_DATETIME_US = 71,      /* 8-byte microsecond count since 1970 */
    ZTC_TYPE_DATETIME_UTC_US = 72,  /* binding: 8-byte microsecond count since 1970 UTC, an
                                       instant, typed timestamp with time zone */
    ZTC_TYPE_DATETIME_TEXT = 73,    /* array binding: packed texts of dates, times and timestamps
                                       with four-digit years ("0005-03-07"), sent byte for byte
                                       and untyped, so each reads as its target needs */
    ZTC_TYPE_INTERVAL_YM = 28,      /* 4-byte month count */
    ZTC_TYPE_INTERVAL_DS = 31,      /* 8-byte microsecond count */
    ZTC_TYPE_CLOB = 40,
    ZTC_TYPE_CLOB2 = 41,
    ZTC_TYPE_BLOB = 42,
    ZTC_TYPE_REFCURSOR = 58,
    ZTC_TYPE_CHAR = 62,
    ZTC_TYPE_CHAR2 = 63
};

/* Statement classes (fun_sql_type, ZTC_getResultRet). */
enum {
    ZTC_SQL_ONE_ROW = 1,        /* INSERT of one row: row count 1 per execution */
    ZTC_SQL_DML = 2,            /* data-changing statement with an affected-row count */
    ZTC_SQL_NO_ROWS = 3,        /* DDL, SET, CALL, ...: no result rows */
    ZTC_SQL_SERVER_CURSOR = 4,  /* set by the driver for a server-cursor rowset */
    ZTC_SQL_QUERY = 9,          /* returns rows */
    ZTC_SQL_MULTI = 10          /* several statements, several results */
};

/* Return code of ZTC_ReadNext / ZTC_NextResult when there is nothing more. */
#define ZTC_NO_MORE 100

/* ---- sessions ---- */

/* Opens a session from "IP=..; DB=..; USER=..; PWD=..; PORT=..; CHAR_SET=..". */
int ZTC_OpenConn(const char *conn_text, ZTC_HANDLE *S);
/* Opens a session from "IPS=h1,h2,..; DB=..; ...": the first host that accepts.
 * *attrs receives the host-list attributes, released with Release_IpsAttrs. */
int ZTC_OpenConn_Ips(const char *conn_text, int ntimes, ZTC_HANDLE *attrs, ZTC_HANDLE *S);
/* Ends the session and empties *S; 0 on an empty handle. */
int ZTC_CloseConn(ZTC_HANDLE *S);
/* Frees host-list attributes and empties *attrs; 0 on an empty handle. */
int Release_IpsAttrs(ZTC_HANDLE *attrs);
/* Runs a statement without result; knows "set auto commit on|off", "commit", "rollback". */
int ZTC_Execute_no_query(ZTC_HANDLE *S, const char *sql);
/* Copies the session's last message (at most 255 bytes + zero) and sets *length. */
int ZTC_GetError(ZTC_HANDLE *S, char *buffer, int *length);

/* Fields of the session's last error (ZTC_GetErrorField): the server's own letters,
 * and REPORT_LINES, the lines of the server's report after its first (the statement
 * line, a caret under the error's position, DETAIL and HINT lines). */
enum {
    ZTC_ERROR_SQLSTATE = 'C',   /* the five-character code */
    ZTC_ERROR_DETAIL = 'D',
    ZTC_ERROR_HINT = 'H',
    ZTC_ERROR_CONTEXT = 'W',
    ZTC_ERROR_MESSAGE_PRIMARY = 'M',    /* the whole primary text, never cut */
    ZTC_ERROR_SEVERITY = 'S',
    ZTC_ERROR_SEVERITY_NONLOCALIZED = 'V',
    ZTC_ERROR_STATEMENT_POSITION = 'P',
    ZTC_ERROR_INTERNAL_POSITION = 'p',
    ZTC_ERROR_INTERNAL_QUERY = 'q',
    ZTC_ERROR_SCHEMA_NAME = 's',
    ZTC_ERROR_TABLE_NAME = 't',
    ZTC_ERROR_COLUMN_NAME = 'c',
    ZTC_ERROR_DATATYPE_NAME = 'd',
    ZTC_ERROR_CONSTRAINT_NAME = 'n',
    ZTC_ERROR_SOURCE_FILE = 'F',
    ZTC_ERROR_SOURCE_LINE = 'L',
    ZTC_ERROR_SOURCE_FUNCTION = 'R',
    ZTC_ERROR_REPORT_LINES = 'r'
};
/* Copies one field of the session's last error (empty when the server sent none), cut
 * to capacity - 1 bytes at a character boundary and zero-terminated; *length gets the
 * field's full length. 0, or -1 on an empty handle or an unknown field. */
int ZTC_GetErrorField(ZTC_HANDLE *S, int field, char *buffer, int capacity, int *length);
/* Takes the oldest server notice the session keeps ("NOTICE:  text\n"): 0 with the
 * text copied and zero-terminated and *length set, the notice removed; when capacity
 * is too small for text and zero, 0 with only *length set and the notice kept.
 * ZTC_NO_MORE when none is kept. A session keeps the latest 50. */
int ZTC_GetNotice(ZTC_HANDLE *S, char *buffer, int capacity, int *length);

/* ---- waiting, cancel, broken sessions ---- */

/* Called by the library about every tick_ms while a call of the session waits on the
 * server, on the thread that made the call. A non-zero answer asks the library to
 * cancel what the server runs: it sends the cancel request, waits for the server's
 * answer (or gives the session up when none comes) and the call fails with the
 * server's [57014] message. */
typedef int (*ZTC_WAIT_HANDLER)(void *context);
/* Installs the session's wait handler (null: none) and its tick. */
int ZTC_SetWaitHandler(ZTC_HANDLE *S, ZTC_WAIT_HANDLER handler, void *context, int tick_ms);
/* Installs the wait handler of opens (ZTC_OpenConn, ZTC_OpenConn_Ips), for every thread:
 * called about every tick_ms while an open waits on the server, on the opening thread;
 * a non-zero answer ends the attempt, and the open fails with "[57014] the connection
 * attempt was interrupted". Null: none. Set it before opens run on other threads. */
int ZTC_SetOpenWaitHandler(ZTC_WAIT_HANDLER handler, void *context, int tick_ms);
/* Asks the server to cancel the statement the session runs. Safe from any thread while
 * another thread is in a call on S, but never together with ZTC_CloseConn of S.
 * 0 when the request was delivered (also when nothing ran), -1 otherwise; records no
 * message. */
int ZTC_Cancel(ZTC_HANDLE *S);
/* 1 when the session can no longer be used (the server ended it, the connection was
 * lost, an answer did not come in time), 0 when it is usable, -1 for an empty handle.
 * Safe from any thread, like ZTC_Cancel. Every call on a broken session fails at once
 * with the reason it broke. */
int ZTC_IsBroken(ZTC_HANDLE *S);

/* Addition: what the session knows of itself (ZTC_INFO_*), as text, without a word to
 * the server. */
enum {
    ZTC_INFO_TRANSACTION = 'T',     /* idle, active, intrans, inerror or unknown */
    ZTC_INFO_BACKEND_PID = 'B',     /* the server process's id, in decimal */
    ZTC_INFO_SERVER_VERSION = 'V',  /* the server's version number (150004 for 15.4) */
    ZTC_INFO_HOST = 'h',            /* the host, port, database, user and options of */
    ZTC_INFO_HOSTADDR = 'a',        /* the session (of the host it reached) */
    ZTC_INFO_PORT = 'p',
    ZTC_INFO_DBNAME = 'd',
    ZTC_INFO_USER = 'u',
    ZTC_INFO_OPTIONS = 'o',
    ZTC_INFO_PARAMETER = 'S',       /* the value the server reported for parameter `name` */
    ZTC_INFO_CONNINFO = 'C'         /* keyword NUL value NUL ... of the connection
                                     * parameters set to other than their defaults,
                                     * the password left out */
};
/* Copies one of them into buffer, zero-terminated, and sets *length to its length:
 * 0; when capacity is too small for text and zero, 0 with only *length set.
 * ZTC_NO_MORE when the server reported no parameter `name` (ZTC_INFO_PARAMETER); -1 on
 * an empty handle, a closed session or an unknown `what`. A broken session still
 * answers (its transaction status is unknown). */
int ZTC_GetSessionInfo(ZTC_HANDLE *S, int what, const char *name, char *buffer,
                       int capacity, int *length);

/* ---- statements ---- */

/* Drops every binding of the session (single and array). */
int ZTC_Reset(ZTC_HANDLE *S);
/* Classifies a statement text without contacting the server (classes above). */
int fun_sql_type(const char *sql);
/* Executes with the session's bindings (none: simple protocol, several statements
 * allowed). Fills *R and the counts of the first result. */
int ZTC_ExecwithDataReader(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE *R,
                           int *columns, int64_t *rows, int *affected);
/* Prepares a statement (cached per session); reserved must be NULL. */
int ZTC_Prepare2(ZTC_HANDLE *S, const char *sql, void *reserved);
/* Executes the prepared statement with the current bindings into *R. */
int ZTC_Execute2(ZTC_HANDLE *S, void *reserved1, void *reserved2, ZTC_HANDLE *R);
/* Marks the prepared statement unused; reserved must be NULL. */
int ZTC_UnPrepare(ZTC_HANDLE *S, void *reserved);
/* Addition: the number of runs of a text through ZTC_ExecwithDataReader or
 * ZTC_Execute_no_query before it is prepared on the server (the next run is; 0: the
 * first). Negative: the session never creates a named server statement, by any call
 * (ZTC_Prepare2/ZTC_Execute2 then run unnamed statements), as a connection pooler in
 * transaction mode needs. A new session has 2. */
int ZTC_SetPrepareThreshold(ZTC_HANDLE *S, int runs);
/* Runs the array bindings as a batch of `rows` rows, atomically. Returns the number of
 * rows the server reports affected (an INSERT: rows inserted, which a trigger may make
 * fewer than `rows`). */
int ZTC_ExecBatch(ZTC_HANDLE *S, const char *sql, int rows);
/* Runs "execute NAME" / "execute NAME(?,...,?);" as a procedure or function call;
 * writes output values into the bound output buffers. A text or binary value longer
 * than its buffer is cut (at most buflen - 1 bytes, then a zero) and its length word
 * gets the full length (see ZTC_GetOutputData). R is unused (empty). */
int ZTC_Execute_procesure(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE R);

/* Copies the whole value of output position pos (directions 2, 3, 6) of the last
 * ZTC_Execute_procesure when it was longer than the buffer bound for it (its length
 * word then held the full length): at most capacity bytes in the form the call wrote,
 * zero-terminated when there is room; *length gets the full length. -1 when the
 * position kept no such value. */
int ZTC_GetOutputData(ZTC_HANDLE *S, int pos, void *buffer, int capacity, int *length);

/* Hands out in *R (freeing what it held) the row the last ZTC_Execute_procesure took its
 * output values from, as a result of at most one row that is read like any other (its
 * columns carry the server's types, so empty values stay apart from NULL and date-times
 * keep their microseconds): a procedure's output and in-out values in order, or a
 * function's value as its one column. A call that returned no row gives a result
 * without rows. The row is handed out once; -1 when none is kept. */
int ZTC_GetOutputRowset(ZTC_HANDLE *S, ZTC_HANDLE *R);

/* Binds one parameter at position pos (from 1). Input values (directions 1, 3) are
 * copied during the call; for directions 2, 3 and 6 the buffer and *length addresses
 * are kept and written at ZTC_Execute_procesure. *length is the value's length in
 * bytes; type 0 binds NULL. */
int ZTC_BindParamByPos(ZTC_HANDLE *S, int pos, int direction, int type,
                       void *buffer, int buflen, int *length);
/* Binds a column of n values at position pos. Fixed-size codes read n elements of
 * `size` bytes; text and binary codes read the packed layout (per row a 4-byte length
 * then its bytes; `size` is the packed total). values is copied during the call;
 * lengths (n entries; -1 is NULL, 0 is NULL in a fixed-size column) is read at
 * ZTC_ExecBatch. */
int ZTC_BindParamArrayByPos(ZTC_HANDLE *S, int pos, int columns, int direction, int type,
                            int n, void *values, int size, int *lengths);
/* The same binding without a copy: values, like lengths, is read at ZTC_ExecBatch, so
 * the caller keeps both unchanged until then. */
int ZTC_BindParamArrayInPlace(ZTC_HANDLE *S, int pos, int columns, int direction, int type,
                              int n, void *values, int size, int *lengths);

/* ---- server types ---- */

/* Sets *oid to the server's type of column col (its PostgreSQL type OID; a domain's
 * column reports its base type) and *element to an array column's element type, 0 when
 * the column is not an array of a built-in type (ZTC_GetServerType tells the rest).
 * -1 when there is no such column. */
int ZTC_getResultcolServerType(ZTC_HANDLE *R, int col, unsigned *oid, unsigned *element);

/* A type's entry in the server's catalog (pg_type). */
typedef struct {
    unsigned oid;
    char kind;          /* typtype: 'b' base, 'c' composite, 'd' domain, 'e' enum,
                           'm' multirange, 'p' pseudo, 'r' range */
    char category;      /* typcategory: 'A' array, 'S' string, 'U' user-defined, ... */
    char delimiter;     /* between the elements of its arrays' text form */
    unsigned element;   /* an array type's element type; 0 otherwise */
    unsigned base;      /* a domain's base type; 0 otherwise */
    unsigned array;     /* the type's own array type; 0 when it has none */
    char name[64];      /* typname, zero-terminated */
} ZTC_SERVERTYPE;
/* Fills *out with the catalog entry of type oid, asked of the server once per session
 * and type and kept (one query: not inside a COPY, and it fails in a failed
 * transaction). 0; ZTC_NO_MORE when the catalog has no such type; -1 with the message
 * recorded. */
int ZTC_GetServerType(ZTC_HANDLE *S, unsigned oid, ZTC_SERVERTYPE *out);

/* Binds an input value at position pos (from 1) that goes to the server as type oid
 * (0: the server infers it), in text (format 0: length bytes of UTF-8, a zero byte
 * refused) or binary form (format 1: the type's binary form, length bytes). A negative
 * length binds NULL of that type. The bytes are copied during the call. Every
 * statement call that reads the single bindings sends it: ZTC_ExecwithDataReader,
 * ZTC_Execute2, ZTC_Execute_procesure, ZTC_PipelineSend. */
int ZTC_BindParamTyped(ZTC_HANDLE *S, int pos, unsigned oid, int format, const void *data,
                       int length);
/* Gives the array binding of position pos, whose code must be a text code (2, 62, 63,
 * 40, 41), the server type oid: the statement path of ZTC_ExecBatch sends its values
 * typed so (0: untyped again, as bound). A COPY writes the texts into the target's
 * columns, which read them as their own types. Lasts until the position is bound
 * again or ZTC_Reset. */
int ZTC_SetArrayServerType(ZTC_HANDLE *S, int pos, unsigned oid);

/* ---- results ---- */

/* Class (2, 3 or 9) and counts of the current result. */
int ZTC_getResultRet(ZTC_HANDLE *R, int *sql_type, int *fieldnum, int *rows,
                     int *affected, void *reserved);
int ZTC_getResultColumnsnum(ZTC_HANDLE *R, int *count);
/* Writes the server's command tag of the current result ("INSERT 0 1", "SELECT 3",
 * "CREATE TABLE"), cut to capacity - 1 bytes and zero-terminated: its full length, 0 when
 * the result has none, -1 without a result. */
int ZTC_getResultStatus(ZTC_HANDLE *R, char *tag, int capacity);
/* Writes the column's name (at most 255 bytes + zero); -1 when there is no such column. */
int ZTC_getResultcolname(ZTC_HANDLE *R, int col, char *name);
int ZTC_getResultcolType(ZTC_HANDLE *R, int col, int *type);
int ZTC_getResultcolmodi(ZTC_HANDLE *R, int col, int *modi);
/* Column flags (ZTC_COLUMN_*) beyond the type code. */
#define ZTC_COLUMN_WITH_TIME_ZONE 1     /* a date-time or time that carries its zone */
int ZTC_getResultcolflags(ZTC_HANDLE *R, int col, int *flags);
/* 1-based number of the first column of that name; 0 when none. */
int ZTC_getResultcolseq(ZTC_HANDLE *R, const char *name);
/* Moves to the next row: 0 on a row, 100 after the last, negative on failure. */
int ZTC_ReadNext(ZTC_HANDLE *R);
/* Moves to the next result: 0 when there is one, 100 when not. */
int ZTC_NextResult(ZTC_HANDLE *R);
/* Writes the value of column col of the current row in the form of `type` and sets
 * *length: -1 for NULL; for text, the full length even when capacity cut it. For
 * codes 41/42 buffer is the address of a handle made by ZTC_Create_Lob. */
int ZTC_GetData(ZTC_HANDLE *R, int col, int type, void *buffer, int capacity, int *length);
/* Frees the result and empties *R; 0 on an empty handle. */
int ZTC_FreeRowset(ZTC_HANDLE *R);

/* A view of one value of the current row (ZTC_GetRowValues). text points at the value's
 * text form (what code 2 writes), zero-terminated, valid until the next ZTC_ReadNext,
 * ZTC_NextResult or ZTC_FreeRowset of the result; length is its byte count, -1 for NULL.
 * A null text with a length of 0 or more means the library offers no text view of this
 * value (a value that arrived in binary form has none, except for character and numeric
 * columns and dates outside years 1-9999): read the text with ZTC_GetData; decoded still
 * tells about number. decoded is 1 when number holds the value as its column's type
 * code reads it: codes 1 (0 or 1), 3-6 in integer; 7, 8 in real (code 7 rounded to a
 * float); code 23 columns in integer as the microsecond count code 71 writes; a code 10
 * value of years 1-9999 that arrived in binary form in integer as days since 1970-01-01. A value that
 * does not decode has decoded 0 (ZTC_GetData then reports why). */
typedef struct {
    const char *text;
    int length;
    int decoded;
    int64_t integer;
    double real;
} ZTC_ROWVALUE;
/* Fills values[0..count) with views of the first count values of the current row (count
 * at most the column count). 0, or -1 without a current row. */
int ZTC_GetRowValues(ZTC_HANDLE *R, ZTC_ROWVALUE *values, int count);

/* ---- columns: a block of rows decoded into per-column arrays ---- */

/* The form a column is read in by ZTC_ReadColumns. */
enum {
    ZTC_FORM_SKIP = 0,      /* not read */
    ZTC_FORM_BOOL = 1,      /* 1 byte: 0 or 1 */
    ZTC_FORM_INT16 = 2,     /* integers: a value beyond the width fails the call */
    ZTC_FORM_INT32 = 3,
    ZTC_FORM_INT64 = 4,
    ZTC_FORM_FLOAT32 = 5,
    ZTC_FORM_FLOAT64 = 6,   /* also numeric, as the nearest double (NaN, +-Infinity kept) */
    ZTC_FORM_DAYS = 7,      /* 8-byte day count since 1970-01-01 */
    ZTC_FORM_MICROS = 8,    /* 8-byte microseconds since 1970-01-01 00:00:00 (the UTC
                               instant for a timestamp with time zone) */
    ZTC_FORM_INTERVAL = 9,  /* 8-byte microseconds, a month counted as 30 days */
    ZTC_FORM_TEXT = 10      /* the value's text form (what code 2 writes); a bytea
                               column's bytes themselves */
};

/* One column of ZTC_ReadColumns. The caller sets form, values (room for maxrows elements
 * of the form's size; unused for text), nulls (maxrows bytes) and, for text, offsets
 * (maxrows + 1 entries). The call writes each row's value (0 where NULL) and nulls[i]
 * (1 for NULL, else 0; an infinite date or timestamp reads as NULL); for text it sets
 * offsets[0] = 0 and text to the library's copy of the block's bytes, row i being
 * text[offsets[i] .. offsets[i + 1]), valid until the next ZTC_ReadColumns, ZTC_ReadNext,
 * ZTC_NextResult or ZTC_FreeRowset of the result. */
typedef struct {
    int form;
    void *values;
    unsigned char *nulls;
    int64_t *offsets;
    const char *text;
} ZTC_COLUMNBUF;

/* Reads the next rows of the current result (those ZTC_ReadNext would move to), at most
 * maxrows, into columns[0..count) (count at most the column count; column i is result
 * column i + 1) and sets *rows to the number read (0 after the last row); the last row
 * read becomes the current row. 0, or -1 with the message recorded
 * ("[22023] row N, column C: ..." for a value that does not read in its column's form;
 * the rows before it are read then, and *rows counts them). Touches no caller memory but
 * the buffers given, so it may run without any lock of the caller's. */
int ZTC_ReadColumns(ZTC_HANDLE *R, ZTC_COLUMNBUF *columns, int count, int maxrows, int *rows);

/* ---- server cursors ---- */

/* Fetches the next rowset of the named server cursor into *R (freeing what it held):
 * the number of rows, 0 when exhausted, -1 on failure. */
int ZTC_FetchServerCursorRowset(ZTC_HANDLE *S, const char *name, ZTC_HANDLE *R);
int ZTC_CloseCursor(ZTC_HANDLE *S, const char *name);
/* Fetches the next `count` rows of the named cursor into *R (freeing what it held): the
 * number of rows, -1 on failure. `reader` is a number the caller picks for each
 * declaration of the cursor. With `ahead` set, a full page has the next one asked for
 * at once (*sent = 1): the server makes it while the caller reads this one, and the
 * same reader's next call takes it. Any other call on the session first reads that
 * page and keeps it (or its failure) for the reader. */
int ZTC_FetchCursorPage(ZTC_HANDLE *S, const char *name, long long reader, int count,
                        int ahead, ZTC_HANDLE *R, int *sent);

/* ---- COPY streamed by the caller ---- */

/* Directions of a COPY reported by ZTC_CopyStart. */
#define ZTC_COPY_IN 1   /* COPY ... FROM STDIN: the caller sends data with ZTC_CopyPut */
#define ZTC_COPY_OUT 2  /* COPY ... TO STDOUT: the caller reads data with ZTC_CopyGet */

/* Sends a COPY statement (no parameters) and sets *direction; any other statement
 * fails with [0A000]. Until ZTC_CopyEnd every other statement call of the session
 * fails with [HY010]. */
int ZTC_CopyStart(ZTC_HANDLE *S, const char *sql, int *direction);
/* Sends length bytes of COPY FROM STDIN data (rows may straddle chunks). */
int ZTC_CopyPut(ZTC_HANDLE *S, const char *data, int length);
/* Copies up to capacity bytes of COPY TO STDOUT data and sets *length: 0 with data,
 * ZTC_NO_MORE after the last. */
int ZTC_CopyGet(ZTC_HANDLE *S, char *buffer, int capacity, int *length);
/* Ends the COPY (COPY FROM STDIN: abort_message non-null refuses the data with that
 * message) and sets *rows to the rows copied; -1 with the server's message. */
int ZTC_CopyEnd(ZTC_HANDLE *S, const char *abort_message, long long *rows);

/* ---- notifications (LISTEN / NOTIFY) ---- */

/* One notification: views into the session, valid until the session's next
 * ZTC_GetNotify, ZTC_WaitNotify or ZTC_CloseConn. */
typedef struct {
    const char *channel;        /* zero-terminated */
    const char *payload;        /* zero-terminated; payload_length bytes */
    int payload_length;
    int pid;                    /* the notifying server process */
} ZTC_NOTIFY;

/* Takes the oldest notification the session has received (also while other statements
 * ran: none is dropped) into *out: 0, or ZTC_NO_MORE when none is pending. Reads what
 * the server has sent already, without waiting. -1 when the connection is lost. */
int ZTC_GetNotify(ZTC_HANDLE *S, ZTC_NOTIFY *out);
/* Waits until a notification is pending (0), timeout_ms passed (ZTC_NO_MORE; a negative
 * timeout waits without limit) or the wait handler asked to stop ([57014], -1). */
int ZTC_WaitNotify(ZTC_HANDLE *S, int timeout_ms);
/* The session's socket descriptor (for select/poll), -1 without a connection. */
int ZTC_Socket(ZTC_HANDLE *S);

/* ---- pipelines ---- */

/* Sends a statement (? markers, the session's single bindings) without waiting for the
 * results of the statements sent before it. The first send of a batch in manual-commit
 * mode opens a transaction when none is open. 0, or -1 when it could not be sent. */
int ZTC_PipelineSend(ZTC_HANDLE *S, const char *sql);
/* Ends the batch: the server runs what was sent up to here (an error aborts what
 * followed it in the same transaction), and every statement's outcome is kept, in
 * order, for ZTC_PipelineResult. *kept is the number of outcomes kept. Any other call on
 * the session ends a batch in flight the same way first. */
int ZTC_PipelineSync(ZTC_HANDLE *S, int *kept);
/* Hands out the oldest kept outcome (ending a batch in flight first): 0 with its
 * results in *R (freeing what R held), -1 with the statement's failure as the
 * session's message ([25P02] for a statement an earlier failure kept from running),
 * ZTC_NO_MORE when nothing is kept. */
int ZTC_PipelineResult(ZTC_HANDLE *S, ZTC_HANDLE *R);

/* ---- non-blocking operations ----
 *
 * An operation is started, then moved on with ZTC_AsyncPoll whenever the session's socket
 * (ZTC_Socket) is ready for what the last call asked for, until ZTC_AsyncPoll returns 0;
 * ZTC_AsyncFinish then hands its outcome over. No call waits on the network. While an
 * operation is in progress every other call on the session but ZTC_Cancel, ZTC_IsBroken,
 * ZTC_Socket, ZTC_GetError and ZTC_CloseConn fails with [HY010]. A failure (-1) ends the
 * operation; a lost connection breaks the session. */

/* What a non-blocking call waits on (bits): the socket readable, writable. */
#define ZTC_WAIT_READ 1
#define ZTC_WAIT_WRITE 2

/* Starts opening a session from a connection text (as ZTC_OpenConn, or ZTC_OpenConn_Ips
 * for "IPS=..."; libpq's connect_timeout is not applied: the caller bounds the wait).
 * 0 when started: *S holds the session, ZTC_AsyncPoll goes on and ZTC_AsyncFinish ends
 * the open. -1 when it could not start; *S then carries the message, as a failed open. */
int ZTC_AsyncOpen(const char *conn_text, ZTC_HANDLE *S);
/* Starts running a statement as ZTC_ExecwithDataReader does (the session's single
 * bindings, copied now, ? markers, BEGIN first in manual-commit mode), never prepared on
 * the server. */
int ZTC_AsyncExecute(ZTC_HANDLE *S, const char *sql);
/* Starts a COPY statement (as ZTC_CopyStart); ZTC_AsyncFinish reports the direction. */
int ZTC_AsyncCopyStart(ZTC_HANDLE *S, const char *sql);
/* Goes on with the operation in progress: 0 when it is done (or none is in progress),
 * else the ZTC_WAIT_ bits to wait for before calling it again; -1 on failure. */
int ZTC_AsyncPoll(ZTC_HANDLE *S);
/* Hands over the outcome of the finished operation and ends it: an execution's results in
 * *R (freeing what R held) and its counts, as ZTC_ExecwithDataReader; a COPY start's
 * direction in *columns (ZTC_COPY_IN, ZTC_COPY_OUT); a COPY end's row count in *rows; an
 * open: nothing. -1 with the operation's failure as the session's message. */
int ZTC_AsyncFinish(ZTC_HANDLE *S, ZTC_HANDLE *R, int *columns, int64_t *rows, int *affected);
/* COPY FROM STDIN data, after a finished ZTC_AsyncCopyStart: 0 when taken, ZTC_WAIT_WRITE
 * when not taken yet (earlier data is still being sent: poll until 0, then put again). */
int ZTC_AsyncCopyPut(ZTC_HANDLE *S, const char *data, int length);
/* COPY TO STDOUT data: 0 with up to capacity bytes copied and *length set, ZTC_WAIT_READ
 * when none has arrived yet, ZTC_NO_MORE after the last. */
int ZTC_AsyncCopyGet(ZTC_HANDLE *S, char *buffer, int capacity, int *length);
/* Starts ending the COPY (COPY FROM STDIN: abort_message non-null refuses the data; COPY TO
 * STDOUT: unread data is dropped): 0, then poll and ZTC_AsyncFinish for the row count;
 * ZTC_WAIT_WRITE when the end could not be queued yet (call it again when writable). */
int ZTC_AsyncCopyEnd(ZTC_HANDLE *S, const char *abort_message);

/* ---- large objects ---- */

int ZTC_Create_Lob(ZTC_HANDLE *L);
/* Copies at most n bytes of the object's value; returns the count. */
int ZTC_Get_Lob_data(ZTC_HANDLE *L, void *buffer, int n);
int ZTC_Distroy_Lob(ZTC_HANDLE *L);

#ifdef __cplusplus
}
#endif

#endif
