// One IPC session of the back end: the session start (user string,
// delegated credential), then commands, stats, data channels and transfers.
// Transfers run on a thread of their own so the session keeps reading
// (events, the session end) while data flows.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>

#include "backend.h"
#include "kalder_eblock.h"
#include "kalder_gridftp_server.h"
#include "kalder_ipc_wire.h"
#include "kalder_net.h"
#include "kalder_owners.h"
#include "kalder_thread_safety.h"
#include "kalder_xio.h"

namespace backend {

namespace {

using kalder_ipc::Message;

constexpr int kFrameTimeoutMs = 30000;
constexpr int kWriteTimeoutMs = 30000;
constexpr size_t kMaxDataChannels = 16;
constexpr uint64_t kMaxBlock = 1 << 20;  // extended-block data per block
constexpr size_t kIoChunk = 1 << 20;
constexpr int64_t kWritebackStep = 8 << 20;  // uploads: write-back started per step

// Codes of failed replies (informative; the text is what clients see).
enum Code : uint32_t { OK = 0, E_REFUSED = 1, E_NOT_FOUND = 2, E_DENIED = 3, E_INVALID = 4, E_FAILED = 5 };

struct DataChannel {
    std::string contact;
    char mode;
    uint64_t blocksize;
};

struct Transfer {
    bool send = true;
    uint32_t request_id = 0;
    uint32_t transfer_id = 0;
    DataChannel dc;
    std::string path;          // normalised, for messages
    kalder::UniqueFd file_fd;  // send: the file; receive: the temporary file
    kalder::UniqueFd dir_fd;   // receive: the parent directory
    std::string base, temp;    // receive: target and temporary names
    int64_t alloc_size = 0;
    std::vector<kalder_ipc::Range> ranges;
};

class Session {
   public:
    explicit Session(int fd) : fd_(fd) {}
    ~Session() { stop_transfer(); }
    void run();

   private:
    bool send_msg(const Message &m);
    bool reply_error(uint32_t id, uint32_t op, uint32_t code, const std::string &text);
    bool start(const Message &m);
    bool refuse(const std::string &why);
    void handle_command(const Message &m);
    void handle_stat(const Message &m);
    void handle_active(const Message &m);
    void handle_transfer(const Message &m);
    void handle_event(const Message &m);
    bool permitted_at(int fd, const std::string &leaf, const std::string &request_path,
                      const std::vector<std::string> &parts, char perm, bool names_directory,
                      std::string *why);
    bool permitted(const std::string &request_path, const std::vector<std::string> &parts, char perm,
                   bool names_directory, std::string *why);
    void run_transfer(std::shared_ptr<Transfer> t);
    std::string transfer_body(Transfer &t, kalder_xio_handle_t h, int64_t *bytes);
    void stop_transfer() KALDER_EXCLUDES(transfer_lock_);
    bool transfer_running() KALDER_EXCLUDES(transfer_lock_);
    bool aborted() KALDER_EXCLUDES(transfer_lock_);

    int fd_;
    kalder::Mutex write_lock_;  // serialises frames written to fd_
    int root_ = -1;             // borrowed from the options
    std::string root_path_;     // the root's resolved path (guest sessions)
    bool guest_ = false;
    bool restricted_ = false;
    std::vector<Restriction> rules_;
    kalder::Cred cred_;
    std::map<uint32_t, DataChannel> channels_;
    uint32_t next_channel_ = 1;
    uint32_t next_transfer_ = 1;
    kalder::XioDriver tcp_, gsi_;
    kalder::XioStack xio_stack_;  // destroyed before the drivers on it

    std::thread transfer_thread_;  // started and joined by the session's thread
    kalder::Mutex transfer_lock_;
    bool transfer_active_ KALDER_GUARDED_BY(transfer_lock_) = false;
    uint32_t current_transfer_ KALDER_GUARDED_BY(transfer_lock_) = 0;
    kalder_xio_handle_t data_handle_ KALDER_GUARDED_BY(transfer_lock_) = nullptr;  // owned by the transfer
    bool abort_ KALDER_GUARDED_BY(transfer_lock_) = false;
};

bool Session::send_msg(const Message &m)
{
    std::string frame, why;
    if (!kalder_ipc::encode(m, &frame, &why)) {
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

// A guest session does what its site restrictions allow on the request path.
// The module's directory walk ("prepare") stats and makes each parent as
// "/a", while rules name a directory's contents "/a/": for a stat or a make
// directory (`names_directory`) the name with a trailing "/" counts as well.
bool Session::permitted(const std::string &request_path, const std::vector<std::string> &parts, char perm,
                        bool names_directory, std::string *why)
{
    if (!guest_)
        return true;
    std::string path = restriction_path(request_path, parts);
    if (restricted_ &&
        (restriction_allows(rules_, path, perm) ||
         (names_directory && path.back() != '/' && restriction_allows(rules_, path + "/", perm))))
        return true;
    *why = join_path(parts) + ": Permission denied";
    return false;
}

// The same decision for where an open descriptor really is (plus `leaf`,
// a name inside it, when it is the parent of the request's object): a link
// inside a share may lead to a part of it that the guest may not reach. The
// refusal names the request's path, not where the link led.
bool Session::permitted_at(int fd, const std::string &leaf, const std::string &request_path,
                           const std::vector<std::string> &parts, char perm, bool names_directory,
                           std::string *why)
{
    if (!guest_)
        return true;
    std::vector<std::string> real;
    std::string ignored;
    if (resolved_parts(fd, root_path_, &real)) {
        if (!leaf.empty())
            real.push_back(leaf);
        std::string as_requested = join_path(real);
        if (!real.empty() && request_path.back() == '/')
            as_requested += '/';
        if (permitted(as_requested, real, perm, names_directory, &ignored))
            return true;
    }
    *why = join_path(parts) + ": Permission denied";
    return false;
}

namespace {

// FIFOs, sockets and devices are not files of the collection: reading one
// could block a session forever, writing one would reach whatever is behind it.
bool special_file(mode_t mode)
{
    return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode);
}

}  // namespace

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
    kalder_ipc::StatEntry e;
    e.mode = st.st_mode;
    e.nlink = static_cast<uint32_t>(st.st_nlink);
    e.uid = st.st_uid;
    e.gid = st.st_gid;
    e.size = st.st_size;
    e.atime = st.st_atime;
    e.mtime = st.st_mtime;
    e.ctime = st.st_ctime;
    e.name = parts.empty() ? "/" : parts.back();
    Message r;
    r.type = kalder_ipc::REPLY;
    r.id = m.id;
    r.op = KALDER_GFS_OP_STAT;
    r.stats.push_back(e);
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

bool Session::aborted()
{
    kalder::MutexLock g(transfer_lock_);
    return abort_;
}

bool Session::transfer_running()
{
    kalder::MutexLock g(transfer_lock_);
    return transfer_active_;
}

void Session::handle_transfer(const Message &m)
{
    bool send = m.type == kalder_ipc::SEND;
    auto fail = [&](uint32_t code, const std::string &text) {
        reply_error(m.id, KALDER_GFS_OP_TRANSFER, code, text);
    };
    auto t = std::make_shared<Transfer>();
    t->send = send;
    t->request_id = m.id;
    auto ch = channels_.find(m.data_id);
    if (ch == channels_.end())
        return fail(E_INVALID, "Unknown data channel.");
    t->dc = ch->second;
    channels_.erase(ch);  // one transfer per data channel
    if (m.partial_offset != 0 || m.partial_length != -1)
        return fail(E_INVALID, "Partial transfers are not supported.");
    std::vector<std::string> parts;
    std::string why;
    if (!split_path(m.pathname, &parts, &why))
        return fail(E_INVALID, m.pathname.substr(0, 256) + ": " + why);
    t->path = join_path(parts);
    if (!permitted(m.pathname, parts, send ? 'r' : 'w', false, &why))
        return fail(E_DENIED, why);
    if (parts.empty())
        return fail(E_INVALID, "/: Is a directory");
    {
        kalder::MutexLock g(transfer_lock_);
        if (transfer_active_)
            return fail(E_INVALID, "Another transfer is in progress in this session.");
    }
    if (transfer_thread_.joinable())
        transfer_thread_.join();

    if (send) {
        for (const auto &r : m.ranges) {
            if (r.offset < 0 || r.length < -1 || r.length == 0 ||
                (r.length > 0 && r.length > INT64_MAX - r.offset))
                return fail(E_INVALID, "Invalid byte range.");
        }
        t->ranges = m.ranges;
        if (t->ranges.empty())
            t->ranges.push_back({0, -1});
        // Without blocking: opening a FIFO for reading would wait for a writer.
        t->file_fd.reset(open_beneath(root_, parts, O_RDONLY | O_NONBLOCK));
        struct stat st;
        if (!t->file_fd)
            return fail(errno == ENOENT ? E_NOT_FOUND : E_FAILED, t->path + ": " + std::strerror(errno));
        if (!permitted_at(t->file_fd.get(), "", m.pathname, parts, 'r', false, &why))
            return fail(E_DENIED, why);
        if (fstat(t->file_fd.get(), &st) == 0 && special_file(st.st_mode))
            return fail(E_NOT_FOUND, t->path + ": " + std::strerror(ENOENT));
        if (fstat(t->file_fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return fail(E_INVALID, t->path + ": Not a regular file");
    } else {
        if (t->dc.mode != 'S')
            return fail(E_INVALID, "Receiving is only supported in stream mode.");
        if (!m.ranges.empty())
            return fail(E_INVALID, "Receiving byte ranges is not supported.");
        if (!m.truncate)
            return fail(E_INVALID, "Receiving without truncation is not supported.");
        if (m.alloc_size < 0)
            return fail(E_INVALID, "The announced size is negative.");
        t->alloc_size = m.alloc_size;
        t->base = parts.back();
        parts.pop_back();
        t->dir_fd.reset(open_beneath(root_, parts, O_PATH | O_DIRECTORY));
        if (!t->dir_fd)
            return fail(errno == ENOENT ? E_NOT_FOUND : E_FAILED, t->path + ": " + std::strerror(errno));
        const int dir = t->dir_fd.get();
        {
            std::vector<std::string> whole = parts;
            whole.push_back(t->base);
            if (!permitted_at(dir, t->base, m.pathname, whole, 'w', false, &why))
                return fail(E_DENIED, why);
        }
        struct stat st;
        if (fstatat(dir, t->base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            return fail(E_INVALID, t->path + ": Is a directory");
        if (fstatat(dir, t->base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && special_file(st.st_mode))
            return fail(E_INVALID, t->path + ": Not a regular file");
        unsigned char rnd[8];
        RAND_bytes(rnd, sizeof rnd);
        char hex[17];
        for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", rnd[i]);
        std::string base = t->base.size() > 200 ? t->base.substr(0, 200) : t->base;
        t->temp = "." + base + ".kalder-" + hex + ".part";
        t->file_fd.reset(
            openat(dir, t->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!t->file_fd)
            return fail(E_FAILED, t->path + ": " + std::strerror(errno));
    }
    t->transfer_id = next_transfer_++;
    {
        kalder::MutexLock g(transfer_lock_);
        transfer_active_ = true;
        current_transfer_ = t->transfer_id;
        abort_ = false;
    }
    try {
        transfer_thread_ = std::thread(&Session::run_transfer, this, t);
    } catch (const std::system_error &) {
        {
            kalder::MutexLock g(transfer_lock_);
            transfer_active_ = false;
        }
        t->file_fd.reset();
        if (!send) {
            unlinkat(t->dir_fd.get(), t->temp.c_str(), 0);
            t->dir_fd.reset();
        }
        fail(E_FAILED, "Cannot start the transfer.");
    }
}

// Moves the data; returns "" on success, else the failure text.
std::string Session::transfer_body(Transfer &t, kalder_xio_handle_t h, int64_t *bytes)
{
    // The buffer holds one chunk (and a block header), or the whole file
    // when it is smaller: left uninitialised, it costs nothing for small files.
    auto buffer_for = [](int64_t bytes) {
        const size_t want =
            static_cast<size_t>(std::clamp<int64_t>(bytes, 1, kIoChunk)) + KALDER_EBLOCK_HEADER_SIZE;
        return std::unique_ptr<char[]>(new char[want]);
    };
    std::unique_ptr<char[]> buf;
    size_t n = 0;
    if (t.send) {
        struct stat st;
        if (fstat(t.file_fd.get(), &st) != 0)
            return t.path + ": " + std::strerror(errno);
        const int64_t size = st.st_size;
        buf = buffer_for(size);
        const uint64_t block = std::min<uint64_t>(t.dc.blocksize, kMaxBlock);
        const bool mode_e = t.dc.mode == 'E';
        for (const auto &r : t.ranges) {
            int64_t start = r.offset;
            int64_t end = r.length == -1 ? size : std::min<int64_t>(size, r.offset + r.length);
            while (start < end) {
                if (aborted())
                    return "The transfer was aborted.";
                size_t want = static_cast<size_t>(std::min<int64_t>(end - start, mode_e ? block : kIoChunk));
                size_t hdr = mode_e ? KALDER_EBLOCK_HEADER_SIZE : 0;
                ssize_t got = pread(t.file_fd.get(), buf.get() + hdr, want, start);
                if (got < 0)
                    return t.path + ": " + std::strerror(errno);
                if (static_cast<size_t>(got) != want)
                    return t.path + ": The file changed size during the transfer";
                if (mode_e)
                    kalder_eblock_encode({0, want, static_cast<uint64_t>(start)},
                                         reinterpret_cast<unsigned char *>(buf.get()));
                kalder_result_t res = kalder_xio_write(h, buf.get(), hdr + want, hdr + want, &n, nullptr);
                if (res != KALDER_SUCCESS)
                    return kalder_error_describe("Data channel write failed: ", res);
                start += static_cast<int64_t>(want);
                *bytes += static_cast<int64_t>(want);
            }
        }
        if (mode_e) {
            // End of file: descriptor EOF|EOD, no data, one end-of-data marker.
            unsigned char eof[KALDER_EBLOCK_HEADER_SIZE];
            kalder_eblock_encode({KALDER_EBLOCK_EOF | KALDER_EBLOCK_EOD, 0, 1}, eof);
            if (kalder_xio_write(h, eof, sizeof eof, sizeof eof, &n, nullptr) != KALDER_SUCCESS)
                return "Data channel write failed at the end of file.";
        }
        return "";
    }
    // Receive: exactly alloc_size bytes, then an orderly end. One byte
    // more than announced is enough to detect an oversized body.
    const int64_t expect = t.alloc_size < static_cast<int64_t>(kIoChunk) ? t.alloc_size + 1 : kIoChunk;
    buf = buffer_for(expect);
    const size_t room = static_cast<size_t>(std::clamp<int64_t>(expect, 1, kIoChunk));
    for (;;) {
        if (aborted())
            return "The transfer was aborted.";
        kalder_result_t res = kalder_xio_read_available(h, buf.get(), room, &n);
        if (res != KALDER_SUCCESS) {
            if (kalder_xio_error_is_eof(res))
                break;
            return kalder_error_describe("Data channel read failed: ", res);
        }
        if (static_cast<int64_t>(n) > t.alloc_size - *bytes)
            return "More data arrived than the announced " + std::to_string(t.alloc_size) + " bytes.";
        if (g_options.cut_receive_after >= 0 &&
            static_cast<int64_t>(n) > g_options.cut_receive_after - *bytes)
            return "The receive was cut after " + std::to_string(g_options.cut_receive_after) +
                   " bytes (--cut-receive-after).";
        size_t off = 0;
        while (off < n) {
            ssize_t w = pwrite(t.file_fd.get(), buf.get() + off, n - off, *bytes + static_cast<int64_t>(off));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return t.path + ": " + std::strerror(errno);
            }
            off += static_cast<size_t>(w);
        }
        // Start the write-back of each 8 MiB as it is complete, without
        // waiting for it: the fsync before the commit then has only the
        // tail left to wait for, instead of the whole file.
        const int64_t flushed = *bytes / kWritebackStep * kWritebackStep;
        *bytes += static_cast<int64_t>(n);
        if (*bytes / kWritebackStep * kWritebackStep > flushed)
            sync_file_range(t.file_fd.get(), flushed, *bytes / kWritebackStep * kWritebackStep - flushed,
                            SYNC_FILE_RANGE_WRITE);
    }
    if (*bytes != t.alloc_size)
        return "Received " + std::to_string(*bytes) + " of the announced " + std::to_string(t.alloc_size) +
               " bytes.";
    if (fsync(t.file_fd.get()) != 0)
        return t.path + ": " + std::strerror(errno);
    return "";
}

void Session::run_transfer(std::shared_ptr<Transfer> tp)
{
    Transfer &t = *tp;
    auto event = [&](uint32_t type) {
        Message e;
        e.type = kalder_ipc::EVENT_NOTIFY;
        e.id = t.request_id;
        e.event_type = type;
        e.event_arg = t.transfer_id;
        send_msg(e);
    };
    event(KALDER_GFS_EVENT_TRANSFER_BEGIN);

    std::string failure;
    int64_t bytes = 0;
    kalder_xio_handle_t created = nullptr;
    kalder_xio_attr_t made = nullptr;
    kalder_result_t res = kalder_xio_attr_init(&made);
    kalder::XioAttr attr(made);
    if (res == KALDER_SUCCESS)
        res = kalder_xio_attr_cntl(attr.get(), gsi_.get(), KALDER_XIO_GSI_SET_CREDENTIAL, cred_.get());
    if (res == KALDER_SUCCESS)
        res = kalder_xio_attr_cntl(attr.get(), nullptr, KALDER_XIO_ATTR_SET_TIMEOUT,
                                   g_options.io_timeout_s * 1000);
    if (res == KALDER_SUCCESS)
        res = kalder_xio_handle_create(&created, xio_stack_.get());
    kalder::XioHandle h(created);
    if (res == KALDER_SUCCESS) {
        kalder::MutexLock g(transfer_lock_);
        data_handle_ = h.get();
        if (abort_)
            kalder_xio_handle_cancel(h.get());
    }
    if (res == KALDER_SUCCESS)
        res = kalder_xio_open(h.get(), t.dc.contact.c_str(), attr.get());
    attr.reset();
    if (res != KALDER_SUCCESS) {
        failure = kalder_error_describe("Cannot open the data channel: ", res);
    } else {
        event(KALDER_GFS_EVENT_TRANSFER_CONNECTED);
        failure = transfer_body(t, h.get(), &bytes);
    }
    if (h) {
        // A failed transfer must not look like a complete one to the peer.
        if (!failure.empty())
            kalder_xio_handle_cancel(h.get());
        kalder::MutexLock g(transfer_lock_);
        data_handle_ = nullptr;
    }
    h.reset();

    if (!t.send) {
        const int dir = t.dir_fd.get();
        if (failure.empty() && renameat(dir, t.temp.c_str(), dir, t.base.c_str()) != 0)
            failure = t.path + ": " + std::strerror(errno);
        if (!failure.empty())
            unlinkat(dir, t.temp.c_str(), 0);
        t.dir_fd.reset();
    }
    t.file_fd.reset();
    log("%s %s: %lld bytes%s%s", t.send ? "send" : "receive", t.path.c_str(), static_cast<long long>(bytes),
        failure.empty() ? "" : ", failed: ", failure.c_str());

    {
        kalder::MutexLock g(transfer_lock_);
        transfer_active_ = false;
    }
    if (failure.empty()) {
        Message r;
        r.type = kalder_ipc::REPLY;
        r.id = t.request_id;
        r.op = KALDER_GFS_OP_TRANSFER;
        r.bytes = bytes;
        send_msg(r);
    } else {
        reply_error(t.request_id, KALDER_GFS_OP_TRANSFER, E_FAILED, failure);
    }
}

void Session::stop_transfer()
{
    {
        kalder::MutexLock g(transfer_lock_);
        abort_ = true;
        if (data_handle_)
            kalder_xio_handle_cancel(data_handle_);
    }
    if (transfer_thread_.joinable())
        transfer_thread_.join();
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

}  // namespace

void serve_session(int fd)
{
    Session s(fd);
    s.run();
}

}  // namespace backend
