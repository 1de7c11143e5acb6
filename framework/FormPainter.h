// Draws a form and its controls from the model, in the classic raised and
// sunken look, and finds the control under a point. The model keeps every
// state; the only thing kept here is how far the user scrolled a memo, which
// belongs to the view and not to the memo's text.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "FormText.h"
#include "Geometry.h"
#include "../platform/X11Canvas.h"

namespace zr {

class TControl;
class TCustomForm;

struct TFormView {
    // The first line shown of each memo that was scrolled.
    std::unordered_map<const TControl*, int> MemoTopLine;
    // The control whose hint shows, and where the pointer came onto it.
    const TControl* HintControl = nullptr;
    std::weak_ptr<const void> HintAlive;
    TPoint HintAt;
};

// Paints the form's client area.
void PaintForm(const TCustomForm& form, os::TXCanvas& canvas, TFormView& view);

// The deepest visible control under `point` (client coordinates): windowed
// controls lie over the graphic ones beside them, later ones over earlier
// ones. nullptr when the point is on the form itself.
TControl* ControlAtPoint(const TCustomForm& form, TPoint point);

// The control whose hint shows for the pointer at `point`: the control
// under it, or the nearest of its parents that has a hint, when hints show
// there. nullptr: no hint.
const TControl* HintControlAt(const TCustomForm& form, TPoint point);

// The control's rectangle in the form's client coordinates.
TRect ClientRectOf(const TControl& control);

}  // namespace zr
