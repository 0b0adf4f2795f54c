// The IPC client: one connection (Unix-domain socket or TCP) and one reader
// thread per session.
// The reader thread connects, sends the session start, and then delivers
// every reply and event to the caller's callbacks; request calls only
// encode and write a frame under the session lock, so no callback ever
// runs on the caller's thread inside a request call.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc_internal.h"

namespace ipc_detail {

kalder_result_t error(int type, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    kalder_result_t r = kalder_error_vput(kModule, type, fmt, ap);
    va_end(ap);
    return r;
}

namespace {

// Connect within timeout_s seconds (0: the system's own limit); the
// descriptor is non-blocking.
kalder::UniqueFd connect_backend(const std::string &contact, int timeout_s, std::string *why)
{
    kalder::Contact where;
    if (!kalder::parse_contact(contact, &where, why))
        return kalder::UniqueFd();
    kalder::ConnectOptions options;
    options.timeout_ms = timeout_s > 0 ? timeout_s * 1000 : 0;
    options.nonblocking = true;
    kalder::ConnectFailure failure;
    kalder::UniqueFd fd = kalder::connect_stream(where, options, &failure);
    const std::string shown = contact.substr(0, where.unix_socket ? 120 : 100);
    if (failure.resolve != 0)
        *why = "cannot resolve the back end " + shown + ": " + failure.text();
    else if (!fd)
        *why = "cannot connect to the back end " + shown + ": " + failure.text();
    return fd;
}

// Owned storage behind a kalder_gfs_finished_info_t.
struct ReplyHolder {
    kalder_gfs_finished_info_t info{};
    std::vector<kalder_gfs_stat_t> stats;
    std::vector<std::string> names;
};

// Runs one of the caller's callbacks unless a close was asked for. A close
// waits for a callback that is running, so once kalder_gfs_ipc_close has
// returned none runs any more (but the close callback).
template <class Call>
void deliver(kalder_gfs_ipc_handle_s *h, Call &&call)
{
    {
        kalder::MutexLock g(h->lock);
        if (h->closing)
            return;
        h->in_callback = true;
    }
    call();
    {
        kalder::MutexLock g(h->lock);
        h->in_callback = false;
    }
    h->cv.notify_all();
}

// A stat entry without its name (the caller points that at owned storage).
kalder_gfs_stat_t to_stat(const kalder_ipc::StatEntry &e)
{
    kalder_gfs_stat_t s{};
    s.mode = static_cast<int>(e.mode);
    s.nlink = static_cast<int>(e.nlink);
    s.uid = static_cast<int>(e.uid);
    s.gid = static_cast<int>(e.gid);
    s.size = e.size;
    s.atime = static_cast<long>(e.atime);
    s.mtime = static_cast<long>(e.mtime);
    s.ctime = static_cast<long>(e.ctime);
    s.dev = e.dev;
    s.ino = e.ino;
    s.mtime_nsec = static_cast<long>(e.mtime_nsec);
    return s;
}

void fill_reply(const kalder_ipc::Message &m, ReplyHolder *h)
{
    kalder_gfs_finished_info_t &r = h->info;
    r.type = static_cast<int>(m.op);
    r.id = static_cast<int>(m.id);
    r.code = static_cast<int>(m.code);
    r.msg = m.msg.empty() ? nullptr : const_cast<char *>(m.msg.c_str());
    r.result = m.code == 0 ? KALDER_SUCCESS
                           : kalder_error_put("back end", KALDER_ERROR_REMOTE, "%s", m.error.c_str());
    switch (m.op) {
        case KALDER_GFS_OP_SESSION_START:
            r.info.session.username = const_cast<char *>(m.username.c_str());
            r.info.session.home_dir = const_cast<char *>(m.home_dir.c_str());
            break;
        case KALDER_GFS_OP_ACTIVE:
            r.info.data.data_arg = reinterpret_cast<void *>(static_cast<uintptr_t>(m.data_id));
            r.info.data.bi_directional = KALDER_FALSE;
            break;
        case KALDER_GFS_OP_COMMAND:
            r.info.command.command = static_cast<int>(m.command);
            r.info.command.created_dir =
                m.created_dir.empty() ? nullptr : const_cast<char *>(m.created_dir.c_str());
            break;
        case KALDER_GFS_OP_STAT:
        case KALDER_GFS_OP_LIST:
        case KALDER_GFS_OP_TRANSFER:  // a receive: the stored file
            h->names.reserve(m.stats.size());
            for (const auto &e : m.stats) {
                h->names.push_back(e.name);
                h->stats.push_back(to_stat(e));
            }
            for (size_t i = 0; i < h->stats.size(); ++i)
                h->stats[i].name = const_cast<char *>(h->names[i].c_str());
            r.info.stat.stat_count = static_cast<int>(h->stats.size());
            r.info.stat.stat_array = h->stats.empty() ? nullptr : h->stats.data();
            r.info.stat.next = const_cast<char *>(m.next.c_str());
            break;
        case KALDER_GFS_OP_DIGEST:
            r.info.digest.algorithm = const_cast<char *>(m.checksum_alg.c_str());
            r.info.digest.hex = const_cast<char *>(m.checksum.c_str());
            if (!m.stats.empty()) {
                r.info.digest.stat = to_stat(m.stats[0]);
                r.info.digest.stat.name = const_cast<char *>(m.stats[0].name.c_str());
            }
            break;
        default:
            break;
    }
}

// A back end on a Unix-domain socket closes at once, without a word, on a
// peer whose uid it does not serve. Before the session opened, the end of
// such a connection (end of file, reset, broken pipe) is most likely that.
bool closed_unanswered(const std::string &contact, bool eof, const std::string &why)
{
    return contact.compare(0, 5, "unix:") == 0 &&
           (eof || why.find(std::strerror(ECONNRESET)) != std::string::npos ||
            why.find(std::strerror(EPIPE)) != std::string::npos);
}

kalder_result_t unanswered_error(const std::string &contact)
{
    return error(
        KALDER_ERROR_SYSTEM,
        "the back end %s closed the connection before the session opened: it serves only the uids its "
        "--allow-uid names, and an older back end refuses this client's protocol version (its log tells "
        "which)",
        contact.substr(0, 120).c_str());
}

}  // namespace

namespace {

struct Readers {
    std::mutex lock;
    std::condition_variable done;
    int alive = 0;  // guarded by lock
};

// Never destroyed: a reader thread may still end while the process exits.
Readers &readers()
{
    static Readers *r = new Readers;
    return *r;
}

}  // namespace

void reader_started()
{
    std::lock_guard<std::mutex> g(readers().lock);
    ++readers().alive;
}

void reader_ended()
{
    Readers &r = readers();
    {
        std::lock_guard<std::mutex> g(r.lock);
        --r.alive;
    }
    r.done.notify_all();
}

bool wait_for_readers(int timeout_ms)
{
    Readers &r = readers();
    std::unique_lock<std::mutex> g(r.lock);
    return r.done.wait_for(g, std::chrono::milliseconds(timeout_ms), [&r] { return r.alive == 0; });
}

void reader_main(kalder_gfs_ipc_handle_s *h)
{
    // Counted until the handle is freed, whichever way the thread ends.
    struct Ended {
        ~Ended() { reader_ended(); }
    } ended;
    {
        kalder::MutexLock g(h->lock);
        h->reader = std::this_thread::get_id();
    }
    std::string why;
    int fd;
    {
        kalder::UniqueFd connected = connect_backend(h->host_id, h->connect_timeout_s, &why);
        kalder::MutexLock g(h->lock);
        h->fd = std::move(connected);
        fd = h->fd.get();  // stays open until the handle is freed
    }
    if (fd >= 0 && !kalder_ipc::write_frame(fd, h->start_frame, kWriteTimeoutMs, &why))
        why = "cannot send the session start: " + why;
    else if (fd >= 0)
        why.clear();

    kalder_result_t failure = KALDER_SUCCESS;
    if (!why.empty() && fd >= 0 && closed_unanswered(h->host_id, false, why)) {
        failure = unanswered_error(h->host_id);
    } else if (!why.empty()) {
        failure = error(KALDER_ERROR_SYSTEM, "%s", why.c_str());
    } else {
        // Receive until the session breaks or is closed.
        // The session reply is bounded even without a configured timeout, so a
        // back end that accepts but never answers cannot hold a request forever.
        long long connect_deadline_ms =
            h->connect_timeout_s > 0 ? h->connect_timeout_s * 1000LL : kOpenReplyMs;
        bool close_sent_wait = false;
        for (;;) {
            int idle = -1;
            bool opened, closing, idle_applies;
            {
                kalder::MutexLock g(h->lock);
                opened = h->opened || h->refused;
                closing = h->closing;
                idle_applies = h->pending.empty();
            }
            if (closing) {
                if (close_sent_wait)
                    break;  // the acknowledgement did not come in time
                idle = kCloseWaitMs;
            } else if (!opened) {
                idle = static_cast<int>(connect_deadline_ms);
            } else if (h->idle_timeout_s > 0 && idle_applies) {
                idle = h->idle_timeout_s * 1000;
            }
            kalder_ipc::Message m;
            why.clear();
            kalder_ipc::ReadResult rr = kalder_ipc::read_frame(fd, closing ? -1 : h->wake_read.get(), idle,
                                                               kFrameTimeoutMs, &m, &why);
            if (rr == kalder_ipc::READ_WOKEN) {
                char drain[16];
                while (read(h->wake_read.get(), drain, sizeof drain) > 0) {
                }
                continue;  // closing changed; go round
            }
            if (rr == kalder_ipc::READ_IDLE) {
                if (closing) {
                    close_sent_wait = true;
                    break;
                }
                if (!opened) {
                    failure =
                        error(KALDER_ERROR_TIMEOUT, "the back end did not answer the session open in time");
                    break;
                }
                // Requests may have been issued meanwhile; only an idle session times out.
                kalder::MutexLock g(h->lock);
                if (!h->pending.empty())
                    continue;
                failure = error(KALDER_ERROR_TIMEOUT, "the back-end session was idle for %d seconds",
                                h->idle_timeout_s);
                break;
            }
            if (!opened && !closing && (rr == kalder_ipc::READ_EOF || rr == kalder_ipc::READ_ERROR) &&
                closed_unanswered(h->host_id, rr == kalder_ipc::READ_EOF, why)) {
                failure = unanswered_error(h->host_id);
                break;
            }
            if (rr == kalder_ipc::READ_EOF) {
                if (!closing)
                    failure = error(KALDER_ERROR_SYSTEM, "the back end closed the session");
                break;
            }
            if (rr == kalder_ipc::READ_ERROR) {
                failure = error(KALDER_ERROR_PROTOCOL, "the back-end session failed: %s", why.c_str());
                break;
            }
            // A frame. The session speaks the current version only: a frame of another
            // version is as malformed as any other.
            if (m.version != kalder_ipc::kVersion) {
                failure = error(KALDER_ERROR_PROTOCOL, "the back end sent a frame of protocol version %u",
                                m.version);
                break;
            }
            if (m.type == kalder_ipc::END_ACK) {
                if (closing)
                    break;
                failure = error(KALDER_ERROR_PROTOCOL, "unexpected end acknowledgement from the back end");
                break;
            }
            if (closing)
                continue;  // nothing is delivered once a close was asked for
            if (m.type == kalder_ipc::REPLY && m.id == 0) {
                if (opened || m.op != KALDER_GFS_OP_SESSION_START) {
                    failure = error(KALDER_ERROR_PROTOCOL, "unexpected session reply from the back end");
                    break;
                }
                ReplyHolder rh;
                fill_reply(m, &rh);
                {
                    kalder::MutexLock g(h->lock);
                    if (m.code == 0)
                        h->opened = true;
                    else
                        h->refused = true;
                }
                deliver(h, [&] { h->open_cb(h, KALDER_SUCCESS, &rh.info, h->open_arg); });
                continue;
            }
            if (m.type == kalder_ipc::REPLY) {
                Pending p{};
                bool found = false;
                {
                    kalder::MutexLock g(h->lock);
                    auto it = h->pending.find(m.id);
                    if (it != h->pending.end() && it->second.op == m.op) {
                        p = it->second;
                        h->pending.erase(it);
                        found = true;
                    }
                }
                if (!found) {
                    failure = error(KALDER_ERROR_PROTOCOL,
                                    "the back end replied to no request (id %u, type %u)", m.id, m.op);
                    break;
                }
                ReplyHolder rh;
                fill_reply(m, &rh);
                deliver(h, [&] { p.cb(h, KALDER_SUCCESS, &rh.info, p.arg); });
                continue;
            }
            if (m.type == kalder_ipc::EVENT_NOTIFY) {
                Pending p{};
                bool found = false;
                {
                    kalder::MutexLock g(h->lock);
                    auto it = h->pending.find(m.id);
                    if (it != h->pending.end() && it->second.event_cb) {
                        p = it->second;
                        found = true;
                    }
                }
                if (!found || (m.event_type != KALDER_GFS_EVENT_TRANSFER_BEGIN &&
                               m.event_type != KALDER_GFS_EVENT_TRANSFER_CONNECTED)) {
                    failure = error(KALDER_ERROR_PROTOCOL, "unexpected event %u from the back end (id %u)",
                                    m.event_type, m.id);
                    break;
                }
                kalder_gfs_event_info_t ev{};
                ev.type = static_cast<int>(m.event_type);
                ev.event_arg = reinterpret_cast<void *>(static_cast<uintptr_t>(m.event_arg));
                ev.id = static_cast<int>(m.id);
                ev.node_count = 1;
                ev.stripe_count = 1;
                deliver(h, [&] { p.event_cb(h, KALDER_SUCCESS, &ev, p.arg); });
                continue;
            }
            failure = error(KALDER_ERROR_PROTOCOL, "the back end sent a frame of type %u", m.type);
            break;
        }
    }

    bool was_open;
    {
        kalder::MutexLock g(h->lock);
        h->broken = true;
        h->pending.clear();
        was_open = h->opened || h->refused;
        if (h->fd)
            shutdown(h->fd.get(), SHUT_RDWR);
    }
    if (!was_open) {
        // The caller never saw this handle: report the failure and free it.
        if (failure == KALDER_SUCCESS)
            failure = error(KALDER_ERROR_SYSTEM, "the back-end session ended before it opened");
        h->open_cb(nullptr, failure, nullptr, h->open_arg);
        delete h;
        return;
    }
    bool refused;
    {
        kalder::MutexLock g(h->lock);
        refused = h->refused;
    }
    if (!refused && h->error_cb)
        deliver(h, [&] { h->error_cb(h, failure, h->error_arg); });
    kalder_gfs_ipc_close_callback_t close_cb;
    void *close_arg;
    {
        // The handle is the caller's until its close has returned.
        kalder::MutexLock g(h->lock);
        while (!h->close_returned) h->cv.wait(h->lock);
        close_cb = h->close_cb;
        close_arg = h->close_arg;
    }
    if (close_cb)
        close_cb(h, KALDER_SUCCESS, close_arg);
    delete h;
}

}  // namespace ipc_detail
