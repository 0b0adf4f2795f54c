// Listening servers of the data channel, and the settings a server and
// its handles share.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "xio_internal.h"

namespace xio_detail {

namespace {

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

}  // namespace

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

}  // namespace xio_detail

using namespace xio_detail;

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
    kalder::UniqueFd fd(socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd.get(), 16) != 0) {
        int saved = errno;
        fd.reset();
        release_credential(&s->settings);
        delete s;
        return error(KALDER_ERROR_SYSTEM, "cannot listen on %s: %s", iface.c_str(), std::strerror(saved));
    }
    s->fd = std::move(fd);
    *server = s;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_server_cntl(kalder_xio_server_t server, kalder_xio_driver_t driver, int cmd, ...)
{
    if (!server || !driver || driver->kind != TCP || cmd != KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT)
        return error(KALDER_ERROR_PARAMETER, "server cntl: unsupported command %d", cmd);
    va_list ap;
    va_start(ap, cmd);
    kalder_result_t res = get_contact(server->fd.get(), ap);
    va_end(ap);
    return res;
}

kalder_result_t kalder_xio_server_accept(kalder_xio_handle_t *handle, kalder_xio_server_t server)
{
    if (!handle || !server)
        return error(KALDER_ERROR_PARAMETER, "accept: null argument");
    *handle = nullptr;
    if (!wait_fd(server->fd.get(), POLLIN, server->settings.setup_timeout_ms))
        return error(errno == ETIMEDOUT ? KALDER_ERROR_TIMEOUT : KALDER_ERROR_SYSTEM,
                     "no data connection arrived: %s", std::strerror(errno));
    int accepted;
    do {
        accepted = accept4(server->fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    kalder::UniqueFd fd(accepted);
    if (!fd)
        return error(KALDER_ERROR_SYSTEM, "accept failed: %s", std::strerror(errno));
    auto *h = new (std::nothrow) kalder_xio_handle_s;
    if (!h)
        return error(KALDER_ERROR_MEMORY, "out of memory");
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    h->fd = std::move(fd);
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
        release_credential(&server->settings);
        delete server;
    }
    return KALDER_SUCCESS;
}
