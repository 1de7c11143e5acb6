// The log base component: the Active switch, a log file that texts are
// appended to under one lock shared by every log component of the process,
// and the delivery settings (SendTo) that say where a log is sent.
//
// The base never writes on its own: derived logs compose their texts and hand
// them to WriteAsString, which appends exactly those bytes.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <string_view>

#include "LogCnst.h"
#include "../framework/Component.h"
#include "../framework/DateUtils.h"
#include "../framework/Set.h"
#include "../framework/Strings.h"
#include "../platform/Journal.h"

namespace zr {

enum TKVLScreenshotFormat { sfBitmap, sfJpeg };
ZR_ENUM(TKVLScreenshotFormat, sfBitmap, sfJpeg);

enum TKVLDialogOption { doScreenshot, doEmail, doWeb };
ZR_ENUM(TKVLDialogOption, doScreenshot, doEmail, doWeb);
using TKVLDialogOptions = Set<TKVLDialogOption>;

// Every delivery choice of the error dialog (mask 7).
inline constexpr TKVLDialogOptions KVLAllDialogOptions{doScreenshot, doEmail, doWeb};

// The screenshot file extension of each format, indexed by the format.
inline constexpr std::array<std::string_view, 2> KVLScreenshotExt{KVLBitmapExt, KVLJpegExt};

// Where and how a log is delivered: mail recipients, subject and body, the
// attachments, a support web page, and which choices the error dialog offers.
class TKVLogBase;

class TKVLSendTo : public TPersistent {
    ZR_CLASS(TKVLSendTo, TPersistent)
  public:
    TKVLSendTo();
    ~TKVLSendTo() override;

    // Recipients separated by "," or ";"; an entry may start with "CC:" or "BCC:".
    const std::string& EMail() const { return email_; }
    void SetEMail(const std::string& value) { email_ = value; }
    const std::string& EMailSubject() const { return subject_; }
    void SetEMailSubject(const std::string& value) { subject_ = value; }
    // A Format template: its two %s receive EMail and the log file name.
    const std::string& EMailBody() const { return body_; }
    void SetEMailBody(const std::string& value) { body_ = value; }
    // Open the mail client's compose window instead of sending silently.
    bool EMailOpenBeforeSend() const { return openBeforeSend_; }
    void SetEMailOpenBeforeSend(bool value) { openBeforeSend_ = value; }
    const std::string& WWW() const { return www_; }
    void SetWWW(const std::string& value) { www_ = value; }
    bool AttachScreenShot() const { return attachScreenShot_; }
    void SetAttachScreenShot(bool value) { attachScreenShot_ = value; }
    TKVLScreenshotFormat ScreenshotFormat() const { return screenshotFormat_; }
    void SetScreenshotFormat(TKVLScreenshotFormat value) { screenshotFormat_ = value; }
    bool AttachLog() const { return attachLog_; }
    void SetAttachLog(bool value) { attachLog_ = value; }
    // Resolve each recipient through the mail system's address book.
    bool ResolveNames() const { return resolveNames_; }
    void SetResolveNames(bool value) { resolveNames_ = value; }
    TKVLDialogOptions Options() const { return options_; }
    void SetOptions(TKVLDialogOptions value) { options_ = value; }
    // The crash collector that receives each exception report as it is
    // written ("https://<public key>@<host>[:<port>]/<project id>"); empty:
    // $ZORIRIVE_COLLECTOR, and none when that is unset too. Read when the
    // log becomes active.
    const std::string& Collector() const { return collector_; }
    void SetCollector(const std::string& value) { collector_ = value; }
    // Whether a picture of the screen goes to the collector with each report
    // (off: what is on the screen stays on the machine).
    bool CollectorScreenshot() const { return collectorScreenshot_; }
    void SetCollectorScreenshot(bool value) { collectorScreenshot_ = value; }
    // Owned; the setter copies the given lines, so callers keep their list.
    TStrings* AdditionalFiles() const { return additionalFiles_; }
    void SetAdditionalFiles(TStrings* value) { additionalFiles_->Assign(value); }

  private:
    std::string email_;
    std::string subject_;
    std::string body_;
    bool openBeforeSend_ = true;
    std::string www_;
    bool attachScreenShot_ = true;
    TKVLScreenshotFormat screenshotFormat_ = sfBitmap;
    bool attachLog_ = false;
    bool resolveNames_ = true;
    TStringList* additionalFiles_ = nullptr;
    TKVLDialogOptions options_ = KVLAllDialogOptions;
    std::string collector_;
    bool collectorScreenshot_ = false;
    // The log component that will free this object, if any: one object
    // cannot be given to two components, which would both free it.
    TKVLogBase* holder_ = nullptr;
    friend class TKVLogBase;
};

// What a log adds to the journal entry of a text it writes (Journal True).
struct TKVLJournalDetails {
    os::TJournalPriority Priority = os::TJournalPriority::Info;
    // Fields after the base's own, in this order.
    os::TJournalEntry Fields;
};

// The shared log lock: one for every log component of the process, held by
// WriteAsString from the test whether the log file exists until the file is
// closed. Exposed so that code which must not interleave with log writes (and
// tests) can hold it; nothing else in the suite takes it.
std::mutex& KVLogLock();

class TKVLogBase : public TComponent {
    ZR_CLASS(TKVLogBase, TComponent)
  public:
    // LogFile "kvevents.log", Active False, a SendTo with its defaults.
    //
    // Unlike the host, a C++ base constructor cannot reach a derived
    // override, so the SetActive(false) made here runs this class's version.
    // A derived log whose SetActive override must see that first call makes
    // it itself as the first statement of its own constructor; SendTo exists
    // by then, which the override may ignore.
    explicit TKVLogBase(TComponent* owner);
    // Frees the SendTo object it holds. It does not switch Active off:
    // derived logs that hold hooks, threads or handles do that in their own
    // destructors.
    ~TKVLogBase() override;

    bool Active() const { return active_; }
    // The writer of Active. The base only stores the flag; overrides call it
    // first and then act on the new value.
    virtual void SetActive(bool value);

    // Used verbatim: a relative name is resolved against the current
    // directory at each write. A change takes effect at the next write.
    const std::string& LogFile() const { return logFile_; }
    void SetLogFile(const std::string& value) { logFile_ = value; }

    // Written by reference: the component takes the given object as its own
    // and frees it when it is destroyed or given another one. Assigning the
    // object it already holds changes nothing. Refused with
    // EInvalidOperation: nullptr (a log always has settings) and an object
    // that another log component holds (both would free it).
    TKVLSendTo* SendTo() const { return sendTo_; }
    void SetSendTo(TKVLSendTo* value);

    // Every text WriteAsString appends also goes to the system journal, as
    // one entry: MESSAGE the text (line breaks as LF, none at the end),
    // PRIORITY info (or what JournalDetails says), SYSLOG_IDENTIFIER the
    // program's name, ZR_COMPONENT "<Name>: <ClassName>", ZR_LOG_FILE the log
    // file's full name. No journal, or one that refuses the entry, costs the
    // entry and never the file write.
    bool Journal() const { return journal_; }
    void SetJournal(bool value) { journal_ = value; }

    // Appends exactly the bytes of `value` to LogFile under the shared log
    // lock; empty text does nothing at all. Opens an existing file for
    // reading and writing while denying other writers, creates a missing one
    // held exclusively, and closes it again, so the text is in the file when
    // this returns. Failures raise the stream exceptions (EFOpenError,
    // EFCreateError, EWriteError) after the file is closed and the lock left.
    // With Journal the text goes to the journal first, under the same lock
    // (entries in the order of the file), also when the file then fails.
    virtual void WriteAsString(const std::string& value);
    // The value's text through WriteAsString, nothing around it.
    void WriteAsInteger(int value);
    void WriteAsFloat(double value);
    void WriteAsDateTime(TDateTime value);
    // Deletes the log file if LogFile is set and the file exists; ignores
    // whether that succeeded. Does not take the lock.
    void ClearLog();

    // Delivery of the log by mail or web page, driven by SendTo.
    void SendLogByMail();
    void SendLogByWWW();
    std::string MAPIErrorDescription(int code);

  protected:
    // The priority and further fields of the journal entry of the text being
    // written; the base leaves the details as they are (info, no fields).
    virtual void JournalDetails(TKVLJournalDetails& details) const;

  private:
    void SendToJournal(const std::string& text) const;

    bool active_ = false;
    bool journal_ = false;
    TKVLSendTo* sendTo_ = nullptr;
    std::string logFile_;
};

}  // namespace zr
