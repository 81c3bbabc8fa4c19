#include "ImageEditing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/System.h"

namespace hostsim {
namespace {

using platform::FileDescriptor;
using platform::emulated::kSectorSize;

constexpr std::size_t kWindow = 1 << 20;

std::string lastErrorText() {
    return platform::toNarrow(platform::formatMessage(platform::getLastError()));
}

bool allZero(const std::uint8_t* bytes, std::size_t length) {
    return std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == 0; });
}

void preadAll(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("cannot read the temporary image");
        done += static_cast<std::size_t>(n);
    }
}

void pwriteAll(int fd, const std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("cannot write the temporary image");
        done += static_cast<std::size_t>(n);
    }
}

// Writes the runs of differing sectors of one window.
void writeWindow(platform::emulated::VolumeByteSource& target, std::uint64_t base,
                 const std::uint8_t* wanted, const std::uint8_t* current, std::size_t length,
                 WriteBackResult& result) {
    std::size_t at = 0;
    while (at < length) {
        std::size_t sector = std::min<std::size_t>(kSectorSize, length - at);
        if (std::memcmp(wanted + at, current + at, sector) == 0) {
            at += sector;
            continue;
        }
        std::size_t end = at + sector;
        while (end < length) {
            std::size_t next = std::min<std::size_t>(kSectorSize, length - end);
            if (std::memcmp(wanted + end, current + end, next) == 0)
                break;
            end += next;
        }
        if (!target.write(base + at, wanted + at, end - at)) {
            throw std::runtime_error("write at byte " + std::to_string(base + at) +
                                     " failed: " + lastErrorText());
        }
        result.changedBytes += end - at;
        ++result.writes;
        at = end;
    }
}

}  // namespace

void extractImage(platform::emulated::VolumeByteSource& source, const std::filesystem::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid() || ::ftruncate(fd.get(), static_cast<off_t>(source.size())) != 0) {
        throw std::runtime_error("cannot create " + file.string());
    }
    std::vector<std::uint8_t> buffer(kWindow);
    for (std::uint64_t offset = 0; offset < source.size(); offset += kWindow) {
        std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, source.size() - offset));
        if (!source.read(offset, buffer.data(), length)) {
            throw std::runtime_error("cannot read at byte " + std::to_string(offset) + ": " +
                                     lastErrorText());
        }
        if (!allZero(buffer.data(), length))
            pwriteAll(fd.get(), buffer.data(), length, offset);
    }
}

WriteBackResult writeBackDifferences(const std::filesystem::path& file,
                                     platform::emulated::VolumeByteSource& target) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        throw std::runtime_error("cannot open " + file.string());
    off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size < 0 || static_cast<std::uint64_t>(size) != target.size()) {
        throw std::runtime_error("the tool changed the size of the image");
    }
    WriteBackResult result;
    std::vector<std::uint8_t> wanted(kWindow);
    std::vector<std::uint8_t> current(kWindow);
    for (std::uint64_t offset = 0; offset < target.size(); offset += kWindow) {
        std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, target.size() - offset));
        preadAll(fd.get(), wanted.data(), length, offset);
        if (!target.read(offset, current.data(), length)) {
            throw std::runtime_error("cannot read at byte " + std::to_string(offset) + ": " +
                                     lastErrorText());
        }
        writeWindow(target, offset, wanted.data(), current.data(), length, result);
    }
    return result;
}

}  // namespace hostsim
