// Stand-ins for the server functions the content handler calls, written
// after the server's own (protocol.c, http_filters.c, error_bucket.c,
// util_filter.c). The data-path integration tests run the real ones.
#include <cstring>

#include "apr_strings.h"
#include "http_protocol.h"
#include "http_request.h"
#include "httpd.h"
#include "util_filter.h"

__attribute__((weak)) void ap_set_content_length(request_rec *r, apr_off_t length)
{
    r->clength = length;
    apr_table_setn(r->headers_out, "Content-Length", apr_off_t_toa(r->pool, length));
}

// The body written by the handler collects in the request note
// "test-body" (the tests read it back).
__attribute__((weak)) int ap_rwrite(const void *buf, int nbyte, request_rec *r)
{
    const char *before = apr_table_get(r->notes, "test-body");
    apr_table_set(r->notes, "test-body",
                  apr_pstrcat(r->pool, before ? before : "",
                              apr_pstrndup(r->pool, static_cast<const char *>(buf), nbyte), nullptr));
    return nbyte;
}

// A request without Transfer-Encoding whose Content-Length is valid, or
// none; "chunked" is refused with 411 under REQUEST_CHUNKED_ERROR.
__attribute__((weak)) int ap_setup_client_block(request_rec *r, int read_policy)
{
    const char *te = apr_table_get(r->headers_in, "Transfer-Encoding");
    const char *cl = apr_table_get(r->headers_in, "Content-Length");
    r->read_body = read_policy;
    r->read_chunked = 0;
    r->remaining = 0;
    if (te) {
        if (strcasecmp(te, "chunked") != 0)
            return HTTP_NOT_IMPLEMENTED;
        if (read_policy == REQUEST_CHUNKED_ERROR)
            return HTTP_LENGTH_REQUIRED;
        r->read_chunked = 1;
    } else if (cl) {
        char *end = nullptr;
        if (apr_strtoff(&r->remaining, cl, &end, 10) != APR_SUCCESS || *end != '\0' || r->remaining < 0)
            return HTTP_BAD_REQUEST;
    }
    return OK;
}

__attribute__((weak)) int ap_should_client_block(request_rec *r)
{
    if (r->read_length || (!r->read_chunked && r->remaining <= 0))
        return 0;
    return 1;
}

// The unit tests never copy a body: that path runs in the integration tests.
__attribute__((weak)) long ap_get_client_block(request_rec *, char *, apr_size_t)
{
    return -1;
}

namespace {

apr_status_t error_bucket_read(apr_bucket *, const char **str, apr_size_t *len, apr_read_type_e)
{
    *str = nullptr;
    *len = 0;
    return APR_SUCCESS;
}

const apr_bucket_type_t test_error_bucket_type = {
    "ERROR",
    5,
    apr_bucket_type_t::APR_BUCKET_METADATA,
    apr_bucket_free,
    error_bucket_read,
    apr_bucket_setaside_notimpl,
    apr_bucket_split_notimpl,
    apr_bucket_simple_copy,
};

}  // namespace

__attribute__((weak)) apr_bucket *ap_bucket_error_create(int error, const char *buf, apr_pool_t *p,
                                                         apr_bucket_alloc_t *list)
{
    auto *b = static_cast<apr_bucket *>(apr_bucket_alloc(sizeof(apr_bucket), list));
    APR_BUCKET_INIT(b);
    b->free = apr_bucket_free;
    b->list = list;
    auto *h = static_cast<ap_bucket_error *>(apr_bucket_alloc(sizeof(ap_bucket_error), list));
    h->status = error;
    h->data = buf ? apr_pstrdup(p, buf) : nullptr;
    b->type = &test_error_bucket_type;
    b->length = 0;
    b->start = 0;
    b->data = h;
    return b;
}

__attribute__((weak)) void ap_remove_output_filter(ap_filter_t *) {}
