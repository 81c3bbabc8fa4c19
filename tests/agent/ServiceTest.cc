#include "agent/Service.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "agent/Options.h"
#include "common/TempDir.h"

namespace {

namespace fs = std::filesystem;

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ZENTRAD_INSTALL_DIR", install_.path().c_str(), 1);
        setenv("ZENTRAD_UNIT_DIR", units_.path().c_str(), 1);
        old_ = std::cout.rdbuf(output_.rdbuf());
    }
    void TearDown() override {
        std::cout.rdbuf(old_);
        unsetenv("ZENTRAD_INSTALL_DIR");
        unsetenv("ZENTRAD_UNIT_DIR");
    }
    std::optional<int> handle(const std::string& option) {
        return agent::handleOptions({"zentrad", option});
    }
    fs::path unit() const { return units_.path() / "zentrad.service"; }
    std::string unitText() const {
        std::ifstream in(unit());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    test::TempDir install_;
    test::TempDir units_;
    std::ostringstream output_;
    std::streambuf* old_ = nullptr;
};

TEST_F(ServiceTest, InstallRegistersImageInWorkingDirectory) {
    test::TempDir working;
    auto previous = fs::current_path();
    fs::current_path(working.path());
    auto code = handle("-i");
    fs::current_path(previous);
    EXPECT_EQ(0, code);
    EXPECT_NE(std::string::npos, output_.str().find("Installed service successfully.\n"));
    std::string text = unitText();
    EXPECT_NE(std::string::npos, text.find("ExecStart=" + working.path().string() + "/zentrad\n"));
    EXPECT_NE(std::string::npos, text.find("Description=Kelvane Backup Agent\n"));
    EXPECT_NE(std::string::npos, text.find("Environment=ZENTRAD_SERVICE=1\n"));
    EXPECT_NE(std::string::npos, text.find("WantedBy=multi-user.target"));
}

TEST_F(ServiceTest, InstallingTwiceFailsAndKeepsTheFirstUnit) {
    ASSERT_EQ(0, handle("--install"));
    std::string first = unitText();
    EXPECT_EQ(1, handle("--install"));
    EXPECT_NE(std::string::npos, output_.str().find("Failed to install service.\n"));
    EXPECT_EQ(first, unitText());
}

TEST_F(ServiceTest, DeleteRemovesTheUnitAndFailsWhenAbsent) {
    ASSERT_EQ(0, handle("-i"));
    EXPECT_EQ(0, handle("-d"));
    EXPECT_NE(std::string::npos, output_.str().find("Deleted service successfully.\n"));
    EXPECT_FALSE(fs::exists(unit()));
    EXPECT_EQ(1, handle("-d"));
    EXPECT_NE(std::string::npos, output_.str().find("Failed to delete service.\n"));
}

TEST_F(ServiceTest, InstallFailsWithoutUnitDirectory) {
    setenv("ZENTRAD_UNIT_DIR", (units_.path() / "missing").c_str(), 1);
    EXPECT_EQ(1, handle("-i"));
    EXPECT_NE(std::string::npos, output_.str().find("Failed to install service."));
}

TEST_F(ServiceTest, DispatcherRefusesAConsoleProcess) {
    unsetenv("ZENTRAD_SERVICE");
    EXPECT_FALSE(agent::dispatchService());
}

}  // namespace
