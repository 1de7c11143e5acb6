#include "watchers/LogShell.h"

#include <array>

#include "framework/MessageQueue.h"
#include "framework/SessionEnd.h"
#include "framework/ShellNotifyRelay.h"
#include "framework/SysUtils.h"
#include "platform/ShellNotify.h"

namespace zr {

namespace {

// The registration's message.
constexpr UINT WM_SHELLNOTIFY = WM_USER + 1;

// A handler may free this component, and with it the closure that is
// running: the call goes through a copy that lives until the handler returns.
template <class Event, class... Args>
void Raise(const Event& event, const Args&... args) {
    if (!event) return;
    const Event running = event;
    running(args...);
}

constexpr std::array<os::LONG, 21> ShellEventCodes{
    os::SHCNE_ASSOCCHANGED,
    os::SHCNE_ATTRIBUTES,
    os::SHCNE_UPDATEITEM,
    os::SHCNE_CREATE,
    os::SHCNE_DELETE,
    os::SHCNE_RENAMEITEM,
    os::SHCNE_DRIVEADD,
    os::SHCNE_DRIVEREMOVED,
    os::SHCNE_DRIVEADDGUI,
    os::SHCNE_FREESPACE,
    os::SHCNE_MEDIAINSERTED,
    os::SHCNE_MEDIAREMOVED,
    os::SHCNE_MKDIR,
    os::SHCNE_RMDIR,
    os::SHCNE_RENAMEFOLDER,
    os::SHCNE_UPDATEDIR,
    os::SHCNE_NETSHARE,
    os::SHCNE_NETUNSHARE,
    os::SHCNE_SERVERDISCONNECT,
    os::SHCNE_UPDATEIMAGE,
    0,  // lnEndSessionQuery: no shell event
};

}  // namespace

std::uint32_t KVLShellEventCode(TKVLNotificationEvent value) {
    return static_cast<std::uint32_t>(ShellEventCodes.at(static_cast<std::size_t>(value)));
}

ZR_REGISTER_CLASS(TKVShellLog, c) {
    c.Property("Path", &TKVShellLog::Path, &TKVShellLog::SetPath);
    c.Property("Active", &TKVShellLog::GetActive, &TKVShellLog::SetActive);
    c.Property("WatchSubTree", &TKVShellLog::WatchSubTree, &TKVShellLog::SetWatchSubTree);
    c.Property("Options", &TKVShellLog::Options, &TKVShellLog::SetOptions);
    c.Property("OnAssociationChange", &TKVShellLog::OnAssociationChange,
               &TKVShellLog::SetOnAssociationChange);
    c.Property("OnAttributesChange", &TKVShellLog::OnAttributesChange,
               &TKVShellLog::SetOnAttributesChange);
    c.Property("OnFileCreate", &TKVShellLog::OnFileCreate, &TKVShellLog::SetOnFileCreate);
    c.Property("OnFolderRename", &TKVShellLog::OnFolderRename, &TKVShellLog::SetOnFolderRename);
    c.Property("OnFolderUpdate", &TKVShellLog::OnFolderUpdate, &TKVShellLog::SetOnFolderUpdate);
    c.Property("OnFileDelete", &TKVShellLog::OnFileDelete, &TKVShellLog::SetOnFileDelete);
    c.Property("OnDriveAdd", &TKVShellLog::OnDriveAdd, &TKVShellLog::SetOnDriveAdd);
    c.Property("OnFolderRemove", &TKVShellLog::OnFolderRemove, &TKVShellLog::SetOnFolderRemove);
    c.Property("OnFileRename", &TKVShellLog::OnFileRename, &TKVShellLog::SetOnFileRename);
    c.Property("OnDriveAddGui", &TKVShellLog::OnDriveAddGui, &TKVShellLog::SetOnDriveAddGui);
    c.Property("OnDriveRemove", &TKVShellLog::OnDriveRemove, &TKVShellLog::SetOnDriveRemove);
    c.Property("OnMediaInserted", &TKVShellLog::OnMediaInserted, &TKVShellLog::SetOnMediaInserted);
    c.Property("OnMediaRemove", &TKVShellLog::OnMediaRemove, &TKVShellLog::SetOnMediaRemove);
    c.Property("OnFolderCreate", &TKVShellLog::OnFolderCreate, &TKVShellLog::SetOnFolderCreate);
    c.Property("OnNetShare", &TKVShellLog::OnNetShare, &TKVShellLog::SetOnNetShare);
    c.Property("OnNetUnShare", &TKVShellLog::OnNetUnShare, &TKVShellLog::SetOnNetUnShare);
    c.Property("OnServerDisconnect", &TKVShellLog::OnServerDisconnect,
               &TKVShellLog::SetOnServerDisconnect);
    c.Property("OnEndSessionQuery", &TKVShellLog::OnEndSessionQuery,
               &TKVShellLog::SetOnEndSessionQuery);
}

TKVShellLog::TKVShellLog(TComponent* owner) : TComponent(owner) {
    // A component on a form in the designer (csDesigning comes from the
    // owner) gets no window and never registers.
    if (!IsDesigning()) {
        notifyWindow_ = AllocateHWnd(TWndMethod(this, &TKVShellLog::WndProc));
        AddSessionWindow(notifyWindow_);
    }
}

TKVShellLog::~TKVShellLog() {
    if (!IsDesigning()) SetActive(false);
    if (notifyWindow_ != nullptr) {
        RemoveSessionWindow(notifyWindow_);
        DeallocateHWnd(notifyWindow_);
    }
}

bool TKVShellLog::GetActive() const {
    return notifyID_ != 0 && activeRequested_;
}

void TKVShellLog::SetActive(bool value) {
    if (value == activeRequested_) return;
    activeRequested_ = value;
    if (value) {
        ShellNotifyRegister();
    } else {
        ShellNotifyUnregister();
    }
}

void TKVShellLog::Reregister() {
    if (!activeRequested_) return;
    SetActive(false);
    SetActive(true);
}

void TKVShellLog::SetPath(const std::string& value) {
    if (value != path_) path_ = value;
    Reregister();
}

void TKVShellLog::SetWatchSubTree(bool value) {
    if (value != watchSubTree_) watchSubTree_ = value;
    Reregister();
}

void TKVShellLog::SetOptions(TKVLNotificationEvents value) {
    if (!(value == options_)) options_ = value;
    Reregister();
}

void TKVShellLog::ShellNotifyRegister() {
    if (IsDesigning() || IsLoading()) return;
    os::LPITEMIDLIST item = nullptr;
    // A Path that names no folder would otherwise register with no item,
    // which watches the whole home folder instead: register nothing then.
    if (!path_.empty() && os::SHILCreateFromPath(path_.c_str(), &item, nullptr) != os::S_OK) {
        ShellNotifyUnregister();
        return;
    }
    InstallShellNotifyRelay();
    const os::SHChangeNotifyEntry entry{item, watchSubTree_ ? os::TRUE : os::FALSE};
    if (notifyID_ != 0) ShellNotifyUnregister();
    std::uint32_t mask = 0;
    for (int value = lnAssociationChange; value <= lnEndSessionQuery; ++value)
        if (options_.Contains(static_cast<TKVLNotificationEvent>(value)))
            mask |= KVLShellEventCode(static_cast<TKVLNotificationEvent>(value));
    notifyID_ =
        os::SHChangeNotifyRegister(notifyWindow_, os::SHCNRF_InterruptLevel | os::SHCNRF_ShellLevel,
                                   static_cast<os::LONG>(mask), WM_SHELLNOTIFY, 1, &entry);
    // The platform keeps a copy of the item; ours would only leak.
    if (item != nullptr) {
        os::IMalloc* allocator = nullptr;
        if (os::SHGetMalloc(&allocator) == os::S_OK) {
            allocator->Free(item);
            allocator->Release();
        }
    }
}

void TKVShellLog::ShellNotifyUnregister() {
    if (notifyID_ != 0) os::SHChangeNotifyDeregister(notifyID_);
    // A later registration must not be mistaken for this one, nor the
    // platform's next id be deregistered by a second call.
    notifyID_ = 0;
}

void TKVShellLog::WndProc(TMessage& message) {
    switch (message.Msg) {
        case WM_QUERYENDSESSION:
            if (options_.Contains(lnEndSessionQuery)) Raise(OnEndSessionQuery_, this);
            // Answering 0 would refuse the end of the session for the whole
            // application; this window has nothing to keep open.
            message.Result = 1;
            break;
        case WM_SHELLNOTIFY:
            Notified(message);
            break;
        default:
            break;
    }
}

void TKVShellLog::Notified(const TMessage& message) {
    const auto event = static_cast<std::uint32_t>(message.LParam) &
                       ~static_cast<std::uint32_t>(os::SHCNE_INTERRUPT);
    const auto* items = reinterpret_cast<const os::LPCITEMIDLIST*>(message.WParam);
    const std::string path1 = items != nullptr ? PathFromPIDL(items[0]) : std::string();
    const std::string path2 = items != nullptr ? PathFromPIDL(items[1]) : std::string();
    if (static_cast<std::int32_t>(event) == lastEvent_ &&
        UpperCase(path1) == UpperCase(lastPath1_) && UpperCase(path2) == UpperCase(lastPath2_))
        return;
    lastEvent_ = static_cast<std::int32_t>(event);
    lastPath1_ = path1;
    lastPath2_ = path2;
    Dispatch(event, path1, path2);
}

void TKVShellLog::Dispatch(std::uint32_t event, const std::string& path1,
                           const std::string& path2) {
    switch (static_cast<os::LONG>(event)) {
        case os::SHCNE_ASSOCCHANGED:
            DoAssociationChange();
            break;
        case os::SHCNE_ATTRIBUTES:
            DoAttributesChange(path1, path2);
            break;
        case os::SHCNE_CREATE:
            DoCreateFile(path1);
            break;
        case os::SHCNE_DELETE:
            DoDeleteFile(path1);
            break;
        case os::SHCNE_RENAMEITEM:
            DoRenameItem(path1, path2);
            break;
        case os::SHCNE_DRIVEADD:
            DoDriveAdd(path1);
            break;
        case os::SHCNE_DRIVEREMOVED:
            DoDriveRemove(path1);
            break;
        case os::SHCNE_DRIVEADDGUI:
            DoDriveAddGui(path1);
            break;
        case os::SHCNE_MEDIAINSERTED:
            DoMediaInsert(path1);
            break;
        case os::SHCNE_MEDIAREMOVED:
            DoMediaRemove(path1);
            break;
        case os::SHCNE_MKDIR:
            DoDirCreate(path1);
            break;
        case os::SHCNE_RMDIR:
            DoFolderRemove(path1);
            break;
        case os::SHCNE_RENAMEFOLDER:
            DoRenameFolder(path1, path2);
            break;
        // These two name the watched folder, whatever item came with them:
        // a copy, which outlives a handler that frees this component.
        case os::SHCNE_UPDATEDIR:
            DoDirUpdate(std::string(path_));
            break;
        case os::SHCNE_NETSHARE:
            DoNetShare(path1);
            break;
        case os::SHCNE_NETUNSHARE:
            DoNetUnShare(path1);
            break;
        case os::SHCNE_SERVERDISCONNECT:
            DoServerDisconnect(std::string(path_));
            break;
        default:
            break;  // updated items, free space, the image list, anything else
    }
}

// The lists belong to the platform while the message is handled: they are
// read here, never freed.
std::string TKVShellLog::PathFromPIDL(const void* pidl) {
    char buffer[os::MAX_PATH];
    if (os::SHGetPathFromIDListA(static_cast<os::LPCITEMIDLIST>(pidl), buffer)) return buffer;
    return std::string();
}

void TKVShellLog::DoAssociationChange() {
    if (options_.Contains(lnAssociationChange)) Raise(OnAssociationChange_, this);
}

void TKVShellLog::DoAttributesChange(const std::string& OldValue, const std::string& NewValue) {
    Raise(OnAttributesChange_, this, OldValue, NewValue);
}

#define ZR_SHELL_DO1(Method, Event)                      \
    void TKVShellLog::Method(const std::string& Value) { \
        Raise(Event##_, this, Value);                    \
    }
ZR_SHELL_DO1(DoCreateFile, OnFileCreate)
ZR_SHELL_DO1(DoDeleteFile, OnFileDelete)
ZR_SHELL_DO1(DoDriveAdd, OnDriveAdd)
ZR_SHELL_DO1(DoDriveAddGui, OnDriveAddGui)
ZR_SHELL_DO1(DoDriveRemove, OnDriveRemove)
ZR_SHELL_DO1(DoMediaInsert, OnMediaInserted)
ZR_SHELL_DO1(DoMediaRemove, OnMediaRemove)
ZR_SHELL_DO1(DoDirCreate, OnFolderCreate)
ZR_SHELL_DO1(DoNetShare, OnNetShare)
ZR_SHELL_DO1(DoNetUnShare, OnNetUnShare)
ZR_SHELL_DO1(DoFolderRemove, OnFolderRemove)
ZR_SHELL_DO1(DoServerDisconnect, OnServerDisconnect)
ZR_SHELL_DO1(DoDirUpdate, OnFolderUpdate)
#undef ZR_SHELL_DO1

void TKVShellLog::DoRenameFolder(const std::string& OldValue, const std::string& NewValue) {
    Raise(OnFolderRename_, this, OldValue, NewValue);
}

void TKVShellLog::DoRenameItem(const std::string& OldValue, const std::string& NewValue) {
    Raise(OnFileRename_, this, OldValue, NewValue);
}

}  // namespace zr
