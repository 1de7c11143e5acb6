// Watches the files that hold the system's time zone and locale, and reports
// a change of them from a background thread. The application turns each
// report into WM_SETTINGCHANGE for its main window.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zr {

// One folder to watch, and the names in it that matter (empty: every name).
struct TSettingsWatch {
    std::string Folder;
    std::vector<std::string> Names;
    std::string Area;  // what a change here is reported as ("TimeZone", "intl")
};

class TSettingsWatcher {
  public:
    // Called on the watcher's thread with the watch's Area, once per burst
    // of changes (an editor or package manager touches several files).
    using TReport = std::function<void(const std::string& area)>;

    // Folders that do not exist are skipped; a watcher with nothing to watch
    // runs no thread.
    TSettingsWatcher(std::vector<TSettingsWatch> watches, TReport report, int quietMs = 100);
    ~TSettingsWatcher();
    TSettingsWatcher(const TSettingsWatcher&) = delete;
    TSettingsWatcher& operator=(const TSettingsWatcher&) = delete;

    bool Watching() const { return thread_.joinable(); }

    // /etc/localtime and /etc/timezone for the time zone; /etc/locale.conf,
    // /etc/default/locale and the compiled locales for the locale.
    static std::vector<TSettingsWatch> SystemWatches();

  private:
    void Loop();
    // The area of an inotify event, or empty when it does not matter.
    std::string AreaOf(int watchDescriptor, const std::string& name) const;

    std::vector<TSettingsWatch> watches_;
    std::vector<int> descriptors_;  // per watch, -1 when its folder is missing
    TReport report_;
    int quietMs_;
    int inotifyFd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
};

}  // namespace zr
