// SetFileAttributesW: the attribute bits a restored file or directory carries (read-only,
// hidden, system, archive and the like). Bits SetFileAttributesW does not set (directory,
// compressed, encrypted, sparse, reparse point) are ignored on both hosts.
//
// The emulated host keeps the bits of a file on a mapped drive in the extended attribute
// "user.zentrad.attributes" (4 bytes, little-endian), as Linux has no such bits; a read-only
// file stays writable there.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
constexpr std::uint32_t kFileAttributeHidden = 0x2;
constexpr std::uint32_t kFileAttributeSystem = 0x4;
constexpr std::uint32_t kFileAttributeArchive = 0x20;
constexpr std::uint32_t kFileAttributeTemporary = 0x100;
constexpr std::uint32_t kFileAttributeOffline = 0x1000;
constexpr std::uint32_t kFileAttributeNotContentIndexed = 0x2000;
// The bits SetFileAttributesW can change.
constexpr std::uint32_t kSettableFileAttributes =
    kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem | kFileAttributeArchive |
    kFileAttributeTemporary | kFileAttributeOffline | kFileAttributeNotContentIndexed;

// False with the last error set (kErrorFileNotFound, kErrorPathNotFound, ...) on failure.
bool setFileAttributes(const std::wstring& path, std::uint32_t attributes);

}  // namespace platform
