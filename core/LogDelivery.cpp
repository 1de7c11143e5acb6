// Delivery of a log: by mail through Simple MAPI, with a screenshot and the
// log file attached, and by opening the support web page.
#include <array>
#include <deque>
#include <string>
#include <vector>

#include "core/LogBase.h"
#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/Exceptions.h"
#include "framework/FileStream.h"
#include "framework/Format.h"
#include "framework/Forms.h"
#include "framework/Graphics.h"
#include "framework/JpegWriter.h"
#include "framework/Mapi.h"
#include "framework/ScreenShot.h"
#include "framework/SysUtils.h"
#include "platform/Shell.h"
#include "platform/TempFiles.h"

namespace zr {

namespace {

constexpr const char* kScreenshotPrefix = "KVL";
constexpr os::DWORD kTempPathLength = 260;
constexpr ULONG kNoPosition = 0xFFFFFFFF;  // an attachment with no place in the text

// The screenshot's temporary file. The picture of the user's screen is made
// in a folder of its own that only this user may enter, as a file created
// exclusively with owner-only access; it is never deleted and made afresh,
// so no other user can read it, plant a file or a link in its place, or
// block the mail by taking the names in advance. Whatever this mail created
// is deleted however the mail ends, also when an exception passes (a body
// template that does not take the arguments, a picture that cannot be
// saved), and nothing else is.
class TScreenshotFile {
  public:
    TScreenshotFile() = default;
    TScreenshotFile(const TScreenshotFile&) = delete;
    TScreenshotFile& operator=(const TScreenshotFile&) = delete;
    ~TScreenshotFile() {
        if (!name_.empty()) DeleteFile(name_);
        if (!folder_.empty()) os::RemovePrivateFolder(folder_);
    }

    // Takes the picture of the screen and returns the file's name.
    const std::string& Take(TKVLScreenshotFormat format) {
        Create(format);
        Save(format);
        return name_;
    }

  private:
    // "KVL<n>" with the picture format's extension: the system makes a new
    // empty file "KVL<n>.tmp" in the private folder, which then takes the
    // extension. `name_` holds a name only while it is this mail's file.
    void Create(TKVLScreenshotFormat format) {
        char temp[kTempPathLength + 1] = {};
        char file[os::MAX_PATH] = {};
        const os::DWORD length = os::GetTempPathA(kTempPathLength, temp);
        if (length > 0 && length < kTempPathLength)
            folder_ = os::CreatePrivateFolder(temp, kScreenshotPrefix);
        if (folder_.empty() ||
            os::GetTempFileNameA(folder_.c_str(), kScreenshotPrefix, 0, file) == 0)
            throw EFCreateError(
                Format("Cannot create a temporary file for the screenshot in %s", {temp}));
        name_ = file;
        const std::string picture = ChangeFileExt(file, KVLScreenshotExt[format]);
        if (!RenameFile(name_, picture))
            throw EFCreateError(
                Format("Cannot create a temporary file for the screenshot in %s", {temp}));
        name_ = picture;
    }

    // The whole primary screen, in the screen's colour depth.
    void Save(TKVLScreenshotFormat format) const {
        TBitmap bitmap;
        bitmap.SetSize(Screen->Width(), Screen->Height());
        CaptureScreen(bitmap);  // black without a display
        const std::vector<std::uint8_t> bytes =
            format == sfJpeg ? EncodeJpeg(bitmap) : bitmap.SaveToBytes();
        TFileStream stream(name_, fmOpenWrite | fmShareExclusive);
        stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    }

    std::string folder_;
    std::string name_;
};

// The entries of the recipient list: "," and ";" end an entry, which counts
// even when empty; the last one counts only when it is not. Blanks are kept.
std::vector<std::string> SplitRecipients(const std::string& email) {
    std::vector<std::string> entries;
    std::string entry;
    for (char c : email) {
        if (c == ',' || c == ';') {
            entries.push_back(entry);
            entry.clear();
        } else {
            entry += c;
        }
    }
    if (!entry.empty()) entries.push_back(entry);
    return entries;
}

struct TRecipientEntry {
    ULONG Class;
    std::string Text;
};

// "CC:" or "BCC:" at the very start of an entry, in any letter case, makes
// a copy or a blind copy; the prefix is not part of the name.
TRecipientEntry ClassifyRecipient(const std::string& entry) {
    if (UpperCase(entry.substr(0, 3)) == "CC:") return {MAPI_CC, entry.substr(3)};
    if (UpperCase(entry.substr(0, 4)) == "BCC:") return {MAPI_BCC, entry.substr(4)};
    return {MAPI_TO, entry};
}

// The Simple MAPI records of one message and every buffer they point to.
// Texts live in 257-byte buffers of their own whose addresses never move
// (a deque does not move its elements when it grows). Resolved recipient
// records are kept until the message is sent, as the entry identifiers
// point into them.
class TMapiDraft {
  public:
    TMapiDraft(std::string subject, std::string body)
        : subject_(std::move(subject)), body_(std::move(body)) {}
    TMapiDraft(const TMapiDraft&) = delete;
    TMapiDraft& operator=(const TMapiDraft&) = delete;
    ~TMapiDraft() { Release(); }

    void AddAttachment(const std::string& path) {
        MapiFileDesc file{};
        file.nPosition = kNoPosition;
        file.lpszPathName = Text(path);
        file.lpszFileName = Text(ExtractFileName(path));
        files_.push_back(file);
    }

    void AddRecipient(const TRecipientEntry& entry, bool resolveNames) {
        MapiRecipDesc recip{};
        recip.ulRecipClass = entry.Class;
        if (!resolveNames) {
            recip.lpszName = Text(entry.Text);
            recip.lpszAddress = Text(entry.Text);
        } else if (MapiRecipDesc* found = Resolve(entry.Text)) {
            recip.lpszName = Text(found->lpszName ? found->lpszName : "");
            recip.lpszAddress = Text(found->lpszAddress ? found->lpszAddress
                                                        : (found->lpszName ? found->lpszName : ""));
            recip.ulEIDSize = found->ulEIDSize;
            recip.lpEntryID = found->lpEntryID;
        }
        // Unresolved: the entry keeps only its class, and the mail system
        // says what it makes of that.
        recips_.push_back(recip);
    }

    ULONG Send(FLAGS flags) {
        MapiMessage message{};
        message.lpszSubject = subject_.data();  // an empty text, never nil
        message.lpszNoteText = body_.data();
        message.nRecipCount = static_cast<ULONG>(recips_.size());
        message.lpRecips = recips_.empty() ? nullptr : recips_.data();
        message.nFileCount = static_cast<ULONG>(files_.size());
        message.lpFiles = files_.empty() ? nullptr : files_.data();
        const auto window =
            reinterpret_cast<ULONG_PTR>(Application ? Application->Handle() : nullptr);
        return MapiSendMail(0, window, &message, flags, 0);
    }

    void Release() {
        for (MapiRecipDesc* record : resolved_) MapiFreeBuffer(record);
        resolved_.clear();
        recips_.clear();
        files_.clear();
        texts_.clear();
    }

  private:
    char* Text(std::string_view text) { return CopyToMapiBuffer(texts_.emplace_back(), text); }

    // An unknown or ambiguous name is tried once more with the mail
    // system's dialog, so that the user can pick the recipient.
    MapiRecipDesc* Resolve(const std::string& name) {
        MapiRecipDesc* record = nullptr;
        ULONG result = MapiResolveName(0, 0, name.c_str(), 0, 0, &record);
        if (result == MAPI_E_UNKNOWN_RECIPIENT || result == MAPI_E_AMBIGUOUS_RECIPIENT)
            result = MapiResolveName(0, 0, name.c_str(), MAPI_DIALOG, 0, &record);
        if (result != SUCCESS_SUCCESS || record == nullptr) return nullptr;
        resolved_.push_back(record);
        return record;
    }

    std::string subject_;
    std::string body_;
    std::deque<TMapiTextBuffer> texts_;
    std::vector<MapiFileDesc> files_;
    std::vector<MapiRecipDesc> recips_;
    std::vector<MapiRecipDesc*> resolved_;
};

}  // namespace

void TKVLogBase::SendLogByMail() {
    const TKVLSendTo& sendTo = *sendTo_;
    TScreenshotFile screenshot;
    std::vector<std::string> attachments;
    if (sendTo.AttachScreenShot())
        attachments.push_back(screenshot.Take(sendTo.ScreenshotFormat()));
    if (sendTo.AttachLog() && !logFile_.empty()) attachments.push_back(logFile_);
    // The files the user listed to be sent with the log.
    const TStrings& listed = *sendTo.AdditionalFiles();
    for (int i = 0; i < listed.Count(); ++i)
        if (!Trim(listed.Strings(i)).empty()) attachments.push_back(listed.Strings(i));

    const std::vector<std::string> entries = SplitRecipients(sendTo.EMail());
    TMapiDraft draft(sendTo.EMailSubject(), Format(sendTo.EMailBody(), {sendTo.EMail(), logFile_}));
    for (const std::string& path : attachments) draft.AddAttachment(path);
    for (const std::string& entry : entries)
        draft.AddRecipient(ClassifyRecipient(entry), sendTo.ResolveNames());

    const FLAGS flags = MAPI_LOGON_UI | (sendTo.EMailOpenBeforeSend() ? MAPI_DIALOG : 0);
    const ULONG result = draft.Send(flags);
    draft.Release();
    if (result != SUCCESS_SUCCESS)
        MessageDlg(MAPIErrorDescription(static_cast<int>(result)), mtError, TMsgDlgButtons{mbOK},
                   0);
}

std::string TKVLogBase::MAPIErrorDescription(int code) {
    // Indexed by the result code; 0 (success) and 7 have no text of their own.
    static constexpr std::array<const char*, 27> kTexts{
        nullptr,
        "User cancelled request",
        "General MAPI failure",
        "Logon failure",
        "Disk full",
        "Insufficient memory",
        "Access denied",
        nullptr,
        "Too many sessions",
        "Too many files open",
        "Too many recipients",
        "Attachment not found",
        "Failed to open attachment",
        "Failed to write attachment",
        "Unknown recipient",
        "Invalid recipient type",
        "No messages",
        "Invalid message",
        "Text too large.",
        "Invalid session",
        "Type not supported",
        "Ambiguous recipient",
        "Message in use",
        "Network failure",
        "Invalid edit fields",
        "Invalid recipients",
        "Not supported",
    };
    if (code > 0 && code < static_cast<int>(kTexts.size()) && kTexts[code] != nullptr)
        return kTexts[code];
    return "Unknown Error Code: " + IntToStr(code);
}

void TKVLogBase::SendLogByWWW() {
    // The opener's result is of no interest: the page opens or it does not.
    os::ShellExecuteA(nullptr, "open", sendTo_->WWW().c_str(), nullptr, nullptr, os::SW_SHOWNORMAL);
}

}  // namespace zr
