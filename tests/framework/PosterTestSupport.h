// Runs test code inside whatever message loop runs next, typically a modal
// form's or a dialog's, so a test can act on a window while it is up.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "framework/MessageQueue.h"
#include "framework/Messages.h"

namespace zr::testing {

class Poster {
  public:
    Poster() {
        window_ = AllocateHWnd(TWndMethod::FromFunction(
            [this](TMessage& m) { calls_.at(static_cast<std::size_t>(m.WParam))(); }));
    }
    ~Poster() { DeallocateHWnd(window_); }
    Poster(const Poster&) = delete;
    Poster& operator=(const Poster&) = delete;
    void Post(std::function<void()> call) {
        calls_.push_back(std::move(call));
        PostMessage(window_, WM_USER, calls_.size() - 1);
    }

  private:
    HWND window_;
    std::vector<std::function<void()>> calls_;
};

}  // namespace zr::testing
