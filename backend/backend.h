// kalder-backend: the back-end data server behind the IPC client.
#ifndef KALDER_BACKEND_H
#define KALDER_BACKEND_H

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace backend {

struct Options {
    std::string listen;                 // "unix:/PATH" or "host:port"
    int root_fd = -1;                   // O_PATH directory of --root
    std::map<std::string, int> shares;  // sharing id -> O_PATH directory
    std::set<std::string> allow;        // identity names allowed on the mapped collection
    int max_sessions = 64;
    int idle_timeout_s = 600;        // a session with nothing to do ends after this
    int io_timeout_s = 300;          // data-channel reads and writes
    int64_t cut_receive_after = -1;  // test hook: a receive fails past this many bytes (-1: never)
};

extern Options g_options;
extern std::atomic<bool> g_stopping;

void log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Serve one IPC connection until it ends. `fd` is owned by the caller.
void serve_session(int fd);

// --- paths (fs.cpp) --------------------------------------------------------

// A request path split into normalised components ("/a//b/" -> a, b).
// False with a reason for anything unusable: not absolute, "..", too long.
bool split_path(const std::string &path, std::vector<std::string> *parts, std::string *why);
// "/" + parts joined by "/".
std::string join_path(const std::vector<std::string> &parts);

// Open `parts` beneath `root` (no "..", no symbolic link leading out of the
// root, no magic links). Returns a descriptor or -1 with errno.
int open_beneath(int root, const std::vector<std::string> &parts, int flags, mode_t mode = 0);

// Site restrictions of a guest session: "r/a/,rw/b/", each entry the
// permission letters up to its first "/" and from there its percent-encoded
// path (an entry without "/" has an empty path). They are decided exactly as
// the module decides its effective permissions (kalder_path_rules.h).
struct Restriction {
    std::string perms;
    std::string path;  // decoded; empty for an entry without "/"
};
bool parse_restrictions(const std::string &text, std::vector<Restriction> *out, std::string *why);
// Whether `perm` ('r' or 'w') is granted on `path` (see restriction_path).
bool restriction_allows(const std::vector<Restriction> &rules, const std::string &path, char perm);
// The path a request is checked against: the normalised path, with the
// request's trailing "/" kept ("/a/" is what the module checked for "/a/").
std::string restriction_path(const std::string &request_path, const std::vector<std::string> &parts);

// Where an open descriptor beneath `root_path` (the root's own resolved
// path) really is, as components relative to the root: after the links
// that led there. False when the kernel cannot tell, or the place is not
// beneath the root.
bool resolved_parts(int fd, const std::string &root_path, std::vector<std::string> *parts);

// The resolved path of an open descriptor ("" when the kernel cannot tell).
std::string descriptor_path(int fd);

// Decode %XX escapes; false for a malformed escape or an encoded NUL, and
// with `slash_ok` false also for an encoded "/".
bool percent_decode(const std::string &in, std::string *out, bool slash_ok = true);

}  // namespace backend

#endif
