// Handles of the data channel: connecting, the handshake's start, reads,
// writes, cancelling and closing.
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "kalder_net.h"
#include "xio_internal.h"

namespace xio_detail {

kalder_result_t error(int type, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    kalder_result_t r = kalder_error_vput(kModule, type, fmt, ap);
    va_end(ap);
    return r;
}

kalder_result_t socket_error(const char *op, int saved)
{
    if (saved == EAGAIN || saved == EWOULDBLOCK)
        return error(KALDER_ERROR_TIMEOUT, "%s timed out", op);
    return error(KALDER_ERROR_SYSTEM, "%s failed: %s", op, std::strerror(saved));
}

void set_socket_timeout(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

namespace {

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
    h->fd = std::move(fd);
    return KALDER_SUCCESS;
}

}  // namespace

}  // namespace xio_detail

using namespace xio_detail;

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
        if (handle->fd)
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
    if (!handle->fd)
        return error(KALDER_ERROR_PARAMETER, "open: handle has no connection");
    if (handle->settings.gsi) {
        kalder_result_t res = handshake(handle);
        if (res != KALDER_SUCCESS)
            return res;
    } else {
        set_socket_timeout(handle->fd.get(), handle->settings.io_timeout_ms);
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
            ssize_t rc = recv(handle->fd.get(), p + got, want, 0);
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
    pollfd p{h->fd.get(), POLLIN, 0};
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
            ssize_t rc = send(handle->fd.get(), p + done, want, MSG_NOSIGNAL);
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
    if (!handle || !handle->fd || !driver || driver->kind != TCP ||
        cmd != KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT)
        return error(KALDER_ERROR_PARAMETER, "handle cntl: unsupported command %d", cmd);
    va_list ap;
    va_start(ap, cmd);
    kalder_result_t res = get_contact(handle->fd.get(), ap);
    va_end(ap);
    return res;
}

kalder_result_t kalder_xio_handle_cancel(kalder_xio_handle_t handle)
{
    if (!handle)
        return error(KALDER_ERROR_PARAMETER, "cancel: null handle");
    handle->canceled = true;
    if (handle->fd)
        shutdown(handle->fd.get(), SHUT_RDWR);
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
            set_socket_timeout(handle->fd.get(), 5000);
            SigpipeGuard guard;
            SSL_shutdown(handle->ssl);
        }
        SSL_free(handle->ssl);
        ERR_clear_error();
    }
    release_credential(&handle->settings);
    delete handle;
    return KALDER_SUCCESS;
}

kalder_bool_t kalder_xio_error_is_eof(kalder_result_t result)
{
    return kalder_error_type(result) == KALDER_ERROR_EOF ? KALDER_TRUE : KALDER_FALSE;
}
