// The shell change log: registers a hidden window for the shell's change
// notifications under a folder and turns each one into a published event
// with the paths of the items involved; it also reports the session's end
// query. No thread of its own: everything arrives as messages on the main
// thread while the application dispatches its queue.
#pragma once

#include <cstdint>
#include <string>

#include "../framework/Component.h"
#include "../framework/Event.h"
#include "../framework/Messages.h"
#include "../framework/Set.h"
#include "../framework/TypeInfo.h"

namespace zr {

enum TKVLNotificationEvent {
    lnAssociationChange,
    lnAttributesChange,
    lnFileChange,
    lnFileCreate,
    lnFileDelete,
    lnFileRename,
    lnDriveAdd,
    lnDriveRemove,
    lnShellDriveAdd,
    lnDriveSpaceChange,
    lnMediaInsert,
    lnMediaRemove,
    lnFolderCreate,
    lnFolderDelete,
    lnFolderRename,
    lnFolderUpdate,
    lnNetShare,
    lnNetUnShare,
    lnServerDisconnect,
    lnImageListChange,
    lnEndSessionQuery
};
ZR_ENUM(TKVLNotificationEvent, lnAssociationChange, lnAttributesChange, lnFileChange, lnFileCreate,
        lnFileDelete, lnFileRename, lnDriveAdd, lnDriveRemove, lnShellDriveAdd, lnDriveSpaceChange,
        lnMediaInsert, lnMediaRemove, lnFolderCreate, lnFolderDelete, lnFolderRename,
        lnFolderUpdate, lnNetShare, lnNetUnShare, lnServerDisconnect, lnImageListChange,
        lnEndSessionQuery);
using TKVLNotificationEvents = Set<TKVLNotificationEvent>;

// The shell event code each value registers, indexed by the value; 0 for
// lnEndSessionQuery, which is no shell event.
std::uint32_t KVLShellEventCode(TKVLNotificationEvent value);

using TKVLShellNotificationEvent1 = TClosure<TObject* /*Sender*/, const std::string& /*Value*/>;
using TKVLShellNotificationEvent2 =
    TClosure<TObject* /*Sender*/, const std::string& /*OldValue*/, const std::string& /*NewValue*/>;

class TKVShellLog : public TComponent {
    ZR_CLASS(TKVShellLog, TComponent)
  public:
    // Options empty, Path empty, WatchSubTree False, not registered; the
    // hidden window is made unless the component is in the designer.
    explicit TKVShellLog(TComponent* owner);
    // Deregisters and frees the window.
    ~TKVShellLog() override;

    // The folder whose items are watched; empty watches the user's home
    // folder. A folder that does not exist registers nothing (Active reads
    // False). A change while active re-registers.
    const std::string& Path() const { return path_; }
    void SetPath(const std::string& value);

    // True only while a registration is in place and was asked for. A stored
    // True read from a form file asks but does not register; Active then
    // reads False, and setting it True again does nothing until it has been
    // set False first.
    bool GetActive() const;
    bool Active() const { return GetActive(); }
    void SetActive(bool value);

    bool WatchSubTree() const { return watchSubTree_; }
    void SetWatchSubTree(bool value);

    TKVLNotificationEvents Options() const { return options_; }
    void SetOptions(TKVLNotificationEvents value);

    // The hidden window, null in the designer.
    HWND NotifyWindow() const { return notifyWindow_; }

#define ZR_SHELL_EVENT(Name, Type)        \
    const Type& Name() const {            \
        return Name##_;                   \
    }                                     \
    void Set##Name(const Type& handler) { \
        Name##_ = handler;                \
    }
    ZR_SHELL_EVENT(OnAssociationChange, TNotifyEvent)
    ZR_SHELL_EVENT(OnAttributesChange, TKVLShellNotificationEvent2)
    ZR_SHELL_EVENT(OnFileCreate, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnFileDelete, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnDriveAdd, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnDriveAddGui, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnDriveRemove, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnMediaInserted, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnMediaRemove, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnFolderCreate, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnNetShare, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnNetUnShare, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnFolderRename, TKVLShellNotificationEvent2)
    ZR_SHELL_EVENT(OnFileRename, TKVLShellNotificationEvent2)
    ZR_SHELL_EVENT(OnFolderRemove, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnServerDisconnect, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnFolderUpdate, TKVLShellNotificationEvent1)
    ZR_SHELL_EVENT(OnEndSessionQuery, TNotifyEvent)
#undef ZR_SHELL_EVENT

  protected:
    // Each raises its event, when assigned, with this component as Sender.
    // Descendants override them to see the notifications first.
    virtual void DoAssociationChange();  // also needs lnAssociationChange in Options
    virtual void DoAttributesChange(const std::string& OldValue, const std::string& NewValue);
    virtual void DoCreateFile(const std::string& Value);
    virtual void DoDeleteFile(const std::string& Value);
    virtual void DoDriveAdd(const std::string& Value);
    virtual void DoDriveAddGui(const std::string& Value);
    virtual void DoDriveRemove(const std::string& Value);
    virtual void DoMediaInsert(const std::string& Value);
    virtual void DoMediaRemove(const std::string& Value);
    virtual void DoDirCreate(const std::string& Value);
    virtual void DoNetShare(const std::string& Value);
    virtual void DoNetUnShare(const std::string& Value);
    virtual void DoRenameFolder(const std::string& OldValue, const std::string& NewValue);
    virtual void DoRenameItem(const std::string& OldValue, const std::string& NewValue);
    virtual void DoFolderRemove(const std::string& Value);
    virtual void DoServerDisconnect(const std::string& Value);
    virtual void DoDirUpdate(const std::string& Value);

  private:
    void ShellNotifyRegister();
    void ShellNotifyUnregister();
    void Reregister();
    void WndProc(TMessage& message);
    void Notified(const TMessage& message);
    void Dispatch(std::uint32_t event, const std::string& path1, const std::string& path2);
    static std::string PathFromPIDL(const void* pidl);

    TKVLNotificationEvents options_;
    std::string path_;
    bool activeRequested_ = false;
    bool watchSubTree_ = false;
    std::string lastPath1_, lastPath2_;
    std::int32_t lastEvent_ = 0;
    HWND notifyWindow_ = nullptr;
    std::uint32_t notifyID_ = 0;

    TNotifyEvent OnAssociationChange_;
    TKVLShellNotificationEvent2 OnAttributesChange_;
    TKVLShellNotificationEvent1 OnFileCreate_;
    TKVLShellNotificationEvent1 OnFileDelete_;
    TKVLShellNotificationEvent1 OnDriveAdd_;
    TKVLShellNotificationEvent1 OnDriveAddGui_;
    TKVLShellNotificationEvent1 OnDriveRemove_;
    TKVLShellNotificationEvent1 OnMediaInserted_;
    TKVLShellNotificationEvent1 OnMediaRemove_;
    TKVLShellNotificationEvent1 OnFolderCreate_;
    TKVLShellNotificationEvent1 OnNetShare_;
    TKVLShellNotificationEvent1 OnNetUnShare_;
    TKVLShellNotificationEvent2 OnFolderRename_;
    TKVLShellNotificationEvent2 OnFileRename_;
    TKVLShellNotificationEvent1 OnFolderRemove_;
    TKVLShellNotificationEvent1 OnServerDisconnect_;
    TKVLShellNotificationEvent1 OnFolderUpdate_;
    TNotifyEvent OnEndSessionQuery_;
};

}  // namespace zr
