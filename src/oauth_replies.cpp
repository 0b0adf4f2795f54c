// Challenge replies for refused requests.
#define KALDER_SOURCE "oauth_replies"
#include "kalder.h"

void mod_kalder_insert_error_filter(request_rec *)
{
}

apr_status_t mod_kalder_reply_filter(ap_filter_t *f, apr_bucket_brigade *bb)
{
    return ap_pass_brigade(f->next, bb);
}
