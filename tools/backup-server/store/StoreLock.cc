#include "backup-server/store/StoreLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "backup-server/store/StoreError.h"

namespace backup_server {
namespace {

std::string holderOf(int fd) {
    char text[512];
    ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    std::string holder(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0'))
        holder.pop_back();
    return holder;
}

}  // namespace

StoreLock::StoreLock(const std::filesystem::path& folder, Kind kind, const std::string& holder) {
    std::filesystem::path file = folder / (kind == Kind::write ? "write.lock" : "read.lock");
    // A shared lock needs no write access to its file: readers of a store on media they
    // may not write to open the file as it is.
    if (kind == Kind::read)
        fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0 && kind == Kind::read && errno == EROFS)
        return;  // no writer, and so no gc, can exist on a read-only file system
    if (fd_ < 0) {
        ZENTRAD_THROW(StoreError, "Cannot open " + file.string() + ": " + std::strerror(errno));
    }
    int operation = (kind == Kind::read ? LOCK_SH : LOCK_EX) | LOCK_NB;
    if (::flock(fd_, operation) != 0) {
        int error = errno;
        std::string who = kind == Kind::write ? holderOf(fd_) : std::string();
        ::close(fd_);
        fd_ = -1;
        if (error != EWOULDBLOCK)
            ZENTRAD_THROW(StoreError, "Cannot lock " + file.string() + ": " + std::strerror(error));
        if (kind == Kind::readExclusive) {
            throw StoreInUse("the store " + folder.string() +
                             " is being read (a restore or verify is running); try again when "
                             "it has finished");
        }
        throw StoreInUse("the store " + folder.string() + " is in use by another command" +
                         (who.empty() ? std::string() : " (" + who + ")") +
                         "; only one command at a time may change a store");
    }
    if (kind == Kind::write) {
        std::string text = "process " + std::to_string(::getpid()) + ": " + holder + "\n";
        if (::ftruncate(fd_, 0) != 0 ||
            ::pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            // The holder's description is a courtesy; the lock itself is held.
        }
    }
}

StoreLock::~StoreLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

StoreLock::StoreLock(StoreLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

}  // namespace backup_server
