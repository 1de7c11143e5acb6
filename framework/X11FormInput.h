// The user's input in a form's window, turned into the model's operations:
// a click presses what lies under it (a button clicks, a check box toggles,
// a field takes the focus), the wheel scrolls a memo, and keys go through
// the form's PressKey and then, when no control used the key, PressChar;
// the pointer moving over a control shows its hint.
// Input to a form that is disabled (another form is modal) is ignored, as
// a disabled window gets none.
#pragma once

#include <cstdint>
#include <memory>

#include "Controls.h"
#include "FormPainter.h"
#include "../platform/X11Display.h"

namespace zr {

class TCustomForm;

// Which control a press of the left button went down on; the click happens
// when the button comes up over the same control.
struct TPointerState {
    TControl* Pressed = nullptr;
    std::weak_ptr<const void> PressedAlive;
};

// Each returns true when the model was asked to do something. The state and
// view are only touched before the model runs, so a form that is freed by
// what the input did leaves nothing dangling.
bool HandleButtonDown(TCustomForm& form, const os::TXInput& input, TPointerState& pointer,
                      TFormView& view);
bool HandleButtonUp(TCustomForm& form, const os::TXInput& input, TPointerState& pointer);
bool HandleKey(TCustomForm& form, const os::TXInput& input);
// The pointer moved over the window or left it: the view's hint follows
// the control under it. True when the hint shown changed (the window needs
// a redraw); the model is never asked.
bool HandlePointer(const TCustomForm& form, const os::TXInput& input, TFormView& view);
// The same news for the application: the control under the pointer (none
// once it left the window) sets its hint and shows the control's hint there.
void PointerToApplication(TCustomForm& form, const os::TXInput& input);

// The virtual key of an X key symbol, 0 for keys the forms do not know.
std::uint16_t VirtualKeyOf(std::uint32_t keySym);

}  // namespace zr
