#include "crypto/Digest.h"

#include <string>
#include <thread>
#include <vector>

#include "common/TestBytes.h"

namespace {

// The algorithms are fetched once and shared: a digest must not carry any state of the
// one before it, whichever algorithm or length that was.
TEST(DigestTest, AlternatingAlgorithmsOnOneThreadKeepNoState) {
    const std::string big(100000, 'a');
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(test::hex(*crypto::md5("abc")), "900150983cd24fb0d6963f7d28e17f72");
        EXPECT_EQ(test::hex(*crypto::sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
        EXPECT_EQ(test::hex(*crypto::md5(big)), test::hex(*crypto::md5(big)));
        EXPECT_EQ(test::hex(*crypto::md5("")), "d41d8cd98f00b204e9800998ecf8427e");
        EXPECT_EQ(test::hex(*crypto::sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    }
}

TEST(DigestTest, ThreadsDigestingAtOnceGetTheirOwnResults) {
    std::vector<std::string> inputs;
    for (int i = 0; i < 4; ++i)
        inputs.push_back(std::string(4096 + i, static_cast<char>('a' + i)));
    std::vector<std::string> expected;
    for (const std::string& input : inputs)
        expected.push_back(test::hex(*crypto::md5(input)));
    std::vector<int> mismatches(inputs.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < inputs.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                if (test::hex(*crypto::md5(inputs[t])) != expected[t])
                    ++mismatches[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(inputs.size(), 0));
    EXPECT_NE(expected[0], expected[1]);
}

}  // namespace
