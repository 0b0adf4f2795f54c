// The states of a request's back-end session and what each piece of news
// from the session (the open reply, a break, an event, a reply, the close)
// does to it. The toolkit's callbacks only record the news; the request's
// worker thread takes it in order and applies the transition decided here,
// so every change of state happens on that one thread.
#ifndef KALDER_CORE_SESSION_MACHINE_H
#define KALDER_CORE_SESSION_MACHINE_H

#include <cstdint>

#include <string>
#include <vector>

#include "kalder_common.h"
#include "kalder_gridftp_server.h"
#include "listing.h"

// Where a request's back-end session stands.
enum HandlerStateValue : int32_t {
    MOD_KALDER_STATE_INIT = 0,
    MOD_KALDER_STATE_CONNECT = 1,
    MOD_KALDER_STATE_RESTRICT = 2,
    MOD_KALDER_STATE_DATA_CHANNEL = 3,
    MOD_KALDER_STATE_HEAD_STAT = 4,
    MOD_KALDER_STATE_SEND_CONNECT = 5,
    MOD_KALDER_STATE_SEND = 6,
    MOD_KALDER_STATE_SEND_DONE = 7,
    MOD_KALDER_STATE_SEND_FINISH = 8,
    MOD_KALDER_STATE_RECV_CONNECT = 9,
    MOD_KALDER_STATE_RECV = 10,
    MOD_KALDER_STATE_RECV_FINISH = 11,
    MOD_KALDER_STATE_RECV_DONE = 12,
    MOD_KALDER_STATE_DELETE = 13,
    MOD_KALDER_STATE_PREPARE_STAT = 14,
    MOD_KALDER_STATE_PREPARE_MKDIR = 15,
    MOD_KALDER_STATE_PREPARE_DONE = 16,
    MOD_KALDER_STATE_RANGE_STAT = 17,
    MOD_KALDER_STATE_LISTEN = 18,
    MOD_KALDER_STATE_DONE = 19,
    MOD_KALDER_STATE_ERROR = 20,
    MOD_KALDER_STATE_FILE_STAT = 21,   // GET of a whole file: its size and validators first
    MOD_KALDER_STATE_DIGEST = 22,      // the file's digest for Repr-Digest
    MOD_KALDER_STATE_LIST = 23,        // a page of a directory's entries
    MOD_KALDER_STATE_CHECK_STAT = 24,  // PUT or DELETE with preconditions: the file as it is, or absent
    MOD_KALDER_STATE_LAST = 25,
};

// "INIT", "CONNECT", ...; "?" outside the enumeration.
const char *handler_state_name(int32_t state);

enum ArrivalKind : int32_t {
    ARRIVAL_OPENED,  // the open callback
    ARRIVAL_BROKEN,  // the error callback: the session broke
    ARRIVAL_CLOSED,  // the close callback
    ARRIVAL_EVENT,   // the event callback
    ARRIVAL_REPLY,   // the reply callback of a request
};

// A page of a directory listing, copied out of a LIST reply (owned by the
// arrival until the worker takes it).
struct SessionListPage {
    std::vector<ListingEntry> entries;
    std::string next;  // "" when the listing is complete
};

// One callback's news, copied out of the toolkit's records (which the
// toolkit frees when the callback returns).
struct SessionArrival {
    ArrivalKind kind;
    kalder_gfs_ipc_handle_t handle;
    kalder_result_t result;  // the callback's own result
    bool has_reply;          // OPENED, REPLY: the toolkit gave a reply record
    int32_t reply_type;      // its kalder_gfs_operation_type_t
    kalder_result_t reply_result;
    int32_t reply_code;             // the back end's kalder_gfs_reply_code_t
    char *message;                  // OPENED: a malloc'd copy of the reply's text, or null
    void *data_arg;                 // ACTIVE reply: the data channel's identifier
    int32_t stat_count;             // STAT reply: entries (0 also when the array is missing)
    kalder_gfs_stat_t stat;         // STAT reply: the first entry; TRANSFER: the stored file; no texts
    int32_t event_type;             // EVENT
    void *event_arg;                // EVENT
    char digest_hex[129];           // DIGEST reply: the digest, NUL-terminated
    kalder_gfs_stat_t digest_stat;  // DIGEST reply: the file that was hashed
    SessionListPage *list;          // LIST reply: new'd, or null
};

// What the transition reads of the session besides its state.
struct SessionView {
    int32_t state;
    bool have_ipc_handle;
    bool have_event_arg;  // the transfer's identifier has come
    bool prepare_at_top;  // the "prepare" walk's cursor is at the start of its path
};

struct SessionTransition {
    int32_t next;  // the state afterwards (the same when the news changes none)
    bool wake;     // the worker runs the step of `next`; else it waits on
    bool set_result;
    kalder_result_t result;  // with set_result: the session's result from now on
    bool send_complete;      // tell the back end the transfer is done with
    bool take_handle;        // keep the arrival's session handle
    bool take_message;       // keep the arrival's message
    bool take_event_arg;
    bool take_data_arg;
    bool take_stat;
    bool take_stored;  // a receive's final reply named the file it stored
    bool take_digest;
    bool take_list;
    bool absent;            // CHECK_STAT: the file does not exist
    bool closed;            // the close callback has run
    bool transfer_replied;  // the upload's transfer succeeded before its body was copied
    bool not_a_directory;   // the message is "<prepare path> exists but is not a directory."
};

// The transition of one arrival. A reply of a type the state does not wait
// for changes nothing and does not wake the worker, which would otherwise
// re-run its step for nothing.
SessionTransition session_transition(const SessionView &view, const SessionArrival &arrival);

#endif
