// The operating-system description for the systems the agent may meet.
#include <gtest/gtest.h>

#include "agent/OperatingSystem.h"

namespace {

OsFacts nt(std::uint32_t major, std::uint32_t minor, std::uint8_t productType,
           std::uint16_t architecture, std::uint16_t suite = 0) {
    OsFacts facts;
    facts.version = platform::OsVersionInfo{};
    facts.version->platformId = platform::kVerPlatformNt;
    facts.version->majorVersion = major;
    facts.version->minorVersion = minor;
    facts.version->buildNumber = 3790;
    facts.version->csdVersion = L"Service Pack 2";
    facts.version->productType = productType;
    facts.version->suiteMask = suite;
    facts.extended = true;
    facts.architecture = architecture;
    return facts;
}

struct Named {
    OsFacts facts;
    std::string description;
};

void expectDescriptions(const std::vector<Named>& cases) {
    for (const Named& named : cases)
        EXPECT_EQ(describeOperatingSystem(named.facts), named.description);
}

TEST(DescribeOperatingSystem, NamesWindowsServer2003Editions) {
    OsFacts r2 = nt(5, 2, platform::kVerNtServer, platform::kProcessorArchitectureAmd64,
                    platform::kVerSuiteEnterprise);
    r2.serverR2 = 1;
    expectDescriptions({
        {nt(5, 2, platform::kVerNtServer, platform::kProcessorArchitectureAmd64),
         "Microsoft Windows Server 2003, Standard x64 Edition Service Pack 2 (Build 3790)"},
        {nt(5, 2, platform::kVerNtServer, platform::kProcessorArchitectureIntel,
            platform::kVerSuiteBlade),
         "Microsoft Windows Server 2003, Web Edition Service Pack 2 (Build 3790)"},
        {nt(5, 2, platform::kVerNtDomainController, platform::kProcessorArchitectureIa64,
            platform::kVerSuiteDatacenter),
         "Microsoft Windows Server 2003, Datacenter Edition for Itanium-based SystemsService "
         "Pack 2 (Build 3790)"},
        {r2,
         "Microsoft Windows Server 2003 \"R2\" Enterprise x64 Edition Service Pack 2 (Build 3790)"},
    });
}

TEST(DescribeOperatingSystem, NamesWorkstations) {
    expectDescriptions({
        {nt(5, 2, platform::kVerNtWorkstation, platform::kProcessorArchitectureAmd64),
         "Microsoft Windows XP Professional x64 Edition Service Pack 2 (Build 3790)"},
        {nt(5, 1, platform::kVerNtWorkstation, platform::kProcessorArchitectureIntel,
            platform::kVerSuitePersonal),
         "Microsoft Windows XP Home Edition Service Pack 2 (Build 3790)"},
        {nt(6, 0, platform::kVerNtWorkstation, platform::kProcessorArchitectureIntel),
         "Windows Vista Professional Service Pack 2 (Build 3790)"},
    });
}

TEST(DescribeOperatingSystem, FallsBackToProductOptionsWithTheBasicRecord) {
    OsFacts facts = nt(4, 0, 0, platform::kProcessorArchitectureIntel);
    facts.extended = false;
    facts.version->csdVersion = L"service pack 6";
    facts.version->buildNumber = 1381;
    EXPECT_EQ(describeOperatingSystem(facts), "");  // product options unreadable
    facts.productOptions = L"lanmannt";
    EXPECT_EQ(describeOperatingSystem(facts),
              "Microsoft Windows NT Server 4.0 service pack 6 (Build 1381)");
    facts.hotfixQ246009 = true;
    EXPECT_EQ(describeOperatingSystem(facts),
              "Microsoft Windows NT Server 4.0 Service Pack 6a (Build 1381)");
}

TEST(DescribeOperatingSystem, NamesOlderPlatformsAndGivesNothingWithoutAVersion) {
    OsFacts facts;
    EXPECT_EQ(describeOperatingSystem(facts), "");
    facts.version = platform::OsVersionInfo{};
    facts.version->platformId = platform::kVerPlatformWindows;
    facts.version->majorVersion = 4;
    facts.version->minorVersion = 10;
    facts.version->csdVersion = L" A ";
    EXPECT_EQ(describeOperatingSystem(facts), "Microsoft Windows 98 SE ");
    facts.version->minorVersion = 0;
    facts.version->csdVersion = L" C";
    EXPECT_EQ(describeOperatingSystem(facts), "Microsoft Windows 95 OSR2 ");
    facts.version->platformId = platform::kVerPlatformWin32s;
    EXPECT_EQ(describeOperatingSystem(facts), "Microsoft Win32s");
}

// Current systems by version, product type and build: every release since Windows 7, with
// the service pack where there is one and no edition.
TEST(DescribeOperatingSystem, NamesCurrentWindowsVersions) {
    auto system = [](std::uint32_t major, std::uint32_t minor, std::uint32_t build, bool server,
                     const wchar_t* servicePack = L"") {
        OsFacts facts =
            nt(major, minor, server ? platform::kVerNtServer : platform::kVerNtWorkstation,
               platform::kProcessorArchitectureAmd64);
        facts.version->buildNumber = build;
        facts.version->csdVersion = servicePack;
        return facts;
    };
    expectDescriptions({
        {system(6, 1, 7601, false, L"Service Pack 1"),
         "Microsoft Windows 7 Service Pack 1 (Build 7601)"},
        {system(6, 1, 7601, true, L"Service Pack 1"),
         "Microsoft Windows Server 2008 R2 Service Pack 1 (Build 7601)"},
        {system(6, 3, 9600, true), "Microsoft Windows Server 2012 R2 (Build 9600)"},
        {system(10, 0, 19045, false), "Microsoft Windows 10 (Build 19045)"},
        {system(10, 0, 22631, false), "Microsoft Windows 11 (Build 22631)"},
        {system(10, 0, 14393, true), "Microsoft Windows Server 2016 (Build 14393)"},
        {system(10, 0, 17763, true), "Microsoft Windows Server 2019 (Build 17763)"},
        {system(10, 0, 20348, true), "Microsoft Windows Server 2022 (Build 20348)"},
        {system(10, 0, 26100, true), "Microsoft Windows Server 2025 (Build 26100)"},
        {nt(6, 0, platform::kVerNtServer, platform::kProcessorArchitectureAmd64),
         "Windows Server 2008 Service Pack 2 (Build 3790)"},
    });
}

}  // namespace
