// Content handler: serves the collection's data through one back-end
// session per request. File bytes travel over a data channel that the
// handler listens on; downloads are streamed through the output filters
// (through MODE_E_FILTER for byte ranges), uploads copied into it.
#define KALDER_SOURCE "handler"
#include "handler.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "apr_strings.h"
#include "content_handler.h"
#include "credential.h"
#include "digests.h"
#include "http_core.h"
#include "http_protocol.h"
#include "http_request.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "config.h"
#include "invariant.h"
#include "module.h"
#include "request_state.h"
#include "server_config.h"
#include "auth.h"
#include "request_utils.h"
#include "oidc_replies.h"
#include "log_sinks.h"
#include "counters.h"
#include "raii.h"
#include "ranges.h"
#include "session_user.h"
#include "util_filter.h"
#include "util_script.h"

namespace handler {

const char *friendly_text(apr_pool_t *pool, kalder_result_t result)
{
    if (!is_error(result))
        return nullptr;
    kalder::MallocPtr<char> text(kalder_error_print_friendly(kalder_error_peek(result)));
    return apr_pstrdup(pool, text ? text.get() : UNKNOWN_ERROR);
}

void log_toolkit_error(request_rec *r, const char *what, kalder_result_t result)
{
    kalder::MallocPtr<char> text(kalder_error_print_friendly(kalder_error_peek(result)));
    // The toolkit's text ends in a newline, which the error log would show
    // as a literal "\n".
    size_t n = text ? std::strlen(text.get()) : 0;
    while (n > 0 && (text.get()[n - 1] == '\n' || text.get()[n - 1] == '\r')) --n;
    ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "MOD_KALDER: %s. %.*s", what, static_cast<int>(n),
                  text ? text.get() : "");
}

}  // namespace handler

using handler::log_toolkit_error;

namespace {

// Drains the crypto library's error queue into one text.
const char *openssl_errors(apr_pool_t *pool)
{
    return apr_pstrdup(pool, kalder_openssl_errors().c_str());
}

}  // namespace

int handler_session_user(request_rec *r, HandlerState *st, char **user) KALDER_REQUIRES(st->lock)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    RequestState *rs = get_request_state(r);
    SessionUserInput in{};
    in.collection_id = conf->collection_id;
    in.collection_type = conf->collection_type;
    in.uri = r->uri;
    in.high_assurance = (conf->capability_flags & MOD_KALDER_HIGH_ASSURANCE) != 0;
    in.authenticated = r->user != nullptr;
    in.set = rs->effective_id_set;
    in.ids = "";
    in.names = "";
    in.acls = rs->effective_acls;
    if (r->user) {
        if (!in.set) {
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Missing allowed identity set.");
            return 1;
        }
        in.names = auth_identity_set_usernames(r, in.set);
        in.ids = auth_identity_set_subs(r, in.set);
        if (!in.names || !in.ids) {
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to build ID name and sub lists.");
            return 1;
        }
    }
    SessionUser out;
    if (session_user_build(r->pool, in, request_log_sink(r), &out) != 0)
        return 1;
    if (out.restrict_paths)
        st->restrict_paths = out.restrict_paths;
    *user = out.user;
    return 0;
}

// ---------------------------------------------------------------------------
// Data-channel credential: certificate, key, certificate (PEM), imported
// as the session's delegated credential and the listener's identity. One
// from the process's pool when one is ready, else made for the request.

namespace {

constexpr int CREDENTIAL_POOL_DEFAULT = 4;
constexpr int CREDENTIAL_POOL_MAX = 64;

apr_status_t credential_pool_cleanup(void *)
{
    dcsc_pool_stop();
    return APR_SUCCESS;
}

}  // namespace

void kalder_handler_child_init(apr_pool_t *pchild, server_rec *s)
{
    int capacity = CREDENTIAL_POOL_DEFAULT;
    if (const char *size = std::getenv("KALDER_KEY_POOL_SIZE")) {
        char *end = nullptr;
        long value = std::strtol(size, &end, 10);
        if (*size == '\0' || *end != '\0' || value < 0 || value > CREDENTIAL_POOL_MAX) {
            ap_log_error(KALDER_MARK, APLOG_WARNING, 0, s,
                         "KALDER_KEY_POOL_SIZE must be a number from 0 to %d; using %d", CREDENTIAL_POOL_MAX,
                         CREDENTIAL_POOL_DEFAULT);
        } else {
            capacity = static_cast<int>(value);
        }
    }
    dcsc_pool_start(capacity);
    apr_pool_cleanup_register(pchild, nullptr, credential_pool_cleanup, apr_pool_cleanup_null);
}

int create_dcsc_credential(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    const ServerConfig *conf = kalder_server_config(r->server);
    const DataChannelKey type = conf ? conf->data_channel_key : DATA_CHANNEL_KEY_P256;
    st->credential = dcsc_pool_take(type);
    st->credential_counted = 1;
    if (st->credential != GSS_C_NO_CREDENTIAL)
        return 0;
    DcscBuild made = dcsc_build(type);
    switch (made.failure) {
        case DCSC_OK:
            st->credential = made.credential;
            return 0;
        case DCSC_FAILED_KEY:
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                          "MOD_KALDER: Error generating the data channel key. %s", openssl_errors(r->pool));
            break;
        case DCSC_FAILED_CERTIFICATE:
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                          "MOD_KALDER: Error building the data channel certificate. %s",
                          openssl_errors(r->pool));
            break;
        case DCSC_FAILED_PEM:
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                          "MOD_KALDER: Error writing the data channel credential. %s",
                          openssl_errors(r->pool));
            break;
        case DCSC_FAILED_IMPORT:
            log_toolkit_error(r, "Error importing the data channel credential", made.minor);
            break;
    }
    st->credential = GSS_C_NO_CREDENTIAL;
    return 1;
}

namespace {

// Headers of every answer the data path gives (file bytes, ranges, HEAD, the
// back end's refusals). Files are served inline with the type their name
// suggests, so an uploaded HTML or SVG file would otherwise run its script on
// the gateway's origin, with the login cookie of whoever opens it, and could
// read, write and delete that reader's data. "nosniff" keeps the browser
// from guessing a scriptable type from the bytes; the "sandbox" policy makes
// any document built from the answer a unique origin without scripts, forms
// or plug-ins. Set in headers_out, so that an operator's mod_headers
// "Header unset" (docs/data-path.md, "Protections") can relax either.
void set_data_protection_headers(request_rec *r)
{
    apr_table_setn(r->headers_out, "X-Content-Type-Options", "nosniff");
    apr_table_setn(r->headers_out, "Content-Security-Policy", "sandbox");
}

// Upload admission: a body of known length, no chunking, no Range.
// Returns OK or the status to answer with.
int admit_upload(request_rec *r, int64_t *content_length)
{
    int rc = ap_setup_client_block(r, REQUEST_CHUNKED_ERROR);
    if (rc != OK)
        return rc;
    const char *header = apr_table_get(r->headers_in, "Content-Length");
    if (!header || apr_table_get(r->headers_in, "Range"))
        return HTTP_BAD_REQUEST;
    char *end = nullptr;
    apr_off_t value = 0;
    if (*header == '\0' || apr_strtoff(&value, header, &end, 10) != APR_SUCCESS || *end != '\0' || value < 0)
        return HTTP_BAD_REQUEST;
    *content_length = value;
    return OK;
}

// Answers `status` with a plain-text body.
int answer_text(request_rec *r, int status, const char *text)
{
    r->status = status;
    ap_set_content_type(r, "text/plain");
    ap_rputs(text, r);
    return OK;
}

}  // namespace

int mod_kalder_handler(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    if (!r->handler || std::strcmp(r->handler, "kalder") != 0 || !conf || !conf->backend_contact)
        return DECLINED;
    if (r->method_number != M_GET && r->method_number != M_PUT && r->method_number != M_DELETE)
        return DECLINED;
    kalder_metrics_mark(r);

    bool download = false;
    apr_table_t *args = nullptr;
    if (r->args) {
        ap_args_to_table(r, &args);
        download = apr_table_get(args, "download") != nullptr;
    }

    // The reload page is the module's own page and needs its script: it
    // gets none of the data path's protection headers.
    if (!is_oauth_request(r) && is_browser_request(r) && oidc_auth_flow_done(r, download))
        return OK;
    set_data_protection_headers(r);

    const bool prepare = args && apr_table_get(args, "prepare") != nullptr;
    int64_t content_length = 0;
    if (r->method_number == M_PUT && !prepare) {
        int rc = admit_upload(r, &content_length);
        if (rc != OK)
            return rc;
    }
    // An upload that names its digest is committed only when the bytes the
    // back end received have it. Content-Digest is the digest of exactly
    // the bytes sent, which here are the stored representation too.
    DigestField upload_digest{};
    const char *digest_field = "Content-Digest";
    if (r->method_number == M_PUT && !prepare) {
        const char *value = apr_table_get(r->headers_in, digest_field);
        if (!value) {
            digest_field = "Repr-Digest";
            value = apr_table_get(r->headers_in, digest_field);
        }
        if (value) {
            upload_digest = parse_digest_field(value, digest_field);
            if (!upload_digest.error.empty())
                return answer_text(r, HTTP_BAD_REQUEST,
                                   apr_pstrcat(r->pool, upload_digest.error.c_str(), "\n", nullptr));
        }
    }

    auto *st = static_cast<HandlerState *>(apr_pcalloc(r->pool, sizeof(HandlerState)));
    st->lock.init();
    kalder_cond_init(&st->cond, nullptr);
    st->lock.lock();
    st->pool = r->pool;
    st->request = r;
    st->run_now = 1;
    st->path = apr_pstrdup(r->pool, r->uri);
    st->download = download;
    st->prepare = prepare;
    st->content_length = content_length;
    st->upload_digest = upload_digest.algorithm;
    st->upload_digest_hex = apr_pstrdup(r->pool, upload_digest.hex.c_str());
    st->upload_digest_field = digest_field;
    return handler::run_session(st);
}
