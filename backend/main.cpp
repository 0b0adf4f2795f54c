// kalder-backend: serves one collection directory (and guest shares) to
// the module's IPC client. Foreground, logs to stderr, ends on SIGTERM.
//
//   kalder-backend --listen unix:PATH|HOST:PORT --root DIR [--share ID=DIR]...
//                  [--allow-uid USER[,USER...]]... [--socket-group GROUP]
//                  [--web-server-user USER]
//                  [--allow IDENTITY_NAME]... [--max-sessions N]
//                  [--idle-timeout SECONDS] [--io-timeout SECONDS]
//                  [--cut-receive-after BYTES]
//
// Whoever can open a session can act as any identity on every collection:
// the session start names the user and, for a guest collection, sends its
// own path restrictions. So only the gateway may connect. On a Unix-domain
// socket (mode 0660, group --socket-group) a connection is served only when
// the peer's uid (SO_PEERCRED) is one --allow-uid names -- by default root
// and the web server's user (--web-server-user, www-data). TCP carries no
// peer identity: it is for a back end on another machine, on a port only
// the gateway hosts can reach.
//
// Under a service manager's socket activation (LISTEN_PID names this
// process, LISTEN_FDS=1) the listening socket is fd 3: it must be the one
// --listen names, and it is used as it is -- its owner, group and mode are
// the manager's, and the file is left in place at exit.
//
// --cut-receive-after is a test hook: every receive fails once more than
// BYTES have arrived and cuts its data connection, as a back end whose
// storage fails midway would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <pwd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "backend.h"
#include "kalder_common.h"
#include "kalder_gridftp_server.h"
#include "kalder_gssapi_gsi.h"
#include "kalder_ipc_wire.h"
#include "kalder_net.h"
#include "kalder_xio.h"

namespace backend {

Options g_options;
std::atomic<bool> g_stopping{false};

namespace {
std::mutex g_log_lock;

struct Worker {
    kalder::UniqueFd fd;
    std::thread thread;
    std::atomic<bool> done{false};
};
}  // namespace

void log(const char *fmt, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm tmv;
    gmtime_r(&ts.tv_sec, &tmv);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &tmv);
    std::lock_guard<std::mutex> g(g_log_lock);
    std::fprintf(stderr, "%s.%03ldZ kalder-backend: %s\n", when, ts.tv_nsec / 1000000, buf);
}

}  // namespace backend

using namespace backend;

namespace {

void print_usage(FILE *to)
{
    std::fprintf(to,
                 "usage: kalder-backend --listen unix:PATH|HOST:PORT --root DIR [--share SHARING_ID=DIR]...\n"
                 "                      [--allow-uid USER[,USER...]]... [--socket-group GROUP]\n"
                 "                      [--web-server-user USER]\n"
                 "                      [--allow IDENTITY_NAME]... [--max-sessions N]\n"
                 "                      [--idle-timeout SECONDS] [--io-timeout SECONDS]\n"
                 "                      [--cut-receive-after BYTES]\n"
                 "\n"
                 "Whoever opens a session can act as any user on every collection, so only the\n"
                 "gateway may connect:\n"
                 "  --listen unix:PATH      a Unix-domain socket, for a gateway on this machine; made\n"
                 "                          with mode 0660 (a stale socket there is replaced)\n"
                 "  --allow-uid USER        serve only peers with this uid (a number or a user name;\n"
                 "                          repeat, or separate by commas); default: root and the\n"
                 "                          web server's user\n"
                 "  --socket-group GROUP    group of the socket (a name or a number), so that the web\n"
                 "                          server can open it; default: this process's group\n"
                 "  --web-server-user USER  the web server's user, admitted by default (www-data)\n"
                 "  --listen HOST:PORT      TCP, for a gateway on another machine: anyone who reaches\n"
                 "                          the port is served, so keep it reachable only from the\n"
                 "                          gateway hosts (a private network or a firewall)\n"
                 "Collections and limits:\n"
                 "  --root DIR              the mapped collection\n"
                 "  --share SHARING_ID=DIR  a guest collection\n"
                 "  --allow IDENTITY_NAME   admit to the mapped collection only sessions with one of\n"
                 "                          these identities (repeat; default: any)\n"
                 "  --max-sessions N        open sessions at most (64)\n"
                 "  --idle-timeout SECONDS  end a session with nothing running (600)\n"
                 "  --io-timeout SECONDS    data-channel reads and writes (300)\n"
                 "  --cut-receive-after BYTES  test hook: fail every receive past BYTES\n");
}

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr, "kalder-backend: %s\n", why);
    print_usage(stderr);
    std::exit(2);
}

int parse_positive(const char *s, const char *what)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno || !end || *end || v < 1 || v > 1000000)
        usage((std::string("invalid ") + what).c_str());
    return static_cast<int>(v);
}

int open_dir(const char *path)
{
    int fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "kalder-backend: cannot open directory %s: %s\n", path, std::strerror(errno));
        std::exit(2);
    }
    return fd;
}

// Who may connect to the Unix-domain socket, and how its file is made.
struct SocketAccess {
    std::set<uid_t> uids;     // peers served
    bool uids_given = false;  // --allow-uid was used
    std::string web_server_user = "www-data";
    bool web_server_user_given = false;
    std::string group;                   // --socket-group as given
    gid_t gid = static_cast<gid_t>(-1);  // -1: leave the process's group
};

bool all_digits(const std::string &s)
{
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

std::string user_name(uid_t uid)
{
    passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        return found->pw_name;
    return "";
}

// A uid from a number or a user name; false for an unknown name.
bool lookup_uid(const std::string &name, uid_t *uid)
{
    if (all_digits(name)) {
        *uid = static_cast<uid_t>(std::stoul(name));
        return true;
    }
    passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) != 0 || !found)
        return false;
    *uid = found->pw_uid;
    return true;
}

// --allow-uid a,b,c: each entry a number or a user name.
void add_allowed_uids(SocketAccess *access, const std::string &list)
{
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string entry =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uid_t uid = 0;
        if (entry.empty())
            usage(("--allow-uid has an empty entry in \"" + list + "\"").c_str());
        if (!lookup_uid(entry, &uid))
            usage(("--allow-uid: no user " + entry).c_str());
        access->uids.insert(uid);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    access->uids_given = true;
}

gid_t lookup_gid(const std::string &name)
{
    if (all_digits(name))
        return static_cast<gid_t>(std::stoul(name));
    group gr, *found = nullptr;
    char buf[4096];
    if (getgrnam_r(name.c_str(), &gr, buf, sizeof buf, &found) != 0 || !found)
        usage(("--socket-group: no group " + name).c_str());
    return found->gr_gid;
}

// "0 (root), 33 (www-data)" for the start-up line.
std::string describe_uids(const std::set<uid_t> &uids)
{
    std::string out;
    for (uid_t u : uids) {
        if (!out.empty())
            out += ", ";
        out += std::to_string(u);
        std::string name = user_name(u);
        if (!name.empty())
            out += " (" + name + ")";
    }
    return out;
}

[[noreturn]] void cannot_listen(const std::string &contact, const std::string &why)
{
    std::fprintf(stderr, "kalder-backend: cannot listen on %s: %s\n", contact.c_str(), why.c_str());
    std::exit(1);
}

bool is_loopback(const sockaddr *sa)
{
    if (sa->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr) >> 24) == 127;
    if (sa->sa_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

int listen_tcp(const std::string &contact, const kalder::Contact &where, bool *loopback)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *res = nullptr;
    if (getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &res) != 0 || !res)
        usage("--listen address cannot be resolved");
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 64) != 0)
        cannot_listen(contact, std::strerror(errno));
    *loopback = is_loopback(res->ai_addr);
    freeaddrinfo(res);
    return fd;
}

// The socket file: a socket left by a back end that is gone is replaced;
// one that a running server still answers on, or anything that is not a
// socket, stops the start. The file is bound with mode 0600, given its
// group, and only then opened to the group (0660).
int listen_unix(const std::string &contact, const std::string &path, gid_t gid, struct stat *made)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);  // parse_contact checked that it fits
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            cannot_listen(contact, path + " exists and is not a socket");
        kalder::Contact probe_at;
        probe_at.unix_socket = true;
        probe_at.path = path;
        kalder::ConnectFailure ignored;
        bool answered = static_cast<bool>(kalder::connect_stream(probe_at, {}, &ignored));
        if (answered)
            cannot_listen(contact, "a running server already listens on " + path);
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            cannot_listen(contact, "cannot remove the stale socket " + path + ": " + std::strerror(errno));
        log("replaced the stale socket %s", path.c_str());
    } else if (errno != ENOENT) {
        cannot_listen(contact, path + ": " + std::strerror(errno));
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        cannot_listen(contact, std::strerror(errno));
    mode_t old = umask(0177);
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int bind_errno = errno;
    umask(old);
    if (rc != 0)
        cannot_listen(contact, std::strerror(bind_errno));
    auto undo = [&](const std::string &why) {
        unlink(path.c_str());
        cannot_listen(contact, why);
    };
    if (gid != static_cast<gid_t>(-1) && chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0)
        undo("cannot give " + path + " its group: " + std::strerror(errno));
    if (chmod(path.c_str(), 0660) != 0)
        undo("cannot set the mode of " + path + ": " + std::strerror(errno));
    if (lstat(path.c_str(), made) != 0)
        undo(path + ": " + std::strerror(errno));
    if (listen(fd, 64) != 0)
        undo(std::strerror(errno));
    return fd;
}

// The listening socket passed by a service manager (sd_listen_fds
// protocol: LISTEN_PID is this process, LISTEN_FDS the count, from fd 3),
// or -1 when none was. The variables are cleared so that nothing started
// from here takes them for its own.
int inherited_listener(const std::string &contact, const kalder::Contact &where)
{
    const char *pid = std::getenv("LISTEN_PID");
    const char *fds = std::getenv("LISTEN_FDS");
    bool ours = pid && fds && std::strtol(pid, nullptr, 10) == static_cast<long>(getpid());
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!ours)
        return -1;
    if (std::strcmp(fds, "1") != 0)
        cannot_listen(contact, std::string("LISTEN_FDS=") + fds + ": expected one inherited socket");
    const int fd = 3;
    int listening = 0, type = 0;
    socklen_t len = sizeof listening;
    sockaddr_storage addr{};
    socklen_t alen = sizeof addr;
    socklen_t tlen = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0 || type != SOCK_STREAM ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &alen) != 0)
        cannot_listen(contact, "the inherited fd 3 is not a listening stream socket");
    bool is_unix = addr.ss_family == AF_UNIX;
    if (is_unix != where.unix_socket)
        cannot_listen(contact, "the inherited socket is not of the kind --listen names");
    if (is_unix) {
        const auto *un = reinterpret_cast<const sockaddr_un *>(&addr);
        size_t n = alen > offsetof(sockaddr_un, sun_path) ? alen - offsetof(sockaddr_un, sun_path) : 0;
        std::string bound(un->sun_path, strnlen(un->sun_path, n));
        if (bound != where.path)
            cannot_listen(contact, "the inherited socket is bound to \"" + bound + "\"");
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

// Whether the peer of an accepted Unix-domain connection may be served;
// logs the refusal.
bool peer_allowed(int fd, const std::set<uid_t> &uids)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        log("refused a connection: its peer's credentials cannot be read: %s", std::strerror(errno));
        return false;
    }
    if (uids.count(cred.uid))
        return true;
    log("refused connection from uid %u (pid %d): not allowed by --allow-uid",
        static_cast<unsigned>(cred.uid), static_cast<int>(cred.pid));
    return false;
}

void refuse_busy(int fd)
{
    kalder_ipc::Message m;
    m.type = kalder_ipc::REPLY;
    m.op = KALDER_GFS_OP_SESSION_START;
    m.code = 1;
    m.error = "The back end is busy: too many sessions.";
    std::string frame, why;
    if (kalder_ipc::encode(m, &frame, &why))
        kalder_ipc::write_frame(fd, frame, 1000, &why);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string root;
    SocketAccess access;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage((a + " needs a value").c_str());
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            print_usage(stdout);
            return 0;
        } else if (a == "--listen") {
            g_options.listen = value();
        } else if (a == "--root") {
            root = value();
        } else if (a == "--share") {
            std::string v = value();
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
                usage("--share needs SHARING_ID=DIR");
            g_options.shares[v.substr(0, eq)] = open_dir(v.substr(eq + 1).c_str());
        } else if (a == "--allow-uid") {
            add_allowed_uids(&access, value());
        } else if (a == "--socket-group") {
            access.group = value();
            access.gid = lookup_gid(access.group);
        } else if (a == "--web-server-user") {
            access.web_server_user = value();
            access.web_server_user_given = true;
        } else if (a == "--allow") {
            g_options.allow.insert(value());
        } else if (a == "--max-sessions") {
            g_options.max_sessions = parse_positive(value(), "--max-sessions");
        } else if (a == "--idle-timeout") {
            g_options.idle_timeout_s = parse_positive(value(), "--idle-timeout");
        } else if (a == "--io-timeout") {
            g_options.io_timeout_s = parse_positive(value(), "--io-timeout");
        } else if (a == "--cut-receive-after") {
            g_options.cut_receive_after = parse_positive(value(), "--cut-receive-after");
        } else {
            usage(("unknown argument " + a).c_str());
        }
    }
    if (g_options.listen.empty() || root.empty())
        usage("--listen and --root are required");
    kalder::Contact where;
    std::string why;
    if (!kalder::parse_contact(g_options.listen, &where, &why))
        usage(("--listen needs unix:PATH or HOST:PORT: " + why).c_str());
    if (!where.unix_socket && (access.uids_given || !access.group.empty() || access.web_server_user_given))
        usage("--allow-uid, --socket-group and --web-server-user apply only to --listen unix:PATH");
    if (where.unix_socket && !access.uids_given) {
        uid_t web = 0;
        if (!lookup_uid(access.web_server_user, &web))
            usage(("no user " + access.web_server_user +
                   " (the web server's user, admitted by default): name it with --web-server-user, or the "
                   "users that may connect with --allow-uid")
                      .c_str());
        access.uids = {0, web};
    }
    g_options.root_fd = open_dir(root.c_str());

    // Signals: SIGTERM/SIGINT arrive through a signalfd; SIGPIPE is ignored
    // so a client that goes away gives EPIPE.
    signal(SIGPIPE, SIG_IGN);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGINT);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);  // inherited by every thread made below
    int sfd = signalfd(-1, &term, SFD_CLOEXEC);
    if (sfd < 0) {
        std::fprintf(stderr, "kalder-backend: signalfd failed: %s\n", std::strerror(errno));
        return 1;
    }

    kalder_thread_set_model("pthread");
    kalder_module_activate(kalder_i_common_module);
    kalder_module_activate(kalder_i_xio_module);
    kalder_module_activate(kalder_i_gsi_gssapi_module);

    struct stat socket_file {};
    bool loopback = false;
    int lfd = inherited_listener(g_options.listen, where);
    const bool inherited = lfd >= 0;
    if (inherited) {
        if (where.unix_socket && lstat(where.path.c_str(), &socket_file) != 0)
            cannot_listen(g_options.listen, where.path + ": " + std::strerror(errno));
        if (!where.unix_socket) {
            sockaddr_storage a{};
            socklen_t alen = sizeof a;
            getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &alen);
            loopback = is_loopback(reinterpret_cast<sockaddr *>(&a));
        }
        log("using the listening socket passed by the service manager");
    } else {
        lfd = where.unix_socket ? listen_unix(g_options.listen, where.path, access.gid, &socket_file)
                                : listen_tcp(g_options.listen, where, &loopback);
    }
    // Where and to whom it listens, before the line that says it is ready.
    if (where.unix_socket) {
        group gr, *found = nullptr;
        char buf[4096];
        getgrgid_r(socket_file.st_gid, &gr, buf, sizeof buf, &found);
        log("socket %s: mode %04o, group %u%s%s%s; serving only uids %s", where.path.c_str(),
            static_cast<unsigned>(socket_file.st_mode & 07777), static_cast<unsigned>(socket_file.st_gid),
            found ? " (" : "", found ? found->gr_name : "", found ? ")" : "",
            describe_uids(access.uids).c_str());
    } else if (loopback) {
        log("warning: on TCP every local user can connect to %s and act as any user on every collection; "
            "listen on unix:PATH when the gateway runs on this machine",
            g_options.listen.c_str());
    } else {
        log("warning: %s is not a loopback address: every host that reaches this port can act as any user on "
            "every collection; keep it reachable only from the gateway hosts (a private network or a "
            "firewall)",
            g_options.listen.c_str());
    }

    log("listening on %s, root %s, %zu share(s), %zu allowed identit%s, at most %d sessions",
        g_options.listen.c_str(), root.c_str(), g_options.shares.size(), g_options.allow.size(),
        g_options.allow.size() == 1 ? "y" : "ies", g_options.max_sessions);

    std::list<std::unique_ptr<Worker>> workers;
    auto reap = [&](bool all) {
        for (auto it = workers.begin(); it != workers.end();) {
            if (all || (*it)->done) {
                (*it)->thread.join();
                it = workers.erase(it);  // closes the connection
            } else {
                ++it;
            }
        }
    };

    for (;;) {
        pollfd p[2] = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}};
        int rc = poll(p, 2, 1000);
        reap(false);
        if (rc < 0 && errno != EINTR) {
            log("poll failed: %s", std::strerror(errno));
            break;
        }
        if (rc > 0 && (p[1].revents & POLLIN)) {
            signalfd_siginfo si;
            (void)!read(sfd, &si, sizeof si);
            log("signal %u: shutting down", si.ssi_signo);
            break;
        }
        if (rc > 0 && (p[0].revents & POLLIN)) {
            kalder::UniqueFd fd(accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd)
                continue;
            if (where.unix_socket && !peer_allowed(fd.get(), access.uids))
                continue;  // closed: nothing is sent to a peer that may not connect
            if (!where.unix_socket) {
                int one = 1;
                setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            if (static_cast<int>(workers.size()) >= g_options.max_sessions) {
                log("refusing a session: %d sessions are open", g_options.max_sessions);
                refuse_busy(fd.get());
                continue;
            }
            auto w = std::make_unique<Worker>();
            w->fd = std::move(fd);
            Worker *raw = w.get();
            try {
                w->thread = std::thread([raw] {
                    serve_session(raw->fd.get());
                    raw->done = true;
                });
            } catch (const std::system_error &) {
                log("cannot start a session thread");
                continue;  // the worker closes the connection
            }
            workers.push_back(std::move(w));
        }
    }

    g_stopping = true;
    close(lfd);
    if (where.unix_socket && !inherited) {
        // Remove the socket file unless another server has replaced it since.
        struct stat now;
        if (lstat(where.path.c_str(), &now) == 0 && now.st_dev == socket_file.st_dev &&
            now.st_ino == socket_file.st_ino)
            unlink(where.path.c_str());
    }
    for (auto &w : workers) shutdown(w->fd.get(), SHUT_RDWR);  // wakes each session; it aborts its transfer
    reap(true);
    log("stopped");
    return 0;
}
