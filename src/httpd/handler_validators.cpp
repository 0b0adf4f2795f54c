// What a download or a change learns from the file's stat before any data
// moves: the size and validators of the answer (Content-Length, ETag,
// Last-Modified), the request's preconditions (304, 412, If-Range), the
// digest of Repr-Digest, and, for a directory, the redirect to its "/" form
// or its listing.
#define KALDER_SOURCE "handler"
#include <cstring>
#include <new>
#include <string>

#include "apr_lib.h"
#include "apr_strings.h"
#include "digests.h"
#include "handler.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "httpd.h"
#include "listing.h"
#include "validators.h"

namespace handler {

namespace {

// Pages of a listing the back end is asked for, and the most entries a
// listing shows: a page is bounded by the IPC frame, the whole by what a
// browser can still render and what the request may hold in memory.
constexpr int LIST_PAGE = 1000;
constexpr size_t LISTING_MAX_ENTRIES = 20000;

constexpr const char *CHANGED_TEXT = "The file changed while it was being read; try again.\n";

bool is_directory(const kalder_gfs_stat_t &stat)
{
    return (stat.mode & 0xF000) == 0x4000;
}

FileValidator file_validator(const kalder_gfs_stat_t &stat)
{
    return FileValidator{static_cast<uint64_t>(stat.dev), static_cast<uint64_t>(stat.ino),
                         static_cast<int64_t>(stat.size), static_cast<int64_t>(stat.mtime), stat.mtime_nsec};
}

bool same_file(const kalder_gfs_stat_t &a, const kalder_gfs_stat_t &b)
{
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime == b.mtime &&
           a.mtime_nsec == b.mtime_nsec;
}

ConditionalRequest conditional_request(const request_rec *r)
{
    ConditionalRequest c{};
    if (r->method_number == M_PUT)
        c.method = METHOD_PUT;
    else if (r->method_number == M_DELETE)
        c.method = METHOD_DELETE;
    else
        c.method = r->header_only ? METHOD_HEAD : METHOD_GET;
    c.if_match = apr_table_get(r->headers_in, "If-Match");
    c.if_none_match = apr_table_get(r->headers_in, "If-None-Match");
    c.if_modified_since = apr_table_get(r->headers_in, "If-Modified-Since");
    c.if_unmodified_since = apr_table_get(r->headers_in, "If-Unmodified-Since");
    c.if_range = apr_table_get(r->headers_in, "If-Range");
    c.has_range = apr_table_get(r->headers_in, "Range") != nullptr;
    return c;
}

void set_etag_and_date(request_rec *r, const FileValidator &file)
{
    apr_table_setn(r->headers_out, "ETag", apr_pstrdup(r->pool, strong_etag(file).c_str()));
    apr_table_setn(r->headers_out, "Last-Modified", apr_pstrdup(r->pool, http_date(file.mtime).c_str()));
}

void set_validators(request_rec *r, const FileValidator &file)
{
    set_etag_and_date(r, file);
    apr_table_setn(r->headers_out, "Accept-Ranges", "bytes");
}

// The answer for a precondition that decided the request: 304 or 412, no
// body.
StepOutcome answer_precondition(HandlerState *st, PreconditionDecision decision) KALDER_REQUIRES(st->lock)
{
    st->request->status =
        decision == PRECONDITION_NOT_MODIFIED ? HTTP_NOT_MODIFIED : HTTP_PRECONDITION_FAILED;
    move_state(st, MOD_KALDER_STATE_DONE);
    return STEP_CLEAN;
}

// A file whose validators are set and preconditions passed: HEAD ends with
// the size, GET goes on to the data.
StepOutcome after_validators(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    if (r->header_only) {
        ap_set_content_length(r, st->stat.size);
        move_state(st, MOD_KALDER_STATE_DONE);
        return STEP_CLEAN;
    }
    return step_listen(st);
}

StepOutcome request_list_page(HandlerState *st, const char *after) KALDER_REQUIRES(st->lock)
{
    move_state(st, MOD_KALDER_STATE_LIST);
    st->result = kalder_gfs_ipc_request_list(st->ipc_handle, st->path, after, LIST_PAGE, handler_ipc_cb, st);
    return STEP_NEXT;
}

apr_status_t listing_cleanup(void *listing)
{
    delete static_cast<std::vector<ListingEntry> *>(listing);
    return APR_SUCCESS;
}

// A directory: without its trailing "/" the relative links of a listing
// would resolve against the parent, so it is redirected there first.
StepOutcome directory(HandlerState *st) KALDER_REQUIRES(st->lock)
{
    request_rec *r = st->request;
    const char *path = r->parsed_uri.path ? r->parsed_uri.path : r->uri;
    const size_t length = std::strlen(path);
    if (length == 0 || path[length - 1] != '/') {
        const char *target =
            apr_pstrcat(r->pool, path, "/", r->args ? "?" : "", r->args ? r->args : "", nullptr);
        // A path-absolute Location is resolved against the request's own
        // address, whichever name and port the client used.
        apr_table_setn(r->headers_out, "Location", target);
        r->status = HTTP_MOVED_PERMANENTLY;
        move_state(st, MOD_KALDER_STATE_DONE);
        return STEP_CLEAN;
    }
    st->listing = new (std::nothrow) std::vector<ListingEntry>;
    if (!st->listing) {
        st->result = kalder_error_put("mod_kalder", KALDER_ERROR_MEMORY, "The listing could not be kept");
        return STEP_FAILURE;
    }
    apr_pool_cleanup_register(st->pool, st->listing, listing_cleanup, apr_pool_cleanup_null);
    return request_list_page(st, "");
}

bool wants_json(const request_rec *r)
{
    const char *accept = apr_table_get(r->headers_in, "Accept");
    if (!accept)
        return false;
    std::string lower(accept);
    for (char &c : lower) c = static_cast<char>(apr_tolower(c));
    return lower.find("application/json") != std::string::npos;
}

}  // namespace

void set_stored_validators(request_rec *r, const kalder_gfs_stat_t &stored)
{
    set_etag_and_date(r, file_validator(stored));
}

kalder_gfs_validator_t validator_of(const kalder_gfs_stat_t &stat, int kind)
{
    kalder_gfs_validator_t v{};
    v.kind = kind;
    if (kind == KALDER_GFS_PRECONDITION_SAME) {
        v.dev = stat.dev;
        v.ino = stat.ino;
        v.size = stat.size;
        v.mtime = stat.mtime;
        v.mtime_nsec = stat.mtime_nsec;
    }
    return v;
}

bool has_change_preconditions(const request_rec *r)
{
    return apr_table_get(r->headers_in, "If-Match") || apr_table_get(r->headers_in, "If-None-Match") ||
           apr_table_get(r->headers_in, "If-Unmodified-Since");
}

StepOutcome step_file_stat(HandlerState *st)
{
    request_rec *r = st->request;
    if (is_directory(st->stat))
        return directory(st);
    const FileValidator file = file_validator(st->stat);
    set_validators(r, file);
    const PreconditionResult decided = evaluate_preconditions(conditional_request(r), &file);
    if (decided.decision != PRECONDITION_PROCEED)
        return answer_precondition(st, decided.decision);
    st->ignore_range = apr_table_get(r->headers_in, "Range") && !decided.range_applies;
    if (const char *want = apr_table_get(r->headers_in, "Want-Repr-Digest")) {
        st->want_digest = parse_want_digest(want);
        if (st->want_digest != DIGEST_NONE) {
            move_state(st, MOD_KALDER_STATE_DIGEST);
            st->result = kalder_gfs_ipc_request_digest(
                st->ipc_handle, st->path,
                digest_algorithm_name(static_cast<DigestAlgorithm>(st->want_digest)), handler_ipc_cb, st);
            return STEP_NEXT;
        }
    }
    return after_validators(st);
}

StepOutcome step_digest(HandlerState *st)
{
    request_rec *r = st->request;
    if (!st->digest_hex || !same_file(st->digest_stat, st->stat)) {
        // The file was replaced between the stat and the digest: the answer
        // would name one version and carry another.
        st->reply_code = KALDER_GFS_E_CHANGED;
        st->result = kalder_error_put("mod_kalder", KALDER_ERROR_REMOTE, "%s changed while it was being read",
                                      st->path);
        return STEP_FAILURE;
    }
    const std::string value =
        format_repr_digest(static_cast<DigestAlgorithm>(st->want_digest), st->digest_hex);
    if (!value.empty())
        apr_table_setn(r->headers_out, "Repr-Digest", apr_pstrdup(r->pool, value.c_str()));
    return after_validators(st);
}

StepOutcome step_check_stat(HandlerState *st)
{
    request_rec *r = st->request;
    FileValidator file{};
    if (!st->absent)
        file = file_validator(st->stat);
    const PreconditionResult decided =
        evaluate_preconditions(conditional_request(r), st->absent ? nullptr : &file);
    if (decided.decision != PRECONDITION_PROCEED)
        return answer_precondition(st, decided.decision);
    st->backend_precondition = decided.backend;
    if (r->method_number == M_PUT)
        return step_listen(st);
    return request_command(st, KALDER_GFS_CMD_DELE, st->path, MOD_KALDER_STATE_DELETE,
                           validator_of(st->stat, st->backend_precondition));
}

StepOutcome step_list(HandlerState *st)
{
    request_rec *r = st->request;
    const bool more = st->list_next && *st->list_next;
    if (more && st->listing->size() < LISTING_MAX_ENTRIES)
        return request_list_page(st, st->list_next);
    bool truncated = more;
    if (st->listing->size() > LISTING_MAX_ENTRIES) {
        st->listing->resize(LISTING_MAX_ENTRIES);
        truncated = true;
    }
    const bool json = wants_json(r);
    std::string body;
    try {
        body = json ? listing_json(st->path, *st->listing, truncated)
                    : listing_html(st->path, *st->listing, truncated);
    } catch (...) {
        st->result = kalder_error_put("mod_kalder", KALDER_ERROR_MEMORY, "The listing could not be written");
        return STEP_FAILURE;
    }
    ap_set_content_type(r, json ? "application/json" : "text/html; charset=utf-8");
    apr_table_mergen(r->headers_out, "Vary", "Accept");
    apr_table_setn(r->headers_out, "Cache-Control", "no-cache");
    ap_set_content_length(r, static_cast<apr_off_t>(body.size()));
    move_state(st, MOD_KALDER_STATE_DONE);
    if (!r->header_only)
        ap_rwrite(body.data(), static_cast<int>(body.size()), r);
    return STEP_CLEAN;
}

bool answer_for_reply_code(HandlerState *st)
{
    request_rec *r = st->request;
    switch (st->reply_code) {
        case KALDER_GFS_E_PRECONDITION:
            // The file changed between the decision and the commit.
            r->status = HTTP_PRECONDITION_FAILED;
            return true;
        case KALDER_GFS_E_DIGEST_MISMATCH:
            r->status = HTTP_BAD_REQUEST;
            st->message = apr_psprintf(st->pool, "The %s digest of the uploaded bytes does not match %s.\n",
                                       digest_algorithm_name(static_cast<DigestAlgorithm>(st->upload_digest)),
                                       st->upload_digest_field);
            return true;
        case KALDER_GFS_E_CHANGED:
            r->status = HTTP_SERVICE_UNAVAILABLE;
            apr_table_setn(r->headers_out, "Retry-After", "1");
            st->message = CHANGED_TEXT;
            return true;
        default:
            return false;
    }
}

}  // namespace handler
