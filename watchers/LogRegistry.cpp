#include "watchers/LogRegistry.h"

#include <thread>

#include "framework/MessageQueue.h"
#include "framework/TypeInfo.h"
#include "platform/Sync.h"

namespace zr {

ZR_REGISTER_CLASS(TKVRegistryLog, c) {
    c.Property("RootKey", &TKVRegistryLog::RootKey, &TKVRegistryLog::SetRootKey)
        .Default(os::HKEY_LOCAL_MACHINE)
        .NamedBy([](std::int64_t key) { return os::RegRootKeyName(static_cast<os::HKEY>(key)); });
    c.Property("Key", &TKVRegistryLog::Key, &TKVRegistryLog::SetKey);
    c.Property("Options", &TKVRegistryLog::Options, &TKVRegistryLog::SetOptions);
    c.Property("OnRegistryNotification", &TKVRegistryLog::OnRegistryNotification,
               &TKVRegistryLog::SetOnRegistryNotification);
}

// ---- the component -------------------------------------------------------------

TKVRegistryLog::TKVRegistryLog(TComponent* owner) : TKVLogBase(owner) {
    // The base constructor's SetActive(false) ran the base version; this
    // class's would have found no thread to end, so nothing is missed.
}

TKVRegistryLog::~TKVRegistryLog() {
    StopWatching();
}

void TKVRegistryLog::SetActive(bool value) {
    inherited::SetActive(value);
    StopWatching();
    // In the designer Active is only a setting of the form: nothing watches.
    if (value && !IsLoading() && !IsDesigning())
        notificationThread_ = std::make_unique<TNotificationThread>(this);
}

void TKVRegistryLog::Loaded() {
    inherited::Loaded();
    if (Active() && !notificationThread_ && !IsDesigning())
        notificationThread_ = std::make_unique<TNotificationThread>(this);
}

void TKVRegistryLog::Notify() {
    if (!Active() || !onRegistryNotification_) return;
    // Called through a copy: a handler may free this component, and with it
    // the closure that is running.
    TNotifyEvent handler = onRegistryNotification_;
    handler(this);
}

void TKVRegistryLog::StopWatching() {
    if (notificationThread_ && notificationThread_->Notifying()) {
        // Called from the handler of this watcher's own report: the worker
        // waits in Synchronize until the handler returns, so waiting for the
        // worker here would never end. It is told to stop and frees itself.
        notificationThread_.release()->Abandon();
        return;
    }
    notificationThread_.reset();
}

// ---- the watcher ---------------------------------------------------------------

TKVRegistryLog::TNotificationThread::TNotificationThread(TKVRegistryLog* log)
    : TThread(true),
      registryLog_(log),
      registry_(std::make_unique<TRegistry>()),
      rootKey_(log->RootKey()),
      key_(log->Key()),
      options_(log->Options()),
      event_(os::CreateEventA(nullptr, os::TRUE, os::FALSE, nullptr)) {
    SetFreeOnTerminate(false);
    Resume();
}

TKVRegistryLog::TNotificationThread::~TNotificationThread() {
    // Terminated first, so that the worker takes this wake-up for the end of
    // the watch, not for a change; the key is closed only once the worker has
    // stopped using it. An abandoned watcher is freed by its own thread,
    // after Execute returned.
    if (std::this_thread::get_id() != ThreadID()) {
        Terminate();
        os::SetEvent(event_);
        WaitFor();
    }
    registry_.reset();
    os::CloseHandle(event_);
}

void TKVRegistryLog::TNotificationThread::Abandon() {
    Terminate();
    SetFreeOnTerminate(true);
    os::SetEvent(event_);
}

void TKVRegistryLog::TNotificationThread::Execute() {
    registry_->SetRootKey(rootKey_);
    registry_->SetAccess(os::KEY_READ);
    if (!registry_->OpenKey(key_, false))
        throw ERegistryNotificationError("Unable to open registry key" + key_);
    Arm();
    while (!Terminated()) {
        os::DWORD result = os::WaitForSingleObject(event_, os::INFINITE);
        if (result == os::WAIT_FAILED) os::Sleep(50);  // no event to wait on: do not spin
        if (result != os::WAIT_OBJECT_0) continue;
        if (Terminated()) break;
        Synchronize([this] { Notify(); });
        os::ResetEvent(event_);
        Arm();
    }
}

void TKVRegistryLog::TNotificationThread::Arm() {
    // A filter of no kind is refused by the platform: the watcher then waits,
    // reporting nothing, until it is ended. The result is ignored either way.
    auto filter = static_cast<os::DWORD>(options_.Mask() & 0xF);
    os::RegNotifyChangeKeyValue(registry_->CurrentKey(), options_.Contains(roWatchSubFolders),
                                filter, event_, os::TRUE);
}

void TKVRegistryLog::TNotificationThread::Notify() {
    // A report still queued when the watcher is being ended is dropped: the
    // component may be going away.
    if (Terminated()) return;
    notifying_ = true;
    try {
        registryLog_->Notify();
    } catch (...) {
        // A failing handler is the application's to hear of, like any other
        // event handler's; the watcher goes on, and can still be ended.
        HandleDispatchException();
    }
    notifying_ = false;  // the component may be gone: only this object is touched
}

}  // namespace zr
