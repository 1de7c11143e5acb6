// Clicks a button the way a user does: through the message loop, which hands
// what escapes the handler to the application's exception handling.
#pragma once

#include "framework/Application.h"
#include "framework/MessageQueue.h"
#include "framework/StdCtrls.h"

namespace testprograms {

inline void ClickThroughTheLoop(zr::TButton& button) {
    zr::HWND window =
        zr::AllocateHWnd(zr::TWndMethod::FromFunction([&button](zr::TMessage& message) {
            if (message.Msg == zr::WM_USER) button.Click();
        }));
    zr::PostMessage(window, zr::WM_USER, 0, 0);
    zr::Application->ProcessMessages();
    zr::DeallocateHWnd(window);
}

}  // namespace testprograms
