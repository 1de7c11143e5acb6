// The registry calls, kept on disk in a store that several processes share and
// a person can read:
//
//   <store>/HKEY_CURRENT_USER/Software/Example/     one folder per key
//   <store>/HKEY_CURRENT_USER/Software/Example/%values   its values, one a line
//
// The store is $ZORIRIVE_REGISTRY when set, else $XDG_STATE_HOME/zoririve/registry
// when that is absolute, else <home>/.local/state/zoririve/registry, the home
// folder being $HOME when absolute or the password database's (never a shared
// folder: with neither, every call fails). It is looked up each time a
// predefined root key is used, so a process (or a test) may switch stores.
// Folders are made 0700 and files 0600: a store is its user's alone. Keys
// are reached one folder at a time from an open folder, and a link, FIFO or
// device planted in the store is refused, never followed or read.
// Key and value names compare without regard to ASCII case, as on the host;
// a folder keeps the spelling its key was created with. "/" and "%" inside
// key names are written %2F and %25; any other name beginning with "%" on
// disk belongs to the store itself, so no key name can reach it.
//
// A values file is replaced as a whole (written beside, flushed, renamed over),
// under a lock on its key's folder, so concurrent writers never lose each
// other's values and readers never see half a file. A lock another process
// holds is waited on (the call gets it the moment it is free) for a few
// seconds at most; then the call fails with ERROR_LOCK_VIOLATION. A child of
// fork may use the calls and its parent's handles, whatever other threads
// were doing at the fork.
#pragma once

#include <cstdint>
#include <string>

#include "LastError.h"
#include "Sync.h"

namespace zr::os {

// A key handle: a predefined root (0x80000000 and up) or an opened key.
using HKEY = std::uint32_t;
using REGSAM = DWORD;
using BYTE = std::uint8_t;
// The result of a registry call: ERROR_SUCCESS or an error code. Unsigned here
// (the host's is signed) so that it compares with the ERROR_ constants.
using LSTATUS = DWORD;

constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002;
constexpr HKEY HKEY_USERS = 0x80000003;
constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005;

// Access rights of a key handle.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// RegCreateKeyEx dispositions and options.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Kinds of change RegNotifyChangeKeyValue reports.
constexpr DWORD REG_NOTIFY_CHANGE_NAME = 0x1;        // a subkey added or deleted
constexpr DWORD REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;  // the key folder's attributes
constexpr DWORD REG_NOTIFY_CHANGE_LAST_SET = 0x4;    // a value set, added or deleted
constexpr DWORD REG_NOTIFY_CHANGE_SECURITY = 0x8;    // the key folder's permissions
constexpr DWORD REG_NOTIFY_THREAD_AGNOSTIC = 0x10000000;

struct FILETIME {
    DWORD dwLowDateTime = 0;
    DWORD dwHighDateTime = 0;
};

// A sub key path is relative to `key`, its parts separated by "\". A path
// that begins with "\", holds an empty part, "." or "..", or is longer than
// the host allows fails with ERROR_BAD_PATHNAME. An empty or null path names
// `key` itself. Results are ERROR_SUCCESS or the host's codes:
// ERROR_FILE_NOT_FOUND (no such key or value), ERROR_ACCESS_DENIED (the
// handle lacks the right, or the file system refuses), ERROR_INVALID_HANDLE,
// ERROR_KEY_DELETED (the key behind an open handle was deleted), ERROR_MORE_DATA
// (a buffer is too small; the size needed is stored), ERROR_NO_MORE_ITEMS,
// ERROR_BADDB (a values file that cannot be read as one; it is never
// overwritten).
LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result);
// Opens the key, creating it and any missing keys above it.
LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                       REGSAM desired, void* securityAttributes, HKEY* result, DWORD* disposition);
// Closing a key signals the events of its pending change notifications.
LSTATUS RegCloseKey(HKEY key);
// A change that would make the key's values file larger than a reader takes
// (64 MiB of text; bytes take three characters each) fails with
// ERROR_NO_SYSTEM_RESOURCES and changes nothing.
LSTATUS RegSetValueEx(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD size);
// With `data` null only the type and size are returned.
LSTATUS RegQueryValueEx(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* size);
LSTATUS RegDeleteValue(HKEY key, const char* valueName);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED when it has some).
LSTATUS RegDeleteKey(HKEY key, const char* subKey);
// Subkeys in case-insensitive order. `nameLength` holds the buffer's size in
// characters and receives the name's length without the terminating zero.
LSTATUS RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved,
                     char* keyClass, DWORD* classLength, FILETIME* lastWriteTime);
// Values in the order they were first set.
LSTATUS RegEnumValue(HKEY key, DWORD index, char* valueName, DWORD* nameLength, DWORD* reserved,
                     DWORD* type, BYTE* data, DWORD* size);

// Signals `event` once, at the next change of the kinds in `filter` under the
// key (in the whole subtree with `watchSubtree`), made by any process; also
// when the key is closed or deleted. Each call arms one notification; call
// again after the event was signalled to hear the next change. Without
// `asynchronous` the call itself waits for that change instead (the event may
// then be null).
LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event,
                                BOOL asynchronous);

// The predefined root's name ("HKEY_CURRENT_USER"), or null for any other key.
const char* RegRootKeyName(HKEY key);
// The folder of the store in use now (see above).
std::string RegStoreFolder();

}  // namespace zr::os
