#include "HostFixture.h"

#include "common/RunCommand.h"
#include "platform/Errors.h"
#include "platform/System.h"

namespace testing_host {

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

Reply control(platform::FileHandle& file, std::uint32_t code, std::uint32_t size, const void* in,
              std::uint32_t inSize) {
    Reply reply;
    reply.bytes.resize(size);
    std::uint32_t returned = 0;
    platform::setLastError(0);
    reply.ok =
        platform::deviceIoControl(file, code, in, inSize, reply.bytes.data(), size, &returned);
    reply.error = reply.ok ? 0 : platform::getLastError();
    reply.bytes.resize(returned);
    return reply;
}

}  // namespace testing_host
