#include "platform/RegularFile.h"

#include <windows.h>

namespace platform {
namespace {

// Owns a HANDLE for the length of one read.
class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

}  // namespace

RegularFileRead readRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                std::string& content) {
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? RegularFileRead::missing
                   : RegularFileRead::failed;
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        return RegularFileRead::notRegular;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size))
        return RegularFileRead::failed;
    if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes)
        return RegularFileRead::tooLarge;
    content.assign(static_cast<std::size_t>(size.QuadPart) + 1, '\0');
    DWORD got = 0;
    if (!::ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &got, nullptr))
        return RegularFileRead::failed;
    if (got > maxBytes)
        return RegularFileRead::tooLarge;
    content.resize(got);
    return RegularFileRead::ok;
}

}  // namespace platform
