// The core's log sinks on top of the server's error log.
#define KALDER_SOURCE "mod_kalder"
#include "log_sinks.h"

#include "http_log.h"
#include "http_main.h"
#include "httpd.h"
#include "http_config.h"
#include "http_request.h"
#include "module.h"

namespace {

void to_request(void *ctx, const char *source, int line, int level, int status, const char *text)
{
    ap_log_rerror_(source, line, APLOG_MODULE_INDEX, level, status, static_cast<const request_rec *>(ctx),
                   "%s", text);
}

void to_connection(void *ctx, const char *source, int line, int level, int status, const char *text)
{
    ap_log_cerror_(source, line, APLOG_MODULE_INDEX, level, status, static_cast<const conn_rec *>(ctx), "%s",
                   text);
}

void to_server(void *ctx, const char *source, int line, int level, int status, const char *text)
{
    ap_log_error_(source, line, APLOG_MODULE_INDEX, level, status, static_cast<const server_rec *>(ctx), "%s",
                  text);
}

}  // namespace

LogSink request_log_sink(const request_rec *r)
{
    return LogSink{to_request, const_cast<request_rec *>(r),
                   ap_get_request_module_loglevel(r, APLOG_MODULE_INDEX)};
}

LogSink connection_log_sink(const conn_rec *c)
{
    return LogSink{to_connection, const_cast<conn_rec *>(c),
                   ap_get_conn_module_loglevel(c, APLOG_MODULE_INDEX)};
}

LogSink server_log_sink(const server_rec *s)
{
    const server_rec *target = s ? s : ap_server_conf;
    int level = target ? ap_get_server_module_loglevel(target, APLOG_MODULE_INDEX) : APLOG_TRACE8;
    return LogSink{to_server, const_cast<server_rec *>(target), level};
}
