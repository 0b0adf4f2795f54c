// The steps of a request's back-end session and the loop that drives them.
#define KALDER_SOURCE "handler"
#include <climits>
#include <cstdlib>
#include <cstring>

#include "apr_strings.h"
#include "credential.h"
#include "digests.h"
#include "handler.h"
#include "http_protocol.h"
#include "http_request.h"
#include "invariant.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "config.h"
#include "module.h"
#include "server_config.h"
#include "counters.h"
#include "raii.h"

namespace handler {

StepOutcome request_stat(HandlerState *st, const char *path, int32_t next) KALDER_REQUIRES(st->lock)
{
    std::memset(&st->stat_info, 0, sizeof st->stat_info);
    st->stat_info.file_only = KALDER_TRUE;
    st->stat_info.pathname = const_cast<char *>(path);
    move_state(st, next);
    st->result = kalder_gfs_ipc_request_stat(st->ipc_handle, &st->stat_info, handler_ipc_cb, st);
    return STEP_NEXT;
}

StepOutcome request_command(HandlerState *st, int command, char *path, int32_t next,
                            kalder_gfs_validator_t precondition) KALDER_REQUIRES(st->lock)
{
    std::memset(&st->command_info, 0, sizeof st->command_info);
    st->command_info.command = command;
    st->command_info.pathname = path;
    st->command_info.precondition = precondition;
    move_state(st, next);
    st->result = kalder_gfs_ipc_request_command(st->ipc_handle, &st->command_info, handler_ipc_cb, st);
    return STEP_NEXT;
}

namespace {

constexpr const char *SESSION_SUBJECT =
    "/C=US/O=Kalder Consortium/OU=Kalder Online/OU=Transfer User/CN=__transfer__";

// Counts the first session failure of the request; later ones follow from it.
void count_session_failure(HandlerState *st, MetricSessionFailure kind) KALDER_REQUIRES(st->lock)
{
    if (st->failure_counted)
        return;
    st->failure_counted = 1;
    metrics_count_session_failure(kalder_metrics(), kind);
}

StepOutcome step_init(HandlerState *st) KALDER_REQUIRES(st->lock)
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
    move_state(st, MOD_KALDER_STATE_CONNECT);
    st->result = kalder_gfs_ipc_handle_connect_ex(&st->session_info, handler_open_cb, st, handler_error_cb,
                                                  st, KALDER_FALSE, GSS_C_NO_CREDENTIAL, nullptr, nullptr,
                                                  conf->connect_timeout, conf->idle_timeout, KALDER_FALSE);
    if (is_error(st->result)) {
        r->status = HTTP_INTERNAL_SERVER_ERROR;
        count_session_failure(st, METRIC_SESSION_OPEN_FAILED);
    }
    return STEP_NEXT;
}

StepOutcome start_prepare(HandlerState *st) KALDER_REQUIRES(st->lock);

StepOutcome step_restrict(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    if (r->method_number == M_GET) {
        if (r->header_only)
            return request_stat(st, st->path, MOD_KALDER_STATE_HEAD_STAT);
        if (apr_table_get(r->headers_in, "Range"))
            return request_stat(st, st->path, MOD_KALDER_STATE_RANGE_STAT);
        return request_stat(st, st->path, MOD_KALDER_STATE_FILE_STAT);
    }
    if (r->method_number == M_PUT && st->prepare)
        return start_prepare(st);
    if (has_change_preconditions(r))
        return request_stat(st, st->path, MOD_KALDER_STATE_CHECK_STAT);
    if (r->method_number == M_PUT)
        return step_listen(st);
    return request_command(st, KALDER_GFS_CMD_DELE, st->path, MOD_KALDER_STATE_DELETE);
}

StepOutcome step_connect(HandlerState *st) KALDER_REQUIRES(st->lock)
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

}  // namespace

StepOutcome step_listen(HandlerState *st) KALDER_REQUIRES(st->lock)
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
        RangeParse kind = handler_parse_range(
            r->pool, st->ignore_range ? nullptr : apr_table_get(r->headers_in, "Range"), &parsed);
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
                move_state(st, MOD_KALDER_STATE_ERROR);
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
                    move_state(st, MOD_KALDER_STATE_ERROR);
                    return STEP_CLEAN;
                }
            }
        }
    }
    return setup_listener(st);
}

namespace {

StepOutcome step_data_channel(HandlerState *st) KALDER_REQUIRES(st->lock)
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
    if (r->method_number == M_PUT) {
        st->transfer_info.truncate = KALDER_TRUE;
        st->transfer_info.alloc_size = st->content_length;
        if (st->upload_digest != DIGEST_NONE) {
            st->transfer_info.expected_checksum_alg =
                const_cast<char *>(digest_algorithm_name(static_cast<DigestAlgorithm>(st->upload_digest)));
            st->transfer_info.expected_checksum = const_cast<char *>(st->upload_digest_hex);
        }
        st->transfer_info.precondition = validator_of(st->stat, st->backend_precondition);
        move_state(st, MOD_KALDER_STATE_RECV);
        st->result = kalder_gfs_ipc_request_recv(st->ipc_handle, &st->transfer_info, handler_ipc_cb,
                                                 handler_event_cb, st);
        return STEP_NEXT;
    }
    st->transfer_info.truncate = KALDER_FALSE;
    // The back end sends only the file that was stat'ed, and cuts the data
    // when it changes in place meanwhile: never a mixture of two versions.
    st->transfer_info.precondition = validator_of(st->stat, KALDER_GFS_PRECONDITION_SAME);
    if (!st->ranges_given)
        ap_set_content_length(r, st->stat.size);
    apr_table_setn(r->headers_out, "Content-Disposition",
                   handler_content_disposition(r->pool, r->uri, r->args != nullptr, st->download));
    move_state(st, MOD_KALDER_STATE_SEND);
    st->result =
        kalder_gfs_ipc_request_send(st->ipc_handle, &st->transfer_info, handler_ipc_cb, handler_event_cb, st);
    return STEP_NEXT;
}

// Directory walk of "prepare": stat the whole parent path; when it is
// missing, walk down from the top, stat each prefix and make the missing
// levels, the last one without a stat.
StepOutcome start_prepare(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    st->prepare_path = apr_pstrdup(st->pool, st->path);
    char *slash = std::strrchr(st->prepare_path, '/');
    if (!slash || slash == st->prepare_path) {
        st->result = KALDER_SUCCESS;
        st->run_now = 1;
        move_state(st, MOD_KALDER_STATE_PREPARE_DONE);
        return STEP_NEXT;
    }
    *slash = '\0';
    st->prepare_cursor = st->prepare_path;
    return request_stat(st, st->prepare_path, MOD_KALDER_STATE_PREPARE_STAT);
}

StepOutcome step_prepare_stat(HandlerState *st) KALDER_REQUIRES(st->lock)
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
    st->run_now = 1;
    move_state(st, MOD_KALDER_STATE_PREPARE_MKDIR);
    return STEP_NEXT;
}

StepOutcome run_step(HandlerState *st) KALDER_REQUIRES(st->lock)
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
        case MOD_KALDER_STATE_RANGE_STAT:
        case MOD_KALDER_STATE_FILE_STAT:
            return step_file_stat(st);
        case MOD_KALDER_STATE_CHECK_STAT:
            return step_check_stat(st);
        case MOD_KALDER_STATE_DIGEST:
            return step_digest(st);
        case MOD_KALDER_STATE_LIST:
            return step_list(st);
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
            return STEP_NEXT;
        case MOD_KALDER_STATE_RECV_DONE:
            return step_recv_done(st);
        case MOD_KALDER_STATE_DELETE:
            move_state(st, MOD_KALDER_STATE_DONE);
            r->status = st->message ? HTTP_NOT_FOUND : HTTP_NO_CONTENT;
            return STEP_CLEAN;
        case MOD_KALDER_STATE_PREPARE_STAT:
            return step_prepare_stat(st);
        case MOD_KALDER_STATE_PREPARE_MKDIR:
            return request_command(st, KALDER_GFS_CMD_MKD, st->prepare_path, MOD_KALDER_STATE_PREPARE_MKDIR);
        case MOD_KALDER_STATE_PREPARE_DONE:
            st->result = KALDER_SUCCESS;
            move_state(st, MOD_KALDER_STATE_DONE);
            return STEP_CLEAN;
        default:
            KALDER_ASSERT(st->state >= 0 && st->state < MOD_KALDER_STATE_LAST);
            return STEP_CLEAN;
    }
}

// What session_transition reads of the record.
SessionView view_of(const HandlerState *st) KALDER_REQUIRES(st->lock)
{
    return SessionView{st->state, st->ipc_handle != nullptr, st->event_arg != nullptr,
                       st->prepare_cursor == st->prepare_path};
}

void send_transfer_complete(kalder_gfs_ipc_handle_t handle, HandlerState *st) KALDER_REQUIRES(st->lock)
{
    kalder_gfs_event_info_t event;
    std::memset(&event, 0, sizeof event);
    event.type = KALDER_GFS_EVENT_TRANSFER_COMPLETE;
    event.event_arg = st->event_arg;
    kalder_gfs_ipc_request_transfer_event(handle, &event);
}

// Applies one arrival's transition; whether it moved the session to ERROR.
bool apply_arrival(HandlerState *st, SessionArrival &a) KALDER_REQUIRES(st->lock)
{
    const SessionTransition t = session_transition(view_of(st), a);
    // A session that breaks before its open reply never opened.
    if ((a.kind == ARRIVAL_OPENED && t.set_result && is_error(t.result)) ||
        (a.kind == ARRIVAL_BROKEN && !st->ipc_handle))
        count_session_failure(st, METRIC_SESSION_OPEN_FAILED);
    else if (a.kind == ARRIVAL_BROKEN && st->state != MOD_KALDER_STATE_ERROR)
        count_session_failure(st, METRIC_SESSION_BROKE);
    if (t.take_handle)
        st->ipc_handle = a.handle;
    if (t.take_message)
        st->message = apr_pstrdup(st->pool, a.message);
    std::free(a.message);
    a.message = nullptr;
    if (t.take_event_arg)
        st->event_arg = a.event_arg;
    if (t.take_data_arg)
        st->data_arg = a.data_arg;
    if (t.take_stat)
        st->stat = a.stat;
    if (t.take_stored) {
        st->stored = a.stat;
        st->have_stored = true;
    }
    if (t.absent)
        st->absent = true;
    if (t.take_digest) {
        st->digest_hex = apr_pstrdup(st->pool, a.digest_hex);
        st->digest_stat = a.digest_stat;
    }
    if (t.take_list && st->listing) {
        st->listing->insert(st->listing->end(), a.list->entries.begin(), a.list->entries.end());
        st->list_next = apr_pstrdup(st->pool, a.list->next.c_str());
    }
    delete a.list;
    a.list = nullptr;
    if (t.set_result && is_error(t.result) && a.kind == ARRIVAL_REPLY && a.has_reply)
        st->reply_code = a.reply_code;
    if (t.not_a_directory)
        st->message = apr_psprintf(st->pool, "%s exists but is not a directory.", st->prepare_path);
    if (t.set_result)
        st->result = t.result;
    if (t.send_complete)
        send_transfer_complete(a.handle, st);
    if (t.transfer_replied)
        st->transfer_replied = 1;
    if (t.wake)
        st->run_now = 1;
    const bool broken = t.next == MOD_KALDER_STATE_ERROR && st->state != MOD_KALDER_STATE_ERROR;
    move_state(st, t.next);
    return broken;
}

// Takes the news while the session closes: only the handle of a session
// that is still to be closed counts now.
void take_news_for_close(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    for (; st->news_count > 0; --st->news_count) {
        SessionArrival &a = st->news[st->news_first];
        st->news_first = (st->news_first + 1) % HANDLER_NEWS_MAX;
        if (a.kind == ARRIVAL_OPENED || a.kind == ARRIVAL_BROKEN) {
            const SessionTransition t = session_transition(view_of(st), a);
            if (t.take_handle && !st->closing)
                st->ipc_handle = a.handle;
        }
        std::free(a.message);
        a.message = nullptr;
        delete a.list;
        a.list = nullptr;
    }
}

// Closes the session, the data channel and the credential. Once the
// toolkit's close has returned no callback can touch this record, so the
// request goes on without waiting for the back end's acknowledgement (the
// session's own thread takes it and frees the handle). Called and returns
// with the lock held.
void close_session(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    close_data_handle(st);
    close_listener(st);
    take_news_for_close(st);
    if (st->ipc_handle) {
        kalder_gfs_ipc_handle_t handle = st->ipc_handle;
        st->closing = 1;
        // Unlocked: a callback that is running needs the lock to finish,
        // and the close waits for it.
        st->lock.unlock();
        kalder_gfs_ipc_close(handle, nullptr, nullptr);
        st->lock.lock();
        take_news_for_close(st);  // frees what came meanwhile
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

int clean_exit(HandlerState *st) KALDER_RELEASE(st->lock)
{
    close_session(st);
    st->lock.unlock();
    return OK;
}

int failure_exit(HandlerState *st, bool keep_status) KALDER_RELEASE(st->lock)
{
    request_rec *r = st->request;
    // A 502 here was set by the data path: the back end stopped taking or
    // giving the bytes.
    if (st->streamed || r->status == HTTP_BAD_GATEWAY)
        count_session_failure(st, METRIC_SESSION_TRANSFER_FAILED);
    if (!keep_status && r->status == HTTP_OK && !st->streamed)
        answer_for_reply_code(st);
    if (!keep_status && r->status == HTTP_OK)
        r->status = HTTP_NOT_FOUND;
    if (!st->streamed) {
        // What was set for the file does not describe the failure text.
        for (const char *name : {"Content-Length", "ETag", "Last-Modified", "Accept-Ranges", "Repr-Digest"})
            apr_table_unset(r->headers_out, name);
    }
    if (st->streamed) {
        // The response has started: a text now would read as part of the
        // file. Cut the response instead, so the client sees it incomplete.
        if (r->connection->aborted)
            ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "KALDER_MOD: client gone during the transfer of %s",
                          r->uri);
        else if (is_error(st->result))
            log_toolkit_error(r, "The transfer failed after the response started", st->result);
        else
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "MOD_KALDER: %s. %s",
                          "The transfer failed after the response started", UNKNOWN_ERROR);
        apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        APR_BRIGADE_INSERT_TAIL(
            bb, ap_bucket_error_create(HTTP_BAD_GATEWAY, nullptr, r->pool, r->connection->bucket_alloc));
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(r->connection->bucket_alloc));
        st->lock.unlock();
        ap_pass_brigade(r->output_filters, bb);
        st->lock.lock();
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

}  // namespace

int run_session(HandlerState *st)
{
    for (;;) {
        if (st->state == MOD_KALDER_STATE_DONE || st->state == MOD_KALDER_STATE_ERROR)
            return is_error(st->result) ? failure_exit(st, false) : clean_exit(st);
        for (;;) {
            if (take_news(st))
                return failure_exit(st, false);
            if (st->run_now)
                break;
            st->lock.wait(&st->cond);
        }
        st->run_now = 0;
        StepOutcome outcome = run_step(st);
        // News that came while the step had the lock released.
        const bool broken = take_news(st);
        if (outcome == STEP_FAILURE_KEEP)
            return failure_exit(st, true);
        if (outcome == STEP_FAILURE || broken || is_error(st->result)) {
            move_state(st, MOD_KALDER_STATE_ERROR);
            return failure_exit(st, false);
        }
        if (outcome == STEP_CLEAN || st->state == MOD_KALDER_STATE_DONE ||
            st->state == MOD_KALDER_STATE_ERROR)
            return clean_exit(st);
    }
}

void move_state(HandlerState *st, int32_t next) KALDER_REQUIRES(st->lock)
{
    if (next == st->state)
        return;
    ap_log_rerror(KALDER_MARK, APLOG_TRACE2, 0, st->request, "state %s -> %s", handler_state_name(st->state),
                  handler_state_name(next));
    st->state = next;
}

bool take_news(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    bool broken = false;
    if (st->news_lost) {
        // Unreachable with the few callbacks a session has outstanding; a
        // lost piece of news would leave the worker waiting for nothing.
        st->news_lost = 0;
        SessionArrival lost{};
        lost.kind = ARRIVAL_BROKEN;
        lost.result = kalder_error_put("mod_kalder", KALDER_ERROR_PROTOCOL,
                                       "Too many callbacks of the back-end session at once");
        apply_arrival(st, lost);
        broken = true;
    }
    for (; st->news_count > 0; --st->news_count) {
        SessionArrival a = st->news[st->news_first];
        st->news_first = (st->news_first + 1) % HANDLER_NEWS_MAX;
        if (apply_arrival(st, a))
            broken = true;
    }
    return broken;
}

}  // namespace handler
