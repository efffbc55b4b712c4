/* ztd_state.h - the scripted test double's in-process state: programmed results and
 * failures, live handles, and the call log. Shared by the library calls
 * (ztd_library.cpp) and the control interface used from Python (ztd_control.cpp).
 *
 * Handles given to the driver are never dereferenced by it, so they are not addresses:
 * each one is a number made of the reset generation, a kind tag and a counter. A handle
 * kept from before a reset therefore never matches a new object, and a stale or forged
 * handle is recognised instead of being followed. */
#ifndef ZTD_STATE_H
#define ZTD_STATE_H

#include "ZTCsql.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace ztd {

enum HandleKind : uint32_t { KIND_SESSION = 1, KIND_RESULT = 2, KIND_LOB = 3, KIND_ATTRS = 4 };

/* How a programmed Python value arrives from the helper; encoded by a type code later. */
enum ValueKind : int {
    VALUE_NULL = 0,     /* None: length word -1, nothing written */
    VALUE_BYTES = 1,    /* raw bytes, length = their count */
    VALUE_CELL = 2,     /* raw bytes with an explicit length word */
    VALUE_INT = 3,
    VALUE_FLOAT = 4,
    VALUE_BOOL = 5,
    VALUE_STR = 6       /* UTF-8 text */
};

struct Value {
    int kind = VALUE_NULL;
    int64_t ival = 0;
    double fval = 0.0;
    std::string data;   /* bytes, text, or the text form of a number */
    int32_t length = -1;
};

/* A value in the library's form: bytes plus the length word reported with them. */
struct Cell {
    bool null = true;
    std::string data;
    int32_t length = -1;
};

Cell encode_value(const Value &v, int type);

struct Column {
    std::string name;
    int type = 0;
    int modi = 0;
    unsigned oid = 0;           /* server type (ZTC_getResultcolServerType); 0: none given */
    unsigned element = 0;
};

struct ResultData {
    std::vector<Column> columns;
    std::vector<std::vector<Cell>> rows;
    int sql_type = ZTC_SQL_NO_ROWS;
    int64_t rowcount = 0;
    int affected = 0;
};

struct Binding {
    int direction = 0;
    int type = 0;
    void *buffer = nullptr;     /* kept only for output positions */
    int buflen = 0;
    int *length = nullptr;      /* kept only for output positions */
};

struct ArrayBinding {
    int type = 0;
    int n = 0;
    int *lengths = nullptr;     /* read again at ZTC_ExecBatch */
    const char *in_place = nullptr;   /* ZTC_BindParamArrayInPlace: the caller's values, */
    int64_t nbytes = 0;               /* read again at ZTC_ExecBatch */
};

/* A notification the helper queued (ztd_queue_notify) for ZTC_GetNotify. */
struct Notify {
    std::string channel;
    std::string payload;
    int pid = 0;
};

struct Session {
    std::string error;
    int copy_direction = 0;     /* the COPY in progress: 1 in, 2 out, 0 none */
    ZTC_WAIT_HANDLER wait_handler = nullptr;
    void *wait_context = nullptr;
    int tick_ms = 0;
    std::map<int, Binding> binds;
    std::map<int, ArrayBinding> arrays;
    std::map<int, Cell> outputs;    /* written by the last ZTC_Execute_procesure */
    Notify notify_out;              /* what the last ZTC_GetNotify's views point into */
    int pipeline_sent = 0;          /* ZTC_PipelineSend calls since the last sync */
    std::deque<std::vector<ResultData>> pipeline_done;  /* outcomes kept at the sync */
    /* The non-blocking operation started and not yet finished: 0 none, 1 open, 2 execute,
     * 3 COPY start, 4 COPY end. */
    int async_kind = 0;
};

struct Result {
    uintptr_t session = 0;
    std::vector<ResultData> results;
    size_t current = 0;
    int64_t row = -1;           /* -1: before the first row */
    std::vector<std::string> column_texts;  /* the last ZTC_ReadColumns block's texts */
};

struct Lob {
    std::string data;
};

struct Attrs {};

struct Failure {
    std::string call;
    int rc = -1;
    bool has_error = false;
    std::string error;
    int nth = 0;                /* 0: the next use */
};

/* One logged argument; rendered as a Python literal for the helper. */
struct Arg {
    enum Kind { NONE, INT, BOOL, TEXT, BYTES, INTLIST, POSLISTS } kind = NONE;
    std::string key;
    int64_t i = 0;
    std::string s;
    std::vector<int64_t> list;
    std::vector<std::pair<int, std::vector<int64_t>>> poslists;
};

struct LogEntry {
    std::string name;
    std::vector<Arg> args;
};

struct CursorScript {
    std::deque<ResultData> rowsets;
    ResultData last;            /* columns and class of the last rowset handed out */
    bool has_last = false;
};

struct State {
    uint64_t generation = 1;
    uint64_t counter = 0;
    std::unordered_map<uintptr_t, std::unique_ptr<Session>> sessions;
    std::unordered_map<uintptr_t, std::unique_ptr<Result>> results;
    std::unordered_map<uintptr_t, std::unique_ptr<Lob>> lobs;
    std::unordered_map<uintptr_t, std::unique_ptr<Attrs>> attrs;

    std::vector<Failure> failures;
    std::map<std::string, int> call_counts;
    std::map<std::string, int> sql_types;
    bool has_default_sql_type = false;
    int default_sql_type = 0;

    std::vector<ResultData> staging;
    std::deque<std::vector<ResultData>> executions;
    std::map<std::string, CursorScript> cursors;
    std::vector<std::pair<int, Value>> staged_outputs;
    std::deque<std::vector<std::pair<int, Value>>> outputs;

    std::deque<Notify> notifications;   /* for any session's ZTC_GetNotify */
    bool row_views = true;      /* ZTC_GetRowValues gives views (else views of nothing) */

    std::vector<LogEntry> log;
    std::string orphan_error;   /* message of a failure that has no session to go to */
    uintptr_t last_session = 0; /* the session used most recently */
    std::string exported;       /* scratch for ztd_log_export */
};

State &state();

uintptr_t new_handle(HandleKind kind);
/* True when the handle value was made before the last reset. */
bool is_stale(const void *h);

}  // namespace ztd

#endif
