// Content handler: serves the collection's data through one back-end
// session per request. File bytes travel over a data channel that the
// handler listens on; downloads are streamed through the output filters
// (through MODE_E_FILTER for byte ranges), uploads copied into it.
#define KALDER_SOURCE "handler"
#include "handler.h"

#include <openssl/err.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "apr_strings.h"
#include "apr_uuid.h"
#include "credential.h"
#include "eblock_stream.h"
#include "http_core.h"
#include "http_protocol.h"
#include "http_request.h"
#include "kalder.h"
#include "log_sinks.h"
#include "raii.h"
#include "ranges.h"
#include "session_user.h"
#include "util_filter.h"
#include "util_script.h"

namespace {

// One read of the data connection takes in at most this much: whatever has
// arrived, at least one byte. Reading a fast sender in pieces this large
// keeps the per-piece costs (a filter pass, a chunk, a TLS record, and over
// HTTP/2 a hand-off between threads) small against the bytes.
constexpr apr_size_t XIO_READ_SIZE = 131072;
constexpr apr_size_t UPLOAD_BUFFER_SIZE = 1048576;
constexpr const char *SESSION_SUBJECT =
    "/C=US/O=Kalder Consortium/OU=Kalder Online/OU=Transfer User/CN=__transfer__";
constexpr const char *UNKNOWN_ERROR = "Unknown error\n";

bool is_error(kalder_result_t result)
{
    return result != KALDER_SUCCESS;
}

// The toolkit's friendly text of a result, in the pool; null for success.
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

// Drains the crypto library's error queue into one text.
const char *openssl_errors(apr_pool_t *pool)
{
    const char *out = "";
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        out = *out ? apr_pstrcat(pool, out, "; ", buffer, nullptr) : apr_pstrdup(pool, buffer);
    }
    return *out ? out : "no detail";
}

}  // namespace

int handler_session_user(request_rec *r, HandlerState *st, char **user)
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

int create_dcsc_credential(HandlerState *st)
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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
                                   "-%" APR_UINT64_T_FMT "/*\r\n\r\n",
                                   ctx->boundary, ctx->part_type, piece.offset,
                                   piece.offset + piece.count - 1);
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

// ---------------------------------------------------------------------------
// Session callbacks (toolkit threads). Each takes the lock first and
// releases it last.

namespace {

HandlerState *state_of(void *arg)
{
    return static_cast<HandlerState *>(arg);
}

void signal_handler(HandlerState *st)
{
    st->signalled = 1;
    kalder_cond_signal(&st->cond);
}

// The callback's result first, then the reply's own.
kalder_result_t reply_error(kalder_result_t result, const kalder_gfs_finished_info_t *reply)
{
    if (is_error(result))
        return result;
    if (!reply)
        return kalder_error_put("mod_kalder", KALDER_ERROR_PROTOCOL, "The back end sent no reply");
    return reply->result;
}

void send_transfer_complete(kalder_gfs_ipc_handle_t handle, HandlerState *st)
{
    kalder_gfs_event_info_t event;
    std::memset(&event, 0, sizeof event);
    event.type = KALDER_GFS_EVENT_TRANSFER_COMPLETE;
    event.event_arg = st->event_arg;
    kalder_gfs_ipc_request_transfer_event(handle, &event);
}

}  // namespace

void handler_open_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result,
                     kalder_gfs_finished_info_t *reply, void *arg)
{
    HandlerState *st = state_of(arg);
    kalder_mutex_lock(&st->lock);
    st->ipc_handle = handle;
    kalder_result_t error = reply_error(result, reply);
    if (is_error(error)) {
        st->result = error;
        st->state = MOD_KALDER_STATE_ERROR;
        signal_handler(st);
    } else {
        // The worker waits in CONNECT: the pool is free for this copy.
        if (reply->msg)
            st->message = apr_pstrdup(st->pool, reply->msg);
        if (st->state == MOD_KALDER_STATE_CONNECT || st->state == MOD_KALDER_STATE_ERROR)
            signal_handler(st);
    }
    kalder_mutex_unlock(&st->lock);
}

void handler_error_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, void *arg)
{
    HandlerState *st = state_of(arg);
    kalder_mutex_lock(&st->lock);
    // A session that breaks before its open reply still has to be closed.
    if (!st->ipc_handle)
        st->ipc_handle = handle;
    st->result = result;
    st->state = MOD_KALDER_STATE_ERROR;
    signal_handler(st);
    kalder_mutex_unlock(&st->lock);
}

void handler_close_cb(kalder_gfs_ipc_handle_t, kalder_result_t, void *arg)
{
    HandlerState *st = state_of(arg);
    kalder_mutex_lock(&st->lock);
    st->closed = 1;
    signal_handler(st);
    kalder_mutex_unlock(&st->lock);
}

void handler_event_cb(kalder_gfs_ipc_handle_t, kalder_result_t, kalder_gfs_event_info_t *event, void *arg)
{
    HandlerState *st = state_of(arg);
    kalder_mutex_lock(&st->lock);
    if (event && event->type == KALDER_GFS_EVENT_TRANSFER_BEGIN) {
        st->event_arg = event->event_arg;
        if (st->state == MOD_KALDER_STATE_SEND || st->state == MOD_KALDER_STATE_RECV)
            signal_handler(st);
    }
    if (event && event->type == KALDER_GFS_EVENT_TRANSFER_CONNECTED &&
        (st->state == MOD_KALDER_STATE_SEND_CONNECT || st->state == MOD_KALDER_STATE_RECV_CONNECT))
        signal_handler(st);
    kalder_mutex_unlock(&st->lock);
}

void handler_ipc_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, kalder_gfs_finished_info_t *reply,
                    void *arg)
{
    HandlerState *st = state_of(arg);
    kalder_mutex_lock(&st->lock);
    KALDER_ASSERT(st->state != MOD_KALDER_STATE_INIT);
    KALDER_ASSERT(st->state != MOD_KALDER_STATE_CONNECT);
    KALDER_ASSERT(st->state != MOD_KALDER_STATE_SEND_DONE);
    KALDER_ASSERT(st->state >= 0 && st->state < MOD_KALDER_STATE_LAST);

    const kalder_result_t error = reply_error(result, reply);
    const int type = reply ? reply->type : 0;
    auto fail = [st, error]() {
        st->result = error;
        st->state = MOD_KALDER_STATE_ERROR;
    };
    // A reply of a type the state does not wait for is ignored without
    // waking the worker: it would otherwise re-run its step for nothing.
    bool wake = true;

    switch (st->state) {
        case MOD_KALDER_STATE_RESTRICT:
            if (is_error(error))
                fail();
            break;
        case MOD_KALDER_STATE_DATA_CHANNEL:
        case MOD_KALDER_STATE_SEND:
        case MOD_KALDER_STATE_RECV:
            if (reply && type == KALDER_GFS_OP_ACTIVE && !is_error(error))
                st->data_arg = reply->info.data.data_arg;
            if (type == KALDER_GFS_OP_TRANSFER && st->event_arg)
                send_transfer_complete(handle, st);
            if (is_error(error))
                fail();
            break;
        case MOD_KALDER_STATE_HEAD_STAT:
        case MOD_KALDER_STATE_RANGE_STAT:
            if (type != KALDER_GFS_OP_STAT && !is_error(result)) {
                wake = false;
            } else if (is_error(error)) {
                fail();
            } else if (reply->info.stat.stat_count < 1 || !reply->info.stat.stat_array) {
                st->result = kalder_error_put("mod_kalder", KALDER_ERROR_PROTOCOL,
                                              "The back end's stat reply is empty");
                st->state = MOD_KALDER_STATE_ERROR;
            } else {
                st->stat = reply->info.stat.stat_array[0];
                st->stat.name = nullptr;
                st->stat.symlink_target = nullptr;
            }
            break;
        case MOD_KALDER_STATE_DELETE:
            if (type != KALDER_GFS_OP_COMMAND && !is_error(result))
                wake = false;
            else if (is_error(error))
                fail();
            break;
        case MOD_KALDER_STATE_PREPARE_STAT:
            if (is_error(result)) {
                st->result = result;
                st->state = MOD_KALDER_STATE_ERROR;
            } else if (type != KALDER_GFS_OP_STAT) {
                wake = false;
            } else if (is_error(reply->result)) {
                // The prefix does not exist.
                st->result = KALDER_SUCCESS;
                if (st->prepare_cursor != st->prepare_path)
                    st->state = MOD_KALDER_STATE_PREPARE_MKDIR;
            } else if (reply->info.stat.stat_count < 1 || !reply->info.stat.stat_array) {
                st->result = kalder_error_put("mod_kalder", KALDER_ERROR_PROTOCOL,
                                              "The back end's stat reply is empty");
                st->state = MOD_KALDER_STATE_ERROR;
            } else if ((reply->info.stat.stat_array[0].mode & 0xF000) != 0x4000) {
                // The worker waits in PREPARE_STAT: the pool is free.
                st->message = apr_psprintf(st->pool, "%s exists but is not a directory.", st->prepare_path);
                st->state = MOD_KALDER_STATE_ERROR;
            } else if (st->prepare_cursor == st->prepare_path) {
                st->state = MOD_KALDER_STATE_PREPARE_DONE;
            }
            break;
        case MOD_KALDER_STATE_PREPARE_MKDIR:
            if (type != KALDER_GFS_OP_COMMAND && !is_error(result))
                wake = false;
            else if (is_error(error))
                fail();
            else
                st->state = st->prepare_cursor == st->prepare_path ? MOD_KALDER_STATE_PREPARE_DONE
                                                                   : MOD_KALDER_STATE_PREPARE_STAT;
            break;
        case MOD_KALDER_STATE_SEND_CONNECT:
        case MOD_KALDER_STATE_SEND_FINISH:
        case MOD_KALDER_STATE_RECV_CONNECT:
        case MOD_KALDER_STATE_RECV_FINISH:
            if (type != KALDER_GFS_OP_TRANSFER && !is_error(result)) {
                wake = false;
                break;
            }
            if (is_error(error)) {
                fail();
            } else if (st->state == MOD_KALDER_STATE_RECV_FINISH) {
                st->state = MOD_KALDER_STATE_RECV_DONE;
            } else if (st->state == MOD_KALDER_STATE_SEND_CONNECT) {
                st->state = MOD_KALDER_STATE_SEND_DONE;
            } else if (st->state == MOD_KALDER_STATE_RECV_CONNECT) {
                // Finished while the body is still being copied: remembered for
                // the step that closes the data connection.
                st->transfer_replied = 1;
            }
            send_transfer_complete(handle, st);
            break;
        case MOD_KALDER_STATE_RECV_DONE:
        case MOD_KALDER_STATE_PREPARE_DONE:
        case MOD_KALDER_STATE_LISTEN:
            break;
        default:  // DONE, ERROR
            wake = false;
            break;
    }
    if (wake)
        signal_handler(st);
    kalder_mutex_unlock(&st->lock);
}

// ---------------------------------------------------------------------------
// The handler's steps. Each runs with the lock held.

namespace {

enum StepOutcome {
    STEP_NEXT,          // go on with the driving loop
    STEP_FAILURE,       // leave by the failure exit
    STEP_FAILURE_KEEP,  // failure exit, keeping the status the step set
    STEP_CLEAN,         // leave by the clean exit
};

StepOutcome request_stat(HandlerState *st, const char *path, int32_t next)
{
    std::memset(&st->stat_info, 0, sizeof st->stat_info);
    st->stat_info.file_only = KALDER_TRUE;
    st->stat_info.pathname = const_cast<char *>(path);
    st->signalled = 0;
    st->state = next;
    st->result = kalder_gfs_ipc_request_stat(st->ipc_handle, &st->stat_info, handler_ipc_cb, st);
    return STEP_NEXT;
}

StepOutcome request_command(HandlerState *st, int command, char *path, int32_t next)
{
    std::memset(&st->command_info, 0, sizeof st->command_info);
    st->command_info.command = command;
    st->command_info.pathname = path;
    st->signalled = 0;
    st->state = next;
    st->result = kalder_gfs_ipc_request_command(st->ipc_handle, &st->command_info, handler_ipc_cb, st);
    return STEP_NEXT;
}

StepOutcome step_init(HandlerState *st)
{
    request_rec *r = st->request;
    const ServerConfig *conf = kalder_server_config(r->server);
    st->session_info.map_user = KALDER_TRUE;
    if (create_dcsc_credential(st) != 0) {
        r->status = HTTP_INTERNAL_SERVER_ERROR;
        st->message = "The data channel credential could not be created.\n";
        return STEP_FAILURE;
    }
    st->session_info.del_cred = st->credential;
    st->session_info.subject = apr_pstrdup(st->pool, SESSION_SUBJECT);
    st->session_info.password = nullptr;
    st->session_info.cookie = nullptr;
    char *user = nullptr;
    if (handler_session_user(r, st, &user) != 0)
        return STEP_FAILURE;
    st->session_info.username = user;
    st->session_info.host_id = apr_pstrdup(st->pool, conf->backend_contact);
    st->signalled = 0;
    st->state = MOD_KALDER_STATE_CONNECT;
    st->result = kalder_gfs_ipc_handle_connect_ex(&st->session_info, handler_open_cb, st, handler_error_cb,
                                                  st, KALDER_FALSE, GSS_C_NO_CREDENTIAL, nullptr, nullptr,
                                                  conf->connect_timeout, conf->idle_timeout, KALDER_FALSE);
    if (is_error(st->result))
        r->status = HTTP_INTERNAL_SERVER_ERROR;
    return STEP_NEXT;
}

StepOutcome step_listen(HandlerState *st);
StepOutcome start_prepare(HandlerState *st);

StepOutcome step_restrict(HandlerState *st)
{
    request_rec *r = st->request;
    if (r->method_number == M_GET) {
        if (r->header_only)
            return request_stat(st, st->path, MOD_KALDER_STATE_HEAD_STAT);
        if (apr_table_get(r->headers_in, "Range"))
            return request_stat(st, st->path, MOD_KALDER_STATE_RANGE_STAT);
        return step_listen(st);
    }
    if (r->method_number == M_PUT) {
        return st->prepare ? start_prepare(st) : step_listen(st);
    }
    return request_command(st, KALDER_GFS_CMD_DELE, st->path, MOD_KALDER_STATE_DELETE);
}

StepOutcome step_connect(HandlerState *st)
{
    if (!st->restrict_paths)
        return step_restrict(st);
    request_command(st, KALDER_GFS_CMD_SITE_RESTRICT, st->restrict_paths, MOD_KALDER_STATE_RESTRICT);
    if (is_error(st->result))
        st->request->status = HTTP_INTERNAL_SERVER_ERROR;
    return STEP_NEXT;
}

apr_status_t range_list_cleanup(void *list)
{
    kalder_range_list_destroy(static_cast<kalder_range_list_t>(list));
    return APR_SUCCESS;
}

// Creates the listener and sends the data-channel request.
StepOutcome setup_listener(HandlerState *st)
{
    request_rec *r = st->request;
    const char *interface = std::getenv("KALDER_APACHE_DC_INTERFACE");
    if (interface) {
        ap_log_rerror(KALDER_MARK, APLOG_WARNING, 0, r,
                      "KALDER_MOD: Using the overridden data channel interface %s", interface);
    } else {
        interface = "127.0.0.1";
    }
    kalder_xio_driver_t tcp = mod_kalder_tcp_driver();
    kalder_xio_driver_t gsi = mod_kalder_gsi_driver();
    kalder_xio_attr_t attr = nullptr;
    kalder_result_t rc = kalder_xio_attr_init(&attr);
    auto fail = [&](const char *what) {
        log_toolkit_error(r, what, rc);
        if (attr)
            kalder_xio_attr_destroy(attr);
        st->result = rc;
        return STEP_FAILURE;
    };
    if (is_error(rc)) {
        attr = nullptr;
        return fail("Error initializing");
    }
    rc = kalder_xio_attr_cntl(attr, tcp, KALDER_XIO_TCP_SET_INTERFACE, interface);
    if (is_error(rc)) {
        log_toolkit_error(r, "Error setting the data listener", rc);
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Error setting interface to %s", interface);
        kalder_xio_attr_destroy(attr);
        st->result = rc;
        return STEP_FAILURE;
    }
    if (is_error(rc = kalder_xio_attr_cntl(attr, tcp, KALDER_XIO_TCP_SET_NO_IPV6, KALDER_TRUE)))
        return fail("Error setting data listener IPv6");
    if (is_error(rc = kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_CREDENTIAL, st->credential)))
        return fail("Error setting data listener credentials");
    if (is_error(rc = kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_SSL_COMPATIBLE, KALDER_TRUE)))
        return fail("Error setting data listener SSL compat");
    if (is_error(rc = kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_PROTECTION_LEVEL,
                                           static_cast<int>(KALDER_XIO_GSI_PROTECTION_LEVEL_PRIVACY))))
        return fail("Error setting data listener protection");
    if (is_error(rc = kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_AUTHORIZATION_MODE,
                                           static_cast<int>(KALDER_XIO_GSI_SELF_AUTHORIZATION))))
        return fail("Error setting data listener auth mode");
    if (is_error(rc = kalder_xio_server_create(&st->listener, attr, mod_kalder_xio_stack()))) {
        st->listener = nullptr;
        return fail("Error creating the data listener");
    }
    char *contact_raw = nullptr;
    if (is_error(rc = kalder_xio_server_cntl(st->listener, tcp, KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT,
                                             &contact_raw)))
        return fail("Error getting the listener contact");
    kalder::MallocPtr<char> contact_owner(contact_raw);
    const char *contact = apr_pstrdup(st->pool, contact_raw);
    kalder_xio_attr_destroy(attr);
    if (APLOGrdebug(r))
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "KALDER_MOD: using the data channel listener %s",
                      contact);

    std::memset(&st->data_info, 0, sizeof st->data_info);
    st->data_info.nstreams = 1;
    st->data_info.mode = st->ranges_given ? 'E' : 'S';
    st->data_info.type = 'I';
    st->data_info.tcp_bufsize = 65536;
    st->data_info.blocksize = 1048576;
    st->data_info.stripe_blocksize = 1048576;
    st->data_info.stripe_layout = 2;
    st->data_info.prot = 'P';
    st->data_info.dcau = 'A';
    st->data_info.pathname = st->path;
    st->data_info.max_cs = 0;
    st->data_info.cs_count = 1;
    auto **contacts = static_cast<const char **>(apr_palloc(st->pool, sizeof(const char *)));
    contacts[0] = contact;
    st->data_info.contact_strings = contacts;
    st->signalled = 0;
    st->state = MOD_KALDER_STATE_DATA_CHANNEL;
    st->result = kalder_gfs_ipc_request_active_data(st->ipc_handle, &st->data_info, handler_ipc_cb, st);
    return STEP_NEXT;
}

StepOutcome step_listen(HandlerState *st)
{
    request_rec *r = st->request;
    st->ranges = nullptr;
    st->ranges_given = 0;
    st->result = kalder_range_list_init(&st->ranges);
    if (is_error(st->result))
        return STEP_FAILURE;
    apr_pool_cleanup_register(r->pool, st->ranges, range_list_cleanup, apr_pool_cleanup_null);

    if (r->method_number == M_GET) {
        apr_array_header_t *parsed = nullptr;
        RangeParse kind = handler_parse_range(r->pool, apr_table_get(r->headers_in, "Range"), &parsed);
        if (kind == RANGE_WHOLE) {
            st->result = kalder_range_list_insert(st->ranges, 0, -1);
            if (is_error(st->result))
                return STEP_FAILURE;
        } else {
            if (kind == RANGE_LIST) {
                for (int i = 0; i < parsed->nelts; ++i) {
                    const ByteRange &range = APR_ARRAY_IDX(parsed, i, ByteRange);
                    if (is_error(kalder_range_list_insert(st->ranges, range.offset, range.length))) {
                        kind = RANGE_INVALID;  // beyond the signed 64-bit range once added up
                        break;
                    }
                }
            }
            if (kind == RANGE_INVALID) {
                r->status = HTTP_RANGE_NOT_SATISFIABLE;
                st->state = MOD_KALDER_STATE_ERROR;
                return STEP_FAILURE_KEEP;
            }
            st->ranges_given = 1;
            // Every range must lie in the file; checked before any data is
            // asked for.
            int count = kalder_range_list_size(st->ranges);
            for (int i = 0; i < count; ++i) {
                kalder_off_t offset = 0, length = 0;
                int64_t served = 0;
                kalder_range_list_at(st->ranges, i, &offset, &length);
                if (!handler_range_satisfiable(offset, length, st->stat.size, &served)) {
                    r->status = HTTP_RANGE_NOT_SATISFIABLE;
                    st->state = MOD_KALDER_STATE_ERROR;
                    return STEP_CLEAN;
                }
            }
        }
    }
    return setup_listener(st);
}

StepOutcome step_data_channel(HandlerState *st)
{
    request_rec *r = st->request;
    std::memset(&st->transfer_info, 0, sizeof st->transfer_info);
    st->transfer_info.pathname = st->path;
    st->transfer_info.partial_offset = 0;
    st->transfer_info.partial_length = -1;
    st->transfer_info.range_list = st->ranges;
    st->transfer_info.data_arg = st->data_arg;
    st->transfer_info.eof_count = 1;
    st->transfer_info.stripe_count = 1;
    st->transfer_info.node_count = 1;
    st->signalled = 0;
    if (r->method_number == M_PUT) {
        st->transfer_info.truncate = KALDER_TRUE;
        st->transfer_info.alloc_size = st->content_length;
        st->state = MOD_KALDER_STATE_RECV;
        st->result = kalder_gfs_ipc_request_recv(st->ipc_handle, &st->transfer_info, handler_ipc_cb,
                                                 handler_event_cb, st);
        return STEP_NEXT;
    }
    st->transfer_info.truncate = KALDER_FALSE;
    apr_table_setn(r->headers_out, "Content-Disposition",
                   handler_content_disposition(r->pool, r->uri, r->args != nullptr, st->download));
    st->state = MOD_KALDER_STATE_SEND;
    st->result =
        kalder_gfs_ipc_request_send(st->ipc_handle, &st->transfer_info, handler_ipc_cb, handler_event_cb, st);
    return STEP_NEXT;
}

// Tells the back end to stop the running transfer and discard it.
void send_transfer_abort(HandlerState *st)
{
    kalder_gfs_event_info_t event;
    std::memset(&event, 0, sizeof event);
    event.type = KALDER_GFS_EVENT_TRANSFER_ABORT;
    event.event_arg = st->event_arg;
    kalder_gfs_ipc_request_transfer_event(st->ipc_handle, &event);
}

// Accepts the back end's data connection and runs its handshake. A failure
// ends the request at once: the transfer is told to stop.
StepOutcome accept_data_connection(HandlerState *st, int32_t next)
{
    request_rec *r = st->request;
    st->state = next;
    st->signalled = 0;
    kalder_result_t rc = kalder_xio_server_accept(&st->data_handle, st->listener);
    if (is_error(rc)) {
        st->data_handle = nullptr;
        log_toolkit_error(r, "Error accepting the data connection", rc);
    } else if (is_error(rc = kalder_xio_open(st->data_handle, nullptr, nullptr))) {
        log_toolkit_error(r, "Error opening the data connection", rc);
    }
    if (!is_error(rc))
        return STEP_NEXT;
    if (st->event_arg)
        send_transfer_abort(st);
    r->status = HTTP_INTERNAL_SERVER_ERROR;
    st->result = rc;
    st->state = MOD_KALDER_STATE_ERROR;
    return STEP_FAILURE;
}

void close_listener(HandlerState *st)
{
    if (st->listener) {
        kalder_xio_server_close(st->listener);
        st->listener = nullptr;
    }
}

void close_data_handle(HandlerState *st)
{
    if (st->data_handle) {
        kalder_xio_close(st->data_handle, nullptr);
        st->data_handle = nullptr;
    }
}

// Sets up the range response: headers, status 206 and MODE_E_FILTER.
void prepare_range_response(HandlerState *st)
{
    request_rec *r = st->request;
    auto *ctx = static_cast<ModeEFilterCtx *>(apr_pcalloc(r->pool, sizeof(ModeEFilterCtx)));
    ctx->brigade = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    ctx->read_mode = 1;
    int count = kalder_range_list_size(st->ranges);
    if (count == 1) {
        kalder_off_t offset = 0, length = 0;
        int64_t served = 0;
        kalder_range_list_at(st->ranges, 0, &offset, &length);
        handler_range_satisfiable(offset, length, st->stat.size, &served);  // checked in LISTEN
        apr_table_setn(
            r->headers_out, "Content-Range",
            apr_psprintf(r->pool, "bytes %" APR_UINT64_T_FMT "-%" APR_UINT64_T_FMT "/*",
                         static_cast<apr_uint64_t>(offset), static_cast<apr_uint64_t>(offset + served - 1)));
        ap_set_content_length(r, served);
    } else {
        apr_uuid_t uuid;
        char text[APR_UUID_FORMATTED_LENGTH + 1];
        apr_uuid_get(&uuid);
        apr_uuid_format(text, &uuid);
        ctx->boundary = apr_pstrdup(r->pool, text);
        ctx->part_type = r->content_type ? r->content_type : "None";
        r->content_type = apr_psprintf(r->pool, "multipart/byteranges; boundary=%s", ctx->boundary);
    }
    ap_add_output_filter("MODE_E_FILTER", ctx, r, r->connection);
    r->status = HTTP_PARTIAL_CONTENT;
}

// Streams the data connection to the client. The end of the response is
// passed only once the back end has confirmed the transfer (step of
// SEND_FINISH), so that a transfer that fails midway never looks complete.
StepOutcome step_send_stream(HandlerState *st)
{
    request_rec *r = st->request;
    if (st->ranges_given)
        prepare_range_response(st);
    apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    APR_BRIGADE_INSERT_TAIL(bb, xio_bucket_create(st->data_handle, r->connection->bucket_alloc));
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_flush_create(r->connection->bucket_alloc));
    close_listener(st);
    if (st->state == MOD_KALDER_STATE_SEND_CONNECT)
        st->signalled = 0;
    st->state = MOD_KALDER_STATE_SEND_FINISH;
    st->streamed = 1;
    kalder_mutex_unlock(&st->lock);
    ap_pass_brigade(r->output_filters, bb);
    apr_brigade_cleanup(bb);
    kalder_mutex_lock(&st->lock);
    close_data_handle(st);
    return STEP_NEXT;  // the loop checks `result`, then waits
}

StepOutcome step_send_finish(HandlerState *st)
{
    request_rec *r = st->request;
    if (is_error(st->result))
        return STEP_FAILURE;
    apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(r->connection->bucket_alloc));
    kalder_mutex_unlock(&st->lock);
    ap_pass_brigade(r->output_filters, bb);
    kalder_mutex_lock(&st->lock);
    st->state = MOD_KALDER_STATE_DONE;
    return STEP_CLEAN;
}

// The data connection failed while the body was copied into it: the back
// end went away or stopped taking the bytes. The connection is cut without
// an orderly close and the transfer aborted, so the back end discards what
// it received and keeps the old file; the client gets 502. The body text is
// the failure the session has already recorded (the back end's reason),
// else the write error.
StepOutcome fail_body_write(HandlerState *st, kalder_result_t rc)
{
    request_rec *r = st->request;
    log_toolkit_error(r, "Error writing to the data connection", rc);
    kalder_xio_handle_cancel(st->data_handle);
    close_data_handle(st);
    send_transfer_abort(st);
    if (!is_error(st->result))
        st->result = rc;
    r->status = HTTP_BAD_GATEWAY;
    st->state = MOD_KALDER_STATE_ERROR;
    return STEP_FAILURE;
}

// Copies the request body into the data connection.
StepOutcome step_recv_copy(HandlerState *st)
{
    request_rec *r = st->request;
    close_listener(st);
    int64_t copied = 0;
    if (ap_should_client_block(r)) {
        auto *buffer = static_cast<char *>(apr_palloc(r->pool, UPLOAD_BUFFER_SIZE));
        kalder_xio_handle_t handle = st->data_handle;
        kalder_mutex_unlock(&st->lock);
        bool at_end = false;
        while (!at_end) {
            // Gather at least a quarter of the buffer (the input filters
            // hand out one TLS record at a time) so that the data channel
            // sees large writes.
            long n = 0;
            while (n < static_cast<long>(UPLOAD_BUFFER_SIZE / 4)) {
                long got = ap_get_client_block(r, buffer + n, UPLOAD_BUFFER_SIZE - static_cast<size_t>(n));
                if (got <= 0) {
                    at_end = true;
                    if (got < 0)
                        st->body_failed = 1;  // read under the lock below, by this thread only
                    break;
                }
                n += got;
            }
            if (st->body_failed || n == 0)
                break;
            size_t done = 0;
            while (done < static_cast<size_t>(n)) {
                size_t written = 0;
                kalder_result_t rc = kalder_xio_write(handle, buffer + done, static_cast<size_t>(n) - done,
                                                      static_cast<size_t>(n) - done, &written, nullptr);
                done += written;
                if (is_error(rc)) {
                    kalder_mutex_lock(&st->lock);
                    return fail_body_write(st, rc);
                }
            }
            copied += n;
        }
        kalder_mutex_lock(&st->lock);
    }
    if (st->body_failed) {
        // Never store a body that was cut short: the transfer is aborted
        // (the back end keeps the old file) and the request fails.
        ap_log_rerror(KALDER_MARK, APLOG_INFO, 0, r,
                      "Upload of %s aborted: the request body could not be read (%" APR_INT64_T_FMT
                      " of %" APR_INT64_T_FMT " bytes passed on)",
                      r->uri, copied, st->content_length);
        send_transfer_abort(st);
        r->status = HTTP_BAD_REQUEST;
        st->message = "The request body could not be read.\n";
    }
    close_data_handle(st);
    st->signalled = 0;
    st->state = MOD_KALDER_STATE_RECV_FINISH;
    if (st->transfer_replied) {
        st->state = MOD_KALDER_STATE_RECV_DONE;
        st->signalled = 1;
    }
    return STEP_NEXT;
}

StepOutcome step_recv_done(HandlerState *st)
{
    if (st->body_failed)
        return STEP_FAILURE;
    st->state = MOD_KALDER_STATE_DONE;
    return STEP_CLEAN;
}

// Directory walk of "prepare": stat the whole parent path; when it is
// missing, walk down from the top, stat each prefix and make the missing
// levels, the last one without a stat.
StepOutcome start_prepare(HandlerState *st)
{
    st->prepare_path = apr_pstrdup(st->pool, st->path);
    char *slash = std::strrchr(st->prepare_path, '/');
    if (!slash || slash == st->prepare_path) {
        st->result = KALDER_SUCCESS;
        st->signalled = 1;
        st->state = MOD_KALDER_STATE_PREPARE_DONE;
        return STEP_NEXT;
    }
    *slash = '\0';
    st->prepare_cursor = st->prepare_path;
    return request_stat(st, st->prepare_path, MOD_KALDER_STATE_PREPARE_STAT);
}

StepOutcome step_prepare_stat(HandlerState *st)
{
    *st->prepare_cursor = '/';
    char *next = std::strchr(st->prepare_cursor + 1, '/');
    if (next) {
        *next = '\0';
        st->prepare_cursor = next;
        return request_stat(st, st->prepare_path, MOD_KALDER_STATE_PREPARE_STAT);
    }
    st->prepare_cursor = st->prepare_path;
    st->result = KALDER_SUCCESS;
    st->signalled = 1;
    st->state = MOD_KALDER_STATE_PREPARE_MKDIR;
    return STEP_NEXT;
}

StepOutcome run_step(HandlerState *st)
{
    request_rec *r = st->request;
    switch (st->state) {
        case MOD_KALDER_STATE_INIT:
            return step_init(st);
        case MOD_KALDER_STATE_CONNECT:
            return step_connect(st);
        case MOD_KALDER_STATE_RESTRICT:
            return step_restrict(st);
        case MOD_KALDER_STATE_HEAD_STAT:
            ap_set_content_length(r, st->stat.size);
            st->state = MOD_KALDER_STATE_DONE;
            return STEP_CLEAN;
        case MOD_KALDER_STATE_RANGE_STAT:
        case MOD_KALDER_STATE_LISTEN:
            return step_listen(st);
        case MOD_KALDER_STATE_DATA_CHANNEL:
            return step_data_channel(st);
        case MOD_KALDER_STATE_SEND:
            return accept_data_connection(st, MOD_KALDER_STATE_SEND_CONNECT);
        case MOD_KALDER_STATE_SEND_CONNECT:
        case MOD_KALDER_STATE_SEND_DONE:
            return step_send_stream(st);
        case MOD_KALDER_STATE_SEND_FINISH:
            return step_send_finish(st);
        case MOD_KALDER_STATE_RECV:
            return accept_data_connection(st, MOD_KALDER_STATE_RECV_CONNECT);
        case MOD_KALDER_STATE_RECV_CONNECT:
            return step_recv_copy(st);
        case MOD_KALDER_STATE_RECV_FINISH:
            // Woken without news: wait again.
            st->signalled = 0;
            return STEP_NEXT;
        case MOD_KALDER_STATE_RECV_DONE:
            return step_recv_done(st);
        case MOD_KALDER_STATE_DELETE:
            st->state = MOD_KALDER_STATE_DONE;
            r->status = st->message ? HTTP_NOT_FOUND : HTTP_NO_CONTENT;
            return STEP_CLEAN;
        case MOD_KALDER_STATE_PREPARE_STAT:
            return step_prepare_stat(st);
        case MOD_KALDER_STATE_PREPARE_MKDIR:
            return request_command(st, KALDER_GFS_CMD_MKD, st->prepare_path, MOD_KALDER_STATE_PREPARE_MKDIR);
        case MOD_KALDER_STATE_PREPARE_DONE:
            st->result = KALDER_SUCCESS;
            st->state = MOD_KALDER_STATE_DONE;
            return STEP_CLEAN;
        default:
            KALDER_ASSERT(st->state >= 0 && st->state < MOD_KALDER_STATE_LAST);
            return STEP_CLEAN;
    }
}

// Closes the session (waiting for its close callback, after which no
// callback can touch this record), the data channel and the credential.
// Called and returns with the lock held.
void close_session(HandlerState *st)
{
    close_data_handle(st);
    close_listener(st);
    if (st->ipc_handle) {
        kalder_gfs_ipc_handle_t handle = st->ipc_handle;
        st->signalled = 0;
        st->closed = 0;
        kalder_mutex_unlock(&st->lock);
        kalder_result_t rc = kalder_gfs_ipc_close(handle, handler_close_cb, st);
        kalder_mutex_lock(&st->lock);
        if (!is_error(rc)) {
            while (!st->closed) kalder_cond_wait(&st->cond, &st->lock);
        }
        st->ipc_handle = nullptr;
    }
    // A data handle accepted by a callback-driven step after the first close
    // above cannot exist: steps run only on this thread.
    OM_uint32 minor = 0;
    gss_release_cred(&minor, &st->credential);
    if (st->credential_counted) {
        st->credential_counted = 0;
        dcsc_pool_request_done();
    }
}

int clean_exit(HandlerState *st)
{
    close_session(st);
    kalder_mutex_unlock(&st->lock);
    return OK;
}

int failure_exit(HandlerState *st, bool keep_status)
{
    request_rec *r = st->request;
    if (!keep_status && r->status == HTTP_OK)
        r->status = HTTP_NOT_FOUND;
    if (st->streamed) {
        // The response has started: a text now would read as part of the
        // file. Cut the response instead, so the client sees it incomplete.
        kalder::MallocPtr<char> text(
            is_error(st->result) ? kalder_error_print_friendly(kalder_error_peek(st->result)) : nullptr);
        if (r->connection->aborted)
            ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "KALDER_MOD: client gone during the transfer of %s",
                          r->uri);
        else
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "MOD_KALDER: %s. %s",
                          "The transfer failed after the response started",
                          text ? text.get() : UNKNOWN_ERROR);
        apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        APR_BRIGADE_INSERT_TAIL(
            bb, ap_bucket_error_create(HTTP_BAD_GATEWAY, nullptr, r->pool, r->connection->bucket_alloc));
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(r->connection->bucket_alloc));
        kalder_mutex_unlock(&st->lock);
        ap_pass_brigade(r->output_filters, bb);
        kalder_mutex_lock(&st->lock);
    } else if (!r->header_only) {
        const char *text = st->message;
        if (!text)
            text = is_error(st->result) ? friendly_text(r->pool, st->result) : UNKNOWN_ERROR;
        ap_set_content_type(r, "text/plain");
        size_t length = std::strlen(text);
        while (length > 0) {
            int piece = length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
            if (ap_rwrite(text, piece, r) < 0)
                break;
            text += piece;
            length -= static_cast<size_t>(piece);
        }
    }
    return clean_exit(st);
}

int run_session(HandlerState *st)
{
    kalder_mutex_lock(&st->lock);
    for (;;) {
        if (st->state == MOD_KALDER_STATE_DONE || st->state == MOD_KALDER_STATE_ERROR)
            return is_error(st->result) ? failure_exit(st, false) : clean_exit(st);
        while (!st->signalled) {
            kalder_cond_wait(&st->cond, &st->lock);
            if (st->state == MOD_KALDER_STATE_ERROR)
                return failure_exit(st, false);
        }
        StepOutcome outcome = run_step(st);
        if (outcome == STEP_FAILURE_KEEP)
            return failure_exit(st, true);
        if (outcome == STEP_FAILURE || is_error(st->result)) {
            st->state = MOD_KALDER_STATE_ERROR;
            return failure_exit(st, false);
        }
        if (outcome == STEP_CLEAN || st->state == MOD_KALDER_STATE_DONE ||
            st->state == MOD_KALDER_STATE_ERROR)
            return clean_exit(st);
    }
}

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

}  // namespace

int mod_kalder_handler(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    if (!r->handler || std::strcmp(r->handler, "kalder") != 0 || !conf || !conf->backend_contact)
        return DECLINED;
    if (r->method_number != M_GET && r->method_number != M_PUT && r->method_number != M_DELETE)
        return DECLINED;

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

    auto *st = static_cast<HandlerState *>(apr_pcalloc(r->pool, sizeof(HandlerState)));
    st->pool = r->pool;
    st->request = r;
    st->signalled = 1;
    st->path = apr_pstrdup(r->pool, r->uri);
    st->download = download;
    st->prepare = prepare;
    st->content_length = content_length;
    kalder_mutex_init(&st->lock, nullptr);
    kalder_cond_init(&st->cond, nullptr);
    return run_session(st);
}
