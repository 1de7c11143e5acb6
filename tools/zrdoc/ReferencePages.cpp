#include "tools/zrdoc/ReferencePages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

TPage MakePage(const TClassInfo& cls, const THeaderText& headers) {
    return {cls.Name, "components/" + cls.Name + ".md",
            ReferenceTables(cls, AlsoDocumented(cls.Name), headers)};
}

// The tools whose pages carry their --help, and where the build put them
// ("name=path,name=path", from the build).
std::vector<std::pair<std::string, std::string>> ToolPrograms() {
    std::vector<std::pair<std::string, std::string>> tools;
    std::stringstream list(ZR_TOOL_PROGRAMS);
    for (std::string entry; std::getline(list, entry, ',');) {
        const size_t equals = entry.find('=');
        if (equals != std::string::npos)
            tools.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    return tools;
}

// What `program --help` prints on standard output; raises when it fails.
std::string HelpText(const std::string& program) {
    FILE* pipe = ::popen(("'" + program + "' --help 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) throw EInOutError("Cannot run " + program);
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    const int status = ::pclose(pipe);
    if (status != 0 || text.empty())
        throw EInOutError(program + " --help failed (status " + std::to_string(status) + ")");
    return text;
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

// The framework classes an application touches, each with the base classes
// whose members its page lists as well.
const std::vector<std::vector<std::string>> kFrameworkClasses = {
    {"TApplication"}, {"TForm", "TCustomForm"}, {"TThread"}, {"TRegistry"}, {"TStrings"}};

std::vector<TPage> FrameworkPages(const std::string& docsDir) {
    const THeaderText headers(docsDir + "/..");
    std::vector<TPage> pages;
    for (const auto& lineage : kFrameworkClasses) {
        const std::string& name = lineage.front();
        std::string text = "Declared in `<zoririve/" + headers.HeaderOf(name) + ">`.\n\n";
        if (const TClassInfo* cls = GetClass(name); cls && !cls->AllProperties().empty())
            text += ReferenceTables(*cls, {}, headers, false) + "\n";
        for (size_t i = 0; i < lineage.size(); ++i)
            text += (i == 0 ? "" : "\n") + MemberList(lineage[i], headers);
        pages.push_back({name, "framework/" + name + ".md", text});
    }
    return pages;
}

std::vector<TPage> ComponentPages(const std::string& docsDir) {
    // The docs folder sits at the top of the source tree, beside the headers.
    const THeaderText headers(docsDir + "/..");
    std::vector<TPage> pages{MakePage(FindClass("TKVLogBase"), headers)};
    for (const TPalettePage& palette : PaletteRegistry().Pages())
        for (const TClassInfo* cls : palette.Classes) pages.push_back(MakePage(*cls, headers));
    return pages;
}

std::string ToolBeginMarker(const std::string& tool) {
    return "<!-- Generated from `" + tool +
           " --help` by `zrdoc update docs`; do not edit below. -->\n";
}

std::vector<TPage> ToolPages() {
    std::vector<TPage> pages;
    for (const auto& [tool, program] : ToolPrograms()) {
        const std::string help = HelpText(program);
        pages.push_back(
            {tool, "tools/" + tool + ".md", "```text\n" + help + "```\n", ToolBeginMarker(tool)});
    }
    return pages;
}

std::string SpliceGenerated(const std::string& page, const std::string& generated,
                            const std::string& beginMarker) {
    const size_t begin = page.find(beginMarker);
    const size_t end = page.find(kEndMarker);
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        throw EParserError("the page has no generated part between its two marker lines");
    const size_t from = begin + beginMarker.size();
    return page.substr(0, from) + "\n" + generated + "\n" + page.substr(end);
}

// Every page zrdoc keeps: the components' and the tools'.
std::vector<TPage> AllPages(const std::string& docsDir) {
    std::vector<TPage> pages = ComponentPages(docsDir);
    for (TPage& page : FrameworkPages(docsDir)) pages.push_back(std::move(page));
    for (TPage& page : ToolPages()) pages.push_back(std::move(page));
    return pages;
}

// The events in a page's generated tables that its hand-written part never
// names (as `OnX`): a page must say what each handler's parameters mean.
std::vector<std::string> UndescribedEvents(const std::string& page, const TPage& generated) {
    const std::string handWritten = page.substr(0, page.find(generated.BeginMarker));
    std::vector<std::string> missing;
    std::istringstream lines(generated.Generated);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("| On", 0) != 0) continue;
        const std::string event = line.substr(2, line.find(' ', 2) - 2);
        if (handWritten.find("`" + event + "`") == std::string::npos &&
            std::find(missing.begin(), missing.end(), event) == missing.end())
            missing.push_back(event);
    }
    return missing;
}

std::vector<std::string> CheckPages(const std::string& docsDir) {
    std::vector<std::string> problems;
    for (const TPage& page : AllPages(docsDir)) {
        const std::string file = docsDir + "/" + page.File;
        std::string text;
        if (!ReadText(file, text)) {
            problems.push_back(file + ": missing");
            continue;
        }
        try {
            if (SpliceGenerated(text, page.Generated, page.BeginMarker) != text)
                problems.push_back(file + ": out of date with the type information or --help");
            // The components' pages explain every event; the framework's
            // classes explain theirs in the member list.
            if (page.File.rfind("components/", 0) != 0) continue;
            for (const std::string& event : UndescribedEvents(text, page))
                problems.push_back(file + ": " + event + " is not described above the tables");
        } catch (const Exception& e) {
            problems.push_back(file + ": " + e.Message());
        }
    }
    return problems;
}

std::vector<std::string> UpdatePages(const std::string& docsDir) {
    std::vector<std::string> changed;
    for (const TPage& page : AllPages(docsDir)) {
        const std::string file = docsDir + "/" + page.File;
        std::string text;
        if (!ReadText(file, text))
            text = "# " + page.ClassName + "\n\n" + page.BeginMarker + kEndMarker;
        const std::string updated = SpliceGenerated(text, page.Generated, page.BeginMarker);
        if (updated == text) continue;
        WriteText(file, updated);
        changed.push_back(file);
    }
    return changed;
}

}  // namespace zr::doc
