// zrdesign: the designer for a terminal. Loads the component package, shows
// its palette page, and makes form files with its components.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "framework/Exceptions.h"
#include "framework/SysUtils.h"
#include "tools/zrdesign/FormDesign.h"
#include "tools/zrdesign/PackageLoader.h"
#include "tools/zrdesign/PalettePicture.h"
#include "tools/common/Version.h"

namespace {

using namespace zr;

const char kUsage[] =
    "usage: zrdesign [--package <library>] <command> ...\n"
    "\n"
    "commands:\n"
    "  palette [--png <file>]\n"
    "      prints each palette page's name, then its component classes one a line, in\n"
    "      order; with --png also draws the pages' pictures into a PNG file\n"
    "  new <form file> [<class>[:<name>]...]\n"
    "      makes a new form (Form1) with components of the given classes and saves it\n"
    "  add <form file> <class>[:<name>]...\n"
    "      places components on a form and saves it\n"
    "  set <form file> <component> <property> <value>\n"
    "      sets a published property (sub-objects as SendTo.EMail; sets as \"[a, b]\";\n"
    "      enumeration values and True/False by name) and saves the form; the file keeps\n"
    "      only what differs from the defaults\n"
    "  props <form file> <component>\n"
    "      lists the component's published properties with their values and defaults\n"
    "  list <form file>\n"
    "      lists the form's components and their classes\n"
    "\n"
    "  --package <library>  the package to load (default: libVEDevE2006.so.0 beside\n"
    "                       the run-time)\n"
    "  --help               this text\n"
    "  --version            the suite's version\n"
    "\n"
    "Exit status: 0 on success, 1 on a failure (said on standard error), 2 for a\n"
    "command line that cannot be followed.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int Palette(const design::TPackage& package, const std::vector<std::string>& args) {
    std::string png;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--png" && i + 1 < args.size())
            png = args[++i];
        else
            return Usage();
    }
    for (const TPalettePage& page : PaletteRegistry().Pages()) {
        std::printf("%s\n", page.Name.c_str());
        for (const TClassInfo* cls : page.Classes) std::printf("%s\n", cls->Name.c_str());
    }
    if (!png.empty())
        for (const TPalettePage& page : PaletteRegistry().Pages())
            design::WritePalettePng(page, package.Instance, png);
    return 0;
}

void Place(TComponent& form, const std::string& placement) {
    const size_t colon = placement.find(':');
    const TComponent* placed =
        design::PlaceComponent(form, placement.substr(0, colon),
                               colon == std::string::npos ? "" : placement.substr(colon + 1));
    std::printf("%s: %s\n", placed->Name().c_str(), placed->ClassName().c_str());
}

TComponent& Component(TComponent& form, const std::string& name) {
    TComponent* component = form.FindComponent(name);
    if (component == nullptr) throw EComponentError("The form has no component " + name);
    return *component;
}

int FormCommand(const std::string& command, const std::vector<std::string>& args) {
    if (args.empty()) return Usage();
    design::TDesignSession session;
    const std::string& file = args[0];
    if (command == "new") {
        if (FileExists(file)) throw EFCreateError(file + " exists already");
    } else if (!FileExists(file)) {
        throw EFOpenError("Cannot open file \"" + file + "\"");
    }
    TComponent& form = session.OpenForm(file);
    if (command == "new" || command == "add") {
        if (command == "add" && args.size() < 2) return Usage();
        for (size_t i = 1; i < args.size(); ++i) Place(form, args[i]);
        session.SaveForm(file);
    } else if (command == "set") {
        if (args.size() != 4) return Usage();
        design::SetProperty(Component(form, args[1]), args[2], args[3]);
        session.SaveForm(file);
    } else if (command == "props") {
        if (args.size() != 2) return Usage();
        for (const std::string& line : design::DescribeProperties(Component(form, args[1])))
            std::printf("%s\n", line.c_str());
    } else if (command == "list") {
        for (int i = 0; i < form.ComponentCount(); ++i)
            std::printf("%s: %s\n", form.Components(i)->Name().c_str(),
                        form.Components(i)->ClassName().c_str());
    } else {
        return Usage();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string packagePath;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") return tools::PrintVersion("zrdesign");
    if (args.size() >= 2 && args[0] == "--package") {
        packagePath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return Usage();
    try {
        const design::TPackage package =
            design::LoadPackage(packagePath.empty() ? design::DefaultPackagePath() : packagePath);
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "palette") return Palette(package, args);
        return FormCommand(command, args);
    } catch (const Exception& e) {
        std::fprintf(stderr, "zrdesign: %s\n", e.Message().c_str());
        return 1;
    }
}
