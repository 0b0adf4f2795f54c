// The session callbacks record what arrived, copied out of the toolkit's
// records; the worker's take_news applies it to the request's record (the
// transitions themselves are the core's, tested there).
#include <gtest/gtest.h>

#include <cstring>

#include "apr_strings.h"
#include "handler.h"
#include "testing.h"

using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

struct Callbacks : ::testing::Test {
    TestServer srv;
    TestRequest req{srv, "GET", "/a/b/c/f.txt"};
    HandlerState *st = nullptr;
    kalder_gfs_stat_t entry{};
    kalder_gfs_finished_info_t reply{};

    void SetUp() override
    {
        st = static_cast<HandlerState *>(apr_pcalloc(req->pool, sizeof(HandlerState)));
        st->pool = req->pool;
        st->request = req.get();
        st->path = apr_pstrdup(req->pool, "/a/b/c/f.txt");
        st->lock.init();
        kalder_cond_init(&st->cond, nullptr);
    }
    void TearDown() override
    {
        // Frees the messages of arrivals a test left untaken.
        st->state = MOD_KALDER_STATE_DONE;
        handler::take_news(st);
    }

    void at(int32_t state)
    {
        st->state = state;
        st->run_now = 0;
        st->result = KALDER_SUCCESS;
    }
    const SessionArrival &last() const
    {
        return st->news[(st->news_first + st->news_count - 1) % HANDLER_NEWS_MAX];
    }
    kalder_gfs_finished_info_t *stat_reply(int mode, kalder_result_t own = KALDER_SUCCESS)
    {
        std::memset(&reply, 0, sizeof reply);
        reply.type = KALDER_GFS_OP_STAT;
        reply.result = own;
        entry = {};
        entry.mode = mode;
        entry.size = 1234;
        entry.name = const_cast<char *>("f.txt");
        entry.symlink_target = const_cast<char *>("g.txt");
        reply.info.stat.stat_count = 1;
        reply.info.stat.stat_array = &entry;
        return &reply;
    }
    kalder_gfs_finished_info_t *typed_reply(int type, kalder_result_t own = KALDER_SUCCESS)
    {
        std::memset(&reply, 0, sizeof reply);
        reply.type = type;
        reply.result = own;
        return &reply;
    }
    static kalder_result_t failure() { return kalder_error_put("test", KALDER_ERROR_REMOTE, "No such file"); }
};

TEST_F(Callbacks, EachCallbackRecordsWithoutTouchingTheState)
{
    auto *handle = reinterpret_cast<kalder_gfs_ipc_handle_t>(0x1234);
    at(MOD_KALDER_STATE_HEAD_STAT);
    handler_ipc_cb(handle, KALDER_SUCCESS, stat_reply(0x8000), st);
    ASSERT_EQ(st->news_count, 1);
    // The entry is kept, not the texts it borrows from the toolkit.
    EXPECT_EQ(last().kind, ARRIVAL_REPLY);
    EXPECT_EQ(last().handle, handle);
    EXPECT_EQ(last().reply_type, KALDER_GFS_OP_STAT);
    EXPECT_EQ(last().stat_count, 1);
    EXPECT_EQ(last().stat.size, 1234);
    EXPECT_EQ(last().stat.name, nullptr);
    EXPECT_EQ(last().stat.symlink_target, nullptr);

    kalder_gfs_finished_info_t *r = typed_reply(KALDER_GFS_OP_SESSION_START);
    r->msg = const_cast<char *>("Welcome, read only today");
    handler_open_cb(handle, KALDER_SUCCESS, r, st);
    EXPECT_EQ(last().kind, ARRIVAL_OPENED);
    EXPECT_STREQ(last().message, "Welcome, read only today");
    EXPECT_NE(last().message, r->msg);  // a copy: the reply is the toolkit's
    handler_open_cb(nullptr, failure(), nullptr, st);
    EXPECT_FALSE(last().has_reply);

    kalder_gfs_event_info_t event{};
    event.type = KALDER_GFS_EVENT_TRANSFER_BEGIN;
    event.event_arg = reinterpret_cast<void *>(7);
    handler_event_cb(handle, KALDER_SUCCESS, &event, st);
    EXPECT_EQ(last().event_type, KALDER_GFS_EVENT_TRANSFER_BEGIN);
    EXPECT_EQ(last().event_arg, reinterpret_cast<void *>(7));
    handler_error_cb(handle, failure(), st);
    EXPECT_EQ(last().kind, ARRIVAL_BROKEN);

    EXPECT_EQ(st->news_count, 5);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_HEAD_STAT);
    EXPECT_EQ(st->result, KALDER_SUCCESS);
    EXPECT_EQ(st->run_now, 0);
    EXPECT_EQ(st->ipc_handle, nullptr);
}

TEST_F(Callbacks, TheWorkerAppliesTheNewsInOrder)
{
    // The transfer's identifier, then its reply: the reply is taken with
    // the identifier known, and moves the download on.
    at(MOD_KALDER_STATE_SEND_CONNECT);
    kalder_gfs_event_info_t event{};
    event.type = KALDER_GFS_EVENT_TRANSFER_BEGIN;
    event.event_arg = reinterpret_cast<void *>(7);
    handler_event_cb(nullptr, KALDER_SUCCESS, &event, st);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_TRANSFER), st);
    EXPECT_FALSE(handler::take_news(st));
    EXPECT_EQ(st->news_count, 0);
    EXPECT_EQ(st->event_arg, reinterpret_cast<void *>(7));
    EXPECT_EQ(st->state, MOD_KALDER_STATE_SEND_DONE);
    EXPECT_EQ(st->run_now, 1);

    // A reply the state does not wait for leaves the worker waiting.
    at(MOD_KALDER_STATE_DELETE);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_STAT), st);
    EXPECT_FALSE(handler::take_news(st));
    EXPECT_EQ(st->run_now, 0);

    // An upload's reply before its body is remembered for the copy step.
    at(MOD_KALDER_STATE_RECV_CONNECT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_TRANSFER), st);
    handler::take_news(st);
    EXPECT_EQ(st->transfer_replied, 1);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_RECV_CONNECT);
}

TEST_F(Callbacks, TakenNewsFillsTheRecord)
{
    auto *handle = reinterpret_cast<kalder_gfs_ipc_handle_t>(0x1234);
    at(MOD_KALDER_STATE_CONNECT);
    kalder_gfs_finished_info_t *r = typed_reply(KALDER_GFS_OP_SESSION_START);
    r->msg = const_cast<char *>("Welcome, read only today");
    handler_open_cb(handle, KALDER_SUCCESS, r, st);
    EXPECT_FALSE(handler::take_news(st));
    EXPECT_EQ(st->ipc_handle, handle);
    EXPECT_STREQ(st->message, "Welcome, read only today");
    EXPECT_EQ(st->run_now, 1);

    at(MOD_KALDER_STATE_HEAD_STAT);
    handler_ipc_cb(handle, KALDER_SUCCESS, stat_reply(0x8000), st);
    handler::take_news(st);
    EXPECT_EQ(st->stat.size, 1234);
    EXPECT_EQ(st->stat.name, nullptr);

    // A prefix of the "prepare" walk that is a file ends it with the message.
    st->prepare_path = apr_pstrdup(req->pool, "/a");
    st->prepare_cursor = st->prepare_path + 2;
    at(MOD_KALDER_STATE_PREPARE_STAT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0x81a4), st);
    EXPECT_TRUE(handler::take_news(st));
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_STREQ(st->message, "/a exists but is not a directory.");

    // A break records its reason.
    at(MOD_KALDER_STATE_SEND_FINISH);
    kalder_result_t err = failure();
    handler_error_cb(nullptr, err, st);
    EXPECT_TRUE(handler::take_news(st));
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_EQ(st->result, err);
}

TEST_F(Callbacks, NewsBeyondTheQueueBreaksTheSession)
{
    at(MOD_KALDER_STATE_SEND);
    kalder_gfs_event_info_t event{};
    event.type = KALDER_GFS_EVENT_TRANSFER_CONNECTED;
    for (int i = 0; i <= HANDLER_NEWS_MAX; ++i) handler_event_cb(nullptr, KALDER_SUCCESS, &event, st);
    EXPECT_EQ(st->news_count, HANDLER_NEWS_MAX);
    EXPECT_TRUE(handler::take_news(st));
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_NE(st->result, KALDER_SUCCESS);
    EXPECT_EQ(st->news_lost, 0);
}

}  // namespace
