// Digests and directory listings of a back-end session (protocol version
// 2). Both run on the session's thread: a digest reads the whole file, so
// the session answers nothing else meanwhile (the module asks for one
// before a transfer, not during one).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "session.h"

namespace backend::detail {

namespace {

inline constexpr uint32_t kMaxListLimit = 1000;
// A page's entries stay this far below the frame bound (names can be long).
inline constexpr size_t kListBudget = kalder_ipc::kMaxPayload - 3 * kalder_ipc::kMaxPath;

// The receive's temporary files: ".NAME.kalder-RANDOM.part" (transfer.cpp).
bool temporary_name(std::string_view name)
{
    return name.size() > 1 && name[0] == '.' && name.ends_with(".part") &&
           name.find(".kalder-") != std::string_view::npos;
}

struct DirClose {
    void operator()(DIR *d) const { closedir(d); }
};

// The names in directory `fd`, without "." and ".." and temporaries, sorted
// bytewise. False with errno when the directory cannot be read.
bool directory_names(int fd, std::vector<std::string> *names)
{
    int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0)
        return false;
    std::unique_ptr<DIR, DirClose> dir(fdopendir(dup_fd));
    if (!dir) {
        int saved = errno;
        close(dup_fd);
        errno = saved;
        return false;
    }
    errno = 0;
    while (dirent *e = readdir(dir.get())) {
        std::string_view name = e->d_name;
        if (name != "." && name != ".." && !temporary_name(name))
            names->emplace_back(name);
        errno = 0;
    }
    if (errno != 0)
        return false;
    std::sort(names->begin(), names->end());  // std::string compares bytewise
    return true;
}

}  // namespace

void Session::handle_digest(const Message &m)
{
    auto fail = [&](uint32_t code, const std::string &text) {
        reply_error(m.id, KALDER_GFS_OP_DIGEST, code, text);
    };
    std::vector<std::string> parts;
    std::string why;
    if (!split_path(m.pathname, &parts, &why))
        return fail(E_INVALID, m.pathname.substr(0, 256) + ": " + why);
    const std::string path = join_path(parts);
    Hasher hasher;
    if (!hasher.start(m.checksum_alg))
        return fail(E_INVALID, "Unsupported digest algorithm \"" + m.checksum_alg.substr(0, 32) + "\".");
    // A digest reads the file: the guest needs what a send needs.
    if (!permitted(m.pathname, parts, 'r', false, &why))
        return fail(E_DENIED, why);
    // Without blocking, as a send: opening a FIFO for reading would wait.
    kalder::UniqueFd fd(open_beneath(root_, parts, O_RDONLY | O_NONBLOCK));
    if (!fd)
        return fail(errno == ENOENT ? E_NOT_FOUND : E_FAILED, path + ": " + std::strerror(errno));
    if (!permitted_at(fd.get(), "", m.pathname, parts, 'r', false, &why))
        return fail(E_DENIED, why);
    struct stat before;
    if (fstat(fd.get(), &before) != 0)
        return fail(E_FAILED, path + ": " + std::strerror(errno));
    if (!S_ISREG(before.st_mode))
        return fail(E_NOT_FOUND, path + ": " + std::strerror(ENOENT));
    std::unique_ptr<char[]> buf(new char[kIoChunk]);
    for (int64_t off = 0;;) {
        ssize_t got = pread(fd.get(), buf.get(), kIoChunk, off);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(E_FAILED, path + ": " + std::strerror(errno));
        if (got == 0)
            break;
        hasher.update(buf.get(), static_cast<size_t>(got));
        off += got;
    }
    // The digest is of the file the stat entry describes only if nothing
    // wrote to it while it was read.
    struct stat after;
    if (fstat(fd.get(), &after) != 0)
        return fail(E_FAILED, path + ": " + std::strerror(errno));
    if (changed_in_place(before, after))
        return fail(E_CHANGED, path + ": changed while it was being read");
    Message r;
    r.type = kalder_ipc::REPLY;
    r.id = m.id;
    r.op = KALDER_GFS_OP_DIGEST;
    r.checksum_alg = m.checksum_alg;
    r.checksum = hasher.finish();
    r.stats.push_back(stat_entry(after, parts.empty() ? "/" : parts.back()));
    send_msg(r);
}

void Session::handle_list(const Message &m)
{
    auto fail = [&](uint32_t code, const std::string &text) {
        reply_error(m.id, KALDER_GFS_OP_LIST, code, text);
    };
    std::vector<std::string> parts;
    std::string why;
    if (!split_path(m.pathname, &parts, &why))
        return fail(E_INVALID, m.pathname.substr(0, 256) + ": " + why);
    const std::string path = join_path(parts);
    if (m.limit < 1 || m.limit > kMaxListLimit)
        return fail(E_INVALID, "The list limit must be 1 to " + std::to_string(kMaxListLimit) + ".");
    // The directory itself is checked as a stat of it: "r" for PATH or PATH/.
    if (!permitted(m.pathname, parts, 'r', true, &why))
        return fail(E_DENIED, why);
    kalder::UniqueFd dir(open_beneath(root_, parts, O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (!dir) {
        int saved = errno;
        if (saved == ENOTDIR)
            return fail(E_INVALID, path + ": Not a directory");
        return fail(saved == ENOENT ? E_NOT_FOUND : E_FAILED, path + ": " + std::strerror(saved));
    }
    if (!permitted_at(dir.get(), "", m.pathname, parts, 'r', true, &why))
        return fail(E_DENIED, why);
    std::vector<std::string> names;
    if (!directory_names(dir.get(), &names))
        return fail(E_FAILED, path + ": " + std::strerror(errno));

    Message r;
    r.type = kalder_ipc::REPLY;
    r.id = m.id;
    r.op = KALDER_GFS_OP_LIST;
    size_t bytes = 0;
    std::vector<std::string> entry_parts = parts, real_parts;
    entry_parts.emplace_back();
    // A guest's entries are checked where the directory really is as well,
    // as a stat of each would be (permitted_at).
    if (guest_ && !resolved_parts(dir.get(), root_path_, &real_parts))
        return fail(E_DENIED, path + ": Permission denied");
    real_parts.emplace_back();
    for (auto it = std::upper_bound(names.begin(), names.end(), m.after); it != names.end(); ++it) {
        if (r.stats.size() == m.limit || bytes + 80 + it->size() > kListBudget) {
            r.next = r.stats.back().name;  // more remain: the next page starts after the last one sent
            break;
        }
        entry_parts.back() = *it;
        const std::string entry_path = join_path(entry_parts);
        // Listed only when a stat of PATH/NAME would be allowed.
        real_parts.back() = *it;
        if (!permitted(entry_path, entry_parts, 'r', true, &why) ||
            !permitted(join_path(real_parts), real_parts, 'r', true, &why))
            continue;
        struct stat st;
        if (fstatat(dir.get(), it->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone meanwhile
        if (S_ISLNK(st.st_mode)) {
            // A link is what it leads to, when that stays inside the root;
            // for a guest, where it leads must be allowed too.
            kalder::UniqueFd target(open_beneath(root_, entry_parts, O_PATH));
            if (!target || fstat(target.get(), &st) != 0 ||
                !permitted_at(target.get(), "", entry_path, entry_parts, 'r', true, &why))
                continue;
        }
        if (special_file(st.st_mode))
            continue;
        r.stats.push_back(stat_entry(st, *it));
        bytes += 80 + it->size();
    }
    send_msg(r);
}

}  // namespace backend::detail
