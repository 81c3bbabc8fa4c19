#include "backup-server/objects/FolderBlobStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/posix/FileDescriptor.h"

namespace backup_server::objects {
namespace {

namespace fs = std::filesystem;

using Fd = platform::FileDescriptor;

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
    ZENTRAD_THROW(BlobError, BlobError::Kind::failed,
                  what + " " + path.string() + ": " + std::strerror(error));
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool copyAll(int from, int to) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (!writeAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(got))))
            return false;
    }
}

void syncFolder(const fs::path& folder) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        fail("Cannot sync the folder", folder, errno);
}

}  // namespace

FolderBlobStore::FolderBlobStore(fs::path folder, SyncPolicy policy, Creation creation)
    : folder_(std::move(folder)), policy_(policy) {
    if (creation == Creation::existingFolder)
        return;
    std::error_code error;
    fs::create_directories(folder_, error);
    if (error)
        fail("Cannot create the object folder", folder_, error.value());
}

fs::path FolderBlobStore::pathOf(const std::string& key) const {
    requireValidKey(key, name());
    return folder_ / key;
}

bool FolderBlobStore::present(const fs::path& path) const {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void FolderBlobStore::makeParent(const fs::path& path) const {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error)
        fail("Cannot create the folder", path.parent_path(), error.value());
}

void FolderBlobStore::writeWhole(const fs::path& path,
                                 const std::function<bool(int fd)>& write) const {
    std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".tmp-XXXXXX"));
    Fd fd(::mkstemp(temporary.data()));
    if (fd.get() < 0)
        fail("Cannot create", temporary, errno);
    bool written =
        write(fd.get()) && (policy_ == SyncPolicy::onSync || ::fsync(fd.get()) == 0) && fd.close();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(temporary.c_str());
        fail("Cannot write the object", path, saved);
    }
    if (policy_ == SyncPolicy::eachPut)
        syncFolder(path.parent_path());
}

void FolderBlobStore::put(const std::string& key, std::string_view bytes) {
    fs::path path = pathOf(key);
    if (present(path))
        return;
    makeParent(path);
    writeWhole(path, [bytes](int fd) { return writeAll(fd, bytes); });
}

void FolderBlobStore::putFile(const std::string& key, const fs::path& file) {
    fs::path path = pathOf(key);
    if (present(path))
        return;
    makeParent(path);
    Fd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        fail("Cannot open", file, errno);
    if (policy_ == SyncPolicy::eachPut && ::fsync(in.get()) != 0)
        fail("Cannot sync", file, errno);
    // On the store's file system the file becomes the object by its name alone; from
    // another one its bytes are copied.
    if (::rename(file.c_str(), path.c_str()) == 0) {
        if (policy_ == SyncPolicy::eachPut)
            syncFolder(path.parent_path());
        return;
    }
    if (errno != EXDEV)
        fail("Cannot move " + file.string() + " to", path, errno);
    writeWhole(path, [&in](int fd) { return copyAll(in.get(), fd); });
}

std::uint64_t FolderBlobStore::removeLeftovers(const std::string& prefix, std::uint64_t& bytes) {
    std::error_code error;
    std::uint64_t removed = 0;
    std::vector<fs::path> leftovers;
    for (fs::recursive_directory_iterator it(folder_ / prefix, error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.starts_with(".") && name.find(".tmp-") != std::string::npos &&
            it->is_regular_file(error))
            leftovers.push_back(it->path());
    }
    for (const fs::path& path : leftovers) {
        std::uintmax_t size = fs::file_size(path, error);
        if (fs::remove(path, error)) {
            ++removed;
            bytes += error ? 0 : size;
        }
    }
    return removed;
}

std::string FolderBlobStore::get(const std::string& key, std::optional<BlobRange> range) {
    fs::path path = pathOf(key);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 && errno == ENOENT)
        ZENTRAD_THROW(BlobError, BlobError::Kind::missing, "No object " + path.string());
    struct stat status {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0)
        fail("Cannot open", path, errno);
    auto size = static_cast<std::uint64_t>(status.st_size);
    std::uint64_t offset = range ? std::min(range->offset, size) : 0;
    std::uint64_t length = range ? std::min(range->length, size - offset) : size;
    if (length > kMaxGetBytes) {
        ZENTRAD_THROW(BlobError, BlobError::Kind::invalid,
                      "The object " + path.string() + " is larger than a read may be (" +
                          std::to_string(length) + " bytes)");
    }
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        ssize_t got = ::pread(fd.get(), bytes.data() + done, length - done,
                              static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail("Cannot read", path, errno);
        if (got == 0)
            break;  // shortened since fstat: return what is there
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

std::optional<std::uint64_t> FolderBlobStore::head(const std::string& key) {
    fs::path path = pathOf(key);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        fail("Cannot look at", path, errno);
    }
    if (!S_ISREG(status.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

void FolderBlobStore::remove(const std::string& key) {
    fs::path path = pathOf(key);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
        fail("Cannot remove", path, errno);
}

void FolderBlobStore::list(const std::string& prefix,
                           const std::function<void(const BlobInfo&)>& visit) {
    if (!validPrefix(prefix))
        ZENTRAD_THROW(BlobError, BlobError::Kind::invalid,
                      "Not a valid listing prefix for " + name());
    // Only the folder the prefix's whole parts name is walked.
    std::size_t slash = prefix.rfind('/');
    fs::path start = slash == std::string::npos ? folder_ : folder_ / prefix.substr(0, slash);
    std::error_code error;
    fs::recursive_directory_iterator it(start, error), end;
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
        return;
    for (; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.starts_with(".")) {
            // Temporary files and anything else hidden is never an object.
            if (it->is_directory(error))
                it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(error))
            continue;
        std::string key = it->path().lexically_relative(folder_).generic_string();
        if (!key.starts_with(prefix))
            continue;
        std::uint64_t size = it->file_size(error);
        if (error)
            break;
        visit(BlobInfo{std::move(key), size});
    }
    if (error)
        fail("Cannot list", start, error.value());
}

void FolderBlobStore::sync() {
    if (policy_ == SyncPolicy::eachPut)
        return;
    Fd fd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::syncfs(fd.get()) != 0)
        fail("Cannot sync", folder_, errno);
}

}  // namespace backup_server::objects
