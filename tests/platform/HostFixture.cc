#include "HostFixture.h"

#include "common/RunCommand.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "platform/Errors.h"
#include "platform/System.h"

namespace testing_host {

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file, std::uint64_t offset,
                                    std::size_t length) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<std::uint8_t> bytes(length);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void HostTest::SetUp() {
    host_.emplace();
    root_ = host_->root();
}

void HostTest::TearDown() {
    host_.reset();
}

std::filesystem::path HostTest::extract(std::uint32_t number, std::uint64_t offset,
                                        std::uint64_t length, const std::string& name) {
    std::filesystem::path out = root_ / name;
    test::runCommand("dd if='" + diskImage(number).string() + "' of='" + out.string() +
                     "' bs=512 skip=" + std::to_string(offset / 512) +
                     " count=" + std::to_string(length / 512) + " status=none");
    return out;
}

platform::FileHandle openForRead(const std::wstring& path) {
    return platform::createFile(path, platform::kGenericRead,
                                platform::kFileShareRead | platform::kFileShareWrite,
                                platform::kOpenExisting, 0);
}

platform::FileHandle openForWrite(const std::wstring& path) {
    return platform::createFile(path, platform::kGenericRead | platform::kGenericWrite,
                                platform::kFileShareRead | platform::kFileShareWrite,
                                platform::kOpenExisting, 0);
}

std::vector<std::uint8_t> control(platform::FileHandle& file, std::uint32_t code, const void* in,
                                  std::uint32_t inSize, std::uint32_t size, bool& ok,
                                  std::uint32_t& error) {
    std::vector<std::uint8_t> out(size);
    std::uint32_t returned = 0;
    platform::setLastError(0);
    ok = platform::deviceIoControl(file, code, in, inSize, out.data(), size, &returned);
    error = ok ? 0 : platform::getLastError();
    out.resize(returned);
    return out;
}

}  // namespace testing_host
