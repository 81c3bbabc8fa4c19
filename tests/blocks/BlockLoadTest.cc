#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "BlocksTestSupport.h"
#include "blocks/Block.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/System.h"

namespace {

// A volume whose reads fail with the scripted errors (0: succeed) before they succeed;
// successful reads fill the buffer with `fill`.
class ScriptedVolume : public platform::OpenFile {
  public:
    explicit ScriptedVolume(std::vector<std::uint32_t> errors) : errors_(std::move(errors)) {}

    bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override {
        positions.push_back(position_);
        std::size_t attempt = reads++;
        if (attempt < errors_.size() && errors_[attempt] != 0) {
            position_ += 512;  // a failing device may leave the position anywhere
            platform::setLastError(errors_[attempt]);
            return false;
        }
        std::memset(buffer, fill, size);
        *bytesRead = size - shortBy;
        return true;
    }
    bool write(const void*, std::uint32_t, std::uint32_t*) override { return false; }
    bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) override {
        if (method != platform::kFileBegin)
            return false;
        position_ = static_cast<std::uint64_t>(distance);
        *newPosition = position_;
        return true;
    }
    bool ioControl(std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                   std::uint32_t*) override {
        return false;
    }

    int reads = 0;
    unsigned char fill = 0xEE;
    std::uint32_t shortBy = 0;
    std::vector<std::uint64_t> positions;

  private:
    std::vector<std::uint32_t> errors_;
    std::uint64_t position_ = 0;
};

struct Loaded {
    std::unique_ptr<blocks::Block> block = std::make_unique<blocks::Block>(0, 4096);
    ScriptedVolume* volume;
    platform::FileHandle handle;

    explicit Loaded(std::vector<std::uint32_t> errors) {
        auto file = std::make_unique<ScriptedVolume>(std::move(errors));
        volume = file.get();
        handle = platform::FileHandle(std::move(file));
    }
    void load() { block->load(handle, 7); }
    bool filledWith(unsigned char value) const {
        for (std::uint64_t i = 0; i < block->length(); ++i)
            if (block->getData()[i] != value)
                return false;
        return block->length() == 4096;
    }
};

TEST(BlockLoadTest, TransientErrorsAreRetriedAtTheSamePlace) {
    Loaded loaded({platform::kErrorCrc, platform::kErrorCrc});
    test::LogCapture log;
    loaded.load();
    EXPECT_EQ(3, loaded.volume->reads);
    EXPECT_EQ((std::vector<std::uint64_t>{7 * 4096, 7 * 4096, 7 * 4096}), loaded.volume->positions);
    EXPECT_TRUE(loaded.block->loaded());
    EXPECT_TRUE(loaded.filledWith(0xEE));
    EXPECT_TRUE(log.contains(
        "Successfully read block 7 after 3 tries.  Earlier reads failed with error: "));
}

TEST(BlockLoadTest, ThreeTransientFailuresGiveZerosAndAWarning) {
    Loaded loaded(
        {platform::kErrorSemTimeout, platform::kErrorIoDevice, platform::kErrorIoDevice, 0});
    test::LogCapture log;
    loaded.load();
    EXPECT_EQ(3, loaded.volume->reads);
    EXPECT_TRUE(loaded.block->loaded());
    EXPECT_TRUE(loaded.filledWith(0));
    std::string expected =
        "Failed to read block 7: " + platform::toNarrow(platform::formatMessage(1117));
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r'))
        expected.pop_back();
    EXPECT_TRUE(log.contains(expected)) << log.text();
}

TEST(BlockLoadTest, OtherErrorsFailAtOnceWithTheRealCode) {
    Loaded loaded({platform::kErrorAccessDenied});
    std::string text = platform::toNarrow(platform::formatMessage(platform::kErrorAccessDenied));
    EXPECT_THROW_MESSAGE(loaded.load(), "Failed to read block 7: " + text.substr(0, 10));
    EXPECT_EQ(1, loaded.volume->reads);
    EXPECT_FALSE(loaded.block->loaded());
}

TEST(BlockLoadTest, ShortReadFails) {
    Loaded loaded({});
    loaded.volume->shortBy = 1;
    EXPECT_THROW_MESSAGE(loaded.load(), "Failed to read block 7: read 4095 of 4096 bytes");
    EXPECT_FALSE(loaded.block->loaded());
}

}  // namespace
