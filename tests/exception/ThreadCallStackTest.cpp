// Call stacks that must survive what comes between the throw and the
// report: another thread, other throws, a stack too deep to show, a library.
// Each case runs a real program in a process of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/SysUtils.h"
#include "tests/exception/GdbReference.h"
#include "tests/exception/ProgramRunSupport.h"

namespace zr {
namespace {

using testing::TRun;

class ThreadCallStack : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizer's run-time reports faults itself";
#endif
        folder_ = ::testing::TempDir() + "thread_stack_" + std::to_string(getpid());
        ForceDirectories(folder_);
    }

    TRun Run(const std::string& mode) {
        return testing::RunProgram(ZR_THREAD_STACK_PROGRAM, mode, folder_, mode);
    }

    // The frame lines (and gap lines) of the log's last call stack.
    static std::vector<std::string> Frames(const std::string& log) {
        std::vector<std::string> frames;
        size_t at = log.rfind("\r\nCall stack:\r\n");
        if (at == std::string::npos) return frames;
        at += 15;
        while (log.compare(at, 2, "  ") == 0) {
            const size_t end = log.find("\r\n", at);
            frames.push_back(log.substr(at, end - at));
            at = end + 2;
        }
        return frames;
    }

    std::string folder_;
};

void ExpectFrame(const std::vector<std::string>& frames, size_t index, const std::string& procedure,
                 const std::string& line) {
    ASSERT_GT(frames.size(), index);
    EXPECT_NE(frames[index].find(" ThreadStackProgram " + procedure), std::string::npos)
        << frames[index];
    EXPECT_TRUE(frames[index].ends_with(" line " + line)) << frames[index];
}

std::string PhysAddr(const std::string& log) {
    const size_t at = log.rfind("Phys.addr: ");
    return at == std::string::npos ? "" : log.substr(at + 11, 8);
}

// Thrown on one thread, reported on the main one: the report has the stack
// of the throw, whichever way the exception travelled.
TEST_F(ThreadCallStack, AnExceptionCarriedToTheMainThreadKeepsTheStackOfItsThrow) {
    for (const std::string mode : {"pointer", "thread", "synchronized"}) {
        SCOPED_TRACE(mode);
        const TRun run = Run(mode);
        ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Output;
        const std::vector<std::string> frames = Frames(run.Log);
        ExpectFrame(frames, 0, "threads::WorkerInner()", testing::OutputValue(run.Output, "inner"));
        EXPECT_EQ(frames[0].substr(2, 8), PhysAddr(run.Log)) << run.Log;
        if (mode == "pointer")
            ExpectFrame(frames, 1, "threads::WorkerOuter()",
                        testing::OutputValue(run.Output, "outer"));
        else
            EXPECT_GE(frames.size(), 3u) << run.Log;
    }
}

TEST_F(ThreadCallStack, AFaultOnAThreadThatNeverThrewHasItsWholeStack) {
    const TRun run = Run("fresh");
    ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Output;
    const std::vector<std::string> frames = Frames(run.Log);
    ExpectFrame(frames, 0, "threads::FreshFault()", testing::OutputValue(run.Output, "inner"));
    ExpectFrame(frames, 2, "threads::TWorker::Execute()",
                testing::OutputValue(run.Output, "outer"));
}

// The throws come after the one being unwound and would take the places
// of its record, were records kept by age.
TEST_F(ThreadCallStack, ThrowsCaughtInDestructorsDuringAnUnwindLeaveItsRecordAlone) {
    const TRun run = Run("destructors");
    ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Output;
    EXPECT_NE(PhysAddr(run.Log), "00000000") << run.Log;
    const std::vector<std::string> frames = Frames(run.Log);
    ExpectFrame(frames, 0, "threads::ThrowPastGuards()", testing::OutputValue(run.Output, "inner"));
    ExpectFrame(frames, 1, "threads::THandlers::Click(", testing::OutputValue(run.Output, "outer"));
}

TEST_F(ThreadCallStack, AStackOverflowShowsItsInnermostAndOutermostFrames) {
    const TRun run = Run("overflow");
    ASSERT_TRUE(WIFSIGNALED(run.Status)) << run.Output;
    const std::vector<std::string> frames = Frames(run.Log);
    ASSERT_GT(frames.size(), 20u) << run.Log;
    EXPECT_NE(frames[0].find("threads::Recurse(int)"), std::string::npos) << frames[0];
    size_t gap = 0;
    while (gap < frames.size() && frames[gap].find(" frames left out") == std::string::npos) ++gap;
    ASSERT_LT(gap, frames.size()) << run.Log;
    EXPECT_GT(std::stol(frames[gap].substr(6)), 1000) << frames[gap];
    EXPECT_NE(frames[gap - 1].find("threads::Recurse(int)"), std::string::npos);
    // The outermost frames are the program's way into the recursion.
    EXPECT_NE(frames.back().find(" _start"), std::string::npos) << run.Log;
}

// Each frame of the library names what gdb names at the same offset of the
// library: the procedure, and the line. Returns how many frames there were.
size_t ExpectLibraryFramesAsGdbNamesThem(const std::vector<std::string>& all,
                                         const std::string& library) {
    std::vector<std::string> frames;
    std::vector<unsigned long> offsets;
    for (size_t i = 0; i < all.size(); ++i) {
        const size_t at = all[i].find("libthrowing_library.so+0x");
        if (at == std::string::npos) continue;
        frames.push_back(all[i]);
        // A return address is looked up at its call, one byte back.
        offsets.push_back(std::stoul(all[i].substr(at + 25), nullptr, 16) - (i > 0 ? 1 : 0));
    }
    if (frames.empty()) return 0;
    const std::vector<testing::TGdbPlace> gdb = testing::GdbPlacesAt(library, offsets);
    if (gdb[0].Procedure.empty()) {
        ADD_FAILURE() << "gdb is not there";
        return frames.size();
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        // gdb adds the parameters of a C function from its debug information.
        const std::string name = gdb[i].Procedure.substr(0, gdb[i].Procedure.find('('));
        EXPECT_NE(frames[i].find(" " + name), std::string::npos) << frames[i];
        EXPECT_TRUE(frames[i].ends_with(" line " + std::to_string(gdb[i].Line))) << frames[i];
    }
    return frames.size();
}

// From the library's debug information; from the map beside it when there is
// one, which a last report can read too.
TEST_F(ThreadCallStack, LibraryFramesNameTheProcedureAndLineGdbNames) {
    const TRun run = Run("library");
    ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Output;
    // The raise, two recursions, the entry.
    EXPECT_EQ(ExpectLibraryFramesAsGdbNamesThem(Frames(run.Log), ZR_THROWING_LIBRARY), 4u)
        << run.Log;

    // A copy of the library with its map beside it, found first.
    const std::string mapped = folder_ + "/mapped";
    ForceDirectories(mapped);
    const std::string copy = mapped + "/libthrowing_library.so";
    std::filesystem::copy_file(ZR_THROWING_LIBRARY, copy,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(std::system(("'" + std::string(ZR_ZRMAP) + "' '" + copy + "'").c_str()), 0);
    setenv("LD_LIBRARY_PATH", mapped.c_str(), 1);
    const TRun report = Run("library");
    const TRun last = Run("threadfault");
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(ExpectLibraryFramesAsGdbNamesThem(Frames(report.Log), copy), 4u) << report.Log;
    ASSERT_TRUE(WIFSIGNALED(last.Status)) << last.Output;
    EXPECT_EQ(ExpectLibraryFramesAsGdbNamesThem(Frames(last.Log), copy), 1u) << last.Log;
}

// The same library under the same name, whether the report is made as ever
// or from a signal handler, and a library's procedure named in both.
TEST_F(ThreadCallStack, ALastReportNamesLibrariesAsAReportDoes) {
    const TRun report = Run("pointer");
    const TRun last = Run("threadfault");
    ASSERT_TRUE(WIFSIGNALED(last.Status)) << last.Output;
    auto runtimeName = [](const std::string& log) {
        const size_t at = log.find(" libstdc++");
        return at == std::string::npos ? "" : log.substr(at, log.find("+0x", at) - at);
    };
    EXPECT_NE(runtimeName(report.Log), "") << report.Log;
    EXPECT_EQ(runtimeName(report.Log), runtimeName(last.Log)) << last.Log;
    EXPECT_NE(last.Log.find(" zr_test_CallFromLibrary"), std::string::npos) << last.Log;
}

}  // namespace
}  // namespace zr
