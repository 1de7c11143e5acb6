#include "platform/InotifyTree.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace zr::os {

namespace {

struct Entry {
    std::string path;
    bool folder = false;
    bool data = false;
};

// The entries of a folder, "." and ".." left out; a symbolic link to a folder
// counts as a file, as it is one entry and its target may lie outside the tree.
std::vector<Entry> ListFolder(const std::string& path) {
    std::vector<Entry> entries;
    DIR* dir = opendir(path.c_str());
    if (!dir) return entries;
    while (dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        Entry e{(path == "/" ? "" : path) + "/" + name};
        struct stat st {};
        if (lstat(e.path.c_str(), &st) == 0) {
            e.folder = S_ISDIR(st.st_mode);
            e.data = S_ISREG(st.st_mode) && st.st_size > 0;
        }
        entries.push_back(std::move(e));
    }
    closedir(dir);
    return entries;
}

// Errors that end a watch of the whole tree: the user must hear of them
// rather than get a watch with holes in it.
bool IsLimit(int error) {
    return error == ENOSPC || error == ENOMEM;
}

}  // namespace

TInotifyTree::TInotifyTree(int fd, std::uint32_t mask, bool subtree, TInotifyAddWatch addWatch)
    : fd_(fd), mask_(mask), subtree_(subtree), addWatch_(addWatch) {}

int TInotifyTree::Watch(const std::string& path) {
    // Only folders: a name that became a file meanwhile is not watched. Links
    // below the root are not followed, so a tree with a link loop ends.
    const bool root = path == root_;
    std::uint32_t mask =
        mask_ | (root && anyRoot_ ? 0u : IN_ONLYDIR) | (root ? 0u : IN_DONT_FOLLOW);
    int wd = addWatch_(fd_, path.c_str(), mask);
    if (wd < 0) return errno;
    if (root) rootWd_ = wd;
    // The same folder watched again (a rescan) keeps its descriptor.
    auto [it, added] = paths_.try_emplace(wd, path);
    if (!added) {
        byPath_.erase({it->second, wd});
        it->second = path;
    }
    byPath_.emplace(path, wd);
    return 0;
}

int TInotifyTree::AddRoot(const std::string& path, bool anyRoot) {
    root_ = path;
    anyRoot_ = anyRoot;
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    if (int error = Watch(root_)) return error;
    return subtree_ ? AddBelow(root_, nullptr) : 0;
}

int TInotifyTree::AddFolder(const std::string& path, TFolderContents* contents) {
    if (int error = Watch(path)) return IsLimit(error) ? error : 0;
    if (!subtree_ && !contents) return 0;
    return AddBelow(path, contents);
}

int TInotifyTree::AddBelow(const std::string& path, TFolderContents* contents) {
    for (const Entry& e : ListFolder(path)) {
        if (contents) {
            (e.folder ? contents->folders : contents->files) = true;
            contents->data = contents->data || e.data;
            if (contents->entry) contents->entry(e.path, e.folder);
        }
        if (!e.folder || !subtree_) continue;
        if (int error = AddFolder(e.path, contents)) return error;
    }
    return 0;
}

int TInotifyTree::Rescan() {
    return root_.empty() ? 0 : AddRoot(root_, anyRoot_);
}

std::vector<std::pair<std::string, int>> TInotifyTree::WatchesBelow(const std::string& path) const {
    std::vector<std::pair<std::string, int>> found;
    // "a/b" sorts before "a/b-c", which sorts before "a/b/…": the folder
    // itself, then everything below it as one range from "a/b/".
    for (auto it = byPath_.lower_bound({path, INT_MIN}); it != byPath_.end() && it->first == path;
         ++it)
        found.push_back(*it);
    const std::string prefix = path == "/" ? path : path + "/";
    for (auto it = byPath_.lower_bound({prefix, INT_MIN});
         it != byPath_.end() && it->first.starts_with(prefix); ++it)
        found.push_back(*it);
    return found;
}

void TInotifyTree::Drop(std::map<int, std::string>::iterator watch) {
    byPath_.erase({watch->second, watch->first});
    paths_.erase(watch);
}

void TInotifyTree::RemoveBelow(const std::string& path) {
    for (const auto& [folder, wd] : WatchesBelow(path)) {
        inotify_rm_watch(fd_, wd);
        Drop(paths_.find(wd));
    }
}

void TInotifyTree::Rename(const std::string& from, const std::string& to) {
    for (const auto& [folder, wd] : WatchesBelow(from)) {
        std::string renamed = to + folder.substr(from.size());
        byPath_.erase({folder, wd});
        byPath_.emplace(renamed, wd);
        paths_[wd] = std::move(renamed);
    }
}

void TInotifyTree::Forget(int wd) {
    auto it = paths_.find(wd);
    if (it != paths_.end()) Drop(it);
}

std::vector<std::string> TInotifyTree::Folders() const {
    std::vector<std::string> folders;
    folders.reserve(paths_.size());
    for (const auto& [wd, path] : paths_) folders.push_back(path);
    return folders;
}

const std::string* TInotifyTree::PathOf(int wd) const {
    auto it = paths_.find(wd);
    return it == paths_.end() ? nullptr : &it->second;
}

}  // namespace zr::os
