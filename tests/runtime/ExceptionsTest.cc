#include "runtime/Exceptions.h"

#include <gtest/gtest.h>

namespace {

using runtime::LocatedException;

TEST(Exceptions, TextCarriesMessageSignatureAndLineOrADashBelowOne) {
    LocatedException error("Disk is gone", "void Disk::open(int)", 42);
    EXPECT_STREQ("Disk is gone (void Disk::open(int):42)", error.what());
    EXPECT_EQ("Disk is gone", error.message());
    EXPECT_STREQ("m (f:-)", LocatedException("m", "f", 0).what());
    EXPECT_STREQ("m (f:-)", LocatedException("m", "f", -3).what());
    EXPECT_STREQ("m (f:1)", LocatedException("m", "f", 1).what());
    EXPECT_STREQ("Service shutdown detected, shutting down.. (f:3)",
                 runtime::ShutdownException("f", 3).what());
}

TEST(Exceptions, FileExceptionPutsPathAfterMessage) {
    AgentFileException error("Failed to open file", "C:\\keys\\rsa.key", "void load()", 7);
    EXPECT_STREQ("Failed to open file (C:\\keys\\rsa.key) (void load():7)", error.what());
    EXPECT_EQ("C:\\keys\\rsa.key", error.path());
}

TEST(Exceptions, ThrowMacroRecordsThrowingFunctionAndFamilyIsCatchable) {
    try {
        ZENTRAD_THROW(runtime::VssException, "snapshot failed");
        FAIL() << "nothing thrown";
    } catch (const runtime::AgentException& error) {
        EXPECT_EQ("snapshot failed", error.message());
        EXPECT_NE(std::string::npos, error.function().find("TestBody"));
        EXPECT_GT(error.line(), 0);
    }
}

}  // namespace
