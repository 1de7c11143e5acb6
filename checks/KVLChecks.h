// The check processor: the non-visual component that checks the input
// controls of a form. It owns the check providers (KVLCheckProviders.h),
// runs all their checks on request, counts the failures, marks each failed
// control with a small picture beside it, gives the focus to the first
// failed control that may take it and beeps once. Execute does all of this
// and answers whether every check passed. Main thread only.
#pragma once

#include <memory>

#include "KVLCheckProviders.h"
#include "../framework/Component.h"
#include "../framework/Graphics.h"

namespace zr {

// The package's bitmap resource of the default mark: 16 x 16, 256 colours,
// magenta background (the transparent colour), a red diamond with a yellow
// centre.
inline constexpr const char* KVLFailedResource = "KVL_FAILED";
inline constexpr TColor KVLFailedTransparentColor = 0xFF00FF;

class TKVLCheckProcessor : public TComponent {
    ZR_CLASS(TKVLCheckProcessor, TComponent)
  public:
    // Loads the default mark from the package's own resources (the
    // application's are never asked); a missing one raises EResNotFound.
    explicit TKVLCheckProcessor(TComponent* owner);
    // Frees the providers, and with them their marks, before anything else.
    ~TKVLCheckProcessor() override;

    // The mark of the providers that have no picture of their own; the
    // setter copies the picture.
    TPicture* DefaultPicture() const { return defaultPicture_.get(); }
    void SetDefaultPicture(const TPicture* value) { defaultPicture_->Assign(value); }
    bool BeepOnError() const { return beepOnError_; }
    void SetBeepOnError(bool value) { beepOnError_ = value; }
    // The providers, in the order they are checked; the setter copies the
    // collection (as base providers).
    TKVLCheckProviders* CheckProviders() const { return checkProviders_.get(); }
    TKVLCheckProviders* GetCheckProviders() const { return CheckProviders(); }
    void SetCheckProviders(const TKVLCheckProviders* value) { checkProviders_->Assign(value); }

    // Runs every provider's check in collection order; marks nothing.
    void CheckAllProviders();
    // The providers whose last check failed; runs no check itself.
    int FailedCount() const;
    // Marks the failures (and hides the marks of providers that passed),
    // focuses the first failed control that allows it and can take it, and
    // beeps once when BeepOnError.
    void HighlightFailed();
    // Checks everything; when something failed, highlights it and answers
    // False. When everything passed the marks are left as the checks left
    // them (shown or hidden as before, without a picture).
    bool Execute();

  private:
    std::unique_ptr<TPicture> defaultPicture_;
    std::unique_ptr<TKVLCheckProviders> checkProviders_;
    bool beepOnError_ = true;
};

}  // namespace zr
