// Formatting of the core's log lines.
#include "log_sink.h"

#include "apr_lib.h"
#include "apr_strings.h"

namespace {

// The web server cuts a log line at this length as well.
constexpr size_t LOG_LINE_MAX = 8192;

}  // namespace

void log_line_v(const LogSink &sink, const char *source, int line, int level, int status, const char *format,
                va_list args)
{
    if (!log_enabled(sink, level))
        return;
    char text[LOG_LINE_MAX];
    apr_vsnprintf(text, sizeof text, format, args);
    sink.emit(sink.ctx, source, line, level, status, text);
}

void log_line(const LogSink &sink, const char *source, int line, int level, int status, const char *format,
              ...)
{
    va_list args;
    va_start(args, format);
    log_line_v(sink, source, line, level, status, format, args);
    va_end(args);
}
