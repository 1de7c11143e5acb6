// The end of the user's session or of the system, as the application's
// windows learn it: WM_QUERYENDSESSION, sent to the application's main
// window and to every window that asked for it.
//
// The platform learns of the end where Linux announces it: systemd-logind's
// PrepareForShutdown on the system bus, watched while at least one window
// has asked and where the bus can be reached. Otherwise the windows hear of
// it only when the application calls QueryEndSession (or sends the message
// itself). A window's answer of 0 refuses; on Linux nothing waits for the
// answers, so they are only reported back to whoever asked.
#pragma once

#include "Messages.h"

namespace zr {

// Main thread. Sends WM_QUERYENDSESSION to the main window, then to each
// registered window in the order they asked; every one is asked. True when
// none refused.
bool QueryEndSession();

// Any thread. Adding a window twice keeps one; a window that is freed
// without being removed is skipped.
void AddSessionWindow(HWND window);
void RemoveSessionWindow(HWND window);

// Whether the system's shutdown announcement is being awaited now.
bool WatchingSystemShutdown();

}  // namespace zr
