// The palette page as a person sees it: each component's picture, in the
// page's order, side by side, written as a PNG file.
#pragma once

#include <string>

#include "framework/Classes.h"
#include "framework/Resources.h"

namespace zr::design {

// Each picture is the bitmap resource of the package named after its class
// in capitals; `scale` enlarges the pixels. Raises EInvalidGraphic when a
// picture is missing, EFCreateError when the file cannot be written.
void WritePalettePng(const TPalettePage& page, HINSTANCE package, const std::string& file,
                     int scale = 2);

}  // namespace zr::design
