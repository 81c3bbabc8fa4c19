// Process-level calls, error texts, text conversion and version information through the
// Windows side of the seam.
#include <gtest/gtest.h>

#include <string>

#include "platform/Com.h"
#include "platform/Environment.h"
#include "platform/Errors.h"
#include "platform/MessageText.h"
#include "platform/OsVersion.h"
#include "platform/System.h"
#include "util/Utf8.h"

namespace {

using namespace platform;

TEST(SystemSeamTest, ErrorTextsComeFromTheSystem) {
    std::wstring text;
    ASSERT_TRUE(systemMessageText(kErrorFileNotFound, &text));
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(formatMessage(kErrorFileNotFound), text);
    EXPECT_NE(systemMessageText(kErrorAccessDenied, &text) ? text : L"",
              formatMessage(kErrorFileNotFound));
    // A number no system message uses: the seam's fallback, never an empty text.
    EXPECT_FALSE(systemMessageText(0x2FFFFFF0u, &text));
    EXPECT_EQ(formatMessage(0x2FFFFFF0u), L"Unknown error 805306352.\r\n");
    // A message with an insert keeps it as written rather than reading a missing argument.
    EXPECT_NE(formatMessage(193).find(L"%1"), std::wstring::npos);  // ERROR_BAD_EXE_FORMAT
}

// Surrogate pairs round-trip in the util suite, which runs here too.
TEST(SystemSeamTest, WideTextIsUtf16) {
    // An unpaired high surrogate is refused rather than repaired.
    EXPECT_FALSE(util::wideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))));
    EXPECT_EQ(toNarrow(L"plain ascii"), "plain ascii");
    EXPECT_EQ(toWide("plain ascii"), L"plain ascii");
    EXPECT_EQ(toNarrow(std::wstring(1, static_cast<wchar_t>(0x4E2D))), "?");
}

TEST(SystemSeamTest, ModuleDirectoryAndEnvironment) {
    const std::wstring module = getModuleFileName();
    ASSERT_GT(module.size(), 4u);
    EXPECT_EQ(module.substr(module.size() - 4), L".exe");
    EXPECT_NE(module.find(L'\\'), std::wstring::npos);
    EXPECT_FALSE(getCurrentDirectory().empty());
    EXPECT_EQ(std::wstring(pathSeparator()), L"\\");
    EXPECT_EQ(std::wstring(agentExecutableName()), L"zentrad.exe");

    std::wstring expanded;
    ASSERT_TRUE(expandEnvironmentStrings(L"%SystemRoot%\\system32", &expanded));
    EXPECT_EQ(expanded.find(L'%'), std::wstring::npos);
    EXPECT_NE(expanded.find(L"\\system32"), std::wstring::npos);
    ASSERT_TRUE(expandEnvironmentStrings(L"%ZENTRAD_NO_SUCH_VARIABLE%", &expanded));
    EXPECT_EQ(expanded, L"%ZENTRAD_NO_SUCH_VARIABLE%");
}

TEST(SystemSeamTest, VersionAndArchitecture) {
    OsVersionInfo basic;
    ASSERT_TRUE(getVersionEx(basic, false));
    EXPECT_GE(basic.majorVersion, 5u);
    EXPECT_EQ(basic.platformId, 2u);  // VER_PLATFORM_WIN32_NT
    OsVersionInfo extended;
    ASSERT_TRUE(getVersionEx(extended, true));
    EXPECT_EQ(extended.majorVersion, basic.majorVersion);
    EXPECT_GE(extended.productType, 1u);
    EXPECT_EQ(nativeProcessorArchitecture(), 9);  // PROCESSOR_ARCHITECTURE_AMD64

    std::wstring productType;
    if (!readProductType(productType, 64))
        GTEST_SKIP() << "this system has no ProductOptions registry value";
    EXPECT_TRUE(productType == L"WinNT" || productType == L"ServerNT" || productType == L"LanmanNT")
        << std::string(productType.begin(), productType.end());
}

TEST(SystemSeamTest, ComInitialisesOncePerThread) {
    EXPECT_TRUE(succeeded(coInitializeEx(kCoInitMultithreaded)));
    // A second call on the same thread answers S_FALSE, still a success to balance.
    EXPECT_EQ(coInitializeEx(kCoInitMultithreaded), kSFalse);
    EXPECT_TRUE(
        succeeded(coInitializeSecurity(kAllAuthenticationServices, kRpcCAuthnLevelPktPrivacy,
                                       kRpcCImpLevelImpersonate, kEoacNone)));
    coUninitialize();
    coUninitialize();
}

}  // namespace
