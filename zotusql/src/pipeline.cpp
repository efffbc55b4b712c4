// Pipelines: statements sent one after another without waiting for the results of the ones
// before them (libpq's pipeline mode), so that a batch of small statements costs about one round
// trip instead of one each. A sync ends the batch: the results are read in order and each
// statement's outcome is kept until the caller takes it with ZTC_PipelineResult.
//
// The server runs the statements of a batch as it would run them one by one, with one
// difference it makes itself: after a failed statement it skips everything up to the sync, so
// the statements that followed in the same transaction are reported as not run ([25P02]).
#include <cstring>

#include "internal.h"
#include "sqltext.h"

namespace zt {

namespace {

const char kAborted[] = "the statement was not run: an earlier statement of the pipeline failed";

bool connection_lost(Session &s)
{
    if (s.broken.load())
        return true;
    if (PQstatus(s.conn) != CONNECTION_BAD)
        return false;
    check_connection(s, nullptr);
    return true;
}

// A batch that could not be sent or read whole leaves the protocol's state unknown: the session
// is broken, with libpq's reason when it has read one (the server's last message, the lost
// connection).
void give_up(Session &s)
{
    if (s.broken.load())
        return;
    PQconsumeInput(s.conn);
    check_connection(s, nullptr);
    if (!s.broken.load()) {
        std::string reason;
        set_error(reason, "08006", "the pipeline could not be completed; the session is closed");
        mark_broken(s, reason);
    }
}

// The message of a statement whose results never came: the reason the session broke.
std::string lost_reason(Session &s)
{
    if (!s.broken_reason.empty())
        return s.broken_reason;
    std::string out;
    set_error(out, "08006", "the connection was lost before the statement's results arrived");
    return out;
}

// Reads the results of one sent statement, up to the null libpq gives at its end. False when
// the connection failed before that end.
bool read_statement(Session &s, PipelineOutcome &out)
{
    bool any = false;
    while (PGresult *raw = next_result(s)) {
        ResultPtr r(raw);
        any = true;
        switch (PQresultStatus(raw)) {
        case PGRES_PIPELINE_ABORTED:
            if (out.error.empty())
                set_error(out.error, "25P02", kAborted);
            break;
        case PGRES_FATAL_ERROR:
        case PGRES_BAD_RESPONSE:
            if (out.error.empty())
                out.error = format_result_error(raw, s.conn);
            break;
        default:
            out.results.push_back(std::move(r));
        }
    }
    if (!out.error.empty())
        out.results.clear();
    return any && !connection_lost(s);
}

// True for the messages that say a prepared statement no longer exists or no longer fits.
bool stale_statement_error(const std::string &error)
{
    return error.compare(0, 8, "[26000] ") == 0 || error.compare(0, 8, "[0A000] ") == 0;
}

// Sends the sync and reads every statement's outcome into `done`; leaves pipeline mode. A
// failure of the library's own statements goes to the caller's statement it kept from running.
void sync_batch(Session &s, PipelineBatch &p)
{
    bool ok = !connection_lost(s) && PQpipelineSync(s.conn) == 1 && flush_output(s);
    if (!ok)
        give_up(s);
    std::string carried;
    for (PipelineSent &sent : p.in_flight) {
        PipelineOutcome o;
        if (ok && !(ok = read_statement(s, o)))
            give_up(s);
        if (!ok && o.error.empty())
            o.error = lost_reason(s);
        auto st = p.prepared.find(sent.text);
        if (sent.kind == PipelineSent::PREPARE && st != p.prepared.end()) {
            if (o.error.empty())
                st->second.ready = true;
            else
                p.prepared.erase(st);
        } else if (sent.kind == PipelineSent::CALLER && st != p.prepared.end() &&
                   stale_statement_error(o.error)) {
            p.prepared.erase(st);   // prepared again at its next send
        }
        if (sent.kind != PipelineSent::CALLER) {
            if (carried.empty())
                carried = std::move(o.error);
            continue;
        }
        if (!carried.empty() && o.error.compare(0, 8, "[25P02] ") == 0)
            o.error = std::move(carried);
        carried.clear();
        p.done.push_back(std::move(o));
    }
    p.in_flight.clear();
    // Statements whose preparation was sent but never read stay unprepared.
    for (auto it = p.prepared.begin(); it != p.prepared.end();)
        it = it->second.ready ? std::next(it) : p.prepared.erase(it);
    if (ok) {
        ResultPtr sync(next_result(s));
        if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC)
            give_up(s);
    }
    PQexitPipelineMode(s.conn);
    p.active = false;
}

PipelineBatch &pipeline_of(Session &s)
{
    if (!s.pipeline)
        s.pipeline = std::make_unique<PipelineBatch>();
    return *s.pipeline;
}

bool sent_or_failed(Session &s, int rc)
{
    if (rc)
        return true;
    set_error_from_conn(s, PQstatus(s.conn) == CONNECTION_BAD ? "08006" : "HY000");
    check_connection(s, nullptr);
    return false;
}

// The prepared statement to run `text` with these parameter types: one prepared before (or in
// this batch) with the same types; a text sent the second time is prepared now (the preparation
// goes into the batch ahead of it). Null: send the text itself.
PipelineStatement *statement_for(Session &s, PipelineBatch &p, const std::string &text,
                                 const std::string &sql, const ParamArrays &params, bool &ok)
{
    ok = true;
    auto found = p.prepared.find(text);
    if (found != p.prepared.end()) {
        PipelineStatement &st = found->second;
        if (st.epoch == s.cache.epoch && st.types == params.types)
            return &st;
        return nullptr;
    }
    // A session told never to create a named statement (behind a transaction pooler)
    // sends every text as it is.
    if (s.cache.threshold < 0 || p.prepared.size() >= PipelineBatch::prepared_capacity)
        return nullptr;
    if (p.seen.size() >= PipelineBatch::seen_capacity)
        p.seen.clear();   // texts sent once each, again and again: none is worth keeping
    if (++p.seen[text] < 2)
        return nullptr;
    p.seen.erase(text);
    PipelineStatement st;
    st.name = "ztp_" + std::to_string(++p.next_id);
    st.types = params.types;
    st.epoch = s.cache.epoch;
    if (!sent_or_failed(s, PQsendPrepare(s.conn, st.name.c_str(), sql.c_str(), params.count(),
                                         params.types.data()))) {
        ok = false;
        return nullptr;
    }
    p.in_flight.push_back(PipelineSent{PipelineSent::PREPARE, text});
    return &p.prepared.emplace(text, std::move(st)).first->second;
}

bool send_statement(Session &s, const char *text)
{
    std::string sql;
    int markers = rewrite_markers(text, sql);
    if (!check_markers(s, markers))
        return false;
    ParamArrays params;
    bound_params(s, markers, params);
    PipelineBatch &p = pipeline_of(s);
    if (!p.active) {
        // In manual-commit mode the batch runs in a transaction, as single statements do.
        bool begin = !s.autocommit && PQtransactionStatus(s.conn) == PQTRANS_IDLE;
        if (!PQenterPipelineMode(s.conn)) {
            set_error_from_conn(s, "HY000");
            return false;
        }
        p.active = true;
        if (begin) {
            if (!sent_or_failed(s, PQsendQueryParams(s.conn, "BEGIN", 0, nullptr, nullptr,
                                                     nullptr, nullptr, 0)))
                return false;
            p.in_flight.push_back(PipelineSent{PipelineSent::BEGIN, std::string()});
        }
    }
    // A statement that may change what other texts mean (DDL, SET, DISCARD, ...) is never
    // prepared, and the statements prepared before it are prepared again.
    std::string key(text);
    PipelineStatement *st = nullptr;
    if (fun_sql_type(text) == ZTC_SQL_NO_ROWS) {
        ++s.cache.epoch;
    } else {
        bool ok = true;
        st = statement_for(s, p, key, sql, params, ok);
        if (!ok)
            return false;
    }
    int rc = st ? PQsendQueryPrepared(s.conn, st->name.c_str(), params.count(),
                                      params.values.data(), params.lengths.data(),
                                      params.formats.data(), 0)
                : PQsendQueryParams(s.conn, sql.c_str(), params.count(), params.types.data(),
                                    params.values.data(), params.lengths.data(),
                                    params.formats.data(), 0);
    if (!sent_or_failed(s, rc))
        return false;
    p.in_flight.push_back(PipelineSent{PipelineSent::CALLER, std::move(key)});
    // Hands the server what can go now, without waiting, every few statements: it starts on
    // the first ones while later ones are still being sent, and wakes once per chunk rather
    // than once per statement. libpq reads the server's answers meanwhile when the socket is
    // full, so neither side blocks the other.
    if (p.in_flight.size() % PipelineBatch::flush_every == 0)
        PQflush(s.conn);
    return true;
}

}  // namespace

void settle_pipeline(Session &s) noexcept
{
    if (!s.pipeline || !s.pipeline->active || !s.conn || foreign_process(s))
        return;
    PipelineBatch &p = *s.pipeline;
    try {
        std::string kept = *s.error;
        if (s.conn && !connection_lost(s)) {
            sync_batch(s, p);
        } else {
            for (const PipelineSent &sent : p.in_flight) {
                if (sent.kind == PipelineSent::CALLER)
                    p.done.push_back(PipelineOutcome{ResultList(), lost_reason(s)});
            }
            p.in_flight.clear();
            p.active = false;
        }
        *s.error = std::move(kept);
    } catch (...) {
        // Out of memory: the outcomes not kept are lost with the batch; the session leaves
        // pipeline mode so that later calls work.
        p.in_flight.clear();
        p.active = false;
        if (s.conn)
            PQexitPipelineMode(s.conn);
    }
}

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_PipelineSend(ZTC_HANDLE *S, const char *sql)
{
    return with_statement(S, sql, [&](Session &s) { return send_statement(s, sql) ? 0 : -1; },
                          false);
}

ZTC_API int ZTC_PipelineSync(ZTC_HANDLE *S, int *kept)
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    settle_pipeline(*s);
    if (kept)
        *kept = s->pipeline ? static_cast<int>(s->pipeline->done.size()) : 0;
    return 0;
}

ZTC_API int ZTC_PipelineResult(ZTC_HANDLE *S, ZTC_HANDLE *R)
{
    return with_result_handle(S, R, [&](Session &s) -> int {
        settle_pipeline(s);
        if (!s.pipeline || s.pipeline->done.empty())
            return ZTC_NO_MORE;
        PipelineOutcome o = std::move(s.pipeline->done.front());
        s.pipeline->done.pop_front();
        if (!o.error.empty()) {
            *s.error = std::move(o.error);
            return -1;
        }
        replace_result(R, new_result(s, std::move(o.results)));
        return 0;
    });
}
