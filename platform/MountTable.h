// The process's mount table, as /proc/self/mountinfo lists it, and what
// changed between two readings of it: the drive and media events of the
// shell change notifications.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zr::os {

struct TMount {
    std::string MountPoint;
    std::string FileSystem;  // "ext4", "nfs4", "fuse.sshfs"
    std::string Source;      // "/dev/sdb1", "server:/export"
    std::string Device;      // "major:minor"
    bool Removable = false;  // a device the user can take away (a stick, a disc)
};

// The mounts of mountinfo text; lines that do not parse are skipped. Escaped
// characters of mount points ("\040" for a space) are decoded.
std::vector<TMount> ParseMountInfo(std::string_view text);

// Whether a mount is a drive: backed by a device node or a network share.
// Everything else (proc, tmpfs, cgroups, overlays) is the system's own.
bool IsDriveMount(const TMount& mount);

struct TMountChange {
    bool Added = false;
    TMount Mount;
};

// The drives that went (first) and came between two readings, each once.
// A mount point that now shows another source counts as gone and come.
std::vector<TMountChange> MountChanges(const std::vector<TMount>& before,
                                       const std::vector<TMount>& after);

// Reads the whole of an open /proc/self/mountinfo from its start (which also
// tells the kernel that this reader has seen the latest change) and marks
// removable devices from sysfs.
std::vector<TMount> ReadMountTable(int fd);

}  // namespace zr::os
