#include "backup-server/store/StoreLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "backup-server/store/Sha256.h"
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

// Only an exclusive holder's description is current: shared holders write none, so the
// text a shared lock leaves behind may name a command long gone.
std::string exclusiveHolderOf(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        return "";
    }
    return holderOf(fd);
}

void describeHolder(int fd, const std::string& holder) {
    std::string text = "process " + std::to_string(::getpid()) + ": " + holder + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        // The holder's description is a courtesy; the lock itself is held.
    }
}

int openLockFile(const std::filesystem::path& file, bool mayBeReadOnly) {
    int fd = -1;
    // A shared lock needs no write access to its file: readers of a store on media they
    // may not write to open the file as it is.
    if (mayBeReadOnly)
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && mayBeReadOnly && errno == EROFS)
        return -1;  // no writer, and so no gc, can exist on a read-only file system
    if (fd < 0) {
        ZENTRAD_THROW(StoreError, "Cannot open " + file.string() + ": " + std::strerror(errno));
    }
    return fd;
}

// 0 when the lock is taken, else flock's error. A writer holds the store exclusively only
// while it opens it (see Store), so a shared writer gives that a moment before it reports
// the store in use.
int tryLock(int fd, int operation, bool waitForOpening) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::seconds(waitForOpening ? 5 : 0);
    for (;;) {
        if (::flock(fd, operation | LOCK_NB) == 0)
            return 0;
        int error = errno;
        if (error != EWOULDBLOCK || Clock::now() >= until)
            return error;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

[[noreturn]] void refuseLock(const std::filesystem::path& file, int error) {
    ZENTRAD_THROW(StoreError, "Cannot lock " + file.string() + ": " + std::strerror(error));
}

}  // namespace

StoreLock::StoreLock(const std::filesystem::path& folder, Kind kind, const std::string& holder) {
    bool writeFile = kind == Kind::write || kind == Kind::writeShared;
    file_ = folder / (writeFile ? "write.lock" : "read.lock");
    fd_ = openLockFile(file_, kind == Kind::read);
    if (fd_ < 0)
        return;
    bool shared = kind == Kind::read || kind == Kind::writeShared;
    if (int error = tryLock(fd_, shared ? LOCK_SH : LOCK_EX, kind == Kind::writeShared)) {
        std::string who;
        if (kind == Kind::write)
            who = exclusiveHolderOf(fd_);
        else if (kind == Kind::writeShared)
            who = holderOf(fd_);
        ::close(fd_);
        fd_ = -1;
        if (error != EWOULDBLOCK)
            refuseLock(file_, error);
        if (kind == Kind::readExclusive) {
            throw StoreInUse("the store " + folder.string() +
                             " is being read (a restore or verify is running); try again when "
                             "it has finished");
        }
        if (kind == Kind::write && who.empty()) {
            throw StoreInUse("the store " + folder.string() +
                             " is in use by other commands (backups, forget, partition-backup "
                             "or trust); this command needs the store to itself: try again "
                             "when they have finished");
        }
        throw StoreInUse("the store " + folder.string() + " is in use by another command" +
                         (who.empty() ? std::string() : " (" + who + ")") +
                         (kind == Kind::write ? "; this command needs the store to itself"
                                              : "; try again when it has finished"));
    }
    if (kind == Kind::write)
        describeHolder(fd_, holder);
}

StoreLock StoreLock::volume(const std::filesystem::path& folder, const std::string& agent,
                            const std::string& deviceID, const std::string& holder) {
    std::error_code ignored;  // a folder that cannot be made fails the open below
    std::filesystem::create_directories(folder / "locks", ignored);
    std::string key = agent + '\0' + deviceID;
    StoreLock lock;
    lock.file_ = folder / "locks" / (toHex(sha256(key.data(), key.size())).substr(0, 32) + ".lock");
    lock.fd_ = openLockFile(lock.file_, false);
    if (int error = tryLock(lock.fd_, LOCK_EX, false)) {
        std::string who = holderOf(lock.fd_);
        if (error != EWOULDBLOCK)
            refuseLock(lock.file_, error);
        throw StoreInUse("the volume " + deviceID + " of agent " + agent + " in the store " +
                         folder.string() + " is in use by another command" +
                         (who.empty() ? std::string() : " (" + who + ")") +
                         "; a volume takes one backup or restore at a time");
    }
    describeHolder(lock.fd_, holder);
    return lock;
}

void StoreLock::share() {
    if (fd_ < 0)
        return;
    if (::ftruncate(fd_, 0) != 0) {
        // A stale description only makes a refusal's message less precise.
    }
    if (int error = tryLock(fd_, LOCK_SH, false)) {
        ::close(fd_);
        fd_ = -1;
        if (error != EWOULDBLOCK)
            refuseLock(file_, error);
        throw StoreInUse("the store " + file_.parent_path().string() +
                         " was taken by another command as this one opened it; try again");
    }
}

StoreLock::~StoreLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

StoreLock::StoreLock(StoreLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), file_(std::move(other.file_)) {}

}  // namespace backup_server
