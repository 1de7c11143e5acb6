// Further controls: an image that shows a picture, a bevel and a panel.
#pragma once

#include <memory>

#include "Controls.h"
#include "Graphics.h"

namespace zr {

class TImage : public TGraphicControl {
    ZR_CLASS(TImage, TGraphicControl)
  public:
    explicit TImage(TComponent* owner);
    ~TImage() override;

    // The image owns its picture; SetPicture copies `value` into it (nullptr
    // empties it). Changes made through Picture() are seen as well.
    TPicture* Picture() const;
    void SetPicture(const TPicture* value);

    // With AutoSize the image takes the size of its picture whenever the
    // picture changes (an empty picture leaves the size alone).
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    bool Center() const { return center_; }
    void SetCenter(bool value);
    bool Stretch() const { return stretch_; }
    void SetStretch(bool value);
    bool Proportional() const { return proportional_; }
    void SetProportional(bool value);
    // Whether the picture's transparent colour lets the background show: the
    // image sets it on its picture's graphic (icons keep their own mask).
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);

  private:
    void PictureChanged(TObject* sender);
    void AdjustToPicture();

    std::unique_ptr<TPicture> picture_;
    bool autoSize_ = false;
    bool center_ = false;
    bool stretch_ = false;
    bool proportional_ = false;
    bool transparent_ = false;
    bool adjusting_ = false;
};

enum TBevelShape { bsBox, bsFrame, bsTopLine, bsBottomLine, bsLeftLine, bsRightLine, bsSpacer };
ZR_ENUM(TBevelShape, bsBox, bsFrame, bsTopLine, bsBottomLine, bsLeftLine, bsRightLine, bsSpacer);
enum TBevelStyle { bsLowered, bsRaised };
ZR_ENUM(TBevelStyle, bsLowered, bsRaised);

class TBevel : public TGraphicControl {
    ZR_CLASS(TBevel, TGraphicControl)
  public:
    explicit TBevel(TComponent* owner);

    TBevelShape Shape() const { return shape_; }
    void SetShape(TBevelShape value);
    TBevelStyle Style() const { return style_; }
    void SetStyle(TBevelStyle value);

  private:
    TBevelShape shape_ = bsBox;
    TBevelStyle style_ = bsLowered;
};

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
ZR_ENUM(TBevelCut, bvNone, bvLowered, bvRaised, bvSpace);

// A container with a caption; controls placed on it are its children.
class TPanel : public TWinControl {
    ZR_CLASS(TPanel, TWinControl)
  public:
    explicit TPanel(TComponent* owner);

    TBevelCut BevelInner() const { return bevelInner_; }
    void SetBevelInner(TBevelCut value);
    TBevelCut BevelOuter() const { return bevelOuter_; }
    void SetBevelOuter(TBevelCut value);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment value);

  private:
    TBevelCut bevelInner_ = bvNone;
    TBevelCut bevelOuter_ = bvRaised;
    TAlignment alignment_ = taCenter;
};

}  // namespace zr
