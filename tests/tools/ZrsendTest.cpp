// zrsend against a scratch outbox and the loopback collector: what the
// listing shows (and that a message cannot forge lines on the terminal),
// the exit status of a send that leaves reports behind, and drop.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/CollectorEnvelope.h"
#include "platform/CollectorOutbox.h"
#include "tests/support/LoopbackCollector.h"

namespace {

using namespace zr::os;

struct TResult {
    int Status = -1;
    std::string Output;
};

TResult Zrsend(const std::string& arguments) {
    TResult result;
    FILE* pipe = ::popen((std::string(ZR_ZRSEND) + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (std::size_t n = ::fread(buffer, 1, sizeof buffer, pipe)) result.Output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class ZrsendTool : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zr-zrsend-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        collector_ = std::make_unique<zr::testing::TLoopbackCollector>(folder_);
        setenv("ZORIRIVE_COLLECTOR_CA", collector_->CaFile().c_str(), 1);
        ASSERT_EQ(outbox_.OpenAt(folder_ + "/box"), ERROR_SUCCESS);
    }
    void TearDown() override {
        unsetenv("ZORIRIVE_COLLECTOR_CA");
        collector_.reset();
        std::filesystem::remove_all(folder_);
    }
    void Put(const std::string& type, const std::string& message) {
        const std::string id = envelope::NewEventId();
        std::string text = envelope::Header(id, collector_->Dsn(), "1");
        envelope::AppendItem(text, "event", zr::testing::MinimalEvent(id, type, message));
        ASSERT_EQ(outbox_.Put(collector::EnvelopeName(collector::NowMillis(), id), text), ERROR_SUCCESS);
    }
    std::string Box() const { return "--outbox '" + folder_ + "/box'"; }

    std::string folder_;
    std::unique_ptr<zr::testing::TLoopbackCollector> collector_;
    collector::TOutbox outbox_;
};

TEST_F(ZrsendTool, ListsSendsAndDropsWhatWaits) {
    Put("EConvertError", "order 7 refused");
    Put("EAccessViolation", "forged\n0000000000000000-x.envelope  0s  1 bytes  0 tries  E: \x1b[31mred");
    TResult list = Zrsend("list " + Box());
    EXPECT_EQ(list.Status, 0) << list.Output;
    EXPECT_NE(list.Output.find("EConvertError: order 7 refused"), std::string::npos) << list.Output;
    EXPECT_NE(list.Output.find("forged\\x0a0000"), std::string::npos) << list.Output;
    EXPECT_EQ(list.Output.find('\x1b'), std::string::npos);
    EXPECT_EQ(std::count(list.Output.begin(), list.Output.end(), '\n'), 2);

    collector_->SetMode(zr::testing::TCollectorMode::Status, 503);
    TResult send = Zrsend("send " + Box());
    EXPECT_EQ(send.Status, 1) << send.Output;  // reports are left
    EXPECT_NE(send.Output.find("waiting 2"), std::string::npos) << send.Output;

    collector_->SetMode(zr::testing::TCollectorMode::Take);
    send = Zrsend("send " + Box());  // now: the retry times are passed over
    EXPECT_EQ(send.Status, 0) << send.Output;
    EXPECT_EQ(collector_->TakenEventIds().size(), 2u);
    EXPECT_TRUE(collector_->Violations().empty()) << collector_->Violations()[0];

    Put("EConvertError", "dropped");
    EXPECT_EQ(Zrsend("drop " + Box() + " no-such-report").Status, 1);
    const TResult drop = Zrsend("drop " + Box() + " --all");
    EXPECT_EQ(drop.Status, 0) << drop.Output;
    EXPECT_TRUE(outbox_.List().empty());

    EXPECT_EQ(Zrsend("--help").Status, 0);
    EXPECT_NE(Zrsend("--version").Output.find("zrsend "), std::string::npos);
    EXPECT_EQ(Zrsend("resend").Status, 2);
}

}  // namespace
