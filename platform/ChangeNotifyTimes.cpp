#include "platform/ChangeNotifyTimes.h"

#include <dirent.h>
#include <sys/stat.h>

#include <vector>

namespace zr::os {

namespace {

bool Same(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The entry itself, not what a symbolic link points at.
bool ReadStatus(const std::string& path, struct stat& status) {
    return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

void TWriteTimes::Seed(const std::string& folder) {
    struct stat status {};
    if (ReadStatus(folder, status)) times_[folder] = status.st_mtim;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        if (ReadStatus(path, status)) times_[path] = status.st_mtim;
    }
    ::closedir(dir);
}

template <class Action>
void TWriteTimes::ForEachBelow(const std::string& path, Action action) {
    std::vector<std::string> found;
    if (times_.count(path) != 0) found.push_back(path);
    const std::string prefix = path + "/";
    for (auto it = times_.lower_bound(prefix); it != times_.end() && it->first.starts_with(prefix);
         ++it)
        found.push_back(it->first);
    for (const std::string& entry : found) action(entry);
}

void TWriteTimes::Gone(const std::string& path) {
    pending_.erase(path);
    ForEachBelow(path, [this](const std::string& entry) { times_.erase(entry); });
}

void TWriteTimes::Moved(const std::string& from, const std::string& to) {
    ForEachBelow(from, [&](const std::string& entry) {
        auto node = times_.extract(entry);
        node.key() = to + entry.substr(from.size());
        times_.insert(std::move(node));
    });
}

bool TWriteTimes::TimeChanged(const std::string& path) {
    struct stat status {};
    if (!ReadStatus(path, status)) return false;
    auto [it, added] = times_.try_emplace(path, status.st_mtim);
    if (added) {
        // An entry never seen (made in a folder before its watch existed):
        // a change that set the write time to now set the change time to
        // the same instant.
        return Same(status.st_mtim, status.st_ctim);
    }
    const bool changed = !Same(it->second, status.st_mtim);
    it->second = status.st_mtim;
    return changed;
}

void TWriteTimes::Settle() {
    for (const std::string& path : pending_) {
        struct stat status {};
        if (ReadStatus(path, status)) times_[path] = status.st_mtim;
    }
    pending_.clear();
}

}  // namespace zr::os
