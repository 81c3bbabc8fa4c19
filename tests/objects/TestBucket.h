// The S3 bucket of this test run, when it has one: scripts/test.sh starts a single-node Ceph
// cluster (scripts/ceph.sh) and exports its s3.env. Tests that need it skip with kNoS3Server
// when it is not there.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

namespace test {

inline constexpr const char* kNoS3Server =
    "no S3 server for this run: `scripts/ceph.sh start DIR` and `source DIR/s3.env` first "
    "(scripts/test.sh does both)";

// s3://BUCKET/TEST-NAME-RANDOM, so that tests may share the bucket at once; empty when the
// run has no bucket.
inline std::string testS3Store() {
    const char* bucket = std::getenv("ZENTRAD_TEST_S3");
    if (!bucket || !*bucket)
        return "";
    return std::string(bucket) + "/" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
           std::to_string(std::random_device{}());
}

}  // namespace test
