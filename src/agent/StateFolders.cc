#include "agent/StateFolders.h"

#include <algorithm>
#include <system_error>

#include "agent/AgentOptions.h"
#include "logging/Logger.h"
#include "platform/ErrorText.h"
#include "platform/Errors.h"
#include "platform/FileSecurity.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"

namespace agent {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& what, const fs::path& path) {
    const std::uint32_t code = platform::getLastError();
    ZENTRAD_THROW(runtime::AgentException, what + " " + path.string() + ": " +
                                               platform::errorText(code) + " (error " +
                                               std::to_string(code) + ")");
}

bool isAdministrator(const std::wstring& sid) {
    return sid == platform::kSidLocalSystem || sid == platform::kSidAdministrators;
}

std::string others(const platform::AccessList& list) {
    std::string text;
    for (const std::wstring& sid : list.allowed) {
        if (isAdministrator(sid))
            continue;
        text += (text.empty() ? "" : ", ") + platform::toNarrow(sid);
    }
    return text.empty() ? "inherited entries" : text;
}

void repair(const fs::path& path) {
    platform::AccessList list;
    if (!platform::readAccessList(path, &list))
        fail("Cannot read the access list of", path);
    const bool onlyAdministrators =
        std::all_of(list.allowed.begin(), list.allowed.end(), isAdministrator);
    if (onlyAdministrators && list.inheritanceBlocked)
        return;
    if (!platform::protectForAdministrators(path))
        fail("Cannot restrict access to", path);
    logging::logWarn() << "Restricted access to " << path.string()
                       << " to SYSTEM and Administrators (it was open to " << others(list) << ")";
}

void secureFolder(const fs::path& folder) {
    std::error_code error;
    if (!fs::exists(folder, error)) {
        fs::create_directories(folder.parent_path(), error);
        if (platform::createProtectedDirectory(folder) ||
            platform::getLastError() == platform::kErrorAlreadyExists)
            return repair(folder);
        fail("Cannot create", folder);
    }
    repair(folder);
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        repair(it->path());
    }
    if (error) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Cannot list " + folder.string() + ": " + error.message());
    }
}

}  // namespace

std::vector<fs::path> stateFolders(const AgentOptions& options) {
    return {options.confDir(), options.dbDir(), options.tempDir()};
}

void secureStateFolders(const std::vector<fs::path>& folders) {
    for (const fs::path& folder : folders)
        secureFolder(folder);
}

}  // namespace agent
