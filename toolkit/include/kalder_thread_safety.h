// Clang's thread-safety annotations (checked with -Wthread-safety in the
// clang build); with other compilers they expand to nothing.
#ifndef KALDER_THREAD_SAFETY_H
#define KALDER_THREAD_SAFETY_H

#include <mutex>

#if defined(__clang__)
#define KALDER_TSA(x) __attribute__((x))
#else
#define KALDER_TSA(x)
#endif

#define KALDER_CAPABILITY(name) KALDER_TSA(capability(name))
#define KALDER_SCOPED_CAPABILITY KALDER_TSA(scoped_lockable)
#define KALDER_GUARDED_BY(m) KALDER_TSA(guarded_by(m))
#define KALDER_PT_GUARDED_BY(m) KALDER_TSA(pt_guarded_by(m))
#define KALDER_REQUIRES(...) KALDER_TSA(requires_capability(__VA_ARGS__))
#define KALDER_ACQUIRE(...) KALDER_TSA(acquire_capability(__VA_ARGS__))
#define KALDER_RELEASE(...) KALDER_TSA(release_capability(__VA_ARGS__))
#define KALDER_EXCLUDES(...) KALDER_TSA(locks_excluded(__VA_ARGS__))
#define KALDER_NO_THREAD_SAFETY_ANALYSIS KALDER_TSA(no_thread_safety_analysis)

namespace kalder {

// A std::mutex the analysis knows about.
class KALDER_CAPABILITY("mutex") Mutex {
   public:
    void lock() KALDER_ACQUIRE() { m_.lock(); }
    void unlock() KALDER_RELEASE() { m_.unlock(); }
    std::mutex &native() { return m_; }

   private:
    std::mutex m_;
};

// Holds a Mutex for its scope.
class KALDER_SCOPED_CAPABILITY MutexLock {
   public:
    explicit MutexLock(Mutex &m) KALDER_ACQUIRE(m) : m_(m) { m_.lock(); }
    ~MutexLock() KALDER_RELEASE() { m_.unlock(); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

   private:
    Mutex &m_;
};

}  // namespace kalder

#endif
