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

}  // namespace
