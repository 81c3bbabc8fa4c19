#include "requests/FileRestorePath.h"

#include <vector>

#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "requests/FileRestoreErrors.h"
#include "runtime/Exceptions.h"
#include "util/Utf8.h"

namespace requests {

namespace {

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// A name Windows would read as something other than a plain name below the root.
bool refusedComponent(const std::wstring& name) {
    if (name == L"..")
        return true;
    for (wchar_t c : name) {
        if (c == L':' || c < 0x20)
            return true;
    }
    return false;
}

wchar_t upper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Names Windows reads as devices whatever folder they are in, with or without an extension
// ("CON", "nul.txt", "COM1"), and names it would silently change (a trailing dot or space
// is dropped, so "a." would replace "a").
bool reservedName(const std::wstring& name) {
    if (name.empty() || name == L".")
        return false;
    if (name.back() == L'.' || name.back() == L' ')
        return true;
    std::wstring stem;
    for (wchar_t c : name.substr(0, name.find(L'.')))
        stem += upper(c);
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (stem == device)
            return true;
    }
    return stem.size() == 4 && (stem.rfind(L"COM", 0) == 0 || stem.rfind(L"LPT", 0) == 0) &&
           stem[3] >= L'1' && stem[3] <= L'9';
}

std::vector<std::wstring> itemComponents(const std::wstring& path, const std::string& original) {
    if (!path.empty() && isSeparator(path.front())) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Refusing to restore outside the restore root (" + original + ")");
    }
    std::vector<std::wstring> components;
    std::wstring name;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !isSeparator(path[i])) {
            name += path[i];
            continue;
        }
        if (refusedComponent(name)) {
            ZENTRAD_THROW(runtime::AgentException,
                          "Refusing to restore outside the restore root (" + original + ")");
        }
        if (reservedName(name)) {
            ZENTRAD_THROW(runtime::AgentException, "Refusing to restore the reserved name \"" +
                                                       platform::toNarrow(name) + "\" (" +
                                                       original + ")");
        }
        if (!name.empty() && name != L".")
            components.push_back(name);
        name.clear();
    }
    return components;
}

bool isDirectory(const std::wstring& path) {
    std::uint32_t attributes = platform::getFileAttributes(path);
    return attributes != platform::kInvalidFileAttributes &&
           (attributes & platform::kFileAttributeDirectory) != 0;
}

// The directories from the top that path needs, shortest first, down to path itself; stops
// going up at the first that exists.
std::vector<std::wstring> missingDirectories(const std::wstring& path) {
    std::vector<std::wstring> missing;
    std::wstring current = path;
    // A bare drive ("C:") is never created; what lies below it is.
    while (!current.empty() && current.back() != L':' && !isDirectory(current)) {
        missing.push_back(current);
        std::wstring parent = parentPath(current);
        if (parent.empty() || parent == current)
            break;
        current = parent;
    }
    return {missing.rbegin(), missing.rend()};
}

}  // namespace

std::wstring UTF8ToUTF16(const std::string& text) {
    auto wide = util::utf8ToWide(text);
    if (!wide)
        ZENTRAD_THROW(runtime::AgentException, "Failed to convert file name to wide characters");
    return *wide;
}

std::wstring restoreRootPath(const std::wstring& root) {
    std::wstring result = root.rfind(L"//:", 0) == 0 ? root.substr(3) : root;
    for (wchar_t& c : result) {
        if (c == L'/')
            c = L'\\';
    }
    return result;
}

std::wstring restoreTargetPath(const std::wstring& root, const std::string& itemPath) {
    std::vector<std::wstring> components = itemComponents(UTF8ToUTF16(itemPath), itemPath);
    // The extended-length form lifts the 260-character limit; it takes the path as given,
    // which is safe because every component was checked above ("." dropped, ".." refused).
    std::wstring target = root;
    if (target.size() >= 3 && target[1] == L':' && isSeparator(target[2]))
        target = L"\\\\?\\" + target;
    else if (target.rfind(L"\\\\", 0) == 0 && target.rfind(L"\\\\?\\", 0) != 0)
        target = L"\\\\?\\UNC\\" + target.substr(2);
    if (components.empty())
        return target;
    while (!target.empty() && isSeparator(target.back()))
        target.pop_back();
    for (const auto& component : components)
        target += L'\\' + component;
    return target;
}

std::string displayPath(const std::string& itemPath) {
    auto wide = util::utf8ToWide(itemPath);
    if (!wide)
        return itemPath;
    for (wchar_t& c : *wide) {
        if (c == L'\\')
            c = L'/';
    }
    return platform::toNarrow(*wide);
}

std::wstring parentPath(const std::wstring& path) {
    std::size_t end = path.size();
    while (end > 0 && isSeparator(path[end - 1]))
        --end;
    std::size_t separator = path.find_last_of(L"\\/", end == 0 ? 0 : end - 1);
    if (separator == std::wstring::npos || end == 0)
        return {};
    return path.substr(0, separator);
}

void createDirectories(const std::wstring& path) {
    for (const auto& directory : missingDirectories(path)) {
        if (platform::createDirectory(directory))
            continue;
        std::uint32_t error = platform::getLastError();
        if (error == platform::kErrorAlreadyExists && isDirectory(directory))
            continue;
        ZENTRAD_THROW(runtime::AgentException, "Unable to create directory (" +
                                                   platform::toNarrow(directory) +
                                                   "): " + systemErrorText(error));
    }
}

}  // namespace requests
