#include "backup-server/pointfiles/PointExtract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/posix/FileDescriptor.h"

namespace backup_server {
namespace {

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr int kMostDepth = 4096;  // far beyond NTFS's 32767-character paths

timespec unixTime(std::uint64_t fileTime) {
    timespec time{};
    if (fileTime >= kUnixEpochAsFileTime) {
        std::uint64_t since = fileTime - kUnixEpochAsFileTime;
        time.tv_sec = static_cast<time_t>(since / 10000000);
        time.tv_nsec = static_cast<long>(since % 10000000 * 100);
    }
    return time;
}

using Descriptor = platform::FileDescriptor;

void writeAll(int fd, const char* data, std::size_t size, const std::filesystem::path& local) {
    while (size > 0) {
        ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            throw PointFileError("cannot write " + local.string() + ": " + std::strerror(errno));
        data += done;
        size -= static_cast<std::size_t>(done);
    }
}

}  // namespace

bool safeLocalName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void PointExtractor::failed(const std::string& what) {
    report_.failures.push_back(what);
    log_ << "failed: " << what << "\n";
}

void PointExtractor::keep(const PointEntry& entry, const std::filesystem::path& local) {
    if (keepItems_)
        report_.items.push_back({entry, local});
    progress();
}

void PointExtractor::progress() {
    if (report_.files - reportedFiles_ < 10000 && report_.bytes - reportedBytes_ < (1ull << 30))
        return;
    reportedFiles_ = report_.files;
    reportedBytes_ = report_.bytes;
    log_ << "progress: " << report_.files << " files, " << report_.folders << " folders ("
         << report_.bytes << " bytes), " << report_.failures.size() << " failed so far"
         << std::endl;
}

void PointExtractor::extract(const PointEntry& entry, const std::filesystem::path& folder) {
    if (entry.path == "/") {
        // The volume's root has no name of its own: its contents go into folder.
        std::vector<PointEntry> children;
        try {
            children = files_.list(entry);
        } catch (const PointFileError& error) {
            failed(error.what());
            return;
        }
        for (const PointEntry& child : children)
            extract(child, folder);
        return;
    }
    if (!safeLocalName(entry.name)) {
        failed(entry.path + ": a name this machine cannot hold");
        return;
    }
    extractAs(entry, folder / entry.name);
}

void PointExtractor::extractAs(const PointEntry& entry, const std::filesystem::path& local) {
    if (!entry.problem.empty()) {
        failed(entry.path + ": " + entry.problem);
    } else if (entry.isLink()) {
        ++report_.skipped;
        log_ << "skipped: " << entry.path << " is a " << entry.reparse->kind << " to "
             << entry.reparse->target << " (links are not followed or created)\n";
    } else if (entry.directory) {
        extractFolder(entry, local, 0);
    } else {
        extractFile(entry, local);
    }
}

void PointExtractor::extractFolder(const PointEntry& folder, const std::filesystem::path& local,
                                   int depth) {
    if (depth > kMostDepth) {
        failed(folder.path + ": folders nested too deeply (a damaged volume?)");
        return;
    }
    if (::mkdir(local.c_str(), 0755) != 0) {
        failed(folder.path + ": cannot create " + local.string() + ": " + std::strerror(errno));
        return;
    }
    ++report_.folders;
    keep(folder, local);
    std::vector<PointEntry> children;
    try {
        children = files_.list(folder);
    } catch (const PointFileError& error) {
        failed(error.what());
    }
    for (const PointEntry& child : children) {
        if (!safeLocalName(child.name)) {
            failed(child.path + ": a name this machine cannot hold");
        } else if (child.directory && child.problem.empty() && !child.isLink()) {
            extractFolder(child, local / child.name, depth + 1);
        } else {
            extractAs(child, local / child.name);
        }
    }
    extractStreams(folder, local);
    keepMetadata(folder, local);  // after its contents, which change its times
}

void PointExtractor::extractFile(const PointEntry& file, const std::filesystem::path& local) {
    auto first = linked_.find(file.fileNumber);
    if (first != linked_.end() && ::link(first->second.c_str(), local.c_str()) == 0) {
        ++report_.files;
        keep(file, local);
        extractStreams(file, local);  // "NAME:STREAM" files follow the name, not the file
        return;
    }
    if (!writeStream(file, "", local))
        return;
    ++report_.files;
    report_.bytes += file.size;
    keep(file, local);
    if (file.links > 1)
        linked_.emplace(file.fileNumber, local);
    extractStreams(file, local);
    keepMetadata(file, local);
}

bool PointExtractor::writeStream(const PointEntry& file, const std::string& stream,
                                 const std::filesystem::path& local) {
    Descriptor out(
        ::open(local.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    std::string shown = file.path + (stream.empty() ? "" : ":" + stream);
    if (out.get() < 0) {
        failed(shown + ": cannot create " + local.string() + ": " + std::strerror(errno));
        return false;
    }
    try {
        files_.read(file, stream, [&](const char* data, std::size_t size) {
            writeAll(out.get(), data, size, local);
        });
        if (!out.close())
            throw PointFileError("cannot write " + local.string() + ": " + std::strerror(errno));
    } catch (const PointFileError& error) {
        // Never leave part of a file behind as if it were the file.
        ::unlink(local.c_str());
        failed(error.what());
        return false;
    }
    return true;
}

void PointExtractor::extractStreams(const PointEntry& entry, const std::filesystem::path& local) {
    for (const PointStream& stream : entry.streams) {
        std::string name = local.filename().string() + ":" + stream.name;
        if (!safeLocalName(name)) {
            failed(entry.path + ":" + stream.name + ": a name this machine cannot hold");
            continue;
        }
        if (writeStream(entry, stream.name, local.parent_path() / name)) {
            ++report_.streams;
            report_.bytes += stream.size;
        }
    }
}

void PointExtractor::keepMetadata(const PointEntry& entry, const std::filesystem::path& local) {
    char text[32];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(entry.attributes));
    // Best effort: a file system without user extended attributes keeps the file anyway.
    ::setxattr(local.c_str(), "user.ntfs.attributes", text, std::strlen(text), 0);
    std::string created = std::to_string(entry.created);
    ::setxattr(local.c_str(), "user.ntfs.created", created.data(), created.size(), 0);
    if (!entry.directory && (entry.attributes & kAttrReadOnly))
        ::chmod(local.c_str(), 0444);
    timespec times[2] = {unixTime(entry.accessed), unixTime(entry.modified)};
    if (::utimensat(AT_FDCWD, local.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        failed(entry.path + ": cannot set the times of " + local.string() + ": " +
               std::strerror(errno));
}

}  // namespace backup_server
