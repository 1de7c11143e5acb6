#include "watchers/LogFile.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "framework/MessageQueue.h"
#include "framework/TypeInfo.h"
#include "platform/ChangeNotify.h"

namespace zr {

ZR_REGISTER_CLASS(TKVFileLog, c) {
    c.Property("Folder", &TKVFileLog::Folder, &TKVFileLog::SetFolder);
    c.Property("Options", &TKVFileLog::Options, &TKVFileLog::SetOptions);
    c.Property("OnFileNotification", &TKVFileLog::OnFileNotification,
               &TKVFileLog::SetOnFileNotification);
}

const std::array<std::uint32_t, 5> FileNotificationFilters{
    os::FILE_NOTIFY_CHANGE_FILE_NAME, os::FILE_NOTIFY_CHANGE_DIR_NAME,
    os::FILE_NOTIFY_CHANGE_ATTRIBUTES, os::FILE_NOTIFY_CHANGE_SIZE,
    os::FILE_NOTIFY_CHANGE_LAST_WRITE};

namespace {

constexpr os::DWORD kWaitMs = 200;
constexpr const char* kAllocateError = "Could not allocate notification object";

}  // namespace

// ---- TNotificationThread --------------------------------------------------------

TNotificationThread::TNotificationThread(TKVFileLog* log) : TThread(true) {
    FileLog = log;
    SetFreeOnTerminate(false);
    wakeEvent_ = os::CreateEventA(nullptr, os::FALSE, os::FALSE, nullptr);
    if (wakeEvent_ == nullptr) throw EFileNotificationError(kAllocateError);
    try {
        Reset();
    } catch (...) {
        os::CloseHandle(wakeEvent_);
        throw;
    }
    Resume();
}

TNotificationThread::~TNotificationThread() {
    // Reports still on their way to the main thread go nowhere now.
    FileLog = nullptr;
    if (std::this_thread::get_id() != ThreadID()) {
        Terminate();
        Wake();
        WaitFor();
    }
    {
        std::lock_guard guard(tableLock_);
        ReleaseHandles();
    }
    os::CloseHandle(wakeEvent_);
}

void TNotificationThread::Abandon() {
    FileLog = nullptr;
    SetFreeOnTerminate(true);
    Terminate();
    Wake();
}

void TNotificationThread::Wake() {
    os::SetEvent(wakeEvent_);
}

void TNotificationThread::Reset() {
    try {
        std::lock_guard guard(tableLock_);
        ++tableVersion_;
        ReleaseHandles();
        AllocateHandles();
    } catch (...) {
        Wake();  // the worker must stop waiting on the handles just closed
        throw;
    }
    Wake();
}

void TNotificationThread::AllocateHandles() {
    if (FileLog == nullptr || FileLog->Options().Empty()) return;
    Handles.fill(nullptr);
    HandleCount = 0;
    const TFileNotificationOptions options = FileLog->Options();
    const os::BOOL subtree = options.Contains(foWatchSubFolders) ? os::TRUE : os::FALSE;
    try {
        for (auto option : {foFile, foFolder, foAttributes, foSize, foTime}) {
            if (!options.Contains(option)) continue;
            HandleOptions[HandleCount] = option;
            os::HANDLE handle = os::FindFirstChangeNotificationA(FileLog->Folder().c_str(), subtree,
                                                                 FileNotificationFilters[option]);
            Handles[HandleCount++] = handle;
            if (handle == os::INVALID_HANDLE_VALUE) {
                // The plain message, unless the user can do something about it.
                std::string hint = os::ChangeNotificationErrorText(os::GetLastError());
                throw EFileNotificationError(hint.empty() ? std::string(kAllocateError)
                                                          : kAllocateError + (": " + hint));
            }
        }
    } catch (...) {
        ReleaseHandles();
        throw;
    }
}

void TNotificationThread::ReleaseHandles() {
    for (std::int32_t i = 0; i < HandleCount; ++i) {
        if (Handles[i] != nullptr && Handles[i] != os::INVALID_HANDLE_VALUE)
            os::FindCloseChangeNotification(Handles[i]);
    }
    Handles.fill(nullptr);
    HandleOptions.fill(foFile);
    HandleCount = 0;
}

void TNotificationThread::Execute() {
    while (!Terminated()) {
        // The worker waits on a copy of the table and on the wake event: a
        // Reset meanwhile wakes it, and the copy tells by its version whether
        // it still stands for the table.
        std::array<os::HANDLE, 9> waitOn{};
        std::array<TFileNotificationOption, 8> options{};
        os::DWORD count = 0;
        std::uint64_t version = 0;
        {
            std::lock_guard guard(tableLock_);
            count = static_cast<os::DWORD>(HandleCount);
            std::copy_n(Handles.begin(), count, waitOn.begin());
            options = HandleOptions;
            version = tableVersion_;
        }
        waitOn[count] = wakeEvent_;
        // With no handle nothing can come but a Reset or the end.
        const os::DWORD result = os::WaitForMultipleObjects(count + 1, waitOn.data(), os::FALSE,
                                                            count > 0 ? kWaitMs : os::INFINITE);
        if (result == os::WAIT_FAILED) os::Sleep(1);  // never a busy loop
        // A time-out, wake-up or failure starts the next wait at once: a
        // pause there would only double an idle watcher's wake-ups.
        if (result >= count) continue;
        {
            std::lock_guard guard(tableLock_);
            if (version != tableVersion_) continue;  // a change seen by a table now gone
        }
        CurrentOption = options[result];
        Synchronize([this] { Notify(); });
        {
            std::lock_guard guard(tableLock_);
            if (version == tableVersion_) os::FindNextChangeNotification(waitOn[result]);
        }
        os::Sleep(1);
    }
}

void TNotificationThread::Notify() {
    if (FileLog == nullptr) return;
    notifying_ = true;
    try {
        FileLog->Notify(CurrentOption);
    } catch (...) {
        // A failing handler is the application's to hear of, like any
        // other event handler's; the watcher goes on.
        HandleDispatchException();
    }
    notifying_ = false;
}

// ---- TKVFileLog --------------------------------------------------------------------

TKVFileLog::TKVFileLog(TComponent* owner) : TKVLogBase(owner) {}

TKVFileLog::~TKVFileLog() {
    FreeThread();
}

void TKVFileLog::Loaded() {
    inherited::Loaded();
    // Activation read from a form file waits until Folder and Options, which
    // the file stores after Active, are read too.
    if (Active() && notificationThread_ == nullptr && !IsDesigning()) StartThread();
}

void TKVFileLog::SetActive(bool value) {
    inherited::SetActive(value);
    if (!value) {
        FreeThread();
    } else if (!IsLoading() && !IsDesigning()) {
        // In the designer Active is only a setting of the form: a folder
        // that is gone must not keep the form from being opened and mended.
        StartThread();
    }
}

void TKVFileLog::StartThread() {
    // One worker per component: a second activation replaces the first.
    FreeThread();
    notificationThread_ = new TNotificationThread(this);
}

void TKVFileLog::FreeThread() {
    TNotificationThread* thread = std::exchange(notificationThread_, nullptr);
    if (thread == nullptr) return;
    // Inside one of its reports the worker waits for the handler that is
    // ending it, so it cannot be waited for here: it ends by itself.
    if (thread->Notifying()) {
        thread->Abandon();
    } else {
        delete thread;
    }
}

void TKVFileLog::SetFolder(const std::string& value) {
    if (value == folder_) return;
    folder_ = value;
    if (notificationThread_) notificationThread_->Reset();
}

void TKVFileLog::SetOptions(TFileNotificationOptions value) {
    if (value == options_) return;
    options_ = value;
    if (notificationThread_) notificationThread_->Reset();
}

void TKVFileLog::Notify(TFileNotificationOption action) {
    if (!Active() || !onFileNotification_) return;
    // Called through a copy: a handler may free this component, and with it
    // the closure that is running.
    TFileNotifyEvent handler = onFileNotification_;
    handler(this, action);
}

}  // namespace zr
