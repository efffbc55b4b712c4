// Statement execution: collecting the server's results, parameter marker checks, the simple and
// extended protocols, the per-session prepared-statement cache, and the execution calls.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "binaryvalue.h"
#include "codec.h"
#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

constexpr const char *kCopyInRefused = "COPY FROM STDIN is not supported through this interface";

// Reports a failure to send a query (libpq could not write it to the connection).
bool send_failed(Session &s)
{
    set_error_from_conn(s, PQstatus(s.conn) == CONNECTION_BAD ? "08006" : "HY000");
    return false;
}

// Width rank of an integer type OID (0: not an integer type).
int integer_rank(Oid oid)
{
    switch (oid) {
    case OID_INT2: return 1;
    case OID_INT4: return 2;
    case OID_INT8: return 3;
    default: return 0;
    }
}

// Whether a value bound with type `bound` can be sent to a statement prepared with parameter
// type `prepared`: the same type, or an integer no wider.
bool type_fits(Oid prepared, Oid bound)
{
    if (prepared == bound)
        return true;
    int pr = integer_rank(prepared), br = integer_rank(bound);
    return pr && br && br <= pr;
}

// Types to prepare with when the bound types do not fit: the bound ones, but an integer
// position keeps the wider of the two so that alternating widths do not prepare again and again.
std::vector<Oid> merged_types(const std::vector<Oid> &prepared, const std::vector<Oid> &bound)
{
    std::vector<Oid> out = bound;
    for (size_t i = 0; i < out.size() && i < prepared.size(); ++i)
        if (integer_rank(prepared[i]) > integer_rank(out[i]) && integer_rank(out[i]))
            out[i] = prepared[i];
    return out;
}

// Hands a server statement the library no longer uses to drop_retired: it is dropped once no
// transaction is open, never inside one, where a DEALLOCATE of a statement the user
// already dropped would fail and abort the transaction.
void retire(Session &s, std::string &name)
{
    if (name.empty())
        return;
    s.cache.retired.push_back(std::move(name));
    name.clear();
}

// "_zt" and 16 random hexadecimal digits and "_": the start of every statement name of the
// session. A user's PREPARE would have to guess the random part to meet one of them.
std::string statement_prefix()
{
    std::random_device device;
    uint64_t bits = (uint64_t{device()} << 32) ^ device();
    static const char kHex[] = "0123456789abcdef";
    std::string out = "_zt";
    for (int shift = 60; shift >= 0; shift -= 4)
        out += kHex[(bits >> shift) & 0xf];
    out += '_';
    return out;
}

// Prepares st on the server under a fresh name with the given types.
bool server_prepare(Session &s, PreparedStatement &st, const std::vector<Oid> &types)
{
    retire(s, st.name);
    if (s.cache.name_prefix.empty())
        s.cache.name_prefix = statement_prefix();
    std::string name = s.cache.name_prefix + std::to_string(++s.cache.next_id);
    ResultPtr r(prepare_wait(s, name.c_str(), st.sql.c_str(), static_cast<int>(types.size()),
                          types.empty() ? nullptr : types.data()));
    if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
        set_error_from_result(s, r.get());
        return false;
    }
    st.name = std::move(name);
    st.types = types;
    st.result_types.clear();
    return true;
}

void note_result_types(PreparedStatement &st, const ResultList &results)
{
    const PGresult *r = results.empty() ? nullptr : results.front().get();
    if (!st.result_types.empty() || !r || PQnfields(r) == 0)
        return;
    for (int c = 0; c < PQnfields(r); ++c)
        st.result_types.push_back(PQftype(r, c));
}

// Drops least recently used statements beyond the capacity, never one in use.
void evict(Session &s)
{
    StatementCache &c = s.cache;
    auto it = c.order.end();
    while (c.order.size() > StatementCache::capacity && it != c.order.begin()) {
        --it;
        if (it->in_use || &*it == s.current)
            continue;
        retire(s, it->name);
        c.index.erase(it->text);
        it = c.order.erase(it);
    }
}

// The cache entry for a caller's text, created (not yet prepared on the server) when new, and
// moved to the front.
PreparedStatement *cache_entry(Session &s, const char *text)
{
    StatementCache &c = s.cache;
    auto found = c.index.find(text);
    if (found != c.index.end()) {
        c.order.splice(c.order.begin(), c.order, found->second);
        return &*found->second;
    }
    PreparedStatement st;
    st.text = text;
    st.markers = rewrite_markers(text, st.sql);
    c.order.push_front(std::move(st));
    c.index.emplace(c.order.front().text, c.order.begin());
    evict(s);
    return &c.order.front();
}

// The command tags of the user's statements that drop prepared statements: every one of the
// session's (DEALLOCATE ALL, DISCARD ALL), or one whose name the tag does not tell; of those
// that may change extra_float_digits (SET, RESET, DISCARD ALL); of those that may undo the
// session settings (RESET, DISCARD ALL).
void note_command_tag(Session &s, const PGresult *r)
{
    const char *tag = PQcmdStatus(const_cast<PGresult *>(r));
    if (tag && (std::strcmp(tag, "SET") == 0 || std::strcmp(tag, "RESET") == 0))
        s.floats_unchecked = true;
    if (tag && (std::strcmp(tag, "RESET") == 0 || std::strcmp(tag, "DISCARD ALL") == 0))
        s.settings_lost = true;
    if (!tag || (tag[0] != 'D'))
        return;
    if (std::strcmp(tag, "DEALLOCATE ALL") == 0 || std::strcmp(tag, "DISCARD ALL") == 0)
        forget_all_prepared(s);
    if (std::strcmp(tag, "DISCARD ALL") == 0)
        s.floats_unchecked = true;
    else if (std::strcmp(tag, "DEALLOCATE") == 0)
        retire_all_prepared(s);
}

// First words of statements that leave the meaning of prepared texts alone: queries,
// data changes, transaction control, cursors. Any other statement (DDL, SET, DISCARD,
// DO, CALL, ...) may change a table's columns or the search path, so it ends the
// prepared texts' epoch.
bool changes_meanings(const char *text)
{
    static const char *const kKeep[] = {
        "SELECT", "INSERT", "UPDATE", "DELETE", "WITH", "VALUES", "TABLE", "MERGE",
        "BEGIN", "START", "COMMIT", "END", "ROLLBACK", "SAVEPOINT", "RELEASE", "ABORT",
        "FETCH", "MOVE", "CLOSE", "DECLARE", "SHOW", "EXPLAIN", "COPY", "LOCK",
        "TRUNCATE", "LISTEN", "NOTIFY", "UNLISTEN"};
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '(')
        ++p;
    char word[12];
    size_t n = 0;
    while (n < sizeof word - 1 && std::isalpha(static_cast<unsigned char>(p[n]))) {
        word[n] = static_cast<char>(std::toupper(static_cast<unsigned char>(p[n])));
        ++n;
    }
    word[n] = '\0';
    if (std::isalpha(static_cast<unsigned char>(p[n])))
        return true;
    for (const char *keep : kKeep)
        if (std::strcmp(word, keep) == 0)
            return false;
    return true;
}

// The cache entry of a text, moved to the front; null when the text is not cached.
PreparedStatement *cached_text(Session &s, const char *text)
{
    StatementCache &c = s.cache;
    auto found = c.index.find(text);
    if (found == c.index.end())
        return nullptr;
    c.order.splice(c.order.begin(), c.order, found->second);
    return &*found->second;
}

// A new cache entry for a text with markers; only a single query or data-changing
// statement is ever prepared from it.
PreparedStatement *new_cached_text(Session &s, const char *text)
{
    PreparedStatement *st = cache_entry(s, text);
    int kind = classify_statement(text);
    st->repeatable = kind == ZTC_SQL_ONE_ROW || kind == ZTC_SQL_DML || kind == ZTC_SQL_QUERY;
    return st;
}

// Whether a failure of a prepared statement says that the server statement no longer fits
// its text: a table or the search path changed since it was prepared (the result's
// columns would change), or the statement was deallocated behind the library's back.
bool stale_statement(const std::string &error)
{
    return error.compare(0, 8, "[26000] ") == 0 ||
           (error.compare(0, 8, "[0A000] ") == 0 &&
            error.find("cached plan must not change result type") != std::string::npos);
}

// Runs a text exec_text met again and again through its prepared statement: prepared now
// when it is not yet (or was in an earlier epoch). A call whose parameter types differ
// from the prepared ones runs as before, unprepared, so that each call's values are typed
// exactly as they would be without the cache. When the prepared statement turns out
// stale and no transaction was open, nothing happened and the call runs unprepared.
bool exec_repeated(Session &s, PreparedStatement &st, const ParamArrays &p, ResultList &out,
                   RowStores *stores)
{
    if (!begin_if_needed(s))
        return false;
    const bool idle = PQtransactionStatus(s.conn) == PQTRANS_IDLE;
    if (st.name.empty() || st.epoch != s.cache.epoch) {
        if (!server_prepare(s, st, p.types))
            return false;
        st.epoch = s.cache.epoch;
    } else if (st.types != p.types) {
        return exec_params(s, st.sql, p, out, stores);
    }
    if (exec_prepared(s, st, p, out, stores))
        return true;
    if (!stale_statement(*s.error))
        return false;
    st.epoch = 0;
    if (!idle || PQtransactionStatus(s.conn) != PQTRANS_IDLE)
        return false;
    return exec_params(s, st.sql, p, out, stores);
}

}  // namespace

void note_statement_text(Session &s, const char *text)
{
    if (changes_meanings(text))
        ++s.cache.epoch;
}

void ParamArrays::add_null(Oid oid)
{
    types.push_back(oid);
    values.push_back(nullptr);
    lengths.push_back(0);
    formats.push_back(0);
}

void ParamArrays::add(const Binding &b)
{
    if (!b.bound || b.null || b.direction == PARAM_OUTPUT || b.direction == PARAM_RETURNVALUE) {
        add_null(b.bound ? b.oid : 0);
        return;
    }
    types.push_back(b.oid);
    values.push_back(b.value.data());
    lengths.push_back(static_cast<int>(b.value.size()));
    formats.push_back(b.format);
}

bool collect_results(Session &s, ResultList &out, RowStores *stores)
{
    out.clear();
    if (stores) {
        stores->clear();
        // Refused only when a result is already under way; the rows then come whole.
        PQsetSingleRowMode(s.conn);
    }
    std::string first_error;
    ResultPtr empty_query;
    std::unique_ptr<RowStore> pending;   // rows of the result still arriving
    bool any = false;
    while (PGresult *raw = next_result(s)) {
        ResultPtr r(raw);
        any = true;
        switch (PQresultStatus(raw)) {
        case PGRES_SINGLE_TUPLE:
            // Without memory for the row the results are still drained, so that the session
            // stays usable; the call fails.
            try {
                if (!pending)
                    pending = std::make_unique<RowStore>();
                pending->append(raw);
            } catch (const std::bad_alloc &) {
                pending.reset();
                if (first_error.empty())
                    first_error = "[HY001] out of memory";
            }
            continue;
        case PGRES_COPY_IN:
            // The server waits for rows the interface cannot give: end the COPY with an error
            // so that the session stays usable; the server's answer is the failure reported.
            put_copy_end(s, kCopyInRefused);
            continue;
        case PGRES_COPY_OUT: {
            char *buf = nullptr;
            while (get_copy_data(s, &buf) > 0)
                PQfreemem(buf);
            if (first_error.empty())
                set_error(first_error, "0A000",
                          "COPY TO STDOUT is not supported through this interface");
            continue;
        }
        case PGRES_FATAL_ERROR:
        case PGRES_BAD_RESPONSE:
            pending.reset();
            if (first_error.empty())
                first_error = format_result_error(raw, s.conn);
            continue;
        case PGRES_EMPTY_QUERY:
            if (!empty_query)
                empty_query = std::move(r);
            continue;
        case PGRES_COMMAND_OK:
            note_command_tag(s, raw);
            [[fallthrough]];
        default:
            if (stores)
                stores->push_back(std::move(pending));
            out.push_back(std::move(r));
        }
    }
    if (!any)
        first_error = format_result_error(nullptr, s.conn);
    if (first_error.empty())
        keep_utf8_encoding(s, first_error);
    if (!first_error.empty()) {
        *s.error = first_error;
        out.clear();
        if (stores)
            stores->clear();
        return false;
    }
    if (out.empty() && empty_query) {
        out.push_back(std::move(empty_query));
        if (stores)
            stores->emplace_back();
    }
    return true;
}

bool check_positions(Session &s, int markers, const std::vector<char> &bound_at)
{
    int bound = 0, highest = 0;
    for (size_t i = 0; i < bound_at.size(); ++i) {
        if (bound_at[i]) {
            ++bound;
            highest = static_cast<int>(i) + 1;
        }
    }
    if (bound == markers && highest == markers)
        return true;
    if (highest <= markers && bound > 0) {
        for (int pos = 1; pos <= highest; ++pos) {
            if (!bound_at[static_cast<size_t>(pos - 1)]) {
                set_error(s, "07001", "parameter " + std::to_string(pos) + " is not bound");
                return false;
            }
        }
    }
    set_error(s, "07001",
              "the statement has " + std::to_string(markers) + " parameter markers but " +
                  std::to_string(bound) + " parameters are bound");
    return false;
}

bool check_markers(Session &s, int markers, bool allow_return_value)
{
    std::vector<char> bound_at(s.params.size(), 0);
    for (size_t i = 0; i < s.params.size(); ++i) {
        const Binding &b = s.params[i];
        int pos = static_cast<int>(i) + 1;
        bool return_value =
            allow_return_value && pos == markers + 1 && b.direction == PARAM_RETURNVALUE;
        bound_at[i] = b.bound && !return_value;
    }
    return check_positions(s, markers, bound_at);
}

void bound_params(const Session &s, int markers, ParamArrays &out)
{
    for (int i = 0; i < markers; ++i)
        out.add(s.params[i]);
}

bool exec_params(Session &s, const std::string &sql, const ParamArrays &p, ResultList &out,
                 RowStores *stores)
{
    if (!begin_if_needed(s))
        return false;
    if (!PQsendQueryParams(s.conn, sql.c_str(), p.count(), p.types.data(), p.values.data(),
                           p.lengths.data(), p.formats.data(), 0))
        return send_failed(s);
    return collect_results(s, out, stores);
}

bool exec_simple(Session &s, const std::string &sql, ResultList &out, RowStores *stores)
{
    if (!begin_if_needed(s))
        return false;
    if (!PQsendQuery(s.conn, sql.c_str()))
        return send_failed(s);
    return collect_results(s, out, stores);
}

bool exec_text(Session &s, const char *text, ResultList &out, RowStores *stores)
{
    // A caller's DEALLOCATE or DISCARD is seen by its command tag (note_command_tag), also
    // behind other statements of the same text, so that no statement the server dropped is
    // run or deallocated again.
    note_statement_text(s, text);
    // A text with markers is kept in the statement cache from its first execution, so
    // that it is rewritten once, and prepared on the server once it runs again and again.
    PreparedStatement *st = cached_text(s, text);
    std::string rewritten;
    int markers = st ? st->markers : rewrite_markers(text, rewritten);
    if (!st && markers > 0)
        st = new_cached_text(s, text);
    const std::string &sql = st ? st->sql : rewritten;
    bool any_bound = std::any_of(s.params.begin(), s.params.end(),
                                 [](const Binding &b) { return b.bound; });
    if (!any_bound && markers == 0)
        return exec_simple(s, sql, out, stores);
    if (!check_markers(s, markers))
        return false;
    ParamArrays p;
    bound_params(s, markers, p);
    // The run after `threshold` runs is prepared on the server, and the ones after it too.
    if (st && st->repeatable && s.cache.threshold >= 0 && ++st->executions > s.cache.threshold)
        return exec_repeated(s, *st, p, out, stores);
    return exec_params(s, sql, p, out, stores);
}

PreparedStatement *prepare_cached(Session &s, const char *text, const std::vector<Oid> *types)
{
    PreparedStatement *st = cache_entry(s, text);
    // A session that never prepares keeps only the rewritten text; ZTC_Execute2 runs it
    // as an unnamed statement.
    if (s.cache.threshold < 0)
        return st;
    if (!types) {
        // Without known parameter types a statement with markers is prepared at its first
        // execution; one without markers is prepared now, so that its errors show here.
        if (st->name.empty() && st->markers == 0 && !server_prepare(s, *st, {}))
            return nullptr;
        return st;
    }
    if (!st->name.empty() && st->types.size() == types->size()) {
        bool fits = true;
        for (size_t i = 0; i < types->size() && fits; ++i)
            fits = type_fits(st->types[i], (*types)[i]);
        if (fits)
            return st;
    }
    if (!server_prepare(s, *st, merged_types(st->types, *types)))
        return nullptr;
    return st;
}

bool exec_prepared(Session &s, PreparedStatement &st, const ParamArrays &p, ResultList &out,
                   RowStores *stores)
{
    if (!begin_if_needed(s))
        return false;
    // Once the statement's result types are known, its rows may come in binary form.
    const int result_format = binary_rows_allowed(s, st.result_types) ? 1 : 0;
    if (!PQsendQueryPrepared(s.conn, st.name.c_str(), p.count(), p.values.data(),
                             p.lengths.data(), p.formats.data(), result_format))
        return send_failed(s);
    if (!collect_results(s, out, stores))
        return false;
    note_result_types(st, out);
    return true;
}

void forget_all_prepared(Session &s)
{
    for (PreparedStatement &st : s.cache.order) {
        st.name.clear();
        st.epoch = 0;
    }
}

void retire_all_prepared(Session &s)
{
    for (PreparedStatement &st : s.cache.order) {
        retire(s, st.name);
        st.epoch = 0;
    }
}

bool binary_rows_allowed(Session &s, const std::vector<Oid> &types)
{
    if (!binary_readable_types(s.conn, types))
        return false;
    if (std::none_of(types.begin(), types.end(),
                     [](Oid t) { return codec_of(t).binary == BinaryRead::FloatDigits; }))
        return true;
    // Asked only in a usable transaction state; until then floats come as text.
    if (s.floats_unchecked && PQtransactionStatus(s.conn) != PQTRANS_INERROR) {
        ResultPtr r(exec_wait(s, "SHOW extra_float_digits"));
        if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1) {
            s.floats_exact = std::atoi(PQgetvalue(r.get(), 0, 0)) >= 1;
            s.floats_unchecked = false;
        }
    }
    return s.floats_exact && !s.floats_unchecked;
}

void drop_retired(Session &s)
{
    if (s.cache.retired.empty() || PQtransactionStatus(s.conn) != PQTRANS_IDLE)
        return;
    std::vector<std::string> names;
    names.swap(s.cache.retired);
    for (const std::string &name : names) {
        std::string sql = "DEALLOCATE \"" + name + "\"";
        ResultPtr r(exec_wait(s, sql.c_str()));
        if (!r && PQstatus(s.conn) == CONNECTION_BAD)
            return;
    }
}

}  // namespace zt

using namespace zt;

// Sets how many runs of a text come before it is prepared (negative: never; the named
// statements the session has are then dropped once no transaction is open, by the next
// statement call: this call itself never waits on the server).
ZTC_API int ZTC_SetPrepareThreshold(ZTC_HANDLE *S, int runs)
{
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (runs < 0 && s->cache.threshold >= 0)
            retire_all_prepared(*s);
        s->cache.threshold = runs < 0 ? -1 : runs;
        return 0;
    });
}

ZTC_API int ZTC_Reset(ZTC_HANDLE *S)
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    s->params.clear();
    s->arrays.clear();
    s->kept_outputs.clear();
    s->call_row.reset();
    return 0;
}

// The class depends on the text alone, and a driver classifies the same text on every
// call of a loop: the thread's last answer is kept.
ZTC_API int fun_sql_type(const char *sql)
{
    if (!sql)
        return -1;
    thread_local std::string last_text;
    thread_local int last_class = -1;
    try {
        if (last_class >= 0 && last_text == sql)
            return last_class;
        int kind = classify_statement(sql);
        last_text = sql;
        last_class = kind;
        return kind;
    } catch (...) {
        last_class = -1;
        return -1;
    }
}

ZTC_API int ZTC_ExecwithDataReader(ZTC_HANDLE *S, const char *sql, ZTC_HANDLE *R, int *columns,
                                   int64_t *rows, int *affected)
{
    return with_statement(S, sql, [&](Session &s) -> int {
        if (!R)
            return -1;
        ResultList results;
        RowStores stores;
        if (!exec_text(s, sql, results, &stores))
            return -1;
        ResultCounts counts = result_counts(results.front().get(), stores.front().get());
        replace_result(R, new_result(s, std::move(results), std::move(stores)));
        if (columns)
            *columns = counts.columns;
        if (rows)
            *rows = counts.rows;
        if (affected)
            *affected = counts.affected;
        return 0;
    });
}

// Makes the text the session's current statement. A cached text costs no round trip.
ZTC_API int ZTC_Prepare2(ZTC_HANDLE *S, const char *sql, void *reserved)
{
    (void)reserved;
    return with_statement(S, sql, [&](Session &s) -> int {
        if (s.current)
            s.current->in_use = false;
        s.current = nullptr;
        PreparedStatement *st = prepare_cached(s, sql, nullptr);
        if (!st)
            return -1;
        st->in_use = true;
        s.current = st;
        return 0;
    });
}

// Runs the current statement with the session's bindings; prepares it again first when they
// bring parameter types it was not prepared for.
ZTC_API int ZTC_Execute2(ZTC_HANDLE *S, void *reserved1, void *reserved2, ZTC_HANDLE *R)
{
    (void)reserved1;
    (void)reserved2;
    Session *s = connected_session(S);
    if (!s || !R)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        PreparedStatement *st = s->current;
        if (!st) {
            set_error(*s, "HY000", "no statement is prepared");
            return -1;
        }
        if (!check_markers(*s, st->markers))
            return -1;
        ParamArrays p;
        bound_params(*s, st->markers, p);
        // A NULL is sent as NULL whatever the parameter's type: it fits what is prepared.
        std::vector<Oid> types = p.types;
        for (size_t i = 0; i < types.size() && i < st->types.size(); ++i)
            if (!p.values[i])
                types[i] = st->types[i];
        ResultList results;
        RowStores stores;
        if (s->cache.threshold < 0) {
            if (!exec_params(*s, st->sql, p, results, &stores))
                return -1;
        } else {
            if (!prepare_cached(*s, st->text.c_str(), &types))
                return -1;
            if (!exec_prepared(*s, *st, p, results, &stores))
                return -1;
        }
        replace_result(R, new_result(*s, std::move(results), std::move(stores)));
        return 0;
    });
}

// Marks the current statement unused; it stays prepared in the cache.
ZTC_API int ZTC_UnPrepare(ZTC_HANDLE *S, void *reserved)
{
    (void)reserved;
    Session *s = session_of(S);
    if (!s)
        return -1;
    if (s->current)
        s->current->in_use = false;
    s->current = nullptr;
    return 0;
}
