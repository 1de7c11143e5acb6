#include "platform/ShellNotify.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ShellWatch.h"

namespace zr::os {

namespace {

// ---- the shell allocator ------------------------------------------------------

// Blocks carry their size in front, for GetSize and Realloc.
class TShellAllocator final : public IMalloc {
  public:
    void* Alloc(std::size_t size) override {
        auto* block = static_cast<std::size_t*>(std::malloc(sizeof(std::max_align_t) + size));
        if (block == nullptr) return nullptr;
        *block = size;
        return reinterpret_cast<char*>(block) + sizeof(std::max_align_t);
    }
    void* Realloc(void* block, std::size_t size) override {
        if (block == nullptr) return Alloc(size);
        auto* raw = std::realloc(Header(block), sizeof(std::max_align_t) + size);
        if (raw == nullptr) return nullptr;
        *static_cast<std::size_t*>(raw) = size;
        return static_cast<char*>(raw) + sizeof(std::max_align_t);
    }
    void Free(void* block) override {
        if (block != nullptr) std::free(Header(block));
    }
    std::size_t GetSize(void* block) override {
        return block == nullptr ? static_cast<std::size_t>(-1) : *Header(block);
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override { return references_ > 1 ? --references_ : 1; }

  private:
    static std::size_t* Header(void* block) {
        return reinterpret_cast<std::size_t*>(static_cast<char*>(block) - sizeof(std::max_align_t));
    }
    std::atomic<ULONG> references_{1};
};

TShellAllocator& Allocator() {
    static auto* allocator = new TShellAllocator;  // outlives every static user
    return *allocator;
}

// ---- item id lists ----------------------------------------------------------------

std::uint16_t ReadSize(const void* at) {
    std::uint16_t size = 0;
    std::memcpy(&size, at, sizeof size);
    return size;
}

// One item holding the path and its terminating zero, then the list's end.
LPITEMIDLIST MakeIDList(const std::string& path) {
    const std::size_t itemSize = sizeof(std::uint16_t) + path.size() + 1;
    auto* bytes = static_cast<std::uint8_t*>(Allocator().Alloc(itemSize + sizeof(std::uint16_t)));
    if (bytes == nullptr) return nullptr;
    const auto cb = static_cast<std::uint16_t>(itemSize);
    const std::uint16_t end = 0;
    std::memcpy(bytes, &cb, sizeof cb);
    std::memcpy(bytes + sizeof cb, path.c_str(), path.size() + 1);
    std::memcpy(bytes + itemSize, &end, sizeof end);
    return reinterpret_cast<LPITEMIDLIST>(bytes);
}

struct FreeIDList {
    void operator()(ITEMIDLIST* pidl) const { Allocator().Free(pidl); }
};
using TOwnedIDList = std::unique_ptr<ITEMIDLIST, FreeIDList>;

TOwnedIDList OwnedIDList(const std::string& path) {
    return TOwnedIDList(path.empty() ? nullptr : MakeIDList(path));
}

// The path a list names; nothing for no list, the empty list, or a list that
// is not one item holding an absolute path.
std::optional<std::string> PathOf(LPCITEMIDLIST pidl) {
    if (pidl == nullptr) return std::nullopt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pidl);
    const std::uint16_t cb = ReadSize(bytes);
    if (cb < sizeof(std::uint16_t) + 2 || ReadSize(bytes + cb) != 0) return std::nullopt;
    const char* text = reinterpret_cast<const char*>(bytes + sizeof(std::uint16_t));
    const std::size_t length = cb - sizeof(std::uint16_t) - 1;
    if (text[length] != '\0' || text[0] != '/' || std::strlen(text) != length) return std::nullopt;
    return std::string(text, length);
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "/";
}

// ---- registrations and delivery ------------------------------------------------

constexpr LONG ItemEvents = SHCNE_CREATE | SHCNE_DELETE | SHCNE_MKDIR | SHCNE_RMDIR |
                            SHCNE_RENAMEITEM | SHCNE_RENAMEFOLDER | SHCNE_ATTRIBUTES |
                            SHCNE_UPDATEITEM | SHCNE_UPDATEDIR;
struct TRegistration {
    TNotifyTarget window = nullptr;
    int sources = 0;
    LONG events = 0;
    unsigned message = 0;
    std::string folder;
    bool recursive = false;
};

struct TDelivery {
    ULONG id = 0;
    LONG event = 0;  // SHCNE_INTERRUPT included for interrupt-level events
    std::string item1, item2;
};

struct TServer {
    std::mutex lock;
    std::map<ULONG, TRegistration> registrations;
    std::map<ULONG, std::unique_ptr<TShellWatcher>> watchers;
    std::deque<TDelivery> pending;
    ULONG lastId = 0;
    std::atomic<IShellNotifyRelay*> relay{nullptr};
};

TServer& Server() {
    static auto* server = new TServer;  // watcher threads may report during exit
    return *server;
}

bool IsWithin(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.starts_with(folder) &&
                              (folder == "/" || path[folder.size()] == '/'));
}

bool Concerns(const TRegistration& r, LONG event, const std::string& item1,
              const std::string& item2) {
    if ((event & ItemEvents) == 0 || (item1.empty() && item2.empty())) return true;
    auto concerns = [&](const std::string& item) {
        if (item.empty()) return false;
        if (r.recursive) return IsWithin(item, r.folder);
        const auto slash = item.find_last_of('/');
        const std::string parent = slash == 0 ? "/" : item.substr(0, slash);
        return item == r.folder || parent == r.folder;
    };
    return concerns(item1) || concerns(item2);
}

// Runs on any thread; the lock must not be held.
void Queue(TDelivery delivery) {
    auto& server = Server();
    {
        std::lock_guard guard(server.lock);
        server.pending.push_back(std::move(delivery));
    }
    if (IShellNotifyRelay* relay = server.relay.load()) relay->Wake();
}

std::optional<TDelivery> NextDelivery(TNotifyTarget& window, unsigned& message) {
    auto& server = Server();
    std::lock_guard guard(server.lock);
    while (!server.pending.empty()) {
        TDelivery delivery = std::move(server.pending.front());
        server.pending.pop_front();
        auto it = server.registrations.find(delivery.id);
        if (it == server.registrations.end()) continue;
        window = it->second.window;
        message = it->second.message;
        return delivery;
    }
    return std::nullopt;
}

// A watcher's report: interrupt-level, for its own registration only.
void Reported(ULONG id, LONG event, const std::string& item1, const std::string& item2) {
    Queue(TDelivery{id, event | SHCNE_INTERRUPT, item1, item2});
}

}  // namespace

void SetShellNotifyRelay(IShellNotifyRelay* relay) {
    Server().relay.store(relay);
}

// Each waiting notification is handed on with lists that live until the
// window procedure returns, as the receiver does not free them.
void DeliverShellNotifications() {
    IShellNotifyRelay* relay = Server().relay.load();
    if (relay == nullptr) return;
    TNotifyTarget window = nullptr;
    unsigned message = 0;
    while (auto delivery = NextDelivery(window, message)) {
        TOwnedIDList item1 = OwnedIDList(delivery->item1);
        TOwnedIDList item2 = OwnedIDList(delivery->item2);
        const LPCITEMIDLIST items[2] = {item1.get(), item2.get()};
        relay->Deliver(window, message, items, delivery->event);
    }
}

HRESULT SHGetMalloc(IMalloc** allocator) {
    if (allocator == nullptr) return E_INVALIDARG;
    *allocator = &Allocator();
    Allocator().AddRef();
    return S_OK;
}

HRESULT SHILCreateFromPath(const char* path, LPITEMIDLIST* pidl, DWORD* attributes) {
    if (pidl == nullptr) return E_INVALIDARG;
    *pidl = nullptr;
    if (path == nullptr || path[0] == '\0') return E_INVALIDARG;
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(path, error);
    if (error) return E_FAIL;
    std::string text = full.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    if (text.size() > 0xFFF0) return E_INVALIDARG;
    struct stat info {};
    if (::stat(text.c_str(), &info) != 0) return errno == ENOENT ? HRESULT_FILE_NOT_FOUND : E_FAIL;
    *pidl = MakeIDList(text);
    if (*pidl == nullptr) return E_OUTOFMEMORY;
    if (attributes != nullptr)
        *attributes &= SFGAO_FILESYSTEM | (S_ISDIR(info.st_mode) ? SFGAO_FOLDER : 0);
    return S_OK;
}

BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, char* path) {
    if (path == nullptr) return FALSE;
    path[0] = '\0';
    auto text = PathOf(pidl);
    if (!text || text->size() >= MAX_PATH) return FALSE;
    std::memcpy(path, text->c_str(), text->size() + 1);
    return TRUE;
}

ULONG SHChangeNotifyRegister(TNotifyTarget window, int sources, LONG events, unsigned message,
                             int entryCount, const SHChangeNotifyEntry* entries) {
    IShellNotifyRelay* relay = Server().relay.load();
    if (window == nullptr || relay == nullptr || !relay->Exists(window)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if ((sources & (SHCNRF_InterruptLevel | SHCNRF_ShellLevel)) == 0 || entryCount != 1 ||
        entries == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // No item, or the empty list (the namespace's root): the user's own files.
    const bool noItem = entries[0].pidl == nullptr || ReadSize(entries[0].pidl) == 0;
    auto folder = noItem ? std::optional<std::string>(HomeFolder()) : PathOf(entries[0].pidl);
    if (!folder) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TRegistration registration{window,  sources, events & ~SHCNE_INTERRUPT,
                               message, *folder, entries[0].fRecursive != FALSE};

    auto& server = Server();
    ULONG id = 0;
    {
        std::lock_guard guard(server.lock);
        do {
            id = ++server.lastId;
        } while (id == 0 || server.registrations.count(id) != 0);
        server.registrations[id] = registration;
    }
    // Started outside the lock: its first reports may come at once.
    std::unique_ptr<TShellWatcher> watcher;
    if ((sources & SHCNRF_InterruptLevel) != 0) {
        watcher =
            TShellWatcher::Start(registration.folder, registration.recursive, registration.events,
                                 [id](LONG event, const std::string& a, const std::string& b) {
                                     Reported(id, event, a, b);
                                 });
        if (!watcher) {
            const DWORD error = GetLastError();
            SHChangeNotifyDeregister(id);
            SetLastError(error);
            return 0;
        }
    }
    std::lock_guard guard(server.lock);
    if (server.registrations.count(id) == 0) return 0;  // deregistered meanwhile
    server.watchers[id] = std::move(watcher);
    return id;
}

BOOL SHChangeNotifyDeregister(ULONG id) {
    auto& server = Server();
    std::unique_ptr<TShellWatcher> watcher;
    {
        std::lock_guard guard(server.lock);
        if (server.registrations.erase(id) == 0) return FALSE;
        auto it = server.watchers.find(id);
        if (it != server.watchers.end()) {
            watcher = std::move(it->second);
            server.watchers.erase(it);
        }
        std::erase_if(server.pending, [id](const TDelivery& d) { return d.id == id; });
    }
    // Its thread may be reporting now: stop it without the lock held.
    watcher.reset();
    return TRUE;
}

void SHChangeNotify(LONG event, unsigned flags, const void* item1, const void* item2) {
    auto itemText = [flags](const void* item) -> std::string {
        if (item == nullptr) return {};
        if ((flags & SHCNF_TYPE) == SHCNF_PATHA) return static_cast<const char*>(item);
        return PathOf(static_cast<LPCITEMIDLIST>(item)).value_or(std::string());
    };
    const std::string first = itemText(item1);
    const std::string second = itemText(item2);
    event &= ~SHCNE_INTERRUPT;

    std::vector<TDelivery> deliveries;
    {
        auto& server = Server();
        std::lock_guard guard(server.lock);
        for (const auto& [id, r] : server.registrations)
            if ((r.sources & SHCNRF_ShellLevel) != 0 && (r.events & event) != 0 &&
                Concerns(r, event, first, second))
                deliveries.push_back(TDelivery{id, event, first, second});
    }
    for (auto& delivery : deliveries) Queue(std::move(delivery));
}

}  // namespace zr::os
