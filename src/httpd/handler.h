// Records and internal functions of the content handler, shared by its
// files (handler*.cpp, xio_bucket.cpp, mode_e_filter.cpp) and its unit
// tests. Nothing outside the handler includes this header.
#ifndef MOD_KALDER_HANDLER_H
#define MOD_KALDER_HANDLER_H

#include <cstdint>
#include <vector>

#include "apr_buckets.h"
#include "eblock_stream.h"
#include "httpd.h"
#include "kalder_common.h"
#include "kalder_gridftp_server.h"
#include "kalder_gssapi_gsi.h"
#include "kalder_thread_safety.h"
#include "kalder_xio.h"
#include "listing.h"
#include "ranges.h"
#include "session_machine.h"
#include "session_user.h"
#include "util_filter.h"

// Driver stack and drivers of this child process (made in child init).
kalder_xio_stack_t mod_kalder_xio_stack();
kalder_xio_driver_t mod_kalder_tcp_driver();
kalder_xio_driver_t mod_kalder_gsi_driver();

// News recorded by the callbacks that the worker has not taken yet, in
// order of arrival. A session has at most a few callbacks outstanding at a
// time (a reply, two events, a break, the close); more than this many untaken
// counts as a break of the session.
constexpr int HANDLER_NEWS_MAX = 16;

// The request's lock: the toolkit's mutex, made known to clang's
// thread-safety analysis. Zero-filled until init().
class KALDER_CAPABILITY("mutex") HandlerLock {
   public:
    void init() { kalder_mutex_init(&mutex_, nullptr); }
    void lock() KALDER_ACQUIRE() { kalder_mutex_lock(&mutex_); }
    void unlock() KALDER_RELEASE() { kalder_mutex_unlock(&mutex_); }
    // Waits for a signal on `cond`; the lock is released meanwhile and held
    // again on return.
    void wait(kalder_cond_t *cond) { kalder_cond_wait(cond, &mutex_); }

   private:
    kalder_mutex_t mutex_;
};

// One per request, zero-filled from the request pool. `lock` guards every
// other field; the worker holds it except while it waits on `cond`, streams
// a download, copies an upload body or closes the session. Callbacks run on
// toolkit threads and only append to `news` and signal; the worker alone
// takes the news and changes the record (see session_machine.h).
struct HandlerState {
    HandlerLock lock;
    kalder_cond_t cond;
    SessionArrival news[HANDLER_NEWS_MAX] KALDER_GUARDED_BY(lock);
    int32_t news_first KALDER_GUARDED_BY(lock);
    int32_t news_count KALDER_GUARDED_BY(lock);
    int32_t news_lost KALDER_GUARDED_BY(lock);  // an arrival found the queue full
    int32_t run_now
        KALDER_GUARDED_BY(lock);  // the worker runs the current state's step without waiting for news
    char *path KALDER_GUARDED_BY(lock);
    char *prepare_path KALDER_GUARDED_BY(lock);
    char *prepare_cursor KALDER_GUARDED_BY(lock);
    char *restrict_paths KALDER_GUARDED_BY(lock);
    int32_t state KALDER_GUARDED_BY(lock);
    apr_pool_t *pool KALDER_GUARDED_BY(lock);
    const char *message KALDER_GUARDED_BY(lock);
    gss_cred_id_t credential KALDER_GUARDED_BY(lock);
    int32_t credential_counted
        KALDER_GUARDED_BY(lock);                      // this request counts as active for the credential pool
    int32_t failure_counted KALDER_GUARDED_BY(lock);  // a session failure of the request was counted
    kalder_xio_server_t listener KALDER_GUARDED_BY(lock);
    kalder_xio_handle_t data_handle KALDER_GUARDED_BY(lock);
    kalder_gfs_ipc_handle_t ipc_handle KALDER_GUARDED_BY(lock);
    void *data_arg KALDER_GUARDED_BY(lock);
    void *event_arg KALDER_GUARDED_BY(lock);
    kalder_range_list_t ranges KALDER_GUARDED_BY(lock);
    int32_t ranges_given KALDER_GUARDED_BY(lock);
    kalder_gfs_stat_t stat KALDER_GUARDED_BY(lock);
    kalder_result_t result KALDER_GUARDED_BY(lock);
    kalder_gfs_session_info_t session_info KALDER_GUARDED_BY(lock);
    kalder_gfs_command_info_t command_info KALDER_GUARDED_BY(lock);
    kalder_gfs_data_info_t data_info KALDER_GUARDED_BY(lock);
    kalder_gfs_stat_info_t stat_info KALDER_GUARDED_BY(lock);
    kalder_gfs_transfer_info_t transfer_info KALDER_GUARDED_BY(lock);

    // Beyond the session record proper:
    request_rec *request KALDER_GUARDED_BY(lock);
    int32_t closing KALDER_GUARDED_BY(lock);  // the session's close has been asked for
    int32_t transfer_replied
        KALDER_GUARDED_BY(lock);  // a successful transfer reply came while the worker waited to copy the body
    int32_t body_failed KALDER_GUARDED_BY(lock);     // the request body could not be read to its end
    int32_t streamed KALDER_GUARDED_BY(lock);        // download data has been passed to the output filters
    int64_t content_length KALDER_GUARDED_BY(lock);  // upload: the request's Content-Length
    bool download KALDER_GUARDED_BY(lock);           // the query has "download"
    bool prepare KALDER_GUARDED_BY(lock);            // the query has "prepare"

    // Sizes, validators, digests and listings:
    int32_t reply_code KALDER_GUARDED_BY(lock);   // the back end's code of the failed reply in `result`
    bool absent KALDER_GUARDED_BY(lock);          // CHECK_STAT: the file does not exist
    bool ignore_range KALDER_GUARDED_BY(lock);    // If-Range did not match: the whole file is sent
    int32_t want_digest KALDER_GUARDED_BY(lock);  // DigestAlgorithm of Repr-Digest; DIGEST_NONE
    const char *digest_hex KALDER_GUARDED_BY(lock);
    kalder_gfs_stat_t digest_stat KALDER_GUARDED_BY(lock);
    // The file an upload stored, as its final reply named it (the answer's
    // ETag and Last-Modified).
    bool have_stored KALDER_GUARDED_BY(lock);
    kalder_gfs_stat_t stored KALDER_GUARDED_BY(lock);
    int32_t upload_digest KALDER_GUARDED_BY(lock);  // DigestAlgorithm the upload is checked with
    const char *upload_digest_hex KALDER_GUARDED_BY(lock);
    const char *upload_digest_field KALDER_GUARDED_BY(lock);     // "Content-Digest" or "Repr-Digest"
    int32_t backend_precondition KALDER_GUARDED_BY(lock);        // BackendPrecondition of a PUT or DELETE
    std::vector<ListingEntry> *listing KALDER_GUARDED_BY(lock);  // the directory's entries so far
    const char *list_next KALDER_GUARDED_BY(lock);               // the next page's `after`; "" at the end
};

// Context of MODE_E_FILTER, one per range response, zero-filled from the
// request pool.
struct ModeEFilterCtx {
    apr_bucket_brigade *brigade;
    EblockStream stream;
    int32_t read_mode;     // 1 non-blocking (initial), 0 blocking
    const char *boundary;  // null for a single range
    const char *part_type;
    int64_t size;  // the file's size, for each part's Content-Range
    // The body has been ended (end-of-file block or end of stream); later
    // input is consumed without output.
    int32_t finished;
};

// Builds the session user string of the request into *user (and, for a
// guest collection, st->restrict_paths). 0 on success; failures are logged.
int handler_session_user(request_rec *r, HandlerState *st, char **user) KALDER_REQUIRES(st->lock);

// The "XIO" bucket over a data connection.
apr_bucket *xio_bucket_create(kalder_xio_handle_t handle, apr_bucket_alloc_t *list);
extern const apr_bucket_type_t xio_bucket_type;

// Toolkit callbacks of the session: each records its news into st->news
// and signals the worker (exposed for the unit tests).
void handler_open_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result,
                     kalder_gfs_finished_info_t *reply, void *arg);
void handler_error_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, void *arg);
void handler_event_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, kalder_gfs_event_info_t *event,
                      void *arg);
void handler_ipc_cb(kalder_gfs_ipc_handle_t handle, kalder_result_t result, kalder_gfs_finished_info_t *reply,
                    void *arg);

// Gives the request its data-channel credential in st->credential: a fresh
// key of the server's KalderDataChannelKey type and a self-signed
// certificate valid for 7 days, ready-made from the process's pool when one
// is there. 0 on success; a failure is logged.
int create_dcsc_credential(HandlerState *st) KALDER_REQUIRES(st->lock);

// --- shared by the handler's files --------------------------------------------

namespace handler {

constexpr const char *UNKNOWN_ERROR = "Unknown error\n";

inline bool is_error(kalder_result_t result)
{
    return result != KALDER_SUCCESS;
}

// The toolkit's friendly text of a result, in the pool; null for success.
const char *friendly_text(apr_pool_t *pool, kalder_result_t result);
// Logs "MOD_KALDER: <what>. <the toolkit's text>" at APLOG_ERR.
void log_toolkit_error(request_rec *r, const char *what, kalder_result_t result);

// Drives the request's session to its end: the steps below and the news of
// the callbacks. Called with the lock held; returns the handler's status,
// with the lock released.
int run_session(HandlerState *st) KALDER_RELEASE(st->lock);

// The only change of st->state: logs the move at APLOG_TRACE2.
void move_state(HandlerState *st, int32_t next) KALDER_REQUIRES(st->lock);

// Takes every recorded arrival, in order, and applies its transition
// (session_transition): the record's fields, the state, and the
// transfer-complete event it sends. Sets st->run_now when one wakes the
// worker; returns whether one moved the session to ERROR. Lock held.
bool take_news(HandlerState *st) KALDER_REQUIRES(st->lock);

// How a step leaves the driving loop. Each step runs with the lock held.
enum StepOutcome {
    STEP_NEXT,          // go on with the driving loop
    STEP_FAILURE,       // leave by the failure exit
    STEP_FAILURE_KEEP,  // failure exit, keeping the status the step set
    STEP_CLEAN,         // leave by the clean exit
};

// Requests of the session (handler_session.cpp): each records its record in
// the state, moves to `next` and sends.
StepOutcome request_stat(HandlerState *st, const char *path, int32_t next) KALDER_REQUIRES(st->lock);
StepOutcome request_command(HandlerState *st, int command, char *path, int32_t next,
                            kalder_gfs_validator_t precondition = {}) KALDER_REQUIRES(st->lock);
StepOutcome step_listen(HandlerState *st) KALDER_REQUIRES(st->lock);

// Sizes, validators, conditional requests, digests and listings
// (handler_validators.cpp).
// Whether a PUT or DELETE carries preconditions, so the file is looked at
// first.
bool has_change_preconditions(const request_rec *r);
// After the stat of a GET or HEAD: a directory is redirected or listed; a
// file gets its validators, its preconditions are decided, and the digest,
// the size or the data follow.
StepOutcome step_file_stat(HandlerState *st) KALDER_REQUIRES(st->lock);
// After the stat of a conditional PUT or DELETE (or its absence).
StepOutcome step_check_stat(HandlerState *st) KALDER_REQUIRES(st->lock);
StepOutcome step_digest(HandlerState *st) KALDER_REQUIRES(st->lock);
StepOutcome step_list(HandlerState *st) KALDER_REQUIRES(st->lock);
// The validator of the stat'ed file, for the back end to re-check.
kalder_gfs_validator_t validator_of(const kalder_gfs_stat_t &stat, int kind);
// ETag and Last-Modified of the file an upload stored.
void set_stored_validators(request_rec *r, const kalder_gfs_stat_t &stored);
// A failed reply's code as the answer's status and text, for the failure
// exit; false when the code has no answer of its own.
bool answer_for_reply_code(HandlerState *st) KALDER_REQUIRES(st->lock);

// The data channel's steps (handler_data.cpp).
StepOutcome setup_listener(HandlerState *st) KALDER_REQUIRES(st->lock);
StepOutcome accept_data_connection(HandlerState *st, int32_t next) KALDER_REQUIRES(st->lock);
StepOutcome step_send_stream(HandlerState *st) KALDER_REQUIRES(st->lock);
StepOutcome step_send_finish(HandlerState *st) KALDER_REQUIRES(st->lock);
StepOutcome step_recv_copy(HandlerState *st) KALDER_REQUIRES(st->lock);
StepOutcome step_recv_done(HandlerState *st) KALDER_REQUIRES(st->lock);
void close_listener(HandlerState *st) KALDER_REQUIRES(st->lock);
void close_data_handle(HandlerState *st) KALDER_REQUIRES(st->lock);
// Tells the back end to stop the running transfer and discard it.
void send_transfer_abort(HandlerState *st) KALDER_REQUIRES(st->lock);

}  // namespace handler

#endif
