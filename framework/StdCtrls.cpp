#include "framework/StdCtrls.h"

#include <algorithm>

#include "framework/Forms.h"
#include "framework/Strings.h"

namespace zr {

namespace {

// A list property keeps its own list: setting it copies the lines in, and
// setting nil empties it rather than dropping the list.
void AssignOrClear(TStrings& own, const TStrings* value) {
    if (value)
        own.Assign(value);
    else
        own.Clear();
}

}  // namespace

ZR_REGISTER_CLASS(TCustomEdit, c) {
    c.Property("BorderStyle", &TCustomEdit::BorderStyle, &TCustomEdit::SetBorderStyle)
        .Default(bsSingle);
    c.Property("MaxLength", &TCustomEdit::MaxLength, &TCustomEdit::SetMaxLength).Default(0);
    c.Property("ReadOnly", &TCustomEdit::ReadOnly, &TCustomEdit::SetReadOnly).Default(false);
    c.Property("OnChange", &TCustomEdit::OnChange, &TCustomEdit::SetOnChange);
}

ZR_REGISTER_CLASS(TEdit, c) {
    c.Property("Text", &TEdit::Text, &TEdit::SetText).Default("");
}

ZR_REGISTER_CLASS(TMemo, c) {
    c.Property("Lines", &TMemo::Lines, &TMemo::SetLines);
    c.Property("ScrollBars", &TMemo::ScrollBars, &TMemo::SetScrollBars).Default(ssNone);
    c.Property("WantReturns", &TMemo::WantReturns, &TMemo::SetWantReturns).Default(true);
    c.Property("WantTabs", &TMemo::WantTabs, &TMemo::SetWantTabs).Default(false);
    c.Property("WordWrap", &TMemo::WordWrap, &TMemo::SetWordWrap).Default(true);
}

ZR_REGISTER_CLASS(TCheckBox, c) {
    c.Property("Alignment", &TCheckBox::Alignment, &TCheckBox::SetAlignment)
        .Default(taRightJustify);
    c.Property("AllowGrayed", &TCheckBox::AllowGrayed, &TCheckBox::SetAllowGrayed).Default(false);
    c.Property("Caption", &TCheckBox::Caption, &TCheckBox::SetCaption).Default("");
    // State carries the value in form files; Checked reads them too.
    c.Property("Checked", &TCheckBox::Checked, &TCheckBox::SetChecked).Stored(false);
    c.Property("State", &TCheckBox::State, &TCheckBox::SetState).Default(cbUnchecked);
}

ZR_REGISTER_CLASS(TComboBox, c) {
    c.Property("DropDownCount", &TComboBox::DropDownCount, &TComboBox::SetDropDownCount).Default(8);
    c.Property("ItemIndex", &TComboBox::ItemIndex, &TComboBox::SetItemIndex).Default(-1);
    c.Property("Items", &TComboBox::Items, &TComboBox::SetItems);
    c.Property("MaxLength", &TComboBox::MaxLength, &TComboBox::SetMaxLength).Default(0);
    c.Property("Style", &TComboBox::Style, &TComboBox::SetStyle).Default(csDropDown);
    c.Property("Text", &TComboBox::Text, &TComboBox::SetText).Default("");
    c.Property("OnChange", &TComboBox::OnChange, &TComboBox::SetOnChange);
}

ZR_REGISTER_CLASS(TButton, c) {
    c.Property("Cancel", &TButton::Cancel, &TButton::SetCancel).Default(false);
    c.Property("Caption", &TButton::Caption, &TButton::SetCaption).Default("");
    c.Property("Default", &TButton::Default, &TButton::SetDefault).Default(false);
    c.Property("ModalResult", &TButton::ModalResult, &TButton::SetModalResult).Default(mrNone);
}

ZR_REGISTER_CLASS(TLabel, c) {
    c.Property("Alignment", &TLabel::Alignment, &TLabel::SetAlignment).Default(taLeftJustify);
    c.Property("AutoSize", &TLabel::AutoSize, &TLabel::SetAutoSize).Default(true);
    c.Property("Caption", &TLabel::Caption, &TLabel::SetCaption).Default("");
    c.Property("FocusControl", &TLabel::FocusControl, &TLabel::SetFocusControl);
    c.Property("Transparent", &TLabel::Transparent, &TLabel::SetTransparent).Default(false);
    c.Property("WordWrap", &TLabel::WordWrap, &TLabel::SetWordWrap).Default(false);
}

namespace {

// Removes the last character of a text: a CR LF pair, or one UTF-8 character.
void RemoveLastCharacter(std::string& text) {
    if (text.empty()) return;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
        text.resize(text.size() - 2);
        return;
    }
    size_t end = text.size() - 1;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

bool IsPrintable(char key) {
    return static_cast<unsigned char>(key) >= 0x20 && key != 0x7F;
}

}  // namespace

// ---- TCustomEdit --------------------------------------------------------------

TCustomEdit::TCustomEdit(TComponent* owner) : TWinControl(owner) {
    InitColor(clWindow);
    InitTabStop(true);
    SetBounds(0, 0, 121, 21);
}

void TCustomEdit::SetMaxLength(int value) {
    maxLength_ = std::max(value, 0);
}

void TCustomEdit::SetBorderStyle(TBorderStyle value) {
    if (value != bsNone && value != bsSingle) throw ERangeError("Range check error");
    borderStyle_ = value;
    Invalidate();
}

void TCustomEdit::KeyPress(char key) {
    if (readOnly_) return;
    std::string text = GetText();
    if (key == '\b') {
        RemoveLastCharacter(text);
    } else if (IsPrintable(key)) {
        if (maxLength_ > 0 && static_cast<int>(text.size()) >= maxLength_) return;
        text += key;
    } else {
        return;
    }
    SetText(text);
}

void TCustomEdit::TextChanged() {
    TWinControl::TextChanged();
    Change();
}

void TCustomEdit::Change() {
    if (!IsLoading() && onChange_) onChange_(this);
}

// ---- TEdit ---------------------------------------------------------------------

TEdit::TEdit(TComponent* owner) : TCustomEdit(owner) {}

// ---- TMemo ---------------------------------------------------------------------

TMemo::TMemo(TComponent* owner) : TCustomEdit(owner), lines_(std::make_unique<TStringList>()) {
    lines_->SetOnChange(TNotifyEvent(this, &TMemo::LinesChanged));
    SetBounds(0, 0, 185, 89);
}

TMemo::~TMemo() = default;

TStrings* TMemo::Lines() const {
    return lines_.get();
}

void TMemo::SetLines(const TStrings* value) {
    AssignOrClear(*lines_, value);
}

std::string TMemo::GetText() const {
    std::string text;
    const auto& lines = lines_->Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) text += "\r\n";
        text += lines[i];
    }
    return text;
}

void TMemo::StoreText(const std::string& value) {
    std::vector<std::string> lines;
    if (!value.empty()) {
        std::string line;
        for (size_t i = 0; i < value.size(); ++i) {
            const char ch = value[i];
            if (ch != '\r' && ch != '\n') {
                line += ch;
                continue;
            }
            if (ch == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
            lines.push_back(std::move(line));
            line.clear();
        }
        lines.push_back(std::move(line));
    }
    lines_->SetFromVector(lines);
}

void TMemo::LinesChanged(TObject*) {
    Invalidate();
    Change();
}

bool TMemo::WantsKey(std::uint16_t key) const {
    return (key == VK_RETURN && wantReturns_) || (key == VK_TAB && wantTabs_);
}

void TMemo::KeyPress(char key) {
    if (key == '\r' || key == '\n') {
        if (wantReturns_ && !ReadOnly()) SetText(GetText() + "\r\n");
        return;
    }
    if (key == '\t') {
        if (wantTabs_ && !ReadOnly()) SetText(GetText() + "\t");
        return;
    }
    TCustomEdit::KeyPress(key);
}

// ---- TCheckBox -------------------------------------------------------------------

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner) {
    InitTabStop(true);
    SetBounds(0, 0, 97, 17);
}

void TCheckBox::SetState(TCheckBoxState value) {
    if (value == state_) return;
    state_ = value;
    Invalidate();
    if (!IsLoading()) Click();
}

void TCheckBox::Toggle() {
    switch (state_) {
        case cbUnchecked:
            SetState(cbChecked);
            break;
        case cbChecked:
            SetState(allowGrayed_ ? cbGrayed : cbUnchecked);
            break;
        case cbGrayed:
            SetState(cbUnchecked);
            break;
    }
}

bool TCheckBox::KeyDown(std::uint16_t key, TShiftState shift) {
    if (key != VK_SPACE) return false;
    Toggle();
    return true;
}

// ---- TComboBox -------------------------------------------------------------------

TComboBox::TComboBox(TComponent* owner)
    : TWinControl(owner), items_(std::make_unique<TStringList>()) {
    items_->SetOnChange(TNotifyEvent(this, &TComboBox::ItemsChanged));
    InitColor(clWindow);
    InitTabStop(true);
    SetBounds(0, 0, 145, 21);
}

TComboBox::~TComboBox() = default;

TStrings* TComboBox::Items() const {
    return items_.get();
}

void TComboBox::SetItems(const TStrings* value) {
    AssignOrClear(*items_, value);
}

int TComboBox::ItemIndex() const {
    if (IsLoading()) return itemIndex_;
    return itemIndex_ >= 0 && itemIndex_ < items_->Count() ? itemIndex_ : -1;
}

void TComboBox::SetItemIndex(int value) {
    // A form file may name the index before the items; Loaded checks it.
    if (IsLoading()) {
        itemIndex_ = value;
        return;
    }
    if (value < -1 || value >= items_->Count())
        throw EListError("List index out of bounds (" + std::to_string(value) + ")");
    itemIndex_ = value;
    if (style_ != csDropDownList) TControl::StoreText(value >= 0 ? items_->Strings(value) : "");
    Invalidate();
}

void TComboBox::SetStyle(TComboBoxStyle value) {
    if (value == style_) return;
    const std::string shown = GetText();
    style_ = value;
    // The edit part keeps what the list showed.
    if (style_ != csDropDownList) TControl::StoreText(shown);
    Invalidate();
}

std::string TComboBox::GetText() const {
    if (style_ != csDropDownList) return TWinControl::GetText();
    const int index = ItemIndex();
    return index >= 0 && !IsLoading() ? items_->Strings(index) : std::string();
}

void TComboBox::StoreText(const std::string& value) {
    // A form file's text is matched with the items once they are all read.
    if (IsLoading()) return TWinControl::StoreText(value);
    if (style_ == csDropDownList) {
        if (value.empty()) {
            itemIndex_ = -1;
            return;
        }
        const int index = items_->IndexOf(value);
        if (index >= 0) itemIndex_ = index;
        return;
    }
    TWinControl::StoreText(value);
    itemIndex_ = items_->IndexOf(value);
}

void TComboBox::Change() {
    if (!IsLoading() && onChange_) onChange_(this);
}

void TComboBox::SelectByUser(int index) {
    if (index < 0 || index >= items_->Count() || index == ItemIndex()) return;
    SetItemIndex(index);
    Click();
    Change();
}

bool TComboBox::KeyDown(std::uint16_t key, TShiftState shift) {
    const int count = items_->Count();
    if (count == 0) return false;
    const int current = ItemIndex();
    switch (key) {
        case VK_DOWN:
            SelectByUser(std::min(current + 1, count - 1));
            return true;
        case VK_UP:
            SelectByUser(std::max(current - 1, 0));
            return true;
        case VK_HOME:
            SelectByUser(0);
            return true;
        case VK_END:
            SelectByUser(count - 1);
            return true;
        default:
            return false;
    }
}

void TComboBox::KeyPress(char key) {
    if (style_ == csDropDownList) return;
    std::string text = GetText();
    if (key == '\b') {
        RemoveLastCharacter(text);
    } else if (IsPrintable(key)) {
        if (maxLength_ > 0 && static_cast<int>(text.size()) >= maxLength_) return;
        text += key;
    } else {
        return;
    }
    SetText(text);
    Change();
}

void TComboBox::Loaded() {
    TWinControl::Loaded();
    if (itemIndex_ >= items_->Count()) itemIndex_ = -1;
    const std::string readText = TWinControl::GetText();
    if (itemIndex_ < 0 && !readText.empty()) itemIndex_ = items_->IndexOf(readText);
    if (style_ == csDropDownList)
        TControl::StoreText("");
    else if (itemIndex_ >= 0 && readText.empty())
        TControl::StoreText(items_->Strings(itemIndex_));
}

void TComboBox::ItemsChanged(TObject*) {
    Invalidate();
}

// ---- TButton ----------------------------------------------------------------------

TButton::TButton(TComponent* owner) : TWinControl(owner) {
    InitTabStop(true);
    SetBounds(0, 0, 75, 25);
}

void TButton::SetDefault(bool value) {
    if (value == default_) return;
    default_ = value;
    Invalidate();
}

void TButton::Click() {
    if (TCustomForm* form = GetParentForm(this)) form->SetModalResult(modalResult_);
    TWinControl::Click();
}

bool TButton::KeyDown(std::uint16_t key, TShiftState shift) {
    if (key != VK_SPACE) return false;
    Click();
    return true;
}

// ---- TLabel ------------------------------------------------------------------------

TLabel::TLabel(TComponent* owner) : TGraphicControl(owner) {
    SetBounds(0, 0, 65, 13);
}

void TLabel::SetFocusControl(TWinControl* value) {
    if (value == focusControl_) return;
    if (focusControl_) focusControl_->RemoveFreeNotification(this);
    focusControl_ = value;
    if (focusControl_) focusControl_->FreeNotification(this);
}

void TLabel::Notification(TComponent* component, TOperation operation) {
    TGraphicControl::Notification(component, operation);
    if (operation == opRemove && component == focusControl_) focusControl_ = nullptr;
}

}  // namespace zr
