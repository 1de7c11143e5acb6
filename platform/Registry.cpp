#include "platform/Registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <mutex>
#include <unordered_map>

#include "platform/RegistryCache.h"
#include "platform/RegistryNotify.h"
#include "platform/RegistryStore.h"

namespace zr::os {

using namespace regstore;

namespace {

constexpr REGSAM GENERIC_READ = 0x80000000;
constexpr REGSAM GENERIC_WRITE = 0x40000000;
constexpr REGSAM GENERIC_ALL = 0x10000000;

struct TRootName {
    HKEY Key;
    const char* Name;
};
constexpr TRootName RootNames[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},     {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},   {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
};

// A key folder held open as long as a handle to the key is: it keeps the
// folder's inode from being reused, so a key that was deleted is never
// mistaken for a new one of the same name, and every call reaches the key
// through it rather than through a path someone may have changed.
struct TKeyState {
    TFd Folder;
    std::string Path;  // for change notifications and messages
    TKeyCache Cache;
    std::atomic<bool> Swept{false};  // leftovers removed by this handle's first write
};

struct TOpenKey {
    std::shared_ptr<TKeyState> State;
    REGSAM Access = 0;
    int Folder() const { return State->Folder.Get(); }
};

struct TKeyTable {
    std::mutex Lock;
    std::unordered_map<HKEY, TOpenKey> Keys;
    HKEY Next = 0x100;  // handles are never reused, so a stale one stays invalid
};

TKeyTable& KeyTable() {
    static auto* table = new TKeyTable;  // outlives every static destructor
    return *table;
}

// Around a fork every lock of the registry calls is held by the forking
// thread (the handle table's, each key's cache's, the folder locks' table),
// so that the child inherits none held by a thread it does not have.
void HoldForFork() {
    KeyTable().Lock.lock();
    for (auto& [handle, key] : KeyTable().Keys) key.State->Cache.HoldForFork();
    HoldFolderLocksForFork();
}

void ReleaseAfterFork(bool child) {
    ReleaseFolderLocksAfterFork(child);
    for (auto& [handle, key] : KeyTable().Keys) key.State->Cache.ReleaseAfterFork();
    KeyTable().Lock.unlock();
}

void ReleaseInParent() {
    ReleaseAfterFork(false);
}

void ReleaseInChild() {
    ReleaseAfterFork(true);
}

[[maybe_unused]] const bool forkSafe =
    ::pthread_atfork(&HoldForFork, &ReleaseInParent, &ReleaseInChild) == 0;

REGSAM Normalise(REGSAM desired) {
    if (desired & (MAXIMUM_ALLOWED | GENERIC_ALL)) desired |= KEY_ALL_ACCESS;
    if (desired & GENERIC_READ) desired |= KEY_READ;
    if (desired & GENERIC_WRITE) desired |= KEY_WRITE;
    return desired & KEY_ALL_ACCESS;
}

bool Allows(const TOpenKey& key, REGSAM right) {
    return (key.Access & right) == right;
}

// The key behind a handle, whose folder must not have been deleted (unless
// the caller checks that itself with a status call it makes anyway).
LSTATUS Resolve(HKEY key, TOpenKey& out, bool checkDeleted = true) {
    if (const char* root = RegRootKeyName(key)) {
        out.State = std::make_shared<TKeyState>();
        out.Access = KEY_ALL_ACCESS;
        return OpenRootFolder(root, out.State->Folder, out.State->Path);
    }
    {
        auto& table = KeyTable();
        std::lock_guard guard(table.Lock);
        auto it = table.Keys.find(key);
        if (it == table.Keys.end()) return ERROR_INVALID_HANDLE;
        out = it->second;
    }
    return checkDeleted && IsDeleted(out.Folder()) ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

bool IsOpen(HKEY key) {
    auto& table = KeyTable();
    std::lock_guard guard(table.Lock);
    return RegRootKeyName(key) || table.Keys.count(key) != 0;
}

LSTATUS NewHandle(TFd folder, std::string path, REGSAM access, HKEY* result) {
    auto state = std::make_shared<TKeyState>();
    state->Folder = std::move(folder);
    state->Path = std::move(path);
    auto& table = KeyTable();
    std::lock_guard guard(table.Lock);
    HKEY handle = table.Next++;
    table.Keys[handle] = {std::move(state), Normalise(access)};
    *result = handle;
    return ERROR_SUCCESS;
}

// A key folder reached from another, one subkey at a time.
struct TWalk {
    TFd Folder;
    std::string Path;
};

LSTATUS Start(const TOpenKey& base, TWalk& walk) {
    walk.Folder.Reset(::openat(base.Folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    walk.Path = base.State->Path;
    return walk.Folder.Valid() ? ERROR_SUCCESS : privstore::LastStoreError();
}

LSTATUS Step(TWalk& walk, std::string_view name) {
    TFd next;
    std::string disk;
    if (LSTATUS status = OpenSubkey(walk.Folder.Get(), name, next, disk); status != ERROR_SUCCESS)
        return status;
    walk.Folder = std::move(next);
    walk.Path += "/" + disk;
    return ERROR_SUCCESS;
}

LSTATUS Walk(TWalk& walk, const std::vector<std::string>& parts, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (LSTATUS status = Step(walk, parts[i]); status != ERROR_SUCCESS) return status;
    return ERROR_SUCCESS;
}

// Finds or makes the subkey `name` of the walk's folder. The parent is
// locked while it is looked for and made, so two processes creating "Key"
// and "KEY" at once make one folder.
LSTATUS FindOrMake(TWalk& walk, const std::string& name, bool& created) {
    LSTATUS status = Step(walk, name);
    if (status != ERROR_FILE_NOT_FOUND) return status;
    TFolderLock lock(walk.Folder.Get());
    if (lock.Status() != ERROR_SUCCESS) return lock.Status();
    if (IsGone(walk.Folder.Get())) return ERROR_KEY_DELETED;
    status = Step(walk, name);
    if (status != ERROR_FILE_NOT_FOUND) return status;
    TFd made;
    std::string disk = EncodeName(name);
    if (status = MakeKeyFolder(walk.Folder.Get(), disk, made); status != ERROR_SUCCESS)
        return status;
    NoteStoreChanged();
    walk.Folder = std::move(made);
    walk.Path += "/" + disk;
    created = true;
    return ERROR_SUCCESS;
}

LSTATUS CopyData(const std::vector<BYTE>& value, BYTE* data, DWORD* size) {
    if (!size) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    auto needed = static_cast<DWORD>(value.size());
    if (data && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data && needed) std::memcpy(data, value.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS CopyName(const std::string& name, char* buffer, DWORD* length) {
    if (!buffer || !length) return ERROR_INVALID_PARAMETER;
    if (*length < name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *length = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Changes a key's values under the key's lock: `change` makes the next
// values file from the current one, or fails. The current one is what the
// handle read before when the file is still that one (the handle holds it
// open, and every writer replaces the file rather than change it).
template <class Change>
LSTATUS ChangeValues(HKEY key, Change change) {
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    TFolderLock lock(open.Folder());
    if (lock.Status() != ERROR_SUCCESS) return lock.Status();
    if (IsGone(open.Folder())) return ERROR_KEY_DELETED;
    // Once a handle: a key with many subkeys is not listed on every write.
    if (!open.State->Swept.exchange(true)) RemoveLeftovers(open.Folder());
    std::shared_ptr<const TValueSnapshot> current;
    if (LSTATUS status = open.State->Cache.Values(open.Folder(), current); status != ERROR_SUCCESS)
        return status;
    std::optional<TValueSnapshot> next = change(*current);
    if (!next) return ERROR_FILE_NOT_FOUND;
    // A file no reader would take would make the key unreadable and
    // undeletable for good: the change is refused and nothing is written.
    if (next->Text().size() > MaxValuesFileSize) return ERROR_NO_SYSTEM_RESOURCES;
    return open.State->Cache.Replace(open.Folder(), std::move(*next));
}

// The values of a key, as its handle last read them when still current.
LSTATUS ReadableValues(HKEY key, std::shared_ptr<const TValueSnapshot>& values) {
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return open.State->Cache.Values(open.Folder(), values);
}

void StoreWriteTime(const struct stat& st, FILETIME* time) {
    // 100-nanosecond steps since 1601-01-01.
    std::uint64_t ticks =
        (static_cast<std::uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
        static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
    time->dwLowDateTime = static_cast<DWORD>(ticks);
    time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

}  // namespace

const char* RegRootKeyName(HKEY key) {
    for (const auto& root : RootNames)
        if (root.Key == key) return root.Name;
    return nullptr;
}

std::string RegStoreFolder() {
    return StoreFolder();
}

LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, DWORD, REGSAM desired, HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = 0;
    std::vector<std::string> parts;
    if (LSTATUS status = SplitKeyPath(subKey, parts); status != ERROR_SUCCESS) return status;
    TOpenKey base;
    if (LSTATUS status = Resolve(key, base); status != ERROR_SUCCESS) return status;
    TWalk walk;
    if (LSTATUS status = Start(base, walk); status != ERROR_SUCCESS) return status;
    if (LSTATUS status = Walk(walk, parts, parts.size()); status != ERROR_SUCCESS) return status;
    return NewHandle(std::move(walk.Folder), std::move(walk.Path), desired, result);
}

LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, DWORD, char*, DWORD, REGSAM desired, void*,
                       HKEY* result, DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = 0;
    std::vector<std::string> parts;
    if (LSTATUS status = SplitKeyPath(subKey, parts); status != ERROR_SUCCESS) return status;
    TOpenKey base;
    if (LSTATUS status = Resolve(key, base); status != ERROR_SUCCESS) return status;
    TWalk walk;
    if (LSTATUS status = Start(base, walk); status != ERROR_SUCCESS) return status;
    bool created = false;
    for (const auto& part : parts) {
        LSTATUS status =
            Allows(base, KEY_CREATE_SUB_KEY) ? FindOrMake(walk, part, created) : Step(walk, part);
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_ACCESS_DENIED;
        if (status != ERROR_SUCCESS) return status;
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return NewHandle(std::move(walk.Folder), std::move(walk.Path), desired, result);
}

LSTATUS RegCloseKey(HKEY key) {
    if (RegRootKeyName(key)) return ERROR_SUCCESS;
    {
        auto& table = KeyTable();
        std::lock_guard guard(table.Lock);
        if (table.Keys.erase(key) == 0) return ERROR_INVALID_HANDLE;
    }
    KeyClosed(key);
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueEx(HKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data,
                      DWORD size) {
    if (size && !data) return ERROR_INVALID_PARAMETER;
    std::string_view name = valueName ? valueName : "";
    return ChangeValues(key, [&](const TValueSnapshot& values) {
        return std::optional(values.WithValue(name, type, std::vector<BYTE>(data, data + size)));
    });
}

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data,
                        DWORD* size) {
    std::shared_ptr<const TValueSnapshot> values;
    if (LSTATUS status = ReadableValues(key, values); status != ERROR_SUCCESS) return status;
    std::size_t position = values->Find(valueName ? valueName : "");
    if (position == TValueSnapshot::NotFound) return ERROR_FILE_NOT_FOUND;
    TStoredValue value = values->At(position);
    if (type) *type = value.Type;
    return CopyData(value.Data, data, size);
}

LSTATUS RegDeleteValue(HKEY key, const char* valueName) {
    std::string_view name = valueName ? valueName : "";
    return ChangeValues(key, [&](const TValueSnapshot& values) { return values.Without(name); });
}

LSTATUS RegDeleteKey(HKEY key, const char* subKey) {
    std::vector<std::string> parts;
    if (LSTATUS status = SplitKeyPath(subKey, parts); status != ERROR_SUCCESS) return status;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    TOpenKey base;
    if (LSTATUS status = Resolve(key, base); status != ERROR_SUCCESS) return status;
    TWalk parent;
    if (LSTATUS status = Start(base, parent); status != ERROR_SUCCESS) return status;
    if (LSTATUS status = Walk(parent, parts, parts.size() - 1); status != ERROR_SUCCESS)
        return status;
    // Parent before child, as creators lock: a subkey cannot be made inside
    // the key while it is checked for subkeys and moved away.
    TFolderLock parentLock(parent.Folder.Get());
    if (parentLock.Status() != ERROR_SUCCESS) return parentLock.Status();
    TFd child;
    std::string disk;
    if (LSTATUS status = OpenSubkey(parent.Folder.Get(), parts.back(), child, disk);
        status != ERROR_SUCCESS)
        return status;
    TFolderLock childLock(child.Get());
    if (childLock.Status() != ERROR_SUCCESS) return childLock.Status();
    if (HasSubkeys(child.Get())) return ERROR_ACCESS_DENIED;
    LSTATUS status = RemoveKeyFolder(parent.Folder.Get(), disk, child.Get());
    NoteStoreChanged();
    return status;
}

LSTATUS RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD*, char* keyClass,
                     DWORD* classLength, FILETIME* lastWriteTime) {
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open, false); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    std::shared_ptr<const TSubkeySnapshot> subkeys;
    if (LSTATUS status = open.State->Cache.Subkeys(open.Folder(), subkeys); status != ERROR_SUCCESS)
        return status;
    if (index >= subkeys->Subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const auto& entry = subkeys->Subkeys[index];
    if (LSTATUS status = CopyName(entry.Name, name, nameLength); status != ERROR_SUCCESS)
        return status;
    if (keyClass && classLength && *classLength) keyClass[0] = '\0';
    if (classLength) *classLength = 0;
    struct stat st {};
    if (lastWriteTime &&
        ::fstatat(open.Folder(), entry.DiskName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        StoreWriteTime(st, lastWriteTime);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValue(HKEY key, DWORD index, char* valueName, DWORD* nameLength, DWORD*, DWORD* type,
                     BYTE* data, DWORD* size) {
    std::shared_ptr<const TValueSnapshot> values;
    if (LSTATUS status = ReadableValues(key, values); status != ERROR_SUCCESS) return status;
    if (index >= values->Count()) return ERROR_NO_MORE_ITEMS;
    TStoredValue value = values->At(index);
    if (LSTATUS status = CopyName(value.Name, valueName, nameLength); status != ERROR_SUCCESS)
        return status;
    if (type) *type = value.Type;
    return CopyData(value.Data, data, size);
}

LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event,
                                BOOL asynchronous) {
    DWORD kinds = filter & ~REG_NOTIFY_THREAD_AGNOSTIC;
    if (kinds == 0 || (kinds & ~0xFu)) return ERROR_INVALID_PARAMETER;
    if (asynchronous && !event) return ERROR_INVALID_PARAMETER;
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_NOTIFY)) return ERROR_ACCESS_DENIED;
    HANDLE wait = asynchronous ? event : CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LSTATUS status = ArmNotification(key, open.State->Path, watchSubtree != FALSE, kinds, wait);
    // A key closed by another thread while this armed would never signal.
    if (status == ERROR_SUCCESS && !IsOpen(key)) KeyClosed(key);
    if (!asynchronous) {
        if (status == ERROR_SUCCESS) WaitForSingleObject(wait, INFINITE);
        CloseHandle(wait);
    }
    return status;
}

}  // namespace zr::os
