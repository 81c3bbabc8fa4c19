#include "requests/FileRestoreOutput.h"

#include <algorithm>
#include <limits>

#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "requests/FileRestoreErrors.h"
#include "runtime/Exceptions.h"

namespace requests {

FileRestoreOutput::FileRestoreOutput(std::wstring path) : path_(std::move(path)) {
    file_ = platform::createFile(path_, platform::kGenericWrite, platform::kFileShareRead,
                                 platform::kCreateAlways, platform::kFileAttributeNormal);
    if (!file_)
        fail(platform::getLastError());
}

FileRestoreOutput::~FileRestoreOutput() {
    if (file_)
        discard();
}

void FileRestoreOutput::write(const char* data, std::size_t size) {
    while (size > 0) {
        auto piece = static_cast<std::uint32_t>(
            std::min<std::size_t>(size, std::numeric_limits<std::uint32_t>::max()));
        std::uint32_t written = 0;
        if (!platform::writeFile(file_, data, piece, &written) || written != piece) {
            std::uint32_t error = platform::getLastError();
            discard();
            fail(error == platform::kErrorSuccess ? platform::kErrorWriteFault : error);
        }
        data += piece;
        size -= piece;
    }
}

void FileRestoreOutput::keep() {
    file_.close();
}

void FileRestoreOutput::discard() {
    file_.close();
    platform::deleteFile(path_);
}

void FileRestoreOutput::fail(std::uint32_t error) {
    std::uint32_t attributes = platform::getFileAttributes(path_);
    if (attributes != platform::kInvalidFileAttributes &&
        (attributes & platform::kFileAttributeDirectory) != 0) {
        ZENTRAD_THROW(runtime::AgentException, "A directory of the same name already exists.");
    }
    ZENTRAD_THROW(runtime::AgentException, systemErrorText(error));
}

}  // namespace requests
