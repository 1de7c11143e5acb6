#include "platform/ChangeNotify.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/ChangeNotifyTimes.h"
#include "platform/InotifyMoves.h"

namespace zr::os {

namespace {

constexpr DWORD kKnownFilters = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr std::uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

std::atomic<TInotifyAddWatch> addWatchCall{nullptr};

int RealAddWatch(int fd, const char* path, std::uint32_t mask) {
    return inotify_add_watch(fd, path, mask);
}

// The events a handle's watches ask for. A subtree watch always asks for
// folders appearing and leaving, whatever its filter, to keep its watches.
std::uint32_t EventsFor(DWORD filter, bool subtree) {
    std::uint32_t mask = 0;
    if (filter & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME)) mask |= kNameEvents;
    if (filter & FILE_NOTIFY_CHANGE_ATTRIBUTES) mask |= IN_ATTRIB;
    if (filter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE)) mask |= IN_MODIFY;
    // Setting a file's times is reported as a change of attributes only;
    // the entries' times are followed to tell whether the write time moved.
    if (filter & FILE_NOTIFY_CHANGE_LAST_WRITE) mask |= IN_ATTRIB | kNameEvents;
    if (subtree) mask |= IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO;
    return mask;
}

// The kinds of change one inotify event stands for.
DWORD KindsOf(std::uint32_t mask) {
    DWORD kinds = 0;
    if (mask & kNameEvents)
        kinds |= (mask & IN_ISDIR) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
    if (mask & IN_ATTRIB) kinds |= FILE_NOTIFY_CHANGE_ATTRIBUTES;
    if (mask & IN_MODIFY) kinds |= FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
    return kinds;
}

DWORD KindsFound(const TFolderContents& found) {
    DWORD kinds = 0;
    if (found.files) kinds |= FILE_NOTIFY_CHANGE_FILE_NAME;
    if (found.folders) kinds |= FILE_NOTIFY_CHANGE_DIR_NAME;
    if (found.data) kinds |= FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
    return kinds;
}

DWORD ErrorOfWatch(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_PATH_NOT_FOUND;
        case ENOTDIR:
            return ERROR_DIRECTORY;
        case ENOSPC:
            return ERROR_NOT_ENOUGH_QUOTA;
        default:
            return ErrorFromErrno(error);
    }
}

// The waitable object behind a handle. Its poll descriptor is an epoll set
// of the inotify descriptor and of an eventfd that holds the signal, so a
// wait wakes for fresh events and stays woken while the handle is signalled.
// Events are read only while the handle is not signalled: those that come
// meanwhile stay queued in the kernel and signal it again after a re-arm.
class TChangeNotification final : public TWaitable {
  public:
    TChangeNotification(DWORD filter, bool subtree, TInotifyAddWatch addWatch)
        : inotifyFd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          signalFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          pollFd_(epoll_create1(EPOLL_CLOEXEC)),
          filter_(filter),
          followTimes_((filter & FILE_NOTIFY_CHANGE_LAST_WRITE) != 0),
          tree_(inotifyFd_, EventsFor(filter, subtree), subtree, addWatch),
          moves_(tree_) {}
    ~TChangeNotification() override {
        for (int fd : {pollFd_, signalFd_, inotifyFd_})
            if (fd >= 0) close(fd);
    }

    // 0, or the errno that kept the handle from watching `path`.
    int Open(const std::string& path) {
        if (inotifyFd_ < 0 || signalFd_ < 0 || pollFd_ < 0) return inotifyFd_ < 0 ? EMFILE : ENOMEM;
        for (int fd : {inotifyFd_, signalFd_}) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.fd = fd;
            if (epoll_ctl(pollFd_, EPOLL_CTL_ADD, fd, &e) != 0) return errno;
        }
        if (int error = tree_.AddRoot(path)) return error;
        SeedTimes();
        return 0;
    }

    int PollFd() const override { return pollFd_; }

    bool TryAcquire() override {
        std::lock_guard guard(lock_);
        if (!signalled_) ReadEvents();
        return signalled_;
    }

    void Rearm() {
        std::lock_guard guard(lock_);
        signalled_ = false;
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = read(signalFd_, &count, sizeof count);
    }

  private:
    void ReadEvents() {
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                Take(*event);
                p += sizeof(inotify_event) + event->len;
            }
            if (followTimes_) times_.Settle();
        }
        // A rename's second half may open the next read: only with the
        // queue read empty has a folder that left without it left the tree.
        moves_.Settle();
    }

    void Take(const inotify_event& event) {
        if (event.mask & IN_Q_OVERFLOW) {
            Signal();
            if (tree_.Subtree()) KeepWatching(tree_.Rescan());
            SeedTimes();  // the events that would have kept them are lost
            return;
        }
        for (const TInotifyMove& move : moves_.Take(event)) Followed(move);
        if (event.mask & IN_IGNORED) return tree_.Forget(event.wd);
        // Events still queued from a folder that has moved away belong to
        // another tree now.
        const std::string* parent = tree_.PathOf(event.wd);
        if (!parent) return;
        if (filter_ & KindsOf(event.mask)) Signal();
        if (followTimes_) FollowTimes(event, *parent);
        if (!tree_.Subtree() || !(event.mask & IN_ISDIR) || !(event.mask & IN_CREATE) ||
            event.len == 0)
            return;
        // A new folder may already hold what was made in it before its watch
        // existed; no event will report that.
        const std::string path = *parent + "/" + event.name;
        TFolderContents found;
        KeepWatching(tree_.AddFolder(path, &found));
        if (filter_ & KindsFound(found)) Signal();
        if (followTimes_) times_.Seed(path);
    }

    // A folder moved into a subtree is watched by the pairing; its entries'
    // times are known from now on. Renames and moves out change nothing more.
    void Followed(const TInotifyMove& move) {
        if (move.kind != TInotifyMove::TKind::Arrived || !move.folder || !tree_.Subtree()) return;
        KeepWatching(move.watchError);
        if (followTimes_) times_.Seed(move.to);
    }

    void SeedTimes() {
        if (!followTimes_) return;
        for (const std::string& folder : tree_.Folders()) times_.Seed(folder);
    }

    // Keeps the write time of each entry current and reports a change of
    // attributes that moved it as the write it stands for.
    void FollowTimes(const inotify_event& event, const std::string& folder) {
        const std::string path = event.len != 0 ? folder + "/" + event.name : folder;
        if ((event.mask & IN_ATTRIB) && times_.TimeChanged(path)) Signal();
        if (event.mask & (IN_MODIFY | IN_CREATE | IN_MOVED_TO)) times_.Touched(path);
        if (event.mask & (IN_DELETE | IN_MOVED_FROM)) times_.Gone(path);
        // An entry made or removed changes its folder's time as well.
        if (event.len != 0 && (event.mask & kNameEvents)) times_.Touched(folder);
    }

    // A folder that appears while the watch limit is reached cannot be
    // watched: the handle is signalled (something changed that it cannot
    // follow) and the user is told once why changes below it go unseen.
    void KeepWatching(int error) {
        if (error == 0) return;
        Signal();
        if (limitReported_) return;
        limitReported_ = true;
        std::fprintf(stderr, "change notification: %s; changes in new folders are not seen\n",
                     ChangeNotificationErrorText(ErrorOfWatch(error)).c_str());
    }

    void Signal() {
        if (signalled_) return;
        signalled_ = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = write(signalFd_, &one, sizeof one);
    }

    int inotifyFd_;
    int signalFd_;
    int pollFd_;
    DWORD filter_;
    bool followTimes_;
    std::mutex lock_;
    bool signalled_ = false;
    bool limitReported_ = false;
    TInotifyTree tree_;
    TInotifyMoves moves_;  // pairs the halves of moves to keep the tree's watches
    TWriteTimes times_;
};

std::shared_ptr<TChangeNotification> NotificationOf(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<TChangeNotification>(HandleObject(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace

HANDLE FindFirstChangeNotificationA(const char* pathName, BOOL watchSubtree, DWORD notifyFilter) {
    if (pathName == nullptr || *pathName == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (notifyFilter == 0 || (notifyFilter & ~kKnownFilters) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    TInotifyAddWatch addWatch = addWatchCall.load();
    auto object = std::make_shared<TChangeNotification>(notifyFilter, watchSubtree != FALSE,
                                                        addWatch ? addWatch : RealAddWatch);
    if (int error = object->Open(pathName)) {
        SetLastError(ErrorOfWatch(error));
        return INVALID_HANDLE_VALUE;
    }
    return RegisterHandle(std::move(object));
}

BOOL FindNextChangeNotification(HANDLE changeHandle) {
    auto object = NotificationOf(changeHandle);
    if (!object) return FALSE;
    object->Rearm();
    return TRUE;
}

BOOL FindCloseChangeNotification(HANDLE changeHandle) {
    if (!NotificationOf(changeHandle)) return FALSE;
    return CloseHandle(changeHandle);
}

std::string ChangeNotificationErrorText(DWORD error) {
    if (error != ERROR_NOT_ENOUGH_QUOTA) return "";
    return "the folder tree needs more inotify watches than the system allows "
           "(raise fs.inotify.max_user_watches, for instance with sysctl)";
}

TInotifyAddWatch SetInotifyAddWatch(TInotifyAddWatch addWatch) {
    return addWatchCall.exchange(addWatch);
}

}  // namespace zr::os
