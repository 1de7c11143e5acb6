#include "checks/KVLCheckProviders.h"

#include <cmath>

#include "framework/Format.h"
#include "framework/StdCtrls.h"
#include "framework/SysUtils.h"

namespace zr {

ZR_REGISTER_CLASS(TKVLCheckProvider, c) {
    c.Property("Picture", &TKVLCheckProvider::Picture, &TKVLCheckProvider::SetPicture);
    c.Property("CheckControl", &TKVLCheckProvider::GetCheckControl,
               &TKVLCheckProvider::SetCheckControl);
    c.Property("HintText", &TKVLCheckProvider::HintText, &TKVLCheckProvider::SetHintText)
        .Stored(&TKVLCheckProvider::HintMustBeStored);
    c.Property("FocusOnError", &TKVLCheckProvider::FocusOnError,
               &TKVLCheckProvider::SetFocusOnError)
        .Default(true);
    c.Property("OnCheck", &TKVLCheckProvider::OnCheck, &TKVLCheckProvider::SetOnCheck);
}

ZR_REGISTER_CLASS(TKVLCheckProviderEdit, c) {
    c.Property("Required", &TKVLCheckProviderEdit::Required, &TKVLCheckProviderEdit::SetRequired)
        .Default(true);
}

ZR_REGISTER_CLASS(TKVLCheckProviderNumericEdit, c) {
    // No stored defaults: both bounds are always written.
    c.Property("MinValue", &TKVLCheckProviderNumericEdit::MinValue,
               &TKVLCheckProviderNumericEdit::SetMinValue);
    c.Property("MaxValue", &TKVLCheckProviderNumericEdit::MaxValue,
               &TKVLCheckProviderNumericEdit::SetMaxValue);
}

ZR_REGISTER_CLASS(TKVLCheckProviderCheckbox, c) {
    c.Property("Checked", &TKVLCheckProviderCheckbox::Checked,
               &TKVLCheckProviderCheckbox::SetChecked)
        .Default(true);
}

ZR_REGISTER_CLASS(TKVLCheckProviderCombobox, c) {
    c.Property("Required", &TKVLCheckProviderCombobox::Required,
               &TKVLCheckProviderCombobox::SetRequired)
        .Default(true);
}

ZR_REGISTER_CLASS(TKVLCheckProviders, c) {}

namespace {

// Runs `copy` inside an update of the provider's collection, which ends
// however the copy ends.
template <class F>
void InCollectionUpdate(TCollection* collection, F copy) {
    if (collection) collection->BeginUpdate();
    try {
        copy();
    } catch (...) {
        if (collection) collection->EndUpdate();
        throw;
    }
    if (collection) collection->EndUpdate();
}

// Pixels between a control and its mark.
constexpr int kMarkGap = 5;

}  // namespace

// ---- TKVLCheckProvider ---------------------------------------------------------

TKVLCheckProvider::TKVLCheckProvider(TCollection* collection)
    : TCollectionItem(collection),
      picture_(std::make_unique<TPicture>()),
      hintText_(KVLHintCheckFailed) {}

TKVLCheckProvider::~TKVLCheckProvider() {
    delete LinkedImage();
}

TControl* TKVLCheckProvider::CheckControl() const {
    return checkControlAlive_.expired() ? nullptr : checkControl_;
}

void TKVLCheckProvider::SetCheckControl(TControl* value) {
    checkControl_ = value;
    checkControlAlive_ = value ? value->Liveness() : std::weak_ptr<const void>();
}

TImage* TKVLCheckProvider::LinkedImage() const {
    return linkedImageAlive_.expired() ? nullptr : linkedImage_;
}

void TKVLCheckProvider::ExecuteCheck() {
    InternalCheck();
    if (TImage* image = LinkedImage()) image->Picture()->Assign(nullptr);
    if (onCheck_) onCheck_(this);
}

void TKVLCheckProvider::InternalCheck() {
    status_ = csValid;
}

std::string TKVLCheckProvider::GetHintText() const {
    return hintText_;
}

bool TKVLCheckProvider::HintMustBeStored() const {
    return hintText_ != KVLHintCheckFailed;
}

void TKVLCheckProvider::CreateLinkedImage(const TPicture* defaultPicture) {
    TImage* image = LinkedImage();
    if (!image && status_ != csFailed) return;
    TControl* control = CheckControl();
    if (!control) {
        // Nothing to stand beside any more: an old mark is only hidden.
        if (image) image->SetVisible(false);
        return;
    }
    if (!image) {
        // A provider outside any collection has no processor to own a mark.
        if (!Collection()) return;
        auto* providers = dynamic_cast<TKVLCheckProviders*>(Collection());
        if (!providers) throw EInvalidCast("Invalid class typecast");
        image = new TImage(providers->OwnerComponent());
        linkedImage_ = image;
        linkedImageAlive_ = image->Liveness();
    }
    PlaceLinkedImage(*image, defaultPicture);
}

void TKVLCheckProvider::PlaceLinkedImage(TImage& image, const TPicture* defaultPicture) {
    // Only a bitmap of its own counts: a picture that holds any other kind
    // of graphic is marked with the default picture (and keeps its graphic).
    const auto* own = dynamic_cast<const TBitmap*>(picture_->Graphic());
    image.Picture()->Assign(own && !own->Empty() ? picture_.get() : defaultPicture);
    image.SetTransparent(true);
    image.SetAutoSize(true);
    image.SetShowHint(true);
    TControl& control = *CheckControl();
    image.SetParent(control.Parent());
    image.SetBounds(control.Left() + control.Width() + kMarkGap, control.Top(), image.Width(),
                    image.Height());
    image.SetVisible(status_ == csFailed);
    image.SetHint(GetHintText());
}

void TKVLCheckProvider::Assign(const TPersistent* source) {
    const auto* from = dynamic_cast<const TKVLCheckProvider*>(source);
    if (!from) return TCollectionItem::Assign(source);
    InCollectionUpdate(Collection(), [&] {
        picture_->Assign(from->picture_.get());
        SetCheckControl(from->CheckControl());
        hintText_ = from->hintText_;
        focusOnError_ = from->focusOnError_;
    });
}

// ---- TKVLCheckProviderEdit -------------------------------------------------------

TKVLCheckProviderEdit::TKVLCheckProviderEdit(TCollection* collection)
    : TKVLCheckProvider(collection) {
    SetHintText(KVLHintEditEmpty);
}

void TKVLCheckProviderEdit::InternalCheck() {
    TKVLCheckProvider::InternalCheck();
    if (!required_) return;
    TControl* control = CheckControl();
    if (auto* memo = dynamic_cast<TMemo*>(control); memo && memo->Lines()->Text().empty()) {
        SetStatus(csFailed);
        return;
    }
    if (auto* edit = dynamic_cast<TCustomEdit*>(control); edit && edit->Text().empty())
        SetStatus(csFailed);
}

bool TKVLCheckProviderEdit::HintMustBeStored() const {
    return HintText() != KVLHintEditEmpty;
}

void TKVLCheckProviderEdit::Assign(const TPersistent* source) {
    TKVLCheckProvider::Assign(source);
    if (const auto* from = dynamic_cast<const TKVLCheckProviderEdit*>(source))
        required_ = from->required_;
}

// ---- TKVLCheckProviderNumericEdit ----------------------------------------------

TKVLCheckProviderNumericEdit::TKVLCheckProviderNumericEdit(TCollection* collection)
    : TKVLCheckProviderEdit(collection) {
    SetHintText(KVLHintNumericRange);
}

void TKVLCheckProviderNumericEdit::InternalCheck() {
    TKVLCheckProviderEdit::InternalCheck();
    auto* edit = dynamic_cast<TCustomEdit*>(CheckControl());
    if (!edit || Status() == csFailed) return;
    const std::string text = edit->Text();
    // An empty text that is not required has nothing to be out of range;
    // any other text that is no number is a wrong value, not an error of
    // the program that runs the check.
    if (text.empty()) return;
    double value = 0;
    if (!TryStrToFloat(text, value) || std::isnan(value) || value < minValue_ || value > maxValue_)
        SetStatus(csFailed);
}

std::string TKVLCheckProviderNumericEdit::GetHintText() const {
    return Format(KVLHintNumericRange, {minValue_, maxValue_});
}

bool TKVLCheckProviderNumericEdit::HintMustBeStored() const {
    return HintText() != KVLHintNumericRange;
}

void TKVLCheckProviderNumericEdit::Assign(const TPersistent* source) {
    TKVLCheckProviderEdit::Assign(source);
    if (const auto* from = dynamic_cast<const TKVLCheckProviderNumericEdit*>(source)) {
        minValue_ = from->minValue_;
        maxValue_ = from->maxValue_;
    }
}

// ---- TKVLCheckProviderCheckbox ---------------------------------------------------

TKVLCheckProviderCheckbox::TKVLCheckProviderCheckbox(TCollection* collection)
    : TKVLCheckProvider(collection) {
    SetHintText(KVLHintCheckboxUnchecked);
}

void TKVLCheckProviderCheckbox::InternalCheck() {
    TKVLCheckProvider::InternalCheck();
    auto* box = dynamic_cast<TCheckBox*>(CheckControl());
    if (box && checked_ && !box->Checked()) SetStatus(csFailed);
}

bool TKVLCheckProviderCheckbox::HintMustBeStored() const {
    return HintText() != KVLHintCheckboxUnchecked;
}

void TKVLCheckProviderCheckbox::Assign(const TPersistent* source) {
    TKVLCheckProvider::Assign(source);
    if (const auto* from = dynamic_cast<const TKVLCheckProviderCheckbox*>(source))
        checked_ = from->checked_;
}

// ---- TKVLCheckProviderCombobox ---------------------------------------------------

TKVLCheckProviderCombobox::TKVLCheckProviderCombobox(TCollection* collection)
    : TKVLCheckProvider(collection) {
    SetHintText(KVLHintComboEmpty);
}

void TKVLCheckProviderCombobox::InternalCheck() {
    TKVLCheckProvider::InternalCheck();
    auto* box = dynamic_cast<TComboBox*>(CheckControl());
    if (box && required_ && box->Text().empty()) SetStatus(csFailed);
}

bool TKVLCheckProviderCombobox::HintMustBeStored() const {
    return HintText() != KVLHintComboEmpty;
}

void TKVLCheckProviderCombobox::Assign(const TPersistent* source) {
    TKVLCheckProvider::Assign(source);
    if (const auto* from = dynamic_cast<const TKVLCheckProviderCombobox*>(source))
        required_ = from->required_;
}

// ---- TKVLCheckProviders ------------------------------------------------------------

TKVLCheckProviders::TKVLCheckProviders(TComponent* owner)
    : TCollection(owner, TKVLCheckProvider::StaticClassInfo()), owner_(owner) {}

TKVLCheckProvider* TKVLCheckProviders::Add() {
    return static_cast<TKVLCheckProvider*>(TCollection::Add());
}

TKVLCheckProvider* TKVLCheckProviders::GetCheckProvider(int index) const {
    return static_cast<TKVLCheckProvider*>(TCollection::Items(index));
}

void TKVLCheckProviders::SetCheckProvider(int index, const TKVLCheckProvider* value) {
    GetCheckProvider(index)->Assign(value);
}

}  // namespace zr
