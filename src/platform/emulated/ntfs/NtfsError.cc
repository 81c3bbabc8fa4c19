#include "platform/emulated/ntfs/NtfsError.h"

#include <cstdio>

namespace platform::emulated::ntfs {

void fail(std::uint32_t code, const std::string& message) {
    throw NtfsError(code, message);
}

void corrupt(const std::string& message) {
    throw NtfsError(kErrorFileCorrupt, message);
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace platform::emulated::ntfs
