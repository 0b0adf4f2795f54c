// One IPC session of the back end: the session start (user string,
// delegated credential), then commands, stats, data channels and transfers.
// Transfers run on a thread of their own so the session keeps reading
// (events, the session end) while data flows.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kalder_gridftp_server.h"
#include "session.h"

namespace backend {

namespace detail {

bool Session::send_msg(const Message &m)
{
    std::string frame, why;
    // Every frame of a session is in the version of its session start.
    Message versioned;
    const Message *out = &m;
    if (m.version != version_) {
        versioned = m;
        versioned.version = version_;
        out = &versioned;
    }
    if (!kalder_ipc::encode(*out, &frame, &why)) {
        log("cannot encode a reply: %s", why.c_str());
        return false;
    }
    kalder::MutexLock g(write_lock_);
    if (!kalder_ipc::write_frame(fd_, frame, kWriteTimeoutMs, &why)) {
        log("cannot send to the client: %s", why.c_str());
        shutdown(fd_, SHUT_RDWR);  // the reader ends the session
        return false;
    }
    return true;
}

bool Session::reply_error(uint32_t id, uint32_t op, uint32_t code, const std::string &text)
{
    Message m;
    m.type = kalder_ipc::REPLY;
    m.id = id;
    m.op = op;
    m.code = code;
    m.error = text.substr(0, kalder_ipc::kMaxText);
    return send_msg(m);
}

bool Session::refuse(const std::string &why)
{
    log("session refused: %s", why.c_str());
    reply_error(0, KALDER_GFS_OP_SESSION_START, E_REFUSED, why);
    return false;
}

namespace {

// "KEY=VALUE;KEY=VALUE;" after the prefix.
bool parse_fields(const std::string &text, std::map<std::string, std::string> *fields)
{
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find(';', i);
        if (j == std::string::npos)
            return false;  // every field ends with ";"
        std::string f = text.substr(i, j - i);
        size_t eq = f.find('=');
        if (eq == std::string::npos || eq == 0)
            return false;
        if (!fields->emplace(f.substr(0, eq), f.substr(eq + 1)).second)
            return false;  // a repeated key is ambiguous
        i = j + 1;
    }
    return true;
}

}  // namespace

bool Session::start(const Message &m)
{
    static const std::string kMapped = ":kalder-mapped-collection:";
    static const std::string kGuest = ":kalder-sharing:";
    std::map<std::string, std::string> f;
    const std::string &u = m.username;
    if (u.compare(0, kMapped.size(), kMapped) == 0) {
        if (!parse_fields(u.substr(kMapped.size()), &f) || !f.count("ENDPOINT_ID") ||
            !f.count("IDENTITY_IDS") || !f.count("IDENTITY_NAMES") || !f.count("HIGH_ASSURANCE"))
            return refuse("Malformed session user string.");
        if (!g_options.allow.empty()) {
            std::string names;
            if (!percent_decode(f["IDENTITY_NAMES"], &names))
                return refuse("Malformed identity names in the session user string.");
            bool allowed = false;
            size_t i = 0;
            while (!allowed && i <= names.size()) {
                size_t j = names.find(',', i);
                if (j == std::string::npos)
                    j = names.size();
                allowed = g_options.allow.count(names.substr(i, j - i)) > 0;
                i = j + 1;
            }
            if (!allowed)
                return refuse("None of your identities is allowed to access this collection.");
        }
        root_ = g_options.root_fd;
    } else if (u.compare(0, kGuest.size(), kGuest) == 0) {
        if (!parse_fields(u.substr(kGuest.size()), &f) || !f.count("ID") || !f.count("SHAREE") ||
            !f.count("SHAREE_IDS") || !f.count("HIGH_ASSURANCE"))
            return refuse("Malformed session user string.");
        auto it = g_options.shares.find(f["ID"]);
        if (it == g_options.shares.end())
            return refuse("Unknown sharing id.");
        root_ = it->second;
        root_path_ = descriptor_path(root_);
        guest_ = true;
    } else {
        return refuse("Unsupported session user.");
    }

    gss_buffer_desc buf{m.credential.size(), const_cast<char *>(m.credential.data())};
    OM_uint32 minor = 0;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    if (m.credential.empty() || gss_import_cred(&minor, &cred, GSS_C_NO_OID, GSS_IMPEXP_OPAQUE_FORM, &buf, 0,
                                                nullptr) != GSS_S_COMPLETE)
        return refuse("The delegated credential is not usable.");
    cred_.reset(cred);
    kalder_xio_driver_t tcp = nullptr, gsi = nullptr;
    kalder_xio_stack_t stack = nullptr;
    bool loaded = kalder_xio_driver_load("tcp", &tcp) == KALDER_SUCCESS;
    tcp_.reset(tcp);
    loaded = loaded && kalder_xio_driver_load("gsi", &gsi) == KALDER_SUCCESS;
    gsi_.reset(gsi);
    loaded = loaded && kalder_xio_stack_init(&stack, nullptr) == KALDER_SUCCESS;
    xio_stack_.reset(stack);
    if (!loaded || kalder_xio_stack_push_driver(stack, tcp) != KALDER_SUCCESS ||
        kalder_xio_stack_push_driver(stack, gsi) != KALDER_SUCCESS)
        return refuse("The back end cannot set up its data channel drivers.");

    Message r;
    r.type = kalder_ipc::REPLY;
    r.id = 0;
    r.op = KALDER_GFS_OP_SESSION_START;
    r.username = guest_ ? f["SHAREE"] : std::string("mapped");
    r.home_dir = "/";
    return send_msg(r);
}

void Session::handle_command(const Message &m)
{
    auto fail = [&](uint32_t code, const std::string &text) {
        reply_error(m.id, KALDER_GFS_OP_COMMAND, code, text);
    };
    if (m.command == KALDER_GFS_CMD_SITE_RESTRICT) {
        if (restricted_)
            return fail(E_INVALID, "The path restrictions are already set.");
        std::vector<Restriction> rules;
        std::string why;
        if (!parse_restrictions(m.pathname, &rules, &why))
            return fail(E_INVALID, "Invalid path restrictions: " + why);
        rules_ = std::move(rules);
        restricted_ = true;
    } else if (m.command == KALDER_GFS_CMD_MKD || m.command == KALDER_GFS_CMD_DELE) {
        const bool check_same = m.precondition.kind == kalder_ipc::PRECONDITION_SAME;
        if (m.precondition.kind != kalder_ipc::PRECONDITION_NONE &&
            !(check_same && m.command == KALDER_GFS_CMD_DELE))
            return fail(E_INVALID, "Unsupported precondition for command " + std::to_string(m.command) + ".");
        std::vector<std::string> parts;
        std::string why;
        if (!split_path(m.pathname, &parts, &why))
            return fail(E_INVALID, m.pathname.substr(0, 256) + ": " + why);
        std::string path = join_path(parts);
        if (!permitted(m.pathname, parts, 'w', m.command == KALDER_GFS_CMD_MKD, &why))
            return fail(E_DENIED, why);
        if (parts.empty())
            return fail(E_INVALID, "/: The collection root cannot be created or deleted");
        std::string base = parts.back();
        parts.pop_back();
        kalder::UniqueFd dir(open_beneath(root_, parts, O_PATH | O_DIRECTORY));
        if (!dir)
            return fail(errno == ENOENT ? E_NOT_FOUND : E_FAILED, path + ": " + std::strerror(errno));
        parts.push_back(base);
        if (!permitted_at(dir.get(), base, m.pathname, parts, 'w', m.command == KALDER_GFS_CMD_MKD, &why))
            return fail(E_DENIED, why);
        int rc;
        if (m.command == KALDER_GFS_CMD_MKD) {
            rc = mkdirat(dir.get(), base.c_str(), 0777);
        } else {
            // The precondition is checked as late as possible: right before
            // the unlink, on the name itself (a final link is what goes).
            struct stat st;
            if (check_same && (fstatat(dir.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                               !same_file(m.precondition, st)))
                return fail(E_PRECONDITION, path + ": changed since it was looked up");
            rc = unlinkat(dir.get(), base.c_str(), 0);
            if (rc != 0 && errno == EISDIR)
                rc = unlinkat(dir.get(), base.c_str(), AT_REMOVEDIR);
        }
        int saved = errno;
        dir.reset();
        if (rc != 0)
            return fail(saved == ENOENT ? E_NOT_FOUND : E_FAILED, path + ": " + std::strerror(saved));
        log("%s %s", m.command == KALDER_GFS_CMD_MKD ? "made directory" : "deleted", path.c_str());
    } else {
        return fail(E_INVALID, "Unsupported command " + std::to_string(m.command) + ".");
    }
    Message r;
    r.type = kalder_ipc::REPLY;
    r.id = m.id;
    r.op = KALDER_GFS_OP_COMMAND;
    r.command = m.command;
    send_msg(r);
}

void Session::handle_stat(const Message &m)
{
    std::vector<std::string> parts;
    std::string why;
    if (!split_path(m.pathname, &parts, &why))
        return (void)reply_error(m.id, KALDER_GFS_OP_STAT, E_INVALID, m.pathname.substr(0, 256) + ": " + why);
    std::string path = join_path(parts);
    if (!permitted(m.pathname, parts, 'r', true, &why))
        return (void)reply_error(m.id, KALDER_GFS_OP_STAT, E_DENIED, why);
    kalder::UniqueFd fd(open_beneath(root_, parts, O_PATH));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) {
        int saved = errno;
        fd.reset();
        return (void)reply_error(m.id, KALDER_GFS_OP_STAT, saved == ENOENT ? E_NOT_FOUND : E_FAILED,
                                 path + ": " + std::strerror(saved));
    }
    const bool allowed = permitted_at(fd.get(), "", m.pathname, parts, 'r', true, &why);
    fd.reset();
    if (!allowed)
        return (void)reply_error(m.id, KALDER_GFS_OP_STAT, E_DENIED, why);
    if (special_file(st.st_mode))
        return (void)reply_error(m.id, KALDER_GFS_OP_STAT, E_NOT_FOUND, path + ": " + std::strerror(ENOENT));
    Message r;
    r.type = kalder_ipc::REPLY;
    r.id = m.id;
    r.op = KALDER_GFS_OP_STAT;
    r.stats.push_back(stat_entry(st, parts.empty() ? "/" : parts.back()));
    send_msg(r);
}

void Session::handle_active(const Message &m)
{
    auto fail = [&](const std::string &text) { reply_error(m.id, KALDER_GFS_OP_ACTIVE, E_INVALID, text); };
    if (m.mode != 'S' && m.mode != 'E')
        return fail("Unsupported transfer mode.");
    if (m.dtype != 'I' || m.nstreams != 1 || m.prot != 'P' || m.dcau != 'A' || m.contacts.size() != 1)
        return fail("Unsupported data channel parameters.");
    if (m.blocksize == 0 || m.blocksize > 16 * kMaxBlock)
        return fail("Unsupported block size.");
    if (channels_.size() >= kMaxDataChannels)
        return fail("Too many data channels in this session.");
    uint32_t id = next_channel_++;
    channels_[id] = DataChannel{m.contacts[0], static_cast<char>(m.mode), m.blocksize};
    Message r;
    r.type = kalder_ipc::REPLY;
    r.id = m.id;
    r.op = KALDER_GFS_OP_ACTIVE;
    r.data_id = id;
    send_msg(r);
}

void Session::handle_event(const Message &m)
{
    if (m.event_type == KALDER_GFS_EVENT_TRANSFER_ABORT) {
        kalder::MutexLock g(transfer_lock_);
        if (transfer_active_ && current_transfer_ == m.event_arg) {
            abort_ = true;
            if (data_handle_)
                kalder_xio_handle_cancel(data_handle_);
        }
    }
    // TRANSFER_COMPLETE needs no action: each data channel is used once.
}

void Session::run()
{
    Message m;
    std::string why;
    kalder_ipc::ReadResult rr = kalder_ipc::read_frame(fd_, -1, kFrameTimeoutMs, kFrameTimeoutMs, &m, &why);
    if (rr != kalder_ipc::READ_FRAME) {
        log("session ended before it started: %s", why.empty() ? "no session start" : why.c_str());
        return;
    }
    version_ = m.version;  // the session is answered in the version it started with
    if (m.type != kalder_ipc::SESSION_START || m.id != 0) {
        refuse("The session must begin with a session start.");
        return;
    }
    if (!start(m))
        return;

    int idle_ms = 0;
    for (;;) {
        why.clear();
        rr = kalder_ipc::read_frame(fd_, -1, 1000, kFrameTimeoutMs, &m, &why);
        if (g_stopping)
            break;
        if (rr == kalder_ipc::READ_IDLE) {
            idle_ms = transfer_running() ? 0 : idle_ms + 1000;
            if (idle_ms >= g_options.idle_timeout_s * 1000) {
                log("session idle for %d seconds: closing it", g_options.idle_timeout_s);
                break;
            }
            continue;
        }
        idle_ms = 0;
        if (rr == kalder_ipc::READ_EOF)
            break;
        if (rr == kalder_ipc::READ_ERROR) {
            log("session ended: %s", why.c_str());
            break;
        }
        if (m.version != version_) {
            log("session ended: a frame of protocol version %u in a version %u session", m.version, version_);
            break;
        }
        switch (m.type) {
            case kalder_ipc::COMMAND:
                handle_command(m);
                break;
            case kalder_ipc::STAT:
                handle_stat(m);
                break;
            case kalder_ipc::ACTIVE_DATA:
                handle_active(m);
                break;
            case kalder_ipc::SEND:
            case kalder_ipc::RECV:
                handle_transfer(m);
                break;
            case kalder_ipc::EVENT:
                handle_event(m);
                break;
            case kalder_ipc::DIGEST:
                handle_digest(m);
                break;
            case kalder_ipc::LIST:
                handle_list(m);
                break;
            case kalder_ipc::SESSION_END: {
                stop_transfer();
                Message ack;
                ack.type = kalder_ipc::END_ACK;
                send_msg(ack);
                return;
            }
            default:
                log("session ended: the client sent a frame of type %u", m.type);
                return;
        }
    }
}

}  // namespace detail

void serve_session(int fd)
{
    detail::Session s(fd);
    s.run();
}

}  // namespace backend
