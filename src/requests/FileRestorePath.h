// Paths of file restore: the restore root the server names, the item paths inside it, and
// the directories an item needs. Item paths come from the server and are checked before
// anything is touched: an item can only ever land below the restore root.
#pragma once

#include <string>

namespace requests {

// Strict UTF-8 to wide text. Throws runtime::AgentException for malformed input.
std::wstring UTF8ToUTF16(const std::string& text);

// The restore root as the server's text gives it: a leading "//:" is dropped and "/"
// becomes "\".
std::wstring restoreRootPath(const std::wstring& root);

// root joined with the item path (UTF-8, "\" or "/" separators; "." and empty components
// are dropped), in the extended-length form ("\\?\C:\...", "\\?\UNC\server\...") so that
// paths beyond 260 characters can be created. Throws runtime::AgentException naming the
// path for an absolute path, a ".." component, a component holding ':' (drive letters,
// alternate streams) or a control character, and naming the component for a name Windows
// reserves for a device (CON, NUL, AUX, PRN, COM1-9, LPT1-9, with or without an extension)
// or one ending in a dot or a space. An empty item path is the root itself.
std::wstring restoreTargetPath(const std::wstring& root, const std::string& itemPath);

// The item path as messages show it: wide text with "/" separators, in the process code
// page.
std::string displayPath(const std::string& itemPath);

// Creates path and every missing parent. Throws runtime::AgentException naming the
// directory and the reason when one cannot be made (or a file is in the way).
void createDirectories(const std::wstring& path);

// Everything before the last separator ("" when there is none).
std::wstring parentPath(const std::wstring& path);

}  // namespace requests
