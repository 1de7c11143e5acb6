// Check providers: each binds one input control of a form to one rule (an
// edit box must not be empty, must hold a number within a range, a check
// box must be checked, a combo box must not be empty), records the outcome
// of its last check and places a small picture beside a failed control,
// with the failure text as its hint. The providers are the items of a
// TKVLCheckProviders collection, which the check processor owns and runs.
//
// The mark (LinkedImage) is owned by the collection's owner, the processor,
// but is a child of the control's parent, which frees its children when it
// dies itself; the provider therefore watches the mark's life and never
// frees it a second time.
#pragma once

#include <memory>
#include <string>

#include "../framework/Collection.h"
#include "../framework/Controls.h"
#include "../framework/Event.h"
#include "../framework/ExtCtrls.h"
#include "../framework/Graphics.h"
#include "../framework/TypeInfo.h"

namespace zr {

enum TKVLCheckStatus { csUnknown, csValid, csFailed };
ZR_ENUM(TKVLCheckStatus, csUnknown, csValid, csFailed);

// The default failure texts, exactly as the designer shows them.
inline constexpr const char* KVLHintCheckFailed = "Check failed.";
inline constexpr const char* KVLHintEditEmpty = "Editbox can not be empty";
inline constexpr const char* KVLHintNumericRange =
    "Editbox must contain the value in range betwen %f and %f";
inline constexpr const char* KVLHintCheckboxUnchecked = "Checkbox must be checked";
inline constexpr const char* KVLHintComboEmpty = "Editbox can not be empty";

// The base provider: checks nothing, so its control always passes.
class TKVLCheckProvider : public TCollectionItem {
    ZR_CLASS(TKVLCheckProvider, TCollectionItem)
  public:
    explicit TKVLCheckProvider(TCollection* collection);
    ~TKVLCheckProvider() override;

    // The provider's own mark; empty: the processor's default picture.
    TPicture* Picture() const { return picture_.get(); }
    void SetPicture(const TPicture* value) { picture_->Assign(value); }
    // The control under check, not owned. A control that has been freed
    // reads as none, so a forgotten reference never reaches a dead control.
    TControl* CheckControl() const;
    void SetCheckControl(TControl* value);
    TControl* GetCheckControl() const { return CheckControl(); }
    const std::string& HintText() const { return hintText_; }
    void SetHintText(const std::string& value) { hintText_ = value; }
    // Whether a failed control may receive the focus.
    bool FocusOnError() const { return focusOnError_; }
    void SetFocusOnError(bool value) { focusOnError_ = value; }
    // Raised after every check of this provider.
    const TNotifyEvent& OnCheck() const { return onCheck_; }
    void SetOnCheck(const TNotifyEvent& handler) { onCheck_ = handler; }

    // The outcome of the last check; csUnknown until the first.
    TKVLCheckStatus Status() const { return status_; }
    // The mark beside the control; nullptr until a failure was marked (or
    // once the control's parent has freed it).
    TImage* LinkedImage() const;

    // Checks the control, clears the mark's picture (an old mark disappears
    // until the processor marks the failures again), raises OnCheck.
    void ExecuteCheck();
    // Creates, refreshes and shows the mark of a failure, or refreshes and
    // hides an existing mark of a provider that passed.
    void CreateLinkedImage(const TPicture* defaultPicture);

    // Copies Picture, CheckControl, HintText and FocusOnError from any
    // provider; each kind adds its own settings when the source is of its
    // kind. Anything that is no provider raises EConvertError.
    void Assign(const TPersistent* source) override;

    // The stored test of HintText: it differs from the kind's default text.
    virtual bool HintMustBeStored() const;
    // The failure text shown on the mark.
    virtual std::string GetHintText() const;

  protected:
    // Applies the kind's rule and sets Status; every kind runs its parent's
    // rule first, which starts each check as csValid.
    virtual void InternalCheck();
    void SetStatus(TKVLCheckStatus value) { status_ = value; }

  private:
    void PlaceLinkedImage(TImage& image, const TPicture* defaultPicture);

    std::unique_ptr<TPicture> picture_;
    TControl* checkControl_ = nullptr;
    std::weak_ptr<const void> checkControlAlive_;
    std::string hintText_;
    bool focusOnError_ = true;
    TKVLCheckStatus status_ = csUnknown;
    TNotifyEvent onCheck_;
    TImage* linkedImage_ = nullptr;
    std::weak_ptr<const void> linkedImageAlive_;
};

// An edit box (or memo) that must not be empty when Required.
class TKVLCheckProviderEdit : public TKVLCheckProvider {
    ZR_CLASS(TKVLCheckProviderEdit, TKVLCheckProvider)
  public:
    explicit TKVLCheckProviderEdit(TCollection* collection);

    bool Required() const { return required_; }
    void SetRequired(bool value) { required_ = value; }

    void Assign(const TPersistent* source) override;
    bool HintMustBeStored() const override;

  protected:
    void InternalCheck() override;

  private:
    bool required_ = true;
};

// An edit box whose text must be a number from MinValue to MaxValue, both
// included. A text that is no number fails; an empty text fails only when
// Required.
class TKVLCheckProviderNumericEdit : public TKVLCheckProviderEdit {
    ZR_CLASS(TKVLCheckProviderNumericEdit, TKVLCheckProviderEdit)
  public:
    explicit TKVLCheckProviderNumericEdit(TCollection* collection);

    double MinValue() const { return minValue_; }
    void SetMinValue(double value) { minValue_ = value; }
    double MaxValue() const { return maxValue_; }
    void SetMaxValue(double value) { maxValue_ = value; }

    void Assign(const TPersistent* source) override;
    bool HintMustBeStored() const override;
    // The default text with both bounds, two decimals each in the locale's
    // format; HintText is stored and copied but not shown.
    std::string GetHintText() const override;

  protected:
    void InternalCheck() override;

  private:
    double minValue_ = 0;
    double maxValue_ = 0;
};

// A check box that must be checked when the provider's Checked is True.
class TKVLCheckProviderCheckbox : public TKVLCheckProvider {
    ZR_CLASS(TKVLCheckProviderCheckbox, TKVLCheckProvider)
  public:
    explicit TKVLCheckProviderCheckbox(TCollection* collection);

    bool Checked() const { return checked_; }
    void SetChecked(bool value) { checked_ = value; }

    void Assign(const TPersistent* source) override;
    bool HintMustBeStored() const override;

  protected:
    void InternalCheck() override;

  private:
    bool checked_ = true;
};

// A combo box whose text must not be empty when Required: the text decides,
// not the item index.
class TKVLCheckProviderCombobox : public TKVLCheckProvider {
    ZR_CLASS(TKVLCheckProviderCombobox, TKVLCheckProvider)
  public:
    explicit TKVLCheckProviderCombobox(TCollection* collection);

    bool Required() const { return required_; }
    void SetRequired(bool value) { required_ = value; }

    void Assign(const TPersistent* source) override;
    bool HintMustBeStored() const override;

  protected:
    void InternalCheck() override;

  private:
    bool required_ = true;
};

// The providers of a check processor, in collection order. Add, Assign and
// form files make base providers; a provider of a kind is made by
// constructing the kind with the collection.
class TKVLCheckProviders : public TCollection {
    ZR_CLASS(TKVLCheckProviders, TCollection)
  public:
    explicit TKVLCheckProviders(TComponent* owner);

    // The owner component given to the constructor (the processor).
    TPersistent* GetOwner() const override { return owner_; }
    TComponent* OwnerComponent() const { return owner_; }

    TKVLCheckProvider* Add();
    TKVLCheckProvider* GetCheckProvider(int index) const;
    // Copies `value` into the provider already at `index` (through its
    // Assign); the item is not replaced.
    void SetCheckProvider(int index, const TKVLCheckProvider* value);
    TKVLCheckProvider* Items(int index) const { return GetCheckProvider(index); }
    void SetItems(int index, const TKVLCheckProvider* value) { SetCheckProvider(index, value); }

  private:
    TComponent* owner_;
};

}  // namespace zr
