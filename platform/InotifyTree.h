// The inotify watches of one folder, or of a folder and every folder below
// it: which watch descriptor stands for which path, adding the watches of a
// folder that appears later and dropping those of a folder that moves away.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zr::os {

// inotify_add_watch, or a stand-in that tests put there (a watch limit
// reached after a few watches).
using TInotifyAddWatch = int (*)(int fd, const char* path, std::uint32_t mask);

// What a scan of a folder that was just created found in it: entries made
// before its watch existed, which no event will ever report.
struct TFolderContents {
    bool files = false;
    bool folders = false;
    bool data = false;  // a file that already holds bytes
    // When set, told of each entry found, a folder before what it holds.
    std::function<void(const std::string& path, bool folder)> entry;
};

class TInotifyTree {
  public:
    // `fd` is the inotify descriptor (not owned), `mask` the events every
    // watch asks for.
    TInotifyTree(int fd, std::uint32_t mask, bool subtree, TInotifyAddWatch addWatch);

    // Watches `path` (and, for a subtree, every folder below it). 0 or the
    // errno that stopped it: a folder below that vanished or cannot be read
    // meanwhile is passed over, a watch limit is not.
    // With `anyRoot` the root may be a file (watched for itself).
    int AddRoot(const std::string& path, bool anyRoot = false);
    // A folder that appeared under a watched one: watched like the root's
    // subfolders. With `contents` the folder is also scanned, so entries
    // made before its watch existed are not missed.
    int AddFolder(const std::string& path, TFolderContents* contents);
    // Watches again every folder of the tree that lost its watch (after an
    // overflow dropped the events that would have said so).
    int Rescan();
    // A folder that moved away: its watches and those below go.
    void RemoveBelow(const std::string& path);
    // A folder renamed within the tree: its watches stay (they follow the
    // folder) and stand for the new paths.
    void Rename(const std::string& from, const std::string& to);
    // The kernel dropped a watch (its folder was deleted).
    void Forget(int wd);

    // The path a watch stands for, or null for an unknown watch.
    const std::string* PathOf(int wd) const;
    // The root's watch, or -1 before it is watched.
    int RootWatch() const { return rootWd_; }
    // Every folder watched now.
    std::vector<std::string> Folders() const;
    bool Subtree() const { return subtree_; }
    std::size_t WatchCount() const { return paths_.size(); }

  private:
    int Watch(const std::string& path);
    int AddBelow(const std::string& path, TFolderContents* contents);
    void Drop(std::map<int, std::string>::iterator watch);
    // The watches of `path` and of every folder below it, in path order.
    std::vector<std::pair<std::string, int>> WatchesBelow(const std::string& path) const;

    int fd_;
    std::uint32_t mask_;
    bool subtree_;
    TInotifyAddWatch addWatch_;
    std::string root_;
    bool anyRoot_ = false;
    int rootWd_ = -1;
    std::map<int, std::string> paths_;
    // The same watches by path: a folder's subtree is one range of it, so a
    // move or a removal costs what moved, not what the tree holds.
    std::set<std::pair<std::string, int>> byPath_;
};

}  // namespace zr::os
