// The text font of a control: name, height, colour, character set and style.
// Nothing here measures or draws text; a window backend does that. The font
// is kept so form files round-trip and controls can inherit their parent's.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Component.h"
#include "Event.h"
#include "Graphics.h"
#include "Set.h"

namespace zr {

enum TFontStyle { fsBold, fsItalic, fsUnderline, fsStrikeOut };
ZR_ENUM(TFontStyle, fsBold, fsItalic, fsUnderline, fsStrikeOut);
using TFontStyles = Set<TFontStyle>;

enum TFontPitch { fpDefault, fpVariable, fpFixed };
ZR_ENUM(TFontPitch, fpDefault, fpVariable, fpFixed);

using TFontCharset = int;
inline constexpr TFontCharset ANSI_CHARSET = 0;
inline constexpr TFontCharset DEFAULT_CHARSET = 1;
inline constexpr TFontCharset SYMBOL_CHARSET = 2;
inline constexpr TFontCharset OEM_CHARSET = 255;

class TFont : public TPersistent {
    ZR_CLASS(TFont, TPersistent)
  public:
    TFont() = default;

    const std::string& Name() const { return name_; }
    void SetName(const std::string& value);
    // Negative: the character height in pixels; positive: the cell height.
    int Height() const { return height_; }
    void SetHeight(int value);
    // In points at PixelsPerInch (96): Size = -Height * 72 / 96, rounded.
    int Size() const;
    void SetSize(int points);
    TColor Color() const { return color_; }
    void SetColor(TColor value);
    TFontCharset Charset() const { return charset_; }
    void SetCharset(TFontCharset value);
    TFontStyles Style() const { return style_; }
    void SetStyle(TFontStyles value);
    TFontPitch Pitch() const { return pitch_; }
    void SetPitch(TFontPitch value);

    // Fires after every change, so the control that owns the font can redraw
    // and stop taking its parent's font.
    const TNotifyEvent& OnChange() const { return onChange_; }
    void SetOnChange(const TNotifyEvent& handler) { onChange_ = handler; }

    void Assign(const TPersistent* source) override;
    bool operator==(const TFont& other) const;

  private:
    void Changed();

    std::string name_ = "MS Sans Serif";
    int height_ = -11;
    TColor color_ = clWindowText;
    TFontCharset charset_ = DEFAULT_CHARSET;
    TFontStyles style_;
    TFontPitch pitch_ = fpDefault;
    TNotifyEvent onChange_;
};

// The names form files use for colours (clRed, clWindowText, ...) and for
// character sets (DEFAULT_CHARSET, ...).
const std::vector<std::pair<std::string, std::int64_t>>& ColorIdents();
const std::vector<std::pair<std::string, std::int64_t>>& CharsetIdents();

}  // namespace zr
