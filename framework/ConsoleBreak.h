// Ctrl+C in a program that runs the framework's message loop. The interrupt
// only wakes the loop; the loop itself raises EControlC on the main thread,
// where HandleException treats it like any other exception (an exception log
// records it), and then ends, as a user pressing Ctrl+C expects. A second
// Ctrl+C while the first is still being handled ends the process at once.
// A program started with the interrupt ignored keeps ignoring it.
#pragma once

#include <signal.h>

namespace zr {

class TApplication;

// Lives for as long as TApplication::Run runs; nested runs share the first.
class TConsoleBreakScope {
  public:
    explicit TConsoleBreakScope(TApplication& application);
    ~TConsoleBreakScope();
    TConsoleBreakScope(const TConsoleBreakScope&) = delete;
    TConsoleBreakScope& operator=(const TConsoleBreakScope&) = delete;

  private:
    bool Service();

    TApplication& application_;
    bool owner_ = false;
    int source_ = -1;
    struct sigaction previous_ {};
};

}  // namespace zr
