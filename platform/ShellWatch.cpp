#include "platform/ShellWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/MountTable.h"

namespace zr::os {

namespace {

constexpr LONG TreeEvents = SHCNE_CREATE | SHCNE_DELETE | SHCNE_MKDIR | SHCNE_RMDIR |
                            SHCNE_RENAMEITEM | SHCNE_RENAMEFOLDER | SHCNE_ATTRIBUTES |
                            SHCNE_UPDATEITEM | SHCNE_UPDATEDIR;
constexpr LONG MountEvents =
    SHCNE_DRIVEADD | SHCNE_DRIVEREMOVED | SHCNE_MEDIAINSERTED | SHCNE_MEDIAREMOVED;
constexpr std::uint32_t WatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_EXCL_UNLINK;
constexpr std::uint32_t AssociationChanges =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
// The two halves of a move arrive together; a lone first half is a move out
// of the watched tree once this long has passed without its second half.
constexpr int MovePairingMs = 20;

bool IsRealFolder(const std::filesystem::directory_entry& entry) {
    std::error_code error;
    return entry.is_directory(error) && !entry.is_symlink(error);
}

class TLinuxShellWatcher final : public TShellWatcher {
  public:
    TLinuxShellWatcher(const std::string& root, bool recursive, LONG events, TReport report)
        : root_(root), recursive_(recursive), events_(events), report_(std::move(report)) {}

    ~TLinuxShellWatcher() override {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(stop_, &one, sizeof one);
            thread_.join();
        }
        for (int fd : {inotify_, stop_, mounts_})
            if (fd >= 0) ::close(fd);
    }

    // False with errno set when a source that is needed cannot be watched.
    bool Open() {
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        if (inotify_ < 0 || stop_ < 0) return false;
        if ((events_ & TreeEvents) != 0 && !WatchRoot()) return false;
        if ((events_ & SHCNE_ASSOCCHANGED) != 0) WatchAssociations();
        if ((events_ & MountEvents) != 0) {
            mounts_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
            if (mounts_ >= 0) mountTable_ = ReadMountTable(mounts_);
        }
        thread_ = std::thread([this] { Loop(); });
        return true;
    }

  private:
    struct PendingMove {
        std::uint32_t cookie = 0;
        std::string path;
        bool folder = false;
    };

    bool WatchRoot() {
        struct stat info {};
        if (::stat(root_.c_str(), &info) != 0) return false;
        rootIsFolder_ = S_ISDIR(info.st_mode);
        rootWd_ = ::inotify_add_watch(inotify_, root_.c_str(), WatchMask);
        if (rootWd_ < 0) return false;
        folders_[rootWd_] = root_;
        if (recursive_ && rootIsFolder_) WatchChildren(root_, false);
        return true;
    }

    void WatchAssociations() {
        const std::string folder = MimeAssociationsFolder();
        // Added to whatever mask the folder already has in the tree.
        associationsWd_ = ::inotify_add_watch(inotify_, folder.c_str(), WatchMask | IN_MASK_ADD);
    }

    // Watches the subfolders of `folder`, all the way down. A folder made
    // just now may have filled before its watch was there: `reportContents`
    // reports what is already in it as made.
    void WatchChildren(const std::string& folder, bool reportContents) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            const std::string path = entry.path().string();
            const bool isFolder = IsRealFolder(entry);
            if (reportContents) Emit(isFolder ? SHCNE_MKDIR : SHCNE_CREATE, path);
            if (isFolder) WatchFolder(path, reportContents);
        }
    }

    // Folders that cannot be watched (no permission, the system's limit of
    // watches) are left out; the rest of the tree is still reported.
    void WatchFolder(const std::string& path, bool reportContents) {
        int wd =
            ::inotify_add_watch(inotify_, path.c_str(), WatchMask | IN_ONLYDIR | IN_DONT_FOLLOW);
        if (wd < 0) return;
        folders_[wd] = path;
        WatchChildren(path, reportContents);
    }

    static bool IsWithin(const std::string& path, const std::string& folder) {
        return path == folder || (path.size() > folder.size() && path.starts_with(folder) &&
                                  path[folder.size()] == '/');
    }

    // A folder moved within the tree keeps its watches; their paths follow it.
    void RenameTree(const std::string& from, const std::string& to) {
        for (auto& [wd, path] : folders_)
            if (IsWithin(path, from)) path = to + path.substr(from.size());
    }

    // A folder moved out of the tree keeps its inode: its watches would go on
    // reporting from outside.
    void ForgetTree(const std::string& folder) {
        for (auto it = folders_.begin(); it != folders_.end();) {
            if (it->first != rootWd_ && IsWithin(it->second, folder)) {
                ::inotify_rm_watch(inotify_, it->first);
                it = folders_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void Emit(LONG event, const std::string& item1, const std::string& item2 = {}) {
        if ((events_ & event) != 0) report_(event, item1, item2);
    }

    void Touched(const std::string& folder) {
        for (const auto& f : touched_)
            if (f == folder) return;
        touched_.push_back(folder);
    }

    void ReportTouchedFolders() {
        for (const auto& folder : touched_) Emit(SHCNE_UPDATEDIR, folder);
        touched_.clear();
    }

    void FlushPendingMove() {
        if (!pending_) return;
        Emit(pending_->folder ? SHCNE_RMDIR : SHCNE_DELETE, pending_->path);
        if (pending_->folder) ForgetTree(pending_->path);
        pending_.reset();
    }

    void Loop() {
        for (;;) {
            pollfd fds[3] = {{stop_, POLLIN, 0}, {inotify_, POLLIN, 0}, {mounts_, POLLPRI, 0}};
            int ready = ::poll(fds, mounts_ >= 0 ? 3 : 2, pending_ ? MovePairingMs : -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || (fds[0].revents & POLLIN) != 0) return;
            if (ready == 0) {
                FlushPendingMove();
                ReportTouchedFolders();
                continue;
            }
            if ((fds[1].revents & POLLIN) != 0) ReadEvents();
            if (mounts_ >= 0 && (fds[2].revents & (POLLPRI | POLLERR)) != 0) CheckMounts();
        }
    }

    void ReadEvents() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            ssize_t got = ::read(inotify_, buffer, sizeof buffer);
            if (got <= 0) break;
            for (char* at = buffer; at < buffer + got;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                Handle(*event, event->len > 0 ? std::string(event->name) : std::string());
                at += sizeof(inotify_event) + event->len;
            }
        }
        if (!pending_) ReportTouchedFolders();
    }

    void Handle(const inotify_event& event, const std::string& name) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            // Events were lost: whatever the folder holds now is the news.
            Emit(SHCNE_UPDATEDIR, root_);
            return;
        }
        if (event.wd == associationsWd_ && name == "mimeapps.list" &&
            (event.mask & AssociationChanges) != 0)
            Emit(SHCNE_ASSOCCHANGED, {});
        // A move's first half not followed by its second is a move out; that
        // may forget watches, so it is settled before the folder is looked up.
        if (pending_ && !((event.mask & IN_MOVED_TO) != 0 && event.cookie == pending_->cookie))
            FlushPendingMove();
        auto it = folders_.find(event.wd);
        if (it == folders_.end()) return;
        if ((event.mask & IN_IGNORED) != 0) {
            folders_.erase(it);
            return;
        }
        if (name.empty()) {
            // About a watched object itself; a subfolder's own events arrive
            // at its parent as well, by name.
            if (event.wd == rootWd_) HandleRoot(event.mask);
            return;
        }
        const std::string folder = it->second;
        const std::string path = (folder == "/" ? "" : folder) + "/" + name;
        const bool isFolder = (event.mask & IN_ISDIR) != 0;

        if ((event.mask & IN_CREATE) != 0) {
            Emit(isFolder ? SHCNE_MKDIR : SHCNE_CREATE, path);
            if (isFolder && recursive_) WatchFolder(path, true);
            Touched(folder);
        } else if ((event.mask & IN_DELETE) != 0) {
            Emit(isFolder ? SHCNE_RMDIR : SHCNE_DELETE, path);
            Touched(folder);
        } else if ((event.mask & IN_MOVED_FROM) != 0) {
            pending_ = PendingMove{event.cookie, path, isFolder};
            Touched(folder);
        } else if ((event.mask & IN_MOVED_TO) != 0) {
            MovedIn(path, isFolder, event.cookie);
            Touched(folder);
        } else if ((event.mask & IN_ATTRIB) != 0) {
            Emit(SHCNE_ATTRIBUTES, path);
        } else if ((event.mask & IN_CLOSE_WRITE) != 0 && !isFolder) {
            Emit(SHCNE_UPDATEITEM, path);
        }
    }

    void MovedIn(const std::string& path, bool isFolder, std::uint32_t cookie) {
        if (pending_ && pending_->cookie == cookie) {
            const std::string from = pending_->path;
            pending_.reset();
            Emit(isFolder ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM, from, path);
            if (isFolder) RenameTree(from, path);
            return;
        }
        // From outside the tree: it is new here.
        Emit(isFolder ? SHCNE_MKDIR : SHCNE_CREATE, path);
        if (isFolder && recursive_) WatchFolder(path, false);
    }

    void HandleRoot(std::uint32_t mask) {
        if ((mask & IN_ATTRIB) != 0) Emit(SHCNE_ATTRIBUTES, root_);
        if ((mask & IN_CLOSE_WRITE) != 0 && !rootIsFolder_) Emit(SHCNE_UPDATEITEM, root_);
        if ((mask & IN_DELETE_SELF) != 0) Emit(rootIsFolder_ ? SHCNE_RMDIR : SHCNE_DELETE, root_);
    }

    void CheckMounts() {
        auto now = ReadMountTable(mounts_);
        for (const auto& change : MountChanges(mountTable_, now)) {
            LONG event = change.Mount.Removable
                             ? (change.Added ? SHCNE_MEDIAINSERTED : SHCNE_MEDIAREMOVED)
                             : (change.Added ? SHCNE_DRIVEADD : SHCNE_DRIVEREMOVED);
            Emit(event, change.Mount.MountPoint);
        }
        mountTable_ = std::move(now);
    }

    const std::string root_;
    const bool recursive_;
    const LONG events_;
    const TReport report_;
    int inotify_ = -1;
    int stop_ = -1;
    int mounts_ = -1;
    int rootWd_ = -1;
    int associationsWd_ = -1;
    bool rootIsFolder_ = true;
    std::unordered_map<int, std::string> folders_;  // watch descriptor -> folder
    std::optional<PendingMove> pending_;
    std::vector<std::string> touched_;  // folders whose contents changed, in order
    std::vector<TMount> mountTable_;
    std::thread thread_;
};

}  // namespace

std::string MimeAssociationsFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

std::unique_ptr<TShellWatcher> TShellWatcher::Start(const std::string& root, bool recursive,
                                                    LONG events, TReport report) {
    auto watcher = std::make_unique<TLinuxShellWatcher>(root, recursive, events, std::move(report));
    if (!watcher->Open()) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    return watcher;
}

}  // namespace zr::os
