// Stand-ins for the core's seams in tests: an APR pool, a scripted HTTPS
// client and an in-memory keyring.
#ifndef KALDER_TEST_CORE_FAKES_H
#define KALDER_TEST_CORE_FAKES_H

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "apr_general.h"
#include "apr_pools.h"
#include "apr_strings.h"
#include "https_client.h"
#include "keyring.h"

// A pool of its own, freed with the object.
class Pool {
   public:
    Pool()
    {
        static const bool initialized = apr_initialize() == APR_SUCCESS;
        (void)initialized;
        apr_pool_create(&pool_, nullptr);
    }
    ~Pool() { apr_pool_destroy(pool_); }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;
    operator apr_pool_t *() const { return pool_; }

   private:
    apr_pool_t *pool_ = nullptr;
};

// Answers from a script, the last one for every further request; records
// each request.
class FakeHttps final : public HttpsClient {
   public:
    struct Answer {
        int rc;
        long status;
        const char *body;  // null: an empty answer
    };
    struct Seen {
        std::string url, post, client_id, client_secret, bearer;
        bool is_post;
        long timeout;
    };

    void answer(long status, const char *body) { script_ = {{0, status, body}}; }
    void script(std::vector<Answer> answers) { script_ = std::move(answers); }
    const std::vector<Seen> &seen() const { return seen_; }

    int exchange(apr_pool_t *pool, const HttpsRequest &request, long *http_status, char **body,
                 const LogSink &) override
    {
        auto text = [](const char *s) { return s ? std::string(s) : std::string("<null>"); };
        seen_.push_back({text(request.url), text(request.post_fields), text(request.client_id),
                         text(request.client_secret), text(request.bearer_token),
                         request.post_fields != nullptr, request.timeout});
        Answer a = script_.empty() ? Answer{1, 0, nullptr} : script_.front();
        if (script_.size() > 1)
            script_.erase(script_.begin());
        if (a.rc == 0) {
            *http_status = a.status;
            *body = a.body ? apr_pstrdup(pool, a.body) : nullptr;
        }
        return a.rc;
    }

   private:
    std::vector<Answer> script_;
    std::vector<Seen> seen_;
};

// Keys by description, with the kernel's payload limit; `refuse` makes
// every store fail with that error.
class FakeKeyring final : public Keyring {
   public:
    struct Key {
        std::string description, payload;
        unsigned timeout = 0;
        bool restricted = false;
    };
    static constexpr size_t MAX_PAYLOAD = 32767;
    int refuse = 0;

    std::map<int32_t, Key> keys;

    Key *find(const std::string &description)
    {
        for (auto &[serial, key] : keys)
            if (key.description == description)
                return &key;
        return nullptr;
    }

    int32_t add(const char *description, const void *payload, size_t length) override
    {
        if (refuse || length > MAX_PAYLOAD) {
            errno = refuse ? refuse : EINVAL;
            return -1;
        }
        std::string bytes(static_cast<const char *>(payload), length);
        for (auto &[serial, key] : keys)
            if (key.description == description) {
                key.payload = bytes;
                return serial;
            }
        keys[next_] = Key{description, bytes};
        return next_++;
    }
    int restrict_permissions(int32_t key) override
    {
        return keys.count(key) ? (keys[key].restricted = true, 0) : -1;
    }
    int set_timeout(int32_t key, unsigned seconds) override
    {
        return keys.count(key) ? (keys[key].timeout = seconds, 0) : -1;
    }
    int32_t search(const char *description) override
    {
        for (auto &[serial, key] : keys)
            if (key.description == description)
                return serial;
        errno = ENOKEY;
        return -1;
    }
    long read(int32_t key, void *buffer, size_t length) override
    {
        auto it = keys.find(key);
        if (it == keys.end()) {
            errno = ENOKEY;
            return -1;
        }
        const std::string &p = it->second.payload;
        if (buffer)
            std::memcpy(buffer, p.data(), std::min(length, p.size()));
        return static_cast<long>(p.size());
    }
    void unlink(int32_t key) override { keys.erase(key); }

   private:
    int32_t next_ = 1;
};

#endif
