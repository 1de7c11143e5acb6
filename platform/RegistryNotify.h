// Registry change notifications: inotify watches on key folders, read by one
// thread of the process that signals each armed notification's event once.
#pragma once

#include <string>

#include "Registry.h"

namespace zr::os::regstore {

// Arms a notification for the key folder (and its subtree). The watches are
// in place when this returns, so no later change is missed.
LSTATUS ArmNotification(HKEY key, const std::string& folder, bool subtree, DWORD filter,
                        HANDLE event);
// Signals and drops the notifications armed on `key`.
void KeyClosed(HKEY key);

}  // namespace zr::os::regstore
