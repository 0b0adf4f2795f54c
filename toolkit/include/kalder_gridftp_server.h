// kalder_gridftp_server: the IPC client of the back-end data server.
//
// One session (an IPC handle) is one connection to the back end (a
// Unix-domain socket, or TCP for a back end on another machine),
// opened with kalder_gfs_ipc_handle_connect_ex under a session user string
// and a delegated credential. Requests on it (command, stat, data channel,
// send, receive, digest, listing) are answered asynchronously through
// callbacks; the wire format is documented in docs/ipc-protocol.md. The
// client speaks protocol version 3.
//
// How callbacks are delivered
// ---------------------------
// * Every callback (open, error, close, reply, event) runs on a thread of
//   the toolkit's own -- one per session -- and never on the caller's
//   thread inside a kalder_gfs_ipc_* call. A caller may therefore hold its
//   own lock while it makes a request and take that same lock inside its
//   callbacks.
// * The callbacks of one session run one at a time, in the order in which
//   the back end's messages arrived.
// * A callback may call kalder_gfs_ipc_request_transfer_event on the same
//   session (it does not wait for the back end). It must not call
//   kalder_gfs_ipc_close and wait for the close callback from inside a
//   callback (that would wait on its own thread).
// * A request call that returns an error has sent nothing, and its
//   callbacks will never be called.
// * Once the session breaks (the back end goes away, a malformed message
//   arrives, the idle timeout passes) the error callback is called once;
//   replies to requests still outstanding are not delivered after it.
//   The handle stays valid until kalder_gfs_ipc_close; its close callback
//   then follows promptly.
// * Once kalder_gfs_ipc_close has returned, no callback of the session
//   runs any more except the close callback: a callback that was running
//   has finished (the close waits for it, unless it is called from inside
//   that callback), and replies and events still to come are dropped. A
//   caller that passes no close callback may free what its callbacks use
//   as soon as the close returns. So the caller must not hold a lock its
//   callbacks take while it calls kalder_gfs_ipc_close.
// * After the close callback no further callback of the session is called
//   and the handle is freed.
// * A reply record, event record and everything they point to belong to
//   the toolkit and are valid only during the callback: copy what you keep.
#ifndef KALDER_GRIDFTP_SERVER_H
#define KALDER_GRIDFTP_SERVER_H

#include <cstddef>

#include "kalder_common.h"
#include "kalder_gssapi_gsi.h"

extern kalder_module_descriptor_t kalder_i_gfs_module_desc;
#define kalder_i_gfs_module (&kalder_i_gfs_module_desc)

struct kalder_gfs_ipc_handle_s;
using kalder_gfs_ipc_handle_t = kalder_gfs_ipc_handle_s *;

// Operation types of a reply (kalder_gfs_finished_info_t::type).
enum kalder_gfs_operation_type_t {
    KALDER_GFS_OP_SESSION_START = 4,  // reply to the session open
    KALDER_GFS_OP_COMMAND = 9,        // reply to kalder_gfs_ipc_request_command
    KALDER_GFS_OP_ACTIVE = 11,        // reply to kalder_gfs_ipc_request_active_data
    KALDER_GFS_OP_TRANSFER = 13,      // final reply of a send or receive
    KALDER_GFS_OP_STAT = 14,          // reply to kalder_gfs_ipc_request_stat
    KALDER_GFS_OP_DIGEST = 15,        // reply to kalder_gfs_ipc_request_digest
    KALDER_GFS_OP_LIST = 16,          // reply to kalder_gfs_ipc_request_list
};

// Codes of a reply (kalder_gfs_finished_info_t::code): 0 on success, else the
// class of the back end's failure; the reply's result carries its text.
enum kalder_gfs_reply_code_t {
    KALDER_GFS_OK = 0,
    KALDER_GFS_E_REFUSED = 1,          // the session was refused
    KALDER_GFS_E_NOT_FOUND = 2,        // no such file (also FIFOs, sockets, devices)
    KALDER_GFS_E_DENIED = 3,           // not permitted (guest restrictions)
    KALDER_GFS_E_INVALID = 4,          // the request is not valid (arguments, not a directory, ...)
    KALDER_GFS_E_FAILED = 5,           // the operation failed (I/O, data channel)
    KALDER_GFS_E_PRECONDITION = 6,     // a receive's or delete's validator did not hold at the commit
    KALDER_GFS_E_DIGEST_MISMATCH = 7,  // the received bytes do not have the expected checksum
    KALDER_GFS_E_CHANGED = 8,          // the file sent is not, or no longer, the one that was stat'ed
};

// A validator (precondition) of a send, receive or delete.
enum kalder_gfs_precondition_kind_t {
    KALDER_GFS_PRECONDITION_NONE = 0,  // no condition (the other fields are ignored)
    KALDER_GFS_PRECONDITION_SAME = 1,  // the file must be exactly this one: same dev, ino, size, mtime, nsec
    KALDER_GFS_PRECONDITION_ABSENT = 2,  // the target must not exist (receive)
};
struct kalder_gfs_validator_t {
    int kind;  // kalder_gfs_precondition_kind_t
    unsigned long long dev, ino;
    kalder_off_t size;
    long mtime;
    long mtime_nsec;
};

// Command codes (kalder_gfs_command_info_t::command).
enum kalder_gfs_command_type_t {
    KALDER_GFS_CMD_MKD = 1,               // make directory `pathname` (parent must exist)
    KALDER_GFS_CMD_DELE = 3,              // delete file (or empty directory) `pathname`
    KALDER_GFS_CMD_SITE_RESTRICT = 3072,  // `pathname` holds the guest path restrictions
};

// Event types (kalder_gfs_event_info_t::type).
enum kalder_gfs_event_type_t {
    KALDER_GFS_EVENT_TRANSFER_BEGIN = 1,       // back end -> client: the transfer starts; event_arg set
    KALDER_GFS_EVENT_TRANSFER_ABORT = 2,       // client -> back end: stop the transfer (it then fails)
    KALDER_GFS_EVENT_TRANSFER_COMPLETE = 4,    // client -> back end: the client is done with the transfer
    KALDER_GFS_EVENT_TRANSFER_CONNECTED = 64,  // back end -> client: the data connection is up
};

// Session information for kalder_gfs_ipc_handle_connect_ex. The strings
// and the credential are read during the call only (copied/exported).
struct kalder_gfs_session_info_t {
    gss_cred_id_t del_cred;  // delegated credential: the back end's data-channel identity (required)
    kalder_bool_t map_user;  // map the user string to a local identity (the back end requires true)
    char *username;          // session user string (":kalder-mapped-collection:..." or ":kalder-sharing:...")
    char *password;          // unused; null
    char *subject;           // subject name of the requester
    char *cookie;            // unused; null
    char *host_id;           // back-end contact: "unix:/PATH" or "host:port"
};

// Command record for kalder_gfs_ipc_request_command.
struct kalder_gfs_command_info_t {
    int command;          // kalder_gfs_command_type_t
    char *pathname;       // path on the collection, or the restriction list for SITE_RESTRICT
    char *from_pathname;  // unused; null
    // DELE: with KALDER_GFS_PRECONDITION_SAME the back end checks right
    // before the unlink that the name is still this file, else the reply
    // fails with KALDER_GFS_E_PRECONDITION. Zero: none.
    kalder_gfs_validator_t precondition;
};

// Stat request record for kalder_gfs_ipc_request_stat.
struct kalder_gfs_stat_info_t {
    kalder_bool_t file_only;          // stat the path itself (1), not the entries of a directory
    kalder_bool_t internal;           // unused
    char *pathname;                   // path on the collection
    kalder_bool_t use_symlink_info;   // unused
    kalder_bool_t include_path_stat;  // unused
};

// Data-channel record for kalder_gfs_ipc_request_active_data: the back end
// will connect to contact_strings[0] when a transfer on it begins.
struct kalder_gfs_data_info_t {
    kalder_bool_t ipv6;
    int nstreams;  // must be 1
    char mode;     // 'S' stream or 'E' extended block
    char type;     // 'I' image (the only type)
    kalder_size_t tcp_bufsize;
    kalder_size_t blocksize;  // 'E' block size; 1..16 MiB (the back end sends at most 1 MiB blocks)
    kalder_size_t stripe_blocksize;
    int stripe_layout;
    char prot;                     // 'P' private (the only level)
    char dcau;                     // 'A' self authentication (the only mode)
    char *subject;                 // unused; null
    char *pathname;                // informative
    int max_cs;                    // unused
    int cs_count;                  // must be 1
    const char **contact_strings;  // cs_count "host:port" contacts
    char *interface;               // unused; null
    gss_cred_id_t del_cred;        // unused; the session's delegated credential is used
};

// Transfer record for kalder_gfs_ipc_request_send / _recv.
struct kalder_gfs_transfer_info_t {
    char *pathname;
    char *module_name;               // unused; null
    char *module_args;               // unused; null
    char *list_type;                 // unused; null
    kalder_off_t partial_offset;     // must be 0
    kalder_off_t partial_length;     // must be -1
    kalder_range_list_t range_list;  // send: the ranges to send (empty or null = the whole file)
    kalder_bool_t truncate;          // receive: must be true (the file is replaced whole)
    void *data_arg;                  // the data-channel identifier from the data reply
    int eof_count;                   // 1
    int stripe_count;                // 1
    int node_count;                  // 1
    int node_ndx;                    // 0
    kalder_off_t alloc_size;         // receive: the exact byte count that will arrive
    char *expected_checksum;         // receive: lowercase hex of the expected digest; null or "" = none
    char *expected_checksum_alg;     // receive: "sha-256" or "sha-512"; null or "" = none
    int list_depth;                  // unused
    int traversal_options;           // unused
    // Send with SAME: the file opened must be this one (else
    // KALDER_GFS_E_CHANGED before any event), and a change of its size or
    // mtime during the send cuts the data connection and fails the send
    // with KALDER_GFS_E_CHANGED. Receive with SAME: the target must still
    // be this file when the upload is committed; with ABSENT it must not
    // exist (else KALDER_GFS_E_PRECONDITION, the old file stays). Zero: none.
    kalder_gfs_validator_t precondition;
};

// Event record: delivered to the event callback, and sent by the client
// with kalder_gfs_ipc_request_transfer_event (type and event_arg only).
struct kalder_gfs_event_info_t {
    int type;         // kalder_gfs_event_type_t
    void *event_arg;  // the transfer's identifier (from the begin event)
    int node_ndx;
    int id;  // request id of the transfer
    int event_mask;
    kalder_off_t recvd_bytes;
    kalder_range_list_t recvd_ranges;  // unused; null
    void *data_arg;
    int *eof_count;  // unused; null
    int node_count;
    int stripe_count;
};

// One stat entry.
struct kalder_gfs_stat_t {
    int mode;  // st_mode: type bits masked by 0xF000 (0x4000 directory, 0x8000 file)
    int nlink;
    char *name;            // base name
    char *symlink_target;  // null (links are followed inside the collection)
    int uid;
    int gid;
    kalder_off_t size;
    long atime;
    long ctime;
    long mtime;
    unsigned long long dev;
    unsigned long long ino;
    long mtime_nsec;  // nanoseconds of mtime
};

// The reply to a request (or to the session open).
struct kalder_gfs_finished_info_t {
    int type;                // kalder_gfs_operation_type_t
    int id;                  // request id
    int code;                // 0 on success; else the back end's failure class
    char *msg;               // an optional message text of a successful reply; null when none
    kalder_result_t result;  // the reply's own result: KALDER_SUCCESS, or an error whose
                             // friendly text is the back end's explanation
    union {
        struct {
            void *session_arg;
            char *username;  // the local name the session runs as
            char *home_dir;
        } session;
        struct {
            void *data_arg;  // data-channel identifier: put it into the transfer record
            kalder_bool_t bi_directional;
            char **contact_strings;
            int cs_count;
        } data;
        struct {
            int command;
            char *checksum;
            char *created_dir;
        } command;
        struct {
            int stat_count;
            kalder_gfs_stat_t *stat_array;
            int uid;
            int gid_count;
            int *gid_array;
            char *next;  // LIST: the `after` of the next page; "" when the listing is complete
        } stat;
        struct {
            char *algorithm;         // "sha-256" or "sha-512"
            char *hex;               // the digest, lowercase hex
            kalder_gfs_stat_t stat;  // the file that was hashed (taken from the descriptor read)
        } digest;
    } info;
};

// Callback types. `result` is the toolkit's own outcome of the request
// (an error when the session failed it); `reply->result` the back end's.
using kalder_gfs_ipc_open_callback_t = void (*)(kalder_gfs_ipc_handle_t ipc_handle, kalder_result_t result,
                                                kalder_gfs_finished_info_t *reply, void *user_arg);
using kalder_gfs_ipc_error_callback_t = void (*)(kalder_gfs_ipc_handle_t ipc_handle, kalder_result_t result,
                                                 void *user_arg);
using kalder_gfs_ipc_close_callback_t = kalder_gfs_ipc_error_callback_t;
using kalder_gfs_ipc_callback_t = void (*)(kalder_gfs_ipc_handle_t ipc_handle, kalder_result_t result,
                                           kalder_gfs_finished_info_t *reply, void *user_arg);
using kalder_gfs_ipc_event_callback_t = void (*)(kalder_gfs_ipc_handle_t ipc_handle, kalder_result_t result,
                                                 kalder_gfs_event_info_t *event, void *user_arg);

// Whether `contact` has the form of a back-end contact: "unix:/PATH" (an
// absolute path that fits a socket address) or "HOST:PORT" (port 1 to
// 65535, an IPv6 address in brackets). Nothing is resolved or connected.
// KALDER_FALSE puts the reason, NUL-terminated and cut to why_len bytes,
// into `why` (when given).
kalder_bool_t kalder_gfs_ipc_contact_valid(const char *contact, char *why, size_t why_len);

// Prepare the IPC client; `requester` true (the module is the requesting
// side). Idempotent.
kalder_result_t kalder_gfs_ipc_init(int requester);

// Open a session with the back end at session_info->host_id. Returns at
// once: an error when the arguments are unusable (then no callback is
// ever called), else KALDER_SUCCESS and the open callback follows on a
// toolkit thread:
//  * success: open_cb(handle, KALDER_SUCCESS, reply) with reply->type
//    KALDER_GFS_OP_SESSION_START, reply->result success, and reply->msg a
//    message the back end wants shown (usually null);
//  * refusal by the back end: open_cb(handle, KALDER_SUCCESS, reply) with
//    reply->result the error (its friendly text is the back end's reason);
//  * no connection and session reply within connect_timeout seconds (0:
//    the system's own connect limit, and 60 seconds for the reply), or the
//    connection failing before the reply:
//    open_cb(null, error, null).
// In the first two cases the handle must later be closed with
// kalder_gfs_ipc_close; in the third there is no handle.
// secure_ipc must be false, cred GSS_C_NO_CREDENTIAL, auth_mode and subject
// null, inetd false (other values are refused). idle_timeout (seconds, 0:
// none) ends a session on which no request is outstanding and nothing has
// arrived for that long (the error callback reports it).
kalder_result_t kalder_gfs_ipc_handle_connect_ex(kalder_gfs_session_info_t *session_info,
                                                 kalder_gfs_ipc_open_callback_t open_cb, void *open_arg,
                                                 kalder_gfs_ipc_error_callback_t error_cb, void *error_arg,
                                                 kalder_bool_t secure_ipc, gss_cred_id_t cred,
                                                 const char *auth_mode, const char *subject,
                                                 int connect_timeout, int idle_timeout, kalder_bool_t inetd);

// Ask for a command. The reply (type COMMAND) comes through cb.
kalder_result_t kalder_gfs_ipc_request_command(kalder_gfs_ipc_handle_t ipc_handle,
                                               kalder_gfs_command_info_t *cmd_info,
                                               kalder_gfs_ipc_callback_t cb, void *user_arg);
// Ask for a stat. The reply (type STAT) carries one entry for file_only.
// A path that does not exist gives a reply whose result is an error.
kalder_result_t kalder_gfs_ipc_request_stat(kalder_gfs_ipc_handle_t ipc_handle,
                                            kalder_gfs_stat_info_t *stat_info, kalder_gfs_ipc_callback_t cb,
                                            void *user_arg);
// Describe a data channel on which the back end connects out. The reply
// (type ACTIVE) carries info.data.data_arg for the transfer record.
kalder_result_t kalder_gfs_ipc_request_active_data(kalder_gfs_ipc_handle_t ipc_handle,
                                                   kalder_gfs_data_info_t *data_info,
                                                   kalder_gfs_ipc_callback_t cb, void *user_arg);
// Send (the back end reads the file and writes it to the data channel) and
// receive (the back end reads the data channel into the file). Order of
// callbacks: event_cb(TRANSFER_BEGIN, event_arg), then -- after the back
// end has connected and completed the handshake -- event_cb(
// TRANSFER_CONNECTED), then, once the data has flowed and the data
// connection is closed, cb with the final reply (type TRANSFER). A failure
// before the data flows may give the final reply without the events. The
// client answers the final reply with a TRANSFER_COMPLETE event. The final
// reply of a successful receive carries the file as stored in
// info.stat.stat_count (1) and info.stat.stat_array (its validator
// fields); a send's, or a back end's that could not look, carries none.
// Stream mode 'S' sends the file's bytes (the listed ranges, concatenated)
// and closes; extended block mode 'E' sends the listed ranges as blocks of
// at most blocksize (1 MiB) bytes, each with a 17-byte header (descriptor
// byte 0, count and file offset as big-endian 64-bit numbers), then one
// end-of-file block (descriptor 0x48, count 0, offset 1). A receive
// succeeds only when the data connection ended with an orderly close after
// exactly alloc_size bytes; the file is then replaced whole, and otherwise
// left as it was.
kalder_result_t kalder_gfs_ipc_request_send(kalder_gfs_ipc_handle_t ipc_handle,
                                            kalder_gfs_transfer_info_t *transfer_info,
                                            kalder_gfs_ipc_callback_t cb,
                                            kalder_gfs_ipc_event_callback_t event_cb, void *user_arg);
kalder_result_t kalder_gfs_ipc_request_recv(kalder_gfs_ipc_handle_t ipc_handle,
                                            kalder_gfs_transfer_info_t *transfer_info,
                                            kalder_gfs_ipc_callback_t cb,
                                            kalder_gfs_ipc_event_callback_t event_cb, void *user_arg);
// Ask for the digest of a file ("sha-256" or "sha-512"). The reply (type
// DIGEST) carries info.digest. The back end reads the whole file for it (one
// pass at disk speed), so it costs as much as sending the file. A directory
// or a non-file answers as a missing file.
kalder_result_t kalder_gfs_ipc_request_digest(kalder_gfs_ipc_handle_t ipc_handle, const char *pathname,
                                              const char *algorithm, kalder_gfs_ipc_callback_t cb,
                                              void *user_arg);
// Ask for one page of the entries of directory `pathname`: at most `limit`
// (1..1000) entries whose names sort bytewise after `after` ("" or null: from
// the start). The reply (type LIST) carries info.stat.stat_count/stat_array
// sorted by name, and info.stat.next: "" when the listing is complete, else
// the `after` of the next page. ".", "..", the back end's temporary files and
// FIFOs, sockets and devices are left out; symbolic links are reported as
// what they lead to when that stays inside the collection (else left out);
// a guest session lists only what it may stat.
kalder_result_t kalder_gfs_ipc_request_list(kalder_gfs_ipc_handle_t ipc_handle, const char *pathname,
                                            const char *after, int limit, kalder_gfs_ipc_callback_t cb,
                                            void *user_arg);
// Send an event (TRANSFER_COMPLETE or TRANSFER_ABORT with event_arg) to the
// back end. No reply. May be called from inside a callback.
kalder_result_t kalder_gfs_ipc_request_transfer_event(kalder_gfs_ipc_handle_t ipc_handle,
                                                      kalder_gfs_event_info_t *event_info);
// End the session. Returns without waiting for the back end (only for a
// callback of the session that is running on another thread);
// close_cb(handle, result), if given, follows on a toolkit thread after the
// back end acknowledged (or the connection ended, at most 5 seconds), and
// the handle is then freed. An error return means the handle was not valid
// for closing (already being closed); no callback follows then. The
// toolkit's deactivation waits for sessions still finishing their close.
kalder_result_t kalder_gfs_ipc_close(kalder_gfs_ipc_handle_t ipc_handle,
                                     kalder_gfs_ipc_close_callback_t close_cb, void *user_arg);

#endif
