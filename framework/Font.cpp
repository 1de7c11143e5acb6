#include "framework/Font.h"

#include <cmath>

#include "framework/FormConsts.h"

namespace zr {

ZR_REGISTER_CLASS(TFont, c) {
    c.Property("Charset", &TFont::Charset, &TFont::SetCharset).Default(DEFAULT_CHARSET);
    c.Property("Color", &TFont::Color, &TFont::SetColor).Default(clWindowText);
    c.Property("Height", &TFont::Height, &TFont::SetHeight);
    c.Property("Name", &TFont::Name, &TFont::SetName);
    c.Property("Pitch", &TFont::Pitch, &TFont::SetPitch).Default(fpDefault);
    c.Property("Style", &TFont::Style, &TFont::SetStyle);
}

const std::vector<std::pair<std::string, std::int64_t>>& ColorIdents() {
    static const std::vector<std::pair<std::string, std::int64_t>> names = {
        {"clBlack", clBlack},
        {"clMaroon", clMaroon},
        {"clGreen", clGreen},
        {"clOlive", clOlive},
        {"clNavy", clNavy},
        {"clPurple", clPurple},
        {"clTeal", clTeal},
        {"clGray", clGray},
        {"clSilver", clSilver},
        {"clRed", clRed},
        {"clLime", clLime},
        {"clYellow", clYellow},
        {"clBlue", clBlue},
        {"clFuchsia", clFuchsia},
        {"clAqua", clAqua},
        {"clWhite", clWhite},
        {"clNone", clNone},
        {"clDefault", clDefault},
        {"clScrollBar", clScrollBar},
        {"clBackground", clBackground},
        {"clActiveCaption", clActiveCaption},
        {"clInactiveCaption", clInactiveCaption},
        {"clMenu", clMenu},
        {"clWindow", clWindow},
        {"clWindowFrame", clWindowFrame},
        {"clMenuText", clMenuText},
        {"clWindowText", clWindowText},
        {"clCaptionText", clCaptionText},
        {"clHighlight", clHighlight},
        {"clHighlightText", clHighlightText},
        {"clBtnFace", clBtnFace},
        {"clBtnShadow", clBtnShadow},
        {"clGrayText", clGrayText},
        {"clBtnText", clBtnText},
        {"clBtnHighlight", clBtnHighlight},
        {"clInfoText", clInfoText},
        {"clInfoBk", clInfoBk},
    };
    return names;
}

const std::vector<std::pair<std::string, std::int64_t>>& CharsetIdents() {
    static const std::vector<std::pair<std::string, std::int64_t>> names = {
        {"ANSI_CHARSET", 0},      {"DEFAULT_CHARSET", 1},    {"SYMBOL_CHARSET", 2},
        {"MAC_CHARSET", 77},      {"SHIFTJIS_CHARSET", 128}, {"HANGEUL_CHARSET", 129},
        {"JOHAB_CHARSET", 130},   {"GB2312_CHARSET", 134},   {"CHINESEBIG5_CHARSET", 136},
        {"GREEK_CHARSET", 161},   {"TURKISH_CHARSET", 162},  {"VIETNAMESE_CHARSET", 163},
        {"HEBREW_CHARSET", 177},  {"ARABIC_CHARSET", 178},   {"BALTIC_CHARSET", 186},
        {"RUSSIAN_CHARSET", 204}, {"THAI_CHARSET", 222},     {"EASTEUROPE_CHARSET", 238},
        {"OEM_CHARSET", 255},
    };
    return names;
}

namespace {

// Form files name a font's colour and character set by their identifiers.
[[maybe_unused]] const bool fontIdentsRegistered = [] {
    RegisterIntegerConsts(TFont::StaticClassInfo(), "Color", ColorIdents());
    RegisterIntegerConsts(TFont::StaticClassInfo(), "Charset", CharsetIdents());
    return true;
}();

}  // namespace

void TFont::SetName(const std::string& value) {
    if (value == name_) return;
    name_ = value;
    Changed();
}

void TFont::SetHeight(int value) {
    if (value == height_) return;
    height_ = value;
    Changed();
}

int TFont::Size() const {
    return static_cast<int>(std::lround(-height_ * 72.0 / 96.0));
}

void TFont::SetSize(int points) {
    SetHeight(-static_cast<int>(std::lround(points * 96.0 / 72.0)));
}

void TFont::SetColor(TColor value) {
    if (value == color_) return;
    color_ = value;
    Changed();
}

void TFont::SetCharset(TFontCharset value) {
    if (value == charset_) return;
    charset_ = value;
    Changed();
}

void TFont::SetStyle(TFontStyles value) {
    if (value == style_) return;
    style_ = value;
    Changed();
}

void TFont::SetPitch(TFontPitch value) {
    if (value == pitch_) return;
    pitch_ = value;
    Changed();
}

void TFont::Assign(const TPersistent* source) {
    const auto* font = source && source->Is<TFont>() ? static_cast<const TFont*>(source) : nullptr;
    if (!font) return TPersistent::Assign(source);
    if (*font == *this) return;
    name_ = font->name_;
    height_ = font->height_;
    color_ = font->color_;
    charset_ = font->charset_;
    style_ = font->style_;
    pitch_ = font->pitch_;
    Changed();
}

bool TFont::operator==(const TFont& other) const {
    return name_ == other.name_ && height_ == other.height_ && color_ == other.color_ &&
           charset_ == other.charset_ && style_ == other.style_ && pitch_ == other.pitch_;
}

void TFont::Changed() {
    if (onChange_) onChange_(this);
}

}  // namespace zr
