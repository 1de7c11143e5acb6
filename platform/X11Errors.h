// Xlib reports trouble through handlers that are process-wide, and whose
// defaults end the process: one for a request the server refused, one for a
// connection that broke. They are installed here once and route each report
// by its connection. A connection registered here only has the refused
// request fail, and a broken one is marked lost (Xlib then returns from the
// call that found out, and every later call on it fails) instead of ending
// the process; every other connection's report goes to the handler that was
// installed before ours.
#pragma once

#include <cstdint>
#include <functional>

struct _XDisplay;

namespace zr::os {

// Registers `display`; `onLost` is called (on the thread that found out)
// when its connection breaks. Returns a token for UnwatchXConnection.
std::uint64_t WatchXConnection(_XDisplay* display, std::function<void()> onLost);
// Forgets the registration; call it after XCloseDisplay, as closing may
// still report errors.
void UnwatchXConnection(std::uint64_t token);

}  // namespace zr::os
