// Checks of an access list read back through platform::readAccessList.
//
// Wine keeps no access lists on files: it turns a DACL it is given into Unix permission
// bits and makes one up from those bits when asked, naming SYSTEM and the file's owner (the
// Wine user, who is an administrator there) and Everyone when others may read; it never
// reports a protected list. So under Wine a protected file reads back as SYSTEM and the
// owner, unprotected, and the checks below then only require that nobody else is granted.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Wine.h"
#include "platform/FileSecurity.h"
#include "platform/System.h"

namespace test {

inline ::testing::AssertionResult onlyAdministratorsMayOpen(const std::filesystem::path& path) {
    platform::AccessList list;
    if (!platform::readAccessList(path, &list))
        return ::testing::AssertionFailure()
               << "cannot read the access list of " << path << ": " << platform::getLastError();
    std::string names;
    for (const std::wstring& sid : list.allowed)
        names += platform::toNarrow(sid) + " ";
    if (runningUnderWine()) {
        for (const std::wstring& sid : list.allowed) {
            // Everyone, Users and Authenticated Users: what a DACL open to others names.
            if (sid == platform::kSidEveryone || sid == L"S-1-5-32-545" || sid == L"S-1-5-11")
                return ::testing::AssertionFailure() << path << " is open to " << names;
        }
        return ::testing::AssertionSuccess();
    }
    const std::vector<std::wstring> expected = {platform::kSidLocalSystem,
                                                platform::kSidAdministrators};
    if (list.allowed != expected || !list.inheritanceBlocked)
        return ::testing::AssertionFailure()
               << path << " grants " << names << (list.inheritanceBlocked ? "" : "(inheriting)");
    return ::testing::AssertionSuccess();
}

}  // namespace test
