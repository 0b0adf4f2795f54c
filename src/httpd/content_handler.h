// The content handler's hooks: the handler, the range response's output
// filter and the per-child set-up.
#ifndef KALDER_HTTPD_CONTENT_HANDLER_H
#define KALDER_HTTPD_CONTENT_HANDLER_H

#include "httpd.h"
#include "util_filter.h"

int mod_kalder_handler(request_rec *r);
apr_status_t mode_e_filter(ap_filter_t *f, apr_bucket_brigade *bb);
// Child init of the content handler: sizes the per-process key pool (its
// filler thread starts with the first request that needs a key) and stops
// it with the child pool.
void kalder_handler_child_init(apr_pool_t *pchild, server_rec *s);

#endif
