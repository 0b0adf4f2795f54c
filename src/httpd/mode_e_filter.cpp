#define KALDER_SOURCE "handler"
#include "content_handler.h"
#include "handler.h"
#include "http_protocol.h"

// MODE_E_FILTER: extended-block stream (decoded by eblock_stream) to HTTP
// body. Strips the headers; for several ranges each block becomes one part
// of a multipart/byteranges body. The body ends at the end-of-file block
// with an end-of-stream bucket. A stream that ends before that block is cut
// short: an error bucket tells the protocol layer not to end the response
// cleanly.

namespace {

apr_status_t pass_and_clean(ap_filter_t *f, apr_bucket_brigade *bb)
{
    apr_status_t rv = ap_pass_brigade(f->next, bb);
    apr_brigade_cleanup(bb);
    return rv;
}

}  // namespace

apr_status_t mode_e_filter(ap_filter_t *f, apr_bucket_brigade *bb)
{
    auto *ctx = static_cast<ModeEFilterCtx *>(f->ctx);
    if (!ctx) {
        // Only the handler adds this filter, always with a context.
        ap_remove_output_filter(f);
        return ap_pass_brigade(f->next, bb);
    }
    if (ctx->finished) {
        apr_brigade_cleanup(bb);
        return APR_SUCCESS;
    }
    apr_bucket_alloc_t *list = f->c->bucket_alloc;
    while (!APR_BRIGADE_EMPTY(bb)) {
        apr_bucket *b = APR_BRIGADE_FIRST(bb);
        if (APR_BUCKET_IS_METADATA(b)) {
            APR_BUCKET_REMOVE(b);
            if (APR_BUCKET_IS_EOS(b)) {
                // The data ended before its end-of-file block.
                APR_BRIGADE_INSERT_TAIL(ctx->brigade,
                                        ap_bucket_error_create(HTTP_BAD_GATEWAY, nullptr, f->r->pool, list));
                APR_BRIGADE_INSERT_TAIL(ctx->brigade, b);
                ctx->finished = 1;
                apr_status_t rv = pass_and_clean(f, ctx->brigade);
                apr_brigade_cleanup(bb);
                return rv;
            }
            APR_BRIGADE_INSERT_TAIL(ctx->brigade, b);
            continue;
        }
        const char *data = nullptr;
        apr_size_t length = 0;
        apr_status_t rv =
            apr_bucket_read(b, &data, &length, ctx->read_mode ? APR_NONBLOCK_READ : APR_BLOCK_READ);
        if (rv == APR_EAGAIN) {
            if (!ctx->read_mode)
                return rv;
            APR_BRIGADE_INSERT_TAIL(ctx->brigade, apr_bucket_flush_create(list));
            rv = pass_and_clean(f, ctx->brigade);
            if (rv != APR_SUCCESS)
                return rv;
            ctx->read_mode = 0;
            rv = apr_bucket_read(b, &data, &length, APR_BLOCK_READ);
        }
        if (rv != APR_SUCCESS)
            return rv;
        APR_BUCKET_REMOVE(b);

        apr_size_t pos = 0;
        while (pos < length) {
            EblockPiece piece;
            pos += eblock_stream_next(&ctx->stream, data + pos, length - pos, &piece);
            if (piece.kind == EBLOCK_END) {
                if (piece.complete) {
                    // The body goes down before the end of the stream, in a
                    // pass of its own, however the reads fell: the response
                    // is framed the same way every time.
                    if (!APR_BRIGADE_EMPTY(ctx->brigade) &&
                        (rv = pass_and_clean(f, ctx->brigade)) != APR_SUCCESS) {
                        apr_bucket_destroy(b);
                        return rv;
                    }
                    if (ctx->boundary)
                        apr_brigade_printf(ctx->brigade, nullptr, nullptr, "\r\n--%s--\r\n", ctx->boundary);
                    APR_BRIGADE_INSERT_TAIL(ctx->brigade, apr_bucket_eos_create(list));
                    ctx->read_mode = 1;
                }
                ctx->finished = 1;
                rv = pass_and_clean(f, ctx->brigade);
                apr_bucket_destroy(b);
                apr_brigade_cleanup(bb);
                return rv;
            }
            if (piece.kind == EBLOCK_PART && ctx->boundary) {
                apr_brigade_printf(ctx->brigade, nullptr, nullptr,
                                   "\r\n--%s\r\nContent-Type: %s\r\nContent-Range: bytes %" APR_UINT64_T_FMT
                                   "-%" APR_UINT64_T_FMT "/%" APR_UINT64_T_FMT "\r\n\r\n",
                                   ctx->boundary, ctx->part_type, piece.offset,
                                   piece.offset + piece.count - 1, static_cast<apr_uint64_t>(ctx->size));
            } else if (piece.kind == EBLOCK_DATA) {
                APR_BRIGADE_INSERT_TAIL(ctx->brigade,
                                        apr_bucket_transient_create(piece.data, piece.length, list));
            }
        }
        // The transient buckets point into b: pass them before b goes.
        rv = pass_and_clean(f, ctx->brigade);
        apr_bucket_destroy(b);
        if (rv != APR_SUCCESS)
            return rv;
    }
    if (!APR_BRIGADE_EMPTY(ctx->brigade))
        return pass_and_clean(f, ctx->brigade);  // metadata only
    return APR_SUCCESS;
}
