// The data channel's per-request credential and the per-process pool of
// ready ones (see credential.h).
#define KALDER_SOURCE "handler"
#include "credential.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <vector>

#include "kalder_thread_safety.h"
#include "raii.h"

namespace {

// Stops an RSA key generation midway when the pool is shutting down.
int keygen_progress(EVP_PKEY_CTX *ctx)
{
    const auto *stop = static_cast<const std::atomic<bool> *>(EVP_PKEY_CTX_get_app_data(ctx));
    return stop && stop->load(std::memory_order_relaxed) ? 0 : 1;
}

EVP_PKEY *generate_key(DataChannelKey type, const std::atomic<bool> *stop)
{
    const bool rsa = type == DATA_CHANNEL_KEY_RSA2048;
    kalder::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, rsa ? "RSA" : "EC", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0)
        return nullptr;
    if (rsa ? EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) <= 0
            : EVP_PKEY_CTX_set_group_name(ctx.get(), "P-256") <= 0)
        return nullptr;
    if (stop) {
        EVP_PKEY_CTX_set_app_data(ctx.get(), const_cast<std::atomic<bool> *>(stop));
        EVP_PKEY_CTX_set_cb(ctx.get(), keygen_progress);
    }
    EVP_PKEY *key = nullptr;
    return EVP_PKEY_generate(ctx.get(), &key) > 0 ? key : nullptr;
}

DcscBuild build(DataChannelKey type, const std::atomic<bool> *stop)
{
    DcscBuild out;
    kalder::PkeyPtr key(generate_key(type, stop));
    if (!key) {
        out.failure = DCSC_FAILED_KEY;
        return out;
    }
    kalder::X509Ptr cert(X509_new());
    X509_NAME *name = cert ? X509_get_subject_name(cert.get()) : nullptr;
    bool built = cert && name && X509_set_version(cert.get(), 2) == 1 &&
                 ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0) == 1 &&
                 X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
                 X509_gmtime_adj(X509_getm_notAfter(cert.get()), 604800) != nullptr &&
                 X509_set_pubkey(cert.get(), key.get()) == 1 &&
                 X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                                            reinterpret_cast<const unsigned char *>("US"), -1, -1, 0) == 1 &&
                 X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                            reinterpret_cast<const unsigned char *>("Kalder DCSC Cert"), -1,
                                            -1, 0) == 1 &&
                 X509_set_issuer_name(cert.get(), name) == 1 &&
                 X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!built) {
        out.failure = DCSC_FAILED_CERTIFICATE;
        return out;
    }
    // The objects become the credential directly: importing their PEM form
    // would parse the certificate and the key again (about 0.6 ms).
    OM_uint32 major = kalder_gsi_cred_from_pair(&out.minor, cert.get(), key.get(), &out.credential);
    if (GSS_ERROR(major) || out.credential == GSS_C_NO_CREDENTIAL) {
        out.credential = GSS_C_NO_CREDENTIAL;
        out.failure = major == GSS_S_FAILURE ? DCSC_FAILED_PEM : DCSC_FAILED_IMPORT;
    }
    return out;
}

constexpr int kKeyTypes = 2;  // P-256, RSA-2048

int slot_of(DataChannelKey type)
{
    return type == DATA_CHANNEL_KEY_RSA2048 ? 1 : 0;
}

DataChannelKey type_of(int slot)
{
    return slot == 1 ? DATA_CHANNEL_KEY_RSA2048 : DATA_CHANNEL_KEY_P256;
}

struct CredentialPool {
    kalder::Mutex lock;
    std::condition_variable_any wake;  // the filler waits on it; takers and stop signal it
    std::vector<gss_cred_id_t> ready[kKeyTypes] KALDER_GUARDED_BY(lock);
    bool wanted[kKeyTypes] KALDER_GUARDED_BY(lock) = {};  // a request asked for this type: keep it filled
    int capacity KALDER_GUARDED_BY(lock) = 0;             // 0: no pool (the unit tests, or disabled)
    int active KALDER_GUARDED_BY(lock) = 0;               // requests being served: the filler waits for none
    bool started KALDER_GUARDED_BY(lock) = false;
    // Started under the lock; joined without it by dcsc_pool_stop and the
    // destructor, once `stopping` is set.
    std::thread filler;
    // Read by the filler's key generation without the lock.
    std::atomic<bool> stopping{false};

    ~CredentialPool()
    {
        // Normally stopped by the child's cleanup already.
        if (filler.joinable()) {
            {
                kalder::MutexLock guard(lock);
                stopping = true;
                wake.notify_all();
            }
            filler.join();
        }
    }
};

CredentialPool &pool()
{
    static CredentialPool instance;
    return instance;
}

void release(gss_cred_id_t cred)
{
    OM_uint32 minor = 0;
    gss_release_cred(&minor, &cred);
}

// Background work: request threads go first. Not the idle scheduling
// class: making a credential takes OpenSSL's process-wide locks, and a
// thread of that class, preempted while it holds one, would hold up the
// requests that need it for as long as the machine stays busy.
void lower_priority()
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
}

void fill(CredentialPool &p)
{
    lower_priority();
    p.lock.lock();
    while (!p.stopping) {
        // Only while no request is being served, so that the filler never
        // competes with one; the emptiest wanted type first.
        int slot = -1;
        for (int i = 0; i < kKeyTypes; ++i) {
            const int have = static_cast<int>(p.ready[i].size());
            if (p.wanted[i] && have < p.capacity &&
                (slot < 0 || have < static_cast<int>(p.ready[slot].size())))
                slot = i;
        }
        if (slot < 0 || p.active > 0) {
            p.wake.wait(p.lock);
            continue;
        }
        p.lock.unlock();
        DcscBuild made = build(type_of(slot), &p.stopping);
        ERR_clear_error();
        p.lock.lock();
        if (made.credential == GSS_C_NO_CREDENTIAL) {
            // Requests make their own meanwhile; try again later.
            p.wake.wait_for(p.lock, std::chrono::seconds(1));
            continue;
        }
        if (p.stopping || static_cast<int>(p.ready[slot].size()) >= p.capacity) {
            release(made.credential);
            continue;
        }
        try {
            p.ready[slot].push_back(made.credential);
        } catch (const std::bad_alloc &) {
            release(made.credential);
        }
    }
    p.lock.unlock();
}

}  // namespace

DcscBuild dcsc_build(DataChannelKey type)
{
    return build(type, nullptr);
}

gss_cred_id_t dcsc_pool_take(DataChannelKey type)
{
    CredentialPool &p = pool();
    const int slot = slot_of(type);
    kalder::MutexLock guard(p.lock);
    ++p.active;
    if (p.capacity == 0 || p.stopping)
        return GSS_C_NO_CREDENTIAL;
    // The filler starts with the first request that needs a credential, so
    // that processes which never serve data spend nothing on them.
    p.wanted[slot] = true;
    if (!p.started) {
        try {
            p.filler = std::thread(fill, std::ref(p));
            p.started = true;
        } catch (const std::system_error &) {
            p.capacity = 0;
            return GSS_C_NO_CREDENTIAL;
        }
    }
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    if (!p.ready[slot].empty()) {
        cred = p.ready[slot].back();
        p.ready[slot].pop_back();
    }
    return cred;
}

void dcsc_pool_request_done()
{
    CredentialPool &p = pool();
    kalder::MutexLock guard(p.lock);
    if (p.active > 0 && --p.active == 0)
        p.wake.notify_one();
}

void dcsc_pool_start(int capacity)
{
    CredentialPool &p = pool();
    kalder::MutexLock guard(p.lock);
    p.capacity = capacity;
    p.stopping = false;
}

void dcsc_pool_stop()
{
    CredentialPool &p = pool();
    {
        kalder::MutexLock guard(p.lock);
        p.stopping = true;
        p.wake.notify_all();
    }
    if (p.filler.joinable())
        p.filler.join();
    kalder::MutexLock guard(p.lock);
    for (auto &ready : p.ready) {
        for (gss_cred_id_t cred : ready) release(cred);
        ready.clear();
    }
    for (bool &wanted : p.wanted) wanted = false;
    p.started = false;
    p.capacity = 0;
}

int dcsc_pool_depth(DataChannelKey type)
{
    CredentialPool &p = pool();
    kalder::MutexLock guard(p.lock);
    return static_cast<int>(p.ready[slot_of(type)].size());
}
