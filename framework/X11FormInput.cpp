#include "framework/X11FormInput.h"

#include <X11/keysym.h>

#include "framework/Application.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"
#include "platform/X11Text.h"

namespace zr {

namespace {

constexpr int kLeftButton = 1;
constexpr int kWheelUp = 4;
constexpr int kWheelDown = 5;
constexpr int kWheelLines = 3;

// The control and every container up to its form are visible and enabled.
bool Usable(const TControl& control) {
    for (const TControl* c = &control; c; c = c->Parent())
        if (!c->Visible() || !c->Enabled()) return false;
    return true;
}

bool TakesFocusOnClick(const TWinControl& control) {
    return dynamic_cast<const TButton*>(&control) || dynamic_cast<const TCheckBox*>(&control) ||
           dynamic_cast<const TCustomEdit*>(&control) || dynamic_cast<const TComboBox*>(&control) ||
           control.TabStop();
}

TShiftState ShiftOf(const os::TXInput& input) {
    TShiftState shift;
    if (input.Shift) shift.Include(ssShift);
    if (input.Ctrl) shift.Include(ssCtrl);
    if (input.Alt) shift.Include(ssAlt);
    return shift;
}

// Input reaches the form whose window it came to: that form becomes the
// active one, as clicking or typing into a window activates it.
bool ReadyForInput(TCustomForm& form) {
    if (!form.Visible() || !form.Enabled()) return false;
    if (!form.Active()) form.SetFocus();
    return true;
}

// What a click does to each kind of control.
void ClickControl(TControl& control) {
    if (auto* box = dynamic_cast<TCheckBox*>(&control)) {
        box->Toggle();
        return;
    }
    // Fields only take the focus, which the press gave them.
    if (dynamic_cast<TCustomEdit*>(&control) || dynamic_cast<TComboBox*>(&control)) return;
    control.Click();
}

// The text a key types into a field: its character, or the control
// characters the edit controls know (line break, tab, backspace).
std::string TypedText(const os::TXInput& input) {
    if (input.Ctrl || input.Alt) return {};
    switch (input.KeySym) {
        case XK_Return:
        case XK_KP_Enter:
            return "\r";
        case XK_Tab:
        case XK_ISO_Left_Tab:
            return "\t";
        case XK_BackSpace:
            return "\b";
        default:
            break;
    }
    return input.CodePoint ? os::EncodeUtf8(input.CodePoint) : std::string();
}

}  // namespace

std::uint16_t VirtualKeyOf(std::uint32_t keySym) {
    if (keySym >= 'a' && keySym <= 'z') return static_cast<std::uint16_t>(keySym - 'a' + 'A');
    if ((keySym >= 'A' && keySym <= 'Z') || (keySym >= '0' && keySym <= '9'))
        return static_cast<std::uint16_t>(keySym);
    switch (keySym) {
        case XK_Return:
        case XK_KP_Enter:
            return VK_RETURN;
        case XK_Escape:
            return VK_ESCAPE;
        case XK_Tab:
        case XK_ISO_Left_Tab:
            return VK_TAB;
        case XK_BackSpace:
            return VK_BACK;
        case XK_space:
            return VK_SPACE;
        case XK_Delete:
        case XK_KP_Delete:
            return VK_DELETE;
        case XK_Left:
        case XK_KP_Left:
            return VK_LEFT;
        case XK_Right:
        case XK_KP_Right:
            return VK_RIGHT;
        case XK_Up:
        case XK_KP_Up:
            return VK_UP;
        case XK_Down:
        case XK_KP_Down:
            return VK_DOWN;
        case XK_Home:
        case XK_KP_Home:
            return VK_HOME;
        case XK_End:
        case XK_KP_End:
            return VK_END;
        default:
            return 0;
    }
}

bool HandleButtonDown(TCustomForm& form, const os::TXInput& input, TPointerState& pointer,
                      TFormView& view) {
    TControl* target = ControlAtPoint(form, {input.X, input.Y});
    if (input.Button == kWheelUp || input.Button == kWheelDown) {
        // Scrolling is the view's business; the memo's text stays as it is.
        if (auto* memo = dynamic_cast<TMemo*>(target)) {
            view.MemoTopLine[memo] += input.Button == kWheelUp ? -kWheelLines : kWheelLines;
            return true;
        }
        return false;
    }
    if (input.Button != kLeftButton) return false;
    if (!target) target = &form;
    pointer.Pressed = nullptr;
    if (!form.Visible() || !form.Enabled()) return false;
    if (target != &form && !Usable(*target)) return false;
    pointer.Pressed = target;
    pointer.PressedAlive = target->Liveness();

    const std::weak_ptr<const void> targetAlive = target->Liveness();
    ReadyForInput(form);
    if (targetAlive.expired() || target == &form) return true;
    auto* windowed = dynamic_cast<TWinControl*>(target);
    if (windowed && TakesFocusOnClick(*windowed) && windowed->CanFocus()) windowed->SetFocus();
    return true;
}

bool HandleButtonUp(TCustomForm& form, const os::TXInput& input, TPointerState& pointer) {
    if (input.Button != kLeftButton) return false;
    TControl* pressed = pointer.PressedAlive.expired() ? nullptr : pointer.Pressed;
    pointer = TPointerState();
    if (!pressed || !form.Visible() || !form.Enabled()) return false;
    TControl* target = ControlAtPoint(form, {input.X, input.Y});
    if (!target) target = &form;
    // Letting go elsewhere takes the press back.
    if (target != pressed) return false;
    if (target != &form && !Usable(*target)) return false;
    ClickControl(*target);
    return true;
}

bool HandleKey(TCustomForm& form, const os::TXInput& input) {
    const std::weak_ptr<const void> alive = form.Liveness();
    if (!ReadyForInput(form) || alive.expired()) return false;
    if (const std::uint16_t key = VirtualKeyOf(input.KeySym)) {
        if (form.PressKey(key, ShiftOf(input))) return true;
        if (alive.expired()) return true;
    }
    for (char ch : TypedText(input)) {
        form.PressChar(ch);
        if (alive.expired()) break;
    }
    return true;
}

bool HandlePointer(const TCustomForm& form, const os::TXInput& input, TFormView& view) {
    const TControl* control = nullptr;
    if (input.Kind == os::TXInput::kPointerMoved && form.Visible() && form.Enabled())
        control = HintControlAt(form, {input.X, input.Y});
    const bool shown = view.HintControl && !view.HintAlive.expired();
    if (control == (shown ? view.HintControl : nullptr)) return false;
    view.HintControl = control;
    view.HintAlive = control ? control->Liveness() : std::weak_ptr<const void>();
    view.HintAt = {input.X, input.Y};
    return true;
}

void PointerToApplication(TCustomForm& form, const os::TXInput& input) {
    if (!Application) return;
    // Off the window, or over a disabled form (another one is modal): over
    // none of the application's controls.
    if (input.Kind != os::TXInput::kPointerMoved || !form.Visible() || !form.Enabled()) {
        Application->HintMouseMessage(nullptr, {});
        return;
    }
    TControl* target = ControlAtPoint(form, {input.X, input.Y});
    if (!target) {
        Application->HintMouseMessage(&form, {input.X, input.Y});
        return;
    }
    const TRect place = ClientRectOf(*target);
    Application->HintMouseMessage(target, {input.X - place.Left, input.Y - place.Top});
}

}  // namespace zr
