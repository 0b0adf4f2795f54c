// The one connect with a time limit, over TCP or a Unix-domain socket.
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
#include <cstring>

#include "kalder_net.h"

namespace kalder {

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0 && fd_ != fd) {
        int saved = errno;
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

std::string ConnectFailure::text() const
{
    return resolve != 0 ? gai_strerror(resolve) : std::strerror(error);
}

namespace {

void set_nonblocking(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

// A Unix-domain connect blocks only while the listener's accept queue is
// full; the send timeout bounds that wait.
UniqueFd connect_unix(const std::string &path, const ConnectOptions &options, ConnectFailure *failure)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);  // parse_contact checked that it fits
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s) {
        failure->error = errno;
        return s;
    }
    int ms = options.timeout_ms > 0 ? options.timeout_ms : 0;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int rc;
    do {
        rc = connect(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        // A full accept queue that stayed full for the whole timeout.
        failure->error = errno == EAGAIN || errno == EINPROGRESS ? ETIMEDOUT : errno;
        return UniqueFd();
    }
    timeval none{0, 0};
    setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    if (options.nonblocking)
        set_nonblocking(s.get(), true);
    return s;
}

// Waits for a non-blocking connect to finish; 0 when it did, else an errno
// value (ETIMEDOUT when the time ran out).
int finish_connect(int fd, int timeout_ms)
{
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeout_ms > 0 ? timeout_ms : -1);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0)
        return ETIMEDOUT;
    if (rc < 0)
        return errno;
    int soerr = 0;
    socklen_t l = sizeof soerr;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &l);
    return soerr;
}

UniqueFd connect_tcp(const Contact &where, const ConnectOptions &options, ConnectFailure *failure)
{
    addrinfo hints{};
    hints.ai_family = options.ipv4_only ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *res = nullptr;
    int gai = getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &res);
    if (gai != 0) {
        failure->resolve = gai;
        return UniqueFd();
    }
    UniqueFd connected;
    for (addrinfo *ai = res; ai && !connected; ai = ai->ai_next) {
        UniqueFd s(socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
        if (!s) {
            failure->error = errno;
            continue;
        }
        int err = connect(s.get(), ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS)
            err = finish_connect(s.get(), options.timeout_ms);
        if (err == 0)
            connected = std::move(s);
        else
            failure->error = err;
    }
    freeaddrinfo(res);
    if (!connected)
        return connected;
    failure->error = 0;
    if (!options.nonblocking)
        set_nonblocking(connected.get(), false);
    int one = 1;
    setsockopt(connected.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return connected;
}

}  // namespace

UniqueFd connect_stream(const Contact &where, const ConnectOptions &options, ConnectFailure *failure)
{
    *failure = ConnectFailure{};
    return where.unix_socket ? connect_unix(where.path, options, failure)
                             : connect_tcp(where, options, failure);
}

}  // namespace kalder
