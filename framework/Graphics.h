// Graphics: colours, the abstract graphic, bitmaps with palettes and Windows
// BMP files, icons (with a built-in stock icon for LoadIcon) and pictures,
// the holder of any graphic that controls and form files use.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "BmpCodec.h"
#include "Component.h"
#include "Event.h"
#include "Resources.h"

namespace zr {

class TStream;

// ---- colours ----------------------------------------------------------------

// 0x00BBGGRR for a plain colour; system colours have the top bit set and
// their COLOR_ index in the low byte (ColorToRGB resolves them).
using TColor = std::int32_t;

constexpr TColor RGB(int r, int g, int b) {
    return static_cast<TColor>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int GetRValue(TColor c) {
    return c & 0xFF;
}
constexpr int GetGValue(TColor c) {
    return (c >> 8) & 0xFF;
}
constexpr int GetBValue(TColor c) {
    return (c >> 16) & 0xFF;
}

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clOlive = 0x008080;
constexpr TColor clNavy = 0x800000;
constexpr TColor clPurple = 0x800080;
constexpr TColor clTeal = 0x808000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clDefault = 0x20000000;

constexpr TColor SystemColor(int index) {
    return static_cast<TColor>(0x80000000u | index);
}
constexpr TColor clScrollBar = SystemColor(0);
constexpr TColor clBackground = SystemColor(1);
constexpr TColor clActiveCaption = SystemColor(2);
constexpr TColor clInactiveCaption = SystemColor(3);
constexpr TColor clMenu = SystemColor(4);
constexpr TColor clWindow = SystemColor(5);
constexpr TColor clWindowFrame = SystemColor(6);
constexpr TColor clMenuText = SystemColor(7);
constexpr TColor clWindowText = SystemColor(8);
constexpr TColor clCaptionText = SystemColor(9);
constexpr TColor clHighlight = SystemColor(13);
constexpr TColor clHighlightText = SystemColor(14);
constexpr TColor clBtnFace = SystemColor(15);
constexpr TColor clBtnShadow = SystemColor(16);
constexpr TColor clGrayText = SystemColor(17);
constexpr TColor clBtnText = SystemColor(18);
constexpr TColor clBtnHighlight = SystemColor(20);
constexpr TColor clInfoText = SystemColor(23);
constexpr TColor clInfoBk = SystemColor(24);

// A system colour as the classic default scheme paints it; plain colours as
// they are (clNone and clDefault included).
TColor ColorToRGB(TColor color);

// ---- the abstract graphic -------------------------------------------------

class TGraphic : public TPersistent {
    ZR_CLASS(TGraphic, TPersistent)
  public:
    TGraphic() = default;

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void SetWidth(int value) = 0;
    virtual void SetHeight(int value) = 0;
    virtual bool Empty() const = 0;
    virtual bool Transparent() const { return transparent_; }
    virtual void SetTransparent(bool value);
    bool Modified() const { return modified_; }
    void SetModified(bool value) { modified_ = value; }
    TNotifyEvent OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent handler) { onChange_ = std::move(handler); }

    // The graphic's file format. Reading raises EInvalidGraphic for bad data
    // and leaves the graphic as it was.
    virtual void LoadFromBytes(std::span<const std::uint8_t> bytes) = 0;
    virtual std::vector<std::uint8_t> SaveToBytes() const = 0;

    // The stream forms read the rest of the stream and write at its position.
    void LoadFromStream(TStream& stream);
    void SaveToStream(TStream& stream) const;
    void LoadFromStream(std::istream& stream);
    void SaveToStream(std::ostream& stream) const;
    // EFOpenError / EFCreateError "Cannot open file "<name>". <reason>".
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

    // Published "Data", how a form file keeps the graphic (Icon.Data = {...}):
    // its file bytes; a bitmap puts their 32-bit size first. Stored unless
    // the graphic is empty; empty data empties it.
    virtual std::vector<std::uint8_t> Data() const { return SaveToBytes(); }
    virtual void SetData(const std::vector<std::uint8_t>& data);
    bool HasData() const { return !Empty(); }

  protected:
    // Marks the graphic modified and fires OnChange.
    virtual void Changed();

  private:
    bool transparent_ = false;
    bool modified_ = false;
    TNotifyEvent onChange_;
};

// ---- bitmaps -----------------------------------------------------------------

// pfDevice: the screen's depth, decided when the pixels are made.
enum TPixelFormat {
    pfDevice,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom
};
ZR_ENUM(TPixelFormat, pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit,
        pfCustom);

// tmAuto: the transparent colour is the bottom-left pixel's; tmFixed: the one set.
enum TTransparentMode { tmAuto, tmFixed };
ZR_ENUM(TTransparentMode, tmAuto, tmFixed);

// The pixel format a pfDevice bitmap gets: the X display's depth when one
// can be opened, else pf24bit.
TPixelFormat DevicePixelFormat();

class TBitmap : public TGraphic {
    ZR_CLASS(TBitmap, TGraphic)
  public:
    TBitmap() = default;

    int Width() const override { return image_.Width; }
    int Height() const override { return image_.Height; }
    void SetWidth(int value) override { SetSize(value, image_.Height); }
    void SetHeight(int value) override { SetSize(image_.Width, value); }
    // Keeps the pixels that still fit; new pixels are black. Negative sizes
    // count as 0; a size whose pixels cannot be had raises EOutOfResources.
    void SetSize(int width, int height);
    bool Empty() const override { return image_.Width == 0 || image_.Height == 0; }

    // The format set or read from a file; pfDevice for a new bitmap.
    TPixelFormat PixelFormat() const { return format_; }
    // Converts the pixels; palette formats get a default palette and each
    // pixel the nearest colour in it. pfCustom raises EInvalidGraphic.
    void SetPixelFormat(TPixelFormat value);
    // The bits per pixel of the pixels as stored (pfDevice resolved).
    int BitsPerPixel() const;

    // Palette formats: the palette, at most 2^bits colours (0x00BBGGRR).
    std::vector<TColor> Palette() const;
    // Palette formats only (EInvalidGraphicOperation otherwise); surplus
    // colours are dropped. Pixels keep their indices.
    void SetPalette(const std::vector<TColor>& colours);

    // The colour of a pixel; clNone outside the bitmap.
    TColor Pixels(int x, int y) const;
    // Palette formats take the nearest palette colour. Outside: ignored.
    void SetPixels(int x, int y, TColor colour);
    void FillRect(int left, int top, int right, int bottom, TColor colour);
    // The row's bytes in the file's layout for its format (row 0 is the top).
    // EInvalidGraphicOperation "Scan line index out of range" outside.
    std::uint8_t* ScanLine(int row);
    const std::uint8_t* ScanLine(int row) const;

    // Default: tmAuto, the bottom-left pixel's colour (clNone while empty).
    TColor TransparentColor() const;
    // Sets tmFixed; clDefault goes back to tmAuto.
    void SetTransparentColor(TColor colour);
    TTransparentMode TransparentMode() const { return transparentMode_; }
    void SetTransparentMode(TTransparentMode mode);

    // Replaces the bitmap with the resource's picture (a packed DIB or a .bmp
    // file). EResNotFound when missing, EInvalidGraphic when it is no bitmap.
    void LoadFromResourceName(HINSTANCE instance, const std::string& name);

    void LoadFromBytes(std::span<const std::uint8_t> bytes) override;
    std::vector<std::uint8_t> SaveToBytes() const override;
    std::vector<std::uint8_t> Data() const override;
    void SetData(const std::vector<std::uint8_t>& data) override;

    void Assign(const TPersistent* source) override;

    // The whole picture, for code that works on it in bulk.
    const TDibImage& Image() const { return image_; }
    void SetImage(TDibImage image, TPixelFormat format);

  private:
    void Resolve();
    TDibImage image_;
    TPixelFormat format_ = pfDevice;
    TTransparentMode transparentMode_ = tmAuto;
    TColor transparentColor_ = clDefault;
};

// ---- icons -------------------------------------------------------------------

// An icon handle as LoadIcon returns it: shared, never freed by its user.
struct TIconImage;
using HICON = const TIconImage*;

// The predefined icons LoadIcon takes with no module.
constexpr std::uintptr_t IDI_APPLICATION = 32512;
constexpr std::uintptr_t IDI_HAND = 32513;
constexpr std::uintptr_t IDI_QUESTION = 32514;
constexpr std::uintptr_t IDI_EXCLAMATION = 32515;
constexpr std::uintptr_t IDI_ASTERISK = 32516;
constexpr std::uintptr_t IDI_ERROR = IDI_HAND;

// The built-in stock icon `id` when `instance` is null (IDI_HAND has its own
// picture; every other id gets IDI_APPLICATION's), else the module's icon
// resource named by the id's decimal digits; nullptr when there is none.
HICON LoadIcon(HINSTANCE instance, std::uintptr_t id);
HICON LoadIcon(HINSTANCE instance, const std::string& name);

class TIcon : public TGraphic {
    ZR_CLASS(TIcon, TGraphic)
  public:
    TIcon() = default;

    int Width() const override { return image_.Width(); }
    int Height() const override { return image_.Height(); }
    // An icon's size comes with its image: EInvalidGraphicOperation "Cannot
    // change the size of an icon".
    void SetWidth(int value) override;
    void SetHeight(int value) override;
    bool Empty() const override { return image_.Empty(); }
    bool Transparent() const override { return true; }

    HICON Handle() const { return handle_; }
    // Takes a copy of the handle's image; nullptr empties the icon.
    void SetHandle(HICON icon);
    // The icon's colour image (32 bits per pixel, the transparent parts as
    // TransparentColor) and its mask (pf1bit, white where transparent).
    const TBitmap& Image() const { return image_; }
    const TBitmap& Mask() const { return mask_; }
    // Makes the icon from a picture: `transparent` pixels become the mask.
    void SetImage(const TBitmap& image, TColor transparent = clNone);

    void LoadFromResourceName(HINSTANCE instance, const std::string& name);
    // A .ico file; the largest image of the file is shown.
    void LoadFromBytes(std::span<const std::uint8_t> bytes) override;
    // A .ico file with one image (the bytes read, when unchanged since).
    std::vector<std::uint8_t> SaveToBytes() const override;

    void Assign(const TPersistent* source) override;

  protected:
    void AssignTo(TPersistent* dest) const override;

  private:
    TBitmap image_;
    TBitmap mask_;
    std::vector<std::uint8_t> original_;
    HICON handle_ = nullptr;
};

// ---- pictures -------------------------------------------------------------------

// Holds one graphic of any kind (or none). Published "Data" stores the
// graphic's class name and bytes, so form files keep pictures.
class TPicture : public TPersistent {
    ZR_CLASS(TPicture, TPersistent)
  public:
    TPicture();
    ~TPicture() override;

    // nullptr when empty.
    TGraphic* Graphic() const { return graphic_.get(); }
    // Holds a copy of `graphic` (nullptr empties the picture).
    void SetGraphic(const TGraphic* graphic);
    // The picture as a bitmap: a picture that holds another kind of graphic,
    // or none, is given a new empty bitmap in its place.
    TBitmap* Bitmap();
    void SetBitmap(const TBitmap* bitmap) { SetGraphic(bitmap); }
    // The same for icons.
    TIcon* Icon();
    void SetIcon(const TIcon* icon) { SetGraphic(icon); }

    int Width() const { return graphic_ ? graphic_->Width() : 0; }
    int Height() const { return graphic_ ? graphic_->Height() : 0; }
    bool Empty() const { return !graphic_ || graphic_->Empty(); }

    // By extension: .bmp and .ico (EInvalidGraphic "Unknown picture file
    // extension (.ext)" for others).
    void LoadFromFile(const std::string& fileName);
    // Nothing to save raises EInvalidGraphicOperation.
    void SaveToFile(const std::string& fileName) const;

    // A picture, a graphic (copied) or nullptr (empties).
    void Assign(const TPersistent* source) override;

    // Form file data: the class name as a length-prefixed string, then the
    // graphic's own data (a bitmap prefixes its file with its 32-bit size).
    // Empty data empties the picture; bad data raises EInvalidGraphic.
    std::vector<std::uint8_t> Data() const;
    void SetData(const std::vector<std::uint8_t>& data);
    bool HasData() const { return graphic_ != nullptr; }

    // Fires whenever the picture or its graphic changes.
    TNotifyEvent OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent handler) { onChange_ = std::move(handler); }

  protected:
    void AssignTo(TPersistent* dest) const override;

  private:
    void Hold(std::unique_ptr<TGraphic> graphic);
    void GraphicChanged(TObject* sender);
    void Changed();

    std::unique_ptr<TGraphic> graphic_;
    TNotifyEvent onChange_;
};

}  // namespace zr
