#include "exception/LogError.h"

#include <unistd.h>

#include <optional>
#include <string_view>
#include <vector>

#include "exception/CallStackText.h"
#include "exception/CollectorReports.h"
#include "exception/LibraryFrames.h"
#include "exception/LogDlg.h"
#include "exception/LastReport.h"
#include "exception/ReportSections.h"
#include "framework/DateUtils.h"
#include "framework/ExceptAddr.h"
#include "framework/Format.h"
#include "framework/Forms.h"
#include "framework/Graphics.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"
#include "framework/JpegWriter.h"
#include "framework/ScreenShot.h"
#include "platform/CollectorEnvelope.h"
#include "platform/CollectorOutbox.h"
#include "platform/FaultSignals.h"
#include "platform/JsonText.h"

namespace zr {

ZR_REGISTER_CLASS(TKVExceptionLog, c) {
    c.Property("ErrorDialog", &TKVExceptionLog::ErrorDialog, &TKVExceptionLog::SetErrorDialog)
        .Default(edExtended);
    c.Property("FilterStandard", &TKVExceptionLog::FilterStandard,
               &TKVExceptionLog::SetFilterStandard)
        .Default(KVLAllStandardExceptions);
    c.Property("FilterClasses", &TKVExceptionLog::FilterClasses, &TKVExceptionLog::SetFilterClasses)
        .Default(KVLAllClassExceptions);
    c.Property("FilterGraphics", &TKVExceptionLog::FilterGraphics,
               &TKVExceptionLog::SetFilterGraphics)
        .Default(KVLAllGraphicExceptions);
    c.Property("Formats", &TKVExceptionLog::Formats, &TKVExceptionLog::SetFormats)
        .Default(KVLDefaultFormats);
    c.Property("Options", &TKVExceptionLog::Options, &TKVExceptionLog::SetOptions)
        .Default(KVLDefaultAOptions);
    c.Property("WholeCallStack", &TKVExceptionLog::WholeCallStack,
               &TKVExceptionLog::SetWholeCallStack)
        .Default(false);
    c.Property("OnException", &TKVExceptionLog::OnException, &TKVExceptionLog::SetOnException);
    c.Property("OnSaveException", &TKVExceptionLog::OnSaveException,
               &TKVExceptionLog::SetOnSaveException);
    c.Property("OnCollectorEvent", &TKVExceptionLog::OnCollectorEvent,
               &TKVExceptionLog::SetOnCollectorEvent);
}

// ---- the class filter ----------------------------------------------------------

namespace {

enum class FilterGroup { Standard, Classes, Graphics };

struct FilterEntry {
    FilterGroup group;
    int value;
    std::string className;
};

template <class E>
void AppendGroup(std::vector<FilterEntry>& table, FilterGroup group) {
    const auto& names = EnumInfo<E>().Names;
    // The value efFCreateError stands for the class EFCreateError: the names
    // carry the classes, so the table cannot drift from the enumerations.
    for (std::size_t i = 0; i < names.size(); ++i)
        table.push_back({group, static_cast<int>(i), "E" + names[i].substr(2)});
}

// The 50 classes in the order they are tested: the first one E belongs to decides.
const std::vector<FilterEntry>& FilterOrder() {
    static const std::vector<FilterEntry> table = [] {
        std::vector<FilterEntry> t;
        AppendGroup<TKVExceptionStandard>(t, FilterGroup::Standard);
        AppendGroup<TKVExceptionClass>(t, FilterGroup::Classes);
        AppendGroup<TKVExceptionGraphic>(t, FilterGroup::Graphics);
        return t;
    }();
    return table;
}

// What failed while an exception was being handled, for standard error.
std::string DescribeCurrentFailure() {
    try {
        throw;
    } catch (const Exception& failure) {
        return std::string(failure.ClassName()) + ": " + failure.Message();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

void WriteToStandardError(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;  // nowhere left to tell
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

bool TKVExceptionLog::IsLogged(const Exception& e) const {
    for (const FilterEntry& entry : FilterOrder()) {
        if (!e.InheritsFrom(entry.className)) continue;
        switch (entry.group) {
            case FilterGroup::Standard:
                return filterStandard_.Contains(static_cast<TKVExceptionStandard>(entry.value));
            case FilterGroup::Classes:
                return filterClasses_.Contains(static_cast<TKVExceptionClass>(entry.value));
            case FilterGroup::Graphics:
                return filterGraphics_.Contains(static_cast<TKVExceptionGraphic>(entry.value));
        }
    }
    return true;
}

// ---- life --------------------------------------------------------------------

TKVExceptionLog::TKVExceptionLog(TComponent* owner)
    : TKVLogBase(owner),
      collector_(std::make_unique<TKVCollectorLink>()),
      mapFile_(std::make_unique<TKVMapFile>()) {
    mapFile_->SetMapFileName(ChangeFileExt(Application->ExeName(), ".map"));
    if (!ComponentState().Contains(csDesigning)) {
        prevOnException_ = Application->OnException();
        Application->SetOnException(TExceptionEvent(this, &TKVExceptionLog::DoException));
        RegisterForLastReport(this);
    }
}

TKVExceptionLog::~TKVExceptionLog() {
    if (requestsCallStacks_) ReleaseCallStacks();
    UnregisterFromLastReport(this);
    // Cleared, not set back: an earlier handler may be gone by now.
    if (Application != nullptr) Application->SetOnException(TExceptionEvent());
}

void TKVExceptionLog::SetActive(bool value) {
    TKVLogBase::SetActive(value);
    if (collector_ != nullptr) {
        if (value)
            ConnectCollector();
        else
            collector_->Deactivate();
    }
    UpdateCallStackRequest();
    ReadMapAheadWhenReported();
}

void TKVExceptionLog::Loaded() {
    TKVLogBase::Loaded();
    // Active came before SendTo in the form file: the collector is known now.
    if (Active()) {
        ConnectCollector();
        ReadMapAheadWhenReported();
    }
}

void TKVExceptionLog::ConnectCollector() {
    const TComponentState state = ComponentState();
    if (state.Contains(csDesigning) || state.Contains(csLoading)) return;
    try {
        collector_->Activate(*SendTo(), LogFile());
    } catch (...) {
        TKVLogBase::SetActive(false);
        UpdateCallStackRequest();
        throw;
    }
}

void TKVExceptionLog::SetFormats(TKVLFormats value) {
    formats_ = value;
    UpdateCallStackRequest();
    ReadMapAheadWhenReported();
}

// Throws pay for their call stacks only while some log will print them.
void TKVExceptionLog::UpdateCallStackRequest() {
    const bool wanted =
        Active() && formats_.Contains(lfCallStack) && !ComponentState().Contains(csDesigning);
    if (wanted == requestsCallStacks_) return;
    requestsCallStacks_ = wanted;
    if (wanted) {
        RequestCallStacks();
        // A last report can only name library procedures read beforehand.
        PrepareLibraryNamesAhead();
    } else
        ReleaseCallStacks();
}

// A last report cannot read the map where it is written: it is read now, on
// a thread of its own, for a log whose reports name source lines or call
// stacks.
void TKVExceptionLog::ReadMapAheadWhenReported() {
    if (Active() && (formats_.Contains(lfSourceLine) || formats_.Contains(lfCallStack) ||
                     collector_->Enabled()))
        ReadMapAheadForLastReport(this);
}

// ---- handling ----------------------------------------------------------------

void TKVExceptionLog::DoException(TObject* sender, Exception& e) {
    if (busy_) {
        // The handling under way keeps Busy; this one gets the message only.
        Application->ShowException(e);
        return;
    }
    busy_ = true;
    const std::weak_ptr<const void> alive = Liveness();
    // Called directly, outside the framework's handling: describe E itself.
    std::optional<TExceptionScope> scope;
    if (ExceptObject() == nullptr) scope.emplace(e);
    std::string unwritten;
    try {
        if (prevOnException_) prevOnException_(sender, e);
        if (onException_) onException_(sender, e);
        if (alive.expired()) return;
        if (Active() && IsLogged(e))
            HandleLogged(sender, e, unwritten);
        else
            Application->ShowException(e);
    } catch (...) {
        // Whatever failed must not end the handling of later exceptions, nor
        // reach the framework in place of the exception the user should see.
        ReportFailure(e, unwritten);
    }
    if (!alive.expired()) busy_ = false;
}

void TKVExceptionLog::HandleLogged(TObject* sender, Exception& e, std::string& unwritten) {
    // A fault while the report is made cannot become an exception of its
    // own: it ends the process with a last report instead.
    std::optional<os::TFaultReportingScope> reporting(std::in_place);
    const bool writes = !LogFile().empty();
    const bool collects = collector_->Enabled();
    if (options_.Contains(laShowSourceLine) || formats_.Contains(lfSourceLine) ||
        formats_.Contains(lfCallStack) || collects || (writes && Journal()))
        LookUpSource();
    if (writes || collects) {
        std::string text = ComposeReport(e);
        unwritten = text;
        bool accept = true;
        if (onSaveException_) {
            // A fault in the handler ends the process: the report goes first.
            const TPendingReport pending(this, unwritten);
            onSaveException_(sender, e, text, accept);
        }
        if (accept) {
            unwritten = text;
            // The journal's copy names the id the collector will know the
            // report by, so the two can be found from each other.
            collectorEventId_ = collects ? os::envelope::NewEventId() : std::string();
            if (writes) {
                if (Journal()) reportJournal_ = ReportJournalDetails(e);
                struct Forget {
                    std::optional<TKVLJournalDetails>& details;
                    ~Forget() { details.reset(); }
                } forget{reportJournal_};
                WriteAsString(text);
            }
            if (collects) SendToCollector(sender, e, text);
        }
        unwritten.clear();
    }
    reporting.reset();
    switch (errorDialog_) {
        case edNone:
            break;
        case edStandard:
            Application->ShowException(e);
            break;
        case edExtended:
            ShowErrorDialog(e);
            break;
    }
}

TKVLJournalDetails TKVExceptionLog::ReportJournalDetails(const Exception& e) const {
    TKVLJournalDetails details;
    details.Priority = os::TJournalPriority::Error;
    details.Fields.Add("ZR_EXCEPTION_CLASS", e.ClassName());
    if (mapFile_->DataLoaded()) {
        const std::string& file =
            mapFile_->SourceFile().empty() ? mapFile_->UnitName() : mapFile_->SourceFile();
        if (!file.empty()) details.Fields.Add("CODE_FILE", file);
        if (mapFile_->LineNumber() > 0)
            details.Fields.Add("CODE_LINE", static_cast<std::uint64_t>(mapFile_->LineNumber()));
        if (!mapFile_->ProcedureName().empty())
            details.Fields.Add("CODE_FUNC", mapFile_->ProcedureName());
    }
    if (!collectorEventId_.empty()) details.Fields.Add("ZR_COLLECTOR_EVENT_ID", collectorEventId_);
    return details;
}

void TKVExceptionLog::JournalDetails(TKVLJournalDetails& details) const {
    if (reportJournal_) details = *reportJournal_;
}

void TKVExceptionLog::LookUpSource() {
    try {
        mapFile_->LoadExceptionData(nullptr);
    } catch (...) {
        // A map that cannot be read (or a lookup that fails) costs the report
        // its source position and nothing else: the failed lookup left
        // DataLoaded clear, so the source section comes out empty, and the
        // report is still written and the dialog still shown.
    }
}

void TKVExceptionLog::ReportFailure(const Exception& original, const std::string& unwritten) {
    std::string note = ExtractFileName(Application->ExeName()) +
                       ": the exception log could not handle " + original.ClassName() + " (" +
                       DescribeCurrentFailure() + ")\n";
    if (!unwritten.empty()) note += "The report that could not be written follows.\n" + unwritten;
    WriteToStandardError(note);
    try {
        Application->ShowException(original);
    } catch (...) {
        WriteToStandardError(std::string(original.ClassName()) + ": " + original.Message() + "\n");
    }
}

std::string TKVExceptionLog::ComposeReport(const Exception& e) {
    std::optional<TExceptionScope> scope;
    if (ExceptObject() == nullptr) scope.emplace(e);
    const TKVLFormats f = formats_;
    std::string report;
    if (f.Contains(lfDate)) report += FormatDateTime("c", Date()) + " ";
    if (f.Contains(lfTime)) report += FormatDateTime("tt", Time()) + " ";
    if (f.Contains(lfPhysAddress))
        report += Format("Phys.addr: %p", {static_cast<const void*>(ExceptAddr())}) + " ";
    if (f.Contains(lfExceptionClassName)) report += Format("\r\nClassname: %s", {e.ClassName()});
    if (f.Contains(lfMessage)) {
        std::string description = ExceptionErrorMessage(*ExceptObject(), ExceptAddr());
        if (description.size() > 1024) description.resize(1024);
        report += Format("\r\nMessage: %s", {description});
    }
    if (f.Contains(lfSourceLine)) report += GetFormattedSource();
    if (f.Contains(lfCallStack)) {
        // On a line of its own, whatever the sections before it ended with.
        if (report.size() < 2 || report.compare(report.size() - 2, 2, "\r\n") != 0)
            report += "\r\n";
        report += GetCallStack(e);
    }
    if (f.Contains(lfApplication)) report += GetApplicationDetails();
    if (f.Contains(lfActiveControl)) report += GetActiveControlDetails();
    if (f.Contains(lfComputerInfo)) report += GetComputerInfo();
    if (f.Contains(lfOSInfo)) report += GetOSInfo();
    if (f.Contains(lfCPUInfo)) report += GetCPUInfo(false);
    if (f.Contains(lfMemoryInfo)) report += GetMemoryInfo();
    if (f.Contains(lfVideoCard)) report += GetVideoCardInfo();
    if (f.Contains(lfSeparator)) report += report::Separator;
    report += "\r\n";
    return report;
}

// ---- the crash collector -------------------------------------------------------

void TKVExceptionLog::SendToCollector(TObject* sender, Exception& e, const std::string& report) {
    TEventFacts facts = collector_->CommonFacts();
    facts.EventId = collectorEventId_.empty() ? os::envelope::NewEventId() : collectorEventId_;
    facts.Timestamp = static_cast<double>(os::collector::NowMillis()) / 1000;
    facts.ClassName = e.ClassName();
    facts.Message = e.Message();
    TCallStack stack = CallStackOf(e);
    if (stack.Count == 0 && ExceptAddr() != nullptr)
        stack.Frames[stack.Count++] = RuntimeAddress(ExceptAddr());
    const TKVMapFile* map = mapFile_->MapLoaded() ? mapFile_.get() : nullptr;
    facts.Frames = EventFrames(map, stack.Frames, stack.Count, collector_->Modules());
    facts.Images = EventImages(facts.Frames, collector_->Modules());
    std::string event = ComposeEvent(facts);
    std::string text = report;
    bool accept = true;
    if (onCollectorEvent_) onCollectorEvent_(sender, e, event, text, accept);
    if (!accept) return;
    std::string eventId = facts.EventId;
    if (onCollectorEvent_) {
        // What the handler left must still be an event a collector takes.
        os::json::TValue parsed;
        std::string error;
        if (!os::json::Parse(event, parsed, &error) || parsed.Kind != os::json::TValue::Object ||
            parsed.StringAt("event_id").size() != 32 || event.size() > os::envelope::MaxEventBytes) {
            collector_->Note("The event of report " + facts.EventId +
                             " is no collector event after OnCollectorEvent (" +
                             (error.empty() ? "no event_id, or too large" : error) + "); not sent.");
            return;
        }
        eventId = parsed.StringAt("event_id");
    }
    std::vector<std::uint8_t> picture;
    if (SendTo()->CollectorScreenshot()) {
        TBitmap bitmap;
        bitmap.SetSize(Screen->Width(), Screen->Height());
        CaptureScreen(bitmap);
        picture = EncodeJpeg(bitmap);
    }
    const std::string id = collector_->Queue(event, eventId, text, picture, "jpg");
    if (!id.empty()) lastEventId_ = id;
}

// ---- the error dialog ----------------------------------------------------------

void TKVExceptionLog::ShowErrorDialog(Exception& e) {
    auto* dialog = new TfrmKVLogErrorDialog(this);
    const std::weak_ptr<const void> dialogAlive = dialog->Liveness();
    // Frees the dialog however showing it ends, unless its owner (this
    // component, or what owns it) already took it along.
    struct Freer {
        TfrmKVLogErrorDialog* dialog;
        const std::weak_ptr<const void>& alive;
        ~Freer() {
            if (!alive.expired()) delete dialog;
        }
    } freer{dialog, dialogAlive};

    TIcon icon;
    icon.SetHandle(LoadIcon(nullptr, IDI_HAND));
    dialog->SetIcon(&icon);
    dialog->imgError->Picture()->SetIcon(&icon);
    dialog->SetCaption("Error");
    dialog->btnClose->SetCaption("&Close");
    dialog->SetOnActivateWeb(TNotifyEvent(this, &TKVExceptionLog::ActiveWeb));
    dialog->SetOnActivateMail(TKVOnActivateMail(this, &TKVExceptionLog::ActivateMail));

    const TKVLDialogOptions delivery = SendTo()->Options();
    if (options_.Contains(laShowSendEMail)) {
        dialog->btnEmail->SetCaption("Email to author");
        dialog->btnEmail->SetVisible(delivery.Contains(doEmail));
        if (delivery.Contains(doScreenshot)) {
            TCheckBox* box = dialog->cbAttachScreenshot;
            box->SetCaption("to attach screenshot");
            box->SetVisible(true);
            // The box lies below the buttons, outside the layout's client area.
            dialog->SetClientHeight(dialog->ClientHeight() + box->Height() + 5);
        }
    }
    if (delivery.Contains(doWeb) && options_.Contains(laShowSupportLink)) {
        dialog->btnGoWEB->SetCaption("Support homepage");
        dialog->btnGoWEB->SetVisible(true);
        // Without a mail button the web button takes its place.
        if (!options_.Contains(laShowSendEMail))
            dialog->btnGoWEB->SetLeft(dialog->btnEmail->Left());
    }
    std::string text = e.Message();
    if (options_.Contains(laShowSourceLine)) text += GetFormattedSource();
    dialog->lblErrorText->SetText(text);

    dialog->ShowModal();
}

void TKVExceptionLog::ActiveWeb(TObject* sender) {
    SendLogByWWW();
}

void TKVExceptionLog::ActivateMail(TObject* sender, bool includeScreenshot) {
    TKVLSendTo* settings = SendTo();
    const bool remembered = settings->AttachScreenShot();
    settings->SetAttachScreenShot(includeScreenshot);
    try {
        SendLogByMail();
    } catch (...) {
        settings->SetAttachScreenShot(remembered);
        throw;
    }
    settings->SetAttachScreenShot(remembered);
}

// ---- report sections -----------------------------------------------------------

std::string TKVExceptionLog::GetFormattedSource() {
    return report::SourceSection(mapFile_->DataLoaded(), mapFile_->UnitName(),
                                 mapFile_->ProcedureName(), mapFile_->LineNumber());
}

std::string TKVExceptionLog::GetApplicationDetails() {
    std::vector<std::string> parameters;
    for (int i = 1; i <= ParamCount(); ++i) parameters.push_back(ParamStr(i));
    return report::ApplicationSection(Application->ExeName(), Application->Title(), parameters);
}

std::string TKVExceptionLog::GetActiveControlDetails() {
    report::ActiveState state;
    if (TForm* form = Screen->ActiveForm()) {
        state.hasForm = true;
        state.formName = form->Name();
        if (TCustomForm* custom = Screen->ActiveCustomForm())
            state.customFormCaption = custom->Caption();
    }
    if (TWinControl* control = Screen->ActiveControl()) {
        state.hasControl = true;
        state.controlName = control->Name();
    }
    return report::ActiveControlSection(state);
}

std::string TKVExceptionLog::GetComputerInfo() {
    return report::ComputerSection();
}

std::string TKVExceptionLog::GetOSInfo() {
    return report::OSSection(report::RunningOSVersion());
}

std::string TKVExceptionLog::GetCPUInfo(bool measureClock) {
    return report::CPUSection(measureClock);
}

std::string TKVExceptionLog::GetMemoryInfo() {
    return report::MemorySection();
}

std::string TKVExceptionLog::GetVideoCardInfo() {
    return report::VideoSection();
}

std::string TKVExceptionLog::GetCallStack(const Exception& e) {
    TCallStack stack = CallStackOf(e);
    // Libraries loaded since the log became active, for a later last report.
    PrepareLibraryNamesAhead();
    if (stack.Count == 0 && ExceptAddr() != nullptr)
        stack.Frames[stack.Count++] = RuntimeAddress(ExceptAddr());
    const TKVMapFile* map = mapFile_->MapLoaded() ? mapFile_.get() : nullptr;
    return CallStackSection(map, stack.Frames, stack.Count,
                            wholeCallStack_ ? TFrameStyle::Whole : TFrameStyle::Readable,
                            {stack.OmittedAfter, stack.Omitted});
}

}  // namespace zr
