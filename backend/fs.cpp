// Path handling of the back end: request paths, confined opens and the
// site restrictions of guest sessions.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "backend.h"
#include "kalder_digits.h"
#include "kalder_path_rules.h"

namespace backend {

namespace {
constexpr size_t kMaxPath = 4096;
}

bool split_path(const std::string &path, std::vector<std::string> *parts, std::string *why)
{
    parts->clear();
    if (path.empty() || path[0] != '/') {
        *why = "the path must be absolute";
        return false;
    }
    if (path.size() > kMaxPath) {
        *why = "the path is too long";
        return false;
    }
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string c = path.substr(i, j - i);
        if (c == "..") {
            *why = "\"..\" is not allowed in a path";
            return false;
        }
        if (!c.empty() && c != ".")
            parts->push_back(c);
        i = j + 1;
    }
    return true;
}

std::string join_path(const std::vector<std::string> &parts)
{
    if (parts.empty())
        return "/";
    std::string out;
    for (const auto &p : parts) out += "/" + p;
    return out;
}

int open_beneath(int root, const std::vector<std::string> &parts, int flags, mode_t mode)
{
    std::string rel;
    for (const auto &p : parts) rel += (rel.empty() ? "" : "/") + p;
    if (rel.empty())
        rel = ".";
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    // Symbolic links are followed only while they stay beneath the root.
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    long fd;
    do {
        fd = syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how);
    } while (fd < 0 && errno == EAGAIN);
    return static_cast<int>(fd);
}

bool percent_decode(const std::string &in, std::string *out, bool slash_ok)
{
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size())
            return false;
        int hi = hex_digit_value(in[i + 1]), lo = hex_digit_value(in[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0) || (!slash_ok && hi * 16 + lo == '/'))
            return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool parse_restrictions(const std::string &text, std::vector<Restriction> *out, std::string *why)
{
    out->clear();
    if (text.empty())
        return true;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = text.find(',', i);
        if (j == std::string::npos)
            j = text.size();
        std::string entry = text.substr(i, j - i);
        size_t slash = std::min(entry.find('/'), entry.size());
        Restriction r;
        r.perms = entry.substr(0, slash);
        // Refused as the module refuses such a path: an encoded "/" or NUL or
        // a malformed escape. Any other path is only compared, never opened.
        if (!percent_decode(entry.substr(slash), &r.path, false)) {
            *why = "a restriction path has a malformed escape";
            return false;
        }
        out->push_back(r);
        if (j == text.size())
            break;
        i = j + 1;
    }
    return true;
}

bool restriction_allows(const std::vector<Restriction> &rules, const std::string &path, char perm)
{
    kalder_path_rule_match_t match{path};
    const Restriction *deciding = nullptr;
    for (const auto &r : rules)
        if (kalder_path_rule_offer(&match, r.path))
            deciding = &r;
    return deciding && deciding->perms.find(perm) != std::string::npos;
}

std::string restriction_path(const std::string &request_path, const std::vector<std::string> &parts)
{
    std::string path = join_path(parts);
    if (!parts.empty() && request_path.back() == '/')
        path += '/';
    return path;
}

std::string descriptor_path(int fd)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string out(kMaxPath + 1, '\0');
    ssize_t n = readlink(link, out.data(), out.size());
    if (n <= 0 || static_cast<size_t>(n) > kMaxPath || out[0] != '/')
        return "";
    out.resize(static_cast<size_t>(n));
    return out;
}

bool resolved_parts(int fd, const std::string &root_path, std::vector<std::string> *parts)
{
    parts->clear();
    const std::string path = descriptor_path(fd);
    if (path.empty() || root_path.empty())
        return false;
    const std::string root = root_path == "/" ? "" : root_path;
    if (path == root_path)
        return true;
    if (path.compare(0, root.size(), root) != 0 || path.size() <= root.size() || path[root.size()] != '/')
        return false;
    std::string why;
    return split_path(path.substr(root.size()), parts, &why);
}

}  // namespace backend
