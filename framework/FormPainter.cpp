// The look is the classic one the form files were designed for: grey faces
// with light top-left and dark bottom-right edges, white sunken fields, a
// black frame around the button that Enter presses and a dotted mark on
// the control that has the focus.
#include "framework/FormPainter.h"

#include <algorithm>

#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"

namespace zr {

namespace {

using os::TXCanvas;

constexpr TColor k3DDkShadow = SystemColor(21);
constexpr TColor k3DLight = SystemColor(22);
constexpr int kCheckBoxSize = 13;
constexpr int kScrollBarWidth = 16;
// A hint box: the room around its text, and how far below the pointer it
// stands (clear of the pointer's own picture).
constexpr int kHintPadding = 3;
constexpr int kHintBelowPointer = 20;

std::uint32_t Rgb(TColor colour) {
    return static_cast<std::uint32_t>(ColorToRGB(colour)) & 0xFFFFFF;
}

TRect Inset(const TRect& r, int by) {
    return {r.Left + by, r.Top + by, r.Right - by, r.Bottom - by};
}

bool IsEmpty(const TRect& r) {
    return r.Width() <= 0 || r.Height() <= 0;
}

// Everything one paint needs to know besides the control at hand.
struct TPaint {
    TXCanvas& canvas;
    TFormView& view;
    const TWinControl* focused;   // nullptr unless the form is active
    const TButton* framedButton;  // the button Enter would press
};

// ---- edges and text -------------------------------------------------------------

void Edge(TXCanvas& c, const TRect& r, TColor topLeft, TColor bottomRight) {
    if (IsEmpty(r)) return;
    c.Line(r.Left, r.Top, r.Right - 2, r.Top, Rgb(topLeft));
    c.Line(r.Left, r.Top, r.Left, r.Bottom - 2, Rgb(topLeft));
    c.Line(r.Left, r.Bottom - 1, r.Right - 1, r.Bottom - 1, Rgb(bottomRight));
    c.Line(r.Right - 1, r.Top, r.Right - 1, r.Bottom - 1, Rgb(bottomRight));
}

void Raised(TXCanvas& c, const TRect& r) {
    Edge(c, r, clBtnHighlight, k3DDkShadow);
    Edge(c, Inset(r, 1), k3DLight, clBtnShadow);
}

void Sunken(TXCanvas& c, const TRect& r) {
    Edge(c, r, clBtnShadow, clBtnHighlight);
    Edge(c, Inset(r, 1), k3DDkShadow, k3DLight);
}

void Outline(TXCanvas& c, const TRect& r, TColor colour) {
    Edge(c, r, colour, colour);
}

void UseFont(TXCanvas& c, const TControl& control) {
    const TFont* font = control.Font();
    const int height = font->Height();
    // A negative height is the characters' own height, a positive one the
    // whole cell's; X font sizes are close to the first.
    const int pixels = height < 0 ? -height + 1 : std::max(height - 2, 6);
    c.SelectFont(pixels, font->Style().Contains(fsBold));
}

std::uint32_t TextColour(const TControl& control) {
    return control.Enabled() ? Rgb(control.Font()->Color()) : Rgb(clGrayText);
}

int AlignedX(const TRect& r, int width, TAlignment alignment) {
    switch (alignment) {
        case taRightJustify:
            return r.Right - width;
        case taCenter:
            return r.Left + (r.Width() - width) / 2;
        case taLeftJustify:
        default:
            return r.Left;
    }
}

// A one-line caption with its accelerator underlined, placed in `r`.
void Caption(TXCanvas& c, const TRect& r, const std::string& caption, std::uint32_t rgb,
             TAlignment alignment) {
    int underline = -1;
    const std::string text = StripAccelerator(caption, underline);
    const int x = AlignedX(r, c.TextWidth(text), alignment);
    c.Text(x, r.Top + (r.Height() - c.LineHeight()) / 2, text, rgb, underline);
}

// Draws inside `area` only, then gives the control its own clip back.
template <class Draw>
void Clipped(TXCanvas& c, const TRect& area, Draw draw) {
    const TRect saved = c.Clip();
    c.SetClip(Intersect(saved, area));
    draw();
    c.SetClip(saved);
}

// ---- the standard controls ---------------------------------------------------------

void PaintButton(const TButton& button, const TRect& r, TPaint& p) {
    TXCanvas& c = p.canvas;
    c.FillRect(r, Rgb(button.Color()));
    TRect face = r;
    if (p.framedButton == &button) {
        Outline(c, r, k3DDkShadow);
        face = Inset(r, 1);
    }
    Raised(c, face);
    UseFont(c, button);
    Caption(c, Inset(face, 2), button.Caption(), TextColour(button), taCenter);
    if (p.focused == &button) c.DottedFrame(Inset(face, 3), Rgb(clBtnText));
}

void CheckMark(TXCanvas& c, const TRect& box, std::uint32_t rgb) {
    for (int i = 0; i < 3; ++i) {
        c.Line(box.Left + 1, box.Top + 3 + i, box.Left + 3, box.Top + 5 + i, rgb);
        c.Line(box.Left + 3, box.Top + 5 + i, box.Left + 7, box.Top + 1 + i, rgb);
    }
}

void PaintCheckBox(const TCheckBox& box, const TRect& r, TPaint& p) {
    TXCanvas& c = p.canvas;
    c.FillRect(r, Rgb(box.Color()));
    const bool boxLeft = box.Alignment() == taRightJustify;
    const int top = r.Top + (r.Height() - kCheckBoxSize) / 2;
    const int left = boxLeft ? r.Left : r.Right - kCheckBoxSize;
    const TRect square{left, top, left + kCheckBoxSize, top + kCheckBoxSize};
    Sunken(c, square);
    const TRect inside = Inset(square, 2);
    const bool grayed = box.State() == cbGrayed;
    c.FillRect(inside, Rgb(box.Enabled() && !grayed ? clWindow : clBtnFace));
    if (box.State() != cbUnchecked)
        CheckMark(c, inside, Rgb(grayed || !box.Enabled() ? clGrayText : clWindowText));

    UseFont(c, box);
    int underline = -1;
    const std::string text = StripAccelerator(box.Caption(), underline);
    const int width = c.TextWidth(text);
    const int x = boxLeft ? square.Right + 4 : r.Left;
    const int y = r.Top + (r.Height() - c.LineHeight()) / 2;
    c.Text(x, y, text, TextColour(box), underline);
    if (p.focused == &box && !text.empty())
        c.DottedFrame({x - 1, y - 1, x + width + 1, y + c.LineHeight() + 1}, Rgb(clWindowText));
}

// The frame of an edit box, memo or combo box; returns the field inside it.
TRect EditField(TXCanvas& c, const TRect& r, bool framed, TColor colour) {
    TRect inside = r;
    if (framed) {
        Sunken(c, r);
        inside = Inset(r, 2);
    }
    c.FillRect(inside, Rgb(colour));
    return inside;
}

void PaintEdit(const TCustomEdit& edit, const TRect& r, TPaint& p) {
    TXCanvas& c = p.canvas;
    const TRect field = EditField(c, r, edit.BorderStyle() == bsSingle, edit.Color());
    UseFont(c, edit);
    const std::string text = edit.Text();
    const int width = c.TextWidth(text);
    const bool focused = p.focused == &edit;
    // The end of the text, where typing goes, stays in sight.
    int x = field.Left + 1;
    if (focused && width > field.Width() - 3) x = field.Right - 2 - width;
    const int y = field.Top + (field.Height() - c.LineHeight()) / 2;
    Clipped(c, field, [&] {
        c.Text(x, y, text, TextColour(edit));
        if (focused) c.Line(x + width, y, x + width, y + c.LineHeight() - 1, TextColour(edit));
    });
}

void ScrollArrow(TXCanvas& c, const TRect& button, bool up, std::uint32_t rgb) {
    const int cx = button.Left + button.Width() / 2;
    const int cy = button.Top + button.Height() / 2;
    for (int i = 0; i < 4; ++i) {
        const int y = up ? cy - 2 + i : cy + 1 - i;
        c.Line(cx - i, y, cx + i, y, rgb);
    }
}

void ScrollBar(TXCanvas& c, const TRect& bar, int lines, int visible, int top) {
    c.FillRect(bar, Rgb(clScrollBar));
    const int side = std::min(bar.Width(), bar.Height() / 2);
    const TRect upButton{bar.Left, bar.Top, bar.Right, bar.Top + side};
    const TRect downButton{bar.Left, bar.Bottom - side, bar.Right, bar.Bottom};
    for (const TRect& b : {upButton, downButton}) {
        c.FillRect(b, Rgb(clBtnFace));
        Raised(c, b);
    }
    ScrollArrow(c, upButton, true, Rgb(clBtnText));
    ScrollArrow(c, downButton, false, Rgb(clBtnText));
    const int track = downButton.Top - upButton.Bottom;
    if (lines <= visible || track < 8) return;
    const int thumb = std::max(8, track * visible / lines);
    const int offset = (track - thumb) * top / std::max(lines - visible, 1);
    const TRect knob{bar.Left, upButton.Bottom + offset, bar.Right,
                     upButton.Bottom + offset + thumb};
    c.FillRect(knob, Rgb(clBtnFace));
    Raised(c, knob);
}

void PaintMemo(const TMemo& memo, const TRect& r, TPaint& p) {
    TXCanvas& c = p.canvas;
    TRect field = EditField(c, r, memo.BorderStyle() == bsSingle, memo.Color());
    const bool vertical = memo.ScrollBars() == ssVertical || memo.ScrollBars() == ssBoth;
    const bool horizontal = memo.ScrollBars() == ssHorizontal || memo.ScrollBars() == ssBoth;
    TRect bar;
    if (vertical) {
        bar = {field.Right - kScrollBarWidth, field.Top, field.Right, field.Bottom};
        field.Right = bar.Left;
    }
    UseFont(c, memo);
    const int wrap = memo.WordWrap() && !horizontal ? field.Width() - 2 : 0;
    const auto lines =
        LayoutLines(memo.Text(), wrap, [&](const std::string& s) { return c.TextWidth(s); });
    const int lineHeight = std::max(c.LineHeight(), 1);
    const int count = static_cast<int>(lines.size());
    const int visible = std::max((field.Height() - 2) / lineHeight, 1);
    int& top = p.view.MemoTopLine[&memo];
    top = std::clamp(top, 0, std::max(count - visible, 0));
    if (vertical) ScrollBar(c, bar, count, visible, top);

    const bool focused = p.focused == &memo;
    Clipped(c, field, [&] {
        for (int i = top; i < count && i - top <= visible; ++i)
            c.Text(field.Left + 1, field.Top + 1 + (i - top) * lineHeight,
                   lines[static_cast<std::size_t>(i)], TextColour(memo));
        const int last = std::max(count - 1, 0);
        if (!focused || last < top || last - top >= visible) return;
        const int x = field.Left + 1 + (count ? c.TextWidth(lines.back()) : 0);
        const int y = field.Top + 1 + (last - top) * lineHeight;
        c.Line(x, y, x, y + lineHeight - 1, TextColour(memo));
    });
}

void PaintComboBox(const TComboBox& box, const TRect& r, TPaint& p) {
    TXCanvas& c = p.canvas;
    const TRect field = EditField(c, r, true, box.Color());
    const int side = std::min(kScrollBarWidth, field.Width());
    const TRect button{field.Right - side, field.Top, field.Right, field.Bottom};
    c.FillRect(button, Rgb(clBtnFace));
    Raised(c, button);
    ScrollArrow(c, button, false, Rgb(box.Enabled() ? clBtnText : clGrayText));

    UseFont(c, box);
    const TRect text{field.Left, field.Top, button.Left, field.Bottom};
    const bool focused = p.focused == &box;
    const bool list = box.Style() == csDropDownList;
    Clipped(c, text, [&] {
        const int y = text.Top + (text.Height() - c.LineHeight()) / 2;
        std::uint32_t rgb = TextColour(box);
        if (focused && list) {
            c.FillRect(Inset(text, 1), Rgb(clHighlight));
            rgb = Rgb(clHighlightText);
        }
        c.Text(text.Left + 2, y, box.Text(), rgb);
        if (focused && list) c.DottedFrame(Inset(text, 1), Rgb(clHighlightText));
        if (focused && !list) {
            const int x = text.Left + 2 + c.TextWidth(box.Text());
            c.Line(x, y, x, y + c.LineHeight() - 1, rgb);
        }
    });
}

void PaintLabel(const TLabel& label, const TRect& r, TPaint& p) {
    TXCanvas& c = p.canvas;
    if (!label.Transparent()) c.FillRect(r, Rgb(label.Color()));
    UseFont(c, label);
    int underline = -1;
    const std::string text = StripAccelerator(label.Caption(), underline);
    const auto lines = LayoutLines(text, label.WordWrap() ? r.Width() : 0,
                                   [&](const std::string& s) { return c.TextWidth(s); });
    // The marked character is only found again on an unbroken caption.
    if (lines.size() != 1) underline = -1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int x = AlignedX(r, c.TextWidth(lines[i]), label.Alignment());
        c.Text(x, r.Top + static_cast<int>(i) * c.LineHeight(), lines[i], TextColour(label),
               underline);
    }
}

// ---- pictures -------------------------------------------------------------------

// The picture as 32-bit pixels, and which of them show (empty: all).
void PictureImage(const TGraphic& graphic, os::TPixelImage& image, std::vector<bool>& opaque) {
    const TBitmap* bitmap = dynamic_cast<const TBitmap*>(&graphic);
    const TBitmap* mask = nullptr;
    if (auto* icon = dynamic_cast<const TIcon*>(&graphic)) {
        bitmap = &icon->Image();
        mask = &icon->Mask();
    }
    if (!bitmap || bitmap->Empty()) return;
    const int w = bitmap->Width();
    const int h = bitmap->Height();
    image.Allocate(w, h);
    const bool keyed = !mask && graphic.Transparent();
    const TColor key = keyed ? ColorToRGB(bitmap->TransparentColor()) : clNone;
    if (mask || keyed) opaque.assign(static_cast<std::size_t>(w) * h, true);
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = image.Row(y);
        for (int x = 0; x < w; ++x) {
            const TColor colour = ColorToRGB(bitmap->Pixels(x, y));
            row[4 * x] = static_cast<std::uint8_t>(GetBValue(colour));
            row[4 * x + 1] = static_cast<std::uint8_t>(GetGValue(colour));
            row[4 * x + 2] = static_cast<std::uint8_t>(GetRValue(colour));
            const std::size_t at = static_cast<std::size_t>(y) * w + x;
            if (mask && ColorToRGB(mask->Pixels(x, y)) == clWhite) opaque[at] = false;
            if (keyed && colour == key) opaque[at] = false;
        }
    }
}

// Nearest-neighbour scaling, enough for the small pictures forms carry.
void Scale(os::TPixelImage& image, std::vector<bool>& opaque, int width, int height) {
    if (width == image.Width && height == image.Height) return;
    os::TPixelImage scaled;
    scaled.Allocate(width, height);
    std::vector<bool> scaledOpaque;
    if (!opaque.empty()) scaledOpaque.assign(static_cast<std::size_t>(width) * height, true);
    for (int y = 0; y < height; ++y) {
        const int sy = y * image.Height / height;
        for (int x = 0; x < width; ++x) {
            const int sx = x * image.Width / width;
            std::copy_n(image.Row(sy) + 4 * sx, 4, scaled.Row(y) + 4 * x);
            if (!opaque.empty())
                scaledOpaque[static_cast<std::size_t>(y) * width + x] =
                    opaque[static_cast<std::size_t>(sy) * image.Width + sx];
        }
    }
    image = std::move(scaled);
    opaque = std::move(scaledOpaque);
}

void PaintImage(const TImage& control, const TRect& r, TPaint& p) {
    const TGraphic* graphic = control.Picture()->Graphic();
    if (!graphic || graphic->Empty()) return;
    os::TPixelImage image;
    std::vector<bool> opaque;
    PictureImage(*graphic, image, opaque);
    if (image.Width == 0) return;
    int width = image.Width;
    int height = image.Height;
    const bool fit =
        control.Stretch() || (control.Proportional() && (width > r.Width() || height > r.Height()));
    if (fit && control.Proportional()) {
        // The whole picture in view, its proportions kept.
        const double scale = std::min(static_cast<double>(r.Width()) / width,
                                      static_cast<double>(r.Height()) / height);
        width = std::max(static_cast<int>(width * scale), 1);
        height = std::max(static_cast<int>(height * scale), 1);
    } else if (fit) {
        width = std::max(r.Width(), 1);
        height = std::max(r.Height(), 1);
    }
    Scale(image, opaque, width, height);
    int x = r.Left;
    int y = r.Top;
    if (control.Center()) {
        x += (r.Width() - width) / 2;
        y += (r.Height() - height) / 2;
    }
    p.canvas.Image(x, y, image, opaque.empty() ? nullptr : &opaque);
}

// ---- bevels and containers ------------------------------------------------------------

void PaintBevel(const TBevel& bevel, const TRect& r, TPaint& p) {
    TXCanvas& c = p.canvas;
    const bool lowered = bevel.Style() == bsLowered;
    const std::uint32_t first = Rgb(lowered ? clBtnShadow : clBtnHighlight);
    const std::uint32_t second = Rgb(lowered ? clBtnHighlight : clBtnShadow);
    switch (bevel.Shape()) {
        case bsBox:
            Edge(c, r, lowered ? clBtnShadow : clBtnHighlight,
                 lowered ? clBtnHighlight : clBtnShadow);
            break;
        case bsFrame:
            Outline(c, {r.Left, r.Top, r.Right - 1, r.Bottom - 1},
                    lowered ? clBtnShadow : clBtnHighlight);
            Outline(c, {r.Left + 1, r.Top + 1, r.Right, r.Bottom},
                    lowered ? clBtnHighlight : clBtnShadow);
            break;
        case bsTopLine:
            c.Line(r.Left, r.Top, r.Right - 1, r.Top, first);
            c.Line(r.Left, r.Top + 1, r.Right - 1, r.Top + 1, second);
            break;
        case bsBottomLine:
            c.Line(r.Left, r.Bottom - 2, r.Right - 1, r.Bottom - 2, first);
            c.Line(r.Left, r.Bottom - 1, r.Right - 1, r.Bottom - 1, second);
            break;
        case bsLeftLine:
            c.Line(r.Left, r.Top, r.Left, r.Bottom - 1, first);
            c.Line(r.Left + 1, r.Top, r.Left + 1, r.Bottom - 1, second);
            break;
        case bsRightLine:
            c.Line(r.Right - 2, r.Top, r.Right - 2, r.Bottom - 1, first);
            c.Line(r.Right - 1, r.Top, r.Right - 1, r.Bottom - 1, second);
            break;
        case bsSpacer:
            break;
    }
}

TRect PanelBevel(TXCanvas& c, TRect r, TBevelCut cut) {
    if (cut == bvNone) return r;
    if (cut == bvRaised) Edge(c, r, clBtnHighlight, clBtnShadow);
    if (cut == bvLowered) Edge(c, r, clBtnShadow, clBtnHighlight);
    return Inset(r, 1);
}

void PaintChildren(const TWinControl& parent, TPoint origin, const TRect& clip, TPaint& p);

void PaintControl(const TControl& control, const TRect& r, const TRect& clip, TPaint& p) {
    TXCanvas& c = p.canvas;
    if (auto* button = dynamic_cast<const TButton*>(&control)) return PaintButton(*button, r, p);
    if (auto* box = dynamic_cast<const TCheckBox*>(&control)) return PaintCheckBox(*box, r, p);
    if (auto* memo = dynamic_cast<const TMemo*>(&control)) return PaintMemo(*memo, r, p);
    if (auto* edit = dynamic_cast<const TCustomEdit*>(&control)) return PaintEdit(*edit, r, p);
    if (auto* combo = dynamic_cast<const TComboBox*>(&control)) return PaintComboBox(*combo, r, p);
    if (auto* label = dynamic_cast<const TLabel*>(&control)) return PaintLabel(*label, r, p);
    if (auto* image = dynamic_cast<const TImage*>(&control)) return PaintImage(*image, r, p);
    if (auto* bevel = dynamic_cast<const TBevel*>(&control)) return PaintBevel(*bevel, r, p);
    auto* container = dynamic_cast<const TWinControl*>(&control);
    if (!container) return;  // a graphic control of a kind drawn by nobody
    c.FillRect(r, Rgb(container->Color()));
    if (auto* panel = dynamic_cast<const TPanel*>(&control)) {
        const TRect inside =
            PanelBevel(c, PanelBevel(c, r, panel->BevelOuter()), panel->BevelInner());
        UseFont(c, *panel);
        Caption(c, Inset(inside, 2), panel->Caption(), TextColour(*panel), panel->Alignment());
    }
    PaintChildren(*container, {r.Left, r.Top}, clip, p);
}

void PaintChildren(const TWinControl& parent, TPoint origin, const TRect& clip, TPaint& p) {
    // Graphic controls first: windowed controls always lie over them.
    for (bool windowed : {false, true}) {
        for (int i = 0; i < parent.ControlCount(); ++i) {
            const TControl* child = parent.Controls(i);
            if (!child->Visible() ||
                (dynamic_cast<const TWinControl*>(child) != nullptr) != windowed)
                continue;
            const TRect r{origin.X + child->Left(), origin.Y + child->Top(),
                          origin.X + child->Left() + child->Width(),
                          origin.Y + child->Top() + child->Height()};
            const TRect childClip = Intersect(clip, r);
            if (IsEmpty(childClip)) continue;
            p.canvas.SetClip(childClip);
            PaintControl(*child, r, childClip, p);
        }
    }
    p.canvas.SetClip(clip);
}

TControl* HitChild(const TWinControl& parent, TPoint point) {
    for (bool windowed : {true, false}) {
        for (int i = parent.ControlCount() - 1; i >= 0; --i) {
            TControl* child = parent.Controls(i);
            auto* container = dynamic_cast<TWinControl*>(child);
            if (!child->Visible() || (container != nullptr) != windowed) continue;
            if (!child->BoundsRect().Contains(point)) continue;
            if (container) {
                if (TControl* inner =
                        HitChild(*container, {point.X - child->Left(), point.Y - child->Top()}))
                    return inner;
            }
            return child;
        }
    }
    return nullptr;
}

// The hint of the control under the pointer, in a box below the pointer
// that stays inside the window. Only the short part (before '|') shows.
void PaintHint(const TCustomForm& form, TXCanvas& c, const TFormView& view) {
    if (!view.HintControl || view.HintAlive.expired() || !view.HintControl->Showing()) return;
    const std::string text = view.HintControl->Hint().substr(0, view.HintControl->Hint().find('|'));
    if (text.empty()) return;
    UseFont(c, form);
    const int width = c.TextWidth(text) + 2 * kHintPadding;
    const int height = c.LineHeight() + 2 * kHintPadding;
    const int left = std::max(0, std::min(view.HintAt.X, c.Width() - width));
    int top = view.HintAt.Y + kHintBelowPointer;
    if (top + height > c.Height()) top = std::max(0, view.HintAt.Y - height - 2);
    const TRect box{left, top, left + width, top + height};
    c.FillRect(box, Rgb(clInfoBk));
    Outline(c, box, clInfoText);
    c.Text(left + kHintPadding, top + kHintPadding, text, Rgb(clInfoText));
}

}  // namespace

void PaintForm(const TCustomForm& form, TXCanvas& canvas, TFormView& view) {
    const TRect all{0, 0, canvas.Width(), canvas.Height()};
    canvas.SetClip(all);
    canvas.FillRect(all, Rgb(form.Color()));
    const TWinControl* focused = form.Active() ? form.FocusedControl() : nullptr;
    const TButton* framed = dynamic_cast<const TButton*>(focused);
    if (!framed) framed = form.DefaultButton();
    TPaint paint{canvas, view, focused, framed};
    PaintChildren(form, {0, 0}, all, paint);
    PaintHint(form, canvas, view);
}

const TControl* HintControlAt(const TCustomForm& form, TPoint point) {
    for (const TControl* c = ControlAtPoint(form, point); c; c = c->Parent())
        if (!c->Hint().empty()) return c->ShowHint() ? c : nullptr;
    return nullptr;
}

TControl* ControlAtPoint(const TCustomForm& form, TPoint point) {
    return HitChild(form, point);
}

TRect ClientRectOf(const TControl& control) {
    int left = control.Left();
    int top = control.Top();
    for (const TWinControl* parent = control.Parent();
         parent && !dynamic_cast<const TCustomForm*>(parent); parent = parent->Parent()) {
        left += parent->Left();
        top += parent->Top();
    }
    return {left, top, left + control.Width(), top + control.Height()};
}

}  // namespace zr
