#include "blocks/FileClusterMap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "BlocksTestSupport.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/System.h"

namespace {

using platform::RetrievalPointerExtent;
using platform::RetrievalPointersHeader;

// Answers the retrieval-pointers request with its extents, or kErrorMoreData (filling what
// fits) when the buffer is too small, as Windows does.
class ExtentFile : public test::FakeDevice {
  public:
    ExtentFile(std::int64_t startingVcn, std::vector<RetrievalPointerExtent> extents)
        : startingVcn_(startingVcn), extents_(std::move(extents)) {}

    bool ioControl(std::uint32_t code, const void*, std::uint32_t, void* out, std::uint32_t outSize,
                   std::uint32_t* returned) override {
        bufferSizes.push_back(outSize);
        if (code != platform::kFsctlGetRetrievalPointers)
            return fail(platform::kErrorInvalidFunction);
        std::size_t fits =
            (outSize - sizeof(RetrievalPointersHeader)) / sizeof(RetrievalPointerExtent);
        std::size_t count = std::min(fits, extents_.size());
        RetrievalPointersHeader header{static_cast<std::uint32_t>(count), 0, startingVcn_};
        std::memcpy(out, &header, sizeof header);
        std::memcpy(static_cast<char*>(out) + sizeof header, extents_.data(),
                    count * sizeof(RetrievalPointerExtent));
        *returned =
            static_cast<std::uint32_t>(sizeof header + count * sizeof(RetrievalPointerExtent));
        return count == extents_.size() || fail(platform::kErrorMoreData);
    }

    std::vector<std::uint32_t> bufferSizes;

  private:
    static bool fail(std::uint32_t error) {
        platform::setLastError(error);
        return false;
    }
    std::int64_t startingVcn_;
    std::vector<RetrievalPointerExtent> extents_;
};

struct Loaded : test::FakeHandle<ExtentFile> {
    blocks::FileClusterMap map{L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1"};
    bool ok;

    Loaded(std::int64_t startingVcn, std::vector<RetrievalPointerExtent> extents)
        : FakeHandle(startingVcn, std::move(extents)), ok(map.loadFrom(handle)) {}
};

std::vector<RetrievalPointerExtent> contiguousExtents(int count) {
    std::vector<RetrievalPointerExtent> extents;
    for (int e = 0; e < count; ++e)
        extents.push_back({2 * (e + 1), 1000 + 10 * e});
    return extents;
}

TEST(FileClusterMapTest, ExtentsBecomeRunsAndHolesAreSkipped) {
    Loaded loaded(4, {{6, 100}, {9, -1}, {10, 50}});
    ASSERT_TRUE(loaded.ok);
    std::map<std::int64_t, std::int64_t> expected{{100, 2}, {50, 1}};
    EXPECT_EQ(expected, loaded.map.runs());

    blocks::BlockMap used(102);
    for (std::uint64_t i = 0; i < 102; ++i)
        used.setBit(i);
    loaded.map.clearClustersIn(used);  // the run at 100 reaches past the map's end
    EXPECT_FALSE(used.bit(50) || used.bit(100) || used.bit(101));
    EXPECT_TRUE(used.bit(49) && used.bit(51) && used.bit(99));
}

TEST(FileClusterMapTest, BufferDoublesUntilTheReplyFits) {
    Loaded few(0, contiguousExtents(255));
    EXPECT_TRUE(few.ok);
    EXPECT_EQ(std::vector<std::uint32_t>{4096}, few.device->bufferSizes);
    Loaded many(0, contiguousExtents(600));
    EXPECT_TRUE(many.ok);
    EXPECT_EQ((std::vector<std::uint32_t>{4096, 8192, 16384}), many.device->bufferSizes);
    EXPECT_EQ(600u, many.map.runs().size());
}

TEST(FileClusterMapTest, MalformedRepliesAreRejected) {
    EXPECT_FALSE(Loaded(5, {{5, 100}}).ok);   // an extent that does not advance
    EXPECT_FALSE(Loaded(-9, {{5, 100}}).ok);  // a negative starting cluster
    blocks::FileClusterMap missing(L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}");
    EXPECT_FALSE(missing.load(L"pagefile.sys"));  // no such volume: false, no exception
}

}  // namespace
