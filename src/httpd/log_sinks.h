// Log sinks of the httpd shell: the core's lines go to the error log of the
// request, connection or server at hand, with the module's own log level.
#ifndef KALDER_HTTPD_LOG_SINKS_H
#define KALDER_HTTPD_LOG_SINKS_H

#include "httpd.h"
#include "log_sink.h"

LogSink request_log_sink(const request_rec *r);
LogSink connection_log_sink(const conn_rec *c);
// A null server means the main server.
LogSink server_log_sink(const server_rec *s);

#endif
