#include "framework/SettingsWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>

namespace zr {

namespace {

// Replacing a file (a new symlink, a package upgrade, an editor's save)
// shows as a create or a move into the folder; writing in place as a close
// after writing; removing it as a delete.
constexpr std::uint32_t kWatchedEvents =
    IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB;

}  // namespace

std::vector<TSettingsWatch> TSettingsWatcher::SystemWatches() {
    return {
        {"/etc", {"localtime", "timezone"}, "TimeZone"},
        {"/etc", {"locale.conf", "locale.gen"}, "intl"},
        {"/etc/default", {"locale"}, "intl"},
        {"/usr/lib/locale", {}, "intl"},
    };
}

TSettingsWatcher::TSettingsWatcher(std::vector<TSettingsWatch> watches, TReport report, int quietMs)
    : watches_(std::move(watches)), report_(std::move(report)), quietMs_(quietMs) {
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotifyFd_ < 0 || stopFd_ < 0) return;  // no watching, but no failure either
    bool any = false;
    for (auto& watch : watches_) {
        int wd = inotify_add_watch(inotifyFd_, watch.Folder.c_str(), kWatchedEvents | IN_ONLYDIR);
        descriptors_.push_back(wd);
        any = any || wd >= 0;
    }
    if (any) thread_ = std::thread([this] { Loop(); });
}

TSettingsWatcher::~TSettingsWatcher() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (inotifyFd_ >= 0) close(inotifyFd_);
    if (stopFd_ >= 0) close(stopFd_);
}

std::string TSettingsWatcher::AreaOf(int watchDescriptor, const std::string& name) const {
    for (std::size_t i = 0; i < watches_.size(); ++i) {
        if (descriptors_[i] != watchDescriptor) continue;
        const auto& names = watches_[i].Names;
        if (names.empty() || std::find(names.begin(), names.end(), name) != names.end())
            return watches_[i].Area;
    }
    return {};
}

void TSettingsWatcher::Loop() {
    alignas(inotify_event) char buffer[4096];
    std::set<std::string> changed;
    for (;;) {
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        // Waits for ever while nothing changed; once something did, waits
        // only for the burst to end before reporting.
        int rc = poll(fds, 2, changed.empty() ? -1 : quietMs_);
        if (rc < 0) continue;  // interrupted
        if (fds[1].revents & POLLIN) return;
        if (rc == 0) {
            for (const auto& area : changed) report_(area);
            changed.clear();
            continue;
        }
        ssize_t length = read(inotifyFd_, buffer, sizeof buffer);
        for (ssize_t offset = 0; offset < length;) {
            auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            std::string name = event->len ? event->name : "";
            auto area = AreaOf(event->wd, name);
            if (!area.empty()) changed.insert(area);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace zr
