// The Linux sources of one shell change registration, watched on a thread of
// its own: inotify under a folder (and its subfolders when recursive), the
// mount table, and the user's MIME associations file. Each event found is
// handed to a report function on that thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ShellNotify.h"

namespace zr::os {

class TShellWatcher {
  public:
    // An event code and its items; an empty string is no item.
    using TReport =
        std::function<void(LONG event, const std::string& item1, const std::string& item2)>;

    // Watches the sources that the codes of `events` need. Null, with the
    // last error set, when `root` is needed and cannot be watched.
    static std::unique_ptr<TShellWatcher> Start(const std::string& root, bool recursive,
                                                LONG events, TReport report);
    // Stops the thread; no report runs after this returns.
    virtual ~TShellWatcher() = default;

  protected:
    TShellWatcher() = default;
};

// The folder that holds the user's MIME associations file.
std::string MimeAssociationsFolder();

}  // namespace zr::os
