// The "XIO" bucket over the data connection of a download.
#define KALDER_SOURCE "handler"
#include "handler.h"

using handler::is_error;

namespace {

// One read of the data connection takes in at most this much: whatever has
// arrived, at least one byte. Reading a fast sender in pieces this large
// keeps the per-piece costs (a filter pass, a chunk, a TLS record, and over
// HTTP/2 a hand-off between threads) small against the bytes.
constexpr apr_size_t XIO_READ_SIZE = 131072;

}  // namespace

// The "XIO" bucket: each read takes in what the data connection has (see
// XIO_READ_SIZE), turns the bucket into a heap bucket over it and puts a new
// "XIO" bucket after it; at the end of the data it becomes an empty
// immortal bucket. It does not own the connection.

namespace {

void xio_bucket_destroy(void *) {}

apr_status_t xio_bucket_read(apr_bucket *b, const char **str, apr_size_t *len, apr_read_type_e)
{
    auto handle = static_cast<kalder_xio_handle_t>(b->data);
    *str = nullptr;
    *len = XIO_READ_SIZE;
    auto *buffer = static_cast<char *>(apr_bucket_alloc(XIO_READ_SIZE, b->list));
    size_t count = 0;
    apr_status_t status = APR_SUCCESS;
    kalder_result_t result = kalder_xio_read_available(handle, buffer, XIO_READ_SIZE, &count);
    if (is_error(result)) {
        apr_bucket_free(buffer);
        buffer = nullptr;
        count = 0;
        status = kalder_xio_error_is_eof(result) ? APR_SUCCESS : APR_EINVALSOCK;
    }
    if (count > 0) {
        apr_bucket_heap_make(b, buffer, count, apr_bucket_free);
        static_cast<apr_bucket_heap *>(b->data)->alloc_len = XIO_READ_SIZE;
        *str = buffer;
        *len = count;
        APR_BUCKET_INSERT_AFTER(b, xio_bucket_create(handle, b->list));
        return status;
    }
    if (buffer)
        apr_bucket_free(buffer);
    static const char empty[] = "";
    apr_bucket_immortal_make(b, empty, 0);
    *str = empty;
    *len = 0;
    return status;
}

}  // namespace

const apr_bucket_type_t xio_bucket_type = {
    "XIO",
    5,
    apr_bucket_type_t::APR_BUCKET_DATA,
    xio_bucket_destroy,
    xio_bucket_read,
    apr_bucket_setaside_notimpl,
    apr_bucket_split_notimpl,
    apr_bucket_copy_notimpl,
};

apr_bucket *xio_bucket_create(kalder_xio_handle_t handle, apr_bucket_alloc_t *list)
{
    auto *b = static_cast<apr_bucket *>(apr_bucket_alloc(sizeof(apr_bucket), list));
    APR_BUCKET_INIT(b);
    b->free = apr_bucket_free;
    b->list = list;
    b->type = &xio_bucket_type;
    b->length = static_cast<apr_size_t>(-1);
    b->start = -1;
    b->data = handle;
    return b;
}
