// The registry change log: watches one registry key from a worker thread and
// raises OnRegistryNotification on the main thread for each change of the
// selected kinds. It writes nothing to its log file by itself.
#pragma once

#include <memory>
#include <string>

#include "../core/LogBase.h"
#include "../framework/Event.h"
#include "../framework/Registry.h"
#include "../framework/Set.h"
#include "../framework/Thread.h"
#include "../platform/Registry.h"

namespace zr {

// The kinds of change watched; the first four are the notify filter's bits
// in this order, roWatchSubFolders widens the watch to the key's subtree.
enum TRegistryNotificationOption { roName, roAttributes, roLastSet, roSecurity, roWatchSubFolders };
ZR_ENUM(TRegistryNotificationOption, roName, roAttributes, roLastSet, roSecurity,
        roWatchSubFolders);
using TRegistryNotificationOptions = Set<TRegistryNotificationOption>;

ZR_EXCEPTION_CLASS(ERegistryNotificationError, Exception);

class TKVRegistryLog : public TKVLogBase {
    ZR_CLASS(TKVRegistryLog, TKVLogBase)
  public:
    class TNotificationThread;

    // RootKey HKEY_LOCAL_MACHINE, Key "Software\Varnholt", Options [roName,
    // roAttributes], inactive.
    explicit TKVRegistryLog(TComponent* owner);
    // Ends the watcher first.
    ~TKVRegistryLog() override;

    // True starts a watcher (replacing one that runs, so there is never a
    // second); false ends it. While the component is being read from a form
    // file the watcher waits for Loaded, when every setting has been read.
    void SetActive(bool value) override;
    void Loaded() override;
    // Raises OnRegistryNotification while Active; runs on the main thread.
    virtual void Notify();

    // Plain settings: a change takes effect at the next activation.
    os::HKEY RootKey() const { return rootKey_; }
    void SetRootKey(os::HKEY value) { rootKey_ = value; }
    const std::string& Key() const { return key_; }
    void SetKey(const std::string& value) { key_ = value; }
    TRegistryNotificationOptions Options() const { return options_; }
    void SetOptions(TRegistryNotificationOptions value) { options_ = value; }
    const TNotifyEvent& OnRegistryNotification() const { return onRegistryNotification_; }
    void SetOnRegistryNotification(const TNotifyEvent& handler) {
        onRegistryNotification_ = handler;
    }

    // The running watcher, or null. A key that could not be opened ends it
    // at once; its FatalException then says why.
    TNotificationThread* NotificationThread() const { return notificationThread_.get(); }

  private:
    void StopWatching();

    std::unique_ptr<TNotificationThread> notificationThread_;
    os::HKEY rootKey_ = os::HKEY_LOCAL_MACHINE;
    std::string key_ = "Software\\Varnholt";
    TRegistryNotificationOptions options_{roName, roAttributes};
    TNotifyEvent onRegistryNotification_;
};

// Opens the watched key read-only, arms a change notification on it and
// hands each signalled change to the component on the main thread.
class TKVRegistryLog::TNotificationThread final : public TThread {
  public:
    // Takes the component's settings and starts at once.
    explicit TNotificationThread(TKVRegistryLog* log);
    // Wakes the worker, waits for it, then closes the key.
    ~TNotificationThread() override;

    TKVRegistryLog* RegistryLog() const { return registryLog_; }
    // Inside the component's Notify, on the main thread.
    bool Notifying() const { return notifying_; }
    // Ends the watch without waiting for the worker, which frees this object
    // when it has stopped; for a component that is told to stop from within
    // this watcher's own report.
    void Abandon();

  protected:
    void Execute() override;

  private:
    void Arm();
    void Notify();

    TKVRegistryLog* registryLog_;
    std::unique_ptr<TRegistry> registry_;
    // The settings, taken on the main thread when the watcher starts, so the
    // worker never reads fields that the application may be changing.
    os::HKEY rootKey_;
    std::string key_;
    TRegistryNotificationOptions options_;
    // Each watcher's own event: a change under another component's key never
    // wakes this one.
    os::HANDLE event_;
    bool notifying_ = false;  // main thread only
};

}  // namespace zr
