// The extended-block stream of the back end, cut into buckets at arbitrary
// places, through MODE_E_FILTER (single and multi-range): it must never
// read outside its input, and never pass on more data bytes than arrived.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "handler.h"
#include "testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static kalder::test::TestServer *server = new kalder::test::TestServer();
    kalder::test::TestRequest req(*server, "GET", "/f");
    request_rec *r = req.get();
    const bool multipart = data[0] & 1;
    const size_t piece = 1 + data[1] % 64;  // bucket size
    data += 2;
    size -= 2;

    auto *ctx = static_cast<ModeEFilterCtx *>(apr_pcalloc(r->pool, sizeof(ModeEFilterCtx)));
    ctx->brigade = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    ctx->read_mode = 1;
    if (multipart) {
        ctx->boundary = "0123456789abcdef0123456789abcdef0123";
        ctx->part_type = "text/plain";
    }
    apr_bucket_brigade *out = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    ap_filter_t next{};
    next.ctx = out;
    ap_filter_t filter{};
    filter.ctx = ctx;
    filter.r = r;
    filter.c = r->connection;
    filter.next = &next;

    // Heap copies: the filter's transient buckets point into them, so the
    // output is flattened before the next call frees them.
    apr_off_t passed = 0;
    for (size_t at = 0; at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_heap_create(reinterpret_cast<const char *>(data + at), n,
                                                           nullptr, r->connection->bucket_alloc));
        mode_e_filter(&filter, bb);
        apr_off_t length = 0;
        apr_brigade_length(out, 1, &length);
        passed += length;
        apr_brigade_cleanup(out);
        apr_brigade_cleanup(bb);
    }
    if (!multipart && passed > static_cast<apr_off_t>(size))
        std::abort();
    return 0;
}
