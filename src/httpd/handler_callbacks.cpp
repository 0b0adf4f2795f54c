// The session's toolkit callbacks.
#define KALDER_SOURCE "handler"
#include <cstring>

#include "apr_strings.h"
#include "handler.h"
#include "invariant.h"

using handler::is_error;

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
