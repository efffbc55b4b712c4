// Notifications (LISTEN / NOTIFY): libpq queues every notification it reads, whatever call was
// reading (results of other statements, COPY data), so none is lost between waits; the library
// moves them into the session's own queue and hands them out oldest first. Waiting is a loop of
// short polls, like every other wait, so the wait handler can end it (Ctrl-C).
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "internal.h"

namespace zt {

namespace {

void gather_notifications(Session &s)
{
    while (PGnotify *n = PQnotifies(s.conn)) {
        Notification item;
        try {
            item.channel = n->relname ? n->relname : "";
            item.payload = n->extra ? n->extra : "";
            item.pid = n->be_pid;
        } catch (...) {
            PQfreemem(n);
            throw;
        }
        PQfreemem(n);
        s.notifications.push_back(std::move(item));
    }
}

// Reads what the server has sent so far, without waiting; false when the connection is lost.
bool read_pending(Session &s)
{
    if (!PQconsumeInput(s.conn)) {
        check_connection(s, nullptr);
        if (!s.broken.load())
            set_error_from_conn(s, "08006");
        else
            *s.error = s.broken_reason;
        return false;
    }
    gather_notifications(s);
    return true;
}

}  // namespace

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_GetNotify(ZTC_HANDLE *S, ZTC_NOTIFY *out)
{
    Session *s = session_of(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (!out) {
            set_error(*s, "HY000", "no notification record");
            return -1;
        }
        // Notifications kept before the session broke are still handed out; reading more
        // needs a session this process may use.
        if (s->notifications.empty()) {
            if (!connected_session(S, false))
                return -1;
            gather_notifications(*s);
            if (s->notifications.empty() && !read_pending(*s))
                return -1;
            if (s->notifications.empty())
                return ZTC_NO_MORE;
        }
        s->notification_out = std::move(s->notifications.front());
        s->notifications.pop_front();
        out->channel = s->notification_out.channel.c_str();
        out->payload = s->notification_out.payload.c_str();
        out->payload_length = static_cast<int>(s->notification_out.payload.size());
        out->pid = s->notification_out.pid;
        return 0;
    });
}

ZTC_API int ZTC_WaitNotify(ZTC_HANDLE *S, int timeout_ms)
{
    using Clock = std::chrono::steady_clock;
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (s->copy_direction != 0) {
            set_error(*s, "HY010", "a COPY is in progress on this session: end it first");
            return -1;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            gather_notifications(*s);
            if (s->notifications.empty() && !read_pending(*s))
                return -1;
            if (!s->notifications.empty())
                return 0;
            int wait = s->tick_ms > 0 ? s->tick_ms : 100;
            if (timeout_ms >= 0) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                deadline - Clock::now()).count();
                if (left <= 0)
                    return ZTC_NO_MORE;
                wait = static_cast<int>(std::min<long long>(wait, left));
            }
            pollfd p{PQsocket(s->conn), POLLIN, 0};
            int rc = poll(&p, 1, wait);
            if (rc < 0 && errno != EINTR) {
                set_error(*s, "08006", "waiting on the session's socket failed");
                return -1;
            }
            if (rc == 0 && s->wait_handler && s->wait_handler(s->wait_context)) {
                set_error(*s, "57014", "the wait for notifications was interrupted");
                return -1;
            }
        }
    });
}

ZTC_API int ZTC_Socket(ZTC_HANDLE *S)
{
    Session *s = session_of(S);
    return s && s->conn ? PQsocket(s->conn) : -1;
}
