// Shell change notifications: a window registers for namespace events under
// one folder and receives each one as its registered message, with the items
// involved as item id lists.
//
// Where the events come from on Linux:
//  - files and folders created, deleted, renamed (the two halves of a move
//    paired into one rename), attributes changed, files written and closed
//    (SHCNE_UPDATEITEM), and a folder whose contents changed
//    (SHCNE_UPDATEDIR): inotify under the entry's folder, every subfolder
//    included (new ones too) when the entry is recursive. No item means the
//    user's home folder. A move into the watched tree counts as made there,
//    a move out of it as deleted; a lost burst of events (the kernel's queue
//    overflowed) as SHCNE_UPDATEDIR of the folder.
//  - drives and media: the process's mount table. A mounted device or
//    network share that appears or goes is SHCNE_DRIVEADD / SHCNE_DRIVEREMOVED,
//    or SHCNE_MEDIAINSERTED / SHCNE_MEDIAREMOVED for a removable device; the
//    item is the mount point. They concern the whole machine, so they reach
//    every registration that asks for them, wherever its folder is.
//  - SHCNE_ASSOCCHANGED: the user's MIME associations file
//    ($XDG_CONFIG_HOME/mimeapps.list) written, replaced or removed; no items.
// Linux has no source for network shares, server disconnects, the image list
// or free space (nor SHCNE_DRIVEADDGUI): a program (or a test) reports those,
// and any other event, with SHChangeNotify.
//
// Delivery: the platform knows no windows. The layer above that owns them
// installs a relay (SetShellNotifyRelay); window handles pass through here
// as opaque targets. The message reaches the window on the main thread while
// the main thread dispatches its queue, with WParam pointing at two item id lists
// (either may be null) and LParam holding the event code, with
// SHCNE_INTERRUPT set for events that the file system or the mount table
// reported. The lists belong to the platform and are valid only while the
// window procedure runs: the receiver must not free them. Events for a
// registration that has been deregistered are dropped, even when already
// on their way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "LastError.h"
#include "Sync.h"

namespace zr::os {

using ULONG = std::uint32_t;
using LONG = std::int32_t;
using HRESULT = std::int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT HRESULT_FILE_NOT_FOUND = static_cast<HRESULT>(0x80070002);

// The size of the buffer SHGetPathFromIDListA fills, terminator included.
constexpr std::size_t MAX_PATH = 260;

// An item id list: items of `cb` bytes (cb included), ended by a cb of 0.
// Here a list names one file-system path: a single item holding the path's
// bytes and a terminating zero.
#pragma pack(push, 1)
struct SHITEMID {
    std::uint16_t cb;
    std::uint8_t abID[1];
};
#pragma pack(pop)
struct ITEMIDLIST {
    SHITEMID mkid;
};
using LPITEMIDLIST = ITEMIDLIST*;
using LPCITEMIDLIST = const ITEMIDLIST*;

// The shell's allocator: item id lists made by the platform for a caller
// (SHILCreateFromPath) are freed with its Free.
class IMalloc {
  public:
    virtual void* Alloc(std::size_t size) = 0;
    virtual void* Realloc(void* block, std::size_t size) = 0;
    virtual void Free(void* block) = 0;
    virtual std::size_t GetSize(void* block) = 0;
    // The allocator lives as long as the process; the counts are kept for
    // callers that pair them, and Release frees nothing.
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IMalloc() = default;
};

HRESULT SHGetMalloc(IMalloc** allocator);

// Attribute bits SHILCreateFromPath reports for the bits asked in *attributes.
constexpr DWORD SFGAO_FOLDER = 0x20000000;
constexpr DWORD SFGAO_FILESYSTEM = 0x40000000;

// The item id list of an existing file or folder. A relative path is taken
// from the current folder; trailing slashes are dropped. The list is the
// caller's, to be freed with the shell allocator. Fails (with *pidl null)
// for an empty, missing or too long path. `attributes`, when given, holds
// the SFGAO bits asked for and receives those that apply.
HRESULT SHILCreateFromPath(const char* path, LPITEMIDLIST* pidl, DWORD* attributes);

// Copies the file-system path of `pidl` into `path`, a buffer of MAX_PATH
// characters. FALSE, with path empty, for no list, a list that names no
// file-system path, or a path that does not fit.
BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, char* path);

// A window, as the layer that owns windows hands it in.
using TNotifyTarget = void*;

// How notifications reach their windows, installed by the layer above.
class IShellNotifyRelay {
  public:
    // Whether `target` is a window that can receive notifications now.
    virtual bool Exists(TNotifyTarget target) = 0;
    // Notifications wait: called from any thread, with no lock of the
    // platform held. The relay has DeliverShellNotifications run soon on the
    // thread that owns the windows.
    virtual void Wake() = 0;
    // Hands one notification to its window and returns once the window
    // procedure has run; `items` lives only for the call.
    virtual void Deliver(TNotifyTarget target, unsigned message, const LPCITEMIDLIST items[2],
                         LONG event) = 0;

  protected:
    ~IShellNotifyRelay() = default;
};

// Installs the relay (it must live as long as the process: watcher threads
// may wake it while the process exits). Registrations fail while none is.
void SetShellNotifyRelay(IShellNotifyRelay* relay);
// On the relay's thread: delivers every waiting notification. An exception
// from a window procedure travels on to the caller.
void DeliverShellNotifications();

// Event codes.
constexpr LONG SHCNE_RENAMEITEM = 0x00000001;
constexpr LONG SHCNE_CREATE = 0x00000002;
constexpr LONG SHCNE_DELETE = 0x00000004;
constexpr LONG SHCNE_MKDIR = 0x00000008;
constexpr LONG SHCNE_RMDIR = 0x00000010;
constexpr LONG SHCNE_MEDIAINSERTED = 0x00000020;
constexpr LONG SHCNE_MEDIAREMOVED = 0x00000040;
constexpr LONG SHCNE_DRIVEREMOVED = 0x00000080;
constexpr LONG SHCNE_DRIVEADD = 0x00000100;
constexpr LONG SHCNE_NETSHARE = 0x00000200;
constexpr LONG SHCNE_NETUNSHARE = 0x00000400;
constexpr LONG SHCNE_ATTRIBUTES = 0x00000800;
constexpr LONG SHCNE_UPDATEDIR = 0x00001000;
constexpr LONG SHCNE_UPDATEITEM = 0x00002000;
constexpr LONG SHCNE_SERVERDISCONNECT = 0x00004000;
constexpr LONG SHCNE_UPDATEIMAGE = 0x00008000;
constexpr LONG SHCNE_DRIVEADDGUI = 0x00010000;
constexpr LONG SHCNE_RENAMEFOLDER = 0x00020000;
constexpr LONG SHCNE_FREESPACE = 0x00040000;
constexpr LONG SHCNE_ASSOCCHANGED = 0x08000000;
constexpr LONG SHCNE_ALLEVENTS = 0x7FFFFFFF;
constexpr LONG SHCNE_INTERRUPT = static_cast<LONG>(0x80000000);

// Sources: events the file system and the mount table report (interrupt
// level), and events reported with SHChangeNotify (shell level).
constexpr int SHCNRF_InterruptLevel = 0x0001;
constexpr int SHCNRF_ShellLevel = 0x0002;

// What a registration watches: one item and whether its subfolders count.
struct SHChangeNotifyEntry {
    LPCITEMIDLIST pidl;
    BOOL fRecursive;
};

// Registers `window` (ERROR_INVALID_HANDLE too while no relay is installed) for the events of
// `events` (SHCNE_INTERRUPT ignored) from `sources`, delivered as `message`. Takes exactly one
// entry, whose item id list is copied (the caller keeps its own). Returns the registration id, or 0
// with the last error set: no window (ERROR_INVALID_HANDLE), no source or not one entry
// (ERROR_INVALID_PARAMETER), or a folder that cannot be watched (missing,
// not allowed, or the system's limit of watches reached).
ULONG SHChangeNotifyRegister(TNotifyTarget window, int sources, LONG events, unsigned message,
                             int entryCount, const SHChangeNotifyEntry* entries);
// Ends a registration; FALSE for an id that is not registered.
BOOL SHChangeNotifyDeregister(ULONG id);

// How SHChangeNotify's items are given.
constexpr unsigned SHCNF_IDLIST = 0x0000;  // item id lists
constexpr unsigned SHCNF_PATHA = 0x0001;   // file-system paths, 8-bit text
constexpr unsigned SHCNF_TYPE = 0x00FF;
constexpr unsigned SHCNF_FLUSH = 0x1000;  // accepted; delivery is always by the queue

// Reports an event to every registration that takes shell-level events of
// its code. An event about files and folders (created, deleted, renamed,
// attributes, updated) reaches a registration when one of its items is the
// registration's folder or lies in it (or below it, when recursive); the
// other events concern the whole machine and reach all of them. Callable
// from any thread.
void SHChangeNotify(LONG event, unsigned flags, const void* item1, const void* item2);

}  // namespace zr::os
