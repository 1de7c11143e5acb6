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
    std::string ClassName;  // or the tool's name
    std::string File;       // relative to the docs folder
    std::string Generated;
    std::string BeginMarker = kBeginMarker;
};

// The line above a tool page's generated part, which is the tool's --help.
std::string ToolBeginMarker(const std::string& tool);

// The framework classes an application touches (docs/framework/): their
// published properties and public members, from the type information and
// the headers beside `docsDir`.
std::vector<TPage> FrameworkPages(const std::string& docsDir);
// The tools' pages: each one's usage as its --help prints it.
std::vector<TPage> ToolPages();
// The log base, then the registered palette in palette order; event
// parameters named as the headers beside `docsDir` declare them.
std::vector<TPage> ComponentPages(const std::string& docsDir);

// `page` with its generated part replaced by `generated`. Raises
// EParserError when the markers are missing or out of order: the hand
// written text around them must never be overwritten by guesswork.
std::string SpliceGenerated(const std::string& page, const std::string& generated,
                            const std::string& beginMarker = kBeginMarker);

// Problems with the checked-in pages (components and tools), one line each.
std::vector<std::string> CheckPages(const std::string& docsDir);
// Rewrites the generated part of each page (a missing page is started with
// its heading); returns the files that changed.
std::vector<std::string> UpdatePages(const std::string& docsDir);

}  // namespace zr::doc
