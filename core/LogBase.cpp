#include "core/LogBase.h"

#include <errno.h>
#include <unistd.h>

#include <optional>

#include "framework/Exceptions.h"
#include "framework/FileStream.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"
#include "platform/FileShare.h"

namespace zr {

ZR_REGISTER_CLASS(TKVLSendTo, c) {
    c.Property("EMail", &TKVLSendTo::EMail, &TKVLSendTo::SetEMail).Default("");
    c.Property("EMailSubject", &TKVLSendTo::EMailSubject, &TKVLSendTo::SetEMailSubject).Default("");
    c.Property("EMailBody", &TKVLSendTo::EMailBody, &TKVLSendTo::SetEMailBody)
        .Default(std::string(KVLDefaultEMailBody));
    c.Property("EMailOpenBeforeSend", &TKVLSendTo::EMailOpenBeforeSend,
               &TKVLSendTo::SetEMailOpenBeforeSend)
        .Default(true);
    c.Property("WWW", &TKVLSendTo::WWW, &TKVLSendTo::SetWWW).Default("");
    c.Property("AttachScreenShot", &TKVLSendTo::AttachScreenShot, &TKVLSendTo::SetAttachScreenShot)
        .Default(true);
    c.Property("ScreenshotFormat", &TKVLSendTo::ScreenshotFormat, &TKVLSendTo::SetScreenshotFormat)
        .Default(sfBitmap);
    c.Property("AttachLog", &TKVLSendTo::AttachLog, &TKVLSendTo::SetAttachLog).Default(false);
    c.Property("ResolveNames", &TKVLSendTo::ResolveNames, &TKVLSendTo::SetResolveNames)
        .Default(true);
    c.Property("Options", &TKVLSendTo::Options, &TKVLSendTo::SetOptions)
        .Default(KVLAllDialogOptions);
    c.Property("AdditionalFiles", &TKVLSendTo::AdditionalFiles, &TKVLSendTo::SetAdditionalFiles);
    c.Property("Collector", &TKVLSendTo::Collector, &TKVLSendTo::SetCollector).Default("");
    c.Property("CollectorScreenshot", &TKVLSendTo::CollectorScreenshot,
               &TKVLSendTo::SetCollectorScreenshot)
        .Default(false);
}

ZR_REGISTER_CLASS(TKVLogBase, c) {
    c.Property("Active", &TKVLogBase::Active, &TKVLogBase::SetActive);
    c.Property("LogFile", &TKVLogBase::LogFile, &TKVLogBase::SetLogFile)
        .Default(std::string(KVLDefaultLogFile));
    c.Property("SendTo", &TKVLogBase::SendTo, &TKVLogBase::SetSendTo);
    c.Property("Journal", &TKVLogBase::Journal, &TKVLogBase::SetJournal).Default(false);
}

// ---- the shared log lock -----------------------------------------------------

namespace {

// A namespace-scope object whose constructor is constant-initialised: it
// exists before any code of the process runs, so before the first log
// component, and is destroyed only as the package unloads, after the last
// component has been freed by its owner.
constinit std::mutex logLock;

}  // namespace

std::mutex& KVLogLock() {
    return logLock;
}

// ---- TKVLSendTo ---------------------------------------------------------------

TKVLSendTo::TKVLSendTo() : body_(KVLDefaultEMailBody), additionalFiles_(new TStringList) {}

TKVLSendTo::~TKVLSendTo() {
    delete additionalFiles_;
}

// ---- TKVLogBase ---------------------------------------------------------------

TKVLogBase::TKVLogBase(TComponent* owner) : TComponent(owner), logFile_(KVLDefaultLogFile) {
    // The host reaches a derived override here; C++ cannot, so derived logs
    // repeat this call in their own constructors when they need to see it.
    TKVLogBase::SetActive(false);
    sendTo_ = new TKVLSendTo;
    sendTo_->holder_ = this;
}

TKVLogBase::~TKVLogBase() {
    delete sendTo_;
    // Components told of this one's death may still look at it.
    sendTo_ = nullptr;
}

void TKVLogBase::SetActive(bool value) {
    active_ = value;
}

void TKVLogBase::SetSendTo(TKVLSendTo* value) {
    if (value == sendTo_) return;
    if (value == nullptr) throw EInvalidOperation("A log component cannot be without SendTo");
    if (value->holder_ != nullptr)
        throw EInvalidOperation("The SendTo object already belongs to another log component");
    delete sendTo_;
    sendTo_ = value;
    sendTo_->holder_ = this;
}

namespace {

constexpr std::uint16_t kAppendMode = fmOpenReadWrite | fmShareDenyWrite;  // 0x22

// Opens the log for appending into `stream`: an existing file so that others
// may read it but not write it, a missing one created new and held
// exclusively. The open itself is the existence test (one system call fewer
// per write); a failed open of a file that is not there turns into creating it.
void OpenLog(std::optional<TFileStream>& stream, const std::string& fileName) {
    try {
        stream.emplace(fileName, kAppendMode);
        return;
    } catch (const EFOpenError&) {
        if (FileExists(fileName)) throw;
    }
    try {
        // A log holds what the application saw (reports, user and machine
        // names): it is the user's alone unless the user makes it otherwise.
        stream.emplace(fileName, fmCreate, TExistingFile::Fail, TNewFile::Private);
        return;
    } catch (const EFCreateError&) {
        if (!FileExists(fileName)) throw;
    }
    // Another process created the file after our test: add to what it wrote
    // instead of replacing it.
    stream.emplace(fileName, kAppendMode);
}

void Append(TFileStream& stream, const std::string& text) {
    const std::int64_t end = stream.Seek(0, soFromEnd);
    const auto size = static_cast<std::int64_t>(text.size());
    if (stream.Write(text.data(), size) == size) return;
    // A short write (full disk, size limit) would leave half a text that the
    // next text runs into, and a report that silently lost its tail: take the
    // piece back off and tell the caller.
    try {
        stream.SetSize(end);
    } catch (const Exception&) {
    }
    throw EWriteError("Stream write error");
}

// The log file's full name as the write resolves it now.
std::string FullLogFileName(const std::string& fileName) {
    if (fileName.empty() || fileName[0] == '/') return fileName;
    char folder[4096];
    if (!::getcwd(folder, sizeof folder)) return fileName;
    return std::string(folder) + "/" + fileName;
}

}  // namespace

void TKVLogBase::JournalDetails(TKVLJournalDetails&) const {}

void TKVLogBase::SendToJournal(const std::string& text) const {
    if (!os::JournalListening()) return;
    try {
        TKVLJournalDetails details;
        JournalDetails(details);
        os::TJournalEntry entry;
        entry.Add("MESSAGE", os::JournalText(text))
            .Add("PRIORITY", details.Priority)
            .Add("SYSLOG_IDENTIFIER", std::string_view(::program_invocation_short_name))
            .Add("ZR_COMPONENT",
                 Name().empty() ? std::string(ClassName()) : Name() + ": " + ClassName())
            .Add("ZR_LOG_FILE", FullLogFileName(logFile_))
            .Append(details.Fields);
        os::SendToJournal(entry);
    } catch (...) {
        // The journal's copy is a help: nothing of it may keep the text from
        // its file.
    }
}

void TKVLogBase::WriteAsString(const std::string& value) {
    if (value.empty()) return;
    std::lock_guard guard(KVLogLock());
    if (journal_) SendToJournal(value);
    // The stream closes before the lock is left, also when the write fails.
    std::optional<TFileStream> stream;
    OpenLog(stream, logFile_);
    Append(*stream, value);
}

void TKVLogBase::WriteAsInteger(int value) {
    WriteAsString(IntToStr(value));
}

void TKVLogBase::WriteAsFloat(double value) {
    WriteAsString(FloatToStr(value));
}

void TKVLogBase::WriteAsDateTime(TDateTime value) {
    WriteAsString(DateTimeToStr(value));
}

void TKVLogBase::ClearLog() {
    if (logFile_.empty() || !FileExists(logFile_)) return;
    // A log that a stream holds open stays, as it would where open files
    // cannot be deleted: unlinking it would send that stream's text nowhere.
    if (os::FileOpenWithShare(logFile_)) return;
    DeleteFile(logFile_);
}

}  // namespace zr
