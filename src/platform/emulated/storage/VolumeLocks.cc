#include "platform/emulated/storage/VolumeLocks.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/Errors.h"
#include "platform/emulated/snapshot/FileLock.h"

namespace platform::emulated {
namespace {

struct Owner {
    long pid = 0;
    std::uint64_t id = 0;
    bool operator==(const Owner&) const = default;
};

struct OpenHandle {
    Owner owner;
    std::uint64_t generation = 0;
    bool writable = false;
};

// The file's contents: "generation N", an optional "locker PID ID" and one
// "handle PID ID GENERATION WRITABLE" line per open handle.
struct LockState {
    std::uint64_t generation = 0;
    std::optional<Owner> locker;
    std::vector<OpenHandle> handles;
};

bool processAlive(long pid) {
    return pid == static_cast<long>(::getpid()) || ::kill(static_cast<pid_t>(pid), 0) == 0 ||
           errno != ESRCH;
}

LockState parse(std::istream& in) {
    LockState state;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "generation") {
            fields >> state.generation;
        } else if (kind == "locker") {
            Owner owner;
            if (fields >> owner.pid >> owner.id)
                state.locker = owner;
        } else if (kind == "handle") {
            OpenHandle handle;
            if (fields >> handle.owner.pid >> handle.owner.id >> handle.generation >>
                handle.writable)
                state.handles.push_back(handle);
        }
    }
    // Handles of processes that ended are gone, and so are their locks.
    std::erase_if(state.handles,
                  [](const OpenHandle& handle) { return !processAlive(handle.owner.pid); });
    if (state.locker && !processAlive(state.locker->pid))
        state.locker.reset();
    return state;
}

void store(const std::filesystem::path& file, const LockState& state) {
    std::ofstream out(file, std::ios::trunc);
    out << "generation " << state.generation << "\n";
    if (state.locker)
        out << "locker " << state.locker->pid << " " << state.locker->id << "\n";
    for (const auto& handle : state.handles) {
        out << "handle " << handle.owner.pid << " " << handle.owner.id << " " << handle.generation
            << " " << handle.writable << "\n";
    }
}

// Runs change on the state under the file's lock and, unless it only reads, writes the state
// back.
enum class Access { read, change };
template <typename Change>
auto withState(const std::filesystem::path& file, Change change, Access access = Access::change) {
    FileLock guard(file.string() + ".lock",
                   access == Access::read ? FileLock::Mode::shared : FileLock::Mode::exclusive);
    LockState state;
    {
        std::ifstream in(file);
        if (in)
            state = parse(in);
    }
    auto result = change(state);
    if (access == Access::change)
        store(file, state);
    return result;
}

std::filesystem::path stateFile(Host& host, const std::wstring& volumeGuidPath) {
    std::filesystem::path dir = host.root() / "locks";
    std::filesystem::create_directories(dir);
    std::ostringstream name;
    name << "volume-" << std::hex << std::hash<std::wstring>{}(volumeGuidPath);
    return dir / name.str();
}

std::atomic<std::uint64_t> nextHandleId{1};

}  // namespace

VolumeHandleRegistration::VolumeHandleRegistration(Host& host, const std::wstring& volumeGuidPath,
                                                   bool writable)
    : file_(stateFile(host, volumeGuidPath)),
      pid_(static_cast<long>(::getpid())),
      id_(nextHandleId++) {
    generation_ = withState(file_, [&](LockState& state) {
        state.handles.push_back(OpenHandle{Owner{pid_, id_}, state.generation, writable});
        return state.generation;
    });
}

VolumeHandleRegistration::~VolumeHandleRegistration() {
    try {
        withState(file_, [&](LockState& state) {
            const Owner self{pid_, id_};
            std::erase_if(state.handles,
                          [&](const OpenHandle& handle) { return handle.owner == self; });
            if (state.locker == self)
                state.locker.reset();
            return 0;
        });
    } catch (...) {
        // A lock file that cannot be opened any more leaves a record that the next reader
        // drops with this process.
    }
}

std::uint32_t VolumeHandleRegistration::lock() {
    return withState(file_, [&](LockState& state) -> std::uint32_t {
        const Owner self{pid_, id_};
        if (generation_ != state.generation)
            return kErrorNotReady;
        if (state.locker && *state.locker != self)
            return kErrorAccessDenied;
        bool otherWriter = std::any_of(state.handles.begin(), state.handles.end(), [&](auto& h) {
            return h.owner != self && h.writable && h.generation == state.generation;
        });
        if (otherWriter)
            return kErrorAccessDenied;
        state.locker = self;
        return kErrorSuccess;
    });
}

std::uint32_t VolumeHandleRegistration::unlock() {
    return withState(file_, [&](LockState& state) -> std::uint32_t {
        if (state.locker != Owner{pid_, id_})
            return kErrorNotLocked;
        state.locker.reset();
        return kErrorSuccess;
    });
}

std::uint32_t VolumeHandleRegistration::dismount() {
    return withState(file_, [&](LockState& state) -> std::uint32_t {
        const Owner self{pid_, id_};
        if (state.locker && *state.locker != self)
            return kErrorAccessDenied;
        ++state.generation;
        generation_ = state.generation;
        for (auto& handle : state.handles) {
            if (handle.owner == self)
                handle.generation = state.generation;
        }
        return kErrorSuccess;
    });
}

std::uint32_t VolumeHandleRegistration::mayRead() {
    return check(false);
}

std::uint32_t VolumeHandleRegistration::mayWrite() {
    return check(true);
}

std::uint32_t VolumeHandleRegistration::check(bool write) {
    return withState(
        file_,
        [&](LockState& state) -> std::uint32_t {
            if (generation_ != state.generation)
                return kErrorNotReady;
            if (write && state.locker && *state.locker != Owner{pid_, id_})
                return kErrorAccessDenied;
            return kErrorSuccess;
        },
        Access::read);
}

}  // namespace platform::emulated
