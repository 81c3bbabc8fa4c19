// The lock state of the emulated host's live volumes, shared by every process that opens
// them: which handles of a volume are open (and whether for writing), which one holds the
// volume locked, and how often the volume was dismounted. One small text file per volume in
// locks/ below the host root, read and changed under an exclusive file lock; handles of
// processes that ended without closing them are dropped when next seen.
//
// Where this differs from Windows: a lock fails while another handle has the volume open
// for writing (Windows asks whether files inside the file system are open, which the
// emulated host does not track), and writes through the disk device beneath a mounted,
// unlocked volume are not refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/emulated/Host.h"

namespace platform::emulated {

class VolumeHandleRegistration {
  public:
    // Records an open handle of the volume with the given GUID path.
    VolumeHandleRegistration(Host& host, const std::wstring& volumeGuidPath, bool writable);
    // Forgets the handle; a lock it held is released.
    ~VolumeHandleRegistration();
    VolumeHandleRegistration(const VolumeHandleRegistration&) = delete;
    VolumeHandleRegistration& operator=(const VolumeHandleRegistration&) = delete;

    // Each returns kErrorSuccess or the Windows error the request fails with.
    // FSCTL_LOCK_VOLUME: kErrorAccessDenied while another handle holds the lock or another
    // handle (not dismounted since it was opened) is open for writing.
    std::uint32_t lock();
    // FSCTL_UNLOCK_VOLUME: kErrorNotLocked when this handle holds no lock.
    std::uint32_t unlock();
    // FSCTL_DISMOUNT_VOLUME: every other handle open now becomes invalid.
    std::uint32_t dismount();
    // Whether this handle may read or write now: kErrorNotReady once the volume was
    // dismounted through another handle; for writes also kErrorAccessDenied while another
    // handle holds the lock.
    std::uint32_t mayRead();
    std::uint32_t mayWrite();

  private:
    std::uint32_t check(bool write);

    std::filesystem::path file_;
    long pid_;
    std::uint64_t id_;
    std::uint64_t generation_ = 0;
};

}  // namespace platform::emulated
