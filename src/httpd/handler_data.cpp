// The data channel of a request: the listener the back end connects to,
// the download streamed from it and the upload body copied into it.
#define KALDER_SOURCE "handler"
#include <cstdlib>
#include <cstring>

#include "apr_strings.h"
#include "apr_uuid.h"
#include "handler.h"
#include "http_protocol.h"
#include "http_request.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "module.h"
#include "raii.h"

namespace handler {

namespace {

constexpr apr_size_t UPLOAD_BUFFER_SIZE = 1048576;

}  // namespace

// Creates the listener and sends the data-channel request.
StepOutcome setup_listener(HandlerState *st) KALDER_REQUIRES(st->lock)
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
    auto fail = [&](const char *what) KALDER_REQUIRES(st->lock) {
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
    move_state(st, MOD_KALDER_STATE_DATA_CHANNEL);
    st->result = kalder_gfs_ipc_request_active_data(st->ipc_handle, &st->data_info, handler_ipc_cb, st);
    return STEP_NEXT;
}

// Tells the back end to stop the running transfer and discard it.
void send_transfer_abort(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    kalder_gfs_event_info_t event;
    std::memset(&event, 0, sizeof event);
    event.type = KALDER_GFS_EVENT_TRANSFER_ABORT;
    event.event_arg = st->event_arg;
    kalder_gfs_ipc_request_transfer_event(st->ipc_handle, &event);
}

// Accepts the back end's data connection and runs its handshake. A failure
// ends the request at once: the transfer is told to stop.
StepOutcome accept_data_connection(HandlerState *st, int32_t next) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    move_state(st, next);
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
    move_state(st, MOD_KALDER_STATE_ERROR);
    return STEP_FAILURE;
}

void close_listener(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    if (st->listener) {
        kalder_xio_server_close(st->listener);
        st->listener = nullptr;
    }
}

void close_data_handle(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    if (st->data_handle) {
        kalder_xio_close(st->data_handle, nullptr);
        st->data_handle = nullptr;
    }
}

// Sets up the range response: headers, status 206 and MODE_E_FILTER.
void prepare_range_response(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    auto *ctx = static_cast<ModeEFilterCtx *>(apr_pcalloc(r->pool, sizeof(ModeEFilterCtx)));
    ctx->brigade = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    ctx->read_mode = 1;
    ctx->size = st->stat.size;
    int count = kalder_range_list_size(st->ranges);
    if (count == 1) {
        kalder_off_t offset = 0, length = 0;
        int64_t served = 0;
        kalder_range_list_at(st->ranges, 0, &offset, &length);
        handler_range_satisfiable(offset, length, st->stat.size, &served);  // checked in LISTEN
        apr_table_setn(
            r->headers_out, "Content-Range",
            apr_psprintf(r->pool, "bytes %" APR_UINT64_T_FMT "-%" APR_UINT64_T_FMT "/%" APR_UINT64_T_FMT,
                         static_cast<apr_uint64_t>(offset), static_cast<apr_uint64_t>(offset + served - 1),
                         static_cast<apr_uint64_t>(st->stat.size)));
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
StepOutcome step_send_stream(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    if (st->ranges_given)
        prepare_range_response(st);
    apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    APR_BRIGADE_INSERT_TAIL(bb, xio_bucket_create(st->data_handle, r->connection->bucket_alloc));
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_flush_create(r->connection->bucket_alloc));
    close_listener(st);
    if (st->state == MOD_KALDER_STATE_SEND_DONE)
        st->run_now = 1;  // the transfer reply has come: end the response at once
    move_state(st, MOD_KALDER_STATE_SEND_FINISH);
    st->streamed = 1;
    st->lock.unlock();
    ap_pass_brigade(r->output_filters, bb);
    apr_brigade_cleanup(bb);
    st->lock.lock();
    close_data_handle(st);
    return STEP_NEXT;  // the loop checks `result`, then waits
}

StepOutcome step_send_finish(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    if (is_error(st->result))
        return STEP_FAILURE;
    apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(r->connection->bucket_alloc));
    st->lock.unlock();
    ap_pass_brigade(r->output_filters, bb);
    st->lock.lock();
    move_state(st, MOD_KALDER_STATE_DONE);
    return STEP_CLEAN;
}

// The data connection failed while the body was copied into it: the back
// end went away or stopped taking the bytes. The connection is cut without
// an orderly close and the transfer aborted, so the back end discards what
// it received and keeps the old file; the client gets 502. The body text is
// the failure the session has already recorded (the back end's reason),
// else the write error.
StepOutcome fail_body_write(HandlerState *st, kalder_result_t rc) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    log_toolkit_error(r, "Error writing to the data connection", rc);
    kalder_xio_handle_cancel(st->data_handle);
    close_data_handle(st);
    send_transfer_abort(st);
    if (!is_error(st->result))
        st->result = rc;
    r->status = HTTP_BAD_GATEWAY;
    move_state(st, MOD_KALDER_STATE_ERROR);
    return STEP_FAILURE;
}

// Copies the request body into the data connection.
StepOutcome step_recv_copy(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    close_listener(st);
    int64_t copied = 0;
    bool body_failed = false;
    if (ap_should_client_block(r)) {
        auto *buffer = static_cast<char *>(apr_palloc(r->pool, UPLOAD_BUFFER_SIZE));
        kalder_xio_handle_t handle = st->data_handle;
        st->lock.unlock();
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
                        body_failed = true;
                    break;
                }
                n += got;
            }
            if (body_failed || n == 0)
                break;
            size_t done = 0;
            while (done < static_cast<size_t>(n)) {
                size_t written = 0;
                kalder_result_t rc = kalder_xio_write(handle, buffer + done, static_cast<size_t>(n) - done,
                                                      static_cast<size_t>(n) - done, &written, nullptr);
                done += written;
                if (is_error(rc)) {
                    st->lock.lock();
                    return fail_body_write(st, rc);
                }
            }
            copied += n;
        }
        st->lock.lock();
    }
    st->body_failed = body_failed;
    if (body_failed) {
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
    if (st->transfer_replied) {
        move_state(st, MOD_KALDER_STATE_RECV_DONE);
        st->run_now = 1;
    } else {
        move_state(st, MOD_KALDER_STATE_RECV_FINISH);
    }
    return STEP_NEXT;
}

StepOutcome step_recv_done(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    if (st->body_failed)
        return STEP_FAILURE;
    // The stored file's validators, so that the uploader can make its next
    // change conditional on nobody having replaced this version.
    if (st->have_stored)
        set_stored_validators(st->request, st->stored);
    move_state(st, MOD_KALDER_STATE_DONE);
    return STEP_CLEAN;
}

}  // namespace handler
