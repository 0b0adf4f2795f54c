// The IPC client's calls: opening a session, the requests on it, and
// closing it. Each request is encoded and written under the session lock;
// its reply comes through the reader thread (ipc_session.cpp).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "ipc_internal.h"

namespace {

// A closed session's thread may still wait for the back end's
// acknowledgement (at most kCloseWaitMs): the process must not go away
// under it.
int deactivate()
{
    return ipc_detail::wait_for_readers(ipc_detail::kCloseWaitMs + 1000) ? 0 : 1;
}

}  // namespace

kalder_module_descriptor_t kalder_i_gfs_module_desc = {"kalder_gridftp_server", nullptr, deactivate, 0};

using namespace ipc_detail;

namespace {

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

// The wire form of a validator; false for a kind the protocol does not know
// or a SAME record that no file can have.
bool to_wire(const kalder_gfs_validator_t &v, kalder_ipc::Validator *out)
{
    if (v.kind == KALDER_GFS_PRECONDITION_NONE) {
        *out = kalder_ipc::Validator();
        return true;
    }
    if (v.kind != KALDER_GFS_PRECONDITION_SAME && v.kind != KALDER_GFS_PRECONDITION_ABSENT)
        return false;
    if (v.kind == KALDER_GFS_PRECONDITION_SAME &&
        (v.size < 0 || v.mtime_nsec < 0 || v.mtime_nsec > 999999999))
        return false;
    out->kind = static_cast<uint8_t>(v.kind);
    out->dev = v.dev;
    out->ino = v.ino;
    out->size = v.size;
    out->mtime = v.mtime;
    out->mtime_nsec = static_cast<uint32_t>(v.mtime_nsec);
    return true;
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
    reader_started();
    try {
        std::thread(reader_main, h).detach();
    } catch (const std::system_error &e) {
        reader_ended();
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
    if (!to_wire(cmd_info->precondition, &m.precondition))
        return error(KALDER_ERROR_PARAMETER, "command request: invalid precondition");
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
    m.checksum_alg = ti->expected_checksum_alg ? ti->expected_checksum_alg : "";
    m.checksum = ti->expected_checksum ? ti->expected_checksum : "";
    if (!to_wire(ti->precondition, &m.precondition))
        return error(KALDER_ERROR_PARAMETER, "transfer request: invalid precondition");
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

kalder_result_t kalder_gfs_ipc_request_digest(kalder_gfs_ipc_handle_t ipc_handle, const char *pathname,
                                              const char *algorithm, kalder_gfs_ipc_callback_t cb,
                                              void *user_arg)
{
    if (!valid_handle(ipc_handle) || !pathname || !algorithm || !cb)
        return error(KALDER_ERROR_PARAMETER, "digest request: missing argument");
    kalder_ipc::Message m;
    m.type = kalder_ipc::DIGEST;
    m.checksum_alg = algorithm;
    m.pathname = pathname;
    return submit(ipc_handle, m, KALDER_GFS_OP_DIGEST, cb, nullptr, user_arg);
}

kalder_result_t kalder_gfs_ipc_request_list(kalder_gfs_ipc_handle_t ipc_handle, const char *pathname,
                                            const char *after, int limit, kalder_gfs_ipc_callback_t cb,
                                            void *user_arg)
{
    if (!valid_handle(ipc_handle) || !pathname || !cb)
        return error(KALDER_ERROR_PARAMETER, "list request: missing argument");
    // The back end refuses a limit outside 1..1000 with a reply; a negative
    // one cannot even be sent.
    if (limit < 0)
        return error(KALDER_ERROR_PARAMETER, "list request: negative limit %d", limit);
    kalder_ipc::Message m;
    m.type = kalder_ipc::LIST;
    m.pathname = pathname;
    m.after = after ? after : "";
    m.limit = static_cast<uint32_t>(limit);
    return submit(ipc_handle, m, KALDER_GFS_OP_LIST, cb, nullptr, user_arg);
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
    // A callback that is running finishes first (unless this is one), so
    // that the caller may free what its callbacks use once this returns.
    if (h->reader != std::this_thread::get_id())
        while (h->in_callback) h->cv.wait(h->lock);
    h->close_returned = true;
    h->cv.notify_all();
    return KALDER_SUCCESS;
}
