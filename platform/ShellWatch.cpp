#include "platform/ShellWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include "platform/InotifyMoves.h"
#include "platform/InotifyTree.h"
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

int AddWatch(int fd, const char* path, std::uint32_t mask) {
    return ::inotify_add_watch(fd, path, mask);
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
    bool WatchRoot() {
        struct stat info {};
        if (::stat(root_.c_str(), &info) != 0) return false;
        rootIsFolder_ = S_ISDIR(info.st_mode);
        tree_.emplace(inotify_, WatchMask, recursive_ && rootIsFolder_, &AddWatch);
        moves_.emplace(*tree_);
        // Folders below that cannot be watched (no permission, the system's
        // limit of watches) are left out; the rest of the tree is reported.
        const int error = tree_->AddRoot(root_, true);
        if (tree_->RootWatch() < 0) {
            errno = error;
            return false;
        }
        return true;
    }

    void WatchAssociations() {
        const std::string folder = MimeAssociationsFolder();
        // Added to whatever mask the folder already has in the tree.
        associationsWd_ = ::inotify_add_watch(inotify_, folder.c_str(), WatchMask | IN_MASK_ADD);
    }

    // A folder made just now may have filled before its watch was there:
    // what is already in it is reported as made.
    void WatchNewFolder(const std::string& path) {
        TFolderContents found;
        found.entry = [this](const std::string& entry, bool folder) {
            Emit(folder ? SHCNE_MKDIR : SHCNE_CREATE, entry);
        };
        tree_->AddFolder(path, &found);
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

    bool MoveWaiting() const { return moves_ && moves_->Waiting(); }

    void SettleMove() {
        if (!moves_) return;
        if (auto move = moves_->Settle()) Report(*move);
    }

    void Report(const TInotifyMove& move) {
        switch (move.kind) {
            case TInotifyMove::TKind::Renamed:
                Emit(move.folder ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM, move.from, move.to);
                break;
            case TInotifyMove::TKind::Left:
                Emit(move.folder ? SHCNE_RMDIR : SHCNE_DELETE, move.from);
                break;
            case TInotifyMove::TKind::Arrived:
                Emit(move.folder ? SHCNE_MKDIR : SHCNE_CREATE, move.to);
                break;
        }
    }

    void Loop() {
        for (;;) {
            pollfd fds[3] = {{stop_, POLLIN, 0}, {inotify_, POLLIN, 0}, {mounts_, POLLPRI, 0}};
            int ready = ::poll(fds, mounts_ >= 0 ? 3 : 2, MoveWaiting() ? MovePairingMs : -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || (fds[0].revents & POLLIN) != 0) return;
            if (ready == 0) {
                SettleMove();
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
        if (!MoveWaiting()) ReportTouchedFolders();
    }

    void Handle(const inotify_event& event, const std::string& name) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            // Events were lost: whatever the folder holds now is the news,
            // and folders made meanwhile are watched from now on.
            if (tree_) tree_->Rescan();
            Emit(SHCNE_UPDATEDIR, root_);
            return;
        }
        if (event.wd == associationsWd_ && name == "mimeapps.list" &&
            (event.mask & AssociationChanges) != 0)
            Emit(SHCNE_ASSOCCHANGED, {});
        // Pairing may forget watches, so it comes before the folder is looked up.
        if (moves_)
            for (const TInotifyMove& move : moves_->Take(event)) Report(move);
        const std::string* watched = tree_ ? tree_->PathOf(event.wd) : nullptr;
        if (watched == nullptr) return;
        if ((event.mask & IN_IGNORED) != 0) {
            tree_->Forget(event.wd);
            return;
        }
        if (name.empty()) {
            // About a watched object itself; a subfolder's own events arrive
            // at its parent as well, by name.
            if (event.wd == tree_->RootWatch()) HandleRoot(event.mask);
            return;
        }
        const std::string folder = *watched;
        const std::string path = (folder == "/" ? "" : folder) + "/" + name;
        const bool isFolder = (event.mask & IN_ISDIR) != 0;

        if ((event.mask & IN_CREATE) != 0) {
            Emit(isFolder ? SHCNE_MKDIR : SHCNE_CREATE, path);
            if (isFolder && recursive_) WatchNewFolder(path);
            Touched(folder);
        } else if ((event.mask & IN_DELETE) != 0) {
            Emit(isFolder ? SHCNE_RMDIR : SHCNE_DELETE, path);
            Touched(folder);
        } else if ((event.mask & (IN_MOVED_FROM | IN_MOVED_TO)) != 0) {
            Touched(folder);  // the move itself was reported by its pairing
        } else if ((event.mask & IN_ATTRIB) != 0) {
            Emit(SHCNE_ATTRIBUTES, path);
        } else if ((event.mask & IN_CLOSE_WRITE) != 0 && !isFolder) {
            Emit(SHCNE_UPDATEITEM, path);
        }
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
    int associationsWd_ = -1;
    bool rootIsFolder_ = true;
    std::optional<TInotifyTree> tree_;    // only when tree events are asked for
    std::optional<TInotifyMoves> moves_;  // with the tree
    std::vector<std::string> touched_;    // folders whose contents changed, in order
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
