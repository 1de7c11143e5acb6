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

    // A map whose only unit covers the offsets 0 to 0xFF of the code.
    std::string WriteMap() {
        const std::string path = Path("app.map");
        std::ofstream(path, std::ios::binary)
            << "\n Start         Length     Name   Class\n"
               " 0001:00401000 00001000H .text  CODE\n\n"
               "Detailed map of segments\n\n"
               " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=Payroll ACBP=A9\n\n"
               "  Address         Publics by Name\n\n"
               " 0001:00000000       Payroll::Run()\n\n"
               "  Address         Publics by Value\n\n\n"
               " 0001:00000000       Payroll::Run()\n"
               " 0001:00000080       Payroll::Close()\n\n"
               "Line numbers for Payroll(payroll.cpp) segment .text\n\n"
               "    41 0001:00000000    42 0001:00000010    43 0001:00000030\n";
        return path;
    }
    static void* InMap(std::uintptr_t offset) {
        return reinterpret_cast<void*>(std::uintptr_t{TKVMapFile::kCodeBase} + offset);
    }
};

// Everything in the report after the first line (date, time and address).
std::string AfterFirstLine(const std::string& report) {
    const auto end = report.find("\r\n");
    return end == std::string::npos ? std::string() : report.substr(end);
}

}  // namespace

// ---- creation and the handler chain -----------------------------------------------

TEST_F(ExceptionLog, ANewComponentHasItsDefaultsAndTakesOverTheHandler) {
    TKVExceptionLog& log = Log();
    EXPECT_EQ(log.ErrorDialog(), edStandard);  // the fixture's choice; the class's is next
    TKVExceptionLog fresh(nullptr);
    EXPECT_EQ(fresh.ErrorDialog(), edExtended);
    EXPECT_EQ(fresh.FilterStandard().Mask(), 0x3FFFFFFFu);
    EXPECT_EQ(fresh.FilterClasses().Mask(), 0x3FFFFu);
    EXPECT_EQ(fresh.FilterGraphics().Mask(), 3u);
    EXPECT_EQ(fresh.Formats().Mask(), 951u);
    EXPECT_EQ(fresh.Options().Mask(), 3u);
    EXPECT_FALSE(fresh.Active());
    EXPECT_EQ(fresh.LogFile(), "kvevents.log");
    EXPECT_EQ(fresh.MapFile()->MapFileName(), ChangeFileExt(Application->ExeName(), ".map"));
    EXPECT_FALSE(fresh.MapFile()->MapLoaded());  // not read before it is needed

    // The newest instance is the application's handler and keeps the one before.
    EXPECT_TRUE(Application->OnException() ==
                TExceptionEvent(&fresh, &TKVExceptionLog::DoException));
    EXPECT_TRUE(fresh.PrevOnException() == TExceptionEvent(&log, &TKVExceptionLog::DoException));

    // Defaults are what form files leave out.
    for (const char* name :
         {"ErrorDialog", "FilterStandard", "FilterClasses", "FilterGraphics", "Formats", "Options"})
        EXPECT_FALSE(IsStoredProp(&fresh, *GetPropInfo(&fresh, name))) << name;
    EXPECT_TRUE(IsStoredProp(&fresh, *GetPropInfo(&fresh, "Active")));
}

TEST_F(ExceptionLog, DestroyingClearsTheHandlerAndTheDesignerInstallsNone) {
    const TExceptionEvent earlier = Application->OnException();
    {
        TComponent designed(nullptr);
        designed.SetComponentStateFlag(csDesigning, true);
        auto* log = new TKVExceptionLog(&designed);
        EXPECT_TRUE(Application->OnException() == earlier);
        EXPECT_FALSE(log->PrevOnException());
    }
    // Cleared even by the instance that never installed a handler.
    EXPECT_FALSE(Application->OnException());

    auto later = std::make_unique<TKVExceptionLog>(nullptr);
    later.reset();
    EXPECT_FALSE(Application->OnException());  // not set back to the earlier one
}

TEST_F(ExceptionLog, EveryInstanceOfAChainWritesItsOwnReport) {
    TKVExceptionLog second(nullptr);
    second.SetLogFile(Path("second.log"));
    second.SetActive(true);
    second.SetErrorDialog(edNone);
    RaiseThroughApplication(EConvertError("'x' is not a valid integer value"));
    EXPECT_NE(Logged().find("'x' is not a valid integer value"), std::string::npos);
    EXPECT_NE(Content(Path("second.log")).find("'x' is not a valid integer value"),
              std::string::npos);
    EXPECT_EQ(Messages().size(), 1u);  // the first instance's edStandard
}

TEST_F(ExceptionLog, AnInactiveComponentPassesEveryExceptionOnAndWritesNothing) {
    std::vector<std::string> calls;
    Application->SetOnException(TExceptionEvent::FromFunction(
        [&](TObject*, Exception& e) { calls.push_back("earlier " + e.Message()); }));
    TKVExceptionLog log(nullptr);
    log.SetLogFile(Path("inactive.log"));
    log.SetOnException(TExceptionEvent::FromFunction([&](TObject* sender, Exception& e) {
        calls.push_back("own " + e.Message());
        EXPECT_EQ(sender, Application);
    }));
    RaiseThroughApplication(EConvertError("bad number"));
    EXPECT_EQ(calls, (std::vector<std::string>{"earlier bad number", "own bad number"}));
    EXPECT_EQ(Messages(), std::vector<std::string>{"bad number."});
    EXPECT_FALSE(Exists(Path("inactive.log")));
    EXPECT_FALSE(log.Busy());
}

// ---- the class filter ----------------------------------------------------------

TEST_F(ExceptionLog, TheFirstFilterClassAnExceptionBelongsToDecides) {
    TKVExceptionLog& log = Log();
    log.SetFilterStandard(KVLAllStandardExceptions - TKVExceptionStandards{efAccessViolation});
    EXPECT_FALSE(log.IsLogged(EAccessViolation("Access violation")));
    EXPECT_TRUE(log.IsLogged(EConvertError("x")));
    EXPECT_TRUE(log.IsLogged(EPrivilege("x")));  // a sibling of the removed class

    // EDivByZero is an EIntError, which is tested first.
    log.SetFilterStandard(KVLAllStandardExceptions - TKVExceptionStandards{efDivByZero});
    EXPECT_TRUE(log.IsLogged(EDivByZero("Division by zero")));
    log.SetFilterStandard(KVLAllStandardExceptions - TKVExceptionStandards{efIntError});
    EXPECT_FALSE(log.IsLogged(EDivByZero("Division by zero")));
    EXPECT_FALSE(log.IsLogged(ERangeError("x")));
    EXPECT_TRUE(log.IsLogged(EZeroDivide("x")));

    // EOutOfResources is an EOutOfMemory, a standard class tested long before it.
    log.SetFilterStandard(KVLAllStandardExceptions);
    log.SetFilterClasses(KVLAllClassExceptions - TKVExceptionClasses{efOutOfResources});
    EXPECT_TRUE(log.IsLogged(EOutOfResources("x")));
    // Every stream error is an EStreamError, the first class of its list.
    log.SetFilterClasses(KVLAllClassExceptions - TKVExceptionClasses{efFilerError, efReadError});
    EXPECT_TRUE(log.IsLogged(EReadError("x")));
    log.SetFilterClasses(KVLAllClassExceptions - TKVExceptionClasses{efStreamError});
    EXPECT_FALSE(log.IsLogged(EReadError("x")));
    EXPECT_FALSE(log.IsLogged(EFOpenError("x")));
    EXPECT_TRUE(log.IsLogged(EListError("x")));
    log.SetFilterGraphics({efInvalidGraphic});
    EXPECT_FALSE(log.IsLogged(EInvalidGraphicOperation("x")));
    EXPECT_TRUE(log.IsLogged(EInvalidGraphic("x")));

    // Classes outside the fifty are logged whatever the filters hold.
    log.SetFilterStandard({});
    log.SetFilterClasses({});
    log.SetFilterGraphics({});
    EXPECT_TRUE(log.IsLogged(EPayrollError("x")));
    EXPECT_TRUE(log.IsLogged(Exception("x")));
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
    std::string expected = "\r\nMessage: " + ExceptionErrorMessage(same, raisedAt) +
                           Log().GetApplicationDetails() + Log().GetActiveControlDetails() +
                           Log().GetComputerInfo() + "\r\n======\r\n\r\n";
    EXPECT_EQ(AfterFirstLine(report), expected);
    EXPECT_EQ(Messages(), std::vector<std::string>{"'abc' is not a valid integer value."});
}

TEST_F(ExceptionLog, PartsComeInTheirFixedOrderWhateverTheOrderOfTheValues) {
    Log().SetFormats({lfSeparator, lfSourceLine, lfExceptionClassName, lfTime});
    Log().MapFile()->SetMapFileName(WriteMap());
    EPayrollError e("No employees");
    e.SetRaiseAddress(InMap(0x12));
    RaiseThroughApplication(e);
    const std::string report = Logged();
    // The time first (no date), then the class, the source, the separator last.
    EXPECT_EQ(report.find(FormatDateTime("c", Date())), std::string::npos);
    EXPECT_EQ(AfterFirstLine(report),
              "\r\nClassname: EPayrollError\r\n"
              "Unit: Payroll\r\nProcedure: Payroll::Run()\r\nLine No: 42"
              "\r\n======\r\n\r\n");
    EXPECT_TRUE(report.substr(0, report.find("\r\n")).ends_with(" ")) << report;
}

TEST_F(ExceptionLog, EmptyFormatsWriteALineBreakAlone) {
    Log().SetFormats({});
    RaiseThroughApplication(EConvertError("x"));
    EXPECT_EQ(Logged(), "\r\n");
}

TEST_F(ExceptionLog, ConsecutiveReportsAreSeparatedByTheSeparatorLineAndAnEmptyLine) {
    Log().SetFormats({lfExceptionClassName, lfSeparator});
    RaiseThroughApplication(EConvertError("one"));
    RaiseThroughApplication(EDivByZero("two"));
    EXPECT_EQ(Logged(),
              "\r\nClassname: EConvertError\r\n======\r\n\r\n"
              "\r\nClassname: EDivByZero\r\n======\r\n\r\n");
}

TEST_F(ExceptionLog, AReportAboutAnExceptionHandledDirectlyDescribesThatException) {
    // No exception is being handled: the report describes E itself.
    Log().SetFormats({lfPhysAddress, lfMessage});
    EListError e("List index out of bounds (3)");
    e.SetRaiseAddress(InMap(0x40));
    Log().DoException(nullptr, e);
    EXPECT_EQ(Logged(),
              "Phys.addr: 00401040 \r\nMessage: " + ExceptionErrorMessage(e, InMap(0x40)) + "\r\n");
}

// ---- what the application may change -------------------------------------------------

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
    // The rejected report still gets its answer.
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
    EXPECT_EQ(Logged().find("loud"), std::string::npos);
    EXPECT_FALSE(Log().Busy());
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

    // The next exception is handled normally.
    Log().SetLogFile(Path("kvevents.log"));
    RaiseThroughApplication(EDivByZero("next"));
    EXPECT_EQ(Logged(), "\r\nClassname: EDivByZero\r\n======\r\n\r\n");
}

TEST_F(ExceptionLog, AMapThatCannotBeReadOrAHandlerThatRaisesIsContained) {
    Log().SetFormats({lfExceptionClassName, lfSourceLine});
    const std::string map = WriteMap();
    Log().MapFile()->SetMapFileName(map);
    {
        TFileStream holder(map, fmOpenReadWrite | fmShareExclusive);
        ::testing::internal::CaptureStderr();
        RaiseThroughApplication(EConvertError("map locked"));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("EFOpenError"), std::string::npos) << err;
        // Everything but the source position is kept.
        EXPECT_NE(err.find("\r\nClassname: EConvertError\r\n"), std::string::npos) << err;
        EXPECT_EQ(Messages().back(), "map locked.");
        EXPECT_FALSE(Log().Busy());
    }

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
    EXPECT_EQ(Messages().back(), "normal again.");
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
    EXPECT_FALSE(Log().Busy());

    answerer.whileOpen = nullptr;
    RaiseThroughApplication(EListError("second"));
    EXPECT_EQ(Logged(), "\r\nClassname: EConvertError\r\n\r\nClassname: EListError\r\n");
    EXPECT_EQ(answerer.seen.size(), 2u);
}
