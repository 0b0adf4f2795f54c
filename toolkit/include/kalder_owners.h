// Owners for the toolkit's handles in C++ code, and scoped locking of a
// kalder_mutex_t: whatever path leaves the scope releases the handle or
// restores the lock.
#ifndef KALDER_OWNERS_H
#define KALDER_OWNERS_H

#include <memory>

#include "kalder_common.h"
#include "kalder_gssapi_gsi.h"
#include "kalder_net.h"
#include "kalder_xio.h"

namespace kalder {

struct XioHandleClose {
    void operator()(kalder_xio_handle_t h) const { kalder_xio_close(h, nullptr); }
};
struct XioServerClose {
    void operator()(kalder_xio_server_t s) const { kalder_xio_server_close(s); }
};
struct XioAttrDestroy {
    void operator()(kalder_xio_attr_t a) const { kalder_xio_attr_destroy(a); }
};
struct XioStackDestroy {
    void operator()(kalder_xio_stack_t s) const { kalder_xio_stack_destroy(s); }
};
struct XioDriverUnload {
    void operator()(kalder_xio_driver_t d) const { kalder_xio_driver_unload(d); }
};
struct CredRelease {
    void operator()(gss_cred_id_t c) const
    {
        OM_uint32 minor = 0;
        gss_release_cred(&minor, &c);
    }
};

using XioHandle = std::unique_ptr<kalder_xio_handle_s, XioHandleClose>;
using XioServer = std::unique_ptr<kalder_xio_server_s, XioServerClose>;
using XioAttr = std::unique_ptr<kalder_xio_attr_s, XioAttrDestroy>;
using XioStack = std::unique_ptr<kalder_xio_stack_s, XioStackDestroy>;
using XioDriver = std::unique_ptr<kalder_xio_driver_s, XioDriverUnload>;
using Cred = std::unique_ptr<gss_cred_id_struct, CredRelease>;

// Holds a kalder_mutex_t for its scope.
class KalderMutexLock {
   public:
    explicit KalderMutexLock(kalder_mutex_t &m) : m_(m) { kalder_mutex_lock(&m_); }
    ~KalderMutexLock() { kalder_mutex_unlock(&m_); }
    KalderMutexLock(const KalderMutexLock &) = delete;
    KalderMutexLock &operator=(const KalderMutexLock &) = delete;

   private:
    kalder_mutex_t &m_;
};

// Releases a held kalder_mutex_t for its scope -- around a blocking call
// that must not run under the lock -- and takes it again on every way out.
class KalderMutexUnlock {
   public:
    explicit KalderMutexUnlock(kalder_mutex_t &m) : m_(m) { kalder_mutex_unlock(&m_); }
    ~KalderMutexUnlock() { kalder_mutex_lock(&m_); }
    KalderMutexUnlock(const KalderMutexUnlock &) = delete;
    KalderMutexUnlock &operator=(const KalderMutexUnlock &) = delete;

   private:
    kalder_mutex_t &m_;
};

}  // namespace kalder

#endif
