// Access lists of the agent's state files through the Windows security API.
#include "platform/FileSecurity.h"

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

// SYSTEM and Administrators with full control; on a folder also inherited by the files
// (OI) and folders (CI) inside it. "P" blocks what the parent would pass down.
constexpr const wchar_t* kFolderDescriptor = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* kFileDescriptor = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

bool isDirectory(const std::filesystem::path& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The descriptor for a folder or a file, self-relative, owned by the caller.
bool makeDescriptor(bool folder, win32::LocalMemory* descriptor) {
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            folder ? kFolderDescriptor : kFileDescriptor, SDDL_REVISION_1, &made, nullptr))
        return false;
    descriptor->reset(made);
    return true;
}

bool applyDescriptor(const std::filesystem::path& path, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
        return false;
    std::wstring name = path.wstring();
    DWORD status =
        ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr);
    if (status != ERROR_SUCCESS) {
        ::SetLastError(status);
        return false;
    }
    // Taking ownership for the Administrators group needs an administrator's token; without
    // one the access list alone still keeps other users out, so a refusal is not a failure.
    ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr,
                            nullptr, nullptr);
    return true;
}

bool sidText(PSID sid, std::wstring* text) {
    LPWSTR converted = nullptr;
    if (!::ConvertSidToStringSidW(sid, &converted))
        return false;
    win32::LocalMemory owner(converted);
    *text = converted;
    return true;
}

}  // namespace

bool protectForAdministrators(const std::filesystem::path& path) {
    win32::LocalMemory descriptor;
    return makeDescriptor(isDirectory(path), &descriptor) &&
           applyDescriptor(path, descriptor.get());
}

bool createProtectedDirectory(const std::filesystem::path& path) {
    win32::LocalMemory descriptor;
    if (!makeDescriptor(true, &descriptor))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return ::CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

bool createProtectedFile(const std::filesystem::path& path) {
    win32::LocalMemory descriptor;
    if (!makeDescriptor(false, &descriptor))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    win32::KernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

bool readAccessList(const std::filesystem::path& path, AccessList* list) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    std::wstring name = path.wstring();
    DWORD status = ::GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, &dacl, nullptr, &raw);
    if (status != ERROR_SUCCESS) {
        ::SetLastError(status);
        return false;
    }
    win32::LocalMemory descriptor(raw);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(raw, &control, &revision))
        return false;
    *list = AccessList{};
    list->inheritanceBlocked = (control & SE_DACL_PROTECTED) != 0;
    if (dacl == nullptr) {
        list->allowed.push_back(kSidEveryone);
        return true;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            return false;
        auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;  // deny entries take access away; they never widen it
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        std::wstring text;
        if (!sidText(&allowed->SidStart, &text))
            return false;
        list->allowed.push_back(text);
    }
    return true;
}

}  // namespace platform
