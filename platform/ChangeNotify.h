// Folder change notifications with the Windows shapes, on inotify.
//
// A change notification handle is signalled when a change of the kinds in
// its filter happens in its folder (or anywhere below it, for a subtree
// watch) and stays signalled until FindNextChangeNotification re-arms it.
// Changes made while it is signalled are kept and signal it again right
// after the re-arm. It is a waitable handle of platform/Sync, so one
// WaitForMultipleObjects can wait on several of them and on events.
#pragma once

#include <string>

#include "InotifyTree.h"
#include "InvalidHandle.h"
#include "LastError.h"
#include "Sync.h"

namespace zr::os {

// A file was created, deleted or renamed (moved in, out or within).
constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x01;
// The same for a folder.
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x02;
// Permissions, owner, extended attributes, link count or times set
// explicitly (touch).
constexpr DWORD FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x04;
// A file was written or truncated. The kernel does not tell whether the
// size really changed, so a write in place counts too.
constexpr DWORD FILE_NOTIFY_CHANGE_SIZE = 0x08;
// A file was written or truncated.
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;

// A handle for changes of the kinds in `notifyFilter` (any combination of
// the five values above) in `pathName`, and below it with `watchSubtree`:
// folders created or moved in later are watched as soon as they appear, and
// what was made in a new folder before its watch existed is found by a scan
// of it. INVALID_HANDLE_VALUE with the last error set for an empty or
// missing folder (ERROR_PATH_NOT_FOUND), a name that is no folder
// (ERROR_DIRECTORY), a folder that cannot be read (ERROR_ACCESS_DENIED), a
// filter of no known kind (ERROR_INVALID_PARAMETER) and a tree with more
// folders than the inotify watch limit allows (ERROR_NOT_ENOUGH_QUOTA; see
// ChangeNotificationErrorText).
//
// When the kernel's event queue overflows, the changes it dropped cannot be
// told apart, so the handle is signalled whatever its filter.
HANDLE FindFirstChangeNotificationA(const char* pathName, BOOL watchSubtree, DWORD notifyFilter);
// Re-arms a signalled handle. False with ERROR_INVALID_HANDLE for a handle
// that is no open change notification.
BOOL FindNextChangeNotification(HANDLE changeHandle);
// Closes the handle; a wait that holds it meanwhile ends normally.
BOOL FindCloseChangeNotification(HANDLE changeHandle);

// A sentence for a failure of FindFirstChangeNotificationA that the user
// can remedy (the watch limit names fs.inotify.max_user_watches), or "".
std::string ChangeNotificationErrorText(DWORD error);

// Replaces inotify_add_watch for the handles made from now on (tests reach
// the watch limit with it); null restores the real call. Returns the one
// that was in place.
TInotifyAddWatch SetInotifyAddWatch(TInotifyAddWatch addWatch);

}  // namespace zr::os
