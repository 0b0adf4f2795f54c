// kalder-backend: serves one collection directory (and guest shares) to
// the module's IPC client. Foreground, logs to stderr, ends on SIGTERM.
//
//   kalder-backend --listen 127.0.0.1:PORT --root DIR [--share ID=DIR]...
//                  [--allow IDENTITY_NAME]... [--max-sessions N]
//                  [--idle-timeout SECONDS] [--io-timeout SECONDS]
//                  [--cut-receive-after BYTES]
//
// --cut-receive-after is a test hook: every receive fails once more than
// BYTES have arrived and cuts its data connection, as a back end whose
// storage fails midway would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
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
#include <thread>

#include "backend.h"
#include "kalder_common.h"
#include "kalder_gridftp_server.h"
#include "kalder_gssapi_gsi.h"
#include "kalder_ipc_wire.h"
#include "kalder_xio.h"

namespace backend {

Options g_options;
std::atomic<bool> g_stopping{false};

namespace {
std::mutex g_log_lock;

struct Worker {
    int fd;
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

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr,
                 "kalder-backend: %s\n"
                 "usage: kalder-backend --listen HOST:PORT --root DIR [--share SHARING_ID=DIR]...\n"
                 "                      [--allow IDENTITY_NAME]... [--max-sessions N]\n"
                 "                      [--idle-timeout SECONDS] [--io-timeout SECONDS]\n"
                 "                      [--cut-receive-after BYTES]\n",
                 why);
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

int listen_on(const std::string &contact)
{
    size_t colon = contact.rfind(':');
    if (colon == std::string::npos || colon == 0)
        usage("--listen needs HOST:PORT");
    std::string host = contact.substr(0, colon), port = contact.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res)
        usage("--listen address cannot be resolved");
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 64) != 0) {
        std::fprintf(stderr, "kalder-backend: cannot listen on %s: %s\n", contact.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    freeaddrinfo(res);
    return fd;
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
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage((a + " needs a value").c_str());
            return argv[++i];
        };
        if (a == "--listen") {
            g_options.listen = value();
        } else if (a == "--root") {
            root = value();
        } else if (a == "--share") {
            std::string v = value();
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
                usage("--share needs SHARING_ID=DIR");
            g_options.shares[v.substr(0, eq)] = open_dir(v.substr(eq + 1).c_str());
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

    int lfd = listen_on(g_options.listen);
    log("listening on %s, root %s, %zu share(s), %zu allowed identit%s, at most %d sessions",
        g_options.listen.c_str(), root.c_str(), g_options.shares.size(), g_options.allow.size(),
        g_options.allow.size() == 1 ? "y" : "ies", g_options.max_sessions);

    std::list<std::unique_ptr<Worker>> workers;
    auto reap = [&](bool all) {
        for (auto it = workers.begin(); it != workers.end();) {
            if (all || (*it)->done) {
                (*it)->thread.join();
                close((*it)->fd);
                it = workers.erase(it);
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
            int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (static_cast<int>(workers.size()) >= g_options.max_sessions) {
                log("refusing a session: %d sessions are open", g_options.max_sessions);
                refuse_busy(fd);
                close(fd);
                continue;
            }
            auto w = std::make_unique<Worker>();
            w->fd = fd;
            Worker *raw = w.get();
            try {
                w->thread = std::thread([raw] {
                    serve_session(raw->fd);
                    raw->done = true;
                });
            } catch (const std::system_error &) {
                log("cannot start a session thread");
                close(fd);
                continue;
            }
            workers.push_back(std::move(w));
        }
    }

    g_stopping = true;
    close(lfd);
    for (auto &w : workers) shutdown(w->fd, SHUT_RDWR);  // wakes each session; it aborts its transfer
    reap(true);
    log("stopped");
    return 0;
}
