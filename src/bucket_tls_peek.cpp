// TLS ClientHello peek and connection hand-off.
//
// Every new connection starts with a TLS_PEEK bucket instead of the core's
// socket bucket. Its first read peeks (MSG_PEEK, nothing consumed) at up to
// PEEK_SIZE bytes, walks the TLS records and the ClientHello inside them and
// either hands the socket descriptor to a local service over a Unix socket
// (the server is left with a dead descriptor and sees end of input), or
// reads the peeked bytes for real and turns into a heap bucket followed by
// an ordinary socket bucket, so TLS and HTTP proceed as without the module.
//
// Wire format walked here (big-endian):
//
//   record:      type(1)=22  version(2)=3.x, x>0  length(2)  payload...
//   handshake:   msg_type(1)=1  length(3)  -- may span several records --
//   ClientHello: client_version(2) random(32)
//                session_id_len(1) session_id(n)
//                cipher_suites_len(2) cipher_suites(n)
//                compression_len(1) compression(n)
//                [extensions_len(2) { type(2) data_len(2) data(n) }...]
//   server_name (type 0):  list_len(2) name_type(1)=0 name_len(2) name(n)
//   ALPN (type 16):        list_len(2) { proto_len(1) proto(n) }...
#define KALDER_SOURCE "bucket_tls_peek"
#include "kalder.h"
#include "tls_client_hello.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "apr_network_io.h"
#include "apr_portable.h"
#include "apr_strings.h"
#include "http_main.h"

namespace kalder::tls {

HelloParse::~HelloParse()
{
    release_captures();
}

void HelloParse::release_captures()
{
    std::free(sni);
    std::free(alpn);
    sni = alpn = nullptr;
    sni_len = alpn_len = 0;
    has_sni = has_alpn = false;
}

namespace {

constexpr uint8_t CONTENT_HANDSHAKE = 22;
constexpr uint8_t HANDSHAKE_CLIENT_HELLO = 1;
constexpr size_t RECORD_HEADER = 5;
constexpr size_t MAX_RECORD_PAYLOAD = 16384 + 2048;  // largest TLSCiphertext
constexpr unsigned EXT_SERVER_NAME = 0;
constexpr unsigned EXT_ALPN = 16;

// Client-controlled text goes into the log with control characters and
// non-ASCII bytes replaced, cut to the buffer.
const char *printable(const uint8_t *p, size_t n, char *out, size_t out_size)
{
    size_t i = 0;
    for (; i < n && i + 1 < out_size; ++i)
        out[i] = (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '?';
    out[i] = '\0';
    return out;
}

enum class Field {
    MSG_TYPE,
    LENGTH,
    CLIENT_PROTOCOL,
    RANDOM,
    SESSION_ID_LENGTH,
    SESSION_ID,
    CIPHER_SUITE_LENGTH,
    CIPHER_SUITE,
    COMPRESSION_METHOD_LENGTH,
    COMPRESSION_METHOD,
    EXTENSIONS_LENGTH,
    EXTENSION_TYPE,
    EXTENSION_DATA_LENGTH,
    EXTENSION_DATA,
};

enum class Step {
    MORE,           // feed the next byte
    HELLO_DONE,     // the handshake's declared length has been consumed
    BOTH_CAPTURED,  // server_name and ALPN are complete: no need to go on
    PASS,           // not something we hand off
};

// The ClientHello state machine, fed one handshake byte at a time so that a
// message split across records is reassembled without copying. Every length
// is checked against what its enclosing structure has left.
class HelloMachine {
   public:
    HelloMachine(HelloParse &out, TraceFn trace, void *trace_ctx)
        : out_(out), trace_(trace), trace_ctx_(trace_ctx)
    {
    }

    Step feed(uint8_t byte);
    bool capture_started() const { return sni_started_ || alpn_started_; }

   private:
    void enter(Field f, uint32_t size);
    Step field_done();
    Step start_capture(uint32_t length);
    Step finish_extension();
    void trace_byte(uint8_t byte);
    void trace_summary(bool sni);

    HelloParse &out_;
    TraceFn trace_;
    void *trace_ctx_;

    Field field_ = Field::MSG_TYPE;
    uint32_t field_size_ = 1;
    uint32_t field_pos_ = 0;
    uint32_t value_ = 0;

    uint32_t hs_total_ = 0;  // handshake length + 4 header bytes
    uint32_t hs_consumed_ = 0;
    uint32_t ext_total_ = 0;
    uint32_t ext_consumed_ = 0;
    bool in_extensions_ = false;
    bool after_compression_ = false;  // the no-extensions end point
    bool ext_vector_done_ = false;    // the extensions end point

    int ext_index_ = -1;
    uint32_t ext_type_ = 0;
    uint8_t **capture_ = nullptr;  // &out_.sni or &out_.alpn while copying
    uint32_t capture_len_ = 0;
    bool sni_started_ = false;
    bool alpn_started_ = false;
};

void HelloMachine::enter(Field f, uint32_t size)
{
    field_ = f;
    field_size_ = size;
    field_pos_ = 0;
    value_ = 0;
}

void HelloMachine::trace_byte(uint8_t byte)
{
    if (!trace_)
        return;
    const int i = static_cast<int>(field_pos_);
    switch (field_) {
        case Field::MSG_TYPE:
            trace_(trace_ctx_, "MSG_TYPE=%d", byte);
            break;
        case Field::LENGTH:
            trace_(trace_ctx_, "LENGTH[%d]=%d", i, byte);
            break;
        case Field::CLIENT_PROTOCOL:
            trace_(trace_ctx_, "CLIENT_PROTOCOL[%d]=%d", i, byte);
            break;
        case Field::RANDOM:
            trace_(trace_ctx_, "RANDOM[%d]=%d", i, byte);
            break;
        case Field::SESSION_ID_LENGTH:
            trace_(trace_ctx_, "SESSION_ID_LENGTH[%d]=%d", i, byte);
            break;
        case Field::SESSION_ID:
            trace_(trace_ctx_, "SESSION_ID[%d]=%d", i, byte);
            break;
        case Field::CIPHER_SUITE_LENGTH:
            trace_(trace_ctx_, "CIPHER_SUITE_LENGTH[%d]=%d", i, byte);
            break;
        case Field::CIPHER_SUITE:
            trace_(trace_ctx_, "CIPHER_SUITE[%d]=%d", i, byte);
            break;
        case Field::COMPRESSION_METHOD_LENGTH:
            trace_(trace_ctx_, "COMPRESSION_METHOD_LENGTH[%d]=%d", i, byte);
            break;
        case Field::COMPRESSION_METHOD:
            trace_(trace_ctx_, "COMPRESSION_METHOD[%d]=%d", i, byte);
            break;
        case Field::EXTENSIONS_LENGTH:
            trace_(trace_ctx_, "EXTENSIONS_LENGTH[%d]=%d", i, byte);
            break;
        case Field::EXTENSION_TYPE:
            trace_(trace_ctx_, "EXTENSION_TYPE[%d]=%#x", i, byte);
            break;
        case Field::EXTENSION_DATA_LENGTH:
            trace_(trace_ctx_, "EXTENSION_DATA_LENGTH[%d]=%d", i, byte);
            break;
        case Field::EXTENSION_DATA:
            trace_(trace_ctx_, "EXTENSION[%d]DATA[%d]=%#x", ext_index_, i, byte);
            break;
    }
}

void HelloMachine::trace_summary(bool sni)
{
    if (!trace_)
        return;
    char text[256];
    if (sni) {
        const uint8_t *p = out_.sni;
        const size_t n = out_.sni_len;
        if (n < 5)
            return;
        const unsigned name_len = (p[3] << 8) | p[4];
        if (5 + name_len > n)
            return;
        trace_(trace_ctx_, "SNI: NAME_LIST_LEN=%d NAME_TYPE=%d NAME_LEN=%d NAME=%.*s", (p[0] << 8) | p[1],
               p[2], name_len, static_cast<int>(name_len), printable(p + 5, name_len, text, sizeof text));
    } else {
        const uint8_t *p = out_.alpn;
        const size_t n = out_.alpn_len;
        if (n < 3)
            return;
        const unsigned proto_len = p[2];
        if (3 + proto_len > n)
            return;
        trace_(trace_ctx_, "ALPN: PROTOCOL_LIST_LEN=%d PROTOCOL_LEN=%d PROTOCOL=%.*s", (p[0] << 8) | p[1],
               proto_len, static_cast<int>(proto_len), printable(p + 3, proto_len, text, sizeof text));
    }
}

Step HelloMachine::start_capture(uint32_t length)
{
    const bool sni = ext_type_ == EXT_SERVER_NAME;
    if (trace_)
        trace_(trace_ctx_, sni ? "SNI_EXTENSION_LENGTH=%d" : "ALPN_EXTENSION_LENGTH=%d",
               static_cast<int>(length));
    // A later extension of the same type replaces an earlier one.
    uint8_t *&slot = sni ? out_.sni : out_.alpn;
    std::free(slot);
    slot = static_cast<uint8_t *>(std::malloc(length ? length : 1));
    if (!slot)
        return Step::PASS;
    (sni ? out_.sni_len : out_.alpn_len) = length;
    (sni ? out_.has_sni : out_.has_alpn) = false;
    (sni ? sni_started_ : alpn_started_) = true;
    capture_ = &slot;
    capture_len_ = length;
    return Step::MORE;
}

// One extension's data is complete (or it had none).
Step HelloMachine::finish_extension()
{
    if (capture_) {
        const bool sni = capture_ == &out_.sni;
        (sni ? out_.has_sni : out_.has_alpn) = true;
        capture_ = nullptr;
        trace_summary(sni);
        if (out_.has_sni && out_.has_alpn)
            return Step::BOTH_CAPTURED;
    }
    if (ext_consumed_ == ext_total_) {
        ext_vector_done_ = true;
        if (hs_consumed_ < hs_total_) {
            if (trace_)
                trace_(trace_ctx_, "processed entire extensions vector, returning emismatch");
            return Step::PASS;
        }
        return Step::MORE;  // the caller sees the handshake end
    }
    enter(Field::EXTENSION_TYPE, 2);
    return Step::MORE;
}

// The current field has all its bytes; value_ holds integer fields.
Step HelloMachine::field_done()
{
    switch (field_) {
        case Field::MSG_TYPE:
            if (value_ != HANDSHAKE_CLIENT_HELLO)
                return Step::PASS;
            enter(Field::LENGTH, 3);
            return Step::MORE;
        case Field::LENGTH:
            hs_total_ = value_ + 4;
            enter(Field::CLIENT_PROTOCOL, 2);
            return Step::MORE;
        case Field::CLIENT_PROTOCOL:
            enter(Field::RANDOM, 32);
            return Step::MORE;
        case Field::RANDOM:
            enter(Field::SESSION_ID_LENGTH, 1);
            return Step::MORE;
        case Field::SESSION_ID_LENGTH:
            if (value_ > 0) {
                enter(Field::SESSION_ID, value_);
                return Step::MORE;
            }
            [[fallthrough]];
        case Field::SESSION_ID:
            enter(Field::CIPHER_SUITE_LENGTH, 2);
            return Step::MORE;
        case Field::CIPHER_SUITE_LENGTH:
            if (value_ > 0) {
                enter(Field::CIPHER_SUITE, value_);
                return Step::MORE;
            }
            [[fallthrough]];
        case Field::CIPHER_SUITE:
            enter(Field::COMPRESSION_METHOD_LENGTH, 1);
            return Step::MORE;
        case Field::COMPRESSION_METHOD_LENGTH:
            if (value_ > 0) {
                enter(Field::COMPRESSION_METHOD, value_);
                return Step::MORE;
            }
            [[fallthrough]];
        case Field::COMPRESSION_METHOD:
            after_compression_ = true;
            enter(Field::EXTENSIONS_LENGTH, 2);
            return Step::MORE;
        case Field::EXTENSIONS_LENGTH:
            after_compression_ = false;
            ext_total_ = value_;
            ext_consumed_ = 0;
            in_extensions_ = true;
            // The vector must fit in what is left of the handshake.
            if (ext_total_ > hs_total_ - hs_consumed_)
                return Step::PASS;
            return finish_extension();
        case Field::EXTENSION_TYPE:
            ext_type_ = value_;
            ++ext_index_;
            enter(Field::EXTENSION_DATA_LENGTH, 2);
            return Step::MORE;
        case Field::EXTENSION_DATA_LENGTH:
            if (value_ > ext_total_ - ext_consumed_)
                return Step::PASS;
            if (ext_type_ == EXT_SERVER_NAME || ext_type_ == EXT_ALPN) {
                if (start_capture(value_) == Step::PASS)
                    return Step::PASS;
            }
            if (value_ > 0) {
                enter(Field::EXTENSION_DATA, value_);
                return Step::MORE;
            }
            return finish_extension();
        case Field::EXTENSION_DATA:
            return finish_extension();
    }
    return Step::PASS;
}

Step HelloMachine::feed(uint8_t byte)
{
    trace_byte(byte);
    if (field_ == Field::EXTENSION_DATA && capture_)
        (*capture_)[field_pos_] = byte;
    if (field_size_ <= 4)
        value_ = (value_ << 8) | byte;
    ++field_pos_;
    ++hs_consumed_;
    if (in_extensions_)
        ++ext_consumed_;

    Step step = Step::MORE;
    if (field_pos_ == field_size_)
        step = field_done();
    if (step != Step::MORE)
        return step;

    if (hs_total_ != 0 && hs_consumed_ == hs_total_) {
        // The handshake ends: only at one of its two sound end points.
        const bool no_extensions =
            after_compression_ && field_ == Field::EXTENSIONS_LENGTH && field_pos_ == 0;
        return no_extensions || ext_vector_done_ ? Step::HELLO_DONE : Step::PASS;
    }
    return Step::MORE;
}

}  // namespace

void parse_client_hello(const uint8_t *data, size_t len, HelloParse &out, TraceFn trace, void *trace_ctx)
{
    out.release_captures();
    out.outcome = HelloOutcome::PASS_THROUGH;
    out.bytes_needed = 0;

    HelloMachine machine(out, trace, trace_ctx);
    auto finish = [&](HelloOutcome outcome) {
        out.outcome = outcome;
        if (outcome != HelloOutcome::CANDIDATE)
            out.release_captures();
    };
    auto incomplete = [&](size_t needed) {
        // Bytes beyond the peek can never be seen: once the peek is full, a
        // ClientHello still unfinished is left to the TLS layer rather than
        // waited for in vain.
        if (len >= PEEK_SIZE) {
            finish(HelloOutcome::PASS_THROUGH);
            return;
        }
        out.bytes_needed = needed < PEEK_SIZE ? needed : PEEK_SIZE;
        finish(HelloOutcome::INCOMPLETE);
    };
    // A complete ClientHello whose end point is sound: hand-off candidate
    // when it carried a complete server_name or ALPN extension.
    auto decide = [&]() {
        finish(out.has_sni || out.has_alpn ? HelloOutcome::CANDIDATE : HelloOutcome::PASS_THROUGH);
    };

    size_t pos = 0;
    for (;;) {
        const size_t left = len - pos;
        const uint8_t *h = data + pos;
        // Whatever part of the header is there already tells a record that
        // is not a TLS handshake (plain HTTP, SSL 3.0) from one that may be.
        if ((left > 0 && h[0] != CONTENT_HANDSHAKE) || (left > 1 && h[1] != 3) || (left > 2 && h[2] == 0)) {
            finish(HelloOutcome::PASS_THROUGH);
            return;
        }
        if (left < RECORD_HEADER) {
            // The bytes end between records, before the ClientHello did.
            incomplete(pos + RECORD_HEADER);
            return;
        }
        const size_t record_len = (static_cast<size_t>(h[3]) << 8) | h[4];
        if (record_len > MAX_RECORD_PAYLOAD) {
            finish(HelloOutcome::PASS_THROUGH);
            return;
        }
        const size_t avail = left - RECORD_HEADER < record_len ? left - RECORD_HEADER : record_len;
        const uint8_t *payload = h + RECORD_HEADER;
        for (size_t i = 0; i < avail; ++i) {
            const Step step = machine.feed(payload[i]);
            if (step == Step::MORE)
                continue;
            if (step == Step::PASS) {
                finish(HelloOutcome::PASS_THROUGH);
                return;
            }
            if (step == Step::BOTH_CAPTURED) {
                decide();
                return;
            }
            // HELLO_DONE: normally at the end of the record. Anything else
            // in the same record is unexpected; trust only a complete ALPN.
            if (i + 1 < record_len) {
                if (trace)
                    trace(trace_ctx, "processed entire handshake");
                if (!out.has_alpn) {
                    finish(HelloOutcome::PASS_THROUGH);
                    return;
                }
            }
            decide();
            return;
        }
        if (avail < record_len) {
            incomplete(pos + RECORD_HEADER + record_len);
            return;
        }
        if (trace)
            trace(trace_ctx, "processed entire fragment");
        pos += RECORD_HEADER + record_len;
    }
}

bool server_name_from_sni(const uint8_t *sni, size_t sni_len, bool has_sni, const uint8_t **name,
                          size_t *name_len)
{
    static const uint8_t empty = 0;
    *name = &empty;
    *name_len = 0;
    if (!has_sni || sni_len == 0)
        return true;
    if (sni_len < 3)
        return sni[0] == 0;
    if (sni[2] != 0)  // only host_name (0) is a name
        return false;
    if (sni_len < 6)
        return true;
    const size_t n = (static_cast<size_t>(sni[3]) << 8) | sni[4];
    if (n + 5 > sni_len)
        return false;
    *name = sni + 5;
    *name_len = n;
    return true;
}

bool server_matches_name(const char *name, const server_rec *server)
{
    if (!name)
        return true;
    if (server->server_hostname && strcasecmp(name, server->server_hostname) == 0)
        return true;
    if (server->names) {
        auto **names = reinterpret_cast<char **>(server->names->elts);
        for (int i = 0; i < server->names->nelts; ++i)
            if (names[i] && strcasecmp(name, names[i]) == 0)
                return true;
    }
    if (server->wild_names) {
        auto **names = reinterpret_cast<char **>(server->wild_names->elts);
        for (int i = 0; i < server->wild_names->nelts; ++i)
            if (names[i] && ap_strcasecmp_match(name, names[i]) == 0)
                return true;
    }
    return false;
}

namespace {

// The servers of the chain in configuration order: httpd links each
// <VirtualHost> in front of the ones read before it, so `main->next` is the
// last-configured virtual host. The main server comes first, then the
// virtual hosts as they appear in the configuration.
struct ServersInOrder {
    const server_rec **servers;
    size_t count;
};

ServersInOrder servers_in_order(apr_pool_t *pool, const server_rec *chain)
{
    size_t count = 0;
    for (const server_rec *s = chain; s; s = s->next) ++count;
    auto **servers = static_cast<const server_rec **>(apr_palloc(pool, count * sizeof(server_rec *)));
    if (count) {
        servers[0] = chain;
        size_t i = count;
        for (const server_rec *s = chain->next; s; s = s->next) servers[--i] = s;
    }
    return {servers, count};
}

}  // namespace

const char *choose_socket_path(apr_pool_t *pool, const server_rec *chain, const HelloParse &hello)
{
    // The server name: absent (null) matches every server, and so does a
    // name that no server in the chain answers to.
    const char *host = nullptr;
    const uint8_t *name;
    size_t name_len;
    if (server_name_from_sni(hello.sni, hello.sni_len, hello.has_sni, &name, &name_len) &&
        !std::memchr(name, 0, name_len)) {
        host = apr_pstrmemdup(pool, reinterpret_cast<const char *>(name), name_len);
        bool known = false;
        for (const server_rec *s = chain; s && !known; s = s->next) known = server_matches_name(host, s);
        if (!known)
            host = nullptr;
    }

    const ServersInOrder order = servers_in_order(pool, chain);

    static const uint8_t default_protocols[] = {0x00, 0x02, 0x01, '*'};
    const uint8_t *alpn = hello.has_alpn ? hello.alpn : default_protocols;
    const size_t alpn_len = hello.has_alpn ? hello.alpn_len : sizeof default_protocols;
    if (alpn_len < 3)
        return nullptr;
    const size_t list_len = (static_cast<size_t>(alpn[0]) << 8) | alpn[1];
    if (list_len == 0)
        return nullptr;
    const size_t end = 2 + list_len < alpn_len ? 2 + list_len : alpn_len;

    for (size_t p = 2; p < end;) {
        const size_t n = alpn[p];
        if (p + 1 + n > end)
            return nullptr;
        const char *proto = reinterpret_cast<const char *>(alpn + p + 1);
        p += 1 + n;

        char shown[256];
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf, "Checking for alpn %.*s in config",
                     static_cast<int>(n),
                     printable(reinterpret_cast<const uint8_t *>(proto), n, shown, sizeof shown));
        // A name with a NUL byte cannot equal a configured one; it may
        // still meet a wildcard entry.
        char key[256];
        const bool exact = !std::memchr(proto, 0, n);
        std::memcpy(key, proto, n);
        key[n] = '\0';

        for (size_t i = 0; i < order.count; ++i) {
            const server_rec *s = order.servers[i];
            if (!server_matches_name(host, s))
                continue;
            const ServerConfig *conf = kalder_server_config(s);
            if (!conf || !conf->unix_sockets)
                continue;
            const char *path = exact ? apr_table_get(conf->unix_sockets, key) : nullptr;
            if (!path)
                path = apr_table_get(conf->unix_sockets, "*");
            if (path)
                return path;
        }
    }
    return nullptr;
}

}  // namespace kalder::tls

// ---------------------------------------------------------------------------
// The TLS_PEEK bucket

namespace {

using namespace kalder::tls;

struct PeekData {
    apr_socket_t *socket;
    conn_rec *connection;
    bool low_water_raised;  // SO_RCVLOWAT is above 1 and must be put back
};

void trace_to_log(void *, const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    ap_log_error(KALDER_MARK, APLOG_TRACE5, 0, ap_server_conf, "%s", line);
}

// Passes fd to the service listening on path: the 4-byte message 00 00 00 01
// with the descriptor as SCM_RIGHTS. The connect and send are bounded by
// timeout so a stuck receiver cannot hold a worker forever.
bool send_descriptor(const char *path, int fd, apr_interval_time_t timeout)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);

    const int unix_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (unix_fd < 0)
        return false;
    if (timeout > 0) {
        timeval tv{static_cast<time_t>(apr_time_sec(timeout)),
                   static_cast<suseconds_t>(apr_time_usec(timeout))};
        setsockopt(unix_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    bool sent = false;
    if (connect(unix_fd, reinterpret_cast<sockaddr *>(&addr),
                static_cast<socklen_t>(std::strlen(addr.sun_path) + 3)) == 0) {
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
        do n = sendmsg(unix_fd, &msg, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        sent = n == static_cast<ssize_t>(sizeof message);
    }
    close(unix_fd);
    return sent;
}

// After a successful hand-off the connection lives on in the receiver; the
// server keeps a descriptor number that now names an unconnected socket, so
// its later reads, writes and close touch nothing of the client's.
void kill_descriptor(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    const int dead = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (dead < 0)
        return;
    if (flags >= 0)
        fcntl(dead, F_SETFL, flags);
    dup3(dead, fd, O_CLOEXEC);
    close(dead);
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

// The kernel only reports the socket readable once `bytes` are queued
// (or on end of input or an error); 1 is the normal setting.
void set_low_water(int fd, size_t bytes)
{
    int value = static_cast<int>(bytes);
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value);
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

apr_status_t tls_peek_bucket_read(apr_bucket *b, const char **str, apr_size_t *len, apr_read_type_e block)
{
    auto *data = static_cast<PeekData *>(b->data);
    apr_socket_t *socket = data->socket;
    *str = nullptr;
    *len = PEEK_SIZE;

    char *buffer = static_cast<char *>(apr_bucket_alloc(PEEK_SIZE, b->list));
    if (!buffer)
        return APR_ENOMEM;
    apr_os_sock_t fd = -1;
    apr_os_sock_get(&fd, socket);

    const TraceFn trace = APLOG_IS_LEVEL(ap_server_conf, APLOG_TRACE5) ? trace_to_log : nullptr;

    HelloParse hello;
    apr_time_t deadline = 0;
    apr_size_t got = 0;
    bool &low_water_set = data->low_water_raised;
    for (;;) {
        const apr_size_t before = got;
        const apr_status_t rv = peek(socket, buffer, &got, block);
        if (rv != APR_SUCCESS && rv != APR_EOF) {
            if (low_water_set)
                set_low_water(fd, 1);
            low_water_set = false;
            apr_bucket_free(buffer);
            *len = 0;
            return rv;
        }
        if (got == 0) {
            if (low_water_set)
                set_low_water(fd, 1);
            low_water_set = false;
            apr_bucket_free(buffer);
            apr_bucket_immortal_make(b, "", 0);
            *str = "";
            *len = 0;
            return APR_SUCCESS;
        }
        parse_client_hello(reinterpret_cast<const uint8_t *>(buffer), got, hello, trace);
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
        set_low_water(fd, hello.bytes_needed);
        low_water_set = true;
        if (block == APR_NONBLOCK_READ) {
            // The caller polls before reading again; it wakes only when
            // the record is complete, at end of input, or at its timeout.
            apr_bucket_free(buffer);
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
            set_low_water(fd, 1);
            low_water_set = false;
            apr_bucket_free(buffer);
            *len = 0;
            return APR_TIMEUP;
        }
    }
    if (low_water_set)
        set_low_water(fd, 1);
    low_water_set = false;

    const char *path = nullptr;
    if (hello.outcome == HelloOutcome::CANDIDATE)
        path = choose_socket_path(data->connection->pool, ap_server_conf, hello);
    hello.release_captures();

    if (!path) {
        // Pass-through: consume exactly what was looked at; the socket
        // bucket behind it delivers the rest.
        apr_size_t n = got;
        apr_socket_recv(socket, buffer, &n);
        apr_bucket_heap_make(b, buffer, n, apr_bucket_free);
        static_cast<apr_bucket_heap *>(b->data)->alloc_len = PEEK_SIZE;
        APR_BUCKET_INSERT_AFTER(b, apr_bucket_socket_create(socket, b->list));
        *str = buffer;
        *len = n;
        return APR_SUCCESS;
    }

    // Hand-off. Whether or not it succeeds the server sees an empty
    // connection: on failure it closes the client connection itself.
    if (send_descriptor(path, fd, peek_timeout(data)))
        kill_descriptor(fd);
    apr_bucket_free(buffer);
    apr_bucket_immortal_make(b, "", 0);
    *str = "";
    *len = 0;
    return APR_SUCCESS;
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

int mod_kalder_insert_network_bucket(conn_rec *c, apr_bucket_brigade *bb, apr_socket_t *socket)
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
