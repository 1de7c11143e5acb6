// Call stacks in the reports of a real program built as applications are:
// each run in a process of its own, its log file read afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "framework/SysUtils.h"
#include "tests/exception/ProgramRunSupport.h"

namespace zr {
namespace {

using testing::TRun;

class CallStackReport : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizer's run-time reports faults itself";
#endif
        folder_ = ::testing::TempDir() + "call_stack_" + std::to_string(getpid());
        ForceDirectories(folder_);
    }

    TRun Run(const std::string& mode) {
        return testing::RunProgram(ZR_CALL_STACK_PROGRAM, mode, folder_, mode);
    }

    static std::string Value(const std::string& output, const std::string& key) {
        return testing::OutputValue(output, key);
    }

    // The physical frame lines of the last report's call stack: without the
    // functions inlined into them and the folded call plumbing.
    static std::vector<std::string> Frames(const std::string& log) {
        std::vector<std::string> frames;
        size_t at = log.rfind("\r\nCall stack:\r\n");
        if (at == std::string::npos) return frames;
        at += 15;
        while (log.compare(at, 2, "  ") == 0) {
            const size_t end = log.find("\r\n", at);
            const std::string frame = log.substr(at, end - at);
            if (frame.find(" [inlined] ") == std::string::npos && !frame.starts_with("  ("))
                frames.push_back(frame);
            at = end + 2;
        }
        return frames;
    }

    static void ExpectLastReportWithCallStack(const TRun& run);

    std::string folder_;
};

// Frame `index` is `procedure` of the program's unit at `line`.
void ExpectFrame(const std::vector<std::string>& frames, size_t index, const std::string& procedure,
                 const std::string& line) {
    ASSERT_GT(frames.size(), index);
    EXPECT_NE(frames[index].find(" CallStackProgram stack::" + procedure), std::string::npos)
        << frames[index];
    EXPECT_TRUE(frames[index].ends_with(" line " + line)) << frames[index];
}

// The raise, then each caller at the line of its call, for an exception of
// the framework's and for one the C++ library throws on the program's behalf.
TEST_F(CallStackReport, ThreeCallsDeepNameTheirProceduresUnitsAndCallLinesInOrder) {
    for (const std::string mode : {"framework", "vector"}) {
        const TRun run = Run(mode);
        ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Output;
        const std::vector<std::string> frames = Frames(run.Log);
        ExpectFrame(frames, 0, "Innermost(", Value(run.Output, "raise"));
        ExpectFrame(frames, 1, "Middle(", Value(run.Output, "middle"));
        ExpectFrame(frames, 2, "Outer(", Value(run.Output, "outer"));
        // The first frame is the address the report's head gives.
        const size_t head = run.Log.find("Phys.addr: ") + 11;
        EXPECT_EQ(frames[0].substr(2, 8), run.Log.substr(head, 8)) << run.Log;
        EXPECT_LE(frames.size(), 64u);
    }
}

TEST_F(CallStackReport, AFaultInAnInlinedFunctionGivesItsCallerFirst) {
    const TRun run = Run("inlined");
    ASSERT_TRUE(WIFEXITED(run.Status)) << run.Output;
    ExpectFrame(Frames(run.Log), 0, "PokeCaller()", Value(run.Output, "poke"));
}

// A fault while a report is written cannot be survived: the last report,
// written from the signal handler, has the call stack from the fault on.
TEST_F(CallStackReport, ALastReportHasTheCallStackOfTheFault) {
    for (const std::string mode : {"last", "uncaught"}) {
        SCOPED_TRACE(mode);
        ExpectLastReportWithCallStack(Run(mode));
    }
}

void CallStackReport::ExpectLastReportWithCallStack(const TRun& run) {
    ASSERT_TRUE(WIFSIGNALED(run.Status)) << run.Output;
    ASSERT_NE(run.Log.rfind("Classname: "), std::string::npos) << run.Output;
    const std::string last = run.Log.substr(run.Log.rfind("Classname: "));
    EXPECT_TRUE(last.starts_with("Classname: EAccessViolation")) << run.Log;
    const std::vector<std::string> frames = Frames(last);
    ExpectFrame(frames, 0, "PokeCaller()", Value(run.Output, "poke"));
#ifdef __OPTIMIZE__
    // Written in the signal handler from the map read ahead: the function
    // inlined where the fault came is named before its caller.
    const size_t stack = last.find("Call stack:\r\n  ");
    ASSERT_NE(stack, std::string::npos) << last;
    EXPECT_EQ(last.find(" [inlined] CallStackProgram stack::Poke(int*) line ", stack),
              stack + 23) << last;  // right after the first address
#endif
    EXPECT_NE(frames.back().find(" _start"), std::string::npos) << last;
}

}  // namespace
}  // namespace zr
