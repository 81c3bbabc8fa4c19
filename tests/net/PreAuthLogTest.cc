// Lines about connections that have not authenticated: a share per interval reaches the log,
// the rest only their own peer, and one summary per interval counts what was held back.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/TempDir.h"
#include "logging/Logger.h"
#include "net/PreAuthLog.h"

namespace {

namespace fs = std::filesystem;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class PreAuthLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logging::Logger::get().setFileLogger(std::make_shared<logging::FileLogger>(file));
        logging::Logger::get().setNetLogger(peer);
    }
    void TearDown() override {
        logging::Logger::get().setNetLogger(nullptr);
        logging::Logger::get().setFileLogger(nullptr);
    }
    std::string localLog() const {
        std::ifstream in(file);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::string sentToPeer() {
        std::string bytes;
        peer->drainInto(bytes);
        return bytes;
    }

    test::TempDir dir;
    fs::path file = dir.path() / "agent.log";
    std::shared_ptr<logging::NetLogger> peer = std::make_shared<logging::NetLogger>();
    net::PreAuthLog::Clock::time_point now{};
    net::PreAuthLog log{[this] { return now; }};
};

TEST_F(PreAuthLogTest, FloodKeepsItsShareOfTheLogAndIsSummarisedOncePerInterval) {
    for (int i = 0; i < 1000; ++i)
        log.write(logging::kLogError, "Closing connection: junk " + std::to_string(i));
    std::string local = localLog();
    EXPECT_EQ(occurrences(local, "Closing connection: junk"), net::PreAuthLog::kLinesPerInterval);
    // Every line still reached the peer that caused it.
    EXPECT_EQ(occurrences(sentToPeer(), "Closing connection: junk"), 1000u);

    now += net::PreAuthLog::kInterval;
    log.flushIfDue();
    local = localLog();
    EXPECT_EQ(occurrences(local, "980 more lines about connections that had not authenticated"),
              1u);
    EXPECT_NE(local.find("(the last: Closing connection: junk 999)"), std::string::npos);
    // The summary speaks of other peers: none of it goes to this one.
    EXPECT_EQ(sentToPeer().find("more lines"), std::string::npos);

    // A new interval logs again, and a quiet one writes no summary.
    log.write(logging::kLogWarn, "Rejecting backup server (10.1.1.1)");
    now += net::PreAuthLog::kInterval;
    log.flushIfDue();
    local = localLog();
    EXPECT_EQ(occurrences(local, "Rejecting backup server (10.1.1.1)"), 1u);
    EXPECT_EQ(occurrences(local, "more lines about connections"), 1u);
}

}  // namespace
