// Reports that go to a crash collector: composed and put into the outbox
// before the report call returns, then sent by the sender thread, through
// outages and kills of the reporting process, to a loopback collector of
// the tests' own that checks what a real one checks.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "exception/CollectorReports.h"
#include "exception/ExceptionLogSupport.h"
#include "platform/CollectorEnvelope.h"
#include "platform/CollectorOutbox.h"
#include "platform/JsonText.h"
#include "tests/exception/ProgramRunSupport.h"
#include "tests/support/LoopbackCollector.h"

extern char** environ;

using namespace zr;
using namespace zr::testing;

namespace {

// The environment a child gets: the collector, its CA, a scratch outbox and
// a short backoff, so outages pass in milliseconds.
class ScopedCollectorEnvironment {
  public:
    ScopedCollectorEnvironment(const std::string& dsn, const std::string& ca,
                               const std::string& outbox) {
        setenv("ZORIRIVE_COLLECTOR", dsn.c_str(), 1);
        setenv("ZORIRIVE_COLLECTOR_CA", ca.c_str(), 1);
        setenv("ZORIRIVE_COLLECTOR_OUTBOX", outbox.c_str(), 1);
        setenv("ZORIRIVE_COLLECTOR_BACKOFF_MS", "20", 1);
    }
    ~ScopedCollectorEnvironment() {
        for (const char* name : {"ZORIRIVE_COLLECTOR", "ZORIRIVE_COLLECTOR_CA",
                                 "ZORIRIVE_COLLECTOR_OUTBOX", "ZORIRIVE_COLLECTOR_BACKOFF_MS"})
            unsetenv(name);
    }
};

os::json::TValue Json(const std::string& text) {
    os::json::TValue value;
    EXPECT_TRUE(os::json::Parse(text, value)) << text;
    return value;
}

const os::json::TValue& FirstException(const os::json::TValue& event) {
    static const os::json::TValue none;
    const os::json::TValue* exception = event.Find("exception");
    const os::json::TValue* values = exception ? exception->Find("values") : nullptr;
    return values && !values->Items.empty() ? values->Items[0] : none;
}

std::vector<os::json::TValue> Frames(const os::json::TValue& event) {
    const os::json::TValue* stack = FirstException(event).Find("stacktrace");
    const os::json::TValue* frames = stack ? stack->Find("frames") : nullptr;
    return frames ? frames->Items : std::vector<os::json::TValue>{};
}

std::vector<std::string> Lines(const std::string& output, const std::string& key) {
    std::vector<std::string> values;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + " ", 0) == 0) values.push_back(line.substr(key.size() + 1));
    return values;
}

class CollectorReport : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizer's run-time reports faults itself";
#endif
        char pattern[] = "/tmp/zr-collector-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        outbox_ = folder_ + "/outbox";
        collector_ = std::make_unique<TLoopbackCollector>(folder_);
        environment_ = std::make_unique<ScopedCollectorEnvironment>(collector_->Dsn(),
                                                                    collector_->CaFile(), outbox_);
    }
    void TearDown() override {
        environment_.reset();
        collector_.reset();
        std::filesystem::remove_all(folder_);
    }

    TRun Run(const std::string& mode) {
        return RunProgram(ZR_COLLECTOR_PROGRAM, mode, folder_, "run");
    }

    // Starts `mode` and returns its process id; its output goes to <name>.out.
    pid_t Start(const std::string& mode, const std::string& name) {
        const std::string out = folder_ + "/" + name + ".out";
        const std::string log = folder_ + "/" + name + ".log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const char* argv[] = {ZR_COLLECTOR_PROGRAM, mode.c_str(), log.c_str(), nullptr};
        pid_t pid = 0;
        posix_spawn(&pid, ZR_COLLECTOR_PROGRAM, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    std::vector<std::string> Waiting() {
        os::collector::TOutbox outbox;
        EXPECT_EQ(outbox.OpenAt(outbox_), os::ERROR_SUCCESS);
        std::vector<std::string> names;
        for (const auto& item : outbox.List()) names.push_back(item.Name);
        return names;
    }

    std::string folder_;
    std::string outbox_;
    std::unique_ptr<TLoopbackCollector> collector_;
    std::unique_ptr<ScopedCollectorEnvironment> environment_;
};

}  // namespace

// What the collector gets for a handled report: the exception, the frames of
// the program named with function, file and line from the map, the report
// text, and the machine; the outbox is private and left empty.
TEST_F(CollectorReport, AReportArrivesAsAnEventWithNamedFramesAndTheReportText) {
    const TRun run = Run("report:2");
    ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Output << run.Log;
    EXPECT_EQ(OutputValue(run.Output, "flushed"), "1") << run.Output;
    EXPECT_TRUE(collector_->Violations().empty()) << collector_->Violations()[0];
    const std::vector<std::string> ids = Lines(run.Output, "reported");
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(collector_->TakenEventIds(), (std::set<std::string>(ids.begin(), ids.end())));

    TReceived first;
    for (const TReceived& received : collector_->Taken())
        if (received.EventId == ids[0]) first = received;
    const os::json::TValue event = Json(first.EventJson);
    EXPECT_EQ(event.StringAt("level"), "error");
    EXPECT_EQ(FirstException(event).StringAt("type"), "EConvertError");
    EXPECT_EQ(FirstException(event).StringAt("value"), "order 1 refused");
    EXPECT_TRUE(FirstException(event).Find("mechanism")->Find("handled")->Boolean);
    EXPECT_EQ(event.StringAt("release").rfind("collector_program@", 0), 0u);
    // The raise is the last frame, and the program's frames read as source.
    const std::vector<os::json::TValue> frames = Frames(event);
    ASSERT_GE(frames.size(), 2u);
    const os::json::TValue& raise = frames.back();
    EXPECT_TRUE(raise.Find("in_app")->Boolean);
    EXPECT_NE(raise.StringAt("function").find("RefuseOrder"), std::string::npos) << first.EventJson;
    EXPECT_EQ(raise.StringAt("filename"), "CollectorProgram.cpp");
    ASSERT_NE(raise.Find("lineno"), nullptr);
    EXPECT_EQ(std::to_string(static_cast<int>(raise.Find("lineno")->Num)), OutputValue(run.Output, "line"));
    EXPECT_NE(first.ReportText.find("Classname: EConvertError"), std::string::npos);
    EXPECT_EQ(first.AttachmentNames, (std::vector<std::string>{"report.txt"}));

    struct stat folder {};
    ASSERT_EQ(stat(outbox_.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_TRUE(Waiting().empty());
}

// 200 reports from ten processes, each killed with SIGKILL while the
// collector is down, answers 503, asks to wait (429), resets the
// connection or accepts and never answers: every report arrives once the
// collector is back, each under an id of its own.
TEST_F(CollectorReport, NothingIsLostThroughOutagesAndKilledProcesses) {
    const std::vector<std::pair<TCollectorMode, int>> outages = {
        {TCollectorMode::Down, 0},   {TCollectorMode::Status, 503},
        {TCollectorMode::Status, 429}, {TCollectorMode::Reset, 0},
        {TCollectorMode::Silent, 0}};
    std::set<std::string> reported;
    for (int round = 0; round < 10; ++round) {
        const auto& [mode, status] = outages[round % outages.size()];
        collector_->SetMode(mode, status, status == 429 ? "Retry-After: 1\r\n" : "");
        const std::string name = "hold" + std::to_string(round);
        const pid_t pid = Start("hold:20", name);
        ASSERT_GT(pid, 0);
        // Half way through the collector comes back for a moment, so that
        // some reports are in flight when the process is killed.
        std::string output;
        for (int waited = 0; waited < 2000; ++waited) {
            output = ReadWhole(folder_ + "/" + name + ".out");
            const std::size_t count = Lines(output, "reported").size();
            if (count >= 10 && round % 2 == 1) collector_->SetMode(TCollectorMode::Take);
            if (OutputValue(output, "line") != "") break;
            usleep(5000);
        }
        kill(pid, SIGKILL);
        int status_ = 0;
        waitpid(pid, &status_, 0);
        const std::vector<std::string> ids = Lines(output, "reported");
        ASSERT_EQ(ids.size(), 20u) << output;
        for (const std::string& id : ids) {
            ASSERT_EQ(id.size(), 32u) << output;
            reported.insert(id);
        }
    }
    ASSERT_EQ(reported.size(), 200u);
    collector_->SetMode(TCollectorMode::Take);
    const TRun drain = Run("drain");
    EXPECT_EQ(OutputValue(drain.Output, "flushed"), "1") << drain.Output;
    EXPECT_EQ(collector_->TakenEventIds(), reported);
    EXPECT_TRUE(collector_->Violations().empty()) << collector_->Violations()[0];
    EXPECT_TRUE(Waiting().empty());
}

// A fault that ends the process leaves its envelope in the outbox (written
// in the signal handler, with no network); the next start sends it as a
// fatal, unhandled event whose frames name the program's code.
TEST_F(CollectorReport, AFaultThatEndsTheProcessArrivesAtTheNextStartAsFatal) {
    collector_->SetMode(TCollectorMode::Down);
    const TRun fault = Run("fault");
    ASSERT_TRUE(WIFSIGNALED(fault.Status)) << fault.Output << fault.Log;
    ASSERT_EQ(Waiting().size(), 1u);
    collector_->SetMode(TCollectorMode::Take);
    const TRun drain = Run("drain");
    EXPECT_EQ(OutputValue(drain.Output, "flushed"), "1") << drain.Output;
    EXPECT_TRUE(collector_->Violations().empty()) << collector_->Violations()[0];
    const std::vector<TReceived> taken = collector_->Taken();
    ASSERT_EQ(taken.size(), 1u);
    const os::json::TValue event = Json(taken[0].EventJson);
    EXPECT_EQ(event.StringAt("level"), "fatal");
    EXPECT_EQ(FirstException(event).StringAt("type"), "EAccessViolation");
    EXPECT_FALSE(FirstException(event).Find("mechanism")->Find("handled")->Boolean);
    const std::vector<os::json::TValue> frames = Frames(event);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.back().Find("in_app")->Boolean);
    EXPECT_EQ(frames.back().StringAt("function"), "main") << taken[0].EventJson;
    EXPECT_NE(frames.back().Find("lineno"), nullptr);
    EXPECT_NE(taken[0].ReportText.find("EAccessViolation"), std::string::npos);
}

// ---- in the test's own process ------------------------------------------------

namespace {

class CollectorLog : public ExceptionLogFixture {
  protected:
    void SetUp() override {
        ExceptionLogFixture::SetUp();
        Log().SetErrorDialog(edNone);
        setenv("ZORIRIVE_COLLECTOR_OUTBOX", Path("outbox").c_str(), 1);
    }
    void TearDown() override {
        ExceptionLogFixture::TearDown();
        unsetenv("ZORIRIVE_COLLECTOR_OUTBOX");
    }
    std::vector<std::string> Envelopes() {
        os::collector::TOutbox outbox;
        EXPECT_EQ(outbox.OpenAt(Path("outbox")), os::ERROR_SUCCESS);
        std::vector<std::string> texts;
        for (const auto& item : outbox.List()) {
            std::string text;
            outbox.Read(item.Name, text);
            texts.push_back(text);
        }
        return texts;
    }
};

}  // namespace

// A collector address that is not one stops the log from becoming active
// with a message that names it; nothing is reported silently elsewhere.
TEST_F(CollectorLog, AMalformedCollectorIsAnErrorAtActivation) {
    Log().SetActive(false);
    Log().SendTo()->SetCollector("https://example.invalid/42");
    try {
        Log().SetActive(true);
        FAIL() << "activated";
    } catch (const ECollectorError& e) {
        EXPECT_NE(e.Message().find("https://example.invalid/42"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(Log().Active());
    // Plain http goes to this machine's loopback only.
    Log().SendTo()->SetCollector("http://key@collector.example.com/42");
    EXPECT_THROW(Log().SetActive(true), ECollectorError);
}

// The envelope is in the outbox when the report call returns; the
// application's handler may scrub the event and the report text, or keep a
// report off the collector; LastEventId names what was queued.
TEST_F(CollectorLog, TheApplicationScrubsOrVetoesEachEventBeforeItIsQueued) {
    Log().SetActive(false);
    Log().SendTo()->SetCollector("http://0123abcd@127.0.0.1:9/42");  // nobody listens on 9
    Log().SetActive(true);
    Log().SetOnCollectorEvent(TKVLCollectorEvent::FromFunction(
        [](TObject*, Exception& e, std::string& event, std::string& report, bool& accept) {
            accept = e.Message() != "secret";
            for (std::string* text : {&event, &report})
                for (std::size_t at; (at = text->find("/home/ada")) != std::string::npos;)
                    text->replace(at, 9, "~");
        }));
    RaiseThroughApplication(EConvertError("cannot read /home/ada/pay.csv"));
    const std::string firstId = Log().LastEventId();
    RaiseThroughApplication(EConvertError("secret"));
    EXPECT_EQ(Log().LastEventId(), firstId);
    const std::vector<std::string> envelopes = Envelopes();
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_EQ(envelopes[0].find("/home/ada"), std::string::npos);
    EXPECT_NE(envelopes[0].find("cannot read ~/pay.csv"), std::string::npos);
    EXPECT_NE(envelopes[0].find("\"event_id\":\"" + firstId + "\""), std::string::npos);
    // The log file keeps the report as written.
    EXPECT_NE(Logged().find("/home/ada/pay.csv"), std::string::npos);

    // An event the handler leaves broken is not queued, and the log says so.
    Log().SetOnCollectorEvent(TKVLCollectorEvent::FromFunction(
        [](TObject*, Exception&, std::string& event, std::string&, bool&) { event.pop_back(); }));
    RaiseThroughApplication(EConvertError("spoiled"));
    EXPECT_EQ(Envelopes().size(), 1u);
    EXPECT_NE(Logged().find("not sent"), std::string::npos);
    Log().SetActive(false);
}
