#include "exception/CollectorReports.h"

#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "exception/KVMapFile.h"
#include "exception/ReportSections.h"
#include "framework/Application.h"
#include "framework/ExceptAddr.h"
#include "framework/FaultExceptions.h"
#include "framework/SysUtils.h"
#include "platform/CollectorEnvelope.h"
#include "platform/CollectorSender.h"
#include "platform/FaultSignals.h"
#include "platform/JsonText.h"
#include "platform/SystemInfo.h"

namespace zr {

namespace {

constexpr const char* kSdkVersion = "1.5.0";

std::string ProgramRelease(const std::vector<TLoadedModule>& modules) {
    const std::string name = ExtractFileName(Application->ExeName());
    // The build id names this very build of the program: a version that
    // nobody has to remember to raise.
    for (const TLoadedModule& module : modules)
        if (module.IsProgram && !module.BuildId.empty())
            return name + "@" + module.BuildId.substr(0, 12);
    return name;
}

void AppendLine(const std::string& file, const std::string& line) {
    if (file.empty()) return;
    std::lock_guard guard(KVLogLock());
    FILE* out = std::fopen(file.c_str(), "ab");
    if (out == nullptr) return;
    std::fputs((line + "\r\n").c_str(), out);
    std::fclose(out);
}

// ---- composing with async-signal-safe calls ----

void AddJsonText(TFixedText& text, const char* value, std::size_t length) {
    text.Add("\"");
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(c)};
            text.Add(escaped, 2);
        } else if (c == '\n') {
            text.Add("\\n");
        } else if (c == '\r') {
            text.Add("\\r");
        } else if (c < 0x20 || c >= 0x7F) {
            // Anything but plain ASCII is written as an escape: no UTF-8
            // check can be afforded here, and a collector refuses bad UTF-8.
            text.Add("\\u00");
            const char hex[2] = {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
            text.Add(hex, 2);
        } else {
            text.Add(value + i, 1);
        }
    }
    text.Add("\"");
}

void AddJsonText(TFixedText& text, const char* value) {
    AddJsonText(text, value, std::strlen(value));
}

void AddLowerHex(TFixedText& text, std::uintptr_t value) {
    char digits[2 * sizeof value];
    int count = 0;
    do {
        digits[sizeof digits - 1 - count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    text.Add("\"0x").Add(digits + sizeof digits - count, static_cast<std::size_t>(count)).Add("\"");
}

// The frames of the fault, innermost first: the walk from the handler
// when it passes the faulting instruction, else the stack recorded when
// the fault's exception was made, else the instruction alone.
int FaultFrames(void* instruction, void** frames, int capacity) {
    constexpr int kHandlerFrames = 16;
    void* walked[kMaxCallFrames + kHandlerFrames];
    const int count = WalkStack(walked, kMaxCallFrames + kHandlerFrames);
    for (int i = 0; i < count; ++i)
        if (walked[i] == instruction) {
            int n = 0;
            for (int k = i; k < count && n < capacity; ++k) frames[n++] = walked[k];
            return n;
        }
    const TCallStack recorded = RecordedFaultCallStack(instruction);
    if (recorded.Count > 0) {
        int n = 0;
        for (; n < recorded.Count && n < capacity; ++n) frames[n] = recorded.Frames[n];
        return n;
    }
    frames[0] = instruction;
    return 1;
}

void AddFatalFrame(TFixedText& text, const std::vector<TLoadedModule>& modules,
                   const TKVMapFile* map, void* frame, bool first) {
    const auto address = reinterpret_cast<std::uintptr_t>(frame);
    text.Add("{\"instruction_addr\":");
    AddLowerHex(text, address);
    const TLoadedModule* module = nullptr;
    for (const TLoadedModule& candidate : modules)
        if (address >= candidate.Begin && address < candidate.End) module = &candidate;
    if (module != nullptr && module->IsProgram) {
        if (map != nullptr && map->MapLoaded()) {
            const auto reported = reinterpret_cast<std::uintptr_t>(ReportedAddress(frame));
            if (reported <= UINT32_MAX) {
                const std::uint32_t offset =
                    static_cast<std::uint32_t>(reported) - map->CodeBase() - (first ? 0 : 1);
                const TKVMapFile::TMapSourceView found = map->Resolve(offset);
                if (!found.Procedure.empty())
                    text.Add(",\"function\":"),
                        AddJsonText(text, found.Procedure.data(), found.Procedure.size());
                if (!found.Unit.empty())
                    text.Add(",\"filename\":"),
                        AddJsonText(text, found.Unit.data(), found.Unit.size());
                if (found.Line > 0) text.Add(",\"lineno\":").Decimal(found.Line);
            }
        }
        text.Add(",\"in_app\":true}");
        return;
    }
    if (module != nullptr) {
        text.Add(",\"package\":");
        AddJsonText(text, module->Path.data(), module->Path.size());
    }
    text.Add(",\"in_app\":false}");
}

}  // namespace

TKVCollectorLink::TKVCollectorLink() = default;
TKVCollectorLink::~TKVCollectorLink() {
    Deactivate();
}

void TKVCollectorLink::Activate(const TKVLSendTo& sendTo, const std::string& logFile) {
    Deactivate();
    std::string text = sendTo.Collector();
    if (text.empty())
        if (const char* fromEnvironment = std::getenv("ZORIRIVE_COLLECTOR")) text = fromEnvironment;
    if (text.empty()) return;
    std::string error;
    if (!os::ParseCollectorDsn(text, dsn_, error)) throw ECollectorError(error);
    if (const os::DWORD status = outbox_.Open(); status != os::ERROR_SUCCESS)
        throw ECollectorError("The crash collector's outbox " + outbox_.Path() +
                              " cannot be opened: " + os::SystemErrorText(status) + ".");
    logFile_ = logFile;
    Prepare();
    os::collector::TRoute route;
    route.Dsn = dsn_;
    if (const char* ca = std::getenv("ZORIRIVE_COLLECTOR_CA"); ca && *ca) route.Transport.CaFile = ca;
    const std::string noteFile = logFile_.empty() ? "" : ExpandFileName(logFile_);
    route.Note = [noteFile](const std::string& line) { AppendLine(noteFile, line); };
    if (const os::DWORD status = os::collector::WatchCollector(route); status != os::ERROR_SUCCESS)
        throw ECollectorError("The crash collector's outbox cannot be used: " +
                              std::string(os::SystemErrorText(status)) + ".");
    enabled_ = true;
}

void TKVCollectorLink::Deactivate() {
    if (!enabled_) return;
    enabled_ = false;
    os::collector::UnwatchCollector(dsn_.Text);
}

void TKVCollectorLink::Prepare() {
    modules_ = LoadedModules();
    release_ = ProgramRelease(modules_);
    common_ = GatherCommonFacts();
    TEventFacts facts = common_;
    for (const TLoadedModule& module : modules_) facts.Images.push_back(ImageOf(module));
    fatalTail_ = ComposeEventTail(facts);
    fatalEventId_ = os::envelope::NewEventId();
    fatalHeader_ = os::envelope::Header(fatalEventId_, dsn_.Text, kSdkVersion);
    if (!eventBuffer_) eventBuffer_.reset(new char[kFatalEventBytes]);
    if (!envelopeBuffer_) envelopeBuffer_.reset(new char[kFatalEnvelopeBytes]);
}

TEventFacts TKVCollectorLink::GatherCommonFacts() const {
    TEventFacts facts;
    facts.Release = release_;
    const report::OSVersionInfo os = report::RunningOSVersion();
    facts.OSVersion = os.distribution;
    facts.KernelVersion = os.kernelRelease;
    facts.OSBuild = std::to_string(os.buildNumber);
    utsname machine{};
    if (uname(&machine) == 0) facts.Arch = machine.machine;
    char name[256];
    os::DWORD size = sizeof name;
    if (os::GetComputerNameA(name, &size)) facts.DeviceName = name;
    os::MEMORYSTATUS memory{};
    os::GlobalMemoryStatus(&memory);
    facts.MemorySize = memory.dwTotalPhys;
    os::SYSTEM_INFO system{};
    os::GetSystemInfo(&system);
    facts.ProcessorCount = static_cast<int>(system.dwNumberOfProcessors);
    return facts;
}

std::string TKVCollectorLink::Queue(const std::string& eventJson, const std::string& eventId,
                                    const std::string& reportText,
                                    const std::vector<std::uint8_t>& picture,
                                    const char* pictureType) {
    if (!enabled_) return "";
    std::string envelope = os::envelope::Header(eventId, dsn_.Text, kSdkVersion);
    os::envelope::AppendItem(envelope, "event", eventJson);
    os::envelope::AppendAttachment(envelope, "report.txt", "text/plain", reportText);
    if (!picture.empty())
        os::envelope::AppendAttachment(
            envelope, std::string("screenshot.") + pictureType,
            std::strcmp(pictureType, "jpg") == 0 ? "image/jpeg" : "image/bmp",
            std::string_view(reinterpret_cast<const char*>(picture.data()), picture.size()));
    const std::string name = os::collector::EnvelopeName(os::collector::NowMillis(), eventId);
    if (const os::DWORD status = outbox_.Put(name, envelope); status != os::ERROR_SUCCESS) {
        Note("The report " + eventId + " could not be put into the crash collector's outbox " +
             outbox_.Path() + ": " + os::SystemErrorText(status) + ".");
        return "";
    }
    os::collector::WakeSender();
    return eventId;
}

void TKVCollectorLink::Note(const std::string& line) const {
    AppendLine(logFile_.empty() ? "" : ExpandFileName(logFile_), line);
}

void TKVCollectorLink::WriteFatal(const os::TFaultInfo& fault, const TKVMapFile* map,
                                  const char* reportText, std::size_t reportLength) const {
    if (!enabled_ || !eventBuffer_ || !envelopeBuffer_) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    TFixedText event(eventBuffer_.get(), kFatalEventBytes);
    event.Add("{\"event_id\":\"").Add(fatalEventId_.c_str()).Add("\",\"timestamp\":");
    event.Decimal(now.tv_sec).Add(".").Decimal(now.tv_nsec / 1000000, 3);
    event.Add(",\"platform\":\"native\",\"level\":\"fatal\",\"exception\":{\"values\":[{\"type\":");
    AddJsonText(event, FaultClassName(fault.Kind));
    char message[512];
    FaultMessage(fault, message, sizeof message);
    event.Add(",\"value\":");
    AddJsonText(event, message);
    event.Add(",\"mechanism\":{\"type\":\"signalhandler\",\"handled\":false},\"stacktrace\":{\"frames\":[");
    void* frames[kMaxCallFrames];
    const int count = FaultFrames(fault.Instruction, frames, kMaxCallFrames);
    for (int i = count - 1; i >= 0; --i) {
        AddFatalFrame(event, modules_, map, frames[i], i == 0);
        if (i > 0) event.Add(",");
    }
    event.Add("]}}]}").Add(fatalTail_.data(), fatalTail_.size());
    // A cut event would be refused whole: then the envelope carries the
    // report text alone, which still says what happened.
    const bool eventFits = event.Length() + 1 < kFatalEventBytes;

    TFixedText envelope(envelopeBuffer_.get(), kFatalEnvelopeBytes);
    envelope.Add(fatalHeader_.data(), fatalHeader_.size());
    if (eventFits) {
        envelope.Add("{\"type\":\"event\",\"length\":").Decimal(static_cast<long long>(event.Length()));
        envelope.Add("}\n").Add(eventBuffer_.get(), event.Length()).Add("\n");
    }
    envelope.Add("{\"type\":\"attachment\",\"length\":").Decimal(static_cast<long long>(reportLength));
    envelope.Add(",\"filename\":\"report.txt\",\"attachment_type\":\"event.attachment\","
                 "\"content_type\":\"text/plain\"}\n");
    envelope.Add(reportText, reportLength).Add("\n");
    if (envelope.Length() + 1 >= kFatalEnvelopeBytes) return;  // cut: it would not parse

    char name[80];
    TFixedText nameText(name, sizeof name);
    nameText.Decimal(static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000, 16)
        .Add("-")
        .Add(fatalEventId_.c_str())
        .Add(".envelope");
    char scratch[96];
    os::collector::PutSignalSafe(outbox_.Folder(), name, envelopeBuffer_.get(), envelope.Length(),
                                 scratch);
}

}  // namespace zr
