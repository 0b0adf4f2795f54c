// Owning handles for the C libraries the module calls. Each alias frees its
// handle with the library's own release function on every exit; pool memory
// is never held by these.
#ifndef MOD_KALDER_RAII_H
#define MOD_KALDER_RAII_H

#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace kalder {

template <auto Fn>
struct Deleter {
    template <typename T>
    void operator()(T *p) const noexcept
    {
        if (p)
            Fn(p);
    }
};

using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;

// free() owner for buffers of the malloc family.
struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace kalder

#endif
