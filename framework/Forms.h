// Forms and the screen. A form is a top-level windowed control: it can be
// shown, hidden, made active and run modally; it keeps which of its controls
// holds the focus and turns Enter, Esc and Tab into clicks and focus moves.
// The screen lists the forms and follows the active form and the focused
// control.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Controls.h"
#include "Messages.h"

namespace zr {

class TButton;

enum TPosition {
    poDesigned,
    poDefault,
    poDefaultPosOnly,
    poDefaultSizeOnly,
    poScreenCenter,
    poDesktopCenter,
    poMainFormCenter,
    poOwnerFormCenter
};
ZR_ENUM(TPosition, poDesigned, poDefault, poDefaultPosOnly, poDefaultSizeOnly, poScreenCenter,
        poDesktopCenter, poMainFormCenter, poOwnerFormCenter);

enum TCloseAction { caNone, caHide, caFree, caMinimize };
ZR_ENUM(TCloseAction, caNone, caHide, caFree, caMinimize);

using TCloseEvent = TClosure<TObject* /*Sender*/, TCloseAction& /*Action*/>;
using TCloseQueryEvent = TClosure<TObject* /*Sender*/, bool& /*CanClose*/>;

class TCustomForm : public TWinControl {
    ZR_CLASS(TCustomForm, TWinControl)
  public:
    explicit TCustomForm(TComponent* owner);
    ~TCustomForm() override;

    // A form is the top of its own tree: it has no parent (EInvalidOperation).
    void SetParent(TWinControl* parent) override;
    // Writes the child controls, then the components it owns that sit on no
    // parent (non-visual components), so a form file keeps both.
    void GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) override;

    // The frame around the client area follows BorderStyle; the client size
    // is kept when the style changes, so the order in which a form file
    // names them does not matter.
    int ClientWidth() const override;
    int ClientHeight() const override;
    void SetClientWidth(int value) override;
    void SetClientHeight(int value) override;
    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TFormBorderStyle value);
    TPosition Position() const { return position_; }
    void SetPosition(TPosition value) { position_ = value; }

    // The form owns its icon; SetIcon copies `value` (nullptr empties it).
    TIcon* Icon() const;
    void SetIcon(const TIcon* value);
    bool IconStored() const;
    bool SizeStored() const override { return false; }

    // ---- showing ----
    // Show() and Visible = True make the form visible and active; Hide()
    // deactivates it and activates the form that was active before.
    void SetVisible(bool value) override;
    // Shows the form and runs the application's message loop until
    // ModalResult becomes non-zero (a button with a ModalResult, Close, or
    // the application terminating, which gives mrCancel). The other forms are
    // disabled meanwhile. Returns the result and hides the form.
    // EInvalidOperation "Cannot make a visible window modal" for a form that
    // is visible or disabled already.
    virtual TModalResult ShowModal();
    bool Modal() const { return modal_; }
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult value) { modalResult_ = value; }
    // A modal form: ModalResult := mrCancel. Otherwise asks OnCloseQuery,
    // then OnClose decides (hide by default; caFree frees the form later).
    void Close();
    // Asks OnCloseQuery; False when the form must stay open.
    virtual bool CloseQuery();
    // Frees the form once the current message has been handled.
    void Release();

    // True while the form is the active one of the screen.
    bool Active() const { return active_; }

    // The form's window on the message queue, made on first use. What a
    // window system would deliver arrives here as messages, so code (or a
    // test) can post input ahead of a modal loop: WM_KEYDOWN (wParam: the
    // key; lParam: the TShiftState mask) -> PressKey, WM_CHAR -> PressChar,
    // WM_CLOSE and WM_SYSCOMMAND SC_CLOSE -> Close.
    HWND Handle();

    // ---- focus ----
    // The control that holds (or, once the form is active, receives) the
    // focus. It must lie on this form and, outside form reading, be able to
    // take the focus (EInvalidOperation "Cannot focus a disabled or invisible
    // window"). nullptr leaves the focus on the form.
    TWinControl* ActiveControl() const { return activeControl_; }
    void SetActiveControl(TWinControl* control);
    // Gives the focus to `control` on this form (what SetFocus does).
    void FocusControl(TWinControl* control);
    // Called when `control` is hidden, disabled or leaves the form: the focus
    // leaves it for the form itself.
    void DefocusControl(TWinControl* control, bool removing);
    bool CanFocus() const override;
    void SetFocus() override;

    // ---- keyboard ----
    // A key pressed while the form is active, as the window would deliver
    // it: the form first when KeyPreview is set, then the focused control;
    // unused keys are dialog keys (Tab moves the focus, Shift+Tab back; Enter
    // clicks the focused button, else the default button; Esc clicks the
    // cancel button; a button must be visible and enabled to be clicked).
    // Returns True when something used the key.
    bool PressKey(std::uint16_t key, TShiftState shift = {});
    // A typed character for the focused control.
    void PressChar(char key);
    bool KeyPreview() const { return keyPreview_; }
    void SetKeyPreview(bool value) { keyPreview_ = value; }
    // The first visible and enabled button with Default (or Cancel) set, in
    // tab order through nested containers; nullptr when there is none.
    TButton* DefaultButton() const;
    TButton* CancelButton() const;

    // ---- events ----
    const TNotifyEvent& OnShow() const { return onShow_; }
    void SetOnShow(const TNotifyEvent& h) { onShow_ = h; }
    const TNotifyEvent& OnHide() const { return onHide_; }
    void SetOnHide(const TNotifyEvent& h) { onHide_ = h; }
    const TNotifyEvent& OnActivate() const { return onActivate_; }
    void SetOnActivate(const TNotifyEvent& h) { onActivate_ = h; }
    const TNotifyEvent& OnDeactivate() const { return onDeactivate_; }
    void SetOnDeactivate(const TNotifyEvent& h) { onDeactivate_ = h; }
    const TCloseEvent& OnClose() const { return onClose_; }
    void SetOnClose(const TCloseEvent& h) { onClose_ = h; }
    const TCloseQueryEvent& OnCloseQuery() const { return onCloseQuery_; }
    void SetOnCloseQuery(const TCloseQueryEvent& h) { onCloseQuery_ = h; }

    // ---- values kept for form files ----
    int PixelsPerInch() const { return pixelsPerInch_; }
    void SetPixelsPerInch(int value) { pixelsPerInch_ = value; }
    int TextHeight() const { return textHeight_; }
    void SetTextHeight(int value) { textHeight_ = value; }
    bool OldCreateOrder() const { return oldCreateOrder_; }
    void SetOldCreateOrder(bool value) { oldCreateOrder_ = value; }

    void Loaded() override;
    void Notification(TComponent* component, TOperation operation) override;
    // Forms stand alone in form files.
    bool HasParent() const override { return false; }
    TComponent* GetParentComponent() const override { return nullptr; }
    void SetParentComponent(TComponent*) override {}

    // The focused control inside this form (nullptr: the form itself); the
    // screen's ActiveControl while the form is active.
    TWinControl* FocusedControl() const { return focusedControl_; }

  protected:
    bool DefaultVisible() const override { return false; }
    bool DefaultParentFont() const override { return false; }
    virtual void DoShow();
    virtual void DoHide();
    virtual void DoClose(TCloseAction& action);
    // While the form is shown modally: runs each time its loop goes idle
    // (nothing queued is left to run) before the loop waits for more. Clear
    // `done` to look again instead of waiting. Does nothing here.
    virtual void ModalIdle(bool& /*done*/) {}

  private:
    friend class TScreen;
    void FrameSize(int& horizontal, int& vertical) const;
    void PlaceOnShow();
    void Activate();
    // Leaves the active state; with `chooseNext` the screen's next form
    // becomes active (another form's activation does that itself).
    void Deactivate(bool chooseNext);
    bool DialogKey(std::uint16_t key, TShiftState shift);
    // Moves the focus inside the form, raising OnExit and OnEnter along the
    // way; the screen follows when the form is active.
    void SetFocusedControl(TWinControl* control);
    void RunModalLoop();
    void WndProc(TMessage& message);

    TFormBorderStyle borderStyle_ = bsSizeable;
    TPosition position_ = poDesigned;
    std::unique_ptr<TIcon> icon_;
    TWinControl* activeControl_ = nullptr;
    TWinControl* focusedControl_ = nullptr;
    HWND handle_ = nullptr;
    TModalResult modalResult_ = mrNone;
    bool modal_ = false;
    bool active_ = false;
    bool keyPreview_ = false;
    bool placed_ = false;
    int pixelsPerInch_ = 96;
    int textHeight_ = 13;
    bool oldCreateOrder_ = false;
    unsigned focusGeneration_ = 0;
    TNotifyEvent onShow_;
    TNotifyEvent onHide_;
    TNotifyEvent onActivate_;
    TNotifyEvent onDeactivate_;
    TCloseEvent onClose_;
    TCloseQueryEvent onCloseQuery_;
};

class TForm : public TCustomForm {
    ZR_CLASS(TForm, TCustomForm)
  public:
    explicit TForm(TComponent* owner) : TCustomForm(owner) {}
};

// ---- the screen -------------------------------------------------------------------

class TScreen : public TComponent {
    ZR_CLASS(TScreen, TComponent)
  public:
    explicit TScreen(TComponent* owner);
    ~TScreen() override;

    // The display's size in pixels when an X display can be opened, else
    // 1024 x 768. Asked each time (through the screen source of
    // platform/ScreenCapture.h, which tests replace), so a display that comes
    // or goes is seen.
    int Width() const;
    int Height() const;
    int PixelsPerInch() const { return 96; }

    // The forms in front-to-back order: the active one first. Forms counts
    // the TForm descendants among them, CustomForms every form.
    int FormCount() const;
    TForm* Forms(int index) const;
    int CustomFormCount() const { return static_cast<int>(customForms_.size()); }
    TCustomForm* CustomForms(int index) const;

    // The active form (when it is a TForm), the active form of any kind,
    // and the control that holds the focus (nullptr when the focus lies on
    // a form itself or nowhere).
    TForm* ActiveForm() const;
    TCustomForm* ActiveCustomForm() const { return activeCustomForm_; }
    TWinControl* ActiveControl() const { return activeControl_; }

    const TNotifyEvent& OnActiveControlChange() const { return onActiveControlChange_; }
    void SetOnActiveControlChange(const TNotifyEvent& h) { onActiveControlChange_ = h; }
    const TNotifyEvent& OnActiveFormChange() const { return onActiveFormChange_; }
    void SetOnActiveFormChange(const TNotifyEvent& h) { onActiveFormChange_ = h; }

  private:
    friend class TCustomForm;
    void AddForm(TCustomForm* form);
    void RemoveForm(TCustomForm* form);
    void BringToFront(TCustomForm* form);
    // The form that becomes active when `leaving` stops being so: the
    // frontmost other form that is visible and enabled.
    TCustomForm* NextActiveForm(const TCustomForm* leaving) const;
    // Records the new state and raises the change events for what changed.
    void UpdateActive(TCustomForm* form, TWinControl* control);
    // Tells the application that its first form became active or its last
    // one stopped being so (WM_ACTIVATEAPP to its window).
    void ActivateApplication(bool active);

    std::vector<TCustomForm*> customForms_;
    TCustomForm* activeCustomForm_ = nullptr;
    TWinControl* activeControl_ = nullptr;
    TNotifyEvent onActiveControlChange_;
    TNotifyEvent onActiveFormChange_;
};

// The application's screen, made when the library loads; it lives to the end
// of the process.
extern TScreen* Screen;

}  // namespace zr
