#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "BlocksTestSupport.h"
#include "blocks/Block.h"
#include "platform/Errors.h"
#include "platform/System.h"

namespace {

// A volume whose reads fail with the scripted errors (0: succeed) and then succeed,
// filling the buffer with 0xEE; a failed read moves the position, as a device may.
class ScriptedVolume : public test::FakeDevice {
  public:
    explicit ScriptedVolume(std::vector<std::uint32_t> errors) : errors_(std::move(errors)) {}
    bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override {
        positions.push_back(position);
        std::uint32_t error =
            positions.size() <= errors_.size() ? errors_[positions.size() - 1] : 0;
        if (error != 0) {
            position += 512;
            platform::setLastError(error);
            return false;
        }
        std::memset(buffer, 0xEE, size);
        *bytesRead = size - shortBy;
        return true;
    }

    std::uint32_t shortBy = 0;
    std::vector<std::uint64_t> positions;

  private:
    std::vector<std::uint32_t> errors_;
};

struct LoadFixture : test::FakeHandle<ScriptedVolume> {
    blocks::Block block{0, 4096};

    explicit LoadFixture(std::vector<std::uint32_t> errors) : FakeHandle(std::move(errors)) {}
    void load() { block.load(handle, 7); }
    bool filledWith(unsigned char value) const {
        return block.length() == 4096 &&
               std::all_of(block.getData(), block.getData() + 4096,
                           [value](unsigned char b) { return b == value; });
    }
};

std::string errorText(std::uint32_t code) {
    std::string text = platform::toNarrow(platform::formatMessage(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

TEST(BlockLoadTest, TransientErrorsAreRetriedAtTheSamePlace) {
    LoadFixture fixture({platform::kErrorCrc, platform::kErrorCrc});
    test::LogCapture log;
    fixture.load();
    EXPECT_EQ((std::vector<std::uint64_t>{7 * 4096, 7 * 4096, 7 * 4096}),
              fixture.device->positions);
    EXPECT_TRUE(fixture.block.loaded() && fixture.filledWith(0xEE));
    EXPECT_TRUE(
        log.contains("Successfully read block 7 after 3 tries.  Earlier reads failed with error: " +
                     errorText(platform::kErrorCrc)));
}

TEST(BlockLoadTest, ThreeTransientFailuresFailTheBlockNamingItAndTheError) {
    LoadFixture fixture(
        {platform::kErrorSemTimeout, platform::kErrorIoDevice, platform::kErrorIoDevice});
    EXPECT_THROW_MESSAGE(fixture.load(), "Failed to read block 7 after 3 tries: " +
                                             errorText(platform::kErrorIoDevice));
    EXPECT_EQ(3u, fixture.device->positions.size());
    EXPECT_FALSE(fixture.block.loaded());
}

TEST(BlockLoadTest, OtherErrorsAndShortReadsFailAtOnce) {
    LoadFixture denied({platform::kErrorAccessDenied});
    EXPECT_THROW_MESSAGE(denied.load(),
                         "Failed to read block 7: " + errorText(platform::kErrorAccessDenied));
    EXPECT_EQ(1u, denied.device->positions.size());
    EXPECT_FALSE(denied.block.loaded());

    LoadFixture shortRead({});
    shortRead.device->shortBy = 1;
    EXPECT_THROW_MESSAGE(shortRead.load(), "Failed to read block 7: read 4095 of 4096 bytes");
}

}  // namespace
