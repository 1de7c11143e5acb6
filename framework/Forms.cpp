// Forms: showing, activation, the focus inside a form, the keyboard's dialog
// keys and the modal loop; and the screen that follows them.
//
// The focus. Each form remembers its focused control (nullptr: the form
// itself). Only the active form's focus is real: the screen's ActiveControl
// is the active form's focused control, and moving it raises OnExit on the
// controls left and OnEnter on the controls entered, then the screen's change
// events. Switching between forms keeps each form's focus without OnExit or
// OnEnter, as the host's windows do.
#include "framework/Forms.h"

#include <algorithm>

#include "framework/Application.h"
#include "framework/FormBackend.h"
#include "framework/Graphics.h"
#include "framework/MessageQueue.h"
#include "framework/StdCtrls.h"
#include "platform/ScreenCapture.h"

namespace zr {

ZR_REGISTER_CLASS(TCustomForm, c) {
    c.Property("ActiveControl", &TCustomForm::ActiveControl, &TCustomForm::SetActiveControl);
    c.Property("BorderStyle", &TCustomForm::BorderStyle, &TCustomForm::SetBorderStyle)
        .Default(bsSizeable);
    c.Property("Caption", &TCustomForm::Caption, &TCustomForm::SetCaption).Default("");
    c.Property("ClientHeight", &TCustomForm::ClientHeight, &TCustomForm::SetClientHeight);
    c.Property("ClientWidth", &TCustomForm::ClientWidth, &TCustomForm::SetClientWidth);
    c.Property("Icon", &TCustomForm::Icon, &TCustomForm::SetIcon)
        .Stored(&TCustomForm::IconStored);
    c.Property("KeyPreview", &TCustomForm::KeyPreview, &TCustomForm::SetKeyPreview).Default(false);
    c.Property("OldCreateOrder", &TCustomForm::OldCreateOrder, &TCustomForm::SetOldCreateOrder)
        .Default(false);
    c.Property("PixelsPerInch", &TCustomForm::PixelsPerInch, &TCustomForm::SetPixelsPerInch);
    c.Property("Position", &TCustomForm::Position, &TCustomForm::SetPosition).Default(poDesigned);
    c.Property("TextHeight", &TCustomForm::TextHeight, &TCustomForm::SetTextHeight);
    c.Property("OnActivate", &TCustomForm::OnActivate, &TCustomForm::SetOnActivate);
    c.Property("OnClose", &TCustomForm::OnClose, &TCustomForm::SetOnClose);
    c.Property("OnCloseQuery", &TCustomForm::OnCloseQuery, &TCustomForm::SetOnCloseQuery);
    c.Property("OnDeactivate", &TCustomForm::OnDeactivate, &TCustomForm::SetOnDeactivate);
    c.Property("OnHide", &TCustomForm::OnHide, &TCustomForm::SetOnHide);
    c.Property("OnShow", &TCustomForm::OnShow, &TCustomForm::SetOnShow);
}

ZR_REGISTER_CLASS(TForm, c) {}

ZR_REGISTER_CLASS(TScreen, c) {}

TScreen* Screen = new TScreen(nullptr);

namespace {

const char* const kCannotFocus = "Cannot focus a disabled or invisible window";
constexpr int kNoDisplayWidth = 1024;
constexpr int kNoDisplayHeight = 768;

// Forms freed by Release wait here until their release message runs; a form
// freed in between leaves the list, so the message never frees it twice.
// Never freed: the application frees its forms as static objects go away at
// exit, and each form's destructor still looks here.
constexpr UINT CM_RELEASE = WM_USER + 1;

std::vector<TCustomForm*>& PendingReleases() {
    static auto* pending = new std::vector<TCustomForm*>;
    return *pending;
}

HWND ReleaseWindow() {
    static HWND window = AllocateHWnd(TWndMethod::FromFunction([](TMessage& message) {
        if (message.Msg != CM_RELEASE) return;
        auto* form = reinterpret_cast<TCustomForm*>(message.LParam);
        auto& pending = PendingReleases();
        auto it = std::find(pending.begin(), pending.end(), form);
        if (it == pending.end()) return;
        pending.erase(it);
        delete form;
    }));
    return window;
}

void ForgetRelease(TCustomForm* form) {
    auto& pending = PendingReleases();
    pending.erase(std::remove(pending.begin(), pending.end(), form), pending.end());
}

}  // namespace

// ---- TCustomForm ----------------------------------------------------------------

TCustomForm::TCustomForm(TComponent* owner) : TWinControl(owner), icon_(std::make_unique<TIcon>()) {
    InitVisible(false);
    InitParentFont(false);
    SetBounds(0, 0, 320, 240);
    if (Screen) Screen->AddForm(this);
    FormBackend().FormCreated(*this);
}

TCustomForm::~TCustomForm() {
    // Tell the others while this is still a whole form; closures bound to it
    // go inert here, so no event of its own fires from now on.
    Destroying();
    ForgetRelease(this);
    modal_ = false;
    if (active_) Deactivate(false);
    if (Screen) Screen->RemoveForm(this);
    FormBackend().FormDestroying(*this);
    if (handle_) DeallocateHWnd(handle_);
    activeControl_ = nullptr;
    focusedControl_ = nullptr;
}

void TCustomForm::GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) {
    TWinControl::GetChildren(proc, root);
    if (root != this) return;
    // Copied: the callback may add or free components.
    std::vector<TComponent*> owned;
    for (int i = 0; i < ComponentCount(); ++i) owned.push_back(Components(i));
    for (TComponent* c : owned)
        if (!c->HasParent()) proc(c);
}

void TCustomForm::SetParent(TWinControl* parent) {
    if (parent) throw EInvalidOperation("A form cannot be placed inside another control");
}

void TCustomForm::FrameSize(int& horizontal, int& vertical) const {
    // The frame and caption of the classic window styles; a window backend
    // that knows better keeps the client size and reports the outer size.
    switch (borderStyle_) {
        case bsNone:
            horizontal = 0;
            vertical = 0;
            return;
        case bsSingle:
        case bsDialog:
            horizontal = 6;
            vertical = 25;
            return;
        case bsToolWindow:
            horizontal = 6;
            vertical = 21;
            return;
        case bsSizeToolWin:
            horizontal = 8;
            vertical = 23;
            return;
        case bsSizeable:
        default:
            horizontal = 8;
            vertical = 27;
            return;
    }
}

int TCustomForm::ClientWidth() const {
    int h = 0, v = 0;
    FrameSize(h, v);
    return std::max(Width() - h, 0);
}

int TCustomForm::ClientHeight() const {
    int h = 0, v = 0;
    FrameSize(h, v);
    return std::max(Height() - v, 0);
}

void TCustomForm::SetClientWidth(int value) {
    int h = 0, v = 0;
    FrameSize(h, v);
    SetWidth(std::max(value, 0) + h);
}

void TCustomForm::SetClientHeight(int value) {
    int h = 0, v = 0;
    FrameSize(h, v);
    SetHeight(std::max(value, 0) + v);
}

void TCustomForm::SetBorderStyle(TFormBorderStyle value) {
    if (value == borderStyle_) return;
    const int clientWidth = ClientWidth();
    const int clientHeight = ClientHeight();
    borderStyle_ = value;
    int h = 0, v = 0;
    FrameSize(h, v);
    SetBounds(Left(), Top(), clientWidth + h, clientHeight + v);
    Invalidate();
}

TIcon* TCustomForm::Icon() const {
    return icon_.get();
}

void TCustomForm::SetIcon(const TIcon* value) {
    if (value)
        icon_->Assign(value);
    else
        icon_->SetHandle(nullptr);
    Invalidate();
}

bool TCustomForm::IconStored() const {
    return !icon_->Empty();
}

// ---- showing -------------------------------------------------------------------

void TCustomForm::SetVisible(bool value) {
    // A form file's Visible takes effect once the form is read (Loaded).
    if (IsLoading()) return TControl::SetVisible(value);
    if (value == Visible()) {
        if (value && Enabled()) Activate();
        return;
    }
    if (value) {
        PlaceOnShow();
        DoShow();
        TControl::SetVisible(true);
        FormBackend().FormShown(*this);
        if (Enabled()) Activate();
    } else {
        DoHide();
        TControl::SetVisible(false);
        FormBackend().FormHidden(*this);
        if (active_) Deactivate(true);
    }
}

void TCustomForm::PlaceOnShow() {
    const TCustomForm* over = nullptr;
    switch (position_) {
        case poScreenCenter:
        case poDesktopCenter:
            break;
        case poMainFormCenter:
            over = Application ? Application->MainForm() : nullptr;
            break;
        case poOwnerFormCenter: {
            auto* owner = dynamic_cast<const TCustomForm*>(Owner());
            over = owner ? owner : (Application ? Application->MainForm() : nullptr);
            break;
        }
        default:
            return;
    }
    int left = 0, top = 0, width = Screen->Width(), height = Screen->Height();
    if (over && over != this && over->Visible()) {
        left = over->Left();
        top = over->Top();
        width = over->Width();
        height = over->Height();
    }
    // A form larger than the screen keeps its caption on the screen.
    SetBounds(std::max(left + (width - Width()) / 2, 0), std::max(top + (height - Height()) / 2, 0),
              Width(), Height());
}

void TCustomForm::DoShow() {
    if (onShow_) onShow_(this);
}

void TCustomForm::DoHide() {
    if (onHide_) onHide_(this);
}

void TCustomForm::DoClose(TCloseAction& action) {
    if (onClose_) onClose_(this, action);
}

bool TCustomForm::CloseQuery() {
    bool canClose = true;
    if (onCloseQuery_) onCloseQuery_(this, canClose);
    return canClose;
}

void TCustomForm::Close() {
    if (modal_) {
        modalResult_ = mrCancel;
        return;
    }
    if (!CloseQuery()) return;
    TCloseAction action = caHide;
    DoClose(action);
    if (action == caNone) return;
    // Closing the main form ends the application.
    if (Application && Application->MainForm() == this) {
        Application->Terminate();
        return;
    }
    if (action == caHide)
        Hide();
    else if (action == caFree)
        Release();
    // caMinimize: there is no window state to change here.
}

void TCustomForm::Release() {
    auto& pending = PendingReleases();
    if (std::find(pending.begin(), pending.end(), this) != pending.end()) return;
    pending.push_back(this);
    if (!PostMessage(ReleaseWindow(), CM_RELEASE, 0, reinterpret_cast<LPARAM>(this)))
        ForgetRelease(this);
}

TModalResult TCustomForm::ShowModal() {
    // The loop serves the main thread's queue; anywhere else it would spin
    // without ever seeing a message.
    if (!IsMainThread())
        throw EInvalidOperation("A form can be shown modally only on the main thread");
    if (Visible() || !Enabled() || modal_)
        throw EInvalidOperation("Cannot make a visible window modal");

    const std::weak_ptr<const void> alive = Liveness();
    // The other forms wait while this one is up.
    std::vector<std::pair<TCustomForm*, std::weak_ptr<const void>>> disabled;
    for (int i = 0; i < Screen->CustomFormCount(); ++i) {
        TCustomForm* other = Screen->CustomForms(i);
        if (other == this || !other->Visible() || !other->Enabled()) continue;
        disabled.emplace_back(other, other->Liveness());
    }
    for (auto& [form, formAlive] : disabled) form->SetEnabled(false);

    modalResult_ = mrNone;
    modal_ = true;
    auto restore = [&] {
        for (auto& [form, formAlive] : disabled)
            if (!formAlive.expired()) form->SetEnabled(true);
        if (alive.expired()) return;
        modal_ = false;
        if (Visible()) Hide();
    };
    try {
        Show();
        RunModalLoop();
    } catch (...) {
        restore();
        throw;
    }
    // A form freed while it was up (a handler deleted it) returns mrCancel.
    const TModalResult result = alive.expired() ? mrCancel : modalResult_;
    restore();
    return result;
}

void TCustomForm::RunModalLoop() {
    const std::weak_ptr<const void> alive = Liveness();
    const auto idle = [this, &alive](bool& done) {
        if (!alive.expired()) ModalIdle(done);
    };
    for (;;) {
        Application->HandleMessage(idle);
        if (alive.expired()) return;
        // An application that is ending closes its dialogs whatever they say.
        if (Application->Terminated()) {
            if (modalResult_ == mrNone) modalResult_ = mrCancel;
            TCloseAction action = caHide;
            DoClose(action);
            if (alive.expired()) return;
            if (modalResult_ == mrNone) modalResult_ = mrCancel;
            return;
        }
        if (modalResult_ == mrNone) continue;
        // Closing may be refused (OnCloseQuery, or OnClose answering caNone).
        TCloseAction action = caNone;
        if (CloseQuery()) {
            action = caHide;
            DoClose(action);
        }
        if (alive.expired()) return;
        if (action == caNone) {
            modalResult_ = mrNone;
            continue;
        }
        if (action == caFree) Release();
        return;
    }
}

HWND TCustomForm::Handle() {
    if (!handle_) handle_ = AllocateHWnd(TWndMethod(this, &TCustomForm::WndProc));
    return handle_;
}

void TCustomForm::WndProc(TMessage& message) {
    switch (message.Msg) {
        case WM_KEYDOWN:
            message.Result =
                PressKey(static_cast<std::uint16_t>(message.WParam),
                         TShiftState::FromMask(static_cast<std::uint64_t>(message.LParam)))
                    ? 0
                    : 1;
            break;
        case WM_CHAR:
            PressChar(static_cast<char>(message.WParam));
            break;
        case WM_CLOSE:
            Close();
            break;
        case WM_SYSCOMMAND:
            if ((message.WParam & 0xFFF0) == SC_CLOSE) Close();
            break;
        default:
            break;
    }
}

// ---- activation and focus ----------------------------------------------------

void TCustomForm::Activate() {
    if (active_) {
        Screen->BringToFront(this);
        return;
    }
    TCustomForm* previous = Screen->ActiveCustomForm();
    if (previous && previous != this) previous->Deactivate(false);
    active_ = true;
    Screen->BringToFront(this);
    // The focus returns where it was, else to the first control in tab order.
    TWinControl* target = activeControl_;
    if (!target || GetParentForm(target) != this || !target->CanFocusOnForm())
        target = FindNextControl(nullptr, true, true);
    SetFocusedControl(target);
    if (onActivate_) onActivate_(this);
}

void TCustomForm::Deactivate(bool chooseNext) {
    if (!active_) return;
    active_ = false;
    if (onDeactivate_) onDeactivate_(this);
    if (!chooseNext || Screen->ActiveCustomForm() != this) return;
    if (TCustomForm* next = Screen->NextActiveForm(this))
        next->Activate();
    else
        Screen->UpdateActive(nullptr, nullptr);
}

bool TCustomForm::CanFocus() const {
    return Visible() && Enabled();
}

void TCustomForm::SetFocus() {
    if (!CanFocus()) throw EInvalidOperation(kCannotFocus);
    Activate();
}

void TCustomForm::SetActiveControl(TWinControl* control) {
    if (control == this) control = nullptr;
    // While a form file is read its controls may not have their parents yet;
    // Loaded checks the choice.
    if (control && !IsLoading() && (GetParentForm(control) != this || !control->CanFocusOnForm()))
        throw EInvalidOperation(kCannotFocus);
    activeControl_ = control;
    if (active_ && !IsLoading()) SetFocusedControl(control);
}

void TCustomForm::FocusControl(TWinControl* control) {
    if (!active_ && !CanFocus()) throw EInvalidOperation(kCannotFocus);
    SetActiveControl(control);
    if (!active_) Activate();
}

void TCustomForm::SetFocusedControl(TWinControl* control) {
    if (control == this) control = nullptr;
    activeControl_ = control;
    if (!active_) return;
    const unsigned generation = ++focusGeneration_;
    // Leave: from the focused control up to the first one holding the new one.
    while (focusedControl_ && !(control && focusedControl_->ContainsControl(control))) {
        TWinControl* leaving = focusedControl_;
        TWinControl* parent = leaving->Parent();
        focusedControl_ = parent == this ? nullptr : parent;
        leaving->DoExit();
        // A handler that moved the focus itself has had the last word.
        if (generation != focusGeneration_) return;
    }
    // Enter: from below the common container down to the new control.
    while (focusedControl_ != control) {
        const TWinControl* holder = focusedControl_ ? focusedControl_ : this;
        TWinControl* entering = control;
        while (entering->Parent() && entering->Parent() != holder) entering = entering->Parent();
        if (entering->Parent() != holder) break;  // not on this form any more
        focusedControl_ = entering;
        entering->DoEnter();
        if (generation != focusGeneration_) return;
    }
    Screen->UpdateActive(this, focusedControl_);
    FormBackend().FocusChanged(*this, focusedControl_);
}

void TCustomForm::DefocusControl(TWinControl* control, bool removing) {
    if (!control || control == this) return;
    if (removing && focusedControl_ && control->ContainsControl(focusedControl_)) {
        // A control on its way out hears no OnExit; its containers do.
        TWinControl* parent = control->Parent();
        focusedControl_ = parent == this ? nullptr : parent;
        ++focusGeneration_;
    }
    if (activeControl_ && control->ContainsControl(activeControl_)) {
        activeControl_ = nullptr;
        if (active_) SetFocusedControl(nullptr);
    } else if (active_ && focusedControl_ != Screen->ActiveControl()) {
        Screen->UpdateActive(this, focusedControl_);
    }
    // Whatever happened above, the screen never keeps a control that left.
    TWinControl* screenControl = Screen->ActiveControl();
    if (removing && screenControl && control->ContainsControl(screenControl))
        Screen->UpdateActive(Screen->ActiveCustomForm(), nullptr);
}

void TCustomForm::Loaded() {
    TWinControl::Loaded();
    if (activeControl_ && GetParentForm(activeControl_) != this) activeControl_ = nullptr;
    // A form file that says Visible = True shows the form now that it is whole.
    if (Visible()) {
        InitVisible(false);
        SetVisible(true);
    }
}

void TCustomForm::Notification(TComponent* component, TOperation operation) {
    TWinControl::Notification(component, operation);
    if (operation != opRemove) return;
    if (component == activeControl_) activeControl_ = nullptr;
    if (component == focusedControl_) focusedControl_ = nullptr;
}

// ---- keyboard -------------------------------------------------------------------

bool TCustomForm::PressKey(std::uint16_t key, TShiftState shift) {
    if (key == 0) return false;
    if (keyPreview_ && OnKeyDown()) {
        OnKeyDown()(this, key, shift);
        if (key == 0) return true;
    }
    TWinControl* target = focusedControl_;
    if (!target) {
        if (!keyPreview_ && OnKeyDown()) OnKeyDown()(this, key, shift);
        if (key == 0) return true;
    } else if (target->OnKeyDown()) {
        const std::weak_ptr<const void> targetAlive = target->Liveness();
        target->OnKeyDown()(target, key, shift);
        if (key == 0) return true;
        if (targetAlive.expired()) return true;
    }
    const bool dialogKey = key == VK_TAB || key == VK_RETURN || key == VK_ESCAPE;
    if (dialogKey && !(target && target->WantsKey(key)) && DialogKey(key, shift)) return true;
    return target && target->KeyDown(key, shift);
}

bool TCustomForm::DialogKey(std::uint16_t key, TShiftState shift) {
    if (key == VK_TAB) {
        if (shift.Contains(ssCtrl) || shift.Contains(ssAlt)) return false;
        SelectNext(focusedControl_, !shift.Contains(ssShift), true);
        return true;
    }
    // Enter and Esc with a modifier are no dialog keys.
    if (!shift.Empty()) return false;
    TButton* button = nullptr;
    if (key == VK_RETURN) {
        // A focused button takes Enter itself; otherwise the default button.
        button = dynamic_cast<TButton*>(focusedControl_);
        if (!button || !button->CanFocusOnForm()) button = DefaultButton();
    } else if (key == VK_ESCAPE) {
        button = CancelButton();
    }
    if (!button) return false;
    button->Click();
    return true;
}

void TCustomForm::PressChar(char key) {
    if (key == 0) return;
    if (keyPreview_ && OnKeyPress()) {
        OnKeyPress()(this, key);
        if (key == 0) return;
    }
    TWinControl* target = focusedControl_;
    if (!target) {
        if (!keyPreview_ && OnKeyPress()) OnKeyPress()(this, key);
        return;
    }
    if (target->OnKeyPress()) {
        const std::weak_ptr<const void> targetAlive = target->Liveness();
        target->OnKeyPress()(target, key);
        if (key == 0 || targetAlive.expired()) return;
    }
    target->KeyPress(key);
}

namespace {

TButton* FindButton(const TCustomForm& form, const std::vector<TWinControl*>& list,
                    bool (TButton::*flag)() const) {
    for (TWinControl* w : list) {
        auto* button = dynamic_cast<TButton*>(w);
        if (button && (button->*flag)() && button->CanFocusOnForm()) return button;
    }
    return nullptr;
}

}  // namespace

TButton* TCustomForm::DefaultButton() const {
    std::vector<TWinControl*> list;
    AppendTabOrderList(list);
    return FindButton(*this, list, &TButton::Default);
}

TButton* TCustomForm::CancelButton() const {
    std::vector<TWinControl*> list;
    AppendTabOrderList(list);
    return FindButton(*this, list, &TButton::Cancel);
}

// ---- TScreen -------------------------------------------------------------------

TScreen::TScreen(TComponent* owner) : TComponent(owner) {}

TScreen::~TScreen() = default;

int TScreen::Width() const {
    os::TScreenInfo info;
    return os::GetScreenInfo(info) && info.Width > 0 ? info.Width : kNoDisplayWidth;
}

int TScreen::Height() const {
    os::TScreenInfo info;
    return os::GetScreenInfo(info) && info.Height > 0 ? info.Height : kNoDisplayHeight;
}

int TScreen::FormCount() const {
    return static_cast<int>(std::count_if(customForms_.begin(), customForms_.end(),
                                          [](const TCustomForm* f) { return f->Is<TForm>(); }));
}

TForm* TScreen::Forms(int index) const {
    int seen = 0;
    for (TCustomForm* f : customForms_)
        if (f->Is<TForm>() && seen++ == index) return static_cast<TForm*>(f);
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

TCustomForm* TScreen::CustomForms(int index) const {
    if (index < 0 || index >= CustomFormCount())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return customForms_[static_cast<size_t>(index)];
}

TForm* TScreen::ActiveForm() const {
    if (!activeCustomForm_ || !activeCustomForm_->Is<TForm>()) return nullptr;
    return static_cast<TForm*>(activeCustomForm_);
}

void TScreen::AddForm(TCustomForm* form) {
    customForms_.push_back(form);
}

void TScreen::RemoveForm(TCustomForm* form) {
    customForms_.erase(std::remove(customForms_.begin(), customForms_.end(), form),
                       customForms_.end());
    if (activeCustomForm_ != form) return;
    if (TCustomForm* next = NextActiveForm(form))
        next->Activate();
    else
        UpdateActive(nullptr, nullptr);
}

void TScreen::BringToFront(TCustomForm* form) {
    auto it = std::find(customForms_.begin(), customForms_.end(), form);
    if (it == customForms_.end()) return;
    std::rotate(customForms_.begin(), it, it + 1);
}

TCustomForm* TScreen::NextActiveForm(const TCustomForm* leaving) const {
    for (TCustomForm* f : customForms_)
        if (f != leaving && f->Visible() && f->Enabled()) return f;
    return nullptr;
}

void TScreen::UpdateActive(TCustomForm* form, TWinControl* control) {
    const bool formChanged = form != activeCustomForm_;
    const bool controlChanged = control != activeControl_;
    // The application is active while one of its forms is: the first form
    // to become active activates it before the form counts as active, and
    // the last one to leave deactivates it afterwards, as the window system
    // tells an application when the input focus enters or leaves its windows.
    if (formChanged && form != nullptr) ActivateApplication(true);
    activeCustomForm_ = form;
    activeControl_ = control;
    if (formChanged && onActiveFormChange_) onActiveFormChange_(this);
    if (controlChanged && onActiveControlChange_) onActiveControlChange_(this);
    if (formChanged && form == nullptr) ActivateApplication(false);
}

void TScreen::ActivateApplication(bool active) {
    if (Application == nullptr || Application->Active() == active) return;
    SendMessage(Application->Handle(), WM_ACTIVATEAPP, active ? 1 : 0);
}

}  // namespace zr
