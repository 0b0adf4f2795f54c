// Sockets shared by the toolkit and the back end: an owned descriptor, the
// one parser of contacts ("unix:/PATH", "HOST:PORT", "[V6]:PORT") and the
// one connect with a time limit.
#ifndef KALDER_NET_H
#define KALDER_NET_H

#include <string>
#include <utility>

namespace kalder {

// Owns a file descriptor: closes it when destroyed or reset. Closing keeps
// errno, so a caller can report the failure that made it give up the
// descriptor after the owner has closed it.
class UniqueFd {
   public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and holds `fd` instead.
    void reset(int fd = -1);

   private:
    int fd_ = -1;
};

// Where a peer is reached.
struct Contact {
    bool unix_socket = false;
    std::string path;  // unix: an absolute path that fits a socket address
    std::string host;  // TCP: host name or address, without brackets
    std::string port;  // TCP: decimal, 1 to 65535
};

enum class ContactForm {
    // A back end: "unix:/PATH" or "HOST:PORT" (an IPv6 address in
    // brackets, or bare: the last colon ends the host).
    BACKEND,
    // A data channel: "HOST:PORT" or "[V6]:PORT" only, at most 512 bytes,
    // one colon outside brackets.
    DATA_CHANNEL,
};

// Only the form is checked: nothing is resolved or connected. False with a
// reason that quotes the contact (shortened) for anything else.
bool parse_contact(const std::string &text, Contact *out, std::string *why,
                   ContactForm form = ContactForm::BACKEND);

// Why a connect failed: the host did not resolve (a getaddrinfo code), or
// the last attempt failed (an errno value; ETIMEDOUT when time ran out).
struct ConnectFailure {
    int resolve = 0;
    int error = 0;
    std::string text() const;  // the system's description of the one set
};

struct ConnectOptions {
    int timeout_ms = 0;        // 0: no limit of ours, only the system's own
    bool ipv4_only = false;    // TCP: resolve to IPv4 addresses only
    bool nonblocking = false;  // the state of the descriptor returned
};

// Connects a stream socket to `where`. TCP tries each resolved address in
// turn, each within the time limit, and sets TCP_NODELAY; a Unix-domain
// connect waits (within the limit) only while the listener's queue is full.
// An empty descriptor on failure, with the reason in *failure.
UniqueFd connect_stream(const Contact &where, const ConnectOptions &options, ConnectFailure *failure);

}  // namespace kalder

#endif
