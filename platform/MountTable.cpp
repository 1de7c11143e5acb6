#include "platform/MountTable.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/FileContent.h"

namespace zr::os {

namespace {

// mountinfo writes space, tab, newline and backslash in mount points as
// three octal digits after a backslash.
std::string Unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + i + 1, field.begin() + i + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        auto end = line.find(' ', at);
        if (end == std::string_view::npos) end = line.size();
        if (end > at) fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

bool ParseLine(std::string_view line, TMount& mount) {
    // id parent major:minor root mount-point options [optional...] - fs source super-options
    auto fields = Fields(line);
    auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 6 || dash == fields.end() || dash - fields.begin() < 6 ||
        fields.end() - dash < 3)
        return false;
    mount.Device = std::string(fields[2]);
    mount.MountPoint = Unescape(fields[4]);
    mount.FileSystem = std::string(dash[1]);
    mount.Source = Unescape(dash[2]);
    return true;
}

bool ReadsOne(const std::string& file) {
    std::string content;
    return ReadFileContent(file, content) && !content.empty() && content[0] == '1';
}

// A partition's flag is on its disk, one folder up in sysfs.
bool IsRemovableDevice(const std::string& device) {
    const std::string base = "/sys/dev/block/" + device;
    return ReadsOne(base + "/removable") || ReadsOne(base + "/../removable");
}

std::string Key(const TMount& mount) {
    return mount.MountPoint + '\n' + mount.Source;
}

}  // namespace

std::vector<TMount> ParseMountInfo(std::string_view text) {
    std::vector<TMount> mounts;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        TMount mount;
        if (ParseLine(text.substr(at, end - at), mount)) mounts.push_back(std::move(mount));
        at = end + 1;
    }
    return mounts;
}

bool IsDriveMount(const TMount& mount) {
    static constexpr std::array<std::string_view, 7> network{"nfs",   "nfs4",       "cifs", "smb3",
                                                             "smbfs", "fuse.sshfs", "9p"};
    return mount.Source.starts_with("/dev/") ||
           std::find(network.begin(), network.end(), mount.FileSystem) != network.end();
}

std::vector<TMountChange> MountChanges(const std::vector<TMount>& before,
                                       const std::vector<TMount>& after) {
    auto contains = [](const std::vector<TMount>& table, const TMount& mount) {
        return std::any_of(table.begin(), table.end(),
                           [&](const TMount& m) { return Key(m) == Key(mount); });
    };
    std::vector<TMountChange> changes;
    auto add = [&](const TMount& mount, bool added) {
        // A device mounted twice at one place is one drive.
        for (const auto& c : changes)
            if (c.Added == added && Key(c.Mount) == Key(mount)) return;
        changes.push_back({added, mount});
    };
    for (const auto& mount : before)
        if (IsDriveMount(mount) && !contains(after, mount)) add(mount, false);
    for (const auto& mount : after)
        if (IsDriveMount(mount) && !contains(before, mount)) add(mount, true);
    return changes;
}

std::vector<TMount> ReadMountTable(int fd) {
    std::string text;
    char buffer[8192];
    if (::lseek(fd, 0, SEEK_SET) == 0) {
        for (;;) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }
    auto mounts = ParseMountInfo(text);
    for (auto& mount : mounts)
        if (mount.Source.starts_with("/dev/")) mount.Removable = IsRemovableDevice(mount.Device);
    return mounts;
}

}  // namespace zr::os
