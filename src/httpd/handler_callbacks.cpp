// The session's toolkit callbacks. Each copies what arrived out of the
// toolkit's records (freed when the callback returns) into the request's
// news, under the lock, and signals the worker; the worker decides what it
// means.
#define KALDER_SOURCE "handler"
#include <cstdlib>
#include <cstring>

#include "handler.h"

namespace {

void record(void *arg, const SessionArrival &arrival)
{
    auto *st = static_cast<HandlerState *>(arg);
    st->lock.lock();
    if (st->news_count < HANDLER_NEWS_MAX) {
        st->news[(st->news_first + st->news_count) % HANDLER_NEWS_MAX] = arrival;
        ++st->news_count;
    } else {
        st->news_lost = 1;
        std::free(arrival.message);
    }
    kalder_cond_signal(&st->cond);
    st->lock.unlock();
}

SessionArrival arrival_of(ArrivalKind kind, kalder_gfs_ipc_handle_t handle, kalder_result_t result,
                          const kalder_gfs_finished_info_t *reply)
{
    SessionArrival a{};
    a.kind = kind;
    a.handle = handle;
    a.result = result;
    if (!reply)
        return a;
    a.has_reply = true;
    a.reply_type = reply->type;
    a.reply_result = reply->result;
    if (reply->type == KALDER_GFS_OP_ACTIVE)
        a.data_arg = reply->info.data.data_arg;
    if (reply->type == KALDER_GFS_OP_STAT && reply->info.stat.stat_count >= 1 &&
        reply->info.stat.stat_array) {
        a.stat_count = reply->info.stat.stat_count;
        a.stat = reply->info.stat.stat_array[0];
        a.stat.name = nullptr;
        a.stat.symlink_target = nullptr;
    }
    return a;
}

}  // namespace

void handler_open_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result,
                     kalder_gfs_finished_info_t *reply, void *arg)
{
    SessionArrival a = arrival_of(ARRIVAL_OPENED, handle, result, reply);
    if (reply && reply->msg && result == KALDER_SUCCESS && reply->result == KALDER_SUCCESS)
        a.message = strdup(reply->msg);
    record(arg, a);
}

void handler_error_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, void *arg)
{
    record(arg, arrival_of(ARRIVAL_BROKEN, handle, result, nullptr));
}

void handler_close_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, void *arg)
{
    record(arg, arrival_of(ARRIVAL_CLOSED, handle, result, nullptr));
}

void handler_event_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, kalder_gfs_event_info_t *event,
                      void *arg)
{
    SessionArrival a = arrival_of(ARRIVAL_EVENT, handle, result, nullptr);
    if (event) {
        a.event_type = event->type;
        a.event_arg = event->event_arg;
    }
    record(arg, a);
}

void handler_ipc_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, kalder_gfs_finished_info_t *reply,
                    void *arg)
{
    record(arg, arrival_of(ARRIVAL_REPLY, handle, result, reply));
}
