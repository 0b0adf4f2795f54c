// The IPC client: one connection (Unix-domain socket or TCP) and one reader
// thread per session.
// The reader thread connects, sends the session start, and then delivers
// every reply and event to the caller's callbacks; request calls only
// encode and write a frame under the session lock, so no callback ever
// runs on the caller's thread inside a request call.
#include "kalder_gridftp_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "kalder_ipc_wire.h"
#include "kalder_net.h"
#include "kalder_thread_safety.h"

kalder_module_descriptor_t kalder_i_gfs_module_desc = {"kalder_gridftp_server", nullptr, nullptr, 0};

namespace {

constexpr const char *kModule = "kalder_gridftp_server";
constexpr int kFrameTimeoutMs = 30000;  // the rest of a frame once its first byte is in
constexpr int kWriteTimeoutMs = 30000;
constexpr int kCloseWaitMs = 5000;   // how long a close waits for the back end's acknowledgement
constexpr int kOpenReplyMs = 60000;  // the session reply, when no connect timeout is set

kalder_result_t error(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
kalder_result_t error(int type, const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return kalder_error_put(kModule, type, "%s", buf);
}

struct Pending {
    uint32_t op;  // the reply type expected
    kalder_gfs_ipc_callback_t cb;
    kalder_gfs_ipc_event_callback_t event_cb;  // transfers only
    void *arg;
};

}  // namespace

struct kalder_gfs_ipc_handle_s {
    // Set before the reader starts; read-only afterwards.
    std::string host_id;
    std::string start_frame;
    kalder_gfs_ipc_open_callback_t open_cb = nullptr;
    void *open_arg = nullptr;
    kalder_gfs_ipc_error_callback_t error_cb = nullptr;
    void *error_arg = nullptr;
    int connect_timeout_s = 0;
    int idle_timeout_s = 0;
    kalder::UniqueFd wake_read;   // the reader polls it
    kalder::UniqueFd wake_write;  // a close writes to it

    kalder::Mutex lock;  // serialises writes to fd as well
    std::condition_variable_any cv;
    kalder::UniqueFd fd KALDER_GUARDED_BY(lock);
    bool opened KALDER_GUARDED_BY(lock) = false;   // the session start was answered with success
    bool refused KALDER_GUARDED_BY(lock) = false;  // the session start was answered with a refusal
    bool broken KALDER_GUARDED_BY(lock) = false;
    bool closing KALDER_GUARDED_BY(lock) = false;
    kalder_gfs_ipc_close_callback_t close_cb KALDER_GUARDED_BY(lock) = nullptr;
    void *close_arg KALDER_GUARDED_BY(lock) = nullptr;
    uint32_t next_id KALDER_GUARDED_BY(lock) = 1;
    std::map<uint32_t, Pending> pending KALDER_GUARDED_BY(lock);
};

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
            h->names.reserve(m.stats.size());
            for (const auto &e : m.stats) {
                h->names.push_back(e.name);
                kalder_gfs_stat_t s{};
                s.mode = static_cast<int>(e.mode);
                s.nlink = static_cast<int>(e.nlink);
                s.uid = static_cast<int>(e.uid);
                s.gid = static_cast<int>(e.gid);
                s.size = e.size;
                s.atime = static_cast<long>(e.atime);
                s.mtime = static_cast<long>(e.mtime);
                s.ctime = static_cast<long>(e.ctime);
                h->stats.push_back(s);
            }
            for (size_t i = 0; i < h->stats.size(); ++i)
                h->stats[i].name = const_cast<char *>(h->names[i].c_str());
            r.info.stat.stat_count = static_cast<int>(h->stats.size());
            r.info.stat.stat_array = h->stats.empty() ? nullptr : h->stats.data();
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
        "--allow-uid names (its log tells which uid it refused)",
        contact.substr(0, 120).c_str());
}

void reader_main(kalder_gfs_ipc_handle_s *h)
{
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
            // A frame.
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
                h->open_cb(h, KALDER_SUCCESS, &rh.info, h->open_arg);
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
                p.cb(h, KALDER_SUCCESS, &rh.info, p.arg);
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
                p.event_cb(h, KALDER_SUCCESS, &ev, p.arg);
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
    bool closing;
    bool refused;
    {
        kalder::MutexLock g(h->lock);
        closing = h->closing;
        refused = h->refused;
    }
    if (!closing && !refused && h->error_cb)
        h->error_cb(h, failure, h->error_arg);
    kalder_gfs_ipc_close_callback_t close_cb;
    void *close_arg;
    {
        kalder::MutexLock g(h->lock);
        while (!h->closing) h->cv.wait(h->lock);
        close_cb = h->close_cb;
        close_arg = h->close_arg;
    }
    if (close_cb)
        close_cb(h, KALDER_SUCCESS, close_arg);
    delete h;
}

// Encode and send one request; registers it as pending first so a fast
// reply finds it. Called with no lock held.
kalder_result_t submit(kalder_gfs_ipc_handle_s *h, kalder_ipc::Message &m, uint32_t op,
                       kalder_gfs_ipc_callback_t cb, kalder_gfs_ipc_event_callback_t event_cb, void *arg)
{
    kalder::MutexLock g(h->lock);
    if (h->closing)
        return error(KALDER_ERROR_CANCELED, "the back-end session is being closed");
    if (h->broken || !h->fd)
        return error(KALDER_ERROR_SYSTEM, "the back-end session has failed");
    if (!h->opened)
        return error(KALDER_ERROR_PARAMETER, "the back-end session is not open");
    uint32_t id = h->next_id;
    h->next_id = h->next_id == 0x7fffffffu ? 1 : h->next_id + 1;
    m.id = id;
    std::string frame, why;
    if (!kalder_ipc::encode(m, &frame, &why))
        return error(KALDER_ERROR_PARAMETER, "cannot encode the request: %s", why.c_str());
    if (cb)
        h->pending[id] = Pending{op, cb, event_cb, arg};
    if (!kalder_ipc::write_frame(h->fd.get(), frame, kWriteTimeoutMs, &why)) {
        h->pending.erase(id);
        h->broken = true;
        shutdown(h->fd.get(), SHUT_RDWR);  // the reader notices and reports the break
        return error(KALDER_ERROR_SYSTEM, "cannot send the request: %s", why.c_str());
    }
    return KALDER_SUCCESS;
}

bool valid_handle(kalder_gfs_ipc_handle_t h)
{
    return h != nullptr;
}

}  // namespace

kalder_result_t kalder_gfs_ipc_init(int)
{
    return KALDER_SUCCESS;
}

kalder_result_t kalder_gfs_ipc_handle_connect_ex(kalder_gfs_session_info_t *session_info,
                                                 kalder_gfs_ipc_open_callback_t open_cb, void *open_arg,
                                                 kalder_gfs_ipc_error_callback_t error_cb, void *error_arg,
                                                 kalder_bool_t secure_ipc, gss_cred_id_t cred,
                                                 const char *auth_mode, const char *subject,
                                                 int connect_timeout, int idle_timeout, kalder_bool_t inetd)
{
    if (!session_info || !open_cb)
        return error(KALDER_ERROR_PARAMETER, "session open: no session information or open callback");
    if (secure_ipc || cred != GSS_C_NO_CREDENTIAL || auth_mode || subject || inetd)
        return error(KALDER_ERROR_PARAMETER,
                     "session open: secure IPC, IPC credentials and inetd are not supported");
    if (!session_info->host_id || !*session_info->host_id)
        return error(KALDER_ERROR_PARAMETER, "session open: no back-end contact");
    if (!session_info->username)
        return error(KALDER_ERROR_PARAMETER, "session open: no user name");
    if (session_info->del_cred == GSS_C_NO_CREDENTIAL)
        return error(KALDER_ERROR_PARAMETER, "session open: no delegated credential");

    OM_uint32 minor = 0;
    gss_buffer_desc buf{0, nullptr};
    if (gss_export_cred(&minor, session_info->del_cred, GSS_C_NO_OID, GSS_IMPEXP_OPAQUE_FORM, &buf) !=
        GSS_S_COMPLETE)
        return minor ? static_cast<kalder_result_t>(minor)
                     : error(KALDER_ERROR_AUTH, "session open: cannot export the delegated credential");
    kalder_ipc::Message m;
    m.type = kalder_ipc::SESSION_START;
    m.id = 0;
    m.username = session_info->username;
    m.subject = session_info->subject ? session_info->subject : "";
    m.host_id = session_info->host_id;
    m.map_user = session_info->map_user ? 1 : 0;
    m.credential.assign(static_cast<const char *>(buf.value), buf.length);
    gss_release_buffer(&minor, &buf);

    auto *h = new (std::nothrow) kalder_gfs_ipc_handle_s;
    if (!h)
        return error(KALDER_ERROR_MEMORY, "session open: out of memory");
    std::string why;
    if (!kalder_ipc::encode(m, &h->start_frame, &why)) {
        delete h;
        return error(KALDER_ERROR_PARAMETER, "session open: %s", why.c_str());
    }
    h->host_id = session_info->host_id;
    h->open_cb = open_cb;
    h->open_arg = open_arg;
    h->error_cb = error_cb;
    h->error_arg = error_arg;
    h->connect_timeout_s = connect_timeout > 0 ? connect_timeout : 0;
    h->idle_timeout_s = idle_timeout > 0 ? idle_timeout : 0;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        int saved = errno;
        delete h;
        return error(KALDER_ERROR_SYSTEM, "session open: pipe2 failed: %s", std::strerror(saved));
    }
    h->wake_read.reset(wake[0]);
    h->wake_write.reset(wake[1]);
    try {
        std::thread(reader_main, h).detach();
    } catch (const std::system_error &e) {
        delete h;
        return error(KALDER_ERROR_SYSTEM, "session open: cannot start the session thread: %s", e.what());
    }
    return KALDER_SUCCESS;
}

kalder_result_t kalder_gfs_ipc_request_command(kalder_gfs_ipc_handle_t ipc_handle,
                                               kalder_gfs_command_info_t *cmd_info,
                                               kalder_gfs_ipc_callback_t cb, void *user_arg)
{
    if (!valid_handle(ipc_handle) || !cmd_info || !cb || !cmd_info->pathname)
        return error(KALDER_ERROR_PARAMETER, "command request: missing argument");
    kalder_ipc::Message m;
    m.type = kalder_ipc::COMMAND;
    m.command = static_cast<uint32_t>(cmd_info->command);
    m.pathname = cmd_info->pathname;
    return submit(ipc_handle, m, KALDER_GFS_OP_COMMAND, cb, nullptr, user_arg);
}

kalder_result_t kalder_gfs_ipc_request_stat(kalder_gfs_ipc_handle_t ipc_handle,
                                            kalder_gfs_stat_info_t *stat_info, kalder_gfs_ipc_callback_t cb,
                                            void *user_arg)
{
    if (!valid_handle(ipc_handle) || !stat_info || !cb || !stat_info->pathname)
        return error(KALDER_ERROR_PARAMETER, "stat request: missing argument");
    kalder_ipc::Message m;
    m.type = kalder_ipc::STAT;
    m.file_only = stat_info->file_only ? 1 : 0;
    m.pathname = stat_info->pathname;
    return submit(ipc_handle, m, KALDER_GFS_OP_STAT, cb, nullptr, user_arg);
}

kalder_result_t kalder_gfs_ipc_request_active_data(kalder_gfs_ipc_handle_t ipc_handle,
                                                   kalder_gfs_data_info_t *data_info,
                                                   kalder_gfs_ipc_callback_t cb, void *user_arg)
{
    if (!valid_handle(ipc_handle) || !data_info || !cb)
        return error(KALDER_ERROR_PARAMETER, "data-channel request: missing argument");
    if (data_info->cs_count < 1 || data_info->cs_count > static_cast<int>(kalder_ipc::kMaxContacts) ||
        !data_info->contact_strings)
        return error(KALDER_ERROR_PARAMETER, "data-channel request: contact count %d out of bounds",
                     data_info->cs_count);
    kalder_ipc::Message m;
    m.type = kalder_ipc::ACTIVE_DATA;
    m.ipv6 = data_info->ipv6 ? 1 : 0;
    m.nstreams = data_info->nstreams < 0 ? 0 : static_cast<uint32_t>(data_info->nstreams);
    m.mode = static_cast<uint8_t>(data_info->mode);
    m.dtype = static_cast<uint8_t>(data_info->type);
    m.prot = static_cast<uint8_t>(data_info->prot);
    m.dcau = static_cast<uint8_t>(data_info->dcau);
    m.tcp_bufsize = data_info->tcp_bufsize;
    m.blocksize = data_info->blocksize;
    m.pathname = data_info->pathname ? data_info->pathname : "";
    for (int i = 0; i < data_info->cs_count; ++i) {
        if (!data_info->contact_strings[i])
            return error(KALDER_ERROR_PARAMETER, "data-channel request: contact %d missing", i);
        m.contacts.emplace_back(data_info->contact_strings[i]);
    }
    return submit(ipc_handle, m, KALDER_GFS_OP_ACTIVE, cb, nullptr, user_arg);
}

namespace {
kalder_result_t request_transfer(kalder_gfs_ipc_handle_t ipc_handle, kalder_gfs_transfer_info_t *ti,
                                 kalder_gfs_ipc_callback_t cb, kalder_gfs_ipc_event_callback_t event_cb,
                                 void *user_arg, uint8_t type)
{
    if (!valid_handle(ipc_handle) || !ti || !cb || !event_cb || !ti->pathname)
        return error(KALDER_ERROR_PARAMETER, "transfer request: missing argument");
    uintptr_t data_id = reinterpret_cast<uintptr_t>(ti->data_arg);
    if (data_id == 0 || data_id > 0xffffffffu)
        return error(KALDER_ERROR_PARAMETER, "transfer request: no valid data-channel identifier");
    kalder_ipc::Message m;
    m.type = type;
    m.pathname = ti->pathname;
    m.partial_offset = ti->partial_offset;
    m.partial_length = ti->partial_length;
    m.truncate = ti->truncate ? 1 : 0;
    m.data_id = static_cast<uint32_t>(data_id);
    m.eof_count = ti->eof_count < 0 ? 0 : static_cast<uint32_t>(ti->eof_count);
    m.alloc_size = ti->alloc_size;
    int n = kalder_range_list_size(ti->range_list);
    if (n > static_cast<int>(kalder_ipc::kMaxRanges))
        return error(KALDER_ERROR_PARAMETER, "transfer request: %d ranges exceed the bound", n);
    for (int i = 0; i < n; ++i) {
        kalder_ipc::Range r;
        kalder_range_list_at(ti->range_list, i, &r.offset, &r.length);
        m.ranges.push_back(r);
    }
    return submit(ipc_handle, m, KALDER_GFS_OP_TRANSFER, cb, event_cb, user_arg);
}
}  // namespace

kalder_result_t kalder_gfs_ipc_request_send(kalder_gfs_ipc_handle_t ipc_handle,
                                            kalder_gfs_transfer_info_t *transfer_info,
                                            kalder_gfs_ipc_callback_t cb,
                                            kalder_gfs_ipc_event_callback_t event_cb, void *user_arg)
{
    return request_transfer(ipc_handle, transfer_info, cb, event_cb, user_arg, kalder_ipc::SEND);
}

kalder_result_t kalder_gfs_ipc_request_recv(kalder_gfs_ipc_handle_t ipc_handle,
                                            kalder_gfs_transfer_info_t *transfer_info,
                                            kalder_gfs_ipc_callback_t cb,
                                            kalder_gfs_ipc_event_callback_t event_cb, void *user_arg)
{
    return request_transfer(ipc_handle, transfer_info, cb, event_cb, user_arg, kalder_ipc::RECV);
}

kalder_result_t kalder_gfs_ipc_request_transfer_event(kalder_gfs_ipc_handle_t ipc_handle,
                                                      kalder_gfs_event_info_t *event_info)
{
    if (!valid_handle(ipc_handle) || !event_info)
        return error(KALDER_ERROR_PARAMETER, "transfer event: missing argument");
    if (event_info->type != KALDER_GFS_EVENT_TRANSFER_COMPLETE &&
        event_info->type != KALDER_GFS_EVENT_TRANSFER_ABORT)
        return error(KALDER_ERROR_PARAMETER, "transfer event: type %d cannot be sent", event_info->type);
    uintptr_t arg = reinterpret_cast<uintptr_t>(event_info->event_arg);
    if (arg > 0xffffffffu)
        return error(KALDER_ERROR_PARAMETER, "transfer event: event argument out of range");
    kalder_ipc::Message m;
    m.type = kalder_ipc::EVENT;
    m.event_type = static_cast<uint32_t>(event_info->type);
    m.event_arg = static_cast<uint32_t>(arg);
    return submit(ipc_handle, m, 0, nullptr, nullptr, nullptr);
}

kalder_result_t kalder_gfs_ipc_close(kalder_gfs_ipc_handle_t ipc_handle,
                                     kalder_gfs_ipc_close_callback_t close_cb, void *user_arg)
{
    if (!valid_handle(ipc_handle))
        return error(KALDER_ERROR_PARAMETER, "close: no handle");
    kalder_gfs_ipc_handle_s *h = ipc_handle;
    kalder::MutexLock g(h->lock);
    if (h->closing)
        return error(KALDER_ERROR_PARAMETER, "close: the session is already being closed");
    h->closing = true;
    h->close_cb = close_cb;
    h->close_arg = user_arg;
    h->pending.clear();
    if (!h->broken && h->fd) {
        kalder_ipc::Message m;
        m.type = kalder_ipc::SESSION_END;
        std::string frame, why;
        if (!kalder_ipc::encode(m, &frame, &why) ||
            !kalder_ipc::write_frame(h->fd.get(), frame, kWriteTimeoutMs, &why))
            shutdown(h->fd.get(), SHUT_RDWR);
    }
    char one = 1;
    (void)!write(h->wake_write.get(), &one, 1);
    h->cv.notify_all();
    return KALDER_SUCCESS;
}
