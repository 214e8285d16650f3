// SPDX-License-Identifier: MIT
// A private directory for tests that touch files: made with mkdtemp under the
// system's temporary directory and removed with its contents afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                              "/zn-runtime-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    const char* Dir() const { return dir_.c_str(); }
    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    bool Exists(const std::string& name) const {
        struct stat info;
        return stat(PathOf(name).c_str(), &info) == 0;
    }

private:
    std::string dir_;
};
