// Controls: the visual component model without a display. A control has a
// position, a size, a parent, visibility, enablement and a hint; a windowed
// control holds children, a tab order and the keyboard focus. Nothing here
// draws: a window backend (FormBackend.h) may mirror the model on screen.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Component.h"
#include "Event.h"
#include "Font.h"
#include "Geometry.h"
#include "Graphics.h"
#include "Set.h"
#include "TypeInfo.h"

namespace zr {

class TWinControl;
class TCustomForm;

// The result a modal form returns; a button carries the one it sets.
using TModalResult = int;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = 1;
inline constexpr TModalResult mrCancel = 2;
inline constexpr TModalResult mrAbort = 3;
inline constexpr TModalResult mrRetry = 4;
inline constexpr TModalResult mrIgnore = 5;
inline constexpr TModalResult mrYes = 6;
inline constexpr TModalResult mrNo = 7;
inline constexpr TModalResult mrAll = 8;
inline constexpr TModalResult mrNoToAll = 9;
inline constexpr TModalResult mrYesToAll = 10;

// Virtual key codes of the keys the forms act on.
inline constexpr std::uint16_t VK_BACK = 0x08;
inline constexpr std::uint16_t VK_TAB = 0x09;
inline constexpr std::uint16_t VK_RETURN = 0x0D;
inline constexpr std::uint16_t VK_ESCAPE = 0x1B;
inline constexpr std::uint16_t VK_SPACE = 0x20;
inline constexpr std::uint16_t VK_END = 0x23;
inline constexpr std::uint16_t VK_HOME = 0x24;
inline constexpr std::uint16_t VK_LEFT = 0x25;
inline constexpr std::uint16_t VK_UP = 0x26;
inline constexpr std::uint16_t VK_RIGHT = 0x27;
inline constexpr std::uint16_t VK_DOWN = 0x28;
inline constexpr std::uint16_t VK_DELETE = 0x2E;

enum TShiftStateFlag { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
ZR_ENUM(TShiftStateFlag, ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble);
using TShiftState = Set<TShiftStateFlag>;

// bsNone and bsSingle are the frame choices of an edit box; a form's wider
// set of styles continues the same enumeration, as form files name
// them with the same words.
enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
ZR_ENUM(TFormBorderStyle, bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin);
using TBorderStyle = TFormBorderStyle;  // bsNone or bsSingle only

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
ZR_ENUM(TAlignment, taLeftJustify, taRightJustify, taCenter);

using TKeyEvent =
    TClosure<TObject* /*Sender*/, std::uint16_t& /*Key*/, TShiftState /*Shift*/>;
using TKeyPressEvent = TClosure<TObject* /*Sender*/, char& /*Key*/>;

// ---- TControl ---------------------------------------------------------------

class TControl : public TComponent {
    ZR_CLASS(TControl, TComponent)
  public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
    void SetTop(int value) { SetBounds(left_, value, width_, height_); }
    void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
    void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
    // The one place geometry changes; a negative size is taken as 0.
    virtual void SetBounds(int left, int top, int width, int height);
    TRect BoundsRect() const { return {left_, top_, left_ + width_, top_ + height_}; }
    // The inner area; controls without a frame use their whole size.
    virtual int ClientWidth() const { return width_; }
    virtual int ClientHeight() const { return height_; }
    virtual void SetClientWidth(int value) { SetWidth(value); }
    virtual void SetClientHeight(int value) { SetHeight(value); }

    TWinControl* Parent() const { return parent_; }
    // Moves the control into `parent`'s children (nullptr takes it out). A
    // control cannot become its own ancestor, nor the child of a control
    // without a window (EInvalidOperation).
    virtual void SetParent(TWinControl* parent);

    bool Visible() const { return visible_; }
    virtual void SetVisible(bool value);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    // Visible itself and every parent up to the top is visible.
    bool Showing() const;
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool value);

    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& value) { hint_ = value; }
    // The hint shows when ShowHint holds; with ParentShowHint the control
    // takes ShowHint from its parent until ShowHint is set on it.
    bool ShowHint() const;
    void SetShowHint(bool value);
    bool ParentShowHint() const { return parentShowHint_; }
    void SetParentShowHint(bool value) { parentShowHint_ = value; }

    // Caption and Text are one text, as in the host framework; controls whose
    // text lives elsewhere (a memo's lines) override GetText/StoreText.
    std::string Caption() const { return GetText(); }
    void SetCaption(const std::string& value) { SetText(value); }
    std::string Text() const { return GetText(); }
    void SetText(const std::string& value);

    // Setting Color clears ParentColor; ParentColor takes the parent's colour
    // and follows it.
    TColor Color() const { return color_; }
    void SetColor(TColor value);
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool value);
    // The control owns its font. Changing it clears ParentFont; ParentFont
    // takes the parent's font and follows it.
    TFont* Font() const { return font_.get(); }
    void SetFont(const TFont* value);
    bool ParentFont() const { return parentFont_; }
    void SetParentFont(bool value);

    const TNotifyEvent& OnClick() const { return onClick_; }
    void SetOnClick(const TNotifyEvent& handler) { onClick_ = handler; }
    // What a mouse click or its keyboard equivalent does: raises OnClick.
    virtual void Click();

    // Redraws the control through the backend of its form, if there is one.
    void Invalidate();

    // Form files: a control is written inside its parent and read back into it.
    bool HasParent() const override { return true; }
    TComponent* GetParentComponent() const override;
    void SetParentComponent(TComponent* parent) override;

  protected:
    virtual std::string GetText() const { return text_; }
    // Stores the text; SetText calls it and then TextChanged when it differed.
    virtual void StoreText(const std::string& value) { text_ = value; }
    virtual void TextChanged() { Invalidate(); }
    virtual void VisibleChanged() {}
    virtual void EnabledChanged() {}
    // The parent's colour or font changed; controls that take them follow.
    virtual void ParentColorChanged();
    virtual void ParentFontChanged();
    // What Color and ParentFont are for a new control of the class; form
    // files leave out what equals them.
    virtual TColor DefaultColor() const { return clBtnFace; }
    virtual bool DefaultParentFont() const { return true; }
    virtual bool DefaultVisible() const { return true; }
    // Constructors of classes that start out differently.
    void InitColor(TColor value) { color_ = value; }
    void InitVisible(bool value) { visible_ = value; }
    void InitParentFont(bool value) { parentFont_ = value; }

  public:
    // Form files store only what differs from a new control of the class.
    bool ColorStored() const { return !parentColor_ && color_ != DefaultColor(); }
    bool FontStored() const { return !parentFont_; }
    bool ParentFontStored() const { return parentFont_ != DefaultParentFont(); }
    bool VisibleStored() const { return visible_ != DefaultVisible(); }
    bool ShowHintStored() const { return !parentShowHint_; }
    // Forms store their client size instead of their outer size.
    virtual bool SizeStored() const { return true; }

  private:
    friend class TWinControl;
    void FontChanged(TObject* sender);

    int left_ = 0;
    int top_ = 0;
    int width_ = 0;
    int height_ = 0;
    TWinControl* parent_ = nullptr;
    bool visible_ = true;
    bool enabled_ = true;
    std::string hint_;
    bool showHint_ = false;
    bool parentShowHint_ = true;
    std::string text_;
    TColor color_ = clBtnFace;
    bool parentColor_ = false;
    std::unique_ptr<TFont> font_;
    bool parentFont_ = true;
    bool takingParentFont_ = false;
    TNotifyEvent onClick_;
};

// ---- TWinControl ---------------------------------------------------------------

class TWinControl : public TControl {
    ZR_CLASS(TWinControl, TControl)
  public:
    explicit TWinControl(TComponent* owner);
    // Destroys the children first (they leave their owners as they go), as a
    // window takes its child windows with it.
    ~TWinControl() override;

    int ControlCount() const { return static_cast<int>(controls_.size()); }
    // EListError "List index out of bounds (i)" when out of range.
    TControl* Controls(int index) const;
    // True when `control` is this control or lies inside it.
    bool ContainsControl(const TControl* control) const;

    // The position among the parent's windowed children when tabbing; -1
    // without a parent. Setting it moves the control and renumbers the others
    // (a value past the end puts it last); a form file's values are kept
    // as read and put in order when the form has been read.
    int TabOrder() const;
    void SetTabOrder(int value);
    bool TabStop() const { return tabStop_; }
    void SetTabStop(bool value) { tabStop_ = value; }
    // The windowed children in tab order.
    const std::vector<TWinControl*>& TabList() const { return tabList_; }

    // The control and its parents up to and including its form are visible
    // and enabled, and there is such a form.
    virtual bool CanFocus() const;
    // Gives this control the keyboard focus and activates its form;
    // EInvalidOperation "Cannot focus a disabled or invisible window" when
    // CanFocus is False.
    virtual void SetFocus();
    // True while this control holds the focus of the active form.
    bool Focused() const;

    const TNotifyEvent& OnEnter() const { return onEnter_; }
    void SetOnEnter(const TNotifyEvent& handler) { onEnter_ = handler; }
    const TNotifyEvent& OnExit() const { return onExit_; }
    void SetOnExit(const TNotifyEvent& handler) { onExit_ = handler; }
    const TKeyEvent& OnKeyDown() const { return onKeyDown_; }
    void SetOnKeyDown(const TKeyEvent& handler) { onKeyDown_ = handler; }
    const TKeyPressEvent& OnKeyPress() const { return onKeyPress_; }
    void SetOnKeyPress(const TKeyPressEvent& handler) { onKeyPress_ = handler; }

    // The keyboard reaches the focused control (see TCustomForm::PressKey).
    // WantsKey: the control takes Tab, Enter or Esc itself instead of leaving
    // them to the form (a memo that accepts line breaks keeps Enter).
    // KeyDown: the control's own use of a key; True when it used it.
    // KeyPress: a typed character.
    virtual bool WantsKey(std::uint16_t key) const { return false; }
    virtual bool KeyDown(std::uint16_t key, TShiftState shift) { return false; }
    virtual void KeyPress(char key) {}

    // The next (or previous) control in tab order after `current` (from the
    // start when nullptr), searching nested containers and wrapping around;
    // nullptr when no other control can take the focus.
    TWinControl* FindNextControl(TWinControl* current, bool forward, bool checkTabStop) const;
    // Focuses that control; False when there was none.
    bool SelectNext(TWinControl* current, bool forward, bool checkTabStop);
    // Like CanFocus, but without asking the form: whether the control may
    // hold the focus once its form is shown.
    bool CanFocusOnForm() const;

    void GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) override;
    void Loaded() override;
    bool TabStopStored() const { return tabStop_ != DefaultTabStop(); }

    // The focus machinery tells a control that it gained or lost the focus.
    virtual void DoEnter();
    virtual void DoExit();

  protected:
    void VisibleChanged() override;
    void EnabledChanged() override;
    void ParentColorChanged() override;
    void ParentFontChanged() override;
    virtual bool DefaultTabStop() const { return false; }
    void InitTabStop(bool value) { tabStop_ = value; }
    // Every windowed control inside this one, in tab order, containers
    // before what they contain.
    void AppendTabOrderList(std::vector<TWinControl*>& list) const;

  private:
    friend class TControl;
    void InsertControl(TControl* control);
    void RemoveControl(TControl* control);
    void FixupTabList();
    // The focus leaves this control (and what it contains) for the form.
    void RemoveFocus(bool removing);

    std::vector<TControl*> controls_;
    std::vector<TWinControl*> tabList_;  // the windowed children in tab order
    int readTabOrder_ = -1;              // the value read from a form file, applied in Loaded
    bool tabStop_ = false;
    TNotifyEvent onEnter_;
    TNotifyEvent onExit_;
    TKeyEvent onKeyDown_;
    TKeyPressEvent onKeyPress_;
};

// ---- TGraphicControl -------------------------------------------------------------

// A control without a window of its own: it never takes the focus and holds
// no children (labels, images, bevels).
class TGraphicControl : public TControl {
    ZR_CLASS(TGraphicControl, TControl)
  public:
    explicit TGraphicControl(TComponent* owner) : TControl(owner) {}
};

// ---- helpers -----------------------------------------------------------------

// The form that holds `control` (walking up the parents), or nullptr. A form
// is its own parent form.
TCustomForm* GetParentForm(const TControl* control);

}  // namespace zr
