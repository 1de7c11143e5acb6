#include "checks/KVLChecks.h"

#include "framework/Dialogs.h"
#include "framework/Resources.h"

namespace zr {

ZR_REGISTER_CLASS(TKVLCheckProcessor, c) {
    c.Property("DefaultPicture", &TKVLCheckProcessor::DefaultPicture,
               &TKVLCheckProcessor::SetDefaultPicture);
    c.Property("BeepOnError", &TKVLCheckProcessor::BeepOnError, &TKVLCheckProcessor::SetBeepOnError)
        .Default(true);
    c.Property("CheckProviders", &TKVLCheckProcessor::GetCheckProviders,
               &TKVLCheckProcessor::SetCheckProviders);
}

TKVLCheckProcessor::TKVLCheckProcessor(TComponent* owner)
    : TComponent(owner), defaultPicture_(std::make_unique<TPicture>()) {
    // HInstance() is this library's own handle: the mark comes with the
    // package, whatever the application carries.
    TBitmap* bitmap = defaultPicture_->Bitmap();
    bitmap->LoadFromResourceName(HInstance(), KVLFailedResource);
    bitmap->SetTransparentColor(KVLFailedTransparentColor);
    bitmap->SetTransparent(true);
    checkProviders_ = std::make_unique<TKVLCheckProviders>(this);
}

TKVLCheckProcessor::~TKVLCheckProcessor() {
    checkProviders_.reset();
    defaultPicture_.reset();
}

void TKVLCheckProcessor::CheckAllProviders() {
    for (int i = 0; i < checkProviders_->Count(); ++i) checkProviders_->Items(i)->ExecuteCheck();
}

int TKVLCheckProcessor::FailedCount() const {
    int failed = 0;
    for (int i = 0; i < checkProviders_->Count(); ++i)
        if (checkProviders_->Items(i)->Status() == csFailed) ++failed;
    return failed;
}

void TKVLCheckProcessor::HighlightFailed() {
    bool focusGiven = false;
    bool beeped = false;
    for (int i = 0; i < checkProviders_->Count(); ++i) {
        TKVLCheckProvider* provider = checkProviders_->Items(i);
        provider->CreateLinkedImage(defaultPicture_.get());
        if (provider->Status() != csFailed) continue;
        auto* control = dynamic_cast<TWinControl*>(provider->CheckControl());
        if (provider->FocusOnError() && !focusGiven && control && control->CanFocus()) {
            control->SetFocus();
            focusGiven = true;
        }
        if (beepOnError_ && !beeped) {
            beeped = true;
            MessageBeep(MB_ICONHAND);
        }
    }
}

bool TKVLCheckProcessor::Execute() {
    CheckAllProviders();
    if (FailedCount() == 0) return true;
    HighlightFailed();
    return false;
}

}  // namespace zr
