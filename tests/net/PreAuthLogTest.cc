// Lines about connections that have not authenticated: a share per interval reaches the log,
// the rest only their own peer, and one summary per interval counts what was held back.
#include <gtest/gtest.h>

#include "LogSinks.h"
#include "common/TempDir.h"
#include "net/PreAuthLog.h"

namespace {

using test::occurrences;

TEST(PreAuthLogTest, FloodKeepsItsShareOfTheLogAndIsSummarisedOncePerInterval) {
    test::TempDir dir;
    test::LogSinks sinks(dir.path() / "agent.log");
    net::PreAuthLog::Clock::time_point now{};
    net::PreAuthLog log{[&now] { return now; }};
    for (int i = 0; i < 1000; ++i)
        log.write(logging::kLogError, "Closing connection: junk " + std::to_string(i));
    EXPECT_EQ(occurrences(sinks.local(), "Closing connection: junk"),
              net::PreAuthLog::kLinesPerInterval);
    // Every line still reached the peer that caused it.
    EXPECT_EQ(occurrences(sinks.sentToPeer(), "Closing connection: junk"), 1000u);

    now += net::PreAuthLog::kInterval;
    log.flushIfDue();
    std::string local = sinks.local();
    EXPECT_EQ(occurrences(local, "980 more lines about connections that had not authenticated"),
              1u);
    EXPECT_NE(local.find("(the last: Closing connection: junk 999)"), std::string::npos);
    // The summary speaks of other peers: none of it goes to this one.
    EXPECT_EQ(sinks.sentToPeer().find("more lines"), std::string::npos);

    // A new interval logs again, and a quiet one writes no summary.
    log.write(logging::kLogWarn, "Rejecting backup server (10.1.1.1)");
    now += net::PreAuthLog::kInterval;
    log.flushIfDue();
    local = sinks.local();
    EXPECT_EQ(occurrences(local, "Rejecting backup server (10.1.1.1)"), 1u);
    EXPECT_EQ(occurrences(local, "more lines about connections"), 1u);
}

}  // namespace
