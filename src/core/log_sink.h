// Log lines of the server-free core. The core never calls the web server's
// log: each entry point takes a LogSink, which the httpd shell points at the
// error log of the request, connection or server it serves, and which the
// unit tests point at a capture.
#ifndef KALDER_CORE_LOG_SINK_H
#define KALDER_CORE_LOG_SINK_H

#include <cstdarg>

// Levels, numbered as the web server numbers them, so that a sink passes
// them through unchanged.
enum LogLevel : int {
    KLOG_EMERG = 0,
    KLOG_ALERT = 1,
    KLOG_CRIT = 2,
    KLOG_ERR = 3,
    KLOG_WARNING = 4,
    KLOG_NOTICE = 5,
    KLOG_INFO = 6,
    KLOG_DEBUG = 7,
    KLOG_TRACE1 = 8,
    KLOG_TRACE2 = 9,
    KLOG_TRACE3 = 10,
    KLOG_TRACE4 = 11,
    KLOG_TRACE5 = 12,
    KLOG_TRACE6 = 13,
    KLOG_TRACE7 = 14,
    KLOG_TRACE8 = 15,
};

struct LogSink {
    // Writes one finished line; `source` is the area name (the log source),
    // `status` an APR status to append, or 0.
    void (*emit)(void *ctx, const char *source, int line, int level, int status, const char *text);
    void *ctx;
    int max_level;  // lines above this level are not even formatted
};

// Whether a line of `level` would be written.
inline bool log_enabled(const LogSink &sink, int level)
{
    return sink.emit && level <= sink.max_level;
}

// Formats with APR's formatter (the web server's own, so texts come out as
// its log functions would write them) and passes the line to the sink.
void log_line(const LogSink &sink, const char *source, int line, int level, int status, const char *format,
              ...) __attribute__((format(printf, 6, 7)));
void log_line_v(const LogSink &sink, const char *source, int line, int level, int status, const char *format,
                va_list args);

// A sink that drops everything.
inline LogSink log_discard()
{
    return LogSink{nullptr, nullptr, -1};
}

// KLOG(sink, level, status, format, ...) in a file that defines KALDER_SOURCE.
#define KLOG(sink, level, status, ...)                                                 \
    do {                                                                               \
        if (log_enabled((sink), (level)))                                              \
            log_line((sink), KALDER_SOURCE, __LINE__, (level), (status), __VA_ARGS__); \
    } while (0)

#endif
