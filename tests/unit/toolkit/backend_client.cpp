#include "backend_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "toolkit_testing.h"

extern char **environ;

namespace kt {

namespace {

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
    int port = ntohs(a.sin_port);
    close(fd);
    return port;
}

}  // namespace

std::string backend_binary()
{
    const char *dir = std::getenv("KALDER_BUILD_DIR");
    return std::string(dir && *dir ? dir : "/work/main/build") + "/kalder-backend";
}

pid_t spawn_backend(const std::vector<std::string> &args, int log_fd)
{
    std::vector<std::string> all = {backend_binary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, log_fd, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
        return -1;
    }
    return pid;
}

Backend::Backend(std::vector<std::string> extra, Transport transport)
{
    char tmpl[] = "/tmp/kalder-backend-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
    chmod(dir_.c_str(), 0711);
    std::system(("mkdir -p " + dir_ + "/root " + dir_ + "/share").c_str());
    if (transport == Transport::UNIX)
        contact_ = "unix:" + socket_path();
    else
        contact_ = "127.0.0.1:" + std::to_string(free_port());
    std::vector<std::string> args = {"--listen", contact_, "--root", root()};
    for (auto &e : extra) {
        size_t p = e.find("{share}");
        if (p != std::string::npos)
            e.replace(p, 7, share());
        args.push_back(e);
    }
    int log_fd = open((dir_ + "/backend.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = spawn_backend(args, log_fd);
    close(log_fd);
    if (pid_ < 0)
        return;
    for (int i = 0; i < 200; ++i) {
        if (log().find(kBackendListening) != std::string::npos)
            return;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "kalder-backend exited at start:\n" << log();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ADD_FAILURE() << "kalder-backend did not listen within 5 seconds:\n" << log();
}

int Backend::stop()
{
    if (pid_ < 0)
        return -1;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 400; ++i) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

Backend::~Backend()
{
    int status = stop();
    // Under the sanitizers a fault in the back end shows in its log and status.
    std::string text = log();
    if (text.find("Sanitizer") != std::string::npos || text.find("runtime error") != std::string::npos)
        ADD_FAILURE() << "kalder-backend reported a fault:\n" << text;
    else if (status > 0)
        ADD_FAILURE() << "kalder-backend exited with status " << status << ":\n" << text;
    std::system(("rm -rf " + dir_).c_str());
}

std::string Backend::log() const
{
    std::ifstream in(dir_ + "/backend.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// --- callbacks ----------------------------------------------------------------

namespace {

Record from_reply(Record::Kind kind, kalder_gfs_ipc_handle_t h, kalder_result_t result,
                  kalder_gfs_finished_info_t *reply)
{
    Record r{kind};
    r.handle = h;
    r.result = result;
    if (reply) {
        r.type = reply->type;
        if (reply->result != KALDER_SUCCESS)
            r.reply_error = error_text(reply->result);
        if (reply->msg)
            r.msg = reply->msg;
        r.code = reply->code;
        if (reply->type == KALDER_GFS_OP_STAT || reply->type == KALDER_GFS_OP_LIST ||
            reply->type == KALDER_GFS_OP_TRANSFER) {
            r.stat_count = reply->info.stat.stat_count;
            if (r.stat_count > 0) {
                r.stat_mode = reply->info.stat.stat_array[0].mode;
                r.stat_size = reply->info.stat.stat_array[0].size;
                r.stat_name = reply->info.stat.stat_array[0].name ? reply->info.stat.stat_array[0].name : "";
                r.stat = reply->info.stat.stat_array[0];
                r.stat.name = nullptr;
            }
            for (int i = 0; i < r.stat_count; ++i) r.names.emplace_back(reply->info.stat.stat_array[i].name);
            if (reply->type == KALDER_GFS_OP_LIST)
                r.next = reply->info.stat.next;
        }
        if (reply->type == KALDER_GFS_OP_DIGEST) {
            r.digest_alg = reply->info.digest.algorithm;
            r.digest_hex = reply->info.digest.hex;
            r.stat = reply->info.digest.stat;
            r.stat.name = nullptr;
        }
        if (reply->type == KALDER_GFS_OP_ACTIVE)
            r.data_arg = reply->info.data.data_arg;
    }
    return r;
}

void open_cb(kalder_gfs_ipc_handle_t h, kalder_result_t result, kalder_gfs_finished_info_t *reply, void *arg)
{
    static_cast<Client *>(arg)->push(from_reply(Record::OPEN, h, result, reply));
}

void error_cb(kalder_gfs_ipc_handle_t h, kalder_result_t result, void *arg)
{
    Record r{Record::ERROR};
    r.handle = h;
    r.result = result;
    static_cast<Client *>(arg)->push(r);
}

void close_cb(kalder_gfs_ipc_handle_t h, kalder_result_t result, void *arg)
{
    Record r{Record::CLOSE};
    r.handle = h;
    r.result = result;
    static_cast<Client *>(arg)->push(r);
}

void reply_cb(kalder_gfs_ipc_handle_t h, kalder_result_t result, kalder_gfs_finished_info_t *reply, void *arg)
{
    Record r = from_reply(Record::REPLY, h, result, reply);
    // Like the module: every transfer reply is answered with transfer complete.
    if (reply && reply->type == KALDER_GFS_OP_TRANSFER) {
        auto *c = static_cast<Client *>(arg);
        void *event_arg = nullptr;
        for (auto &e : c->events_seen)
            if (e.first == KALDER_GFS_EVENT_TRANSFER_BEGIN)
                event_arg = e.second;
        kalder_gfs_event_info_t ev{};
        ev.type = KALDER_GFS_EVENT_TRANSFER_COMPLETE;
        ev.event_arg = event_arg;
        kalder_gfs_ipc_request_transfer_event(h, &ev);
    }
    static_cast<Client *>(arg)->push(r);
}

void event_cb(kalder_gfs_ipc_handle_t h, kalder_result_t result, kalder_gfs_event_info_t *event, void *arg)
{
    Record r{Record::EVENT};
    r.handle = h;
    r.result = result;
    r.type = event->type;
    r.event_arg = event->event_arg;
    auto *c = static_cast<Client *>(arg);
    c->events_seen.emplace_back(event->type, event->event_arg);  // only this callback thread touches it
    c->push(r);
}

}  // namespace

Client::Client()
{
    cred = make_credential();
    kalder_xio_driver_load("tcp", &tcp_);
    kalder_xio_driver_load("gsi", &gsi_);
    kalder_xio_stack_init(&stack_, nullptr);
    kalder_xio_stack_push_driver(stack_, tcp_);
    kalder_xio_stack_push_driver(stack_, gsi_);
}

Client::~Client()
{
    if (handle)
        close();
    OM_uint32 minor;
    gss_release_cred(&minor, &cred);
    kalder_xio_stack_destroy(stack_);
    kalder_xio_driver_unload(gsi_);
    kalder_xio_driver_unload(tcp_);
}

void Client::push(Record r)
{
    std::lock_guard<std::mutex> g(lock_);
    records_.push_back(std::move(r));
    cv_.notify_all();
}

bool Client::wait_for(Record::Kind kind, Record *out, int timeout_ms)
{
    std::unique_lock<std::mutex> g(lock_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (auto it = records_.begin(); it != records_.end(); ++it) {
            if (it->kind == kind) {
                *out = *it;
                records_.erase(it);
                return true;
            }
        }
        if (cv_.wait_until(g, deadline) == std::cv_status::timeout)
            return false;
    }
}

bool Client::wait_any(Record::Kind a, Record::Kind b, Record::Kind *which, int timeout_ms)
{
    std::unique_lock<std::mutex> g(lock_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (const auto &r : records_) {
            if (r.kind == a || r.kind == b) {
                *which = r.kind;
                return true;
            }
        }
        if (cv_.wait_until(g, deadline) == std::cv_status::timeout)
            return false;
    }
}

Record Client::open(const std::string &contact, const std::string &user)
{
    kalder_gfs_session_info_t si{};
    si.del_cred = cred;
    si.map_user = KALDER_TRUE;
    si.username = const_cast<char *>(user.c_str());
    si.subject =
        const_cast<char *>("/C=US/O=Kalder Consortium/OU=Kalder Online/OU=Transfer User/CN=__transfer__");
    si.host_id = const_cast<char *>(contact.c_str());
    Record r{Record::OPEN};
    r.result = kalder_gfs_ipc_handle_connect_ex(&si, open_cb, this, error_cb, this, KALDER_FALSE,
                                                GSS_C_NO_CREDENTIAL, nullptr, nullptr, 10, 0, KALDER_FALSE);
    if (r.result != KALDER_SUCCESS)
        return r;
    if (!wait_for(Record::OPEN, &r)) {
        ADD_FAILURE() << "no open callback";
        return r;
    }
    handle = r.handle;
    return r;
}

Record Client::wait_reply()
{
    Record r{Record::REPLY};
    if (!wait_for(Record::REPLY, &r))
        r.result = kalder_error_put("test", KALDER_ERROR_TIMEOUT, "no reply within 20 seconds");
    return r;
}

Record Client::command(int code, const std::string &path)
{
    kalder_gfs_command_info_t ci{};
    ci.command = code;
    ci.pathname = const_cast<char *>(path.c_str());
    Record r{Record::REPLY};
    r.result = kalder_gfs_ipc_request_command(handle, &ci, reply_cb, this);
    return r.result == KALDER_SUCCESS ? wait_reply() : r;
}

Record Client::command(int code, const std::string &path, const kalder_gfs_validator_t &precondition)
{
    kalder_gfs_command_info_t ci{};
    ci.command = code;
    ci.pathname = const_cast<char *>(path.c_str());
    ci.precondition = precondition;
    Record r{Record::REPLY};
    r.result = kalder_gfs_ipc_request_command(handle, &ci, reply_cb, this);
    return r.result == KALDER_SUCCESS ? wait_reply() : r;
}

Record Client::digest(const std::string &path, const std::string &algorithm)
{
    Record r{Record::REPLY};
    r.result = kalder_gfs_ipc_request_digest(handle, path.c_str(), algorithm.c_str(), reply_cb, this);
    return r.result == KALDER_SUCCESS ? wait_reply() : r;
}

Record Client::list(const std::string &path, const std::string &after, int limit)
{
    Record r{Record::REPLY};
    r.result = kalder_gfs_ipc_request_list(handle, path.c_str(), after.c_str(), limit, reply_cb, this);
    return r.result == KALDER_SUCCESS ? wait_reply() : r;
}

kalder_gfs_validator_t Record::validator() const
{
    return {KALDER_GFS_PRECONDITION_SAME, stat.dev, stat.ino, stat.size, stat.mtime, stat.mtime_nsec};
}

Record Client::stat(const std::string &path)
{
    kalder_gfs_stat_info_t si{};
    si.file_only = KALDER_TRUE;
    si.pathname = const_cast<char *>(path.c_str());
    Record r{Record::REPLY};
    r.result = kalder_gfs_ipc_request_stat(handle, &si, reply_cb, this);
    return r.result == KALDER_SUCCESS ? wait_reply() : r;
}

namespace {

struct Listener {
    kalder_xio_server_t server = nullptr;
    std::string contact;
};

}  // namespace

// Shared by download and upload: listener, data-channel request, transfer
// request, accept after the begin event; `io` moves the data.
static TransferResult transfer(Client &c, kalder_xio_driver_t tcp, kalder_xio_driver_t gsi,
                               kalder_xio_stack_t stack, const std::string &path, char mode, bool send,
                               const std::vector<std::pair<int64_t, int64_t>> &ranges, int64_t alloc_size,
                               const TransferExtras &extras,
                               const std::function<void(kalder_xio_handle_t, TransferResult &)> &io)
{
    TransferResult out;
    c.events_seen.clear();
    kalder_xio_attr_t attr = nullptr;
    kalder_xio_attr_init(&attr);
    kalder_xio_attr_cntl(attr, tcp, KALDER_XIO_TCP_SET_INTERFACE, "127.0.0.1");
    kalder_xio_attr_cntl(attr, tcp, KALDER_XIO_TCP_SET_NO_IPV6, 1);
    kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_CREDENTIAL, c.cred);
    kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_SSL_COMPATIBLE, 1);
    kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_PROTECTION_LEVEL, 2);
    kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_AUTHORIZATION_MODE, 1);
    kalder_xio_server_t server = nullptr;
    kalder_result_t res = kalder_xio_server_create(&server, attr, stack);
    kalder_xio_attr_destroy(attr);
    if (res != KALDER_SUCCESS) {
        out.reply.result = res;
        return out;
    }
    char *contact = nullptr;
    kalder_xio_server_cntl(server, tcp, KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT, &contact);
    const char *contacts[1] = {contact};
    kalder_gfs_data_info_t di{};
    di.nstreams = 1;
    di.mode = mode;
    di.type = 'I';
    di.tcp_bufsize = 65536;
    di.blocksize = 1048576;
    di.stripe_blocksize = 1048576;
    di.stripe_layout = 2;
    di.prot = 'P';
    di.dcau = 'A';
    di.pathname = const_cast<char *>(path.c_str());
    di.cs_count = 1;
    di.contact_strings = contacts;
    Record r{Record::REPLY};
    r.result = kalder_gfs_ipc_request_active_data(c.handle, &di, reply_cb, &c);
    free(contact);
    if (r.result == KALDER_SUCCESS && !c.wait_for(Record::REPLY, &r))
        r.result = kalder_error_put("test", KALDER_ERROR_TIMEOUT, "no data-channel reply");
    if (!r.ok()) {
        kalder_xio_server_close(server);
        out.reply = r;
        return out;
    }
    kalder_range_list_t list = nullptr;
    kalder_range_list_init(&list);
    for (auto [o, l] : ranges) kalder_range_list_insert(list, o, l);
    kalder_gfs_transfer_info_t ti{};
    ti.pathname = const_cast<char *>(path.c_str());
    ti.partial_offset = 0;
    ti.partial_length = -1;
    ti.range_list = list;
    ti.truncate = send ? KALDER_FALSE : KALDER_TRUE;
    ti.data_arg = r.data_arg;
    ti.eof_count = ti.stripe_count = ti.node_count = 1;
    ti.alloc_size = alloc_size;
    ti.precondition = extras.precondition;
    ti.expected_checksum_alg = const_cast<char *>(extras.checksum_alg.c_str());
    ti.expected_checksum = const_cast<char *>(extras.checksum.c_str());
    res = send ? kalder_gfs_ipc_request_send(c.handle, &ti, reply_cb, event_cb, &c)
               : kalder_gfs_ipc_request_recv(c.handle, &ti, reply_cb, event_cb, &c);
    kalder_range_list_destroy(list);
    if (res != KALDER_SUCCESS) {
        kalder_xio_server_close(server);
        out.reply.result = res;
        return out;
    }
    // Either the begin event or an early final reply.
    Record ev{Record::EVENT};
    Record::Kind first = Record::REPLY;
    c.wait_any(Record::EVENT, Record::REPLY, &first);
    if (first == Record::EVENT && c.wait_for(Record::EVENT, &ev, 0)) {
        out.events.push_back(ev.type);
        kalder_xio_handle_t h = nullptr;
        if (kalder_xio_server_accept(&h, server) == KALDER_SUCCESS &&
            kalder_xio_open(h, nullptr, nullptr) == KALDER_SUCCESS)
            io(h, out);
        kalder_xio_close(h, nullptr);
    }
    kalder_xio_server_close(server);
    Record::Kind end = Record::REPLY;
    if (!c.wait_any(Record::REPLY, Record::ERROR, &end))
        out.reply.result = kalder_error_put("test", KALDER_ERROR_TIMEOUT, "no transfer reply");
    else if (end == Record::ERROR)
        c.wait_for(Record::ERROR, &out.reply, 0);  // the session broke instead
    else
        c.wait_for(Record::REPLY, &out.reply, 0);
    Record more{Record::EVENT};
    while (c.wait_for(Record::EVENT, &more, 0)) out.events.push_back(more.type);
    return out;
}

TransferResult Client::download(const std::string &path, char mode,
                                const std::vector<std::pair<int64_t, int64_t>> &ranges,
                                const TransferExtras &extras)
{
    return transfer(*this, tcp_, gsi_, stack_, path, mode, true, ranges, 0, extras,
                    [&](kalder_xio_handle_t h, TransferResult &out) {
                        std::vector<char> buf(8000);
                        for (;;) {
                            size_t n = 0;
                            out.last_read = kalder_xio_read(h, buf.data(), buf.size(), 1, &n, nullptr);
                            if (out.last_read != KALDER_SUCCESS)
                                break;
                            if (out.data.empty() && extras.after_first_read)
                                extras.after_first_read();
                            out.data.append(buf.data(), n);
                        }
                    });
}

TransferResult Client::upload(const std::string &path, const std::string &data, int64_t alloc_size, bool cut,
                              const std::function<void()> &midway, const TransferExtras &extras)
{
    return transfer(
        *this, tcp_, gsi_, stack_, path, 'S', false, {}, alloc_size, extras,
        [&](kalder_xio_handle_t h, TransferResult &) {
            size_t n = 0;
            for (size_t off = 0; off < data.size(); off += 1048576) {
                size_t len = std::min<size_t>(1048576, data.size() - off);
                if (kalder_xio_write(h, data.data() + off, len, len, &n, nullptr) != KALDER_SUCCESS)
                    break;
            }
            if (midway)
                midway();
            if (cut)
                kalder_xio_handle_cancel(h);
        });
}

bool Client::close()
{
    if (!handle)
        return false;
    kalder_result_t res = kalder_gfs_ipc_close(handle, close_cb, this);
    handle = nullptr;
    if (res != KALDER_SUCCESS)
        return false;
    Record r{Record::CLOSE};
    return wait_for(Record::CLOSE, &r);
}

// --- files and users shared by the back-end tests ---------------------------

const std::string kMapped =
    ":kalder-mapped-collection:ENDPOINT_ID=6f1b;IDENTITY_IDS=u1,u2;IDENTITY_NAMES=alice%40example.org%2cbob%"
    "40example.org;HIGH_ASSURANCE=0;";

std::string guest_user(const std::string &id)
{
    return ":kalder-sharing:ID=" + id + ";SHAREE=alice@example.org;SHAREE_IDS=u1;HIGH_ASSURANCE=0;";
}

std::string numbered(size_t bytes)
{
    std::string s;
    for (int i = 0; s.size() < bytes; ++i) s += "line " + std::to_string(i) + " of the test file\n";
    s.resize(bytes);
    return s;
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            out.push_back(e->d_name);
    if (d)
        closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace kt
