// Digests (OpenSSL EVP) and the version 2 stat and validator fields.
#include <string>

#include "session.h"

namespace backend::detail {

namespace {

// The algorithms by their names on the wire.
const EVP_MD *digest_by_name(const std::string &algorithm)
{
    if (algorithm == "sha-256")
        return EVP_sha256();
    if (algorithm == "sha-512")
        return EVP_sha512();
    return nullptr;
}

}  // namespace

bool Hasher::start(const std::string &algorithm)
{
    ctx_.reset();
    const EVP_MD *md = digest_by_name(algorithm);
    if (!md)
        return false;
    ctx_.reset(EVP_MD_CTX_new());
    if (ctx_ && EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1)
        ctx_.reset();
    return ctx_ != nullptr;
}

void Hasher::update(const void *data, size_t len)
{
    if (ctx_)
        EVP_DigestUpdate(ctx_.get(), data, len);
}

std::string Hasher::finish()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    std::string hex;
    if (ctx_ && EVP_DigestFinal_ex(ctx_.get(), md, &len) == 1) {
        static const char digits[] = "0123456789abcdef";
        for (unsigned int i = 0; i < len; ++i) {
            hex.push_back(digits[md[i] >> 4]);
            hex.push_back(digits[md[i] & 15]);
        }
    }
    ctx_.reset();
    return hex;
}

size_t digest_hex_length(const std::string &algorithm)
{
    const EVP_MD *md = digest_by_name(algorithm);
    return md ? 2 * static_cast<size_t>(EVP_MD_get_size(md)) : 0;
}

bool lowercase_hex(const std::string &text, size_t len)
{
    if (text.size() != len)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

kalder_ipc::StatEntry stat_entry(const struct stat &st, const std::string &name)
{
    kalder_ipc::StatEntry e;
    e.mode = st.st_mode;
    e.nlink = static_cast<uint32_t>(st.st_nlink);
    e.uid = st.st_uid;
    e.gid = st.st_gid;
    e.size = st.st_size;
    e.atime = st.st_atime;
    e.mtime = st.st_mtime;
    e.ctime = st.st_ctime;
    e.name = name;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    e.mtime_nsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    return e;
}

bool same_file(const kalder_ipc::Validator &v, const struct stat &st)
{
    return v.dev == st.st_dev && v.ino == st.st_ino && v.size == st.st_size && v.mtime == st.st_mtim.tv_sec &&
           v.mtime_nsec == static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

bool changed_in_place(const struct stat &before, const struct stat &after)
{
    return before.st_size != after.st_size || before.st_mtim.tv_sec != after.st_mtim.tv_sec ||
           before.st_mtim.tv_nsec != after.st_mtim.tv_nsec;
}

}  // namespace backend::detail
