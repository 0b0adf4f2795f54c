// The back-end session's transitions.
#include "session_machine.h"

#include "invariant.h"

namespace {

constexpr const char *STATE_NAMES[MOD_KALDER_STATE_LAST] = {
    "INIT",         "CONNECT",       "RESTRICT",     "DATA_CHANNEL", "HEAD_STAT",   "SEND_CONNECT", "SEND",
    "SEND_DONE",    "SEND_FINISH",   "RECV_CONNECT", "RECV",         "RECV_FINISH", "RECV_DONE",    "DELETE",
    "PREPARE_STAT", "PREPARE_MKDIR", "PREPARE_DONE", "RANGE_STAT",   "LISTEN",      "DONE",         "ERROR",
    "FILE_STAT",    "DIGEST",        "LIST",         "CHECK_STAT",
};
static_assert(sizeof STATE_NAMES / sizeof STATE_NAMES[0] == MOD_KALDER_STATE_LAST);

bool is_error(kalder_result_t result)
{
    return result != KALDER_SUCCESS;
}

// The callback's result first, then the reply's own.
kalder_result_t reply_error(const SessionArrival &a)
{
    if (is_error(a.result))
        return a.result;
    if (!a.has_reply)
        return kalder_error_put("mod_kalder", KALDER_ERROR_PROTOCOL, "The back end sent no reply");
    return a.reply_result;
}

kalder_result_t empty_stat()
{
    return kalder_error_put("mod_kalder", KALDER_ERROR_PROTOCOL, "The back end's stat reply is empty");
}

void fail(SessionTransition &t, kalder_result_t error)
{
    t.set_result = true;
    t.result = error;
    t.next = MOD_KALDER_STATE_ERROR;
}

void reply_transition(const SessionView &v, const SessionArrival &a, SessionTransition &t)
{
    KALDER_ASSERT(v.state != MOD_KALDER_STATE_INIT);
    KALDER_ASSERT(v.state != MOD_KALDER_STATE_CONNECT);
    KALDER_ASSERT(v.state != MOD_KALDER_STATE_SEND_DONE);
    KALDER_ASSERT(v.state >= 0 && v.state < MOD_KALDER_STATE_LAST);
    const kalder_result_t error = reply_error(a);
    const int type = a.has_reply ? a.reply_type : 0;
    t.wake = true;
    switch (v.state) {
        case MOD_KALDER_STATE_RESTRICT:
            if (is_error(error))
                fail(t, error);
            break;
        case MOD_KALDER_STATE_DATA_CHANNEL:
        case MOD_KALDER_STATE_SEND:
        case MOD_KALDER_STATE_RECV:
            if (a.has_reply && type == KALDER_GFS_OP_ACTIVE && !is_error(error))
                t.take_data_arg = true;
            if (type == KALDER_GFS_OP_TRANSFER && v.have_event_arg)
                t.send_complete = true;
            if (is_error(error))
                fail(t, error);
            break;
        case MOD_KALDER_STATE_HEAD_STAT:
        case MOD_KALDER_STATE_RANGE_STAT:
        case MOD_KALDER_STATE_FILE_STAT:
            if (type != KALDER_GFS_OP_STAT && !is_error(a.result))
                t.wake = false;
            else if (is_error(error))
                fail(t, error);
            else if (a.stat_count < 1)
                fail(t, empty_stat());
            else
                t.take_stat = true;
            break;
        case MOD_KALDER_STATE_CHECK_STAT:
            if (is_error(a.result)) {
                fail(t, a.result);
            } else if (type != KALDER_GFS_OP_STAT) {
                t.wake = false;
            } else if (is_error(a.reply_result)) {
                // Only a missing file is an answer here; a refused stat
                // stays a failure.
                if (a.reply_code == KALDER_GFS_E_NOT_FOUND) {
                    t.absent = true;
                    t.set_result = true;
                    t.result = KALDER_SUCCESS;
                } else {
                    fail(t, a.reply_result);
                }
            } else if (a.stat_count < 1) {
                fail(t, empty_stat());
            } else {
                t.take_stat = true;
            }
            break;
        case MOD_KALDER_STATE_DIGEST:
            if (type != KALDER_GFS_OP_DIGEST && !is_error(a.result))
                t.wake = false;
            else if (is_error(error))
                fail(t, error);
            else
                t.take_digest = true;
            break;
        case MOD_KALDER_STATE_LIST:
            if (type != KALDER_GFS_OP_LIST && !is_error(a.result))
                t.wake = false;
            else if (is_error(error))
                fail(t, error);
            else if (!a.list)
                fail(t, kalder_error_put("mod_kalder", KALDER_ERROR_MEMORY, "The listing could not be kept"));
            else
                t.take_list = true;
            break;
        case MOD_KALDER_STATE_DELETE:
            if (type != KALDER_GFS_OP_COMMAND && !is_error(a.result))
                t.wake = false;
            else if (is_error(error))
                fail(t, error);
            break;
        case MOD_KALDER_STATE_PREPARE_STAT:
            if (is_error(a.result)) {
                fail(t, a.result);
            } else if (type != KALDER_GFS_OP_STAT) {
                t.wake = false;
            } else if (is_error(a.reply_result)) {
                // The prefix does not exist.
                t.set_result = true;
                t.result = KALDER_SUCCESS;
                if (!v.prepare_at_top)
                    t.next = MOD_KALDER_STATE_PREPARE_MKDIR;
            } else if (a.stat_count < 1) {
                fail(t, empty_stat());
            } else if ((a.stat.mode & 0xF000) != 0x4000) {
                t.not_a_directory = true;
                t.next = MOD_KALDER_STATE_ERROR;
            } else if (v.prepare_at_top) {
                t.next = MOD_KALDER_STATE_PREPARE_DONE;
            }
            break;
        case MOD_KALDER_STATE_PREPARE_MKDIR:
            if (type != KALDER_GFS_OP_COMMAND && !is_error(a.result))
                t.wake = false;
            else if (is_error(error))
                fail(t, error);
            else
                t.next = v.prepare_at_top ? MOD_KALDER_STATE_PREPARE_DONE : MOD_KALDER_STATE_PREPARE_STAT;
            break;
        case MOD_KALDER_STATE_SEND_CONNECT:
        case MOD_KALDER_STATE_SEND_FINISH:
        case MOD_KALDER_STATE_RECV_CONNECT:
        case MOD_KALDER_STATE_RECV_FINISH:
            if (type != KALDER_GFS_OP_TRANSFER && !is_error(a.result)) {
                t.wake = false;
                break;
            }
            if (is_error(error))
                fail(t, error);
            else if (v.state == MOD_KALDER_STATE_RECV_FINISH)
                t.next = MOD_KALDER_STATE_RECV_DONE;
            else if (v.state == MOD_KALDER_STATE_SEND_CONNECT)
                t.next = MOD_KALDER_STATE_SEND_DONE;
            else if (v.state == MOD_KALDER_STATE_RECV_CONNECT)
                // The body is still to be copied: remembered for the step
                // that closes the data connection, so that it does not wait
                // for a reply that has already come.
                t.transfer_replied = true;
            if (!is_error(error) && a.stat_count >= 1 &&
                (v.state == MOD_KALDER_STATE_RECV_CONNECT || v.state == MOD_KALDER_STATE_RECV_FINISH))
                t.take_stored = true;
            t.send_complete = true;
            break;
        case MOD_KALDER_STATE_RECV_DONE:
        case MOD_KALDER_STATE_PREPARE_DONE:
        case MOD_KALDER_STATE_LISTEN:
            break;
        default:  // DONE, ERROR
            t.wake = false;
            break;
    }
}

}  // namespace

const char *handler_state_name(int32_t state)
{
    return state >= 0 && state < MOD_KALDER_STATE_LAST ? STATE_NAMES[state] : "?";
}

SessionTransition session_transition(const SessionView &v, const SessionArrival &a)
{
    SessionTransition t{};
    t.next = v.state;
    switch (a.kind) {
        case ARRIVAL_OPENED: {
            t.take_handle = true;
            const kalder_result_t error = reply_error(a);
            if (is_error(error)) {
                fail(t, error);
                t.wake = true;
            } else {
                t.take_message = a.message != nullptr;
                t.wake = v.state == MOD_KALDER_STATE_CONNECT;
            }
            break;
        }
        case ARRIVAL_BROKEN:
            // A session that breaks before its open reply still has to be
            // closed.
            t.take_handle = !v.have_ipc_handle;
            fail(t, a.result);
            t.wake = true;
            break;
        case ARRIVAL_CLOSED:
            t.closed = true;
            t.wake = true;
            break;
        case ARRIVAL_EVENT:
            if (a.event_type == KALDER_GFS_EVENT_TRANSFER_BEGIN) {
                t.take_event_arg = true;
                t.wake = v.state == MOD_KALDER_STATE_SEND || v.state == MOD_KALDER_STATE_RECV;
            } else if (a.event_type == KALDER_GFS_EVENT_TRANSFER_CONNECTED) {
                t.wake = v.state == MOD_KALDER_STATE_SEND_CONNECT || v.state == MOD_KALDER_STATE_RECV_CONNECT;
            }
            break;
        case ARRIVAL_REPLY:
            reply_transition(v, a, t);
            break;
    }
    return t;
}
