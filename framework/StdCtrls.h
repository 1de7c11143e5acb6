// The standard controls: edit boxes, memos, check boxes, combo boxes,
// buttons and labels, as a headless model that keeps their contents and
// reacts to the keyboard the way their windows do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Controls.h"
#include "Strings.h"

namespace zr {

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
ZR_ENUM(TScrollStyle, ssNone, ssHorizontal, ssVertical, ssBoth);

enum TCheckBoxState { cbUnchecked, cbChecked, cbGrayed };
ZR_ENUM(TCheckBoxState, cbUnchecked, cbChecked, cbGrayed);

enum TComboBoxStyle { csDropDown, csSimple, csDropDownList, csOwnerDrawFixed, csOwnerDrawVariable };
ZR_ENUM(TComboBoxStyle, csDropDown, csSimple, csDropDownList, csOwnerDrawFixed,
        csOwnerDrawVariable);

// ---- edit boxes -------------------------------------------------------------------

class TCustomEdit : public TWinControl {
    ZR_CLASS(TCustomEdit, TWinControl)
  public:
    explicit TCustomEdit(TComponent* owner);

    // 0: no limit. Limits typing only: text set by code is kept whole, as
    // the edit window does.
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int value);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value) { readOnly_ = value; }
    TBorderStyle BorderStyle() const { return borderStyle_; }
    // ERangeError for a style other than bsNone and bsSingle.
    void SetBorderStyle(TBorderStyle value);
    void Clear() { SetText(""); }

    const TNotifyEvent& OnChange() const { return onChange_; }
    void SetOnChange(const TNotifyEvent& handler) { onChange_ = handler; }

    // Typed characters go to the end of the text; a typed Backspace ('\b')
    // removes the last character (a line break as a whole). A read-only box
    // ignores both.
    void KeyPress(char key) override;

  protected:
    void TextChanged() override;
    TColor DefaultColor() const override { return clWindow; }
    bool DefaultTabStop() const override { return true; }
    // Raises OnChange unless the control is being read from a form file.
    virtual void Change();

  private:
    int maxLength_ = 0;
    bool readOnly_ = false;
    TBorderStyle borderStyle_ = bsSingle;
    TNotifyEvent onChange_;
};

class TEdit : public TCustomEdit {
    ZR_CLASS(TEdit, TCustomEdit)
  public:
    explicit TEdit(TComponent* owner);
};

// A multi-line edit box. Its text is its lines joined with "\r\n".
class TMemo : public TCustomEdit {
    ZR_CLASS(TMemo, TCustomEdit)
  public:
    explicit TMemo(TComponent* owner);
    ~TMemo() override;

    TStrings* Lines() const;
    // Copies the lines of `value` (nullptr empties the memo).
    void SetLines(const TStrings* value);
    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle value) { scrollBars_ = value; }
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool value) { wordWrap_ = value; }
    // Whether Enter and Tab go into the text instead of to the form.
    bool WantReturns() const { return wantReturns_; }
    void SetWantReturns(bool value) { wantReturns_ = value; }
    bool WantTabs() const { return wantTabs_; }
    void SetWantTabs(bool value) { wantTabs_ = value; }

    bool WantsKey(std::uint16_t key) const override;
    // A typed '\r' starts a new line (with WantReturns), '\t' is kept with
    // WantTabs.
    void KeyPress(char key) override;

  protected:
    // The lines joined with "\r\n" (no break after the last line); setting
    // the text splits it at every CR LF, CR or LF, so a text that ends in a
    // break ends in an empty line.
    std::string GetText() const override;
    void StoreText(const std::string& value) override;

  private:
    void LinesChanged(TObject* sender);

    std::unique_ptr<TStringList> lines_;
    TScrollStyle scrollBars_ = ssNone;
    bool wordWrap_ = true;
    bool wantReturns_ = true;
    bool wantTabs_ = false;
};

// ---- check box ------------------------------------------------------------------

class TCheckBox : public TWinControl {
    ZR_CLASS(TCheckBox, TWinControl)
  public:
    explicit TCheckBox(TComponent* owner);

    bool Checked() const { return state_ == cbChecked; }
    void SetChecked(bool value) { SetState(value ? cbChecked : cbUnchecked); }
    TCheckBoxState State() const { return state_; }
    // A change of state raises OnClick, as the box's window reports it
    // (but not while the box is read from a form file).
    void SetState(TCheckBoxState value);
    bool AllowGrayed() const { return allowGrayed_; }
    void SetAllowGrayed(bool value) { allowGrayed_ = value; }
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment value) { alignment_ = value; }

    // The user's toggle: unchecked, checked, then grayed when allowed.
    void Toggle();
    // Space toggles the box.
    bool KeyDown(std::uint16_t key, TShiftState shift) override;

  protected:
    bool DefaultTabStop() const override { return true; }

  private:
    TCheckBoxState state_ = cbUnchecked;
    bool allowGrayed_ = false;
    TAlignment alignment_ = taRightJustify;
};

// ---- combo box ------------------------------------------------------------------

class TComboBox : public TWinControl {
    ZR_CLASS(TComboBox, TWinControl)
  public:
    explicit TComboBox(TComponent* owner);
    ~TComboBox() override;

    TStrings* Items() const;
    // Copies the items of `value`; the selection is kept when it still fits.
    void SetItems(const TStrings* value);
    // -1 when nothing is selected, or when the selected item is gone.
    int ItemIndex() const;
    // Selects an item and shows its text; -1 clears the selection (and the
    // text). EListError for an index outside the items.
    void SetItemIndex(int value);
    TComboBoxStyle Style() const { return style_; }
    void SetStyle(TComboBoxStyle value);
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int value) { maxLength_ = value < 0 ? 0 : value; }
    int DropDownCount() const { return dropDownCount_; }
    void SetDropDownCount(int value) { dropDownCount_ = value; }

    const TNotifyEvent& OnChange() const { return onChange_; }
    void SetOnChange(const TNotifyEvent& handler) { onChange_ = handler; }

    // Up, Down, Home and End move the selection (OnClick, then OnChange);
    // typing edits the text of a drop-down box and raises OnChange (a
    // drop-down list has no text of its own to edit).
    bool KeyDown(std::uint16_t key, TShiftState shift) override;
    void KeyPress(char key) override;
    void Loaded() override;

  protected:
    std::string GetText() const override;
    // A drop-down list only takes the text of one of its items (selecting
    // it) or the empty text (clearing the selection); other styles take any
    // text and select the item that equals it.
    void StoreText(const std::string& value) override;
    virtual void Change();
    TColor DefaultColor() const override { return clWindow; }
    bool DefaultTabStop() const override { return true; }

  private:
    void SelectByUser(int index);
    void ItemsChanged(TObject* sender);

    std::unique_ptr<TStringList> items_;
    int itemIndex_ = -1;
    TComboBoxStyle style_ = csDropDown;
    int maxLength_ = 0;
    int dropDownCount_ = 8;
    TNotifyEvent onChange_;
};

// ---- button ---------------------------------------------------------------------

class TButton : public TWinControl {
    ZR_CLASS(TButton, TWinControl)
  public:
    explicit TButton(TComponent* owner);

    // Enter clicks the default button of a form, Esc its cancel button.
    bool Default() const { return default_; }
    void SetDefault(bool value);
    bool Cancel() const { return cancel_; }
    void SetCancel(bool value) { cancel_ = value; }
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult value) { modalResult_ = value; }

    // Sets the parent form's ModalResult to this button's, then raises
    // OnClick; a handler may set the form's ModalResult back to mrNone to
    // keep a modal form open.
    void Click() override;
    // Space clicks a focused button (Enter does too, through the form).
    bool KeyDown(std::uint16_t key, TShiftState shift) override;

  protected:
    bool DefaultTabStop() const override { return true; }

  private:
    bool default_ = false;
    bool cancel_ = false;
    TModalResult modalResult_ = mrNone;
};

// ---- label ----------------------------------------------------------------------

class TLabel : public TGraphicControl {
    ZR_CLASS(TLabel, TGraphicControl)
  public:
    explicit TLabel(TComponent* owner);

    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment value) { alignment_ = value; }
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value) { autoSize_ = value; }
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool value) { wordWrap_ = value; }
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value) { transparent_ = value; }
    // The control that a click on the label (or its accelerator) focuses.
    TWinControl* FocusControl() const { return focusControl_; }
    void SetFocusControl(TWinControl* value);

    void Notification(TComponent* component, TOperation operation) override;

  private:
    TAlignment alignment_ = taLeftJustify;
    bool autoSize_ = true;
    bool wordWrap_ = false;
    bool transparent_ = false;
    TWinControl* focusControl_ = nullptr;
};

}  // namespace zr
