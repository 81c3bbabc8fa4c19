// Who may open the agent's own state files and folders (keys, allow lists, block digests).
//
// Windows: the access list (DACL) read and set with the security API. Protected means an
// explicit, protected DACL granting full control to SYSTEM (S-1-5-18) and the
// Administrators group (S-1-5-32-544) only, inherited by everything created inside a folder,
// and the Administrators group as owner (so the user who happened to create a folder cannot
// open it up again). The emulated host has no access lists: protected is mode 0700 for a
// folder and 0600 for a file, and a readable mode shows as those two plus Everyone (S-1-1-0).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

inline constexpr const wchar_t* kSidLocalSystem = L"S-1-5-18";
inline constexpr const wchar_t* kSidAdministrators = L"S-1-5-32-544";
inline constexpr const wchar_t* kSidEveryone = L"S-1-1-0";

// Gives the file or folder the protected access list; false (last error set) on failure.
bool protectForAdministrators(const std::filesystem::path& path);

// Creates a folder that is protected from its first moment; false (last error set) when it
// cannot be created (kErrorAlreadyExists when it exists).
bool createProtectedDirectory(const std::filesystem::path& path);

// Creates a new, empty file that is protected from its first moment; false (last error set)
// when it cannot be created (kErrorFileExists when it exists).
bool createProtectedFile(const std::filesystem::path& path);

struct AccessList {
    // The SIDs that entries allowing some access name, as strings ("S-1-5-18"), in order;
    // a missing (null) access list, which lets everyone in, reads as Everyone.
    std::vector<std::wstring> allowed;
    // Whether entries inherited from the parent are blocked.
    bool inheritanceBlocked = false;
};

// Reads the access list; false (last error set) when it cannot be read.
bool readAccessList(const std::filesystem::path& path, AccessList* list);

}  // namespace platform
