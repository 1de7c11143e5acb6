// The folder change log: watches one folder and raises OnFileNotification on
// the main thread for each change of a selected kind there (file names,
// folder names, attributes, sizes, last-write times), optionally in every
// folder below it too. A worker thread holds one change notification handle
// per selected kind, so each report names its kind. The component writes
// nothing to its log file itself; handlers may call WriteAsString.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "../core/LogBase.h"
#include "../framework/Event.h"
#include "../framework/Exceptions.h"
#include "../framework/Set.h"
#include "../framework/Thread.h"
#include "../platform/Sync.h"

namespace zr {

enum TFileNotificationOption { foFile, foFolder, foAttributes, foSize, foTime, foWatchSubFolders };
ZR_ENUM(TFileNotificationOption, foFile, foFolder, foAttributes, foSize, foTime, foWatchSubFolders);
using TFileNotificationOptions = Set<TFileNotificationOption>;

using TFileNotifyEvent = TClosure<TObject* /*Sender*/, TFileNotificationOption /*Action*/>;

ZR_EXCEPTION_CLASS(EFileNotificationError, Exception);

// The notify filter of each kind's handle, indexed foFile to foTime.
extern const std::array<std::uint32_t, 5> FileNotificationFilters;

class TKVFileLog;

// The worker: waits on the handles of the component's kinds and hands each
// report to the main thread.
class TNotificationThread : public TThread {
  public:
    // Fills the handle table in the calling thread, then starts. Raises
    // EFileNotificationError when a handle cannot be made.
    explicit TNotificationThread(TKVFileLog* log);
    // Ends the worker and closes the handles. A report that waits for the
    // main thread is dropped, not delivered.
    ~TNotificationThread() override;

    // Makes the handle table anew from the component's Folder and Options.
    // Main thread only; the worker never sees the table half-made.
    void Reset();

    // Lets go of the component and ends the worker without waiting for it;
    // the object frees itself once the worker returns. For a handler that
    // ends its own log: the worker still waits for that handler to return,
    // so nobody could wait for the worker there.
    void Abandon();
    // True while the component's Notify runs for this thread (main thread).
    bool Notifying() const { return notifying_; }

  protected:
    void Execute() override;

  private:
    void AllocateHandles();
    void ReleaseHandles();
    void Notify();
    void Wake();

    TKVFileLog* FileLog = nullptr;  // main thread only
    // The handle table. Written by Reset on the main thread and read by the
    // worker under tableLock_; every rebuild counts up tableVersion_, so a
    // report from a table that is gone is dropped.
    std::mutex tableLock_;
    std::array<os::HANDLE, 8> Handles{};
    std::array<TFileNotificationOption, 8> HandleOptions{};
    std::int32_t HandleCount = 0;
    std::uint64_t tableVersion_ = 0;
    // Written by the worker just before Synchronize, read on the main thread
    // while the worker waits inside it.
    TFileNotificationOption CurrentOption = foFile;
    // Auto-reset: set by Reset and by the end of the thread, so a worker
    // waiting on the old table (or on nothing at all) wakes at once.
    os::HANDLE wakeEvent_ = nullptr;
    bool notifying_ = false;
};

class TKVFileLog : public TKVLogBase {
    ZR_CLASS(TKVFileLog, TKVLogBase)
  public:
    // Options [foFile, foFolder], Folder empty, no thread.
    explicit TKVFileLog(TComponent* owner);
    ~TKVFileLog() override;

    // While the component is read from a form file, activation waits for
    // Loaded, so it sees the Folder and Options stored after Active.
    void Loaded() override;
    // True starts watching (a fresh worker, replacing one that runs);
    // False ends it. Raises EFileNotificationError when Folder cannot be
    // watched; Active then reads True while nothing is watched.
    void SetActive(bool value) override;
    // Reports a change: raises OnFileNotification while Active.
    virtual void Notify(TFileNotificationOption action);

    const std::string& Folder() const { return folder_; }
    // A different value (case-sensitive) rebuilds the watcher's handles.
    void SetFolder(const std::string& value);
    TFileNotificationOptions Options() const { return options_; }
    void SetOptions(TFileNotificationOptions value);

    const TFileNotifyEvent& OnFileNotification() const { return onFileNotification_; }
    void SetOnFileNotification(const TFileNotifyEvent& handler) { onFileNotification_ = handler; }

    // The running watcher, or null.
    TNotificationThread* NotificationThread() const { return notificationThread_; }

  private:
    void StartThread();
    void FreeThread();

    TNotificationThread* notificationThread_ = nullptr;
    std::string folder_;
    TFileNotificationOptions options_{foFile, foFolder};
    TFileNotifyEvent onFileNotification_;
};

}  // namespace zr
