// Hands the platform's shell change notifications to the windows they are
// registered for: a hidden window of the main thread is posted when
// notifications wait and sends each one to its window as it dispatches.
#pragma once

namespace zr {

// Installs the relay once; later calls do nothing. Called before a window
// registers for shell change notifications.
void InstallShellNotifyRelay();

}  // namespace zr
