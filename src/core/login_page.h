// The page a browser gets on its first data request after the login: it
// reloads the data URI, so that the download starts on a request that
// carries the finished login cookie.
#ifndef KALDER_CORE_LOGIN_PAGE_H
#define KALDER_CORE_LOGIN_PAGE_H

#include "apr_pools.h"

// The page that reloads `target` (the full URL) and names `path` as its
// link text; every inserted text is escaped for its place in the page.
char *oidc_reload_page(apr_pool_t *pool, const char *target, const char *path);

#endif
