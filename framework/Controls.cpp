// Controls and windowed controls.
//
// Destruction. A windowed control deletes its children, as a window takes its
// child windows with it; each child leaves its owner's list from its own
// destructor, so an owner never frees it a second time. A child leaves its
// parent (and gives up the focus) in ~TWinControl, while it is still a
// windowed control, because by ~TControl it no longer is one.
#include "framework/Controls.h"

#include <algorithm>

#include "framework/FormBackend.h"
#include "framework/FormConsts.h"
#include "framework/Forms.h"

namespace zr {

ZR_REGISTER_CLASS(TControl, c) {
    c.Property("Left", &TControl::Left, &TControl::SetLeft);
    c.Property("Top", &TControl::Top, &TControl::SetTop);
    c.Property("Width", &TControl::Width, &TControl::SetWidth)
        .Stored(&TControl::SizeStored);
    c.Property("Height", &TControl::Height, &TControl::SetHeight)
        .Stored(&TControl::SizeStored);
    c.Property("Color", &TControl::Color, &TControl::SetColor)
        .Stored(&TControl::ColorStored);
    c.Property("Enabled", &TControl::Enabled, &TControl::SetEnabled).Default(true);
    c.Property("Font", &TControl::Font, &TControl::SetFont)
        .Stored(&TControl::FontStored);
    c.Property("Hint", &TControl::Hint, &TControl::SetHint).Default("");
    c.Property("ParentColor", &TControl::ParentColor, &TControl::SetParentColor).Default(false);
    c.Property("ParentFont", &TControl::ParentFont, &TControl::SetParentFont)
        .Stored(&TControl::ParentFontStored);
    c.Property("ParentShowHint", &TControl::ParentShowHint, &TControl::SetParentShowHint)
        .Default(true);
    c.Property("ShowHint", &TControl::ShowHint, &TControl::SetShowHint)
        .Stored(&TControl::ShowHintStored);
    c.Property("Visible", &TControl::Visible, &TControl::SetVisible)
        .Stored(&TControl::VisibleStored);
    c.Property("OnClick", &TControl::OnClick, &TControl::SetOnClick);
}

ZR_REGISTER_CLASS(TWinControl, c) {
    c.Property("TabOrder", &TWinControl::TabOrder, &TWinControl::SetTabOrder).Default(-1);
    c.Property("TabStop", &TWinControl::TabStop, &TWinControl::SetTabStop)
        .Stored(&TWinControl::TabStopStored);
    c.Property("OnEnter", &TWinControl::OnEnter, &TWinControl::SetOnEnter);
    c.Property("OnExit", &TWinControl::OnExit, &TWinControl::SetOnExit);
    c.Property("OnKeyDown", &TWinControl::OnKeyDown, &TWinControl::SetOnKeyDown);
    c.Property("OnKeyPress", &TWinControl::OnKeyPress, &TWinControl::SetOnKeyPress);
}

ZR_REGISTER_CLASS(TGraphicControl, c) {}

namespace {

// Form files name colours by their identifiers.
[[maybe_unused]] const bool colorIdentsRegistered = [] {
    RegisterIntegerConsts(TControl::StaticClassInfo(), "Color", ColorIdents());
    return true;
}();

const char* const kCannotFocus = "Cannot focus a disabled or invisible window";

}  // namespace

// ---- TControl ----------------------------------------------------------------

TControl::TControl(TComponent* owner) : TComponent(owner), font_(std::make_unique<TFont>()) {
    font_->SetOnChange(TNotifyEvent(this, &TControl::FontChanged));
}

TControl::~TControl() {
    // Windowed controls have left their parent already (see the top).
    if (parent_) parent_->RemoveControl(this);
}

void TControl::SetBounds(int left, int top, int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (left == left_ && top == top_ && width == width_ && height == height_) return;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Invalidate();
}

void TControl::SetParent(TWinControl* parent) {
    if (parent == parent_) return;
    if (parent) {
        if (static_cast<const TControl*>(parent) == this)
            throw EInvalidOperation("A control cannot have itself as its parent");
        const auto* self = dynamic_cast<const TWinControl*>(this);
        if (self && self->ContainsControl(parent))
            throw EInvalidOperation("A control cannot have one of its children as its parent");
    }
    if (parent_) parent_->RemoveControl(this);
    if (parent) parent->InsertControl(this);
}

void TControl::SetVisible(bool value) {
    if (value == visible_) return;
    visible_ = value;
    VisibleChanged();
    Invalidate();
}

bool TControl::Showing() const {
    for (const TControl* c = this; c; c = c->parent_)
        if (!c->visible_) return false;
    return true;
}

void TControl::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    EnabledChanged();
    Invalidate();
}

bool TControl::ShowHint() const {
    if (parentShowHint_ && parent_) return parent_->ShowHint();
    return showHint_;
}

void TControl::SetShowHint(bool value) {
    showHint_ = value;
    parentShowHint_ = false;
}

void TControl::SetText(const std::string& value) {
    if (GetText() == value) return;
    StoreText(value);
    TextChanged();
}

void TControl::SetColor(TColor value) {
    if (value == color_) return;
    color_ = value;
    parentColor_ = false;
    Invalidate();
    if (auto* self = dynamic_cast<TWinControl*>(this))
        for (TControl* child : self->controls_) child->ParentColorChanged();
}

void TControl::SetParentColor(bool value) {
    if (value == parentColor_) return;
    parentColor_ = value;
    ParentColorChanged();
}

void TControl::ParentColorChanged() {
    if (!parentColor_ || !parent_ || color_ == parent_->color_) return;
    color_ = parent_->color_;
    Invalidate();
}

void TControl::SetFont(const TFont* value) {
    font_->Assign(value);
}

void TControl::SetParentFont(bool value) {
    if (value == parentFont_) return;
    parentFont_ = value;
    ParentFontChanged();
}

void TControl::ParentFontChanged() {
    if (!parentFont_ || !parent_) return;
    takingParentFont_ = true;
    try {
        font_->Assign(parent_->font_.get());
    } catch (...) {
        takingParentFont_ = false;
        throw;
    }
    takingParentFont_ = false;
}

void TControl::FontChanged(TObject*) {
    if (!takingParentFont_) parentFont_ = false;
    Invalidate();
    if (auto* self = dynamic_cast<TWinControl*>(this))
        for (TControl* child : self->controls_) child->ParentFontChanged();
}

void TControl::Click() {
    if (onClick_) onClick_(this);
}

void TControl::Invalidate() {
    if (IsLoading()) return;
    if (TCustomForm* form = GetParentForm(this)) FormBackend().FormChanged(*form);
}

TComponent* TControl::GetParentComponent() const {
    return parent_;
}

void TControl::SetParentComponent(TComponent* parent) {
    if (auto* windowed = dynamic_cast<TWinControl*>(parent)) SetParent(windowed);
}

// ---- TWinControl --------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
    RemoveFocus(true);
    // Each child is taken out before it is freed, so neither its destructor
    // nor anyone it notifies can reach it through this control any more.
    while (!controls_.empty()) {
        TControl* child = controls_.back();
        controls_.pop_back();
        tabList_.erase(std::remove(tabList_.begin(), tabList_.end(), child), tabList_.end());
        child->parent_ = nullptr;
        delete child;
    }
    if (Parent()) Parent()->RemoveControl(this);
}

TControl* TWinControl::Controls(int index) const {
    if (index < 0 || index >= ControlCount())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return controls_[static_cast<size_t>(index)];
}

bool TWinControl::ContainsControl(const TControl* control) const {
    for (const TControl* c = control; c; c = c->Parent())
        if (c == this) return true;
    return false;
}

void TWinControl::InsertControl(TControl* control) {
    controls_.push_back(control);
    control->parent_ = this;
    if (auto* windowed = dynamic_cast<TWinControl*>(control)) {
        tabList_.push_back(windowed);
        // A tab order set before the control had a parent applies now.
        if (windowed->readTabOrder_ >= 0 && !windowed->IsLoading()) {
            const int wanted = windowed->readTabOrder_;
            windowed->readTabOrder_ = -1;
            windowed->SetTabOrder(wanted);
        }
    }
    control->ParentColorChanged();
    control->ParentFontChanged();
    Invalidate();
}

void TWinControl::RemoveControl(TControl* control) {
    auto it = std::find(controls_.begin(), controls_.end(), control);
    if (it == controls_.end()) return;
    if (auto* windowed = dynamic_cast<TWinControl*>(control)) windowed->RemoveFocus(true);
    controls_.erase(std::find(controls_.begin(), controls_.end(), control));
    tabList_.erase(std::remove(tabList_.begin(), tabList_.end(), control), tabList_.end());
    control->parent_ = nullptr;
    Invalidate();
}

int TWinControl::TabOrder() const {
    if (IsLoading() && readTabOrder_ >= 0) return readTabOrder_;
    if (!Parent()) return readTabOrder_;
    const auto& list = Parent()->tabList_;
    auto it = std::find(list.begin(), list.end(), this);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void TWinControl::SetTabOrder(int value) {
    // While a form file is read the values arrive one control at a time;
    // they are put in order once all are there.
    if (IsLoading() || !Parent()) {
        readTabOrder_ = value;
        return;
    }
    if (value < 0) return;
    auto& list = Parent()->tabList_;
    auto it = std::find(list.begin(), list.end(), this);
    if (it == list.end()) return;
    list.erase(it);
    const size_t position = std::min(static_cast<size_t>(value), list.size());
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(position), this);
}

void TWinControl::FixupTabList() {
    // Controls that were read with a tab order take it; the others keep
    // their relative order behind them.
    const bool anyRead = std::any_of(tabList_.begin(), tabList_.end(),
                                     [](const TWinControl* w) { return w->readTabOrder_ >= 0; });
    if (!anyRead) return;
    std::stable_sort(tabList_.begin(), tabList_.end(),
                     [](const TWinControl* a, const TWinControl* b) {
                         const int ka = a->readTabOrder_ >= 0 ? a->readTabOrder_ : INT32_MAX;
                         const int kb = b->readTabOrder_ >= 0 ? b->readTabOrder_ : INT32_MAX;
                         return ka < kb;
                     });
    for (TWinControl* w : tabList_) w->readTabOrder_ = -1;
}

void TWinControl::Loaded() {
    TControl::Loaded();
    FixupTabList();
    if (Parent()) Parent()->FixupTabList();
}

void TWinControl::AppendTabOrderList(std::vector<TWinControl*>& list) const {
    for (TWinControl* w : tabList_) {
        list.push_back(w);
        w->AppendTabOrderList(list);
    }
}

bool TWinControl::CanFocus() const {
    if (!GetParentForm(this)) return false;
    for (const TControl* c = this; c; c = c->Parent())
        if (!c->Visible() || !c->Enabled()) return false;
    return true;
}

bool TWinControl::CanFocusOnForm() const {
    const TCustomForm* form = GetParentForm(this);
    if (!form) return false;
    for (const TControl* c = this; c && c != form; c = c->Parent())
        if (!c->Visible() || !c->Enabled()) return false;
    return true;
}

void TWinControl::SetFocus() {
    if (!CanFocus()) throw EInvalidOperation(kCannotFocus);
    GetParentForm(this)->FocusControl(this);
}

bool TWinControl::Focused() const {
    const TCustomForm* form = GetParentForm(this);
    if (!form || !form->Active()) return false;
    if (form == this) return form->FocusedControl() == nullptr;
    return form->FocusedControl() == this;
}

TWinControl* TWinControl::FindNextControl(TWinControl* current, bool forward,
                                          bool checkTabStop) const {
    std::vector<TWinControl*> list;
    AppendTabOrderList(list);
    const int count = static_cast<int>(list.size());
    if (count == 0) return nullptr;
    auto found = std::find(list.begin(), list.end(), current);
    int start = found == list.end() ? -1 : static_cast<int>(found - list.begin());
    if (start < 0) start = forward ? count - 1 : 0;
    int i = start;
    do {
        i = forward ? (i + 1) % count : (i - 1 + count) % count;
        TWinControl* candidate = list[static_cast<size_t>(i)];
        if (candidate != current && candidate->CanFocusOnForm() &&
            (!checkTabStop || candidate->TabStop()))
            return candidate;
    } while (i != start);
    return nullptr;
}

bool TWinControl::SelectNext(TWinControl* current, bool forward, bool checkTabStop) {
    TWinControl* next = FindNextControl(current, forward, checkTabStop);
    if (!next) return false;
    // On a form that is not showing the choice waits for the form to show.
    if (next->CanFocus())
        next->SetFocus();
    else if (TCustomForm* form = GetParentForm(next))
        form->SetActiveControl(next);
    return true;
}

void TWinControl::GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) {
    // Copied: the callback may add or free controls.
    const std::vector<TControl*> children = controls_;
    for (TControl* c : children)
        if (c->Owner() == root &&
            std::find(controls_.begin(), controls_.end(), c) != controls_.end())
            proc(c);
}

void TWinControl::DoEnter() {
    if (onEnter_) onEnter_(this);
}

void TWinControl::DoExit() {
    if (onExit_) onExit_(this);
}

void TWinControl::VisibleChanged() {
    if (!Visible()) RemoveFocus(false);
}

void TWinControl::EnabledChanged() {
    if (!Enabled()) RemoveFocus(false);
}

void TWinControl::ParentColorChanged() {
    const TColor before = Color();
    TControl::ParentColorChanged();
    if (Color() != before)
        for (TControl* child : controls_) child->ParentColorChanged();
}

void TWinControl::ParentFontChanged() {
    // The font's change notice passes the font on to the children.
    TControl::ParentFontChanged();
}

void TWinControl::RemoveFocus(bool removing) {
    TCustomForm* form = GetParentForm(this);
    if (form && form != this) form->DefocusControl(this, removing);
}

// ---- helpers ------------------------------------------------------------------

TCustomForm* GetParentForm(const TControl* control) {
    if (!control) return nullptr;
    while (control->Parent()) control = control->Parent();
    if (!control->Is<TCustomForm>()) return nullptr;
    return static_cast<TCustomForm*>(const_cast<TControl*>(control));
}

}  // namespace zr
