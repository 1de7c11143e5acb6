#include "framework/ExtCtrls.h"

#include "framework/Graphics.h"

namespace zr {

ZR_REGISTER_CLASS(TImage, c) {
    c.Property("AutoSize", &TImage::AutoSize, &TImage::SetAutoSize).Default(false);
    c.Property("Center", &TImage::Center, &TImage::SetCenter).Default(false);
    c.Property("Picture", &TImage::Picture, &TImage::SetPicture);
    c.Property("Proportional", &TImage::Proportional, &TImage::SetProportional).Default(false);
    c.Property("Stretch", &TImage::Stretch, &TImage::SetStretch).Default(false);
    c.Property("Transparent", &TImage::Transparent, &TImage::SetTransparent).Default(false);
}

ZR_REGISTER_CLASS(TBevel, c) {
    c.Property("Shape", &TBevel::Shape, &TBevel::SetShape).Default(bsBox);
    c.Property("Style", &TBevel::Style, &TBevel::SetStyle).Default(bsLowered);
}

ZR_REGISTER_CLASS(TPanel, c) {
    c.Property("Alignment", &TPanel::Alignment, &TPanel::SetAlignment).Default(taCenter);
    c.Property("BevelInner", &TPanel::BevelInner, &TPanel::SetBevelInner).Default(bvNone);
    c.Property("BevelOuter", &TPanel::BevelOuter, &TPanel::SetBevelOuter).Default(bvRaised);
    c.Property("Caption", &TPanel::Caption, &TPanel::SetCaption).Default("");
}

// ---- TImage ----------------------------------------------------------------------

TImage::TImage(TComponent* owner) : TGraphicControl(owner), picture_(std::make_unique<TPicture>()) {
    picture_->SetOnChange(TNotifyEvent(this, &TImage::PictureChanged));
    SetBounds(0, 0, 105, 105);
}

TImage::~TImage() = default;

TPicture* TImage::Picture() const {
    return picture_.get();
}

void TImage::SetPicture(const TPicture* value) {
    picture_->Assign(value);
}

void TImage::SetAutoSize(bool value) {
    autoSize_ = value;
    if (autoSize_) AdjustToPicture();
    Invalidate();
}

void TImage::SetCenter(bool value) {
    if (value == center_) return;
    center_ = value;
    Invalidate();
}

void TImage::SetStretch(bool value) {
    if (value == stretch_) return;
    stretch_ = value;
    Invalidate();
}

void TImage::SetProportional(bool value) {
    if (value == proportional_) return;
    proportional_ = value;
    Invalidate();
}

void TImage::SetTransparent(bool value) {
    if (value == transparent_) return;
    transparent_ = value;
    PictureChanged(this);
}

void TImage::PictureChanged(TObject*) {
    if (adjusting_) return;
    adjusting_ = true;
    try {
        // The image decides whether its picture's transparent colour shows
        // through; an icon's transparency is its mask and stays.
        TGraphic* graphic = picture_->Graphic();
        if (graphic && !graphic->Is<TIcon>() && graphic->Transparent() != transparent_)
            graphic->SetTransparent(transparent_);
        if (autoSize_) AdjustToPicture();
    } catch (...) {
        adjusting_ = false;
        throw;
    }
    adjusting_ = false;
    Invalidate();
}

void TImage::AdjustToPicture() {
    if (picture_->Width() > 0 && picture_->Height() > 0)
        SetBounds(Left(), Top(), picture_->Width(), picture_->Height());
}

// ---- TBevel ----------------------------------------------------------------------

TBevel::TBevel(TComponent* owner) : TGraphicControl(owner) {
    SetBounds(0, 0, 50, 50);
}

void TBevel::SetShape(TBevelShape value) {
    if (value == shape_) return;
    shape_ = value;
    Invalidate();
}

void TBevel::SetStyle(TBevelStyle value) {
    if (value == style_) return;
    style_ = value;
    Invalidate();
}

// ---- TPanel ----------------------------------------------------------------------

TPanel::TPanel(TComponent* owner) : TWinControl(owner) {
    SetBounds(0, 0, 185, 41);
}

void TPanel::SetBevelInner(TBevelCut value) {
    if (value == bevelInner_) return;
    bevelInner_ = value;
    Invalidate();
}

void TPanel::SetBevelOuter(TBevelCut value) {
    if (value == bevelOuter_) return;
    bevelOuter_ = value;
    Invalidate();
}

void TPanel::SetAlignment(TAlignment value) {
    if (value == alignment_) return;
    alignment_ = value;
    Invalidate();
}

}  // namespace zr
