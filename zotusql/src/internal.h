// Records and helpers shared by the library's sources (never seen by the driver).
//
// A session handle (ZTC_HANDLE given to the driver) points to a Session, a result handle to a
// Result, a large-object handle to a Lob, host-list attributes to an IpsAttrs. Every routine
// here runs on the thread that owns the session; nothing is global.
//
// Error convention: a helper that returns bool returns false after recording the message on the
// session (set_error / set_error_from_result); the ZTC_ entry point then returns -1.
#ifndef ZT_INTERNAL_H
#define ZT_INTERNAL_H

#include <libpq-fe.h>

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ZTCsql.h"
#include "datestyle.h"
#include "rowstore.h"

// Marks a definition as part of the exported interface (the library is built with hidden
// visibility, so only these symbols are visible to the driver).
#define ZTC_API extern "C" __attribute__((visibility("default")))

namespace zt {

// Type OIDs of the built-in types the library knows by number.
enum : Oid {
    OID_BOOL = 16,
    OID_BYTEA = 17,
    OID_NAME = 19,
    OID_INT8 = 20,
    OID_INT2 = 21,
    OID_INT4 = 23,
    OID_TEXT = 25,
    OID_OID = 26,
    OID_FLOAT4 = 700,
    OID_FLOAT8 = 701,
    OID_BPCHAR = 1042,
    OID_VARCHAR = 1043,
    OID_DATE = 1082,
    OID_TIME = 1083,
    OID_TIMESTAMP = 1114,
    OID_TIMESTAMPTZ = 1184,
    OID_INTERVAL = 1186,
    OID_TIMETZ = 1266,
    OID_NUMERIC = 1700,
    OID_REFCURSOR = 1790,
};

// Owning pointer to a libpq result.
struct PGresultFree {
    void operator()(PGresult *r) const noexcept { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, PGresultFree>;
using ResultList = std::vector<ResultPtr>;
// Rows of each result of a ResultList that arrived row by row (null: the rows are in the
// PGresult itself).
using RowStores = std::vector<std::unique_ptr<RowStore>>;

// One single-value binding (ZTC_BindParamByPos). Input values are copied into `value` during the
// bind call; for directions 2, 3 and 6 the caller's buffer and length word are kept and written
// when a procedure or function runs.
struct Binding {
    bool bound = false;
    int direction = PARAM_INPUT;
    int type = 0;             // the caller's type code
    bool null = true;         // input value is NULL (also for pure outputs)
    Oid oid = 0;              // type sent to the server; 0: the server infers it
    int format = 0;           // 0: text (value zero-terminated by std::string), 1: binary
    std::string value;        // text or binary form of the input value
    void *out_buffer = nullptr;   // kept for directions 2, 3, 6
    int out_capacity = 0;
    int *out_length = nullptr;
};

// One column of array bindings (ZTC_BindParamArrayByPos). `values` is a copy taken during the
// bind call (fixed-size elements, or the packed layout of 4-byte length + bytes per row);
// `lengths` is the caller's array, read at ZTC_ExecBatch. `data` points at the values: the copy,
// or the caller's own buffer (ZTC_BindParamArrayInPlace), read at ZTC_ExecBatch too.
struct ArrayBinding {
    bool bound = false;
    int columns = 0;
    int direction = PARAM_INPUT;
    int type = 0;
    int n = 0;                // number of values
    int size = 0;             // element size (fixed-size codes) or packed total (text, binary)
    std::vector<char> values;
    const char *data = nullptr;
    int *lengths = nullptr;
    Oid server_oid = 0;       // ZTC_SetArrayServerType: the type the statement path sends
};

// A server-side prepared statement held in the session's cache, keyed by the caller's text.
struct PreparedStatement {
    std::string text;         // the caller's text, with ? markers (cache key)
    std::string sql;          // the text sent to the server, with $n markers
    std::string name;         // server-side statement name, unique in the session
    int markers = 0;
    std::vector<Oid> types;   // parameter types it was prepared with (0: server's choice)
    bool in_use = false;      // between ZTC_Prepare2 and ZTC_UnPrepare
    // Executions of the text through exec_text, which prepares a text it meets again and
    // again; `epoch` is the cache's epoch when it was prepared there (see StatementCache).
    int executions = 0;
    bool repeatable = false;  // a query or DML statement: one exec_text may prepare
    uint64_t epoch = 0;
    // Column types of the server statement's result, from its first run (a prepared
    // statement's result types cannot change); empty until then. Runs after the first ask for
    // the rows in binary form when each type has a binary reader (binaryvalue.h).
    std::vector<Oid> result_types;
};

// Least-recently-used cache of prepared statements: `order` has the most recently used first;
// list nodes never move in memory, so a PreparedStatement * stays valid until evicted.
struct StatementCache {
    static constexpr size_t capacity = 128;
    std::list<PreparedStatement> order;
    std::unordered_map<std::string, std::list<PreparedStatement>::iterator> index;
    uint64_t next_id = 0;     // for statement names
    // The session's statement names are this prefix and a count. It carries a random part
    // drawn at the first prepare, so a user's own PREPARE of any name in practice never
    // meets one of the library's.
    std::string name_prefix;
    // Runs of a text through exec_text before the next one is prepared on the server
    // (ZTC_SetPrepareThreshold); negative: the session never creates a named statement.
    int threshold = 2;
    // Server statements the library no longer uses and has not dropped yet. DEALLOCATE
    // fails for a statement the user dropped, and inside a transaction that failure would
    // abort it: they are dropped only while no transaction is open (drop_retired).
    std::vector<std::string> retired;
    // Moves on with every statement that may change what a prepared text means (DDL, SET,
    // DISCARD, ...): exec_text prepares its statements again after it.
    uint64_t epoch = 1;
};

// The next page of a named cursor that ZTC_FetchCursorPage asked the server for ahead, so that
// the server produces it while the caller works on the current one. While its FETCH is in flight
// the session carries nothing else: every call settles it first (settle_page_ahead), keeping the
// rows (or the failure) for the cursor's next ZTC_FetchCursorPage.
struct PageAhead {
    std::string name;
    long long reader = 0;     // the caller's number for this reading of the cursor
    bool in_flight = true;
    ResultList results;       // once read
    std::string error;        // the message it failed with; empty when it did not
};

// What the catalog says of a batch's plain INSERT target (copybinary.cpp): whether one COPY
// stores exactly what one INSERT per row would, and the COPY's explicit column list and types.
struct CopyTarget {
    bool copy = false;        // false: the rows take the statement path
    std::string columns;      // "(a,b)": the columns the INSERT fills, in its order
    std::vector<Oid> types;   // their types, in the same order
    uint64_t epoch = 0;       // the statement cache's epoch when the catalog was asked
};

// The column types of a reading of a named cursor, from its last page: once known, and every one
// readable in binary form (binaryvalue.h), its next pages are asked for in that form.
struct CursorReading {
    std::string name;
    long long reader = 0;
    std::vector<Oid> types;
};

// A notification received on the session and not yet handed out (notify.cpp).
struct Notification {
    std::string channel;
    std::string payload;
    int pid = 0;
};

// One statement of a pipeline batch, once its results were read: its results in order, or the
// message it failed with.
struct PipelineOutcome {
    ResultList results;
    std::string error;
};

// A statement the session's pipelines prepared on the server: a text sent again and again runs
// from its plan, with only its values sent. `epoch` is the statement cache's epoch when it was
// prepared: a statement that may change what texts mean (DDL, DISCARD, ...) moves that on.
struct PipelineStatement {
    std::string name;
    std::vector<Oid> types;
    uint64_t epoch = 0;
    bool ready = false;       // prepared (the preparing batch succeeded)
};

// A statement sent in a pipeline batch: the caller's, or one of the library's own (a BEGIN, or
// the preparation of `text`) whose result nobody asks for.
struct PipelineSent {
    enum Kind { CALLER, BEGIN, PREPARE } kind = CALLER;
    std::string text;
};

// The session's pipeline (pipeline.cpp): while `active`, libpq is in pipeline mode and the
// statements of `in_flight` await their results; `done` keeps the outcomes read at the sync
// until the caller takes them.
struct PipelineBatch {
    static constexpr size_t prepared_capacity = 64;
    static constexpr size_t seen_capacity = 1024;
    static constexpr size_t flush_every = 64;    // sends between two flushes
    bool active = false;
    std::vector<PipelineSent> in_flight;
    std::deque<PipelineOutcome> done;
    std::unordered_map<std::string, PipelineStatement> prepared;   // by the caller's text
    std::unordered_map<std::string, int> seen;                     // sends of unprepared texts
    uint64_t next_id = 0;
};

// How many forks made this process, counted in each child (pthread_atfork, registered at the
// first call): a session compares it with its own count on every call without a system call.
unsigned fork_generation();

// A non-blocking operation of a session: what it runs and how far it has come.
struct AsyncOperation {
    enum Kind { NONE, OPEN, EXECUTE, COPY_START, COPY_DATA, COPY_END };
    // Phases of a statement: PREAMBLE (settings, BEGIN) before STATEMENT; DONE once every
    // result is read (or, for a COPY start, the copy stream began).
    enum Phase { IDLE, CONNECTING, PREAMBLE, STATEMENT, DONE };
    Kind kind = NONE;
    Phase phase = IDLE;
    bool settings_in_preamble = false;
    // The statement sent after the preamble: its text ($n markers) and owned parameters.
    std::string sql;
    bool simple = true;
    std::vector<Oid> types;
    std::vector<std::string> values;
    std::vector<char> nulls;
    std::vector<int> formats;
    // A COPY TO STDOUT that an execution met, or whose reader stopped early: its data is
    // read and dropped before the results that follow it.
    bool draining_copy = false;
    // The password of an open in progress, kept out of its failure message.
    std::string password;
};

struct Session {
    PGconn *conn = nullptr;
    // Last message, "[SQLSTATE] text". Shared with the session's results so that a result
    // outliving its session still has somewhere to record a failure.
    std::shared_ptr<std::string> error = std::make_shared<std::string>();
    bool autocommit = true;
    std::vector<Binding> params;          // index = position - 1
    std::vector<ArrayBinding> arrays;     // index = position - 1
    StatementCache cache;
    PreparedStatement *current = nullptr; // the statement of ZTC_Prepare2, if any
    // Server cursors opened by procedures that the library keeps a transaction open for
    // (autocommit mode); cursor_transaction is true while that transaction is the library's.
    std::vector<std::string> held_cursors;
    bool cursor_transaction = false;
    // Whole values (position, bytes as written) of the outputs that the last procedure or
    // function call cut to their buffers; read with ZTC_GetOutputData.
    std::vector<std::pair<int, std::string>> kept_outputs;
    // The result the last procedure or function call took its output values from, until
    // ZTC_GetOutputRowset hands it out or the next call replaces it.
    ResultPtr call_row;
    // The COPY the caller streams (ZTC_COPY_IN / ZTC_COPY_OUT; 0 when none, -1 while a refused
    // one is drained), and the part of the last data row ZTC_CopyGet has not handed over yet.
    int copy_direction = 0;
    bool copy_ended = false;
    std::string copy_pending;
    size_t copy_offset = 0;
    // The server's latest notices and warnings, oldest first, as libpq formats them.
    static constexpr size_t notice_capacity = 50;
    std::deque<std::string> notices;
    // Waiting (wait.cpp): the driver's handler, called every tick while a call waits; the
    // cancel request object, made once at connect and only read afterwards, so that
    // ZTC_Cancel can use it from another thread; broken, also read from other threads.
    ZTC_WAIT_HANDLER wait_handler = nullptr;
    void *wait_context = nullptr;
    int tick_ms = 100;
    PGcancel *cancel = nullptr;
    std::atomic<bool> broken{false};
    std::string broken_reason;            // the message every later call fails with
    std::unique_ptr<PageAhead> page_ahead;
    std::deque<CursorReading> readings;   // the latest few, newest last
    // Whether extra_float_digits is 1 or more, so that a float read in binary form (written
    // as its shortest exact text) is what the server's text says. The session sets it at
    // the open; after the user's SET, RESET or DISCARD ALL it is asked again when a float
    // column could come in binary form (floats_unchecked).
    bool floats_exact = true;
    bool floats_unchecked = false;
    // The user's DISCARD ALL or RESET put the session settings the decoders need back to the
    // server's defaults: begin_if_needed makes them again before the next statement.
    bool settings_lost = false;
    // The process that opened the session, and its count of forks. A forked child shares
    // the socket (and TLS state) with the parent: it may neither use the session nor end it
    // on the server.
    pid_t owner_pid = getpid();
    unsigned owner_forks = fork_generation();
    // The COPY targets of batch texts, asked once per text and transaction: while the
    // transaction that asked stays open, the rows it wrote hold a lock on the table that keeps
    // other sessions from changing its columns, triggers, rules or policies, and this session's
    // own DDL moves cache.epoch. Emptied by any call that finds no transaction open.
    static constexpr size_t copy_target_capacity = 64;
    std::unordered_map<std::string, CopyTarget> copy_targets;
    // Notifications taken from libpq and not yet handed out, and the one handed out last (the
    // caller's ZTC_NOTIFY views point into it).
    std::deque<Notification> notifications;
    Notification notification_out;
    std::unique_ptr<PipelineBatch> pipeline;
    // Catalog entries of types looked up by ZTC_GetServerType, by OID (servertype.cpp).
    std::unordered_map<Oid, ZTC_SERVERTYPE> server_types;
    // The non-blocking operation in progress (nonblocking.cpp), and the results it has read
    // ahead of the caller: next_result hands those out first, so that the blocking paths'
    // collecting code reads a finished operation's results without waiting.
    AsyncOperation async;
    std::deque<ResultPtr> ready_results;

    ~Session();
};

// True in a process other than the one that opened the session (a forked child).
inline bool foreign_process(const Session &s) { return s.owner_forks != fork_generation(); }

// Column type code and modifier, computed once per result.
struct Codec;
struct ColumnInfo {
    int code = 2;
    int modifier = -1;
    Oid oid = 0;                      // the column's type OID
    const Codec *codec = nullptr;     // its record in the codec table (codec.h)
};

// The results of one execution: every statement's result in order, the current one and the
// current row (-1: before the first row). A result whose rows arrived one by one keeps them in
// its row store (its PGresult then holds only the columns and the command tag); reading such
// rows is forward only.
struct Result {
    std::shared_ptr<std::string> error;   // the session's message slot
    ResultList results;
    RowStores stores;                     // parallel to results (empty: none streamed)
    size_t current = 0;
    PGresult *res = nullptr;              // results[current].get()
    RowStore *store = nullptr;            // stores[current].get()
    int row = -1;
    int nrows = 0;                        // rows of the current result
    int ncols = 0;
    std::vector<ColumnInfo> columns;      // of the current result
    std::vector<Cell> cells;              // values of the current row
    // The current result's values arrived in binary form (binaryvalue.h): their texts are
    // written on demand, into `text` for ZTC_GetData and into view_texts for row views.
    bool binary = false;
    std::string text;
    std::vector<std::string> view_texts;
    // The text bytes of each column of the last ZTC_ReadColumns block.
    std::vector<std::string> column_texts;
    // The session's DateStyle when the results arrived. Under a style other than ISO the
    // current result's date and timestamp columns (restyle_columns, text form only) are
    // rewritten into ISO as each row is loaded, into restyled; under ISO the list is empty.
    DateStyle date_style;
    std::vector<int> restyle_columns;
    std::vector<std::string> restyled;
};

// A large object: the bytes of one value.
struct Lob {
    std::string data;
};

// Host-list attributes: the list given and the host the session is connected to.
struct IpsAttrs {
    std::string hosts;
    std::string host_in_use;
};

// ---- non-blocking operations (nonblocking.cpp) ----

// Finishes a non-blocking open once libpq's connection is made (notice keeping, waits, the
// session settings sent): false with the session's message set when the text could not be
// sent.
bool continue_open(Session &s);
// Starts a non-blocking open of a connection text: the libpq connection in its first state
// (PQconnectStartParams), or nullptr with the message in err (without the password).
PGconn *start_open(const char *text, std::string &err, std::string &password);
// The message of a failed open, without the password given or the one libpq used.
std::string open_failure(PGconn *conn, const std::string &password);
// The text that must run before the caller's next statement: the session settings when a
// RESET or DISCARD ALL undid them, then BEGIN in manual-commit mode outside a transaction;
// empty when none. *settings tells whether the settings are in it.
std::string statement_preamble(Session &s, bool *settings);
// Counts a statement text that may change what prepared texts mean (DDL, SET, ...).
void note_statement_text(Session &s, const char *text);
// Reads the results that end a COPY (ready or still to come) and the row count.
bool finish_copy(Session &s, long long *rows);

// ---- handles ----

// The record behind a handle address, or nullptr for a null address or an empty handle.
inline Session *session_of(ZTC_HANDLE *S) { return S ? static_cast<Session *>(*S) : nullptr; }
inline Result *result_of(ZTC_HANDLE *R) { return R ? static_cast<Result *>(*R) : nullptr; }
inline Lob *lob_of(ZTC_HANDLE *L) { return L ? static_cast<Lob *>(*L) : nullptr; }

// The connected session behind S; nullptr when the handle is empty, or when the session never
// connected (a failed open hands back a record carrying the message; "[08003] the session is not
// connected" is then recorded on it).
Session *connected_session(ZTC_HANDLE *S);
// The same; with end_pipeline false a pipeline batch in flight stays so (for calls that only
// prepare the next statement of the batch: bindings, the send itself).
Session *connected_session(ZTC_HANDLE *S, bool end_pipeline);

// Reads the page a named cursor asked for ahead, if its FETCH is still in flight, and keeps it
// (rows or failure) for that cursor; the session's last message stays as it was. Every entry
// point that talks to the server calls it first (connected_session does).
void settle_page_ahead(Session &s) noexcept;
// Ends a pipeline batch in flight: its outcomes are read and kept for ZTC_PipelineResult (a
// broken session fails each of them with its reason); the session's last message stays as it
// was. connected_session calls it too, so any other call finds the session out of pipeline mode.
void settle_pipeline(Session &s) noexcept;

// ---- errors (error.cpp) ----

// Records "[sqlstate] text" as the session's last message (cut to 255 bytes when read).
void set_error(Session &s, const char *sqlstate, const std::string &text);
void set_error(std::string &slot, const char *sqlstate, const std::string &text);
// Records the server's message of a failed result: "[SQLSTATE] primary message". A null result,
// or one without SQLSTATE, records the connection's message (08006 when the connection is lost,
// HY000 otherwise).
void set_error_from_result(Session &s, const PGresult *r);
// Records libpq's connection message (PQerrorMessage) under the given code.
void set_error_from_conn(Session &s, const char *sqlstate);
// The same, prefixed: "row 5: " + message (for batches). Writes into `out` only.
std::string format_result_error(const PGresult *r, PGconn *conn);
// Writes msg into buffer (at most 255 bytes + zero, cut at a character boundary).
int copy_message(const std::string &msg, char *buffer, int *length);

// Runs f and turns a C++ exception (out of memory) into -1 with "[HY001] out of memory"
// recorded on the slot, so that no exception crosses the C interface.
template <class F>
int guarded(std::string *slot, F &&f) noexcept
{
    try {
        return f();
    } catch (...) {
        if (slot) {
            try {
                *slot = "[HY001] out of memory";
            } catch (...) {
            }
        }
        return -1;
    }
}
inline std::string *slot_of(Session *s) { return s ? s->error.get() : nullptr; }

// The frame of a call that runs a statement text: the connected session behind S, a text that
// is not null ("[HY000] no statement text" otherwise), and f(session) run guarded. A call that
// sends into a pipeline passes end_pipeline false, so that the session stays in it.
template <class F>
int with_statement(ZTC_HANDLE *S, const char *sql, F &&f, bool end_pipeline = true) noexcept
{
    Session *s = connected_session(S, end_pipeline);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (!sql) {
            set_error(*s, "HY000", "no statement text");
            return -1;
        }
        if (s->copy_direction != 0) {
            set_error(*s, "HY010", "a COPY is in progress on this session: end it first");
            return -1;
        }
        return f(*s);
    });
}

// The frame of a call that hands out a result into R: the session behind S (connected or
// not), R not null ("[HY000] no result handle" otherwise), and f(session) run guarded.
template <class F>
int with_result_handle(ZTC_HANDLE *S, ZTC_HANDLE *R, F &&f) noexcept
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (!R) {
            set_error(*s, "HY000", "no result handle");
            return -1;
        }
        return f(*s);
    });
}

// ---- the session's client_encoding (clientencoding.cpp) ----

// Every text the library sends or reads is UTF-8, so the session's client_encoding must stay
// UTF8. When the server reports another one (a SET, set_config(), ...), sets it back to UTF8
// and returns false with "[0A000] ..." in err; true when it is UTF8.
bool keep_utf8_encoding(Session &s, std::string &err);

// ---- transactions and execution (session.cpp, execute.cpp) ----

// True when the server reports an open (possibly failed) transaction.
bool in_transaction(const Session &s);
// In manual-commit mode, sends BEGIN when no transaction is open.
bool begin_if_needed(Session &s);
// Runs a command without parameters and checks that it succeeded (BEGIN, COMMIT, CLOSE, ...).
bool run_command(Session &s, const char *sql);
// Ends the open transaction (commit or rollback); a no-op when none is open. A commit of a
// failed transaction, which the server turns into a rollback, is reported as a failure.
// Forgets the cursors held for the library's own transaction.
bool end_transaction(Session &s, bool commit);

// Reads every result of the query just sent (PQsend*) into out, in order. A failing result
// records its message and makes the call fail after all results are drained. COPY from or to
// the client is refused. Empty-query results are dropped unless nothing else came back.
// With `stores`, the rows are taken one by one as they arrive (libpq's single-row mode, which
// the caller has not asked for yet: call it right after sending) into row stores parallel to
// out.
bool collect_results(Session &s, ResultList &out, RowStores *stores = nullptr);

// Prepared statements the server no longer has or the library no longer uses. forget_all: the
// user's DEALLOCATE ALL or DISCARD ALL dropped every one (the names are simply forgotten);
// retire_all: the user's DEALLOCATE of one name, or a threshold turned negative (the names
// go to the retired list, each dropped later, a missing one harmlessly).
void forget_all_prepared(Session &s);
void retire_all_prepared(Session &s);
// Sends DEALLOCATE for each retired statement when no transaction is open; failures (a
// statement the user already dropped) are ignored there, where they abort nothing.
void drop_retired(Session &s);
// Whether rows of these column types may be asked for in binary form: each type has a binary
// reader under the session's settings, and floats only while extra_float_digits is 1 or
// more (a lowered setting makes the server's float texts shorter than the binary reader's).
bool binary_rows_allowed(Session &s, const std::vector<Oid> &types);

// Parameter arrays for PQsend*Params / PQsendQueryPrepared, built from bindings.
struct ParamArrays {
    std::vector<Oid> types;
    std::vector<const char *> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    // The binding's input value (NULL for pure outputs); the binding must outlive the arrays.
    void add(const Binding &b);
    void add_null(Oid oid = 0);
    int count() const { return static_cast<int>(values.size()); }
};

// Checks that positions 1..markers are bound and none beyond (a binding of direction 6 after the
// last marker is allowed when allow_return_value). Records the [07001] message otherwise.
bool check_markers(Session &s, int markers, bool allow_return_value = false);
// The same check over any bindings: bound_at[i] tells whether position i + 1 is bound.
bool check_positions(Session &s, int markers, const std::vector<char> &bound_at);
// Input arrays of positions 1..markers of the session's bindings.
void bound_params(const Session &s, int markers, ParamArrays &out);

// Runs one statement text already in $n form with the given parameters over the extended
// protocol (unnamed statement). Calls begin_if_needed first.
bool exec_params(Session &s, const std::string &sql, const ParamArrays &p, ResultList &out,
                 RowStores *stores = nullptr);
// Runs a text of one or more statements over the simple protocol. Calls begin_if_needed first.
bool exec_simple(Session &s, const std::string &sql, ResultList &out, RowStores *stores = nullptr);
// Runs the caller's text (with ? markers) with the session's single bindings: rewrites the
// markers, checks them, then exec_params when anything is bound, exec_simple otherwise.
bool exec_text(Session &s, const char *text, ResultList &out, RowStores *stores = nullptr);

// The cached prepared statement for a caller's text whose parameter types are `types`:
// prepared on the server when new, re-prepared when its types differ; moved to the front of the
// cache. Evicts (and deallocates) the least recently used statement beyond the capacity.
// nullptr on failure (message recorded).
PreparedStatement *prepare_cached(Session &s, const char *text, const std::vector<Oid> *types);
// Runs a cached statement with the given parameters (begin_if_needed first).
bool exec_prepared(Session &s, PreparedStatement &st, const ParamArrays &p, ResultList &out,
                   RowStores *stores = nullptr);

// ---- waiting on the server (wait.cpp) ----
//
// The session's socket is non-blocking; every wait goes through wait_socket, a loop of polls of
// one tick each. These replace libpq's blocking calls (PQexec, PQexecParams, PQprepare,
// PQgetResult, PQputCopyData, PQputCopyEnd, PQgetCopyData) everywhere in the library.

// After a successful connect: non-blocking socket, cancel object, keepalives.
void prepare_waits(Session &s);
// Records the session as unusable with the message every later call fails with.
void mark_broken(Session &s, const std::string &reason);
// Marks the session broken when libpq reports the connection gone (r: the failing result).
void check_connection(Session &s, const PGresult *r);
// Waits until the socket is ready for `events`; false when the session was given up (wait
// limit, or no answer to a cancel), which also makes libpq fail at once from then on.
bool wait_socket(Session &s, short events);
// Sends everything libpq holds for the server.
bool flush_output(Session &s);
// PQgetResult without blocking the thread in one long wait.
PGresult *next_result(Session &s);
// PQexec, PQexecParams, PQprepare over the interruptible waits (the last result, as they give).
ResultPtr exec_wait(Session &s, const char *sql);
ResultPtr exec_params_wait(Session &s, const char *sql, int n, const Oid *types,
                           const char *const *values, const int *lengths, const int *formats,
                           int result_format);
ResultPtr prepare_wait(Session &s, const char *name, const char *sql, int n, const Oid *types);
// PQputCopyData / PQputCopyEnd (1 or -1) and PQgetCopyData (as libpq's, blocking form).
int put_copy_data(Session &s, const char *data, int n);
int put_copy_end(Session &s, const char *error);
int get_copy_data(Session &s, char **buffer);

// ---- binding (bind.cpp) ----

// Encodes one input value of type code `type` (the binding table: `data` holds `length` bytes,
// or the fixed-size value; a null `data` or a negative length is NULL) into b.null, b.oid,
// b.format and b.value. Dates and timestamps are normalised to four-digit years. False with
// `err` set ("[22023] ...") for an unsupported code or a malformed value.
bool encode_value(int type, const void *data, int length, Binding &b, std::string &err);

// ---- server types (servertype.cpp) ----

// The element type of a built-in array type; 0 for any other type.
Oid builtin_array_element(Oid array);

// ---- results (result.cpp) ----

// Type code, modifier and codec of a column of the given type OID and type modifier.
ColumnInfo column_type(Oid oid, int typmod);

// A new result record over the given results and their row stores (taken), current = first,
// before its first row.
Result *new_result(Session &s, ResultList &&results, RowStores &&stores = RowStores());
// Frees what *R holds and stores r there.
void replace_result(ZTC_HANDLE *R, Result *r);
// Makes results[index] the current result (column types computed, before the first row).
void select_result(Result &r, size_t index);

// Class (2, 3, 9) and counts of one result.
struct ResultCounts {
    int sql_type = 3;
    int columns = 0;
    int64_t rows = 0;
    int affected = 0;
};
// rows: the result's row store, when its rows arrived one by one.
ResultCounts result_counts(const PGresult *r, const RowStore *rows = nullptr);

// Writes one non-NULL value, given in the server's text form (column type `oid`), in the
// encoding of type code `code` (the ZTC_GetData table; for 15, 18, 41, 42 `buffer` is the
// address of a Lob handle). Returns the length to report: the full byte length for text forms,
// the size for fixed-size codes, -1 when the value reads as NULL (an infinite timestamp).
// On a value that cannot be written in that code: returns INT32_MIN with `err` set to the
// message (with its code).
int write_value(int code, Oid oid, const char *text, size_t len, void *buffer, int capacity,
                std::string &err);

// Fills the decoded number of a ZTC_GetRowValues view of a value of type code `code`.
void decode_view(int code, const char *text, size_t len, ZTC_ROWVALUE &v);
// Fills the ZTC_GetRowValues view of column c of the current row.
void fill_view(Result &r, int c, ZTC_ROWVALUE &v);

// Decodes a bytea text form ("\x0a0b..." or the escape form) into out; false when malformed.
bool decode_bytea(const char *text, size_t len, std::string &out);

}  // namespace zt

#endif
