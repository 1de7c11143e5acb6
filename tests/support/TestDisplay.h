// An X display for one test. Tests that open windows, move the keyboard
// focus or read the screen get a server of their own when Xvfb is there, so
// that they run side by side with any other test (and with no display
// around at all) without one window covering or taking the focus from
// another. Without Xvfb they use the display $DISPLAY names, where CTest
// runs them one at a time (their RESOURCE_LOCK), and skip without either.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace zr::testing {

// An Xvfb server of the test's own, on a display number the server picks
// (so that two tests starting at once never meet on one). It ends with the
// object, and with the test program should that die first.
class TPrivateDisplay {
  public:
    explicit TPrivateDisplay(int width = 1024, int height = 768);
    ~TPrivateDisplay() { TakeAway(); }
    TPrivateDisplay(const TPrivateDisplay&) = delete;
    TPrivateDisplay& operator=(const TPrivateDisplay&) = delete;

    bool Ready() const { return !name_.empty(); }
    // The DISPLAY value that reaches it (":93").
    const std::string& Name() const { return name_; }
    // Ends the server, as a display that goes away.
    void TakeAway();

  private:
    pid_t pid_ = -1;
    std::string name_;
};

// The display a test uses, named by $DISPLAY while the object lives.
class TTestDisplay {
  public:
    TTestDisplay();
    ~TTestDisplay();
    TTestDisplay(const TTestDisplay&) = delete;
    TTestDisplay& operator=(const TTestDisplay&) = delete;

    bool Ready() const { return ready_; }
    // Why there is none, for the test's skip message.
    const std::string& WhyNot() const { return whyNot_; }

  private:
    std::optional<TPrivateDisplay> private_;
    std::optional<std::string> previous_;
    bool ready_ = false;
    std::string whyNot_;
};

}  // namespace zr::testing
