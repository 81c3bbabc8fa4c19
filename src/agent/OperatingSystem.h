// The operating-system description written into the start-up banner and each connection's
// banner, e.g. "Microsoft Windows Server 2003, Standard x64 Edition Service Pack 2 (Build 3790)".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/OsVersion.h"

// Everything the description is built from, read from the system in one go.
struct OsFacts {
    std::optional<platform::OsVersionInfo> version;  // empty when no record could be read
    bool extended = false;                           // the extended record was read
    std::uint16_t architecture = 0;
    int serverR2 = 0;
    std::optional<std::wstring> productOptions;  // ProductOptions\ProductType, if readable
    bool hotfixQ246009 = false;

    static OsFacts read();
};

// The description from the given facts; empty when the version (or, with only the basic
// record, the product options) cannot be read. Never throws.
std::string describeOperatingSystem(const OsFacts& facts);

// The description of this system.
std::string describeOperatingSystem();
