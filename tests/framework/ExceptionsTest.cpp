#include "framework/Exceptions.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/ExceptAddr.h"
#include "framework/SysUtils.h"
#include "platform/LastError.h"

namespace zr {
namespace {

struct ParseFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// std::exception is not the first base here, so its address is not the
// thrown object's.
struct Tagged {
    virtual ~Tagged() = default;
    int tag = 7;
};
struct TaggedFailure : Tagged, std::runtime_error {
    TaggedFailure() : std::runtime_error("tagged") {}
};

TEST(ExceptionClasses, MembershipFollowsTheWholeTree) {
    EDivByZero divide("x");
    EXPECT_STREQ(divide.ClassName(), "EDivByZero");
    for (const char* ancestor : {"EDivByZero", "EIntError", "EExternal", "Exception"})
        EXPECT_TRUE(divide.InheritsFrom(ancestor)) << ancestor;
    EXPECT_FALSE(divide.InheritsFrom("EMathError"));
    EXPECT_FALSE(divide.InheritsFrom("ERangeError"));

    EOutOfResources resources;
    EXPECT_TRUE(resources.InheritsFrom("EOutOfMemory"));
    EXPECT_TRUE(resources.InheritsFrom("EHeapException"));
    EXPECT_FALSE(EInvalidPointer().InheritsFrom("EOutOfMemory"));

    EReadError read;
    for (const char* ancestor : {"EFilerError", "EStreamError", "Exception"})
        EXPECT_TRUE(read.InheritsFrom(ancestor)) << ancestor;
    EXPECT_FALSE(read.InheritsFrom("EFOpenError"));

    EWin32Error win32("x", 5);
    EXPECT_TRUE(win32.InheritsFrom("EOSError"));
    EXPECT_EQ(win32.ErrorCode(), 5u);
    EXPECT_FALSE(EAbort().InheritsFrom("EOSError"));
    // Class names are compared exactly, as the exception filters hold them.
    EXPECT_FALSE(divide.InheritsFrom("edivbyzero"));
}

TEST(ExceptionClasses, CaughtAsTheirCppBases) {
    try {
        throw EZeroDivide("zero");
    } catch (const EMathError& e) {
        EXPECT_STREQ(e.ClassName(), "EZeroDivide");
        EXPECT_STREQ(e.what(), "zero");
    }
}

TEST(OSErrors, CarryCodeAndSystemText) {
    try {
        RaiseLastOSError(ENOENT);
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<unsigned>(ENOENT));
        EXPECT_EQ(e.Message(), "System Error.  Code: " + std::to_string(ENOENT) + ".\r\n" +
                                   std::strerror(ENOENT));
    }
    // The Windows calls' own last error, not whatever errno holds by then.
    errno = EACCES;
    os::SetLastError(os::RPC_S_SERVER_UNAVAILABLE);
    try {
        RaiseLastWin32Error();
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), 1722u);
        EXPECT_EQ(e.Message(), "System Error.  Code: 1722.\r\nThe RPC server is unavailable");
    }
    try {
        RaiseLastOSError(0);
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message(), "A call to an OS function failed");
        EXPECT_EQ(e.ErrorCode(), 0u);
    }
}

TEST(ExceptionScope, NamesTheHandledExceptionAndNests) {
    EXPECT_EQ(ExceptObject(), nullptr);
    EXPECT_EQ(ExceptAddr(), nullptr);
    EAbort outer("outer");
    outer.SetRaiseAddress(reinterpret_cast<void*>(0x401000));
    {
        TExceptionScope a(outer);
        EXPECT_EQ(ExceptObject(), &outer);
        EXPECT_EQ(ExceptAddr(), reinterpret_cast<void*>(0x401000));
        EConvertError inner("inner");
        {
            TExceptionScope b(inner);
            EXPECT_EQ(ExceptObject(), &inner);
            EXPECT_EQ(ExceptAddr(), inner.RaiseAddress());
        }
        EXPECT_EQ(ExceptObject(), &outer);
    }
    EXPECT_EQ(ExceptObject(), nullptr);
}

TEST(ExceptionScopeThread, IsPerThread) {
    EAbort e;
    TExceptionScope scope(e);
    const Exception* seen = &e;
    std::thread([&] { seen = ExceptObject(); }).join();
    EXPECT_EQ(seen, nullptr);
}

TEST(WrappedExceptions, ForeignExceptionsReportTheirTypeAndText) {
    try {
        throw ParseFailure("line 3");
    } catch (...) {
        auto wrapped = WrapException(std::current_exception());
        ASSERT_NE(wrapped, nullptr);
        EXPECT_STREQ(wrapped->ClassName(), "zr::(anonymous namespace)::ParseFailure");
        EXPECT_EQ(wrapped->Message(), "line 3");
        EXPECT_TRUE(wrapped->InheritsFrom("Exception"));
    }
    try {
        throw 42;
    } catch (...) {
        auto wrapped = WrapException(std::current_exception());
        EXPECT_STREQ(wrapped->ClassName(), "int");
        EXPECT_EQ(wrapped->Message(), "");
    }
    EXPECT_EQ(WrapException(nullptr), nullptr);
}

TEST(WrappedExceptions, KnowWhereTheyWereThrown) {
    try {
        throw TaggedFailure();
    } catch (...) {
        auto wrapped = WrapException(std::current_exception());
        EXPECT_STREQ(wrapped->ClassName(), "zr::(anonymous namespace)::TaggedFailure");
        ASSERT_NE(wrapped->RaiseAddress(), nullptr);
        std::string text = ExceptionErrorMessage(*wrapped, wrapped->RaiseAddress());
        EXPECT_NE(text.find(" in module " + ExtractFileName(ParamStr(0)) + " at "),
                  std::string::npos)
            << text;
    }
}

[[gnu::noinline]] void ThrowFromHere() {
    throw std::runtime_error("here");
}
[[gnu::noinline]] void ThrowFromThere() {
    throw std::runtime_error("there");
}

// The run-time hands a caught exception's memory to the next one of the same
// size: the second throw must not be reported where the first one was.
TEST(WrappedExceptions, AReusedExceptionObjectIsReportedWhereItWasLastThrown) {
    void* raised[2] = {};
    for (int round = 0; round < 2; ++round) {
        try {
            round == 0 ? ThrowFromHere() : ThrowFromThere();
        } catch (...) {
            raised[round] = WrapException(std::current_exception())->RaiseAddress();
        }
    }
    ASSERT_NE(raised[0], nullptr);
    EXPECT_NE(raised[0], raised[1]);
}

TEST(WrappedExceptions, FrameworkExceptionsKeepTheirClass) {
    std::exception_ptr error;
    try {
        throw EFOpenError("Cannot open file");
    } catch (...) {
        error = std::current_exception();
    }
    auto wrapped = WrapException(error);
    EXPECT_STREQ(wrapped->ClassName(), "EFOpenError");
    EXPECT_TRUE(wrapped->InheritsFrom("EStreamError"));
    EXPECT_EQ(wrapped->Message(), "Cannot open file");
}

TEST(ErrorMessage, DescribesClassModuleAddressAndMessage) {
    EConvertError e("'x' is not a valid integer value");
    std::string text = ExceptionErrorMessage(e, reinterpret_cast<void*>(0x401A2C));
    std::string module = ExtractFileName(ParamStr(0));
    EXPECT_EQ(text, "Exception EConvertError in module " + module +
                        " at 00401A2C.\r\n'x' is not a valid integer value.");
    // No second full stop after one the message has.
    std::string done = ExceptionErrorMessage(EAbort("Done."), nullptr);
    EXPECT_EQ(done.substr(done.size() - 7), "\r\nDone.");
}

TEST(ErrorMessage, NamesTheLibraryAnAddressLiesIn) {
    // An address in a shared library is reported as it is, with that library.
    auto address = reinterpret_cast<void*>(&std::terminate);
    std::string text = ExceptionErrorMessage(EAbort("x"), address);
    EXPECT_NE(text.find(" in module libstdc++.so"), std::string::npos) << text;
}

TEST(ErrorMessage, StaysWithinItsBufferWithoutSplittingACharacter) {
    std::string message;
    for (int i = 0; i < 600; ++i) message += "\xC3\xA9";  // 1200 bytes of "é"
    std::string text = ExceptionErrorMessage(Exception(message), nullptr);
    EXPECT_LE(text.size(), 1024u);
    EXPECT_GE(text.size(), 1020u);
    size_t lead = text.find("\xC3");
    EXPECT_EQ((text.size() - lead) % 2, 0u);  // ends on a whole character
}

// ---- raise addresses, seen from outside in two kinds of executable ----

struct ProbeLine {
    std::string name;
    unsigned long raise = 0, start = 0, end = 0, runtime = 0;
};

std::vector<ProbeLine> RunProbe(const std::string& program) {
    std::vector<ProbeLine> lines;
    FILE* pipe = popen((std::string(ZR_TEST_BINARY_DIR) + "/" + program).c_str(), "r");
    if (!pipe) return lines;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) {
        std::istringstream in(buffer);
        ProbeLine line;
        in >> line.name >> std::hex >> line.raise >> line.start >> line.end >> line.runtime;
        if (in) lines.push_back(line);
    }
    EXPECT_EQ(pclose(pipe), 0);
    return lines;
}

void ExpectEachRaiseInsideItsFunction(const std::vector<ProbeLine>& lines) {
    ASSERT_EQ(lines.size(), 3u);
    for (const ProbeLine& line : lines) {
        EXPECT_LT(line.start, line.end) << line.name;
        EXPECT_GE(line.raise, line.start) << line.name;
        EXPECT_LT(line.raise, line.end) << line.name;
    }
}

TEST(RaiseAddress, LiesInTheThrowingFunctionOfAPositionIndependentProgram) {
    auto lines = RunProbe("raise_address_pie");
    ExpectEachRaiseInsideItsFunction(lines);
    for (const ProbeLine& line : lines) {
        // Reported as if the code began at 0x401000, wherever it was loaded.
        EXPECT_NE(line.start, line.runtime);
        EXPECT_GE(line.start, 0x401000ul);
        EXPECT_LT(line.start, 0x401000ul + 0x1000000);
    }
}

TEST(RaiseAddress, IsUnchangedInAFixedAddressProgram) {
    auto lines = RunProbe("raise_address_fixed");
    ExpectEachRaiseInsideItsFunction(lines);
    for (const ProbeLine& line : lines) EXPECT_EQ(line.start, line.runtime) << line.name;
}

TEST(RaiseAddress, OfAConversionErrorIsTheCallersNotTheFrameworks) {
    void* raise = nullptr;
    try {
        StrToInt("not a number");
    } catch (const EConvertError& e) {
        raise = e.RaiseAddress();
    }
    ASSERT_NE(raise, nullptr);
    // The address is in this test program (reported in its map-file form),
    // not in the library that made the exception.
    std::string text = ExceptionErrorMessage(EConvertError("x"), raise);
    EXPECT_NE(text.find(" in module " + ExtractFileName(ParamStr(0)) + " at "), std::string::npos)
        << text;
}

}  // namespace
}  // namespace zr
