#include "platform/InotifyMoves.h"

namespace zr::os {

std::vector<TInotifyMove> TInotifyMoves::Take(const inotify_event& event) {
    std::vector<TInotifyMove> moves;
    if ((event.mask & IN_Q_OVERFLOW) != 0) return moves;
    const bool secondHalf = (event.mask & IN_MOVED_TO) != 0;
    const bool completes = waiting_ && secondHalf && event.cookie == waiting_->cookie;
    if (waiting_ && !completes) moves.push_back(*Settle());
    if ((event.mask & (IN_MOVED_FROM | IN_MOVED_TO)) == 0 || event.len == 0) return moves;

    const std::string* parent = tree_.PathOf(event.wd);
    if (parent == nullptr) {
        // Moved to a folder outside the tree that the same descriptor watches.
        if (completes) moves.push_back(*Settle());
        return moves;
    }
    const std::string path = (*parent == "/" ? "" : *parent) + "/" + event.name;
    const bool folder = (event.mask & IN_ISDIR) != 0;
    if (!secondHalf) {
        waiting_ = TFirstHalf{event.cookie, path, folder};
        return moves;
    }
    TInotifyMove move{TInotifyMove::TKind::Arrived, {}, path, folder};
    if (completes) {
        move.kind = TInotifyMove::TKind::Renamed;
        move.from = std::move(waiting_->path);
        waiting_.reset();
        // The watches follow the folder, so nothing made in it meanwhile is
        // missed.
        if (folder) tree_.Rename(move.from, move.to);
    } else if (folder && tree_.Subtree()) {
        move.watchError = tree_.AddFolder(path, nullptr);
    }
    moves.push_back(std::move(move));
    return moves;
}

std::optional<TInotifyMove> TInotifyMoves::Settle() {
    if (!waiting_) return std::nullopt;
    TInotifyMove move{TInotifyMove::TKind::Left, std::move(waiting_->path), {}, waiting_->folder};
    waiting_.reset();
    // A folder moved out keeps its inode: its watches would go on reporting
    // from outside the tree.
    if (move.folder) tree_.RemoveBelow(move.from);
    return move;
}

}  // namespace zr::os
