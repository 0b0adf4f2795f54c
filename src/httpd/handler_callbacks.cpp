// The session's toolkit callbacks. Each copies what arrived out of the
// toolkit's records (freed when the callback returns) into the request's
// news, under the lock, and signals the worker; the worker decides what it
// means.
#define KALDER_SOURCE "handler"
#include <cstdlib>
#include <cstring>
#include <memory>

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
        delete arrival.list;
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
    a.reply_code = reply->code;
    if (reply->type == KALDER_GFS_OP_ACTIVE)
        a.data_arg = reply->info.data.data_arg;
    if ((reply->type == KALDER_GFS_OP_STAT || reply->type == KALDER_GFS_OP_TRANSFER) &&
        reply->info.stat.stat_count >= 1 && reply->info.stat.stat_array) {
        a.stat_count = reply->info.stat.stat_count;
        a.stat = reply->info.stat.stat_array[0];
        a.stat.name = nullptr;
        a.stat.symlink_target = nullptr;
    }
    if (reply->type == KALDER_GFS_OP_DIGEST && reply->result == KALDER_SUCCESS && reply->info.digest.hex) {
        std::strncpy(a.digest_hex, reply->info.digest.hex, sizeof a.digest_hex - 1);
        a.digest_stat = reply->info.digest.stat;
        a.digest_stat.name = nullptr;
        a.digest_stat.symlink_target = nullptr;
    }
    if (reply->type == KALDER_GFS_OP_LIST && reply->result == KALDER_SUCCESS) {
        // Out of memory leaves the page out; the worker then fails the
        // request instead of listing part of the directory.
        try {
            auto page = std::make_unique<SessionListPage>();
            for (int i = 0; i < reply->info.stat.stat_count && reply->info.stat.stat_array; ++i) {
                const kalder_gfs_stat_t &e = reply->info.stat.stat_array[i];
                page->entries.push_back(ListingEntry{e.name ? e.name : "", (e.mode & 0xF000) == 0x4000,
                                                     static_cast<int64_t>(e.size),
                                                     static_cast<int64_t>(e.mtime)});
            }
            page->next = reply->info.stat.next ? reply->info.stat.next : "";
            a.list = page.release();
        } catch (...) {
            a.list = nullptr;
        }
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
