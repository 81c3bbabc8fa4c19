// The library never reads an OpenSSL configuration file: one named by OPENSSL_CONF that
// asks for FIPS-only algorithms would otherwise leave the agent without MD5. The check runs
// in a fresh process (a death test in "threadsafe" style re-runs this executable), because
// only the first initialisation of a process reads the configuration.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>

#include "common/TempDir.h"
#include "common/TestBytes.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/Digest.h"

namespace {

// An empty value removes the variable.
void setVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        ::unsetenv(name);
    else
        ::setenv(name, value.c_str(), 1);
#endif
}

void digestOrFail() {
    crypto::CryptoLibrary::initialise();
    bool right = false;
    try {
        right = test::hex(*crypto::md5("abc")) == "900150983cd24fb0d6963f7d28e17f72";
    } catch (const std::exception&) {
    }
    std::exit(right ? 0 : 3);
}

TEST(CryptoLibraryTest, APlantedConfigurationFileIsNotRead) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir dir;
    const auto config = dir.path() / "openssl.cnf";
    std::ofstream(config) << "openssl_conf = openssl_init\n"
                             "[openssl_init]\n"
                             "alg_section = algorithm_sect\n"
                             "[algorithm_sect]\n"
                             "default_properties = fips=yes\n";
    const char* old = std::getenv("OPENSSL_CONF");
    const std::string previous = old != nullptr ? old : "";
    setVariable("OPENSSL_CONF", config.string());
    EXPECT_EXIT(digestOrFail(), ::testing::ExitedWithCode(0), "");
    setVariable("OPENSSL_CONF", previous);
}

}  // namespace
