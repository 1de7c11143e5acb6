// The files of a store that belongs to one user (the registry, the event log):
// where it lives, and how its folders and files are made and opened so that
// another local user can neither read them nor lead a call astray with a
// planted link, a FIFO, a device or a lock held forever.
//
// Everything made here is the owner's alone (folders 0700, files 0600,
// whatever the umask). Inside a store every path is walked one folder at a
// time and no link is ever followed; only the store's base folder (the
// user's home or a folder the user named) is taken as the user gives it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "LastError.h"

namespace zr::os::privstore {

inline constexpr mode_t FolderMode = 0700;
inline constexpr mode_t FileMode = 0600;

// How long a store call waits for a lock another process holds before it
// fails with ERROR_LOCK_VIOLATION.
inline constexpr std::chrono::milliseconds DefaultLockWait{3000};

// An owned file descriptor, closed when it goes.
class TFd {
  public:
    TFd() = default;
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& other) noexcept : fd_(other.Release()) {}
    TFd& operator=(TFd&& other) noexcept;
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// The user's home folder: $HOME when it is set and absolute (the user's own
// choice), else the password database's entry. ERROR_PATH_NOT_FOUND when
// neither gives one: a store is never put in a shared folder instead.
DWORD HomeFolder(std::string& home);

// Where a store lives: `Base` is the user's own folder, opened as given
// (links followed); `Inside` is the store's path below it ("a/b", maybe
// empty), walked one folder at a time without following links.
struct TStoreLocation {
    std::string Base;
    std::string Inside;
    std::string Path() const { return Inside.empty() ? Base : Base + "/" + Inside; }
};

// The location of the store called `name`: $<variable> when set (a folder
// the user chose), else $XDG_STATE_HOME/zoririve/<name> when that is
// absolute, else <home>/.local/state/zoririve/<name>.
DWORD LocateStore(const char* variable, std::string_view name, TStoreLocation& where);

// Opens (with `create`, makes first: missing folders 0700) a store's folder.
DWORD OpenStore(const TStoreLocation& where, bool create, TFd& folder);

// Opens the folder `name` (one path part) inside `parent`, never following a
// link; with `create` a missing one is made 0700. `created` (optional) tells
// whether it was made by this call.
DWORD OpenFolderAt(int parent, std::string_view name, bool create, TFd& folder,
                   bool* created = nullptr);

// Opens the folder at the "/"-separated `relative` path below `parent`, one
// part at a time, as OpenFolderAt does. An empty path opens `parent` again.
DWORD OpenFolderPath(int parent, std::string_view relative, bool create, TFd& folder);

// Opens a store file in `folder`: `flags` is O_RDONLY, O_WRONLY or O_RDWR
// with O_CREAT, O_EXCL, O_TRUNC or O_APPEND as needed. A link, a FIFO, a
// device or any other non-regular file is refused (ERROR_ACCESS_DENIED)
// without blocking; a file made here is 0600. `st` (optional) receives the
// file's status.
DWORD OpenStoreFile(int folder, const char* name, int flags, TFd& file, struct stat* st = nullptr);

// Reads the whole of a regular file opened by OpenStoreFile, refusing one
// longer than `limit` bytes before anything is read (ERROR_NOT_ENOUGH_MEMORY).
DWORD ReadStoreFile(int file, std::size_t limit, std::string& text);

// Takes a flock (LOCK_EX or LOCK_SH) on `fd`, retrying for up to `wait`
// while another holds it; ERROR_LOCK_VIOLATION when it stays held.
DWORD LockFile(int fd, int operation, std::chrono::milliseconds wait = DefaultLockWait);

// The same for a descriptor opened for this one lock (no other descriptor
// shares its open file description: a dup or a fork's copy would hold the
// lock with it), waiting on the lock itself rather than trying again and
// again, so that the lock passes to the waiter the moment it is free, even
// while others keep taking it. The wait is done by a thread of its own on a
// duplicate; a wait that runs out leaves it there, and the lock it may get
// later goes as soon as it does, with the last descriptor. A call that is
// cancelled or ends early is the same: closing `fd` is all it takes.
DWORD LockFileWaiting(int fd, int operation, std::chrono::milliseconds wait = DefaultLockWait);

// The Windows code for the current errno of a failed store call.
DWORD LastStoreError();

}  // namespace zr::os::privstore
