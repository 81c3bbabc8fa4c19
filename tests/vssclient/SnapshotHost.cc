#include "SnapshotHost.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "platform/System.h"
#include "platform/emulated/storage/HostLayout.h"

namespace snapshot_test {

void SnapshotHost::SetUp() {
    sim("add-disk --size 24M --part 'size=8M,type=7' --part 'size=8M,type=7'");
    auto layout = platform::emulated::HostLayout::load(platform::emulated::Host::current());
    ASSERT_EQ(layout.volumes().size(), 2u);
    volumeC_ = layout.volumes()[0].guidPath;
    volumeD_ = layout.volumes()[1].guidPath;
    volumeOffsetC_ = layout.volumes()[0].extents.at(0).offset;
    sim("letter C '" + platform::toNarrow(volumeC_) + "'");
    sim("letter D '" + platform::toNarrow(volumeD_) + "'");
    setTimeoutSeconds(20);
}

platform::FileHandle openDevice(const std::wstring& path, bool write) {
    return platform::createFile(
        path, platform::kGenericRead | (write ? platform::kGenericWrite : 0),
        platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting, 0);
}

std::vector<std::uint8_t> readDevice(const std::wstring& path, std::uint64_t length) {
    platform::FileHandle file = openDevice(path);
    EXPECT_TRUE(file.valid()) << platform::toNarrow(path) << " error " << platform::getLastError();
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t read = 0;
    if (file.valid()) {
        EXPECT_TRUE(
            platform::readFile(file, bytes.data(), static_cast<std::uint32_t>(length), &read));
    }
    bytes.resize(read);
    return bytes;
}

void writeDevice(const std::wstring& path, std::uint64_t offset,
                 const std::vector<std::uint8_t>& bytes) {
    platform::FileHandle file = openDevice(path, true);
    ASSERT_TRUE(file.valid()) << platform::toNarrow(path) << " error " << platform::getLastError();
    ASSERT_TRUE(platform::setFilePointerEx(file, static_cast<std::int64_t>(offset), nullptr,
                                           platform::kFileBegin));
    std::uint32_t written = 0;
    ASSERT_TRUE(platform::writeFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                    &written));
    ASSERT_EQ(written, bytes.size());
}

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

}  // namespace snapshot_test
