// Content handler: serves the collection's data through the back end.
#define KALDER_SOURCE "handler"
#include "kalder.h"

int mod_kalder_handler(request_rec *)
{
    return DECLINED;
}

apr_status_t mode_e_filter(ap_filter_t *f, apr_bucket_brigade *bb)
{
    return ap_pass_brigade(f->next, bb);
}
