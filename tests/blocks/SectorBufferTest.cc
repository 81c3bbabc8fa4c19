#include "blocks/SectorBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

// Raw writes take their bytes from an aligned start, whatever was appended before.
TEST(SectorBufferTest, StartsAlignedHoldsWhatWasAppendedAndRefusesMore) {
    for (std::size_t alignment : {std::size_t{4096}, std::size_t{65536}}) {
        blocks::SectorBuffer buffer(10000, alignment);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % alignment, 0u);
        const std::string first(4096, 'a');
        const std::string second(5000, 'b');
        buffer.append(first.data(), first.size());
        buffer.append(second.data(), second.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size()),
                  first + second);
        EXPECT_THROW(buffer.append(first.data(), 1000), std::length_error);
        EXPECT_EQ(buffer.size(), 9096u);
        buffer.clear();
        EXPECT_TRUE(buffer.empty());
        buffer.append(second.data(), second.size());
        EXPECT_EQ(buffer.data()[0], 'b');
    }
}

}  // namespace
