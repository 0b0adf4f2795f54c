// The XIO library's own objects, shared by its sources: drivers, stacks
// and attributes (stack.cpp), servers (server.cpp), handles and their I/O
// (handle.cpp) and the TLS layer of the "gsi" driver (tls.cpp).
// All calls are blocking on the caller's thread; waits are bounded by the
// attribute's timeouts through poll() and socket timeouts.
#ifndef KALDER_XIO_INTERNAL_H
#define KALDER_XIO_INTERNAL_H

#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

#include "kalder_net.h"
#include "kalder_xio.h"

struct ssl_st;

namespace xio_detail {
inline constexpr const char *kModule = "kalder_xio";
enum DriverKind { TCP = 0, GSI = 1 };
inline constexpr int kDefaultSetupTimeoutMs = 60000;

// Settings shared by a server and the handles it accepts, and by a client
// handle: copied out of the attribute so it can be destroyed at once.
struct Settings {
    bool gsi = false;
    bool no_ipv6 = false;
    int setup_timeout_ms = kDefaultSetupTimeoutMs;
    int io_timeout_ms = 0;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;  // own reference (gsi only)
};
}  // namespace xio_detail

struct kalder_xio_driver_s {
    xio_detail::DriverKind kind;
};

struct kalder_xio_stack_s {
    std::vector<kalder_xio_driver_t> drivers;  // bottom first
};

struct kalder_xio_attr_s {
    std::string interface;
    bool no_ipv6 = false;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;  // own reference
    int setup_timeout_ms = xio_detail::kDefaultSetupTimeoutMs;
    int io_timeout_ms = 0;
};

struct kalder_xio_server_s {
    kalder::UniqueFd fd;
    xio_detail::Settings settings;
};

struct kalder_xio_handle_s {
    kalder::UniqueFd fd;
    bool accepted = false;  // came from a server: open runs the server handshake
    bool opened = false;
    bool eof = false;
    bool broken = false;                        // a fatal TLS error: no orderly close is attempted
    kalder_result_t deferred = KALDER_SUCCESS;  // a read failure held back behind bytes already returned
    std::atomic<bool> canceled{false};          // set by kalder_xio_handle_cancel from any thread
    xio_detail::Settings settings;
    ssl_st *ssl = nullptr;
};

namespace xio_detail {

// An error object of this library with a printf-style text.
kalder_result_t error(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A failed read or write on the socket: a timeout (the socket's time limit
// ran out) or the system's own error.
kalder_result_t socket_error(const char *op, int saved);
void set_socket_timeout(int fd, int ms);
// Wait until fd is ready for `events`; false with errno ETIMEDOUT on time-out.
bool wait_fd(int fd, short events, int timeout_ms);
// The KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT answer for a socket.
kalder_result_t get_contact(int fd, va_list ap);

// Takes a reference to the attribute's credential for the settings.
kalder_result_t take_credential(const kalder_xio_attr_s *attr, gss_cred_id_t *out);
void release_credential(Settings *s);
kalder_result_t copy_settings(const kalder_xio_attr_s *attr, const kalder_xio_stack_s *stack, bool server,
                              Settings *s);

// Runs the TLS handshake of an open "gsi" handle (tls.cpp).
kalder_result_t handshake(kalder_xio_handle_s *h);

// Block SIGPIPE on this thread for the guard's life and swallow one that a
// write raised meanwhile, so a peer that went away gives EPIPE, not death.
class SigpipeGuard {
   public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

   private:
    sigset_t old_;
    bool blocked_ = false;
    bool was_pending_ = false;
};

}  // namespace xio_detail

#endif
