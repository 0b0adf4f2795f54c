// The core's log lines: level filtering, the web server's formatting and
// its line-length cut.
#define KALDER_SOURCE "utils"
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"

TEST(LogSink, WritesUpToItsLevelWithSourceAndStatus)
{
    LogCapture log(KLOG_DEBUG);
    LogSink sink = log.sink();
    KLOG(sink, KLOG_ERR, 13, "open %s failed (%d)", "/x", 2);
    KLOG(sink, KLOG_TRACE1, 0, "not written %s", "at all");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].source, "utils");
    EXPECT_EQ(log.lines()[0].status, 13);
    EXPECT_EQ(log.lines()[0].text, "open /x failed (2)");

    KLOG(log_discard(), KLOG_EMERG, 0, "dropped");
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(LogSink, CutsOverlongLinesAsTheServerDoes)
{
    LogCapture log;
    std::string big(20000, 'x');
    KLOG(log.sink(), KLOG_ERR, 0, "%s", big.c_str());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text.size(), 8191u);
}
