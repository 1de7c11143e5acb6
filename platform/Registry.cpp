#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

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

// An open descriptor of a key's folder, held as long as a handle to the key
// is open: it keeps the folder's inode from being reused, so a key that was
// deleted is never mistaken for a new one of the same name.
struct TFolderPin {
    int Fd = -1;
    ~TFolderPin() {
        if (Fd >= 0) ::close(Fd);
    }
};

struct TOpenKey {
    std::string Folder;
    TFolderId Id;
    REGSAM Access = 0;
    std::shared_ptr<const TFolderPin> Pin;
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

REGSAM Normalise(REGSAM desired) {
    if (desired & (MAXIMUM_ALLOWED | GENERIC_ALL)) desired |= KEY_ALL_ACCESS;
    if (desired & GENERIC_READ) desired |= KEY_READ;
    if (desired & GENERIC_WRITE) desired |= KEY_WRITE;
    return desired & KEY_ALL_ACCESS;
}

bool Allows(const TOpenKey& key, REGSAM right) {
    return (key.Access & right) == right;
}

// The key behind a handle, whose folder must still be the one it opened.
LSTATUS Resolve(HKEY key, TOpenKey& out) {
    if (const char* root = RegRootKeyName(key)) {
        out.Folder = StoreFolder() + "/" + root;
        std::error_code error;
        std::filesystem::create_directories(out.Folder, error);
        auto id = FolderId(out.Folder);
        if (!id) return error ? ErrorFromErrno(error.value()) : ERROR_ACCESS_DENIED;
        out.Id = *id;
        out.Access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    {
        auto& table = KeyTable();
        std::lock_guard guard(table.Lock);
        auto it = table.Keys.find(key);
        if (it == table.Keys.end()) return ERROR_INVALID_HANDLE;
        out = it->second;
    }
    return FolderId(out.Folder) == out.Id ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

bool IsOpen(HKEY key) {
    auto& table = KeyTable();
    std::lock_guard guard(table.Lock);
    return RegRootKeyName(key) || table.Keys.count(key) != 0;
}

LSTATUS NewHandle(const std::string& folder, REGSAM access, HKEY* result) {
    auto pin = std::make_shared<TFolderPin>();
    pin->Fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (pin->Fd < 0 || ::fstat(pin->Fd, &st) != 0) return ERROR_KEY_DELETED;
    auto& table = KeyTable();
    std::lock_guard guard(table.Lock);
    HKEY handle = table.Next++;
    table.Keys[handle] = {folder, TFolderId{st.st_dev, st.st_ino}, Normalise(access),
                          std::move(pin)};
    *result = handle;
    return ERROR_SUCCESS;
}

LSTATUS Walk(std::string& folder, const std::vector<std::string>& parts, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        auto next = FindSubkey(folder, parts[i]);
        if (!next) return ERROR_FILE_NOT_FOUND;
        folder = std::move(*next);
    }
    return ERROR_SUCCESS;
}

// Finds or makes the subkey `name` of `folder`. The parent is locked while
// it is looked for and made, so two processes creating "Key" and "KEY" at
// once make one folder.
LSTATUS FindOrMake(std::string& folder, const std::string& name, bool& created) {
    if (auto next = FindSubkey(folder, name)) {
        folder = std::move(*next);
        return ERROR_SUCCESS;
    }
    TFolderLock lock(folder);
    if (lock.Status() != ERROR_SUCCESS) return lock.Status();
    if (!lock.StillAt(folder)) return ERROR_KEY_DELETED;
    if (auto next = FindSubkey(folder, name)) {
        folder = std::move(*next);
        return ERROR_SUCCESS;
    }
    std::string made = folder + "/" + EncodeName(name);
    if (LSTATUS status = MakeKeyFolder(made); status != ERROR_SUCCESS) return status;
    folder = std::move(made);
    created = true;
    return ERROR_SUCCESS;
}

const TStoredValue* FindValue(const TValueList& values, const char* name) {
    std::string_view wanted = name ? name : "";
    for (const auto& value : values)
        if (SameName(value.Name, wanted)) return &value;
    return nullptr;
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

// Reads, changes and writes back a key's values under the key's lock.
template <class Change>
LSTATUS ChangeValues(HKEY key, Change change) {
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    TFolderLock lock(open.Folder);
    if (lock.Status() != ERROR_SUCCESS) return lock.Status();
    if (!lock.StillAt(open.Folder) || lock.Id() != open.Id) return ERROR_KEY_DELETED;
    TValueList values;
    if (LSTATUS status = ReadValues(open.Folder, values); status != ERROR_SUCCESS) return status;
    if (LSTATUS status = change(values); status != ERROR_SUCCESS) return status;
    return WriteValues(open.Folder, values);
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
    std::string folder = base.Folder;
    if (LSTATUS status = Walk(folder, parts, parts.size()); status != ERROR_SUCCESS) return status;
    return NewHandle(folder, desired, result);
}

LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, DWORD, char*, DWORD, REGSAM desired, void*,
                       HKEY* result, DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = 0;
    std::vector<std::string> parts;
    if (LSTATUS status = SplitKeyPath(subKey, parts); status != ERROR_SUCCESS) return status;
    TOpenKey base;
    if (LSTATUS status = Resolve(key, base); status != ERROR_SUCCESS) return status;
    std::string folder = base.Folder;
    bool created = false;
    for (const auto& part : parts) {
        if (!Allows(base, KEY_CREATE_SUB_KEY) && !FindSubkey(folder, part))
            return ERROR_ACCESS_DENIED;
        if (LSTATUS status = FindOrMake(folder, part, created); status != ERROR_SUCCESS)
            return status;
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return NewHandle(folder, desired, result);
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
    std::vector<BYTE> bytes(data, data + size);
    std::string name = valueName ? valueName : "";
    return ChangeValues(key, [&](TValueList& values) {
        for (auto& value : values)
            if (SameName(value.Name, name)) {
                value.Type = type;
                value.Data = std::move(bytes);
                return ERROR_SUCCESS;
            }
        values.push_back({name, type, std::move(bytes)});
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data,
                        DWORD* size) {
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    TValueList values;
    if (LSTATUS status = ReadValues(open.Folder, values); status != ERROR_SUCCESS) return status;
    const TStoredValue* value = FindValue(values, valueName);
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->Type;
    return CopyData(value->Data, data, size);
}

LSTATUS RegDeleteValue(HKEY key, const char* valueName) {
    std::string name = valueName ? valueName : "";
    return ChangeValues(key, [&](TValueList& values) {
        auto count = std::erase_if(values, [&](const auto& v) { return SameName(v.Name, name); });
        return count ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS RegDeleteKey(HKEY key, const char* subKey) {
    std::vector<std::string> parts;
    if (LSTATUS status = SplitKeyPath(subKey, parts); status != ERROR_SUCCESS) return status;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    TOpenKey base;
    if (LSTATUS status = Resolve(key, base); status != ERROR_SUCCESS) return status;
    std::string parent = base.Folder;
    if (LSTATUS status = Walk(parent, parts, parts.size() - 1); status != ERROR_SUCCESS)
        return status;
    // Parent before child, as creators lock: a subkey cannot be made inside
    // the key while it is checked for subkeys and moved away.
    TFolderLock parentLock(parent);
    if (parentLock.Status() != ERROR_SUCCESS) return parentLock.Status();
    auto child = FindSubkey(parent, parts.back());
    if (!child) return ERROR_FILE_NOT_FOUND;
    TFolderLock childLock(*child);
    if (childLock.Status() != ERROR_SUCCESS) return childLock.Status();
    if (!SubkeyNames(*child).empty()) return ERROR_ACCESS_DENIED;
    return RemoveKeyFolder(parent, *child);
}

LSTATUS RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD*, char* keyClass,
                     DWORD* classLength, FILETIME* lastWriteTime) {
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    auto names = SubkeyNames(open.Folder);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    if (LSTATUS status = CopyName(names[index], name, nameLength); status != ERROR_SUCCESS)
        return status;
    if (keyClass && classLength && *classLength) keyClass[0] = '\0';
    if (classLength) *classLength = 0;
    if (lastWriteTime) {
        struct stat st {};
        auto folder = FindSubkey(open.Folder, names[index]);
        if (folder && ::stat(folder->c_str(), &st) == 0) {
            // 100-nanosecond steps since 1601-01-01.
            std::uint64_t ticks =
                (static_cast<std::uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
                static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
            lastWriteTime->dwLowDateTime = static_cast<DWORD>(ticks);
            lastWriteTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValue(HKEY key, DWORD index, char* valueName, DWORD* nameLength, DWORD*, DWORD* type,
                     BYTE* data, DWORD* size) {
    TOpenKey open;
    if (LSTATUS status = Resolve(key, open); status != ERROR_SUCCESS) return status;
    if (!Allows(open, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    TValueList values;
    if (LSTATUS status = ReadValues(open.Folder, values); status != ERROR_SUCCESS) return status;
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    const auto& value = values[index];
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
    LSTATUS status = ArmNotification(key, open.Folder, watchSubtree != FALSE, kinds, wait);
    // A key closed by another thread while this armed would never signal.
    if (status == ERROR_SUCCESS && !IsOpen(key)) KeyClosed(key);
    if (!asynchronous) {
        if (status == ERROR_SUCCESS) WaitForSingleObject(wait, INFINITE);
        CloseHandle(wait);
    }
    return status;
}

}  // namespace zr::os
