// A scratch folder per test, reading back what a log wrote, and forked children.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zr::testing {

class ScratchFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zr-log-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static bool Exists(const std::string& path) { return std::filesystem::exists(path); }
    static std::string Content(const std::string& path) {
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }
    std::string dir_;
};

// Runs `body` in a forked child; its exit status, or -1 when it did not exit.
template <class F>
int RunInChild(F body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zr::testing
