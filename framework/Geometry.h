// Points and rectangles in pixels: the platform's own, under the framework's
// names, so that windows and the form model measure alike.
#pragma once

#include "../platform/Geometry.h"

namespace zr {

using os::Intersect;
using os::TPoint;
using os::TRect;

}  // namespace zr
