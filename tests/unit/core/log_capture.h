// A log sink for core tests: keeps every line with its source and level.
#ifndef KALDER_TEST_CORE_LOG_CAPTURE_H
#define KALDER_TEST_CORE_LOG_CAPTURE_H

#include <string>
#include <vector>

#include "log_sink.h"

struct CapturedLine {
    std::string source;
    int level;
    int status;
    std::string text;
};

class LogCapture {
   public:
    explicit LogCapture(int max_level = KLOG_TRACE8) : max_level_(max_level) {}

    LogSink sink() { return LogSink{&LogCapture::emit, this, max_level_}; }
    const std::vector<CapturedLine> &lines() const { return lines_; }
    void clear() { lines_.clear(); }

    // Whether some line of this level holds `fragment`.
    bool has(int level, const std::string &fragment) const
    {
        for (const auto &l : lines_)
            if (l.level == level && l.text.find(fragment) != std::string::npos)
                return true;
        return false;
    }
    // All lines, one per row, as "level source: text" (for failure output).
    std::string dump() const
    {
        std::string out;
        for (const auto &l : lines_) out += std::to_string(l.level) + " " + l.source + ": " + l.text + "\n";
        return out;
    }

   private:
    static void emit(void *ctx, const char *source, int, int level, int status, const char *text)
    {
        static_cast<LogCapture *>(ctx)->lines_.push_back({source, level, status, text});
    }
    int max_level_;
    std::vector<CapturedLine> lines_;
};

#endif
