// The process's one sender thread: it sends what waits in the outbox to the
// collectors that active logs named, wakes when a new envelope is written
// and when a retry falls due, and keeps each collector's limits. It is
// started by the first collector watched and stopped at exit, where it is
// given at most 50 ms: a transfer under way is cut short, and the envelope
// stays in the outbox for the next start.
#pragma once

#include <chrono>
#include <string>

#include "CollectorDelivery.h"

namespace zr::os::collector {

inline constexpr std::chrono::milliseconds ExitPatience{50};

// Sends to `route`'s collector from the usual outbox from now on (a second
// call for the same collector replaces its route); starts the thread.
// Fails when the outbox cannot be opened.
DWORD WatchCollector(const TRoute& route);
void UnwatchCollector(const std::string& dsn);
// A new envelope waits.
void WakeSender();
// Ends the thread, waiting at most `patience` for it. Also run at exit.
void StopSender(std::chrono::milliseconds patience = ExitPatience);
// Waits until nothing due for a watched collector is left (or `timeout`
// passes); true when the outbox holds nothing more for them. For tests and
// programs that want their reports out before they go on.
bool FlushSender(std::chrono::milliseconds timeout);

}  // namespace zr::os::collector
