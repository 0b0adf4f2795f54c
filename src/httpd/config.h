// The module's per-server configuration record in httpd: its slot in a
// server record, the records' creation and merge, and the directives.
#ifndef KALDER_HTTPD_CONFIG_H
#define KALDER_HTTPD_CONFIG_H

#include "httpd.h"
#include "http_config.h"
#include "server_config.h"

ServerConfig *kalder_server_config(const server_rec *s);

void *mod_kalder_create_server_config(apr_pool_t *pool, server_rec *s);
void *mod_kalder_merge_server_config(apr_pool_t *pool, void *base, void *add);

// The KalderXxx directives, ended by an empty entry.
extern const command_rec kalder_cmds[];

#endif
