// Owner-only modes for what must stay private: store and key folders (0700) and private
// key files (0600). Wider modes found on what exists are reported, not changed: the
// operator may have opened them on purpose (a backup group), and must know.
#pragma once

#include <filesystem>

namespace backup_server {

// Creates the folder (and its parents) when missing and gives it mode 0700. Throws
// StoreError when it cannot.
void createPrivateFolder(const std::filesystem::path& folder);
// Prints a warning on standard error when path may be read or entered by others than its
// owner. Nothing when it does not exist.
void warnIfOpenToOthers(const std::filesystem::path& path);

}  // namespace backup_server
