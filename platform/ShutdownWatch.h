// Learns that the system is going down: systemd-logind announces it on the
// system bus (PrepareForShutdown with True) before it stops the user's
// programs. Where no system bus can be reached (a container, a build
// machine), nothing is watched and nothing is reported.
#pragma once

#include <functional>
#include <memory>

namespace zr::os {

class TShutdownWatcher {
  public:
    // `report` runs on the watcher's own thread, once per announcement.
    static std::unique_ptr<TShutdownWatcher> Start(std::function<void()> report);
    // Stops the thread; no report runs after this returns.
    virtual ~TShutdownWatcher() = default;
    // Whether the system bus was reached and the announcement is awaited.
    virtual bool Watching() const = 0;

  protected:
    TShutdownWatcher() = default;
};

}  // namespace zr::os
