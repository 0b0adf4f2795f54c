// TLS ClientHello peek and connection hand-off.
//
// Every new connection starts with a TLS_PEEK bucket instead of the core's
// socket bucket. Its first read peeks (MSG_PEEK, nothing consumed) at up to
// PEEK_SIZE bytes, has the ClientHello walked (client_hello.h) and the
// hand-off decided (handoff_route.h), and either hands the socket descriptor
// to a local service over a Unix socket (the server is left with a dead
// descriptor and sees end of input), or reads the peeked bytes for real and
// turns into a heap bucket followed by an ordinary socket bucket, so TLS
// and HTTP proceed as without the module.
#define KALDER_SOURCE "bucket_tls_peek"
#include "tls_peek.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "apr_portable.h"
#include "client_hello.h"
#include "config.h"
#include "handoff_route.h"
#include "log_sinks.h"
#include "counters.h"

namespace {

using namespace kalder::tls;

// The decision's view of the servers, built by kalder_tls_peek_configure.
HandoffRoutes routes{nullptr, 0};

apr_status_t forget_routes(void *)
{
    routes = HandoffRoutes{nullptr, 0};
    return APR_SUCCESS;
}

}  // namespace

void kalder_tls_peek_configure(apr_pool_t *pconf, const server_rec *main_server)
{
    // httpd links each <VirtualHost> in front of the ones read before it, so
    // `main->next` is the last-configured virtual host: the main server goes
    // first, then the chain is laid out backwards.
    size_t count = 0;
    for (const server_rec *s = main_server; s; s = s->next) ++count;
    auto *hosts = static_cast<RouteHost *>(apr_pcalloc(pconf, (count ? count : 1) * sizeof(RouteHost)));
    size_t i = count;
    for (const server_rec *s = main_server; s; s = s->next) {
        RouteHost &host = hosts[s == main_server ? 0 : --i];
        const ServerConfig *conf = kalder_server_config(s);
        host = RouteHost{s->server_hostname, s->names, s->wild_names, conf ? conf->unix_sockets : nullptr};
    }
    routes = HandoffRoutes{hosts, count};
    apr_pool_cleanup_register(pconf, nullptr, forget_routes, apr_pool_cleanup_null);
}

// ---------------------------------------------------------------------------
// The TLS_PEEK bucket

namespace {

struct PeekData {
    apr_socket_t *socket;
    conn_rec *connection;
    bool low_water_raised;  // SO_RCVLOWAT is above 1 and must be put back
};

// A descriptor this scope opened: closed on every way out.
class UniqueFd {
   public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

   private:
    int fd_;
};

// The peek buffer, from the connection's bucket allocator: freed on every
// way out unless handed to the heap bucket that keeps the peeked bytes.
class PeekBuffer {
   public:
    explicit PeekBuffer(apr_bucket_alloc_t *list)
        : data_(static_cast<char *>(apr_bucket_alloc(PEEK_SIZE, list)))
    {
    }
    ~PeekBuffer()
    {
        if (data_)
            apr_bucket_free(data_);
    }
    PeekBuffer(const PeekBuffer &) = delete;
    PeekBuffer &operator=(const PeekBuffer &) = delete;
    char *get() const { return data_; }
    char *release() { return std::exchange(data_, nullptr); }

   private:
    char *data_;
};

// The kernel only reports the socket readable once `bytes` are queued
// (or on end of input or an error); 1 is the normal setting.
void set_low_water(int fd, size_t bytes)
{
    int value = static_cast<int>(bytes);
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value);
}

// A raised receive low-water mark is put back to 1 when the read ends,
// whichever way it ends, except by keep(): a non-blocking read that
// returns EAGAIN leaves it raised for the caller's poll, and the next read
// of the bucket takes it over (the flag lives in the bucket's data).
class LowWaterMark {
   public:
    LowWaterMark(int fd, bool &raised) : fd_(fd), raised_(raised) {}
    ~LowWaterMark()
    {
        if (raised_ && !keep_)
            restore();
    }
    LowWaterMark(const LowWaterMark &) = delete;
    LowWaterMark &operator=(const LowWaterMark &) = delete;
    void raise(size_t bytes)
    {
        set_low_water(fd_, bytes);
        raised_ = true;
    }
    void restore()
    {
        set_low_water(fd_, 1);
        raised_ = false;
    }
    void keep() { keep_ = true; }

   private:
    int fd_;
    bool &raised_;
    bool keep_ = false;
};

// Passes fd to the service listening on path: the 4-byte message 00 00 00 01
// with the descriptor as SCM_RIGHTS. The connect and send are bounded by
// timeout so a stuck receiver cannot hold a worker forever.
bool send_descriptor(const char *path, int fd, apr_interval_time_t timeout)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);

    const UniqueFd unix_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!unix_fd)
        return false;
    if (timeout > 0) {
        timeval tv{static_cast<time_t>(apr_time_sec(timeout)),
                   static_cast<suseconds_t>(apr_time_usec(timeout))};
        setsockopt(unix_fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    if (connect(unix_fd.get(), reinterpret_cast<sockaddr *>(&addr),
                static_cast<socklen_t>(std::strlen(addr.sun_path) + 3)) != 0)
        return false;
    char message[4] = {0, 0, 0, 1};
    iovec iov{message, sizeof message};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        cmsghdr align;
    } control{};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof control.buf;
    cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &fd, sizeof fd);
    ssize_t n;
    do n = sendmsg(unix_fd.get(), &msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof message);
}

// After a successful hand-off the connection lives on in the receiver; the
// server keeps a descriptor number that now names an unconnected socket, so
// its later reads, writes and close touch nothing of the client's.
void kill_descriptor(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    const UniqueFd dead(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!dead)
        return;
    if (flags >= 0)
        fcntl(dead.get(), F_SETFL, flags);
    dup3(dead.get(), fd, O_CLOEXEC);
}

// How long a blocking read waits for the rest of a ClientHello: the
// server's Timeout, or the socket's own when something tightened it.
apr_interval_time_t peek_timeout(const PeekData *data)
{
    apr_interval_time_t timeout = data->connection->base_server->timeout;
    apr_interval_time_t socket_timeout = 0;
    if (apr_socket_timeout_get(data->socket, &socket_timeout) == APR_SUCCESS && socket_timeout > 0 &&
        (timeout <= 0 || socket_timeout < timeout))
        timeout = socket_timeout;
    return timeout;
}

// True once the client has shut down its sending side (or the connection
// failed): no more ClientHello bytes can come.
bool peer_done(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

apr_status_t peek(apr_socket_t *socket, char *buffer, apr_size_t *len, apr_read_type_e block)
{
    apr_sockaddr_t from{};
    *len = PEEK_SIZE;
    if (block != APR_NONBLOCK_READ)
        return apr_socket_recvfrom(&from, socket, MSG_PEEK, buffer, len);
    apr_interval_time_t saved = 0;
    apr_socket_timeout_get(socket, &saved);
    apr_socket_timeout_set(socket, 0);
    const apr_status_t rv = apr_socket_recvfrom(&from, socket, MSG_PEEK, buffer, len);
    apr_socket_timeout_set(socket, saved);
    return rv;
}

// The bucket turns into an empty one: the server sees end of input.
apr_status_t become_empty(apr_bucket *b, const char **str, apr_size_t *len)
{
    apr_bucket_immortal_make(b, "", 0);
    *str = "";
    *len = 0;
    return APR_SUCCESS;
}

apr_status_t tls_peek_bucket_read(apr_bucket *b, const char **str, apr_size_t *len, apr_read_type_e block)
{
    auto *data = static_cast<PeekData *>(b->data);
    apr_socket_t *socket = data->socket;
    *str = nullptr;
    *len = PEEK_SIZE;

    PeekBuffer buffer(b->list);
    if (!buffer.get())
        return APR_ENOMEM;
    apr_os_sock_t fd = -1;
    apr_os_sock_get(&fd, socket);

    // The field trace and the decision's lines go to the main server's log.
    const LogSink log = server_log_sink(nullptr);
    HelloParse hello;
    apr_time_t deadline = 0;
    apr_size_t got = 0;
    LowWaterMark low_water(fd, data->low_water_raised);
    for (;;) {
        const apr_size_t before = got;
        const apr_status_t rv = peek(socket, buffer.get(), &got, block);
        if (rv != APR_SUCCESS && rv != APR_EOF) {
            *len = 0;
            return rv;
        }
        if (got == 0)
            return become_empty(b, str, len);
        parse_client_hello(reinterpret_cast<const uint8_t *>(buffer.get()), got, hello, log);
        if (hello.outcome != HelloOutcome::INCOMPLETE)
            break;

        // Part of a ClientHello (it often spans several TCP segments). An
        // immediate retry would only see the same bytes: instead the socket
        // is made to report readable only once the missing bytes are queued.
        if (got <= before || peer_done(fd)) {
            // Nothing new since the last wake-up, or the client stopped
            // sending: the TLS layer reads what there is and reports it.
            hello.outcome = HelloOutcome::PASS_THROUGH;
            break;
        }
        low_water.raise(hello.bytes_needed);
        if (block == APR_NONBLOCK_READ) {
            // The caller polls before reading again; it wakes only when
            // the record is complete, at end of input, or at its timeout.
            low_water.keep();
            *len = 0;
            return APR_EAGAIN;
        }
        const apr_time_t now = apr_time_now();
        if (deadline == 0)
            deadline = now + peek_timeout(data);
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        int n;
        do {
            const apr_time_t remaining = deadline - apr_time_now();
            n = remaining > 0 ? poll(&p, 1, static_cast<int>((remaining + 999) / 1000)) : 0;
        } while (n < 0 && errno == EINTR);
        if (n == 0) {
            *len = 0;
            return APR_TIMEUP;
        }
    }
    if (data->low_water_raised)
        low_water.restore();

    const char *path = nullptr;
    if (hello.outcome == HelloOutcome::CANDIDATE)
        path = choose_socket_path(data->connection->pool, routes, hello, log);
    hello.release_captures();

    if (!path) {
        metrics_count_handoff(kalder_metrics(), METRIC_HANDOFF_PASSED);
        // Pass-through: consume exactly what was looked at; the socket
        // bucket behind it delivers the rest.
        apr_size_t n = got;
        apr_socket_recv(socket, buffer.get(), &n);
        char *bytes = buffer.release();
        apr_bucket_heap_make(b, bytes, n, apr_bucket_free);
        static_cast<apr_bucket_heap *>(b->data)->alloc_len = PEEK_SIZE;
        APR_BUCKET_INSERT_AFTER(b, apr_bucket_socket_create(socket, b->list));
        *str = bytes;
        *len = n;
        return APR_SUCCESS;
    }

    // Hand-off. Whether or not it succeeds the server sees an empty
    // connection: on failure it closes the client connection itself.
    if (send_descriptor(path, fd, peek_timeout(data))) {
        kill_descriptor(fd);
        metrics_count_handoff(kalder_metrics(), METRIC_HANDOFF_HANDED_OFF);
    } else {
        metrics_count_handoff(kalder_metrics(), METRIC_HANDOFF_FAILED);
    }
    return become_empty(b, str, len);
}

const apr_bucket_type_t tls_peek_bucket_type = {
    "TLS_PEEK",
    5,
    apr_bucket_type_t::APR_BUCKET_DATA,
    apr_bucket_destroy_noop,
    tls_peek_bucket_read,
    apr_bucket_setaside_notimpl,
    apr_bucket_split_notimpl,
    apr_bucket_copy_notimpl,
};

}  // namespace

apr_status_t mod_kalder_insert_network_bucket(conn_rec *c, apr_bucket_brigade *bb, apr_socket_t *socket)
{
    auto *data = static_cast<PeekData *>(apr_palloc(c->pool, sizeof(PeekData)));
    data->socket = socket;
    data->connection = c;
    data->low_water_raised = false;

    apr_bucket *b = static_cast<apr_bucket *>(apr_bucket_alloc(sizeof *b, c->bucket_alloc));
    APR_BUCKET_INIT(b);
    b->free = apr_bucket_free;
    b->list = c->bucket_alloc;
    b->type = &tls_peek_bucket_type;
    b->length = static_cast<apr_size_t>(-1);
    b->start = -1;
    b->data = data;
    APR_BRIGADE_INSERT_TAIL(bb, b);
    return OK;
}
