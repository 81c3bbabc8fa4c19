#include "logging/Logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace {

namespace fs = std::filesystem;
using logging::Logger;
using logging::NetLogger;

std::string bytes(const std::string& text) {
    std::string hex;
    char buffer[4];
    for (unsigned char c : text) {
        std::snprintf(buffer, sizeof buffer, "%02X ", c);
        hex += buffer;
    }
    return hex;
}

// Captures what the logger writes to standard output.
class StdoutCapture {
  public:
    StdoutCapture() : old_(std::cout.rdbuf(stream_.rdbuf())) {}
    ~StdoutCapture() { std::cout.rdbuf(old_); }
    std::string text() const { return stream_.str(); }

  private:
    std::ostringstream stream_;
    std::streambuf* old_;
};

TEST(LogFormat, TimeStampLevelColumnAndMessage) {
    std::regex pattern(
        R"(^\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} \d{2}:\d{2}:\d{2} (.*)$)");
    std::smatch match;
    std::string info = Logger::formatLine(logging::kLogInfo, "hello");
    ASSERT_TRUE(std::regex_match(info, match, pattern)) << info;
    EXPECT_EQ(" INFO hello", match[2].str());
    std::string warn = Logger::formatLine(logging::kLogWarn, "w");
    EXPECT_EQ(" WARN w", warn.substr(21));
    EXPECT_EQ("ERROR e", Logger::formatLine(logging::kLogError, "e").substr(21));
    EXPECT_EQ("DEBUG d", Logger::formatLine(logging::kLogDebug, "d").substr(21));
    EXPECT_EQ("UNKNOWN u", Logger::formatLine(7, "u").substr(21));
}

TEST(LogFormat, EmptyLineEmitsNothingAndStreamedPartsJoin) {
    StdoutCapture capture;
    { auto line = logging::logInfo(); }
    EXPECT_EQ("", capture.text());
    logging::logInfo() << "count " << 3 << " of " << 4u;
    EXPECT_NE(std::string::npos, capture.text().find(" INFO count 3 of 4\n"));
}

TEST(NetLoggerRecords, LevelsMapToCodesAndDebugIsNeverQueued) {
    NetLogger net;
    net.write(logging::kLogDebug, "hidden");
    EXPECT_EQ(0u, net.used());
    net.write(logging::kLogError, "e");
    net.write(logging::kLogWarn, "w");
    net.write(7, "u");
    std::string out;
    net.drainInto(out);
    EXPECT_EQ("E1 E7 EF EE 00 00 00 01 65 E1 E7 EF EF 00 00 00 01 77 E1 E7 EF EE 00 00 00 01 75 ",
              bytes(out));
}

TEST(NetLoggerRecords, RecordThatDoesNotFitIsDroppedWhole) {
    NetLogger net(64);
    net.write(logging::kLogInfo, std::string(51, 'x'));  // 59 bytes used, 5 free
    ASSERT_EQ(59u, net.used());
    net.write(logging::kLogInfo, "0123456789");  // 8 + 10 bytes: does not fit
    EXPECT_EQ(59u, net.used());
    std::string out;
    net.drainInto(out);
    EXPECT_EQ(59u, out.size());
    net.write(logging::kLogInfo, "0123456789");  // fits again after the drain
    EXPECT_EQ(18u, net.used());
}

TEST(NetLoggerRecords, OnlyThreadsWithANetLoggerQueueLines) {
    StdoutCapture capture;
    auto net = std::make_shared<NetLogger>();
    Logger::get().setNetLogger(net);
    logging::logInfo() << "to the server";
    logging::logDebug() << "not to the server";
    std::thread other([] { logging::logInfo() << "other thread"; });
    other.join();
    std::string out;
    Logger::get().drainNetLog(out);
    Logger::get().setNetLogger(nullptr);
    EXPECT_EQ("E1 E7 EF F0 00 00 00 0D " + bytes("to the server"), bytes(out));
    EXPECT_NE(std::string::npos, capture.text().find("not to the server"));
}

// The thread's slot holds one reference: replacing or clearing it lets the logger go, on
// the thread that installed it and on a stage thread as it ends.
TEST(NetLoggerRecords, ReplacingOrClearingTheThreadsLoggerLetsItGo) {
    auto first = std::make_shared<NetLogger>();
    auto second = std::make_shared<NetLogger>();
    std::thread worker([&] {
        Logger::get().setNetLogger(first);
        EXPECT_EQ(first.use_count(), 2);
        Logger::get().setNetLogger(second);
        EXPECT_EQ(first.use_count(), 1);
        EXPECT_EQ(Logger::get().getNetLogger(), second);
        Logger::get().setNetLogger(nullptr);
        EXPECT_EQ(Logger::get().getNetLogger(), nullptr);
    });
    worker.join();
    EXPECT_EQ(first.use_count(), 1);
    EXPECT_EQ(second.use_count(), 1);
}

class FileLoggerTest : public ::testing::Test {
  protected:
    test::TempDir dir_;
    fs::path log(const std::string& name) { return dir_.path() / name; }
    void writeFile(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
};

TEST_F(FileLoggerTest, RotationShiftsGenerationsAndDropsTheOldest) {
    writeFile(log("zentrad.log"), std::string(1048000, 'c'));
    for (int i = 1; i <= 10; ++i)
        writeFile(log("zentrad." + std::to_string(i) + ".log"), "gen" + std::to_string(i));
    logging::FileLogger file(log("zentrad.log"));
    std::string line(600, 'n');
    file.write(logging::kLogInfo, line);

    EXPECT_EQ(line + "\n", test::readWholeFile(log("zentrad.log")));
    EXPECT_EQ(1048000u, fs::file_size(log("zentrad.1.log")));
    for (int i = 2; i <= 10; ++i) {
        EXPECT_EQ("gen" + std::to_string(i - 1),
                  test::readWholeFile(log("zentrad." + std::to_string(i) + ".log")));
    }
    EXPECT_FALSE(fs::exists(log("zentrad.11.log")));
    std::size_t files =
        std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator());
    EXPECT_EQ(11u, files);
}

TEST_F(FileLoggerTest, LineThatExactlyFillsTheLimitDoesNotRotate) {
    writeFile(log("zentrad.log"), std::string(1048000, 'c'));
    logging::FileLogger file(log("zentrad.log"));
    file.write(logging::kLogInfo, std::string(576, 'x'));
    EXPECT_FALSE(fs::exists(log("zentrad.1.log")));
    file.write(logging::kLogInfo, "y");
    EXPECT_TRUE(fs::exists(log("zentrad.1.log")));
    EXPECT_EQ("y\n", test::readWholeFile(log("zentrad.log")));
}

TEST_F(FileLoggerTest, UnopenableFileWarnsAndLaterWritesAreSilent) {
    StdoutCapture capture;
    fs::path missing = dir_.path() / "no-such-dir" / "zentrad.log";
    logging::FileLogger file(missing);
    EXPECT_NE(std::string::npos,
              capture.text().find(" WARN Failed to open log file: " + missing.string()));
    EXPECT_NO_THROW(file.write(logging::kLogInfo, "dropped"));
    // Once the directory exists, logging resumes.
    fs::create_directory(dir_.path() / "no-such-dir");
    file.write(logging::kLogInfo, "kept");
    EXPECT_EQ("kept\n", test::readWholeFile(missing));
}

TEST_F(FileLoggerTest, LoggerAppendsConsoleLinesToAnExistingFile) {
    StdoutCapture capture;
    writeFile(log("zentrad.log"), "old\n");
    auto file = std::make_shared<logging::FileLogger>(log("zentrad.log"));
    Logger::get().setFileLogger(file);
    logging::logWarn() << "disk almost full";
    Logger::get().setFileLogger(nullptr);
    std::string content = test::readWholeFile(log("zentrad.log"));
    ASSERT_EQ(content.substr(0, 4), "old\n");
    EXPECT_EQ(" WARN disk almost full\n", content.substr(4 + 21));
}

}  // namespace
