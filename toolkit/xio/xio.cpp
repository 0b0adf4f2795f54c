// The data-channel drivers: "tcp" (plain sockets) and "gsi" (TLS 1.3 over
// the tcp socket, both ends authenticated with one credential, "self"
// authorization). All calls are blocking on the caller's thread; waits are
// bounded by the attribute's timeouts through poll() and socket timeouts.
#include "kalder_xio.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "kalder_net.h"

kalder_module_descriptor_t kalder_i_xio_module_desc = {"kalder_xio", nullptr, nullptr, 0};

namespace {
constexpr const char *kModule = "kalder_xio";
enum DriverKind { TCP = 0, GSI = 1 };
constexpr int kDefaultSetupTimeoutMs = 60000;
}  // namespace

struct kalder_xio_driver_s {
    DriverKind kind;
};

struct kalder_xio_stack_s {
    std::vector<kalder_xio_driver_t> drivers;  // bottom first
};

struct kalder_xio_attr_s {
    std::string interface;
    bool no_ipv6 = false;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;  // own reference
    int setup_timeout_ms = kDefaultSetupTimeoutMs;
    int io_timeout_ms = 0;
};

namespace {

// Settings shared by a server and the handles it accepts, and by a client
// handle: copied out of the attribute so it can be destroyed at once.
struct Settings {
    bool gsi = false;
    bool no_ipv6 = false;
    int setup_timeout_ms = kDefaultSetupTimeoutMs;
    int io_timeout_ms = 0;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;  // own reference (gsi only)
};

}  // namespace

struct kalder_xio_server_s {
    int fd = -1;
    Settings settings;
};

struct kalder_xio_handle_s {
    int fd = -1;
    bool accepted = false;  // came from a server: open runs the server handshake
    bool opened = false;
    bool eof = false;
    bool broken = false;                        // a fatal TLS error: no orderly close is attempted
    kalder_result_t deferred = KALDER_SUCCESS;  // a read failure held back behind bytes already returned
    std::atomic<bool> canceled{false};          // set by kalder_xio_handle_cancel from any thread
    Settings settings;
    SSL *ssl = nullptr;
};

namespace {

kalder_result_t error(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
kalder_result_t error(int type, const char *fmt, ...)
{
    char buf[768];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return kalder_error_put(kModule, type, "%s", buf);
}

// A failed read or write on the socket: a timeout (the socket's time limit
// ran out) or the system's own error.
kalder_result_t socket_error(const char *op, int saved)
{
    if (saved == EAGAIN || saved == EWOULDBLOCK)
        return error(KALDER_ERROR_TIMEOUT, "%s timed out", op);
    return error(KALDER_ERROR_SYSTEM, "%s failed: %s", op, std::strerror(saved));
}

// Block SIGPIPE on this thread for the guard's life and swallow one that a
// write raised meanwhile, so a peer that went away gives EPIPE, not death.
class SigpipeGuard {
   public:
    SigpipeGuard()
    {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGPIPE);
        blocked_ = pthread_sigmask(SIG_BLOCK, &block, &old_) == 0;
    }
    ~SigpipeGuard()
    {
        if (!blocked_)
            return;
        if (!was_pending_) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                timespec zero{0, 0};
                while (sigtimedwait(&pipe, nullptr, &zero) == -1 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

   private:
    sigset_t old_;
    bool blocked_ = false;
    bool was_pending_ = false;
};

void set_socket_timeout(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

std::string numeric_contact(const sockaddr_storage &ss)
{
    char host[INET6_ADDRSTRLEN] = "";
    unsigned port = 0;
    if (ss.ss_family == AF_INET) {
        auto *sin = reinterpret_cast<const sockaddr_in *>(&ss);
        inet_ntop(AF_INET, &sin->sin_addr, host, sizeof host);
        port = ntohs(sin->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
    inet_ntop(AF_INET6, &sin6->sin6_addr, host, sizeof host);
    port = ntohs(sin6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// Only the target certificate matters: it must be exactly our own, the
// certificate this connection presents.
int self_verify(X509_STORE_CTX *store, void *)
{
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    X509 *ours = ssl ? SSL_get_certificate(ssl) : nullptr;
    X509 *peer = X509_STORE_CTX_get0_cert(store);
    if (peer && ours && X509_cmp(peer, ours) == 0) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

struct CtxFree {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};

SSL_CTX *new_shared_ctx(bool server)
{
    SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx)
        return nullptr;
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, self_verify, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
    return ctx;
}

// One TLS context per process and role: making one costs about 100 us of
// OpenSSL's method and cipher lookups, and nothing in it depends on the
// connection. Each connection sets its own certificate and key on its SSL
// object. The contexts live until the toolkit is unloaded.
SSL_CTX *shared_ctx(bool server)
{
    static const std::unique_ptr<SSL_CTX, CtxFree> server_ctx(new_shared_ctx(true));
    static const std::unique_ptr<SSL_CTX, CtxFree> client_ctx(new_shared_ctx(false));
    return server ? server_ctx.get() : client_ctx.get();
}

// Takes a reference to the attribute's credential for the settings.
kalder_result_t take_credential(const kalder_xio_attr_s *attr, gss_cred_id_t *out)
{
    *out = GSS_C_NO_CREDENTIAL;
    if (!attr || attr->cred == GSS_C_NO_CREDENTIAL)
        return error(KALDER_ERROR_PARAMETER, "the gsi driver needs a credential");
    if (!kalder_gsi_cred_cert(attr->cred) || !kalder_gsi_cred_key(attr->cred))
        return error(KALDER_ERROR_PARAMETER, "the credential has no certificate or key");
    *out = kalder_gsi_cred_ref(attr->cred);
    return KALDER_SUCCESS;
}

void release_credential(Settings *s)
{
    OM_uint32 minor = 0;
    gss_release_cred(&minor, &s->cred);
}

kalder_result_t copy_settings(const kalder_xio_attr_s *attr, const kalder_xio_stack_s *stack, bool server,
                              Settings *s)
{
    bool has_tcp = false;
    s->gsi = false;
    if (!stack || stack->drivers.empty() || stack->drivers.size() > 2)
        return error(KALDER_ERROR_PARAMETER, "the stack must be \"tcp\" or \"tcp\" then \"gsi\"");
    has_tcp = stack->drivers[0]->kind == TCP;
    if (stack->drivers.size() == 2)
        s->gsi = stack->drivers[1]->kind == GSI;
    if (!has_tcp || (stack->drivers.size() == 2 && !s->gsi))
        return error(KALDER_ERROR_PARAMETER, "the stack must be \"tcp\" or \"tcp\" then \"gsi\"");
    kalder_xio_attr_s defaults;
    const kalder_xio_attr_s *a = attr ? attr : &defaults;
    s->no_ipv6 = a->no_ipv6;
    s->setup_timeout_ms = a->setup_timeout_ms;
    s->io_timeout_ms = a->io_timeout_ms;
    if (s->gsi)
        return take_credential(a, &s->cred);
    return KALDER_SUCCESS;
}

// Wait until fd is ready for `events`; false with errno ETIMEDOUT on time-out.
bool wait_fd(int fd, short events, int timeout_ms)
{
    pollfd p{fd, events, 0};
    for (;;) {
        int rc = poll(&p, 1, timeout_ms > 0 ? timeout_ms : -1);
        if (rc > 0)
            return true;
        if (rc == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

kalder_result_t get_contact(int fd, va_list ap)
{
    char **out = va_arg(ap, char **);
    if (!out)
        return error(KALDER_ERROR_PARAMETER, "no output for the contact");
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return error(KALDER_ERROR_SYSTEM, "getsockname failed: %s", std::strerror(errno));
    std::string c = numeric_contact(ss);
    *out = strdup(c.c_str());
    return *out ? KALDER_SUCCESS : error(KALDER_ERROR_MEMORY, "out of memory");
}

kalder_result_t handshake(kalder_xio_handle_s *h)
{
    SSL_CTX *ctx = shared_ctx(h->accepted);
    if (!ctx)
        return error(KALDER_ERROR_MEMORY, "SSL_CTX_new failed: %s", kalder_openssl_errors().c_str());
    h->ssl = SSL_new(ctx);
    if (!h->ssl || SSL_set_fd(h->ssl, h->fd) != 1)
        return error(KALDER_ERROR_MEMORY, "SSL_new failed: %s", kalder_openssl_errors().c_str());
    X509 *cert = kalder_gsi_cred_cert(h->settings.cred);
    if (SSL_use_certificate(h->ssl, cert) != 1 ||
        SSL_use_PrivateKey(h->ssl, kalder_gsi_cred_key(h->settings.cred)) != 1 ||
        SSL_check_private_key(h->ssl) != 1) {
        h->broken = true;
        return error(KALDER_ERROR_AUTH, "cannot set up TLS with the credential: %s",
                     kalder_openssl_errors().c_str());
    }
    set_socket_timeout(h->fd, h->settings.setup_timeout_ms);
    int rc;
    {
        SigpipeGuard guard;
        rc = h->accepted ? SSL_accept(h->ssl) : SSL_connect(h->ssl);
    }
    if (rc != 1) {
        int err = SSL_get_error(h->ssl, rc);
        long verify = SSL_get_verify_result(h->ssl);
        int saved = errno;
        std::string why = kalder_openssl_errors();
        h->broken = true;
        if (verify != X509_V_OK)
            return error(KALDER_ERROR_AUTH, "TLS handshake failed: the peer is not authorized (%s)",
                         X509_verify_cert_error_string(verify));
        if (err == SSL_ERROR_SYSCALL && (saved == EAGAIN || saved == EWOULDBLOCK))
            return error(KALDER_ERROR_TIMEOUT, "TLS handshake timed out");
        return error(KALDER_ERROR_AUTH, "TLS handshake failed: %s", why.c_str());
    }
    // Belt and braces: the peer's certificate must be ours.
    X509 *peer = SSL_get0_peer_certificate(h->ssl);
    if (!peer || X509_cmp(peer, cert) != 0) {
        h->broken = true;
        return error(KALDER_ERROR_AUTH, "TLS peer did not present our own certificate");
    }
    set_socket_timeout(h->fd, h->settings.io_timeout_ms);
    return KALDER_SUCCESS;
}

kalder_result_t connect_to(kalder_xio_handle_s *h, const char *contact)
{
    kalder::Contact where;
    std::string why;
    if (!contact || !kalder::parse_contact(contact, &where, &why, kalder::ContactForm::DATA_CHANNEL))
        return error(KALDER_ERROR_PARAMETER, "malformed contact \"%.100s\"", contact ? contact : "(null)");
    kalder::ConnectOptions options;
    options.timeout_ms = h->settings.setup_timeout_ms;
    options.ipv4_only = h->settings.no_ipv6;
    kalder::ConnectFailure failure;
    kalder::UniqueFd fd = kalder::connect_stream(where, options, &failure);
    if (failure.resolve != 0)
        return error(KALDER_ERROR_SYSTEM, "cannot resolve %s: %s", where.host.c_str(),
                     failure.text().c_str());
    if (!fd)
        return error(failure.error == ETIMEDOUT ? KALDER_ERROR_TIMEOUT : KALDER_ERROR_SYSTEM,
                     "cannot connect to %s: %s", contact, failure.text().c_str());
    h->fd = fd.release();
    return KALDER_SUCCESS;
}

}  // namespace

// --- drivers and stacks -------------------------------------------------------

kalder_result_t kalder_xio_driver_load(const char *name, kalder_xio_driver_t *driver)
{
    if (!driver || !name)
        return error(KALDER_ERROR_PARAMETER, "driver load: null argument");
    DriverKind kind;
    if (std::strcmp(name, "tcp") == 0)
        kind = TCP;
    else if (std::strcmp(name, "gsi") == 0)
        kind = GSI;
    else
        return error(KALDER_ERROR_PARAMETER, "unknown driver \"%.64s\"", name);
    *driver = new (std::nothrow) kalder_xio_driver_s{kind};
    return *driver ? KALDER_SUCCESS : error(KALDER_ERROR_MEMORY, "out of memory");
}

kalder_result_t kalder_xio_driver_unload(kalder_xio_driver_t driver)
{
    delete driver;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_stack_init(kalder_xio_stack_t *stack, kalder_xio_attr_t)
{
    if (!stack)
        return error(KALDER_ERROR_PARAMETER, "stack init: null argument");
    *stack = new (std::nothrow) kalder_xio_stack_s;
    return *stack ? KALDER_SUCCESS : error(KALDER_ERROR_MEMORY, "out of memory");
}

kalder_result_t kalder_xio_stack_push_driver(kalder_xio_stack_t stack, kalder_xio_driver_t driver)
{
    if (!stack || !driver)
        return error(KALDER_ERROR_PARAMETER, "stack push: null argument");
    if (stack->drivers.size() >= 2)
        return error(KALDER_ERROR_PARAMETER, "stack push: at most two drivers");
    stack->drivers.push_back(driver);
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_stack_destroy(kalder_xio_stack_t stack)
{
    delete stack;
    return KALDER_SUCCESS;
}

// --- attributes -----------------------------------------------------------------

kalder_result_t kalder_xio_attr_init(kalder_xio_attr_t *attr)
{
    if (!attr)
        return error(KALDER_ERROR_PARAMETER, "attr init: null argument");
    *attr = new (std::nothrow) kalder_xio_attr_s;
    return *attr ? KALDER_SUCCESS : error(KALDER_ERROR_MEMORY, "out of memory");
}

kalder_result_t kalder_xio_attr_cntl(kalder_xio_attr_t attr, kalder_xio_driver_t driver, int cmd, ...)
{
    if (!attr)
        return error(KALDER_ERROR_PARAMETER, "attr cntl: null attribute");
    va_list ap;
    va_start(ap, cmd);
    kalder_result_t res = KALDER_SUCCESS;
    if (!driver) {
        if (cmd == KALDER_XIO_ATTR_SET_TIMEOUT) {
            int ms = va_arg(ap, int);
            if (ms < 0)
                res = error(KALDER_ERROR_PARAMETER, "negative timeout %d", ms);
            else
                attr->setup_timeout_ms = attr->io_timeout_ms = ms;
        } else {
            res = error(KALDER_ERROR_PARAMETER, "unknown attribute command %d without a driver", cmd);
        }
    } else if (driver->kind == TCP) {
        switch (cmd) {
            case KALDER_XIO_TCP_SET_INTERFACE: {
                const char *iface = va_arg(ap, const char *);
                in6_addr a6;
                in_addr a4;
                if (!iface || (inet_pton(AF_INET, iface, &a4) != 1 && inet_pton(AF_INET6, iface, &a6) != 1))
                    res = error(KALDER_ERROR_PARAMETER, "interface \"%.64s\" is not a numeric address",
                                iface ? iface : "(null)");
                else
                    attr->interface = iface;
                break;
            }
            case KALDER_XIO_TCP_SET_NO_IPV6:
                attr->no_ipv6 = va_arg(ap, int) != 0;
                break;
            default:
                res = error(KALDER_ERROR_PARAMETER, "unknown tcp attribute command %d", cmd);
        }
    } else {
        switch (cmd) {
            case KALDER_XIO_GSI_SET_CREDENTIAL: {
                gss_cred_id_t cred = va_arg(ap, gss_cred_id_t);
                if (cred == GSS_C_NO_CREDENTIAL) {
                    res = error(KALDER_ERROR_PARAMETER, "no credential given");
                } else {
                    OM_uint32 minor;
                    gss_release_cred(&minor, &attr->cred);
                    attr->cred = kalder_gsi_cred_ref(cred);
                }
                break;
            }
            case KALDER_XIO_GSI_SET_SSL_COMPATIBLE:
                (void)va_arg(ap, int);
                break;
            case KALDER_XIO_GSI_SET_PROTECTION_LEVEL: {
                int level = va_arg(ap, int);
                if (level != KALDER_XIO_GSI_PROTECTION_LEVEL_PRIVACY)
                    res = error(KALDER_ERROR_PARAMETER,
                                "protection level %d is not supported (only privacy, 2)", level);
                break;
            }
            case KALDER_XIO_GSI_SET_AUTHORIZATION_MODE: {
                int mode = va_arg(ap, int);
                if (mode != KALDER_XIO_GSI_SELF_AUTHORIZATION)
                    res = error(KALDER_ERROR_PARAMETER,
                                "authorization mode %d is not supported (only self, 1)", mode);
                break;
            }
            default:
                res = error(KALDER_ERROR_PARAMETER, "unknown gsi attribute command %d", cmd);
        }
    }
    va_end(ap);
    return res;
}

kalder_result_t kalder_xio_attr_destroy(kalder_xio_attr_t attr)
{
    if (attr) {
        OM_uint32 minor;
        gss_release_cred(&minor, &attr->cred);
        delete attr;
    }
    return KALDER_SUCCESS;
}

// --- servers ----------------------------------------------------------------------

kalder_result_t kalder_xio_server_create(kalder_xio_server_t *server, kalder_xio_attr_t attr,
                                         kalder_xio_stack_t stack)
{
    if (!server)
        return error(KALDER_ERROR_PARAMETER, "server create: null argument");
    *server = nullptr;
    auto *s = new (std::nothrow) kalder_xio_server_s;
    if (!s)
        return error(KALDER_ERROR_MEMORY, "out of memory");
    kalder_result_t res = copy_settings(attr, stack, true, &s->settings);
    if (res != KALDER_SUCCESS) {
        delete s;
        return res;
    }
    std::string iface = attr && !attr->interface.empty() ? attr->interface : std::string("127.0.0.1");
    sockaddr_storage ss{};
    socklen_t len;
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, iface.c_str(), &a4) == 1) {
        auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_addr = a4;
        len = sizeof *sin;
    } else if (!s->settings.no_ipv6 && inet_pton(AF_INET6, iface.c_str(), &a6) == 1) {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_addr = a6;
        len = sizeof *sin6;
    } else {
        release_credential(&s->settings);
        delete s;
        return error(KALDER_ERROR_PARAMETER, "cannot listen on interface %s", iface.c_str());
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, 16) != 0) {
        int saved = errno;
        if (fd >= 0)
            close(fd);
        release_credential(&s->settings);
        delete s;
        return error(KALDER_ERROR_SYSTEM, "cannot listen on %s: %s", iface.c_str(), std::strerror(saved));
    }
    s->fd = fd;
    *server = s;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_server_cntl(kalder_xio_server_t server, kalder_xio_driver_t driver, int cmd, ...)
{
    if (!server || !driver || driver->kind != TCP || cmd != KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT)
        return error(KALDER_ERROR_PARAMETER, "server cntl: unsupported command %d", cmd);
    va_list ap;
    va_start(ap, cmd);
    kalder_result_t res = get_contact(server->fd, ap);
    va_end(ap);
    return res;
}

kalder_result_t kalder_xio_server_accept(kalder_xio_handle_t *handle, kalder_xio_server_t server)
{
    if (!handle || !server)
        return error(KALDER_ERROR_PARAMETER, "accept: null argument");
    *handle = nullptr;
    if (!wait_fd(server->fd, POLLIN, server->settings.setup_timeout_ms))
        return error(errno == ETIMEDOUT ? KALDER_ERROR_TIMEOUT : KALDER_ERROR_SYSTEM,
                     "no data connection arrived: %s", std::strerror(errno));
    int fd;
    do {
        fd = accept4(server->fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return error(KALDER_ERROR_SYSTEM, "accept failed: %s", std::strerror(errno));
    auto *h = new (std::nothrow) kalder_xio_handle_s;
    if (!h) {
        close(fd);
        return error(KALDER_ERROR_MEMORY, "out of memory");
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    h->fd = fd;
    h->accepted = true;
    h->settings = server->settings;
    if (h->settings.cred != GSS_C_NO_CREDENTIAL)
        kalder_gsi_cred_ref(h->settings.cred);
    *handle = h;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_server_close(kalder_xio_server_t server)
{
    if (server) {
        if (server->fd >= 0)
            close(server->fd);
        release_credential(&server->settings);
        delete server;
    }
    return KALDER_SUCCESS;
}

// --- handles -----------------------------------------------------------------------

kalder_result_t kalder_xio_handle_create(kalder_xio_handle_t *handle, kalder_xio_stack_t stack)
{
    if (!handle || !stack)
        return error(KALDER_ERROR_PARAMETER, "handle create: null argument");
    *handle = nullptr;
    auto *h = new (std::nothrow) kalder_xio_handle_s;
    if (!h)
        return error(KALDER_ERROR_MEMORY, "out of memory");
    // The stack is checked now; the settings come with the open.
    const auto &d = stack->drivers;
    if (d.empty() || d.size() > 2 || d[0]->kind != TCP || (d.size() == 2 && d[1]->kind != GSI)) {
        delete h;
        return error(KALDER_ERROR_PARAMETER, "the stack must be \"tcp\" or \"tcp\" then \"gsi\"");
    }
    h->settings.gsi = d.size() == 2;
    *handle = h;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_open(kalder_xio_handle_t handle, const char *contact_string,
                                kalder_xio_attr_t attr)
{
    if (!handle)
        return error(KALDER_ERROR_PARAMETER, "open: null handle");
    if (handle->opened)
        return error(KALDER_ERROR_PARAMETER, "open: handle already open");
    if (!handle->accepted) {
        if (handle->fd >= 0)
            return error(KALDER_ERROR_PARAMETER, "open: a failed handle cannot be opened again");
        bool gsi = handle->settings.gsi;
        kalder_xio_attr_s defaults;
        const kalder_xio_attr_s *a = attr ? attr : &defaults;
        Settings s;
        s.gsi = gsi;
        s.no_ipv6 = a->no_ipv6;
        s.setup_timeout_ms = a->setup_timeout_ms;
        s.io_timeout_ms = a->io_timeout_ms;
        if (gsi) {
            kalder_result_t res = take_credential(a, &s.cred);
            if (res != KALDER_SUCCESS)
                return res;
        }
        handle->settings = s;
        kalder_result_t res = connect_to(handle, contact_string);
        if (res != KALDER_SUCCESS)
            return res;
    }
    if (handle->fd < 0)
        return error(KALDER_ERROR_PARAMETER, "open: handle has no connection");
    if (handle->settings.gsi) {
        kalder_result_t res = handshake(handle);
        if (res != KALDER_SUCCESS)
            return res;
    } else {
        set_socket_timeout(handle->fd, handle->settings.io_timeout_ms);
    }
    handle->opened = true;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_read(kalder_xio_handle_t handle, void *buffer, size_t buflen, size_t waitforbytes,
                                size_t *nbytes, kalder_xio_data_descriptor_t)
{
    if (nbytes)
        *nbytes = 0;
    if (!handle || !buffer || !nbytes || waitforbytes > buflen)
        return error(KALDER_ERROR_PARAMETER, "read: invalid arguments");
    if (!handle->opened)
        return error(KALDER_ERROR_PARAMETER, "read: handle not open");
    if (handle->eof)
        return kalder_error_put(kModule, KALDER_ERROR_EOF, "end of file");
    if (handle->broken)
        return error(KALDER_ERROR_SYSTEM, "read: the connection has failed");
    size_t got = 0;
    char *p = static_cast<char *>(buffer);
    do {
        size_t want = buflen - got;
        if (want > INT_MAX)
            want = INT_MAX;
        size_t n = 0;
        if (handle->settings.gsi) {
            int rc = SSL_read_ex(handle->ssl, p + got, want, &n);
            if (rc != 1) {
                int err = SSL_get_error(handle->ssl, 0);
                int saved = errno;
                if (err == SSL_ERROR_ZERO_RETURN) {
                    handle->eof = true;
                    break;
                }
                std::string why = kalder_openssl_errors();
                handle->broken = true;
                if (err == SSL_ERROR_SYSCALL && saved != 0)
                    return socket_error("read", saved);
                return error(KALDER_ERROR_PROTOCOL,
                             "read failed: the connection ended without an orderly close (%s)", why.c_str());
            }
        } else {
            ssize_t rc = recv(handle->fd, p + got, want, 0);
            if (rc < 0) {
                if (errno == EINTR)
                    continue;
                int saved = errno;
                handle->broken = true;
                return socket_error("read", saved);
            }
            if (rc == 0) {
                handle->eof = true;
                break;
            }
            n = static_cast<size_t>(rc);
        }
        got += n;
    } while (got < waitforbytes);
    *nbytes = got;
    if (got == 0 && handle->eof)
        return kalder_error_put(kModule, KALDER_ERROR_EOF, "end of file");
    return KALDER_SUCCESS;
}

namespace {

// More data can be read without waiting for the sender: decrypted or raw
// bytes buffered by TLS, or bytes in the socket.
bool more_arrived(kalder_xio_handle_s *h)
{
    if (h->settings.gsi && SSL_has_pending(h->ssl))
        return true;
    pollfd p{h->fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

}  // namespace

kalder_result_t kalder_xio_read_available(kalder_xio_handle_t handle, void *buffer, size_t buflen,
                                          size_t *nbytes)
{
    if (handle && handle->deferred != KALDER_SUCCESS) {
        if (nbytes)
            *nbytes = 0;
        return std::exchange(handle->deferred, KALDER_SUCCESS);
    }
    kalder_result_t res = kalder_xio_read(handle, buffer, buflen, 1, nbytes, nullptr);
    if (res != KALDER_SUCCESS)
        return res;
    size_t got = *nbytes;
    while (got < buflen && !handle->eof && more_arrived(handle)) {
        size_t n = 0;
        res = kalder_xio_read(handle, static_cast<char *>(buffer) + got, buflen - got, 1, &n, nullptr);
        if (res != KALDER_SUCCESS) {
            // The bytes that arrived go out first; the failure is the
            // answer to the next call.
            if (!kalder_xio_error_is_eof(res))
                handle->deferred = res;
            break;
        }
        got += n;
    }
    *nbytes = got;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_write(kalder_xio_handle_t handle, const void *buffer, size_t buflen, size_t,
                                 size_t *nbytes, kalder_xio_data_descriptor_t)
{
    if (nbytes)
        *nbytes = 0;
    if (!handle || (!buffer && buflen) || !nbytes)
        return error(KALDER_ERROR_PARAMETER, "write: invalid arguments");
    if (!handle->opened)
        return error(KALDER_ERROR_PARAMETER, "write: handle not open");
    if (handle->broken)
        return error(KALDER_ERROR_SYSTEM, "write: the connection has failed");
    SigpipeGuard guard;
    const char *p = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < buflen) {
        size_t want = buflen - done;
        if (want > (1u << 30))
            want = 1u << 30;
        size_t n = 0;
        if (handle->settings.gsi) {
            if (SSL_write_ex(handle->ssl, p + done, want, &n) != 1) {
                int err = SSL_get_error(handle->ssl, 0);
                int saved = errno;
                std::string why = kalder_openssl_errors();
                handle->broken = true;
                *nbytes = done;
                if (err == SSL_ERROR_SYSCALL && saved != 0)
                    return socket_error("write", saved);
                return error(KALDER_ERROR_PROTOCOL, "write failed: %s", why.c_str());
            }
        } else {
            ssize_t rc = send(handle->fd, p + done, want, MSG_NOSIGNAL);
            if (rc < 0) {
                if (errno == EINTR)
                    continue;
                int saved = errno;
                handle->broken = true;
                *nbytes = done;
                return socket_error("write", saved);
            }
            n = static_cast<size_t>(rc);
        }
        done += n;
    }
    *nbytes = done;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_handle_cntl(kalder_xio_handle_t handle, kalder_xio_driver_t driver, int cmd, ...)
{
    if (!handle || handle->fd < 0 || !driver || driver->kind != TCP ||
        cmd != KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT)
        return error(KALDER_ERROR_PARAMETER, "handle cntl: unsupported command %d", cmd);
    va_list ap;
    va_start(ap, cmd);
    kalder_result_t res = get_contact(handle->fd, ap);
    va_end(ap);
    return res;
}

kalder_result_t kalder_xio_handle_cancel(kalder_xio_handle_t handle)
{
    if (!handle)
        return error(KALDER_ERROR_PARAMETER, "cancel: null handle");
    handle->canceled = true;
    if (handle->fd >= 0)
        shutdown(handle->fd, SHUT_RDWR);
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_close(kalder_xio_handle_t handle, kalder_xio_attr_t)
{
    if (!handle)
        return KALDER_SUCCESS;
    if (handle->ssl) {
        if (handle->opened && !handle->broken && !handle->canceled) {
            // Send our close_notify; the peer reads it as the end of the data.
            // A short timeout keeps a stalled peer from holding us here.
            set_socket_timeout(handle->fd, 5000);
            SigpipeGuard guard;
            SSL_shutdown(handle->ssl);
        }
        SSL_free(handle->ssl);
        ERR_clear_error();
    }
    if (handle->fd >= 0)
        close(handle->fd);
    release_credential(&handle->settings);
    delete handle;
    return KALDER_SUCCESS;
}

kalder_bool_t kalder_xio_error_is_eof(kalder_result_t result)
{
    return kalder_error_type(result) == KALDER_ERROR_EOF ? KALDER_TRUE : KALDER_FALSE;
}
