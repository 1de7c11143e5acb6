#include "exception/LogError.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "exception/ExceptionLogSupport.h"
#include "framework/DateUtils.h"
#include "framework/ExceptAddr.h"
#include "framework/FileStream.h"
#include "framework/Format.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"

namespace zr {
// An exception class of the application's own, outside the framework's tree.
ZR_EXCEPTION_CLASS(EPayrollError, Exception);
}  // namespace zr

using namespace zr;
using namespace zr::testing;

namespace {

class ExceptionLog : public ExceptionLogFixture {
  protected:
    void SetUp() override {
        ExceptionLogFixture::SetUp();
        Log().SetErrorDialog(edStandard);  // the dialog has tests of its own
    }
    // Everything in the report after its first line (date, time and address).
    static std::string AfterFirstLine(const std::string& report) {
        return report.substr(std::min(report.find("\r\n"), report.size()));
    }
};

}  // namespace

// ---- creation and the handler chain -----------------------------------------------

TEST_F(ExceptionLog, ANewComponentHasItsDefaultsAndTakesOverTheHandler) {
    TKVExceptionLog fresh(nullptr);
    EXPECT_EQ(fresh.ErrorDialog(), edExtended);
    EXPECT_EQ(fresh.FilterStandard().Mask(), 0x3FFFFFFFu);
    EXPECT_EQ(fresh.FilterClasses().Mask(), 0x3FFFFu);
    EXPECT_EQ(fresh.FilterGraphics().Mask(), 3u);
    EXPECT_EQ(fresh.Formats().Mask(), 951u);
    EXPECT_EQ(fresh.Options().Mask(), 3u);
    EXPECT_EQ(fresh.MapFile()->MapFileName(), ChangeFileExt(Application->ExeName(), ".map"));
    for (const char* name :
         {"ErrorDialog", "FilterStandard", "FilterClasses", "FilterGraphics", "Formats", "Options"})
        EXPECT_FALSE(IsStoredProp(&fresh, *GetPropInfo(&fresh, name))) << name;

    // Inactive, yet the newest instance is the handler and keeps the one before.
    EXPECT_FALSE(fresh.Active());
    EXPECT_TRUE(Application->OnException() ==
                TExceptionEvent(&fresh, &TKVExceptionLog::DoException));
    EXPECT_TRUE(fresh.PrevOnException() == TExceptionEvent(&Log(), &TKVExceptionLog::DoException));
}

TEST_F(ExceptionLog, DestroyingClearsTheHandlerAndTheDesignerInstallsNone) {
    const TExceptionEvent earlier = Application->OnException();
    {
        TComponent designed(nullptr);
        designed.SetComponentStateFlag(csDesigning, true);
        new TKVExceptionLog(&designed);
        EXPECT_TRUE(Application->OnException() == earlier);
    }
    // Cleared, even by the instance that never installed one; never set back.
    EXPECT_FALSE(Application->OnException());
}

TEST_F(ExceptionLog, EveryInstanceOfAChainHandlesTheExceptionFully) {
    TKVExceptionLog second(nullptr);
    second.SetLogFile(Path("second.log"));
    second.SetActive(true);
    second.SetErrorDialog(edNone);
    RaiseThroughApplication(EConvertError("'x' is not a valid integer value"));
    EXPECT_NE(Logged().find("'x' is not"), std::string::npos);
    EXPECT_NE(Content(Path("second.log")).find("'x' is not"), std::string::npos);
    EXPECT_EQ(Messages().size(), 1u);  // the first instance's edStandard
}

TEST_F(ExceptionLog, AnInactiveComponentPassesEveryExceptionOnAndWritesNothing) {
    std::vector<std::string> calls;
    Application->SetOnException(TExceptionEvent::FromFunction(
        [&](TObject*, Exception& e) { calls.push_back("earlier " + e.Message()); }));
    TKVExceptionLog log(nullptr);
    log.SetLogFile(Path("inactive.log"));
    log.SetOnException(TExceptionEvent::FromFunction(
        [&](TObject*, Exception& e) { calls.push_back("own " + e.Message()); }));
    RaiseThroughApplication(EConvertError("bad number"));
    EXPECT_EQ(calls, (std::vector<std::string>{"earlier bad number", "own bad number"}));
    EXPECT_EQ(Messages(), std::vector<std::string>{"bad number."});
    EXPECT_FALSE(Exists(Path("inactive.log")));
}

// ---- the class filter ----------------------------------------------------------

TEST_F(ExceptionLog, TheFirstFilterClassAnExceptionBelongsToDecides) {
    TKVExceptionLog& log = Log();
    log.SetFilterStandard(KVLAllStandardExceptions - TKVExceptionStandards{efAccessViolation});
    EXPECT_FALSE(log.IsLogged(EAccessViolation("x")));
    EXPECT_TRUE(log.IsLogged(EPrivilege("x")));  // a sibling of the removed class

    // EDivByZero is an EIntError, which is tested first.
    log.SetFilterStandard(KVLAllStandardExceptions - TKVExceptionStandards{efDivByZero});
    EXPECT_TRUE(log.IsLogged(EDivByZero("x")));
    log.SetFilterStandard(KVLAllStandardExceptions - TKVExceptionStandards{efIntError});
    EXPECT_FALSE(log.IsLogged(EDivByZero("x")));
    EXPECT_TRUE(log.IsLogged(EZeroDivide("x")));

    // EOutOfResources is an EOutOfMemory; every stream error an EStreamError.
    log.SetFilterStandard(KVLAllStandardExceptions);
    log.SetFilterClasses(KVLAllClassExceptions -
                         TKVExceptionClasses{efOutOfResources, efReadError});
    EXPECT_TRUE(log.IsLogged(EOutOfResources("x")));
    EXPECT_TRUE(log.IsLogged(EReadError("x")));
    log.SetFilterClasses(KVLAllClassExceptions - TKVExceptionClasses{efStreamError});
    EXPECT_FALSE(log.IsLogged(EFOpenError("x")));
    log.SetFilterGraphics({efInvalidGraphic});
    EXPECT_FALSE(log.IsLogged(EInvalidGraphicOperation("x")));

    // Classes outside the fifty are logged whatever the filters hold.
    log.SetFilterStandard({});
    log.SetFilterClasses({});
    log.SetFilterGraphics({});
    EXPECT_TRUE(log.IsLogged(EPayrollError("x")));
    EXPECT_TRUE(log.IsLogged(EOSError("x")));  // only its descendant EWin32Error is listed
    EXPECT_FALSE(log.IsLogged(EWin32Error("x")));
}

TEST_F(ExceptionLog, AFilteredExceptionGetsTheStandardMessageAndNoReport) {
    Log().SetFilterStandard(KVLAllStandardExceptions - TKVExceptionStandards{efAccessViolation});
    RaiseThroughApplication(EAccessViolation("Access violation at address 00000000"));
    EXPECT_FALSE(LogWritten());
    EXPECT_EQ(Messages(), std::vector<std::string>{"Access violation at address 00000000."});
    RaiseThroughApplication(std::out_of_range("vector::_M_range_check"));
    EXPECT_NE(Logged().find("std::out_of_range"), std::string::npos);
}

// ---- the report ----------------------------------------------------------------

TEST_F(ExceptionLog, TheDefaultReportHoldsTheHeadTheSectionsAndTheClosingLines) {
    void* raisedAt = nullptr;
    Log().SetOnException(TExceptionEvent::FromFunction(
        [&](TObject*, Exception& e) { raisedAt = e.RaiseAddress(); }));
    const std::string today = FormatDateTime("c", Date());
    RaiseThroughApplication(EConvertError("'abc' is not a valid integer value"));
    const std::string report = Logged();

    const std::string firstLine = report.substr(0, report.find("\r\n"));
    EXPECT_EQ(firstLine.rfind(today + " ", 0), 0u) << firstLine;
    EXPECT_TRUE(firstLine.ends_with(" Phys.addr: " + Format("%p", {raisedAt}) + " ")) << firstLine;
    EConvertError same("'abc' is not a valid integer value");
    EXPECT_EQ(AfterFirstLine(report), "\r\nMessage: " + ExceptionErrorMessage(same, raisedAt) +
                                          Log().GetApplicationDetails() +
                                          Log().GetActiveControlDetails() +
                                          Log().GetComputerInfo() + "\r\n======\r\n\r\n");
    EXPECT_EQ(Messages(), std::vector<std::string>{"'abc' is not a valid integer value."});
}

TEST_F(ExceptionLog, PartsComeInTheirFixedOrderAndReportsFollowOneAnother) {
    Log().SetFormats({lfSeparator, lfSourceLine, lfExceptionClassName, lfTime});
    Log().MapFile()->SetMapFileName(WritePayrollMap(Path("app.map")));
    EPayrollError e("No employees");
    e.SetRaiseAddress(InPayrollMap(0x12));
    RaiseThroughApplication(e);
    RaiseThroughApplication(EDivByZero("two"));
    const std::string reports = Logged();
    // The time first (no date); the separator last although it is the sixth value.
    EXPECT_EQ(reports.find(FormatDateTime("c", Date())), std::string::npos);
    const std::string first = reports.substr(0, reports.find("\r\n\r\n") + 4);
    EXPECT_TRUE(first.substr(0, first.find("\r\n")).ends_with(" ")) << first;
    EXPECT_EQ(AfterFirstLine(first),
              "\r\nClassname: EPayrollError\r\n"
              "Unit: Payroll\r\nProcedure: Payroll::Run()\r\nLine No: 42"
              "\r\n======\r\n\r\n");
    EXPECT_NE(reports.substr(first.size()).find("\r\nClassname: EDivByZero\r\n"),
              std::string::npos);

    Log().SetFormats({});
    Log().SetLogFile(Path("empty.log"));
    RaiseThroughApplication(EConvertError("x"));
    EXPECT_EQ(Content(Path("empty.log")), "\r\n");
}

TEST_F(ExceptionLog, HandledDirectlyTheReportDescribesTheExceptionGiven) {
    Log().SetFormats({lfPhysAddress, lfMessage});
    EListError e("List index out of bounds (3)");
    e.SetRaiseAddress(InPayrollMap(0x40));
    Log().DoException(nullptr, e);
    EXPECT_EQ(Logged(), "Phys.addr: 00401040 \r\nMessage: " +
                            ExceptionErrorMessage(e, InPayrollMap(0x40)) + "\r\n");
}

// ---- what the application chooses -----------------------------------------------

TEST_F(ExceptionLog, OnSaveExceptionMayRewriteOrRejectTheReport) {
    Log().SetFormats({lfExceptionClassName});
    Log().SetOnSaveException(TKVLSaveExceptionEvent::FromFunction(
        [](TObject*, Exception& e, std::string& text, bool& accept) {
            if (e.InheritsFrom("EDivByZero"))
                accept = false;
            else
                text = "[payroll]" + text;
        }));
    RaiseThroughApplication(EConvertError("kept"));
    RaiseThroughApplication(EDivByZero("rejected"));
    EXPECT_EQ(Logged(), "[payroll]\r\nClassname: EConvertError\r\n");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"kept.", "rejected."}));
}

TEST_F(ExceptionLog, ErrorDialogChoosesNothingTheStandardMessageOrTheDialog) {
    Log().SetErrorDialog(edNone);
    RaiseThroughApplication(EConvertError("quiet"));
    EXPECT_NE(Logged().find("quiet"), std::string::npos);
    EXPECT_TRUE(Messages().empty());

    // Without a log file nothing is composed, yet the dialog shows.
    Log().SetErrorDialog(edExtended);
    Log().SetLogFile("");
    bool saveRaised = false;
    Log().SetOnSaveException(TKVLSaveExceptionEvent::FromFunction(
        [&](TObject*, Exception&, std::string&, bool&) { saveRaised = true; }));
    DialogAnswerer answerer;
    RaiseThroughApplication(EConvertError("loud"));
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].text, "loud");
    EXPECT_FALSE(saveRaised);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ExceptionLog, AnExceptionWhileTheDialogIsOpenGetsTheStandardMessageOnly) {
    Log().SetErrorDialog(edExtended);
    Log().SetFormats({lfExceptionClassName});
    Poster poster;
    DialogAnswerer answerer;
    answerer.whileOpen = [&](TfrmKVLogErrorDialog&) {
        poster.Post([] { throw EDivByZero("inside the dialog"); });
    };
    RaiseThroughApplication(EConvertError("first"));
    EXPECT_EQ(Messages(), std::vector<std::string>{"inside the dialog."});
    EXPECT_EQ(Logged(), "\r\nClassname: EConvertError\r\n");

    answerer.whileOpen = nullptr;
    RaiseThroughApplication(EListError("second"));
    EXPECT_EQ(Logged(), "\r\nClassname: EConvertError\r\n\r\nClassname: EListError\r\n");
    EXPECT_EQ(answerer.seen.size(), 2u);
}

// ---- failures of the handling itself ------------------------------------------------

TEST_F(ExceptionLog, AReportThatCannotBeWrittenGoesToStandardErrorAndTheUserStillHearsOfIt) {
    Log().SetFormats({lfExceptionClassName, lfSeparator});
    Log().SetLogFile(Path("no-such-folder/kvevents.log"));
    Log().SetErrorDialog(edNone);  // the failure is told even when nothing was to be shown
    ::testing::internal::CaptureStderr();
    RaiseThroughApplication(EConvertError("lost?"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("EFCreateError"), std::string::npos) << err;
    EXPECT_NE(err.find("\r\nClassname: EConvertError\r\n======\r\n\r\n"), std::string::npos) << err;
    EXPECT_EQ(Messages(), std::vector<std::string>{"lost?."});
    EXPECT_FALSE(Log().Busy());

    Log().SetLogFile(Path("kvevents.log"));
    RaiseThroughApplication(EDivByZero("next"));
    EXPECT_EQ(Logged(), "\r\nClassname: EDivByZero\r\n======\r\n\r\n");
}

// A map that cannot be read costs the report its source position and nothing
// else: the report still goes to the log, the configured dialog still shows,
// and standard error (kept for reports that cannot be written) hears nothing.
TEST_F(ExceptionLog, AMapThatCannotBeReadCostsTheReportItsSourcePositionOnly) {
    Log().SetFormats({lfExceptionClassName, lfSourceLine});
    Log().SetOptions(KVLDefaultAOptions + TKVLAOptions{laShowSourceLine});
    Log().SetErrorDialog(edExtended);
    const std::string map = WritePayrollMap(Path("app.map"));
    Log().MapFile()->SetMapFileName(map);
    DialogAnswerer answerer;
    {
        TFileStream holder(map, fmOpenReadWrite | fmShareExclusive);
        ::testing::internal::CaptureStderr();
        RaiseThroughApplication(EConvertError("map locked"));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("could not handle"), std::string::npos) << err;
        EXPECT_EQ(Logged(), "\r\nClassname: EConvertError\r\n");
        ASSERT_EQ(answerer.seen.size(), 1u);
        EXPECT_EQ(answerer.seen[0].text, "map locked");
        EXPECT_FALSE(Log().Busy());
    }
    // The map is tried again by the next report.
    RaiseThroughApplication(EConvertError("map free"));
    EXPECT_NE(Logged().find("Unit: Payroll"), std::string::npos) << Logged();
}

TEST_F(ExceptionLog, AHandlerThatRaisesIsContained) {
    Log().SetFormats({lfExceptionClassName, lfSourceLine});
    Log().MapFile()->SetMapFileName(WritePayrollMap(Path("app.map")));

    Log().SetOnSaveException(
        TKVLSaveExceptionEvent::FromFunction([](TObject*, Exception&, std::string& text, bool&) {
            text = "changed";
            throw EInvalidOperation("handler broke");
        }));
    ::testing::internal::CaptureStderr();
    RaiseThroughApplication(EDivByZero("handler raised"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("EInvalidOperation: handler broke"), std::string::npos) << err;
    EXPECT_NE(err.find("\r\nClassname: EDivByZero\r\n"), std::string::npos) << err;
    EXPECT_EQ(Messages().back(), "handler raised.");  // the original, not the handler's
    EXPECT_FALSE(LogWritten());
    EXPECT_FALSE(Log().Busy());

    Log().SetOnSaveException(TKVLSaveExceptionEvent());
    RaiseThroughApplication(EDivByZero("normal again"));
    EXPECT_NE(Logged().find("Unit: Payroll"), std::string::npos);
}

// ---- call stacks -------------------------------------------------------------------

// The call stack is an insertion after the source lines: the text around it
// is the report without it, byte for byte, and its first frame is the raise.
TEST_F(ExceptionLog, TheCallStackIsInsertedAfterTheSourceLinesAndChangesNothingElse) {
    Log().MapFile()->SetMapFileName(WritePayrollMap(Path("app.map")));
    const TKVLFormats without{lfPhysAddress, lfExceptionClassName, lfMessage,
                              lfSourceLine,  lfApplication,        lfSeparator};
    EPayrollError e("No employees");
    e.SetRaiseAddress(InPayrollMap(0x12));
    Log().SetFormats(without);
    RaiseThroughApplication(e);
    const std::string plain = Logged();
    Log().SetLogFile(Path("stack.log"));
    Log().SetFormats(TKVLFormats(without).Include(lfCallStack));
    RaiseThroughApplication(e);
    const std::string withStack = Content(Path("stack.log"));

    const size_t sourceEnd = plain.find("Line No: 42") + std::string("Line No: 42").size();
    ASSERT_NE(sourceEnd, std::string::npos) << plain;
    const std::string head = plain.substr(0, sourceEnd), tail = plain.substr(sourceEnd);
    EXPECT_TRUE(withStack.starts_with(
        head + "\r\nCall stack:\r\n  00401012 Payroll Payroll::Run() line 42\r\n  "))
        << withStack;
    EXPECT_TRUE(withStack.ends_with(tail)) << withStack;
    EXPECT_EQ(plain.find("Call stack:"), std::string::npos);
}
