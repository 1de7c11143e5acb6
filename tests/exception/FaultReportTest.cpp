// Processor faults and Ctrl+C in a real program built as applications are:
// each run in a process of its own, its log file read afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "framework/SysUtils.h"
#include "tests/exception/ProgramRunSupport.h"

namespace zr {
namespace {

using testing::TRun;

class FaultReport : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizer's run-time reports faults itself";
#endif
        folder_ = ::testing::TempDir() + "fault_report_" + std::to_string(getpid());
        ForceDirectories(folder_);
    }

    TRun Run(const std::string& mode) {
        return Run(ZR_FAULT_PROGRAM, mode, mode);
    }

    TRun Run(const char* program, const std::string& argument, const std::string& name) {
        return testing::RunProgram(program, argument, folder_, name);
    }

    static int Count(const std::string& text, const std::string& part) {
        int count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    static std::string Value(const std::string& output, const std::string& key) {
        return testing::OutputValue(output, key);
    }

    // A last report, and the process ended by the signal of a fault.
    static void ExpectOneLastReport(const TRun& run, const char* className) {
        ASSERT_TRUE(WIFSIGNALED(run.Status)) << run.Output << run.Log;
        EXPECT_EQ(WTERMSIG(run.Status), SIGSEGV) << run.Output;
        EXPECT_EQ(Count(run.Log, std::string("Classname: ") + className), 1) << run.Log;
        EXPECT_EQ(Count(run.Log, "EXE file name: "), 1) << run.Log;
        EXPECT_TRUE(run.Log.ends_with("======\r\n\r\n")) << run.Log;
    }

    std::string folder_;
};

bool EndedNormally(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A bad pointer in a click handler is reported with its source line, twice:
// after the first the signal is free again for the second.
TEST_F(FaultReport, ABadPointerInAHandlerIsReportedAndTheApplicationGoesOn) {
    const TRun run = Run("read");
    ASSERT_TRUE(EndedNormally(run.Status)) << run.Output << run.Log;
    EXPECT_NE(run.Output.find("survived"), std::string::npos);
    EXPECT_EQ(Count(run.Log, "Classname: EAccessViolation"), 2) << run.Log;
    EXPECT_EQ(Count(run.Log, "Access violation at address "), 2) << run.Log;
    EXPECT_NE(run.Log.find("Read of address 00000000"), std::string::npos) << run.Log;
    EXPECT_EQ(Count(run.Log, "Unit: FaultProgram\r\nProcedure: faults::THandlers::ButtonClick("), 2)
        << run.Log;
    EXPECT_EQ(Count(run.Log, "Line No: " + Value(run.Output, "line")), 2) << run.Log;
}

TEST_F(FaultReport, DivisionByZeroAndTheClassFilter) {
    const TRun divide = Run("divide");
    ASSERT_TRUE(EndedNormally(divide.Status)) << divide.Output << divide.Log;
    EXPECT_EQ(Count(divide.Log, "Classname: EDivByZero"), 2) << divide.Log;
    EXPECT_EQ(Count(divide.Log, "Division by zero."), 2) << divide.Log;

    const TRun filtered = Run("filtered");
    ASSERT_TRUE(EndedNormally(filtered.Status)) << filtered.Output;
    EXPECT_EQ(filtered.Log.find("EAccessViolation"), std::string::npos) << filtered.Log;
}

TEST_F(FaultReport, AFaultInAWorkerBecomesItsFatalException) {
    const TRun run = Run("thread");
    ASSERT_TRUE(EndedNormally(run.Status)) << run.Output;
    EXPECT_EQ(Value(run.Output, "fatal"), "EAccessViolation");
}

TEST_F(FaultReport, CtrlCReachesTheExceptionHandlerAndEndsTheLoop) {
    const TRun run = Run("interrupt");
    ASSERT_TRUE(EndedNormally(run.Status)) << run.Output;
    EXPECT_EQ(Value(run.Output, "handled"), "EControlC");
    EXPECT_NE(run.Output.find("loop ended"), std::string::npos);
}

// Where the process cannot go on, one last report and the original signal:
// on the main thread and on a thread the framework did not start.
TEST_F(FaultReport, AStackOverflowLeavesALastReportAndEndsByItsSignal) {
    for (const char* mode : {"recursion", "thread-recursion"}) {
        SCOPED_TRACE(mode);
        const TRun run = Run(mode);
        ASSERT_TRUE(WIFSIGNALED(run.Status)) << run.Output;
        EXPECT_EQ(WTERMSIG(run.Status), SIGSEGV);
        EXPECT_EQ(Count(run.Log, "Classname: EStackOverflow"), 1) << run.Log;
        EXPECT_NE(run.Log.find("Stack overflow."), std::string::npos) << run.Log;
        EXPECT_NE(run.Log.find("EXE file name: "), std::string::npos) << run.Log;
    }
}

// The report the handler was looking at is not lost: it comes first, then
// the last report of the fault in the handler.
TEST_F(FaultReport, AFaultWhileTheReportIsWrittenLeavesThatReportAndALastReport) {
    const TRun run = Run("in-report");
    ASSERT_TRUE(WIFSIGNALED(run.Status)) << run.Output;
    EXPECT_EQ(WTERMSIG(run.Status), SIGSEGV);
    EXPECT_EQ(Count(run.Log, "Classname: EAccessViolation"), 2) << run.Log;
    const size_t pending = run.Log.find("Procedure: faults::THandlers::ButtonClick(");
    const size_t last = run.Log.find("Procedure: faults::THandlers::SaveException(");
    ASSERT_NE(pending, std::string::npos) << run.Log;
    ASSERT_NE(last, std::string::npos) << run.Log;
    EXPECT_LT(pending, last) << run.Log;
}

// Threads that fault at once: the first writes, the others wait for it.
TEST_F(FaultReport, ThreadsThatFaultTogetherLeaveOneCompleteReport) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ExpectOneLastReport(Run("together"), "EAccessViolation");
        if (HasFatalFailure() || HasNonfatalFailure()) break;
    }
}

TEST_F(FaultReport, AFaultNothingCatchesEndsByItsSignalWithALastReport) {
    const TRun run = Run("uncaught");
    ExpectOneLastReport(run, "EAccessViolation");
    EXPECT_NE(run.Log.find("Procedure: main"), std::string::npos) << run.Log;
}

// Thrown, it would leave the handler and unwind into the interrupted code.
TEST_F(FaultReport, AFaultInTheProgramsSignalHandlerIsNotThrownOutOfIt) {
    const TRun run = Run("in-handler");
    EXPECT_EQ(run.Output.find("caught"), std::string::npos) << run.Output;
    ExpectOneLastReport(run, "EAccessViolation");
}

// The sender's process id lies where a fault's address would.
TEST_F(FaultReport, ASentFaultSignalIsNoAccessViolation) {
    const TRun run = Run("sent");
    ExpectOneLastReport(run, "EExternalException");
    EXPECT_EQ(run.Log.find("Access violation"), std::string::npos) << run.Log;
}

// The first report of the process is the last: the map was read ahead.
TEST_F(FaultReport, TheFirstReportOfAProcessNamesItsSource) {
    const TRun run = Run("recursion");
    ASSERT_TRUE(WIFSIGNALED(run.Status)) << run.Output;
    EXPECT_NE(run.Log.find("Unit: FaultProgram\r\nProcedure: faults::Recurse("), std::string::npos)
        << run.Log;
    EXPECT_NE(run.Log.find("Line No: "), std::string::npos) << run.Log;
}

// Loaded with dlopen, the suite's thread-local state is allocated on demand;
// the handler must not ask for it while the allocator's lock is held.
TEST_F(FaultReport, AFaultInsideTheAllocatorOfADlopenedSuiteEndsWithAReport) {
    const TRun run = Run(ZR_DLOPEN_FAULT_PROGRAM, ZR_FAULT_PLUGIN, "dlopen");
    ExpectOneLastReport(run, "EAccessViolation");
}

}  // namespace
}  // namespace zr
