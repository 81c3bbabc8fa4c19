// Attribute bits of files on the emulated host's mapped drives, kept in an extended attribute.
#include "platform/FileAttributes.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/storage/DeviceCommon.h"
#include "platform/emulated/storage/DriveNamespace.h"
#include "platform/emulated/storage/ErrnoErrors.h"

namespace platform {
namespace {

constexpr const char* kAttributesAttribute = "user.zentrad.attributes";

}  // namespace

bool setFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    auto target = emulated::resolveDrivePath(emulated::Host::current(), path);
    if (!target)
        return false;
    struct stat status {};
    if (::lstat(target->c_str(), &status) != 0) {
        std::error_code ignored;
        bool parent = std::filesystem::is_directory(target->parent_path(), ignored);
        return emulated::fail(parent ? kErrorFileNotFound : kErrorPathNotFound);
    }
    std::uint32_t bits = attributes & kSettableFileAttributes;
    std::uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    if (::lsetxattr(target->c_str(), kAttributesAttribute, bytes, sizeof bytes, 0) != 0)
        return emulated::fail(emulated::errorFromErrno(errno));
    return true;
}

}  // namespace platform
