// A scratch registry store per test, and zrreg run as another process would.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace zr::testing {

class ScratchRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zr-registry-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        store_ = dir_ + "/store";
        if (const char* old = ::getenv("ZORIRIVE_REGISTRY")) saved_ = old, hadSaved_ = true;
        ::setenv("ZORIRIVE_REGISTRY", store_.c_str(), 1);
    }
    void TearDown() override {
        if (hadSaved_)
            ::setenv("ZORIRIVE_REGISTRY", saved_.c_str(), 1);
        else
            ::unsetenv("ZORIRIVE_REGISTRY");
        std::filesystem::remove_all(dir_);
    }

    // Makes a key below HKEY_LOCAL_MACHINE with the calls themselves.
    static void MakeKey(const std::string& path) {
        os::HKEY key = 0;
        ASSERT_EQ(os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                     os::KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  os::ERROR_SUCCESS)
            << path;
        os::RegCloseKey(key);
    }

    std::string dir_;    // the scratch folder: the store and room beside it
    std::string store_;  // the store

  private:
    std::string saved_;
    bool hadSaved_ = false;
};

struct TZrregResult {
    int Status = -1;
    std::string Output;  // standard output and error
};

// Runs zrreg with `args` as a separate process on the store in use.
inline TZrregResult Zrreg(const std::vector<std::string>& args) {
    std::string command = ZR_ZRREG;
    for (const auto& arg : args) {
        command += " '";
        for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    command += " 2>&1";
    TZrregResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (std::size_t n = ::fread(buffer, 1, sizeof buffer, pipe)) result.Output.append(buffer, n);
    int status = ::pclose(pipe);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The names RegEnumKeyEx gives for `key`, in its order.
inline std::vector<std::string> SubkeyNames(zr::os::HKEY key) {
    using namespace zr::os;
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyEx(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return names;
        names.emplace_back(name, length);
    }
}

}  // namespace zr::testing
