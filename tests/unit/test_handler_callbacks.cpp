// The session callbacks: what each reply does to the handler's state, and
// when the worker is woken.
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
        kalder_mutex_init(&st->lock, nullptr);
        kalder_cond_init(&st->cond, nullptr);
    }

    void at(int32_t state)
    {
        st->state = state;
        st->signalled = 0;
        st->result = KALDER_SUCCESS;
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

TEST_F(Callbacks, StatReplyKeepsSizeAndModeButNoBorrowedText)
{
    at(MOD_KALDER_STATE_HEAD_STAT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0x8000), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_HEAD_STAT);
    EXPECT_EQ(st->signalled, 1);
    EXPECT_EQ(st->stat.size, 1234);
    EXPECT_EQ(st->stat.name, nullptr);

    at(MOD_KALDER_STATE_RANGE_STAT);
    kalder_result_t err = failure();
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0, err), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_EQ(st->result, err);
}

TEST_F(Callbacks, CallbackResultWinsOverTheReplysOwn)
{
    at(MOD_KALDER_STATE_DELETE);
    kalder_result_t session = failure();
    handler_ipc_cb(nullptr, session, typed_reply(KALDER_GFS_OP_COMMAND, failure()), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_EQ(st->result, session);
}

TEST_F(Callbacks, RepliesOfAnotherTypeAreIgnoredWithoutWaking)
{
    at(MOD_KALDER_STATE_DELETE);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_STAT), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_DELETE);
    EXPECT_EQ(st->signalled, 0);
    // A worker parked in RECV_FINISH used to spin on such a wake-up.
    at(MOD_KALDER_STATE_RECV_FINISH);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_COMMAND), st);
    EXPECT_EQ(st->signalled, 0);
}

TEST_F(Callbacks, FinishedSessionsAreNotWoken)
{
    for (int32_t s : {MOD_KALDER_STATE_DONE, MOD_KALDER_STATE_ERROR}) {
        at(s);
        handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_TRANSFER), st);
        EXPECT_EQ(st->signalled, 0);
        EXPECT_EQ(st->state, s);
    }
}

TEST_F(Callbacks, TransferRepliesMoveDownloadsAndUploadsOn)
{
    at(MOD_KALDER_STATE_SEND_CONNECT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_TRANSFER), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_SEND_DONE);
    EXPECT_EQ(st->signalled, 1);

    at(MOD_KALDER_STATE_RECV_FINISH);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_TRANSFER), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_RECV_DONE);

    // Success while the body is still copied: remembered, so the worker
    // does not wait for a reply that has already come.
    at(MOD_KALDER_STATE_RECV_CONNECT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_TRANSFER), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_RECV_CONNECT);
    EXPECT_EQ(st->transfer_replied, 1);

    at(MOD_KALDER_STATE_SEND_FINISH);
    kalder_result_t err = failure();
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_TRANSFER, err), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_EQ(st->result, err);
}

TEST_F(Callbacks, DataChannelReplyGivesTheIdentifier)
{
    at(MOD_KALDER_STATE_DATA_CHANNEL);
    kalder_gfs_finished_info_t *r = typed_reply(KALDER_GFS_OP_ACTIVE);
    r->info.data.data_arg = reinterpret_cast<void *>(42);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, r, st);
    EXPECT_EQ(st->data_arg, reinterpret_cast<void *>(42));
    EXPECT_EQ(st->state, MOD_KALDER_STATE_DATA_CHANNEL);
    EXPECT_EQ(st->signalled, 1);
}

TEST_F(Callbacks, PrepareWalkDecisions)
{
    st->prepare_path = apr_pstrdup(req->pool, "/a/b/c");
    st->prepare_cursor = st->prepare_path;

    // Whole parent missing: keep walking from the top.
    at(MOD_KALDER_STATE_PREPARE_STAT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0, failure()), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_PREPARE_STAT);
    EXPECT_EQ(st->result, KALDER_SUCCESS);

    // Whole parent exists as a directory: nothing to make.
    at(MOD_KALDER_STATE_PREPARE_STAT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0x41ed), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_PREPARE_DONE);

    // A missing prefix further down is made.
    st->prepare_path[2] = '\0';  // "/a"
    st->prepare_cursor = st->prepare_path + 2;
    at(MOD_KALDER_STATE_PREPARE_STAT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0, failure()), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_PREPARE_MKDIR);

    // An existing directory prefix: go on walking.
    at(MOD_KALDER_STATE_PREPARE_STAT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0x4000), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_PREPARE_STAT);

    // A prefix that is a file ends the walk with the message.
    at(MOD_KALDER_STATE_PREPARE_STAT);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, stat_reply(0x81a4), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_STREQ(st->message, "/a exists but is not a directory.");

    // Made a middle level: back to stat; made the last: done.
    at(MOD_KALDER_STATE_PREPARE_MKDIR);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_COMMAND), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_PREPARE_STAT);
    st->prepare_cursor = st->prepare_path;
    at(MOD_KALDER_STATE_PREPARE_MKDIR);
    handler_ipc_cb(nullptr, KALDER_SUCCESS, typed_reply(KALDER_GFS_OP_COMMAND), st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_PREPARE_DONE);
}

TEST_F(Callbacks, OpenReplyMessageAndFailures)
{
    at(MOD_KALDER_STATE_CONNECT);
    kalder_gfs_finished_info_t *r = typed_reply(KALDER_GFS_OP_SESSION_START);
    r->msg = const_cast<char *>("Welcome, read only today");
    auto *handle = reinterpret_cast<kalder_gfs_ipc_handle_t>(0x1234);
    handler_open_cb(handle, KALDER_SUCCESS, r, st);
    EXPECT_EQ(st->ipc_handle, handle);
    EXPECT_STREQ(st->message, "Welcome, read only today");
    EXPECT_NE(st->message, r->msg);  // a copy: the reply is the toolkit's
    EXPECT_EQ(st->signalled, 1);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_CONNECT);

    at(MOD_KALDER_STATE_CONNECT);
    kalder_result_t err = failure();
    handler_open_cb(nullptr, err, nullptr, st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_EQ(st->result, err);
    EXPECT_EQ(st->ipc_handle, nullptr);
}

TEST_F(Callbacks, EventsWakeOnlyTheStatesWaitingForThem)
{
    kalder_gfs_event_info_t event{};
    event.type = KALDER_GFS_EVENT_TRANSFER_BEGIN;
    event.event_arg = reinterpret_cast<void *>(7);
    at(MOD_KALDER_STATE_RECV);
    handler_event_cb(nullptr, KALDER_SUCCESS, &event, st);
    EXPECT_EQ(st->event_arg, reinterpret_cast<void *>(7));
    EXPECT_EQ(st->signalled, 1);

    event.type = KALDER_GFS_EVENT_TRANSFER_CONNECTED;
    at(MOD_KALDER_STATE_SEND);
    handler_event_cb(nullptr, KALDER_SUCCESS, &event, st);
    EXPECT_EQ(st->signalled, 0);
    at(MOD_KALDER_STATE_SEND_CONNECT);
    handler_event_cb(nullptr, KALDER_SUCCESS, &event, st);
    EXPECT_EQ(st->signalled, 1);
}

TEST_F(Callbacks, SessionBreakAndCloseAreRecorded)
{
    at(MOD_KALDER_STATE_SEND_FINISH);
    kalder_result_t err = failure();
    handler_error_cb(nullptr, err, st);
    EXPECT_EQ(st->state, MOD_KALDER_STATE_ERROR);
    EXPECT_EQ(st->result, err);
    EXPECT_EQ(st->signalled, 1);

    at(MOD_KALDER_STATE_DONE);
    handler_close_cb(nullptr, KALDER_SUCCESS, st);
    EXPECT_EQ(st->closed, 1);
    EXPECT_EQ(st->signalled, 1);
}

}  // namespace
