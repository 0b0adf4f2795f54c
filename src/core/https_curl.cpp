// The HTTPS client over libcurl.
#define KALDER_SOURCE "utils"
#include <cstdlib>
#include <cstring>

#include <curl/curl.h>

#include "apr_strings.h"
#include "https_client.h"
#include "raii.h"

namespace {

// Owners of libcurl's handles; libcurl is used in this file only.
using CurlPtr = std::unique_ptr<CURL, kalder::Deleter<curl_easy_cleanup>>;
using CurlSlistPtr = std::unique_ptr<curl_slist, kalder::Deleter<curl_slist_free_all>>;

// The largest answer body a service call takes. The identity and transfer
// services answer with a few kilobytes of JSON; a larger answer is a fault
// (or a hostile server) and must not grow the server process without bound.
constexpr size_t MAX_ANSWER_SIZE = 1048576;

// Bytes received so far; a NUL follows the last byte once anything arrived.
// Heap memory owned here and released on every exit of the exchange.
struct ResponseBuffer {
    kalder::MallocPtr<char> data;
    size_t size = 0;
    bool too_large = false;  // the answer went past MAX_ANSWER_SIZE
};

// libcurl write function: appends the chunk; returning 0 aborts the transfer.
size_t response_write_callback(char *ptr, size_t item_size, size_t item_count, void *user)
{
    auto *buffer = static_cast<ResponseBuffer *>(user);
    if (item_size != 0 && item_count > (SIZE_MAX - 1) / item_size)
        return 0;
    size_t n = item_size * item_count;
    if (n > MAX_ANSWER_SIZE - buffer->size) {
        buffer->too_large = true;
        return 0;
    }
    void *grown = std::realloc(buffer->data.get(), buffer->size + n + 1);
    if (!grown)
        return 0;
    // realloc moved the block: the smart pointer takes over the new address
    // without freeing the old one, which realloc already released.
    (void)buffer->data.release();
    buffer->data.reset(static_cast<char *>(grown));
    std::memcpy(buffer->data.get() + buffer->size, ptr, n);
    buffer->size += n;
    buffer->data.get()[buffer->size] = '\0';
    return n;
}

class CurlHttpsClient final : public HttpsClient {
   public:
    int exchange(apr_pool_t *pool, const HttpsRequest &request, long *http_status, char **response,
                 const LogSink &log) override;
};

int CurlHttpsClient::exchange(apr_pool_t *pool, const HttpsRequest &request, long *http_status,
                              char **response, const LogSink &log)
{
    ResponseBuffer buffer;
    CurlPtr curl(curl_easy_init());
    if (!curl)
        return 1;
    CURL *h = curl.get();
    char error_text[CURL_ERROR_SIZE];
    error_text[0] = '\0';

    // Only HTTPS, for the first request and for every redirect.
    if (curl_easy_setopt(h, CURLOPT_URL, request.url) != CURLE_OK ||
        (request.post_fields && curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.post_fields) != CURLE_OK) ||
        curl_easy_setopt(h, CURLOPT_HEADER, 0L) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_TIMEOUT, request.timeout) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &buffer) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, response_write_callback) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "HTTPS") != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "HTTPS") != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_USERAGENT, "mod_kalder") != CURLE_OK)
        return 1;
    // An answer that announces a Content-Length beyond the limit is refused
    // before its body; the write function stops any other at the limit.
    if (curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(MAX_ANSWER_SIZE)) != CURLE_OK)
        return 1;

    // Client credentials win over a bearer token: Basic authentication only.
    CurlSlistPtr headers;
    if (request.client_id) {
        const char *userpwd = request.client_secret
                                  ? apr_pstrcat(pool, request.client_id, ":", request.client_secret, nullptr)
                                  : request.client_id;
        if (curl_easy_setopt(h, CURLOPT_USERPWD, userpwd) != CURLE_OK)
            return 1;
    } else if (request.bearer_token) {
        headers.reset(
            curl_slist_append(nullptr, apr_psprintf(pool, "Authorization: Bearer %s", request.bearer_token)));
        // Without the list the request still goes out, unauthenticated.
        if (headers && curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) != CURLE_OK)
            return 1;
    }

    CURLcode performed = curl_easy_perform(h);
    if (buffer.too_large || performed == CURLE_FILESIZE_EXCEEDED) {
        // The callers' own lines say which call failed; this one says why.
        KLOG(log, KLOG_ERR, 0,
             "The answer of %s is larger than %" APR_SIZE_T_FMT
             " bytes, which no identity or transfer service answer is; the call fails. Check that "
             "KalderAuthAPIEndpoint and KalderTransferAPIEndpoint name those services",
             request.url, MAX_ANSWER_SIZE);
        return 1;
    }
    if (performed != CURLE_OK)
        return 1;

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char *body = nullptr;
    if (buffer.data) {
        body = static_cast<char *>(apr_pcalloc(pool, buffer.size + 1));
        std::memcpy(body, buffer.data.get(), buffer.size);
    }
    *http_status = status;
    *response = body;
    return 0;
}

}  // namespace

HttpsClient &curl_https_client()
{
    static CurlHttpsClient client;
    return client;
}

void https_global_init()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

void https_global_cleanup()
{
    curl_global_cleanup();
}
