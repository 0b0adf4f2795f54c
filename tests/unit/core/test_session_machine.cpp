// The session's transitions: (state, what arrived) -> (next state, whether
// the worker runs its step, the result recorded, what the record keeps,
// what is sent).
#include <gtest/gtest.h>

#include <string>

#include "session_machine.h"

namespace {

// What the record keeps of an arrival.
constexpr unsigned K_NONE = 0;
constexpr unsigned K_HANDLE = 1;
constexpr unsigned K_MESSAGE = 2;
constexpr unsigned K_EVENT_ARG = 4;
constexpr unsigned K_DATA_ARG = 8;
constexpr unsigned K_STAT = 16;
constexpr unsigned K_CLOSED = 32;
constexpr unsigned K_NOT_A_DIRECTORY = 64;
constexpr unsigned K_TRANSFER_REPLIED = 128;
constexpr unsigned K_ABSENT = 256;
constexpr unsigned K_DIGEST = 512;
constexpr unsigned K_LIST = 1024;
constexpr unsigned K_STORED = 2048;

enum ResultIs {
    R_UNCHANGED,  // no result recorded
    R_SUCCESS,    // KALDER_SUCCESS recorded
    R_CALLBACK,   // the callback's own result
    R_REPLY,      // the reply's result
    R_NEW_ERROR,  // an error of the handler's own (empty stat reply, no reply)
};

enum Sent { S_NOTHING, S_COMPLETE };

kalder_result_t callback_error()
{
    static kalder_result_t e = kalder_error_put("test", KALDER_ERROR_REMOTE, "The session failed");
    return e;
}
kalder_result_t reply_error()
{
    static kalder_result_t e = kalder_error_put("test", KALDER_ERROR_REMOTE, "No such file");
    return e;
}

SessionArrival reply(int type, bool own_error = false, bool callback_failed = false)
{
    SessionArrival a{};
    a.kind = ARRIVAL_REPLY;
    a.result = callback_failed ? callback_error() : KALDER_SUCCESS;
    a.has_reply = true;
    a.reply_type = type;
    a.reply_result = own_error ? reply_error() : KALDER_SUCCESS;
    return a;
}
SessionArrival stat_reply(int mode, bool own_error = false)
{
    SessionArrival a = reply(KALDER_GFS_OP_STAT, own_error);
    a.stat_count = 1;
    a.stat.mode = mode;
    a.stat.size = 1234;
    return a;
}
// A failed reply with the back end's code.
SessionArrival coded_reply(int type, int code)
{
    SessionArrival a = reply(type, true);
    a.reply_code = code;
    return a;
}
SessionArrival list_reply(bool with_page)
{
    static SessionListPage page;
    SessionArrival a = reply(KALDER_GFS_OP_LIST);
    a.list = with_page ? &page : nullptr;
    return a;
}
// A transfer's final reply naming the file it stored.
SessionArrival stored_reply(bool own_error = false)
{
    SessionArrival a = reply(KALDER_GFS_OP_TRANSFER, own_error);
    a.stat_count = 1;
    return a;
}
SessionArrival empty_stat_reply()
{
    return reply(KALDER_GFS_OP_STAT);
}
SessionArrival of_kind(ArrivalKind kind, bool failed = false)
{
    SessionArrival a{};
    a.kind = kind;
    a.result = failed ? callback_error() : KALDER_SUCCESS;
    return a;
}
SessionArrival opened(bool failed)
{
    SessionArrival a = of_kind(ARRIVAL_OPENED, failed);
    a.has_reply = !failed;
    a.reply_type = KALDER_GFS_OP_SESSION_START;
    a.message = const_cast<char *>("Welcome, read only today");
    return a;
}
SessionArrival event(int type)
{
    SessionArrival a = of_kind(ARRIVAL_EVENT);
    a.event_type = type;
    a.event_arg = reinterpret_cast<void *>(7);
    return a;
}

struct TransitionCase {
    const char *name;
    int32_t state;
    bool have_event_arg;
    bool prepare_at_top;
    SessionArrival arrival;
    int32_t next;
    bool wake;
    ResultIs result;
    unsigned keep;
    Sent sent;
};

std::string keeps(const SessionTransition &t)
{
    unsigned k = (t.take_handle ? K_HANDLE : 0) | (t.take_message ? K_MESSAGE : 0) |
                 (t.take_event_arg ? K_EVENT_ARG : 0) | (t.take_data_arg ? K_DATA_ARG : 0) |
                 (t.take_stat ? K_STAT : 0) | (t.closed ? K_CLOSED : 0) |
                 (t.not_a_directory ? K_NOT_A_DIRECTORY : 0) | (t.transfer_replied ? K_TRANSFER_REPLIED : 0) |
                 (t.absent ? K_ABSENT : 0) | (t.take_digest ? K_DIGEST : 0) | (t.take_list ? K_LIST : 0) |
                 (t.take_stored ? K_STORED : 0);
    return std::to_string(k);
}

TEST(SessionTransition, AsTheTableSays)
{
    const TransitionCase cases[] = {
        // Stat replies keep the entry; a failed one ends the session with the
        // reply's reason, an empty one with one of the handler's own.
        {"head stat", MOD_KALDER_STATE_HEAD_STAT, false, false, stat_reply(0x8000),
         MOD_KALDER_STATE_HEAD_STAT, true, R_UNCHANGED, K_STAT, S_NOTHING},
        {"range stat failed", MOD_KALDER_STATE_RANGE_STAT, false, false, stat_reply(0, true),
         MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_NOTHING},
        {"empty stat", MOD_KALDER_STATE_HEAD_STAT, false, false, empty_stat_reply(), MOD_KALDER_STATE_ERROR,
         true, R_NEW_ERROR, K_NONE, S_NOTHING},
        // The callback's result wins over the reply's own.
        {"callback result first", MOD_KALDER_STATE_DELETE, false, false,
         reply(KALDER_GFS_OP_COMMAND, true, true), MOD_KALDER_STATE_ERROR, true, R_CALLBACK, K_NONE,
         S_NOTHING},
        {"delete done", MOD_KALDER_STATE_DELETE, false, false, reply(KALDER_GFS_OP_COMMAND),
         MOD_KALDER_STATE_DELETE, true, R_UNCHANGED, K_NONE, S_NOTHING},
        // Replies of another type change nothing and do not wake the worker
        // (one parked in RECV_FINISH used to spin on such a wake-up).
        {"other type in delete", MOD_KALDER_STATE_DELETE, false, false, reply(KALDER_GFS_OP_STAT),
         MOD_KALDER_STATE_DELETE, false, R_UNCHANGED, K_NONE, S_NOTHING},
        {"other type in recv finish", MOD_KALDER_STATE_RECV_FINISH, false, false,
         reply(KALDER_GFS_OP_COMMAND), MOD_KALDER_STATE_RECV_FINISH, false, R_UNCHANGED, K_NONE, S_NOTHING},
        {"other type in head stat", MOD_KALDER_STATE_HEAD_STAT, false, false, reply(KALDER_GFS_OP_COMMAND),
         MOD_KALDER_STATE_HEAD_STAT, false, R_UNCHANGED, K_NONE, S_NOTHING},
        // Finished sessions are not woken.
        {"done", MOD_KALDER_STATE_DONE, true, false, reply(KALDER_GFS_OP_TRANSFER), MOD_KALDER_STATE_DONE,
         false, R_UNCHANGED, K_NONE, S_NOTHING},
        {"error", MOD_KALDER_STATE_ERROR, true, false, reply(KALDER_GFS_OP_TRANSFER), MOD_KALDER_STATE_ERROR,
         false, R_UNCHANGED, K_NONE, S_NOTHING},
        // Transfer replies move downloads and uploads on and are answered
        // with the transfer-complete event, failed ones too.
        {"download replied", MOD_KALDER_STATE_SEND_CONNECT, true, false, reply(KALDER_GFS_OP_TRANSFER),
         MOD_KALDER_STATE_SEND_DONE, true, R_UNCHANGED, K_NONE, S_COMPLETE},
        {"upload replied", MOD_KALDER_STATE_RECV_FINISH, true, false, reply(KALDER_GFS_OP_TRANSFER),
         MOD_KALDER_STATE_RECV_DONE, true, R_UNCHANGED, K_NONE, S_COMPLETE},
        {"upload replied before its body", MOD_KALDER_STATE_RECV_CONNECT, true, false,
         reply(KALDER_GFS_OP_TRANSFER), MOD_KALDER_STATE_RECV_CONNECT, true, R_UNCHANGED, K_TRANSFER_REPLIED,
         S_COMPLETE},
        // The stored file of an upload is kept for the answer's validators,
        // only from a successful receive.
        {"upload stored", MOD_KALDER_STATE_RECV_FINISH, true, false, stored_reply(),
         MOD_KALDER_STATE_RECV_DONE, true, R_UNCHANGED, K_STORED, S_COMPLETE},
        {"upload stored before its body", MOD_KALDER_STATE_RECV_CONNECT, true, false, stored_reply(),
         MOD_KALDER_STATE_RECV_CONNECT, true, R_UNCHANGED, K_TRANSFER_REPLIED | K_STORED, S_COMPLETE},
        {"upload failed with an entry", MOD_KALDER_STATE_RECV_FINISH, true, false, stored_reply(true),
         MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_COMPLETE},
        {"download with an entry", MOD_KALDER_STATE_SEND_CONNECT, true, false, stored_reply(),
         MOD_KALDER_STATE_SEND_DONE, true, R_UNCHANGED, K_NONE, S_COMPLETE},
        {"download failed at the end", MOD_KALDER_STATE_SEND_FINISH, true, false,
         reply(KALDER_GFS_OP_TRANSFER, true), MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_COMPLETE},
        {"session failed the transfer", MOD_KALDER_STATE_RECV_FINISH, true, false,
         reply(KALDER_GFS_OP_COMMAND, false, true), MOD_KALDER_STATE_ERROR, true, R_CALLBACK, K_NONE,
         S_COMPLETE},
        // The data channel's reply gives its identifier; a transfer reply
        // before the data connection is answered only once the transfer's
        // identifier is known.
        {"data channel", MOD_KALDER_STATE_DATA_CHANNEL, false, false, reply(KALDER_GFS_OP_ACTIVE),
         MOD_KALDER_STATE_DATA_CHANNEL, true, R_UNCHANGED, K_DATA_ARG, S_NOTHING},
        {"data channel refused", MOD_KALDER_STATE_DATA_CHANNEL, false, false,
         reply(KALDER_GFS_OP_ACTIVE, true), MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_NOTHING},
        {"early transfer reply", MOD_KALDER_STATE_SEND, true, false, reply(KALDER_GFS_OP_TRANSFER, true),
         MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_COMPLETE},
        {"early transfer reply, no identifier", MOD_KALDER_STATE_RECV, false, false,
         reply(KALDER_GFS_OP_TRANSFER, true), MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_NOTHING},
        {"restrict refused", MOD_KALDER_STATE_RESTRICT, false, false, reply(KALDER_GFS_OP_COMMAND, true),
         MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_NOTHING},
        {"restricted", MOD_KALDER_STATE_RESTRICT, false, false, reply(KALDER_GFS_OP_COMMAND),
         MOD_KALDER_STATE_RESTRICT, true, R_UNCHANGED, K_NONE, S_NOTHING},
        // The "prepare" walk: the whole parent first (cursor at the top),
        // then each prefix from the top.
        {"parent missing: walk from the top", MOD_KALDER_STATE_PREPARE_STAT, false, true, stat_reply(0, true),
         MOD_KALDER_STATE_PREPARE_STAT, true, R_SUCCESS, K_NONE, S_NOTHING},
        {"parent is a directory", MOD_KALDER_STATE_PREPARE_STAT, false, true, stat_reply(0x41ed),
         MOD_KALDER_STATE_PREPARE_DONE, true, R_UNCHANGED, K_NONE, S_NOTHING},
        {"prefix missing: made", MOD_KALDER_STATE_PREPARE_STAT, false, false, stat_reply(0, true),
         MOD_KALDER_STATE_PREPARE_MKDIR, true, R_SUCCESS, K_NONE, S_NOTHING},
        {"prefix is a directory", MOD_KALDER_STATE_PREPARE_STAT, false, false, stat_reply(0x4000),
         MOD_KALDER_STATE_PREPARE_STAT, true, R_UNCHANGED, K_NONE, S_NOTHING},
        {"prefix is a file", MOD_KALDER_STATE_PREPARE_STAT, false, false, stat_reply(0x81a4),
         MOD_KALDER_STATE_ERROR, true, R_UNCHANGED, K_NOT_A_DIRECTORY, S_NOTHING},
        {"prepare stat, session failed", MOD_KALDER_STATE_PREPARE_STAT, false, false,
         reply(KALDER_GFS_OP_STAT, false, true), MOD_KALDER_STATE_ERROR, true, R_CALLBACK, K_NONE, S_NOTHING},
        {"prepare stat, other type", MOD_KALDER_STATE_PREPARE_STAT, false, false,
         reply(KALDER_GFS_OP_COMMAND), MOD_KALDER_STATE_PREPARE_STAT, false, R_UNCHANGED, K_NONE, S_NOTHING},
        {"middle level made", MOD_KALDER_STATE_PREPARE_MKDIR, false, false, reply(KALDER_GFS_OP_COMMAND),
         MOD_KALDER_STATE_PREPARE_STAT, true, R_UNCHANGED, K_NONE, S_NOTHING},
        {"last level made", MOD_KALDER_STATE_PREPARE_MKDIR, false, true, reply(KALDER_GFS_OP_COMMAND),
         MOD_KALDER_STATE_PREPARE_DONE, true, R_UNCHANGED, K_NONE, S_NOTHING},
        {"mkdir refused", MOD_KALDER_STATE_PREPARE_MKDIR, false, false, reply(KALDER_GFS_OP_COMMAND, true),
         MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_NOTHING},
        // A conditional change looks at the file first: only a missing file
        // is an answer (absent), a refused stat stays a failure.
        {"check: file there", MOD_KALDER_STATE_CHECK_STAT, false, false, stat_reply(0x81a4),
         MOD_KALDER_STATE_CHECK_STAT, true, R_UNCHANGED, K_STAT, S_NOTHING},
        {"check: file absent", MOD_KALDER_STATE_CHECK_STAT, false, false,
         coded_reply(KALDER_GFS_OP_STAT, KALDER_GFS_E_NOT_FOUND), MOD_KALDER_STATE_CHECK_STAT, true,
         R_SUCCESS, K_ABSENT, S_NOTHING},
        {"check: stat refused", MOD_KALDER_STATE_CHECK_STAT, false, false,
         coded_reply(KALDER_GFS_OP_STAT, KALDER_GFS_E_DENIED), MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE,
         S_NOTHING},
        {"whole-file stat", MOD_KALDER_STATE_FILE_STAT, false, false, stat_reply(0x81a4),
         MOD_KALDER_STATE_FILE_STAT, true, R_UNCHANGED, K_STAT, S_NOTHING},
        {"digest", MOD_KALDER_STATE_DIGEST, false, false, reply(KALDER_GFS_OP_DIGEST),
         MOD_KALDER_STATE_DIGEST, true, R_UNCHANGED, K_DIGEST, S_NOTHING},
        {"digest failed", MOD_KALDER_STATE_DIGEST, false, false, reply(KALDER_GFS_OP_DIGEST, true),
         MOD_KALDER_STATE_ERROR, true, R_REPLY, K_NONE, S_NOTHING},
        {"list page", MOD_KALDER_STATE_LIST, false, false, list_reply(true), MOD_KALDER_STATE_LIST, true,
         R_UNCHANGED, K_LIST, S_NOTHING},
        // A page the callback could not keep must not list part of a
        // directory as if it were all.
        {"list page lost", MOD_KALDER_STATE_LIST, false, false, list_reply(false), MOD_KALDER_STATE_ERROR,
         true, R_NEW_ERROR, K_NONE, S_NOTHING},
        {"other type in list", MOD_KALDER_STATE_LIST, false, false, reply(KALDER_GFS_OP_STAT),
         MOD_KALDER_STATE_LIST, false, R_UNCHANGED, K_NONE, S_NOTHING},
        // The open reply gives the handle and the back end's message.
        {"opened", MOD_KALDER_STATE_CONNECT, false, false, opened(false), MOD_KALDER_STATE_CONNECT, true,
         R_UNCHANGED, K_HANDLE | K_MESSAGE, S_NOTHING},
        {"open failed", MOD_KALDER_STATE_CONNECT, false, false, opened(true), MOD_KALDER_STATE_ERROR, true,
         R_CALLBACK, K_HANDLE, S_NOTHING},
        // Events wake only the states waiting for them.
        {"transfer begins", MOD_KALDER_STATE_RECV, false, false, event(KALDER_GFS_EVENT_TRANSFER_BEGIN),
         MOD_KALDER_STATE_RECV, true, R_UNCHANGED, K_EVENT_ARG, S_NOTHING},
        {"transfer begins late", MOD_KALDER_STATE_SEND_FINISH, false, false,
         event(KALDER_GFS_EVENT_TRANSFER_BEGIN), MOD_KALDER_STATE_SEND_FINISH, false, R_UNCHANGED,
         K_EVENT_ARG, S_NOTHING},
        {"connected early", MOD_KALDER_STATE_SEND, true, false, event(KALDER_GFS_EVENT_TRANSFER_CONNECTED),
         MOD_KALDER_STATE_SEND, false, R_UNCHANGED, K_NONE, S_NOTHING},
        {"connected", MOD_KALDER_STATE_SEND_CONNECT, true, false, event(KALDER_GFS_EVENT_TRANSFER_CONNECTED),
         MOD_KALDER_STATE_SEND_CONNECT, true, R_UNCHANGED, K_NONE, S_NOTHING},
        // A break and the close are recorded.
        {"session broke", MOD_KALDER_STATE_SEND_FINISH, true, false, of_kind(ARRIVAL_BROKEN, true),
         MOD_KALDER_STATE_ERROR, true, R_CALLBACK, K_HANDLE, S_NOTHING},
        {"closed", MOD_KALDER_STATE_DONE, false, false, of_kind(ARRIVAL_CLOSED), MOD_KALDER_STATE_DONE, true,
         R_UNCHANGED, K_CLOSED, S_NOTHING},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SessionView view{c.state, false, c.have_event_arg, c.prepare_at_top};
        SessionTransition t = session_transition(view, c.arrival);
        EXPECT_STREQ(handler_state_name(t.next), handler_state_name(c.next));
        EXPECT_EQ(t.wake, c.wake);
        EXPECT_EQ(t.send_complete, c.sent == S_COMPLETE);
        EXPECT_EQ(keeps(t), std::to_string(c.keep));
        switch (c.result) {
            case R_UNCHANGED:
                EXPECT_FALSE(t.set_result);
                break;
            case R_SUCCESS:
                EXPECT_TRUE(t.set_result && t.result == KALDER_SUCCESS);
                break;
            case R_CALLBACK:
                EXPECT_TRUE(t.set_result && t.result == callback_error());
                break;
            case R_REPLY:
                EXPECT_TRUE(t.set_result && t.result == reply_error());
                break;
            case R_NEW_ERROR:
                EXPECT_TRUE(t.set_result && t.result != KALDER_SUCCESS && t.result != reply_error() &&
                            t.result != callback_error());
                break;
        }
    }
}

TEST(SessionTransition, ABreakKeepsTheFirstHandleAndEveryStateHasAName)
{
    SessionArrival broke = of_kind(ARRIVAL_BROKEN, true);
    EXPECT_TRUE(session_transition({MOD_KALDER_STATE_CONNECT, false, false, false}, broke).take_handle);
    EXPECT_FALSE(session_transition({MOD_KALDER_STATE_SEND, true, false, false}, broke).take_handle);

    EXPECT_STREQ(handler_state_name(MOD_KALDER_STATE_INIT), "INIT");
    EXPECT_STREQ(handler_state_name(MOD_KALDER_STATE_PREPARE_MKDIR), "PREPARE_MKDIR");
    EXPECT_STREQ(handler_state_name(MOD_KALDER_STATE_ERROR), "ERROR");
    EXPECT_STREQ(handler_state_name(MOD_KALDER_STATE_LAST), "?");
    EXPECT_STREQ(handler_state_name(-1), "?");
}

}  // namespace
