// The component reference pages under docs/components: one per palette
// component and one for the log base. Each page is written by hand except
// for the part between two marker lines, which zrdoc generates.
#pragma once

#include <string>
#include <vector>

namespace zr::doc {

extern const char kBeginMarker[];
extern const char kEndMarker[];

struct TPage {
    std::string ClassName;
    std::string File;  // relative to the docs folder
    std::string Generated;
};

// The log base, then the registered palette in palette order.
std::vector<TPage> ComponentPages();

// `page` with its generated part replaced by `generated`. Raises
// EParserError when the markers are missing or out of order: the hand
// written text around them must never be overwritten by guesswork.
std::string SpliceGenerated(const std::string& page, const std::string& generated);

// Problems with the checked-in pages, one line each ("" when current).
std::vector<std::string> CheckPages(const std::string& docsDir);
// Rewrites the generated part of each page (a missing page is started with
// its heading); returns the files that changed.
std::vector<std::string> UpdatePages(const std::string& docsDir);

}  // namespace zr::doc
