// zrdoc: generates the tables of the component reference pages from the
// type information and the usage of the tool pages from each tool's --help,
// and checks that the checked-in pages still match both.
#include <cstdio>
#include <string>
#include <vector>

#include "framework/Exceptions.h"
#include "framework/TypeInfo.h"
#include "tools/zrdoc/ReferencePages.h"
#include "tools/zrdoc/ReferenceTables.h"
#include "tools/common/Version.h"

extern "C" void Register();

namespace {

const char kUsage[] =
    "usage: zrdoc <command> ...\n"
    "\n"
    "commands:\n"
    "  print <class>       prints the generated tables of a class's page\n"
    "  check <docs folder> exits 1, naming each page that is missing or whose\n"
    "                      generated part differs from the type information (the\n"
    "                      components) or from the tool's --help (the tools)\n"
    "  update <docs folder> rewrites the generated part of every page\n"
    "  --help | --version\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") return zr::tools::PrintVersion("zrdoc");
    if (args.size() != 2) return Usage();
    try {
        // The palette (which classes get a page, in which order) is what the
        // package registers, exactly as the designer sees it.
        Register();
        if (args[0] == "print") {
            const zr::doc::THeaderText headers(ZR_SOURCE_DIR);
            std::fputs(zr::doc::ReferenceTables(zr::FindClass(args[1]), {}, headers).c_str(),
                       stdout);
            return 0;
        }
        if (args[0] == "check") {
            const auto problems = zr::doc::CheckPages(args[1]);
            for (const std::string& problem : problems)
                std::fprintf(stderr, "%s\n", problem.c_str());
            if (!problems.empty())
                std::fprintf(stderr, "zrdoc: run `zrdoc update %s` and review the pages\n",
                             args[1].c_str());
            return problems.empty() ? 0 : 1;
        }
        if (args[0] == "update") {
            for (const std::string& file : zr::doc::UpdatePages(args[1]))
                std::printf("updated %s\n", file.c_str());
            return 0;
        }
        return Usage();
    } catch (const zr::Exception& e) {
        std::fprintf(stderr, "zrdoc: %s\n", e.Message().c_str());
        return 1;
    }
}
