// The exception log: a log component that takes over the application's
// exception handler, decides by an exception's class whether to log it,
// writes a report of it (time, address, class, message, source position from
// the map file, and sections about the application and the machine), and
// answers the user with nothing, the standard message or the error dialog,
// from which the log can be mailed or the support page opened.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "../core/LogBase.h"
#include "KVMapFile.h"
#include "../framework/Application.h"
#include "../framework/Event.h"
#include "../framework/Set.h"

namespace zr {

enum TKVLErrorDialog { edNone, edStandard, edExtended };
ZR_ENUM(TKVLErrorDialog, edNone, edStandard, edExtended);

enum TKVLAOption { laShowSendEMail, laShowSupportLink, laShowSourceLine };
ZR_ENUM(TKVLAOption, laShowSendEMail, laShowSupportLink, laShowSourceLine);
using TKVLAOptions = Set<TKVLAOption>;

enum TKVLFormat {
    lfDate,
    lfTime,
    lfPhysAddress,
    lfExceptionClassName,
    lfMessage,
    lfSeparator,
    lfSourceLine,
    lfApplication,
    lfActiveControl,
    lfComputerInfo,
    lfOSInfo,
    lfCPUInfo,
    lfMemoryInfo,
    lfVideoCard,
    lfCallStack  // last, so that every stored mask keeps its meaning
};
ZR_ENUM(TKVLFormat, lfDate, lfTime, lfPhysAddress, lfExceptionClassName, lfMessage, lfSeparator,
        lfSourceLine, lfApplication, lfActiveControl, lfComputerInfo, lfOSInfo, lfCPUInfo,
        lfMemoryInfo, lfVideoCard, lfCallStack);
using TKVLFormats = Set<TKVLFormat>;

// Each ef value stands for the framework exception class of the same name
// with "E" for "ef"; the filter tests them in the order of these three lists.
enum TKVExceptionStandard {
    efAbort,
    efOutOfMemory,
    efInOutError,
    efIntError,
    efDivByZero,
    efRangeError,
    efIntOverflow,
    efMathError,
    efInvalidOp,
    efZeroDivide,
    efOverflow,
    efUnderflow,
    efInvalidPointer,
    efInvalidCast,
    efConvertError,
    efAccessViolation,
    efPrivilege,
    efStackOverflow,
    efControlC,
    efVariantError,
    efPropReadOnly,
    efPropWriteOnly,
    efExternalException,
    efAssertionFailed,
    efAbstractError,
    efIntfCastError,
    efInvalidContainer,
    efInvalidInsert,
    efPackageError,
    efWin32Error
};
ZR_ENUM(TKVExceptionStandard, efAbort, efOutOfMemory, efInOutError, efIntError, efDivByZero,
        efRangeError, efIntOverflow, efMathError, efInvalidOp, efZeroDivide, efOverflow,
        efUnderflow, efInvalidPointer, efInvalidCast, efConvertError, efAccessViolation,
        efPrivilege, efStackOverflow, efControlC, efVariantError, efPropReadOnly, efPropWriteOnly,
        efExternalException, efAssertionFailed, efAbstractError, efIntfCastError,
        efInvalidContainer, efInvalidInsert, efPackageError, efWin32Error);
using TKVExceptionStandards = Set<TKVExceptionStandard>;

enum TKVExceptionClass {
    efStreamError,
    efFCreateError,
    efFOpenError,
    efFilerError,
    efReadError,
    efWriteError,
    efClassNotFound,
    efMethodNotFound,
    efInvalidImage,
    efResNotFound,
    efListError,
    efBitsError,
    efStringListError,
    efComponentError,
    efParserError,
    efOutOfResources,
    efInvalidOperation,
    efThread
};
ZR_ENUM(TKVExceptionClass, efStreamError, efFCreateError, efFOpenError, efFilerError, efReadError,
        efWriteError, efClassNotFound, efMethodNotFound, efInvalidImage, efResNotFound, efListError,
        efBitsError, efStringListError, efComponentError, efParserError, efOutOfResources,
        efInvalidOperation, efThread);
using TKVExceptionClasses = Set<TKVExceptionClass>;

enum TKVExceptionGraphic { efInvalidGraphic, efInvalidGraphicOperation };
ZR_ENUM(TKVExceptionGraphic, efInvalidGraphic, efInvalidGraphicOperation);
using TKVExceptionGraphics = Set<TKVExceptionGraphic>;

// The defaults, as the masks that form files store.
inline constexpr TKVExceptionStandards KVLAllStandardExceptions =
    TKVExceptionStandards::FromMask(0x3FFFFFFF);
inline constexpr TKVExceptionClasses KVLAllClassExceptions = TKVExceptionClasses::FromMask(0x3FFFF);
inline constexpr TKVExceptionGraphics KVLAllGraphicExceptions = TKVExceptionGraphics::FromMask(3);
inline constexpr TKVLFormats KVLDefaultFormats{lfDate,          lfTime,        lfPhysAddress,
                                               lfMessage,       lfSeparator,   lfApplication,
                                               lfActiveControl, lfComputerInfo};  // 951
inline constexpr TKVLAOptions KVLDefaultAOptions{laShowSendEMail, laShowSupportLink};

// Raised with each composed report before it is written: the handler may
// change LogText, or clear Accept to keep the report out of the log.
using TKVLSaveExceptionEvent =
    TClosure<TObject* /*Sender*/, Exception& /*E*/, std::string& /*LogText*/, bool& /*Accept*/>;

// Raised with each event before it goes to the crash collector: the handler
// may change the event (JSON) or the report text that travels with it
// (scrub a path, a name), or clear Accept to keep the report on the machine.
using TKVLCollectorEvent = TClosure<TObject* /*Sender*/, Exception& /*E*/,
                                    std::string& /*EventJson*/, std::string& /*ReportText*/,
                                    bool& /*Accept*/>;

class TKVCollectorLink;

class TKVExceptionLog : public TKVLogBase {
    ZR_CLASS(TKVExceptionLog, TKVLogBase)
  public:
    // Points the map file reader at the executable's map (its path with
    // ".map") and, outside the designer, installs DoException as the
    // application's exception handler after keeping the one installed
    // before. The handler is installed whatever Active holds: Active only
    // decides whether reports are written and the configured dialog shown.
    explicit TKVExceptionLog(TComponent* owner);
    // Clears the application's exception handler (it does not put the saved
    // one back).
    ~TKVExceptionLog() override;

    // The application's exception handler. Calls the handler installed
    // before this one and OnException, then, when Active and the class
    // filter lets E through, writes the report and answers by ErrorDialog;
    // otherwise shows the standard message. An exception that arrives while
    // one is being handled gets the standard message only.
    //
    // A map file that cannot be read, or a lookup in it that fails, only
    // leaves the source section empty: the report is written and the
    // dialog shown as usual. Any other failure of its own (the log cannot be
    // written, a handler raises, the dialog cannot be made) never leaves
    // here: the user gets the standard message for E, the report that could
    // not be written goes to standard error, and the next exception is
    // handled normally.
    void DoException(TObject* sender, Exception& e);

    // Whether the class filter lets E through: the first of the 50 filter
    // classes that E is an instance of decides; a class matching none is
    // logged.
    bool IsLogged(const Exception& e) const;

    // The report for E as DoException writes it, from the current Formats.
    std::string ComposeReport(const Exception& e);

    // The support page (SendLogByWWW); the error dialog's web button.
    void ActiveWeb(TObject* sender);
    // Mails the log (SendLogByMail) with or without a screenshot; the
    // SendTo.AttachScreenShot setting is put back afterwards, also when the
    // mail fails. The error dialog's mail button.
    void ActivateMail(TObject* sender, bool includeScreenshot);

    // ---- report sections, from the map file's last lookup and the system ----
    std::string GetFormattedSource();
    std::string GetApplicationDetails();
    std::string GetActiveControlDetails();
    std::string GetComputerInfo();
    std::string GetOSInfo();
    // `measureClock` also measures the clock rate (blocks about half a second).
    std::string GetCPUInfo(bool measureClock);
    std::string GetMemoryInfo();
    std::string GetVideoCardInfo();
    // "Call stack:" and the frames of E from where it was raised; only the
    // raise address when no stack was taken at the throw.
    std::string GetCallStack(const Exception& e);

    // ---- published ----
    TKVLErrorDialog ErrorDialog() const { return errorDialog_; }
    void SetErrorDialog(TKVLErrorDialog value) { errorDialog_ = value; }
    TKVExceptionStandards FilterStandard() const { return filterStandard_; }
    void SetFilterStandard(TKVExceptionStandards value) { filterStandard_ = value; }
    TKVExceptionClasses FilterClasses() const { return filterClasses_; }
    void SetFilterClasses(TKVExceptionClasses value) { filterClasses_ = value; }
    TKVExceptionGraphics FilterGraphics() const { return filterGraphics_; }
    void SetFilterGraphics(TKVExceptionGraphics value) { filterGraphics_ = value; }
    TKVLFormats Formats() const { return formats_; }
    void SetFormats(TKVLFormats value);
    TKVLAOptions Options() const { return options_; }
    void SetOptions(TKVLAOptions value) { options_ = value; }
    // Call stacks as the map names them: every frame of call plumbing and
    // each name as demangled, instead of the short, folded form.
    bool WholeCallStack() const { return wholeCallStack_; }
    void SetWholeCallStack(bool value) { wholeCallStack_ = value; }
    const TExceptionEvent& OnException() const { return onException_; }
    void SetOnException(const TExceptionEvent& handler) { onException_ = handler; }
    const TKVLSaveExceptionEvent& OnSaveException() const { return onSaveException_; }
    void SetOnSaveException(const TKVLSaveExceptionEvent& handler) { onSaveException_ = handler; }
    const TKVLCollectorEvent& OnCollectorEvent() const { return onCollectorEvent_; }
    void SetOnCollectorEvent(const TKVLCollectorEvent& handler) { onCollectorEvent_ = handler; }

    // ---- state ----
    // Set while DoException handles an exception.
    bool Busy() const { return busy_; }
    // The application's handler when this component installed its own.
    const TExceptionEvent& PrevOnException() const { return prevOnException_; }
    TKVMapFile* MapFile() const { return mapFile_.get(); }
    // The id the crash collector knows the last report of this log by
    // (32 hex digits); "" when none went to a collector.
    const std::string& LastEventId() const { return lastEventId_; }
    // The link to the crash collector (off without one).
    const TKVCollectorLink& Collector() const { return *collector_; }

    // Also starts reading the map ahead when the log reports source lines,
    // and connects the crash collector: a malformed collector address
    // raises ECollectorError and leaves the log inactive.
    void SetActive(bool value) override;
    void Loaded() override;

  protected:
    // The journal entry of a report (Journal True): priority error,
    // ZR_EXCEPTION_CLASS, CODE_FILE, CODE_LINE and CODE_FUNC of the raise as
    // the map names them (each only when found), and ZR_COLLECTOR_EVENT_ID
    // when the report went to a collector. Other texts are info.
    void JournalDetails(TKVLJournalDetails& details) const override;

  private:
    TKVLJournalDetails ReportJournalDetails(const Exception& e) const;
    void ReadMapAheadWhenReported();
    void UpdateCallStackRequest();
    void HandleLogged(TObject* sender, Exception& e, std::string& unwritten);
    void LookUpSource();
    void ShowErrorDialog(Exception& e);
    void ReportFailure(const Exception& original, const std::string& unwritten);
    void ConnectCollector();
    void SendToCollector(TObject* sender, Exception& e, const std::string& report);

    bool busy_ = false;
    TExceptionEvent prevOnException_;
    TExceptionEvent onException_;
    TKVLSaveExceptionEvent onSaveException_;
    TKVLCollectorEvent onCollectorEvent_;
    std::unique_ptr<TKVCollectorLink> collector_;
    std::string lastEventId_;
    TKVLErrorDialog errorDialog_ = edExtended;
    TKVExceptionStandards filterStandard_ = KVLAllStandardExceptions;
    TKVExceptionClasses filterClasses_ = KVLAllClassExceptions;
    TKVExceptionGraphics filterGraphics_ = KVLAllGraphicExceptions;
    TKVLFormats formats_ = KVLDefaultFormats;
    TKVLAOptions options_ = KVLDefaultAOptions;
    std::atomic<bool> wholeCallStack_{false};  // read by the last report too
    std::unique_ptr<TKVMapFile> mapFile_;
    // This log asks every throw for its call stack (active, lfCallStack set).
    bool requestsCallStacks_ = false;
    // The journal details of the report being written; none otherwise.
    std::optional<TKVLJournalDetails> reportJournal_;
    // The event id a crash collector knows the report being written by;
    // empty while reports go to no collector. Whatever sends the report to
    // a collector sets it before the report is written.
    std::string collectorEventId_;
};

}  // namespace zr
