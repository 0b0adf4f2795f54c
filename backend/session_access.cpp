// What a guest session may reach: its site restrictions, checked on the
// request's path and again on where an open descriptor really is.
#include <sys/stat.h>

#include "session.h"

namespace backend::detail {

// A guest session does what its site restrictions allow on the request path.
// The module's directory walk ("prepare") stats and makes each parent as
// "/a", while rules name a directory's contents "/a/": for a stat or a make
// directory (`names_directory`) the name with a trailing "/" counts as well.
bool Session::permitted(const std::string &request_path, const std::vector<std::string> &parts, char perm,
                        bool names_directory, std::string *why)
{
    if (!guest_)
        return true;
    std::string path = restriction_path(request_path, parts);
    if (restricted_ &&
        (restriction_allows(rules_, path, perm) ||
         (names_directory && path.back() != '/' && restriction_allows(rules_, path + "/", perm))))
        return true;
    *why = join_path(parts) + ": Permission denied";
    return false;
}

// The same decision for where an open descriptor really is (plus `leaf`,
// a name inside it, when it is the parent of the request's object): a link
// inside a share may lead to a part of it that the guest may not reach. The
// refusal names the request's path, not where the link led.
bool Session::permitted_at(int fd, const std::string &leaf, const std::string &request_path,
                           const std::vector<std::string> &parts, char perm, bool names_directory,
                           std::string *why)
{
    if (!guest_)
        return true;
    std::vector<std::string> real;
    std::string ignored;
    if (resolved_parts(fd, root_path_, &real)) {
        if (!leaf.empty())
            real.push_back(leaf);
        std::string as_requested = join_path(real);
        if (!real.empty() && request_path.back() == '/')
            as_requested += '/';
        if (permitted(as_requested, real, perm, names_directory, &ignored))
            return true;
    }
    *why = join_path(parts) + ": Permission denied";
    return false;
}

bool special_file(mode_t mode)
{
    return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode);
}

}  // namespace backend::detail
