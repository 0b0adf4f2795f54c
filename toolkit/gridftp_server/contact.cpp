// Back-end contacts: "unix:/PATH" or "HOST:PORT" (kalder_ipc_wire.h).
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "kalder_gridftp_server.h"
#include "kalder_ipc_wire.h"

namespace kalder_ipc {

bool parse_contact(const std::string &text, Contact *out, std::string *why)
{
    const std::string quoted = "\"" + text.substr(0, 100) + (text.size() > 100 ? "...\"" : "\"");
    *out = Contact{};
    if (text.find('\0') != std::string::npos) {
        *why = "malformed back-end contact " + quoted + ": it contains a NUL byte";
        return false;
    }
    static const std::string kUnix = "unix:";
    if (text.compare(0, kUnix.size(), kUnix) == 0) {
        std::string path = text.substr(kUnix.size());
        if (path.empty()) {
            *why = "malformed back-end contact " + quoted + ": unix: needs the socket's path";
            return false;
        }
        if (path.front() != '/') {
            *why = "malformed back-end contact " + quoted + ": the socket path must be absolute";
            return false;
        }
        // sun_path holds the path and its terminating NUL.
        if (path.size() >= sizeof(sockaddr_un::sun_path)) {
            *why = "malformed back-end contact " + quoted + ": the socket path is " +
                   std::to_string(path.size()) + " bytes long, at most " +
                   std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " fit";
            return false;
        }
        out->unix_socket = true;
        out->path = path;
        return true;
    }
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        *why = "malformed back-end contact " + quoted + ": expected HOST:PORT or unix:/PATH";
        return false;
    }
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    bool digits =
        !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535) {
        *why = "malformed back-end contact " + quoted + ": the port must be a number from 1 to 65535";
        return false;
    }
    out->host = host;
    out->port = port;
    return true;
}

}  // namespace kalder_ipc

kalder_bool_t kalder_gfs_ipc_contact_valid(const char *contact, char *why, size_t why_len)
{
    kalder_ipc::Contact c;
    std::string reason;
    if (contact && kalder_ipc::parse_contact(contact, &c, &reason))
        return KALDER_TRUE;
    if (!contact)
        reason = "no back-end contact";
    if (why && why_len > 0) {
        size_t n = reason.size() < why_len - 1 ? reason.size() : why_len - 1;
        reason.copy(why, n);
        why[n] = '\0';
    }
    return KALDER_FALSE;
}
