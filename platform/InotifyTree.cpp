#include "platform/InotifyTree.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
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
        Entry e{path + "/" + name};
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
    std::uint32_t mask = mask_ | IN_ONLYDIR | (path == root_ ? 0u : IN_DONT_FOLLOW);
    int wd = addWatch_(fd_, path.c_str(), mask);
    if (wd < 0) return errno;
    paths_[wd] = path;
    return 0;
}

int TInotifyTree::AddRoot(const std::string& path) {
    root_ = path;
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
        }
        if (!e.folder || !subtree_) continue;
        if (int error = AddFolder(e.path, contents)) return error;
    }
    return 0;
}

int TInotifyTree::Rescan() {
    return root_.empty() ? 0 : AddRoot(root_);
}

void TInotifyTree::RemoveBelow(const std::string& path) {
    const std::string prefix = path + "/";
    for (auto it = paths_.begin(); it != paths_.end();) {
        if (it->second == path || it->second.starts_with(prefix)) {
            inotify_rm_watch(fd_, it->first);
            it = paths_.erase(it);
        } else {
            ++it;
        }
    }
}

void TInotifyTree::Rename(const std::string& from, const std::string& to) {
    const std::string prefix = from + "/";
    for (auto& [wd, path] : paths_) {
        if (path == from || path.starts_with(prefix)) path = to + path.substr(from.size());
    }
}

void TInotifyTree::Forget(int wd) {
    paths_.erase(wd);
}

const std::string* TInotifyTree::PathOf(int wd) const {
    auto it = paths_.find(wd);
    return it == paths_.end() ? nullptr : &it->second;
}

}  // namespace zr::os
