// Contacts: "unix:/PATH" or "HOST:PORT" for a back end, "HOST:PORT" or
// "[V6]:PORT" for a data channel.
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "kalder_net.h"

namespace kalder {

namespace {

constexpr size_t kMaxDataContact = 512;

// 1 to 65535, in at most five decimal digits.
bool valid_port(const std::string &port)
{
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long p = std::stoul(port);
    return p >= 1 && p <= 65535;
}

// "host:port" or "[v6]:port", one colon outside the brackets.
bool parse_data_channel(const std::string &c, Contact *out, std::string *why)
{
    *why = "malformed contact \"" + c.substr(0, 100) + "\"";
    if (c.empty() || c.size() > kMaxDataContact || c.find('\0') != std::string::npos)
        return false;
    std::string host;
    size_t colon;
    if (c[0] == '[') {
        size_t close = c.find(']');
        if (close == std::string::npos || close + 1 >= c.size() || c[close + 1] != ':')
            return false;
        host = c.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = c.rfind(':');
        if (colon == std::string::npos || c.find(':') != colon)
            return false;
        host = c.substr(0, colon);
    }
    std::string port = c.substr(colon + 1);
    if (host.empty() || !valid_port(port))
        return false;
    why->clear();
    out->host = host;
    out->port = port;
    return true;
}

bool parse_backend(const std::string &text, Contact *out, std::string *why)
{
    const std::string quoted = "\"" + text.substr(0, 100) + (text.size() > 100 ? "...\"" : "\"");
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
    if (!valid_port(port)) {
        *why = "malformed back-end contact " + quoted + ": the port must be a number from 1 to 65535";
        return false;
    }
    out->host = host;
    out->port = port;
    return true;
}

}  // namespace

bool parse_contact(const std::string &text, Contact *out, std::string *why, ContactForm form)
{
    *out = Contact{};
    return form == ContactForm::DATA_CHANNEL ? parse_data_channel(text, out, why)
                                             : parse_backend(text, out, why);
}

}  // namespace kalder
