// mount STORE DEVICE-ID [point=N] MOUNTPOINT: a restore point as a read-only file system
// (FUSE), in the foreground until the process is interrupted or terminated (SIGINT,
// SIGTERM, SIGHUP) or the file system is unmounted (fusermount3 -u MOUNTPOINT); it is
// unmounted on the way out. Requests are served one at a time: the volume's reader is not
// thread-safe.
//
// Symbolic links and junctions appear as symbolic links whose target is the stored one
// with every "/" turned into "\": it names nothing on this machine, so following it never
// leaves the point. Encrypted files are listed and refuse to open (EACCES); alternate
// data streams are not shown (cat and extract take them out).
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/PointSelection.h"

namespace backup_server {
namespace {

struct MountState {
    PointFiles* files = nullptr;
    std::map<std::uint64_t, std::unique_ptr<PointFile>> open;
    std::uint64_t nextHandle = 1;
};

MountState& state() {
    return *static_cast<MountState*>(fuse_get_context()->private_data);
}

timespec unixTime(std::uint64_t fileTime) {
    constexpr std::uint64_t kEpoch = 116444736000000000ull;
    timespec time{};
    if (fileTime >= kEpoch) {
        time.tv_sec = static_cast<time_t>((fileTime - kEpoch) / 10000000);
        time.tv_nsec = static_cast<long>((fileTime - kEpoch) % 10000000 * 100);
    }
    return time;
}

std::string linkTarget(const PointEntry& entry) {
    std::string target = entry.reparse->target.empty() ? "?" : entry.reparse->target;
    std::replace(target.begin(), target.end(), '/', '\\');
    return target;
}

// Runs a request, turning a failure into the negative errno FUSE expects.
template <typename Body>
int guarded(Body body) {
    try {
        return body();
    } catch (const PointFileError& error) {
        return -error.error();
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (const std::exception&) {
        return -EIO;
    }
}

PointEntry lookUp(const char* path) {
    PointEntry entry = state().files->entry(parsePointPath(path).path);
    if (!entry.problem.empty())
        throw PointFileError(entry.problem);
    return entry;
}

int getAttributes(const char* path, struct stat* status, fuse_file_info*) {
    return guarded([&] {
        PointEntry entry = lookUp(path);
        std::memset(status, 0, sizeof *status);
        if (entry.isLink()) {
            status->st_mode = S_IFLNK | 0444;
            status->st_size = static_cast<off_t>(linkTarget(entry).size());
        } else if (entry.directory) {
            status->st_mode = S_IFDIR | 0555;
        } else {
            status->st_mode = S_IFREG | (entry.encrypted() ? 0000 : 0444);
            status->st_size = static_cast<off_t>(entry.size);
        }
        status->st_nlink = entry.directory ? 2 : std::max<nlink_t>(entry.links, 1);
        status->st_ino = entry.fileNumber;
        status->st_mtim = unixTime(entry.modified);
        status->st_atim = unixTime(entry.accessed);
        status->st_ctim = unixTime(entry.changed);
        status->st_blksize = 4096;
        status->st_blocks = static_cast<blkcnt_t>((entry.size + 511) / 512);
        return 0;
    });
}

int readLink(const char* path, char* buffer, std::size_t size) {
    return guarded([&] {
        PointEntry entry = lookUp(path);
        if (!entry.isLink() || size == 0)
            return -EINVAL;
        std::string target = linkTarget(entry);
        std::size_t n = std::min(target.size(), size - 1);
        std::memcpy(buffer, target.data(), n);
        buffer[n] = '\0';
        return 0;
    });
}

int readFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    return guarded([&] {
        PointEntry folder = lookUp(path);
        fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        for (const PointEntry& entry : state().files->list(folder)) {
            if (entry.name.find('/') == std::string::npos)
                fill(buffer, entry.name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        }
        return 0;
    });
}

int openFile(const char* path, fuse_file_info* info) {
    if ((info->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    return guarded([&] {
        MountState& mount = state();
        std::unique_ptr<PointFile> file = mount.files->open(lookUp(path), "");
        info->fh = mount.nextHandle++;
        info->keep_cache = 1;  // a point never changes
        mount.open.emplace(info->fh, std::move(file));
        return 0;
    });
}

int readFile(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* info) {
    return guarded([&] {
        auto found = state().open.find(info->fh);
        if (found == state().open.end() || offset < 0)
            return -EBADF;
        std::size_t done = 0;
        auto at = static_cast<std::uint64_t>(offset);
        while (done < size && at + done < found->second->size()) {
            std::size_t got = found->second->read(at + done, size - done, buffer + done);
            if (got == 0)
                break;
            done += got;
        }
        return static_cast<int>(done);
    });
}

int releaseFile(const char*, fuse_file_info* info) {
    state().open.erase(info->fh);
    return 0;
}

struct FuseCloser {
    void operator()(fuse* filesystem) const { fuse_destroy(filesystem); }
};

// While mounted: the signal handlers that end the loop, and the unmount on every way out.
class Mounted {
  public:
    explicit Mounted(fuse* filesystem) : filesystem_(filesystem) {
        fuse_set_signal_handlers(fuse_get_session(filesystem_));
    }
    ~Mounted() { unmount(); }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
    void unmount() {
        if (filesystem_ == nullptr)
            return;
        fuse_remove_signal_handlers(fuse_get_session(filesystem_));
        fuse_unmount(filesystem_);
        filesystem_ = nullptr;
    }

  private:
    fuse* filesystem_;
};

}  // namespace

int mountCommand(CommandContext& context) {
    if (context.json)
        throw UsageError("mount serves a file system until interrupted; it has no JSON result");
    PointSelection selection = parsePointSelection(context.arguments, {});
    if (selection.paths.size() != 1)
        throw UsageError("mount takes one MOUNTPOINT");
    OpenPoint point(selection, "mount", context.keySource);
    MountState mount;
    mount.files = &point.files();
    fuse_operations operations{};
    operations.getattr = getAttributes;
    operations.readlink = readLink;
    operations.readdir = readFolder;
    operations.open = openFile;
    operations.read = readFile;
    operations.release = releaseFile;
    std::string options = "ro,default_permissions,fsname=zentrad-point-" +
                          std::to_string(point.record().id) + ",subtype=zentrad";
    const std::string& mountPoint = selection.paths[0];
    std::vector<std::string> words = {"backup-server", "-o", options};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    fuse_args arguments = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    std::unique_ptr<fuse, FuseCloser> filesystem(
        fuse_new(&arguments, &operations, sizeof operations, &mount));
    fuse_opt_free_args(&arguments);
    if (!filesystem || fuse_mount(filesystem.get(), mountPoint.c_str()) != 0) {
        std::cerr << "backup-server: cannot mount on " << mountPoint
                  << " (is it an empty folder, and FUSE available here?)\n";
        return kExitFailed;
    }
    Mounted mounted(filesystem.get());
    *context.out << "mounted point " << point.record().id << " of " << point.record().deviceID
                 << " read-only on " << mountPoint << " (until interrupted)" << std::endl;
    // Ends on SIGINT, SIGTERM or SIGHUP (a positive result: the signal), or on unmount.
    int result = fuse_loop(filesystem.get());
    mount.open.clear();
    mounted.unmount();
    *context.out << "unmounted " << mountPoint << std::endl;
    return result >= 0 ? kExitOk : kExitFailed;
}

}  // namespace backup_server
