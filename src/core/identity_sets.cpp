// Operations on identity sets: the caller's linked identities as the
// identity service lists them. Results are new sets of copies in the pool;
// the inputs are never changed. A null set reads as an empty one.
#define KALDER_SOURCE "auth"
#include <cstring>
#include <string>
#include <strings.h>

#include "apr_strings.h"
#include "identity.h"

int auth_get_identity_count(const IdentitySet set)
{
    int count = 0;
    if (set)
        while (set[count]) ++count;
    return count;
}

bool auth_identity_set_empty(const IdentitySet set)
{
    return !set || !set[0];
}

static IdentitySet _new_identity_set(apr_pool_t *pool, size_t room)
{
    return static_cast<IdentitySet>(apr_pcalloc(pool, (room + 1) * sizeof(Identity *)));
}

// A copy of the identity in the pool, or null naming the field that failed.
static Identity *_copy_identity(apr_pool_t *pool, const Identity *from, const char **failed_field)
{
    auto *copy = static_cast<Identity *>(apr_pcalloc(pool, sizeof(Identity)));
    copy->sub = from->sub ? apr_pstrdup(pool, from->sub) : nullptr;
    if (!copy->sub) {
        *failed_field = "sub";
        return nullptr;
    }
    copy->username = from->username ? apr_pstrdup(pool, from->username) : nullptr;
    if (!copy->username) {
        *failed_field = "username";
        return nullptr;
    }
    copy->last_authentication = from->last_authentication;
    return copy;
}

static bool _same_sub(const Identity *a, const Identity *b)
{
    return std::strcmp(a->sub, b->sub) == 0;
}

static bool _set_has_sub(const IdentitySet set, const Identity *identity)
{
    for (size_t i = 0; set && set[i]; ++i)
        if (_same_sub(set[i], identity))
            return true;
    return false;
}

// Appends a copy; false after logging "Failed to allocate '<array>->field'".
static bool _append_copy(apr_pool_t *pool, IdentitySet out, size_t *used, const Identity *identity,
                         const char *array, const LogSink &log)
{
    const char *field = "";
    Identity *copy = _copy_identity(pool, identity, &field);
    if (!copy) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate '%s->%s'", array, field);
        return false;
    }
    out[(*used)++] = copy;
    return true;
}

IdentitySet auth_identity_set_filter_domain(apr_pool_t *pool, const IdentitySet set, const char *domain,
                                            const LogSink &log)
{
    IdentitySet out = _new_identity_set(pool, static_cast<size_t>(auth_get_identity_count(set)));
    size_t used = 0;
    for (size_t i = 0; set && set[i]; ++i) {
        const char *at = set[i]->username ? std::strrchr(set[i]->username, '@') : nullptr;
        if (!at || strcasecmp(at + 1, domain) != 0)
            continue;
        if (!_append_copy(pool, out, &used, set[i], "id_set_out[index_out]", log))
            return nullptr;
    }
    return out;
}

IdentitySet auth_identity_set_filter_recent(apr_pool_t *pool, const IdentitySet set,
                                            AuthenticationRecord **authentications, int timeout_minutes,
                                            bool use_authentications, bool require_mfa, int64_t now,
                                            const LogSink &log)
{
    const int64_t cutoff = now - static_cast<int64_t>(timeout_minutes) * 60;
    IdentitySet out = _new_identity_set(pool, static_cast<size_t>(auth_get_identity_count(set)));
    size_t used = 0;
    for (size_t i = 0; set && set[i]; ++i) {
        const Identity *identity = set[i];
        bool keep;
        if (use_authentications) {
            const AuthenticationRecord *record = nullptr;
            for (size_t k = 0; authentications && authentications[k]; ++k) {
                if (authentications[k]->sub && std::strcmp(authentications[k]->sub, identity->sub) == 0) {
                    record = authentications[k];
                    break;
                }
            }
            keep = record && record->auth_time >= cutoff;
            if (keep && require_mfa) {
                bool mfa = false;
                for (size_t m = 0; record->amr && record->amr[m]; ++m)
                    mfa = mfa || std::strcmp(record->amr[m], "mfa") == 0;
                keep = mfa;
            }
        } else {
            keep = identity->last_authentication >= cutoff;
        }
        if (keep && !_append_copy(pool, out, &used, identity, "id_set_out[index_out]", log))
            return nullptr;
    }
    return out;
}

IdentitySet auth_identity_set_union(apr_pool_t *pool, const IdentitySet accumulated, const IdentitySet added,
                                    const LogSink &log)
{
    size_t room = static_cast<size_t>(auth_get_identity_count(accumulated)) +
                  static_cast<size_t>(auth_get_identity_count(added));
    IdentitySet out = _new_identity_set(pool, room);
    size_t used = 0;
    for (size_t i = 0; accumulated && accumulated[i]; ++i)
        if (!_set_has_sub(out, accumulated[i]) &&
            !_append_copy(pool, out, &used, accumulated[i], "id_set_union[index2]", log))
            return nullptr;
    for (size_t i = 0; added && added[i]; ++i)
        if (!_set_has_sub(out, added[i]) &&
            !_append_copy(pool, out, &used, added[i], "id_set_union[index1]", log))
            return nullptr;
    return out;
}

IdentitySet auth_identity_set_intersect(apr_pool_t *pool, const IdentitySet first, const IdentitySet second,
                                        const LogSink &log)
{
    size_t first_count = static_cast<size_t>(auth_get_identity_count(first));
    size_t second_count = static_cast<size_t>(auth_get_identity_count(second));
    IdentitySet out = _new_identity_set(pool, first_count > second_count ? first_count : second_count);
    size_t used = 0;
    for (size_t i = 0; first && first[i]; ++i)
        if (_set_has_sub(second, first[i]) &&
            !_append_copy(pool, out, &used, first[i], "id_set_intersect[union_id_set_len]", log))
            return nullptr;
    return out;
}

bool auth_identity_sets_match(const IdentitySet first, const IdentitySet second, const LogSink &log)
{
    if (auth_identity_set_empty(first))
        return auth_identity_set_empty(second);
    if (auth_identity_set_empty(second) || auth_get_identity_count(first) != auth_get_identity_count(second))
        return false;
    for (size_t i = 0; first[i]; ++i) {
        const Identity *b = nullptr;
        for (size_t k = 0; second[k] && !b; ++k)
            if (_same_sub(first[i], second[k]))
                b = second[k];
        if (!b)
            return false;
        // Both sets come from one introspection answer, so equal subs carry
        // equal records. An answer listing one sub twice with different
        // records would break that; it is the service's fault, so the sets
        // are reported as different instead of stopping the process.
        if (std::strcmp(first[i]->username, b->username) != 0 ||
            first[i]->last_authentication != b->last_authentication) {
            KLOG(log, KLOG_ERR, 0, "Identity sets hold different records for the identity %s", first[i]->sub);
            return false;
        }
    }
    return true;
}

// The field of every identity joined by ","; "" for a null or empty set.
static char *_join_identities(apr_pool_t *pool, const IdentitySet set, bool usernames, const char *failure,
                              const LogSink &log)
{
    std::string text;
    for (size_t i = 0; set && set[i]; ++i) {
        if (!text.empty())
            text += ',';
        const char *field = usernames ? set[i]->username : set[i]->sub;
        text += field ? field : "";
    }
    char *out = apr_pstrmemdup(pool, text.data(), text.size());
    if (!out)
        KLOG(log, KLOG_ERR, 0, "%s", failure);
    return out;
}

char *auth_identity_set_usernames(apr_pool_t *pool, const IdentitySet set, const LogSink &log)
{
    return _join_identities(pool, set, true, "Failed to allocate memory for identity set usernames", log);
}

char *auth_identity_set_subs(apr_pool_t *pool, const IdentitySet set, const LogSink &log)
{
    return _join_identities(pool, set, false, "Failed to allocate memory for identity set subs", log);
}
