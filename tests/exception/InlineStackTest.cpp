// Call stacks of a program built at -O0 and at -O2, compared frame by frame
// with what the debugger shows for the same event: every frame of the
// program's own code, the inlined ones included, with procedure, unit and
// line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "framework/SysUtils.h"
#include "tests/exception/DebuggerFrames.h"

namespace zr {
namespace {

using testing::TDebuggedCase;
using testing::TDebuggerCase;

// The library's case last: once read, the libraries' symbols stay read.
const char* const kModes[] = {"free", "member", "lambda", "template",
                              "other", "null", "nolines", "library"};

class DebuggerComparison : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizer's run-time reports faults itself";
#endif
        if (std::system("command -v gdb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no gdb";
        folder_ = ::testing::TempDir() + "inline_stack_" + std::to_string(getpid());
        ForceDirectories(folder_);
    }

    // Every case of the program under one debugger session, frames shown whole.
    std::vector<TDebuggedCase> Run(const char* program) {
        std::vector<TDebuggerCase> cases;
        for (const char* mode : kModes)
        {
            TDebuggerCase c;
            c.Mode = mode;
            c.LibrarySymbols = std::string(mode) == "library";
            cases.push_back(c);
        }
        return testing::RunUnderDebugger(program, cases, folder_,
                                         {"ZR_WHOLE_CALL_STACK=1", "ZORIRIVE_HEADLESS=1"});
    }

    struct TScore {
        int Frames = 0, Matched = 0, Inlined = 0;
        std::string Missed;
    };
    TScore Score(const std::vector<TDebuggedCase>& runs) {
        TScore score;
        for (size_t i = 0; i < runs.size(); ++i) {
            SCOPED_TRACE(kModes[i]);
            const TDebuggedCase& run = runs[i];
            EXPECT_GE(run.Debugger.size(), 2u) << run.Transcript;
            EXPECT_EQ(run.Fault, std::string(kModes[i]) == "null");
            std::string missed;
            const int matched = testing::MatchingFrames(
                run.Debugger, testing::ReportedProgramFrames(run.Log), !run.Fault, missed);
            score.Frames += static_cast<int>(run.Debugger.size());
            score.Matched += matched;
            if (!missed.empty())
                score.Missed += std::string("\n") + kModes[i] + ":" + missed + "\nreport:\n" +
                                run.Log.substr(0, run.Log.find("======"));
            for (size_t k = 1; k < run.Debugger.size(); ++k)
                score.Inlined += run.Debugger[k].Group == run.Debugger[k - 1].Group;
        }
        return score;
    }

    std::string folder_;
};

TEST_F(DebuggerComparison, UnoptimisedStacksShowEveryFrameTheDebuggerShows) {
    const TScore score = Score(Run(ZR_INLINE_STACK_O0));
    EXPECT_EQ(score.Matched, score.Frames) << score.Missed;
}

// Here most calls are inlined: the debugger's inlined frames must be there,
// each before the function it was inlined into.
TEST_F(DebuggerComparison, OptimisedStacksShowTheInlinedFramesTheDebuggerShows) {
    const TScore score = Score(Run(ZR_INLINE_STACK_O2));
    EXPECT_GE(score.Inlined, 8) << "the program no longer inlines what it should";
    EXPECT_GE(score.Matched * 100, score.Frames * 95)
        << score.Matched << " of " << score.Frames << score.Missed;
}

// Shown as people read them: std::string by its name, std::function's
// handler and the framework's closures folded into one line.
TEST_F(DebuggerComparison, ReadableStacksFoldThePlumbingAndShortenNames) {
    const testing::TRun run =
        testing::RunProgram(ZR_INLINE_STACK_O2, "lambda", folder_, "readable");
    const std::string stack = run.Log.substr(run.Log.rfind("Call stack:"));
    EXPECT_NE(stack.find(" chain::Run(std::string const&) line "), std::string::npos) << stack;
    EXPECT_NE(stack.find(" of call plumbing folded)\r\n"), std::string::npos) << stack;
    EXPECT_EQ(stack.find("_Function_handler"), std::string::npos) << stack;
    EXPECT_EQ(stack.find("__cxx11"), std::string::npos) << stack;
}

}  // namespace
}  // namespace zr
