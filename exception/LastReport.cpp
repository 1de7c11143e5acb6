#include "exception/LastReport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "exception/CallStackText.h"
#include "exception/CollectorReports.h"
#include "exception/LogError.h"
#include "exception/MapReadAhead.h"
#include "exception/ReportSections.h"
#include "framework/Application.h"
#include "framework/ExceptAddr.h"
#include "framework/FaultExceptions.h"
#include "framework/FormatSettings.h"
#include "framework/SysUtils.h"
#include "platform/FaultSignals.h"
#include "platform/LoadedModules.h"

namespace zr {

namespace {

// What a log's last report needs that cannot be gathered at the fault.
struct TLastReportSlot {
    std::atomic<TKVExceptionLog*> Log{nullptr};
    std::string Application;  // the application section
    std::string DateFormat;
    std::string TimeFormat;
    char DateSeparator = '/';
    char TimeSeparator = ':';
    long UtcOffset = 0;  // seconds east of UTC when the log registered
    // The report being made when the fault came, written first.
    std::atomic<const std::string*> Pending{nullptr};
    // The map read ahead; the view is what the handler reads.
    std::shared_ptr<TMapReadAhead> Ahead;
    std::atomic<const TMapReadAhead*> AheadView{nullptr};
};
// How long a last report waits for a map still being read ahead.
constexpr long kMapPatienceMs = 3000;

constexpr int kSlots = 16;
// Never destroyed: a log owned by the application unregisters while the
// run-time library's statics are torn down, after this library's.
std::array<TLastReportSlot, kSlots>& slots = *new std::array<TLastReportSlot, kSlots>;
std::mutex registration;
char reportBuffer[64 * 1024];

struct TCivilTime {
    long long Year;
    int Month, Day, Hour, Minute, Second;
};

// Days since 1970-01-01 to a calendar date, without the C library's time
// zone machinery (which takes locks).
TCivilTime CivilTime(long long seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) rest += 86400, --days;
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yearOfEra + era * 400 + (month <= 2),
            month,
            day,
            static_cast<int>(rest / 3600),
            static_cast<int>(rest / 60 % 60),
            static_cast<int>(rest % 60)};
}

// The date and time formats' common letters (d, m, y, h, n, s, the
// separators, quoted text); anything else is copied as it stands.
void FormatCivil(TFixedText& text, const std::string& format, const TCivilTime& t,
                 const TLastReportSlot& slot) {
    for (size_t i = 0; i < format.size();) {
        const char c = format[i];
        size_t run = 1;
        while (i + run < format.size() && (format[i + run] | 0x20) == (c | 0x20)) ++run;
        switch (c | 0x20) {
            case 'd':
                text.Decimal(t.Day, run >= 2 ? 2 : 1);
                break;
            case 'm':
                text.Decimal(t.Month, run >= 2 ? 2 : 1);
                break;
            case 'y':
                text.Decimal(run >= 3 ? t.Year : t.Year % 100, run >= 3 ? 4 : 2);
                break;
            case 'h':
                text.Decimal(t.Hour, run >= 2 ? 2 : 1);
                break;
            case 'n':
                text.Decimal(t.Minute, run >= 2 ? 2 : 1);
                break;
            case 's':
                text.Decimal(t.Second, run >= 2 ? 2 : 1);
                break;
            case '/':
                text.Add(&slot.DateSeparator, 1), run = 1;
                break;
            case ':':
                text.Add(&slot.TimeSeparator, 1), run = 1;
                break;
            case '\'':
            case '"': {
                const size_t end = format.find(c, i + 1);
                const size_t stop = end == std::string::npos ? format.size() : end;
                text.Add(format.data() + i + 1, stop - i - 1);
                run = stop + 1 - i;
                break;
            }
            default:
                text.Add(format.data() + i, run);
                break;
        }
        i += run;
    }
}

// "\r\nUnit: …\r\nProcedure: …\r\nLine No: …" from the map as already read;
// only the line break when it never was.
void AddSafeSourceSection(TFixedText& text, const TKVMapFile* map, std::uintptr_t address) {
    text.Add("\r\n");
    if (map == nullptr || !map->MapLoaded() || address > UINT32_MAX) return;
    const auto offset = static_cast<std::uint32_t>(address) - map->CodeBase();
    const TKVMapFile::TMapSourceView found = map->Resolve(offset);
    if (!found.Unit.empty())
        text.Add("Unit: ").Add(found.Unit.data(), found.Unit.size()).Add("\r\n");
    if (!found.Procedure.empty())
        text.Add("Procedure: ").Add(found.Procedure.data(), found.Procedure.size()).Add("\r\n");
    if (found.Line > 0) text.Add("Line No: ").Decimal(found.Line);
}

bool IsFiltered(const TKVExceptionLog& log, os::TFaultKind kind) {
    using os::TFaultKind;
    const TKVExceptionStandards filter = log.FilterStandard();
    switch (kind) {
        case TFaultKind::AccessViolation:
            return filter.Contains(efAccessViolation);
        case TFaultKind::DivByZero:
            return filter.Contains(efDivByZero);
        case TFaultKind::IntOverflow:
            return filter.Contains(efIntOverflow);
        case TFaultKind::ZeroDivide:
            return filter.Contains(efZeroDivide);
        case TFaultKind::Overflow:
            return filter.Contains(efOverflow);
        case TFaultKind::Underflow:
            return filter.Contains(efUnderflow);
        case TFaultKind::InvalidOp:
            return filter.Contains(efInvalidOp);
        case TFaultKind::Privilege:
            return filter.Contains(efPrivilege);
        case TFaultKind::StackOverflow:
            return filter.Contains(efStackOverflow);
        case TFaultKind::External:
            break;
    }
    return filter.Contains(efExternalException);
}

// "Exception <class> in module <module> at <address>.\r\n<message>.", as the
// framework describes any exception.
void AddDescription(TFixedText& text, const os::TFaultInfo& fault, std::uintptr_t address) {
    char module[512];
    os::ModuleNameAt(fault.Instruction, module, sizeof module);
    const char* slash = std::strrchr(module, '/');
    char message[512];
    FaultMessage(fault, message, sizeof message);
    text.Add("Exception ").Add(FaultClassName(fault.Kind)).Add(" in module ");
    text.Add(slash != nullptr ? slash + 1 : module).Add(" at ").Hex(address).Add(".\r\n");
    text.Add(message).Add(".");
}

// The log's own map once a report has read it, else the one read ahead
// while the log still names that file.
const TKVMapFile* MapToResolve(const TLastReportSlot& slot, const TKVExceptionLog& log) {
    const TKVMapFile* own = log.MapFile();
    if (own->MapLoaded()) return own;
    const TMapReadAhead* ahead = slot.AheadView.load();
    const TKVMapFile* read = ahead != nullptr ? ahead->WaitForMap(kMapPatienceMs) : nullptr;
    return read != nullptr && read->MapFileName() == own->MapFileName() ? read : nullptr;
}

void Compose(TFixedText& text, const TLastReportSlot& slot, const TKVExceptionLog& log,
             const os::TFaultInfo& fault) {
    const TKVLFormats f = log.Formats();
    const auto address = reinterpret_cast<std::uintptr_t>(ReportedAddress(fault.Instruction));
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const TCivilTime civil = CivilTime(static_cast<long long>(now.tv_sec) + slot.UtcOffset);
    if (f.Contains(lfDate)) FormatCivil(text, slot.DateFormat, civil, slot), text.Add(" ");
    if (f.Contains(lfTime)) FormatCivil(text, slot.TimeFormat, civil, slot), text.Add(" ");
    if (f.Contains(lfPhysAddress)) text.Add("Phys.addr: ").Hex(address).Add(" ");
    if (f.Contains(lfExceptionClassName))
        text.Add("\r\nClassname: ").Add(FaultClassName(fault.Kind));
    if (f.Contains(lfMessage)) text.Add("\r\nMessage: "), AddDescription(text, fault, address);
    const TKVMapFile* map =
        f.Contains(lfSourceLine) || f.Contains(lfCallStack) ? MapToResolve(slot, log) : nullptr;
    if (f.Contains(lfSourceLine)) AddSafeSourceSection(text, map, address);
    if (f.Contains(lfCallStack)) {
        const size_t length = text.Length();
        if (length < 2 || std::memcmp(reportBuffer + length - 2, "\r\n", 2) != 0) text.Add("\r\n");
        AddFaultCallStackSection(text, map, fault.Instruction,
                                 log.WholeCallStack() ? TFrameStyle::Whole : TFrameStyle::Readable);
    }
    if (f.Contains(lfApplication)) text.Add(slot.Application.data(), slot.Application.size());
    if (f.Contains(lfSeparator)) text.Add(report::Separator);
    text.Add("\r\n");
}

void AppendToLog(const std::string& logFile, const char* data, size_t length) {
    // Not blocking on a FIFO planted in the log's place: the process is
    // ending and must not hang on its way out.
    const int fd =
        open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return;
    }
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n <= 0) break;
        data += n;
        length -= static_cast<size_t>(n);
    }
    close(fd);
}

void WriteLastReports(const os::TFaultInfo& fault) {
    for (const TLastReportSlot& slot : slots) {
        const TKVExceptionLog* log = slot.Log.load();
        if (log == nullptr || !log->Active()) continue;
        const bool writes = !log->LogFile().empty();
        const TKVCollectorLink& collector = log->Collector();
        if (!writes && !collector.Enabled()) continue;
        if (const std::string* pending = slot.Pending.load(); pending != nullptr && writes)
            AppendToLog(log->LogFile(), pending->data(), pending->size());
        if (!IsFiltered(*log, fault.Kind)) continue;
        TFixedText text(reportBuffer, sizeof reportBuffer);
        Compose(text, slot, *log, fault);
        if (writes) AppendToLog(log->LogFile(), reportBuffer, text.Length());
        // No network here: the envelope waits in the outbox for the next start.
        if (collector.Enabled())
            collector.WriteFatal(fault, MapToResolve(slot, *log), reportBuffer, text.Length());
    }
}

long UtcOffsetNow() {
    const time_t now = time(nullptr);
    tm local{};
    return localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

}  // namespace

void RegisterForLastReport(TKVExceptionLog* log) {
    std::lock_guard guard(registration);
    for (TLastReportSlot& slot : slots) {
        if (slot.Log.load() != nullptr) continue;
        std::vector<std::string> parameters;
        for (int i = 1; i <= ParamCount(); ++i) parameters.push_back(ParamStr(i));
        slot.Application =
            report::ApplicationSection(Application->ExeName(), Application->Title(), parameters);
        slot.DateFormat = FormatSettings.ShortDateFormat;
        slot.TimeFormat = FormatSettings.LongTimeFormat;
        slot.DateSeparator = FormatSettings.DateSeparator;
        slot.TimeSeparator = FormatSettings.TimeSeparator;
        slot.UtcOffset = UtcOffsetNow();
        slot.Log.store(log);
        os::SetLastReportWriter(WriteLastReports);
        return;
    }
}

void UnregisterFromLastReport(TKVExceptionLog* log) {
    std::lock_guard guard(registration);
    for (TLastReportSlot& slot : slots) {
        if (slot.Log.load() != log) continue;
        slot.Log.store(nullptr);
        slot.Pending.store(nullptr);
        slot.AheadView.store(nullptr);
        slot.Ahead.reset();
    }
}

void ReadMapAheadForLastReport(TKVExceptionLog* log) {
    std::lock_guard guard(registration);
    for (TLastReportSlot& slot : slots) {
        if (slot.Log.load() != log || slot.Ahead != nullptr) continue;
        if (log->MapFile()->MapLoaded()) return;
        slot.Ahead = TMapReadAhead::Start(log->MapFile()->MapFileName());
        slot.AheadView.store(slot.Ahead.get());
    }
}

TPendingReport::TPendingReport(const TKVExceptionLog* log, const std::string& text) : log_(log) {
    for (TLastReportSlot& slot : slots)
        if (slot.Log.load() == log_) slot.Pending.store(&text);
}

TPendingReport::~TPendingReport() {
    for (TLastReportSlot& slot : slots)
        if (slot.Log.load() == log_) slot.Pending.store(nullptr);
}

}  // namespace zr
