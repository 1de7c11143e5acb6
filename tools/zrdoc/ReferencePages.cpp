#include "tools/zrdoc/ReferencePages.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "framework/Classes.h"
#include "framework/Exceptions.h"
#include "framework/TypeInfo.h"
#include "tools/zrdoc/ReferenceTables.h"

namespace zr::doc {

const char kBeginMarker[] =
    "<!-- Generated from the type information by `zrdoc update docs`; do not edit below. -->\n";
const char kEndMarker[] = "<!-- End of the generated part. -->\n";

namespace {

// The check providers live in the processor's Providers collection, which
// names no item class; their tables belong on the processor's page.
std::vector<const TClassInfo*> AlsoDocumented(const std::string& className) {
    if (className != "TKVLCheckProcessor") return {};
    std::vector<const TClassInfo*> providers;
    for (const char* name : {"TKVLCheckProviderEdit", "TKVLCheckProviderNumericEdit",
                             "TKVLCheckProviderCheckbox", "TKVLCheckProviderCombobox"})
        providers.push_back(&FindClass(name));
    return providers;
}

TPage MakePage(const TClassInfo& cls) {
    return {cls.Name, "components/" + cls.Name + ".md",
            ReferenceTables(cls, AlsoDocumented(cls.Name))};
}

bool ReadText(const std::string& file, std::string& text) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

// Written beside the page and renamed over it, so that an interrupted run
// leaves the old page, never half of a new one.
void WriteText(const std::string& file, const std::string& text) {
    const std::string temporary = file + ".zrdoc-new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !(out << text) || !out.flush())
            throw EFCreateError("Cannot create file \"" + temporary + "\"");
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw EFCreateError("Cannot replace file \"" + file + "\"");
    }
}

}  // namespace

std::vector<TPage> ComponentPages() {
    std::vector<TPage> pages{MakePage(FindClass("TKVLogBase"))};
    for (const TPalettePage& palette : PaletteRegistry().Pages())
        for (const TClassInfo* cls : palette.Classes) pages.push_back(MakePage(*cls));
    return pages;
}

std::string SpliceGenerated(const std::string& page, const std::string& generated) {
    const size_t begin = page.find(kBeginMarker);
    const size_t end = page.find(kEndMarker);
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        throw EParserError("the page has no generated part between its two marker lines");
    const size_t from = begin + sizeof(kBeginMarker) - 1;
    return page.substr(0, from) + "\n" + generated + "\n" + page.substr(end);
}

std::vector<std::string> CheckPages(const std::string& docsDir) {
    std::vector<std::string> problems;
    for (const TPage& page : ComponentPages()) {
        const std::string file = docsDir + "/" + page.File;
        std::string text;
        if (!ReadText(file, text)) {
            problems.push_back(file + ": missing");
            continue;
        }
        try {
            if (SpliceGenerated(text, page.Generated) != text)
                problems.push_back(file + ": out of date with the type information");
        } catch (const Exception& e) {
            problems.push_back(file + ": " + e.Message());
        }
    }
    return problems;
}

std::vector<std::string> UpdatePages(const std::string& docsDir) {
    std::vector<std::string> changed;
    for (const TPage& page : ComponentPages()) {
        const std::string file = docsDir + "/" + page.File;
        std::string text;
        if (!ReadText(file, text))
            text = "# " + page.ClassName + "\n\n" + kBeginMarker + kEndMarker;
        const std::string updated = SpliceGenerated(text, page.Generated);
        if (updated == text) continue;
        WriteText(file, updated);
        changed.push_back(file);
    }
    return changed;
}

}  // namespace zr::doc
