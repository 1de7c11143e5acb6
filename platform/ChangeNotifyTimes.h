// The last write time of each entry a change notification watches for
// writes, so that a change of attributes that also set the write time
// (touch, utime) is told apart from one that did not (chmod, chown): inotify
// reports both alike.
#pragma once

#include <ctime>
#include <map>
#include <set>
#include <string>

namespace zr::os {

class TWriteTimes {
  public:
    // Remembers the write times of a watched folder and of its entries.
    void Seed(const std::string& folder);
    // An entry written to, made or moved in: its time is read once the
    // events at hand are taken (Settle), however many writes they hold.
    void Touched(const std::string& path) { pending_.insert(path); }
    // An entry removed or moved away, with whatever lay below it.
    void Gone(const std::string& path);
    // A folder renamed inside the tree: its entries keep their times.
    void Moved(const std::string& from, const std::string& to);
    // The attributes of an entry changed: whether its write time did too.
    bool TimeChanged(const std::string& path);
    void Settle();

  private:
    // Entries below `path` form one range from "path/" on.
    template <class Action>
    void ForEachBelow(const std::string& path, Action action);

    std::map<std::string, timespec> times_;
    std::set<std::string> pending_;
};

}  // namespace zr::os
