#include "tools/zrdoc/ReferencePages.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
// leaves the old page, never half of a new one. The new file is made afresh
// (a link planted under its name is removed, not followed).
void WriteText(const std::string& file, const std::string& text) {
    const std::string temporary = file + ".zrdoc-new";
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw EFCreateError("Cannot create file \"" + temporary + "\"");
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const bool closed = ::close(fd) == 0;
    if (written != text.size() || !closed || std::rename(temporary.c_str(), file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw EWriteError("Cannot write file \"" + file + "\"");
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
