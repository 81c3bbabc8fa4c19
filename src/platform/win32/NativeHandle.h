// Ownership of Windows handles. ScopedHandle<Traits> owns one handle of a kind and closes it
// with that kind's own function when it goes; the traits name the handle type, its invalid
// value and its close function. Every handle the Windows side of the seam opens is held by
// one of these, never closed by hand.
#pragma once

#include <windows.h>

#include <utility>

#include "platform/File.h"

namespace platform::win32 {

template <typename Traits>
class ScopedHandle {
  public:
    using Native = typename Traits::Native;

    ScopedHandle() = default;
    explicit ScopedHandle(Native handle) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Native get() const { return handle_; }
    bool valid() const { return handle_ != Traits::invalid(); }
    explicit operator bool() const { return valid(); }
    // For COM interface pointers.
    Native operator->() const { return handle_; }

    // For the out parameter of a call; closes what was held before.
    Native* put() {
        reset();
        return &handle_;
    }
    // Closes the held handle (if any) and takes handle; false when the close failed (the
    // last error says why).
    bool reset(Native handle = Traits::invalid()) {
        bool closed = true;
        if (valid())
            closed = Traits::close(handle_);
        handle_ = handle;
        return closed;
    }
    [[nodiscard]] Native release() { return std::exchange(handle_, Traits::invalid()); }

  private:
    Native handle_ = Traits::invalid();
};

// CreateFileW's handles (files, directories, devices, volumes): INVALID_HANDLE_VALUE when
// the open failed.
struct KernelHandleTraits {
    using Native = HANDLE;
    static Native invalid() { return INVALID_HANDLE_VALUE; }
    static bool close(Native handle) { return ::CloseHandle(handle) != FALSE; }
};
using KernelHandle = ScopedHandle<KernelHandleTraits>;

// FindFirstVolumeW's search handle.
struct VolumeFindTraits {
    using Native = HANDLE;
    static Native invalid() { return INVALID_HANDLE_VALUE; }
    static bool close(Native handle) { return ::FindVolumeClose(handle) != FALSE; }
};
using VolumeFindHandle = ScopedHandle<VolumeFindTraits>;

struct RegistryKeyTraits {
    using Native = HKEY;
    static Native invalid() { return nullptr; }
    static bool close(Native key) { return ::RegCloseKey(key) == ERROR_SUCCESS; }
};
using RegistryKey = ScopedHandle<RegistryKeyTraits>;

// RegisterEventSourceW's handle, for writing entries.
struct EventSourceTraits {
    using Native = HANDLE;
    static Native invalid() { return nullptr; }
    static bool close(Native handle) { return ::DeregisterEventSource(handle) != FALSE; }
};
using EventSourceHandle = ScopedHandle<EventSourceTraits>;

// OpenEventLogW's handle, for reading entries.
struct EventLogTraits {
    using Native = HANDLE;
    static Native invalid() { return nullptr; }
    static bool close(Native handle) { return ::CloseEventLog(handle) != FALSE; }
};
using EventLogHandle = ScopedHandle<EventLogTraits>;

// The service control manager and services.
struct ServiceHandleTraits {
    using Native = SC_HANDLE;
    static Native invalid() { return nullptr; }
    static bool close(Native handle) { return ::CloseServiceHandle(handle) != FALSE; }
};
using ScmHandle = ScopedHandle<ServiceHandleTraits>;

// A module loaded as data (message files).
struct ModuleTraits {
    using Native = HMODULE;
    static Native invalid() { return nullptr; }
    static bool close(Native module) { return ::FreeLibrary(module) != FALSE; }
};
using ModuleHandle = ScopedHandle<ModuleTraits>;

// Text that FormatMessageW allocated (FORMAT_MESSAGE_ALLOCATE_BUFFER).
struct LocalTextTraits {
    using Native = LPWSTR;
    static Native invalid() { return nullptr; }
    static bool close(Native text) { return ::LocalFree(text) == nullptr; }
};
using LocalText = ScopedHandle<LocalTextTraits>;

// Memory the security API allocated with LocalAlloc (security descriptors, SID strings).
struct LocalMemoryTraits {
    using Native = HLOCAL;
    static Native invalid() { return nullptr; }
    static bool close(Native memory) { return ::LocalFree(memory) == nullptr; }
};
using LocalMemory = ScopedHandle<LocalMemoryTraits>;

// The Windows HANDLE behind a FileHandle, for the win32 files that call the API on it.
// INVALID_HANDLE_VALUE for an empty handle.
HANDLE nativeHandle(FileHandle& file);

}  // namespace platform::win32
