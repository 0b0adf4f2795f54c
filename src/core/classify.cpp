// Request classification (see classify.h).
#define KALDER_SOURCE "utils"
#include "classify.h"

#include <cerrno>
#include <cstring>
#include <strings.h>

#include "apr_strings.h"

namespace {

bool is_token_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool contains(const char *haystack, const char *needle)
{
    return std::strstr(haystack, needle) != nullptr;
}

bool collection_is(const ServerConfig *conf, const char *type)
{
    return conf && conf->collection_type && std::strcmp(conf->collection_type, type) == 0;
}

}  // namespace

const char *bearer_token_start(const char *authorization)
{
    if (!authorization || strncasecmp(authorization, "Bearer ", 7) != 0)
        return nullptr;
    const char *p = authorization + 7;
    while (is_token_space(*p)) ++p;
    return *p ? p : nullptr;
}

char *bearer_token_copy(apr_pool_t *pool, const LogSink &log, const char *start)
{
    const char *end = std::strchr(start, ' ');
    size_t length = end ? static_cast<size_t>(end - start) : std::strlen(start);
    char *token = apr_pstrmemdup(pool, start, length);
    if (!token) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate memory for bearer token: %d", errno);
        return nullptr;
    }
    return token;
}

bool is_program_request(const char *authorization, const char *requested_with)
{
    if (bearer_token_start(authorization))
        return true;
    return requested_with && apr_strnatcasecmp(requested_with, "XMLHttpRequest") == 0;
}

bool is_browser_agent(const char *agent)
{
    if (!agent || !*agent)
        return false;
    if (contains(agent, "curl/") || contains(agent, "Wget/") || contains(agent, GENOME_BROWSER_AGENT))
        return false;
    return contains(agent, "Mozilla/") || contains(agent, "Chrome/") || contains(agent, "Safari/") ||
           contains(agent, "Firefox/");
}

bool is_client_username(const char *user)
{
    const char *at = std::strchr(user, '@');
    return at && std::strcmp(at + 1, CLIENT_IDENTITY_DOMAIN) == 0;
}

bool is_guest_collection(const ServerConfig *conf)
{
    return collection_is(conf, GUEST_COLLECTION);
}

bool is_mapped_collection(const ServerConfig *conf)
{
    return collection_is(conf, MAPPED_COLLECTION);
}

bool requires_data_access_scope(const ServerConfig *conf)
{
    return is_mapped_collection(conf) && !(conf->capability_flags & MOD_KALDER_HIGH_ASSURANCE);
}

const char *scope_url(apr_pool_t *pool, const LogSink &log, const ServerConfig *conf, const char *server_name,
                      const char *suffix)
{
    // The start-up check requires the client id only of servers with a
    // collection type; AuthType kalder-auth may be used without one.
    if (!conf->client_id) {
        KLOG(log, KLOG_ERR, 0, "KalderAuthClientID is not set for server %s; no scope can be named",
             server_name ? server_name : "(unnamed)");
        return nullptr;
    }
    const char *scope =
        apr_pstrcat(pool, "https://", SCOPE_URL_HOST, "/scopes/", conf->client_id, "/", suffix, nullptr);
    if (!scope) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate memory while building scopes: %d", errno);
        return nullptr;
    }
    return scope;
}
