// The owner of one POSIX file descriptor: closed when the owner goes, unless closed or
// released before. Header-only and POSIX-only: the emulated host and the server tool (both
// built on Linux) use it; the Windows build never includes it.
#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

class FileDescriptor {
  public:
    FileDescriptor() = default;
    // Takes fd, which may be negative (a failed open): get() then says so.
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership; the caller closes what it returns.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    // Closes now, so that the error a close reports (a failed write-back, a full disk) is
    // seen: false when it fails. Closing what is already closed succeeds.
    bool close() {
        int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
};

}  // namespace platform
