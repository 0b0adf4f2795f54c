// Request state, classification and sealed values on the web server's
// request record; the logic is the core's (classify.h, sealed.h).
#define KALDER_SOURCE "utils"
#include "request_utils.h"

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "invariant.h"
#include "module.h"
#include "request_state.h"
#include "server_config.h"

#include "classify.h"
#include "log_sinks.h"

RequestState *get_request_state(request_rec *r)
{
    auto *state = static_cast<RequestState *>(ap_get_module_config(r->request_config, &kalder_module));
    if (!state) {
        state = static_cast<RequestState *>(apr_pcalloc(r->pool, sizeof(RequestState)));
        ap_set_module_config(r->request_config, &kalder_module, state);
    }
    return state;
}

bool is_oauth_request(request_rec *r)
{
    return is_program_request(apr_table_get(r->headers_in, "Authorization"),
                              apr_table_get(r->headers_in, "X-Requested-With"));
}

char *get_bearer_token(request_rec *r)
{
    const char *start = bearer_token_start(apr_table_get(r->headers_in, "Authorization"));
    return start ? bearer_token_copy(r->pool, request_log_sink(r), start) : nullptr;
}

bool is_anonymous(request_rec *r)
{
    return r->user == nullptr;
}

bool is_guest(request_rec *r)
{
    return is_guest_collection(kalder_server_config(r->server));
}

bool is_mapped(request_rec *r)
{
    return is_mapped_collection(kalder_server_config(r->server));
}

bool is_client_identity(request_rec *r)
{
    KALDER_ASSERT(r->user != nullptr);
    return is_client_username(r->user);
}

bool is_browser_request(request_rec *r)
{
    return is_browser_agent(apr_table_get(r->headers_in, "User-Agent"));
}

const char *build_scope(apr_pool_t *pool, server_rec *s, const char *suffix)
{
    const ServerConfig *conf = kalder_server_config(s);
    KALDER_ASSERT(conf != nullptr);
    return scope_url(pool, server_log_sink(s), conf, s->server_hostname, suffix);
}

char *encrypt_value(request_rec *r, const char *secret, SealPurpose purpose, const char *text)
{
    return seal_value(r->pool, request_log_sink(r), secret, purpose, text);
}

char *decrypt_value(request_rec *r, const char *secret, SealPurpose purpose, const char *sealed)
{
    return open_sealed_value(r->pool, request_log_sink(r), secret, purpose, sealed);
}

unsigned char *url_safe_base64_decode(request_rec *r, const char *text, size_t *out_length)
{
    return base64url_decode(r->pool, request_log_sink(r), text, out_length);
}
