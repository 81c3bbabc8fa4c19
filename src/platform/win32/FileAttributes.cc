// SetFileAttributesW on Windows: a thin pass-through.
#include "platform/FileAttributes.h"

#include <windows.h>

namespace platform {

static_assert(kFileAttributeReadOnly == FILE_ATTRIBUTE_READONLY);
static_assert(kFileAttributeHidden == FILE_ATTRIBUTE_HIDDEN);
static_assert(kFileAttributeSystem == FILE_ATTRIBUTE_SYSTEM);
static_assert(kFileAttributeArchive == FILE_ATTRIBUTE_ARCHIVE);
static_assert(kFileAttributeTemporary == FILE_ATTRIBUTE_TEMPORARY);
static_assert(kFileAttributeOffline == FILE_ATTRIBUTE_OFFLINE);
static_assert(kFileAttributeNotContentIndexed == FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);

bool setFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    return ::SetFileAttributesW(path.c_str(), attributes) != FALSE;
}

}  // namespace platform
