// The two halves of a move under a watched tree, paired by their cookie, and
// the tree's watches kept in step with it. A rename inside the tree arrives
// as IN_MOVED_FROM then IN_MOVED_TO with one cookie; a first half whose
// second never comes left the tree, a second half without a first came in.
#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "InotifyTree.h"

namespace zr::os {

struct TInotifyMove {
    enum class TKind {
        Renamed,  // inside the tree: `from` is now `to`; a folder's watches follow it
        Left,     // out of the tree: `from` is gone; a folder's watches are dropped
        Arrived,  // into the tree: `to` is new; a folder is watched (subtree only)
    };
    TKind kind = TKind::Renamed;
    std::string from;
    std::string to;
    bool folder = false;
    // For a folder that arrived: 0, or the errno that kept its watches from
    // being added (the watch limit).
    int watchError = 0;
};

class TInotifyMoves {
  public:
    explicit TInotifyMoves(TInotifyTree& tree) : tree_(tree) {}

    // To be given every event, before its folder is looked up in the tree:
    // a first half waiting that this event does not complete is settled as a
    // move out first, and that may drop watches whose events are still
    // queued. Returns the moves that are complete, in order. An overflow
    // neither completes nor settles anything.
    std::vector<TInotifyMove> Take(const inotify_event& event);
    // A first half still waiting for its second: settled as a move out. The
    // kernel queues both halves within the rename itself, so the user
    // settles once the queue has been read empty (or a moment after).
    std::optional<TInotifyMove> Settle();
    bool Waiting() const { return waiting_.has_value(); }

  private:
    struct TFirstHalf {
        std::uint32_t cookie = 0;
        std::string path;
        bool folder = false;
    };

    TInotifyTree& tree_;
    std::optional<TFirstHalf> waiting_;
};

}  // namespace zr::os
