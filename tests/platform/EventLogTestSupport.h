// A scratch event log store and registry store per test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace zr::testing {

class ScratchEventLog : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zr-eventlog-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        Swap("ZORIRIVE_EVENTLOG", dir_ + "/events", savedLog_);
        Swap("ZORIRIVE_REGISTRY", dir_ + "/registry", savedRegistry_);
    }
    void TearDown() override {
        Restore("ZORIRIVE_EVENTLOG", savedLog_);
        Restore("ZORIRIVE_REGISTRY", savedRegistry_);
        std::filesystem::remove_all(dir_);
    }
    std::string LogPath(const std::string& log) const {
        return dir_ + "/events/" + log + ".evtlog";
    }

    std::string dir_;

  private:
    struct Saved {
        std::string value;
        bool had = false;
    };
    static void Swap(const char* name, const std::string& value, Saved& saved) {
        if (const char* old = ::getenv(name)) saved = {old, true};
        ::setenv(name, value.c_str(), 1);
    }
    static void Restore(const char* name, const Saved& saved) {
        if (saved.had)
            ::setenv(name, saved.value.c_str(), 1);
        else
            ::unsetenv(name);
    }
    Saved savedLog_, savedRegistry_;
};

}  // namespace zr::testing
