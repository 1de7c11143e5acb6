#include "framework/X11FormBackend.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>
#include <unordered_map>

#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/FormBackend.h"
#include "framework/FormPainter.h"
#include "framework/Forms.h"
#include "framework/MessageForm.h"
#include "framework/MessageQueue.h"
#include "framework/Messages.h"
#include "framework/X11FormInput.h"
#include "platform/X11Canvas.h"
#include "platform/X11Display.h"

namespace zr {

namespace {

using os::TXInput;
using os::TXWindow;

// A display that could not be opened is not tried again for every form.
constexpr auto kRetryAfter = std::chrono::seconds(5);

std::uint32_t Rgb(TColor colour) {
    return static_cast<std::uint32_t>(ColorToRGB(colour)) & 0xFFFFFF;
}

bool Sizeable(const TCustomForm& form) {
    return form.BorderStyle() == bsSizeable || form.BorderStyle() == bsSizeToolWin;
}

// What the window of one form is and what it was last told.
struct TFormWindow {
    TXWindow Window = 0;
    bool Mapped = false;
    bool Dirty = true;
    int Left = 0;
    int Top = 0;
    int Width = 0;  // the model's client size (the window is at least 1 x 1)
    int Height = 0;
    std::string Title;
    std::uint32_t Background = 0;
    bool Fixed = false;
    unsigned long ResizeSerial = 0;
    TFormView View;
    TPointerState Pointer;
};

class TX11FormBackend : public TFormBackend {
  public:
    bool Start();
    void Stop();
    bool Running() const { return display_ && !display_->Lost() && &FormBackend() == this; }
    // Rings the bell of the display the windows are on.
    bool Bell() {
        if (!IsMainThread() || !Running()) return false;
        display_->Bell();
        return true;
    }
    TXWindow WindowOf(const TCustomForm& form) const {
        auto it = forms_.find(&form);
        return it == forms_.end() ? 0 : it->second.Window;
    }

    void FormDestroying(TCustomForm& form) override;
    void FormShown(TCustomForm& form) override;
    void FormHidden(TCustomForm& form) override;
    void FormChanged(TCustomForm& form) override;
    void FocusChanged(TCustomForm& form, TWinControl* control) override;
    void PaintPending() override;

  private:
    bool Usable() const { return display_ && !display_->Lost() && IsMainThread(); }
    TFormWindow* Find(const TCustomForm& form) {
        auto it = forms_.find(&form);
        return it == forms_.end() ? nullptr : &it->second;
    }
    TFormWindow& Open(TCustomForm& form);
    void Apply(TCustomForm& form, TFormWindow& w);
    void FollowActivation(const TCustomForm& form, const TFormWindow& w);
    void FollowFocus();
    void ShowVisibleForms();
    bool Service();
    bool Dispatch(const TXInput& input);
    bool TakeSize(TCustomForm& form, const TXInput& input);
    void Redraw();
    void Paint(const TCustomForm& form, TFormWindow& w);
    void DropWindows(bool tellServer);
    void ConnectionLost();
    void InstallPresenter();
    void RemovePresenter();

    std::unique_ptr<os::TXDisplay> display_;
    int inputSource_ = 0;
    std::unordered_map<const TCustomForm*, TFormWindow> forms_;
    std::unordered_map<TXWindow, TCustomForm*> windows_;
    std::shared_ptr<TDialogPresenter> presenter_;
    // The form whose window was last given the keyboard.
    const TCustomForm* keyboardForm_ = nullptr;
    // Set while the model takes a size the user gave the window, which the
    // window has already.
    bool followingWindow_ = false;
    // One of our windows got or lost the keyboard since the focus was last
    // looked at.
    bool focusMoved_ = false;
};

TX11FormBackend& Backend() {
    // Never freed: forms may outlive every static object.
    static auto* backend = new TX11FormBackend;
    return *backend;
}

// Message boxes in windows while the backend runs; on standard error again
// as soon as it does not (nobody could answer a window that is not there).
class TWindowDialogPresenter : public TDialogPresenter {
  public:
    TModalResult Show(const TMessageDialog& dialog) override {
        if (Backend().Running()) return ShowMessageForm(dialog);
        return TStandardErrorPresenter().Show(dialog);
    }
};

// ---- lifetime -----------------------------------------------------------------

bool TX11FormBackend::Start() {
    if (!IsMainThread()) return false;
    if (Running()) return true;
    // Windows made while another backend was installed may belong to forms
    // that are gone by now; they are dropped, not looked at.
    DropWindows(true);
    if (display_ && display_->Lost()) Stop();
    if (!display_) {
        display_ = os::TXDisplay::Open();
        if (!display_) return false;
        if (Application)
            inputSource_ =
                Application->AddInputSource(display_->Fd(), [this] { return Service(); });
    }
    SetFormBackend(this);
    InstallPresenter();
    ShowVisibleForms();
    display_->Flush();
    return true;
}

void TX11FormBackend::Stop() {
    DropWindows(display_ && !display_->Lost());
    if (inputSource_ && Application) Application->RemoveInputSource(inputSource_);
    inputSource_ = 0;
    display_.reset();
    if (&FormBackend() == this) SetFormBackend(nullptr);
    RemovePresenter();
}

void TX11FormBackend::DropWindows(bool tellServer) {
    if (tellServer && display_)
        for (auto& [form, w] : forms_) display_->DestroyWindow(w.Window);
    forms_.clear();
    windows_.clear();
    keyboardForm_ = nullptr;
}

void TX11FormBackend::ConnectionLost() {
    // The forms that were waiting for the user close as if the window had
    // been closed; the rest stay up in the model.
    std::vector<std::pair<TCustomForm*, std::weak_ptr<const void>>> modal;
    for (auto& [form, w] : forms_) {
        auto* f = const_cast<TCustomForm*>(form);
        if (f->Modal() && f->Visible()) modal.emplace_back(f, f->Liveness());
    }
    Stop();
    for (auto& [form, alive] : modal)
        if (!alive.expired()) form->Close();
}

void TX11FormBackend::InstallPresenter() {
    // Only the standard presenter gives way: one the application chose stays.
    std::shared_ptr<TDialogPresenter> current = DialogPresenter();
    if (current) {
        const TDialogPresenter& shown = *current;
        if (typeid(shown) != typeid(TStandardErrorPresenter)) return;
    }
    if (!presenter_) presenter_ = std::make_shared<TWindowDialogPresenter>();
    SetDialogPresenter(presenter_);
}

void TX11FormBackend::RemovePresenter() {
    if (presenter_ && DialogPresenter() == presenter_) SetDialogPresenter(nullptr);
}

// ---- the model's news ----------------------------------------------------------

TFormWindow& TX11FormBackend::Open(TCustomForm& form) {
    if (TFormWindow* existing = Find(form)) return *existing;
    os::TXWindowSpec windowSpec;
    windowSpec.Left = form.Left();
    windowSpec.Top = form.Top();
    windowSpec.Width = form.ClientWidth();
    windowSpec.Height = form.ClientHeight();
    windowSpec.Title = form.Caption();
    windowSpec.Background = Rgb(form.Color());
    windowSpec.FixedSize = !Sizeable(form);
    windowSpec.Dialog = form.BorderStyle() == bsDialog || form.Modal();
    // A dialog belongs to the form in front of it, so it stays above it.
    for (int i = 0; i < Screen->CustomFormCount(); ++i) {
        TCustomForm* other = Screen->CustomForms(i);
        const TFormWindow* w = other == &form ? nullptr : Find(*other);
        if (w && other->Visible()) {
            windowSpec.TransientFor = w->Window;
            break;
        }
    }
    TFormWindow& w = forms_[&form];
    w.Window = display_->CreateWindow(windowSpec);
    w.Left = windowSpec.Left;
    w.Top = windowSpec.Top;
    w.Width = windowSpec.Width;
    w.Height = windowSpec.Height;
    w.Title = windowSpec.Title;
    w.Background = windowSpec.Background;
    w.Fixed = windowSpec.FixedSize;
    if (w.Window) windows_[w.Window] = &form;
    return w;
}

void TX11FormBackend::Apply(TCustomForm& form, TFormWindow& w) {
    const int width = form.ClientWidth();
    const int height = form.ClientHeight();
    // While the model takes the user's size, width and height arrive one
    // after the other; asking the window for the half-changed size between
    // would fight the user.
    const bool moved =
        form.Left() != w.Left || form.Top() != w.Top || width != w.Width || height != w.Height;
    if (moved && !followingWindow_) {
        w.ResizeSerial = display_->MoveResize(w.Window, form.Left(), form.Top(), width, height);
        w.Left = form.Left();
        w.Top = form.Top();
        w.Width = width;
        w.Height = height;
        if (w.Fixed) display_->SetFixedSize(w.Window, width, height, true);
    }
    if (Sizeable(form) == w.Fixed) {
        w.Fixed = !Sizeable(form);
        display_->SetFixedSize(w.Window, width, height, w.Fixed);
    }
    if (form.Caption() != w.Title) {
        w.Title = form.Caption();
        display_->SetTitle(w.Window, w.Title);
    }
    if (Rgb(form.Color()) != w.Background) {
        w.Background = Rgb(form.Color());
        display_->SetBackground(w.Window, w.Background);
    }
}

void TX11FormBackend::FollowActivation(const TCustomForm& form, const TFormWindow& w) {
    // The window of the form that became active comes to the front with the
    // keyboard; only a viewable window can take it, so an unmapped one waits
    // for its map notice.
    if (!form.Active() || !w.Mapped || keyboardForm_ == &form) return;
    display_->RaiseAndFocus(w.Window);
    keyboardForm_ = &form;
}

void TX11FormBackend::FormShown(TCustomForm& form) {
    if (!Usable()) return;
    TFormWindow& w = Open(form);
    Apply(form, w);
    w.Dirty = true;
    display_->Map(w.Window);
    display_->Flush();
}

void TX11FormBackend::FormHidden(TCustomForm& form) {
    if (!Usable()) return;
    TFormWindow* w = Find(form);
    if (!w) return;
    display_->Unmap(w->Window);
    w->Mapped = false;
    w->Pointer = TPointerState();
    if (keyboardForm_ == &form) keyboardForm_ = nullptr;
    display_->Flush();
}

void TX11FormBackend::FormDestroying(TCustomForm& form) {
    auto it = forms_.find(&form);
    if (it == forms_.end()) return;
    windows_.erase(it->second.Window);
    if (keyboardForm_ == &form) keyboardForm_ = nullptr;
    if (display_ && IsMainThread()) {
        display_->DestroyWindow(it->second.Window);
        display_->Flush();
    }
    forms_.erase(it);
}

void TX11FormBackend::FormChanged(TCustomForm& form) {
    if (!Usable()) return;
    TFormWindow* w = Find(form);
    if (!w) {
        // A form that was up before the backend came gets its window now.
        if (form.Visible()) FormShown(form);
        return;
    }
    Apply(form, *w);
    w->Dirty = true;
}

void TX11FormBackend::FocusChanged(TCustomForm& form, TWinControl*) {
    if (!Usable()) return;
    if (TFormWindow* w = Find(form)) {
        w->Dirty = true;
        FollowActivation(form, *w);
    }
}

void TX11FormBackend::ShowVisibleForms() {
    for (int i = Screen->CustomFormCount() - 1; i >= 0; --i) {
        TCustomForm* form = Screen->CustomForms(i);
        if (form->Visible()) FormShown(*form);
    }
}

// ---- the display's news ----------------------------------------------------------

bool TX11FormBackend::Service() {
    if (!display_) return false;
    // Replaced by another backend: the forms this one knew may be gone.
    if (&FormBackend() != this) {
        DropWindows(!display_->Lost());
        display_->Flush();
        return false;
    }
    bool handled = false;
    TXInput input;
    // Drawing makes round trips (fonts, colours), during which Xlib may
    // read further news into its own queue; the loop would then wait on a
    // descriptor that no longer shows it, so it is taken before returning.
    do {
        // What the input does may run a nested loop that services the
        // display itself, or even stop the backend; each round looks again.
        while (display_ && !display_->Lost() && display_->NextInput(input))
            if (Dispatch(input)) handled = true;
        if (!display_) return handled;
        if (display_->Lost()) {
            ConnectionLost();
            return true;
        }
        FollowFocus();
        Redraw();
        display_->Flush();
    } while (display_ && display_->Queued());
    return handled;
}

bool TX11FormBackend::Dispatch(const TXInput& input) {
    auto it = windows_.find(input.Window);
    if (it == windows_.end()) return false;
    TCustomForm& form = *it->second;
    TFormWindow& w = forms_[&form];
    switch (input.Kind) {
        case TXInput::kExpose:
            w.Dirty = true;
            return false;
        case TXInput::kMapped:
            w.Mapped = true;
            w.Dirty = true;
            if (keyboardForm_ == &form) keyboardForm_ = nullptr;
            FollowActivation(form, w);
            return false;
        case TXInput::kResized:
            return TakeSize(form, input);
        case TXInput::kButtonDown:
            w.Dirty = true;  // the wheel scrolls the view without the model knowing
            return HandleButtonDown(form, input, w.Pointer, w.View);
        case TXInput::kButtonUp:
            return HandleButtonUp(form, input, w.Pointer);
        case TXInput::kKey:
            return HandleKey(form, input);
        case TXInput::kPointerMoved:
        case TXInput::kPointerLeft:
            if (HandlePointer(form, input, w.View)) w.Dirty = true;
            PointerToApplication(form, input);
            return false;
        case TXInput::kFocusIn:
        case TXInput::kFocusOut:
            focusMoved_ = true;
            return false;
        case TXInput::kCloseRequest:
            if (!form.Visible() || !form.Enabled()) return false;
            form.Close();
            return true;
        case TXInput::kNone:
            break;
    }
    return false;
}

void TX11FormBackend::FollowFocus() {
    // The application is active while one of its windows has the keyboard,
    // as the host's activation message tells it: the user switching to
    // another program deactivates it, and coming back activates it again.
    // A move between two of our windows comes as a loss and a gain, so the
    // server is asked where the focus is once the news of a move is read,
    // instead of deciding on each half.
    if (!focusMoved_ || !Application) return;
    focusMoved_ = false;
    const auto it = windows_.find(display_->FocusWindow());
    const bool ours = it != windows_.end() && it->second->Visible();
    if (Application->Active() != ours)
        SendMessage(Application->Handle(), WM_ACTIVATEAPP, ours ? 1 : 0);
}

bool TX11FormBackend::TakeSize(TCustomForm& form, const TXInput& input) {
    TFormWindow& w = forms_[&form];
    // A notice made before our last resize was handled tells an old size.
    if (input.Serial < w.ResizeSerial) return false;
    if (input.Width == std::max(w.Width, 1) && input.Height == std::max(w.Height, 1)) return false;
    if (!Sizeable(form)) return false;
    // The user resized the window: the model follows.
    w.Width = input.Width;
    w.Height = input.Height;
    w.Dirty = true;
    followingWindow_ = true;
    try {
        form.SetClientWidth(input.Width);
        form.SetClientHeight(input.Height);
    } catch (...) {
        followingWindow_ = false;
        throw;
    }
    followingWindow_ = false;
    return true;
}

void TX11FormBackend::Redraw() {
    for (auto& [form, w] : forms_)
        if (w.Dirty && w.Mapped && w.Window && form->Visible()) Paint(*form, w);
}

void TX11FormBackend::Paint(const TCustomForm& form, TFormWindow& w) {
    w.Dirty = false;
    os::TXCanvas canvas(*display_, w.Window, w.Width, w.Height);
    PaintForm(form, canvas, w.View);
    canvas.Present();
}

void TX11FormBackend::PaintPending() {
    if (!Usable()) return;
    // Once the server answers, it has mapped what it was asked to map; the
    // map notices are still on their way, so the server is asked directly.
    display_->Sync();
    for (auto& [form, w] : forms_) {
        if (!w.Dirty || !w.Window || !form->Visible()) continue;
        if (w.Mapped || display_->Viewable(w.Window)) Paint(*form, w);
    }
    display_->Sync();  // drawn before anybody reads the screen
}

// ---- offering itself ---------------------------------------------------------------

bool HeadlessRequested() {
    const char* value = std::getenv("ZORIRIVE_HEADLESS");
    return value && std::strcmp(value, "1") == 0;
}

TFormBackend* OfferBackend() {
    static std::chrono::steady_clock::time_point failedAt;
    static std::string failedDisplay;
    static bool failed = false;
    if (HeadlessRequested() || !IsMainThread()) return nullptr;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return nullptr;
    const auto now = std::chrono::steady_clock::now();
    if (failed && failedDisplay == name && now - failedAt < kRetryAfter) return nullptr;
    if (Backend().Start()) {
        failed = false;
        return &Backend();
    }
    failed = true;
    failedDisplay = name;
    failedAt = now;
    return nullptr;
}

// A message box is the first window some programs show: the backend may
// step in then too, unless the application chose headless forms.
bool OfferForDialog() {
    if (&FormBackend() == &HeadlessFormBackend()) return false;
    return OfferBackend() != nullptr;
}

bool RingDisplayBell() {
    return Backend().Bell();
}

const bool offered =
    (SetFormBackendProvider(&OfferBackend), SetDialogDisplayProvider(&OfferForDialog),
     SetBellRinger(&RingDisplayBell), true);

}  // namespace

bool StartX11FormBackend() {
    return Backend().Start();
}

void StopX11FormBackend() {
    Backend().Stop();
}

bool X11FormBackendRunning() {
    return Backend().Running();
}

unsigned long X11WindowOf(const TCustomForm& form) {
    return Backend().WindowOf(form);
}

}  // namespace zr
