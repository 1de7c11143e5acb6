// Text as controls show it: captions whose '&' marks the character that is
// underlined, and text broken into lines at its breaks and, when a control
// wraps, at the spaces that keep each line within its width.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zr {

// A caption without its accelerator marks ("&&" keeps one '&'); `underline`
// receives the code point index of the marked character, or -1.
std::string StripAccelerator(const std::string& caption, int& underline);

// `text` split at its line breaks (CR LF, CR or LF) and, with `wrapWidth`
// above 0, at spaces so that no line is wider than that as `measure` says
// (a word wider than the whole width is broken between characters).
std::vector<std::string> LayoutLines(const std::string& text, int wrapWidth,
                                     const std::function<int(const std::string&)>& measure);

}  // namespace zr
