#include "blocks/ProgressMeter.h"

#include <gtest/gtest.h>

#include "BlocksTestSupport.h"

namespace {

using std::chrono::milliseconds;

TEST(ProgressMeterTest, LinesTellDoneTotalRateAndTimeLeft) {
    // 1200 blocks of 4096 bytes in 10 s: 491.5 kB/s; 3600 left at 120 blocks/s: 30 s.
    EXPECT_EQ(blocks::progressLine("Backup progress", 1200, 4800, 4096, milliseconds(10000)),
              "Backup progress: 1200 of 4800 blocks (25.0%), 0.5 MB/s, about 30 s left");
    EXPECT_EQ(blocks::progressLine("Backup progress", 100, 100000, 65536, milliseconds(1000)),
              "Backup progress: 100 of 100000 blocks (0.1%), 6.6 MB/s, about 16 min 39 s left");
    EXPECT_EQ(blocks::progressLine("R", 1, 7201, 512, milliseconds(1000)),
              "R: 1 of 7201 blocks (0.0%), 0.0 MB/s, about 2 h 0 min left");
    // Nothing done yet, nothing known of the total, or everything done.
    EXPECT_EQ(blocks::progressLine("R", 0, 10, 4096, milliseconds(5000)),
              "R: 0 of 10 blocks (0.0%)");
    EXPECT_EQ(blocks::progressLine("R", 50, 0, 1000000, milliseconds(1000)),
              "R: 50 blocks, 50.0 MB/s");
    EXPECT_EQ(blocks::progressLine("R", 12, 10, 1000000, milliseconds(1000)),
              "R: 12 of 10 blocks (100.0%), 12.0 MB/s");
}

TEST(ProgressMeterTest, LogsOncePerIntervalWithItsSuffix) {
    test::LogCapture log;
    blocks::ProgressMeter never("Quiet", 4096, std::chrono::hours(1));
    never.setTotal(10);
    never.update(5);
    EXPECT_FALSE(log.contains("Quiet"));

    blocks::ProgressMeter always("Busy", 4096, milliseconds(0));
    always.setTotal(10);
    always.update(5, ", 3 blocks written");
    EXPECT_TRUE(log.contains("Busy: 5 of 10 blocks (50.0%)"));
    EXPECT_TRUE(log.contains("3 blocks written"));
}

}  // namespace
