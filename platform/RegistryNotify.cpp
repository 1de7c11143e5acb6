#include "platform/RegistryNotify.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/RegistryStore.h"

namespace zr::os::regstore {

namespace {

constexpr std::uint32_t WatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                    IN_DONT_FOLLOW;

// One armed notification: its own inotify instance, so that two
// notifications on one folder never share (and overwrite) a watch mask.
struct TNotification {
    HKEY Key = 0;
    HANDLE Event = nullptr;
    DWORD Filter = 0;
    bool Subtree = false;
    int Fd = -1;
    int RootWatch = -1;
    std::unordered_map<int, std::string> Folders;  // watch → key folder
    bool Done = false;  // signalled or dropped; guarded by the monitor's lock

    ~TNotification() {
        if (Fd >= 0) ::close(Fd);
    }

    // Watches `folder` and, for a subtree, every key folder below it. True
    // when a folder below already holds values (set before it was watched).
    bool WatchTree(const std::string& folder, bool isRoot) {
        int watch = inotify_add_watch(Fd, folder.c_str(), WatchMask);
        if (watch < 0) return false;
        Folders[watch] = folder;
        if (isRoot) RootWatch = watch;
        if (!Subtree) return false;
        bool holdsValues = !isRoot && ::access((folder + "/%values").c_str(), F_OK) == 0;
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return holdsValues;
        std::vector<std::string> children;
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && !IsStoreEntry(name) && entry->d_type == DT_DIR)
                children.push_back(folder + "/" + name);
        }
        ::closedir(dir);
        for (const auto& child : children) holdsValues |= WatchTree(child, false);
        return holdsValues;
    }

    // The kinds of change one inotify event stands for.
    DWORD KindsOf(const inotify_event& ev) {
        if (ev.mask & IN_Q_OVERFLOW) return Filter;  // changes were lost: report
        auto folder = Folders.find(ev.wd);
        if (folder == Folders.end()) return 0;
        bool isRoot = ev.wd == RootWatch;
        if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
            // The key itself was deleted: no change under it will ever come.
            if (isRoot) return Filter;
            inotify_rm_watch(Fd, ev.wd);
            Folders.erase(folder);
            return 0;
        }
        std::string name = ev.len ? ev.name : "";
        if (name.empty())
            return ev.mask & IN_ATTRIB ? REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_SECURITY
                                       : 0;
        if (IsStoreEntry(name))
            return name == ValuesFileName && (ev.mask & IN_MOVED_TO) ? REG_NOTIFY_CHANGE_LAST_SET
                                                                     : 0;
        if (!(ev.mask & IN_ISDIR) ||
            !(ev.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)))
            return 0;
        DWORD kinds = REG_NOTIFY_CHANGE_NAME;
        if (Subtree && (ev.mask & (IN_CREATE | IN_MOVED_TO)) &&
            WatchTree(folder->second + "/" + name, false))
            kinds |= REG_NOTIFY_CHANGE_LAST_SET;
        return kinds;
    }

    // Reads what inotify has; true when a change of the filter's kinds is among it.
    bool Drain() {
        alignas(inotify_event) char buffer[16384];
        bool matched = false;
        for (;;) {
            ssize_t n = ::read(Fd, buffer, sizeof buffer);
            if (n <= 0) return matched;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
                if (KindsOf(*ev) & Filter) matched = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
    }
};

// The thread that waits on every armed notification of the process.
class TMonitor {
  public:
    TMonitor() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    void Add(std::shared_ptr<TNotification> notification) {
        std::lock_guard guard(lock_);
        armed_.push_back(std::move(notification));
        if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
        Wake();
    }

    void KeyClosed(HKEY key) {
        std::lock_guard guard(lock_);
        for (auto& notification : armed_)
            if (notification->Key == key) Signal(*notification);
        Wake();
    }

  private:
    void Signal(TNotification& notification) {  // lock held
        if (notification.Done) return;
        notification.Done = true;
        SetEvent(notification.Event);
    }

    void Wake() {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    }

    void Run() {
        for (;;) {
            std::vector<std::shared_ptr<TNotification>> current;
            {
                // Only this thread polls the descriptors, so only it closes
                // them: a notification is dropped here, never while polled.
                std::lock_guard guard(lock_);
                std::erase_if(armed_, [](const auto& n) { return n->Done; });
                current = armed_;
            }
            std::vector<pollfd> fds{{wake_, POLLIN, 0}};
            for (const auto& notification : current) fds.push_back({notification->Fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) continue;
            if (fds[0].revents) {
                std::uint64_t count;
                [[maybe_unused]] auto n = ::read(wake_, &count, sizeof count);
            }
            for (std::size_t i = 0; i < current.size(); ++i) {
                if (!fds[i + 1].revents || !current[i]->Drain()) continue;
                std::lock_guard guard(lock_);
                Signal(*current[i]);
            }
        }
    }

    std::mutex lock_;
    std::vector<std::shared_ptr<TNotification>> armed_;
    int wake_;
    std::thread thread_;
};

TMonitor& Monitor() {
    // Never destroyed: its thread waits until the process ends, and a
    // notification may be armed or closed from any static destructor.
    static auto* monitor = new TMonitor;
    return *monitor;
}

}  // namespace

LSTATUS ArmNotification(HKEY key, const std::string& folder, bool subtree, DWORD filter,
                        HANDLE event) {
    auto notification = std::make_shared<TNotification>();
    notification->Key = key;
    notification->Event = event;
    notification->Filter = filter;
    notification->Subtree = subtree;
    notification->Fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notification->Fd < 0) return privstore::LastStoreError();
    // Values already in the folders below are no change: only a folder that
    // appears later and holds values at once counts (see KindsOf).
    notification->WatchTree(folder, true);
    if (notification->RootWatch < 0)
        return errno == ENOENT ? ERROR_KEY_DELETED : privstore::LastStoreError();
    Monitor().Add(std::move(notification));
    return ERROR_SUCCESS;
}

void KeyClosed(HKEY key) {
    Monitor().KeyClosed(key);
}

}  // namespace zr::os::regstore
