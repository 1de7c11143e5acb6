// Tour stop: the designer. zrdesign (a separate program, as a designer is)
// loads the package, shows its palette page, and makes a form file with a
// folder change log on it; the tour then reads that form as an application
// does, and the log it holds watches the folder the designer gave it.
#include <stdlib.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Tour.h"
#include "framework/FormReader.h"
#include "framework/SysUtils.h"
#include "framework/Thread.h"
#include "watchers/LogFile.h"

namespace zrdemo {
namespace {

using namespace zr;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// Runs zrdesign with `arguments` and returns what it printed; a failure ends
// the stop with zrdesign's own words.
std::string Designer(const std::string& arguments) {
    const std::string command = Quoted(ZR_ZRDESIGN) + " " + arguments + " 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) throw EOSError("zrdesign cannot be started");
    std::array<char, 4096> buffer;
    for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        output.append(buffer.data(), n);
    if (pclose(pipe) != 0) throw EOSError("zrdesign " + arguments + ": " + output);
    return output;
}

std::string Indented(const std::string& text) {
    std::istringstream lines(text);
    std::string result;
    for (std::string line; std::getline(lines, line);) result += "  " + line + "\n";
    return result;
}

std::string NewFolder(const char* name) {
    const char* temp = std::getenv("TMPDIR");
    std::string folder =
        std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/" + name + "-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) throw EInOutError("No folder for the designer stop");
    return folder;
}

void ShowDesigner(std::ostream& out) {
    const std::string folder = NewFolder("zrdemo-designer");
    const std::string watched = folder + "/watched";
    ForceDirectories(watched);
    const std::string formFile = folder + "/Watcher.dfm";

    out << "zrdesign palette:\n" << Indented(Designer("palette"));
    Designer("new " + Quoted(formFile) + " TKVFileLog:FolderLog");
    Designer("set " + Quoted(formFile) + " FolderLog Folder " + Quoted(watched));
    Designer("set " + Quoted(formFile) + " FolderLog Active True");
    std::ifstream in(formFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    out << "The form zrdesign wrote (only what differs from the defaults):\n"
        << Indented(text.str());

    std::unique_ptr<TComponent> form(ReadComponentFromText(text.str(), nullptr));
    auto* log = dynamic_cast<TKVFileLog*>(form->FindComponent("FolderLog"));
    if (log == nullptr) throw EReadError("The designed form has no folder log");
    bool heard = false;
    log->SetOnFileNotification(
        TFileNotifyEvent::FromFunction([&](TObject*, TFileNotificationOption action) {
            out << "  the folder log read from the form heard: "
                << GetEnumName(EnumInfo<TFileNotificationOption>(), action) << "\n";
            heard = true;
        }));
    out << "Read back as an application reads it; a file is made in " << watched << ":\n";
    std::ofstream(watched + "/order.txt") << "one order\n";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!heard && std::chrono::steady_clock::now() < end) TThread::CheckSynchronize(10);
    if (!heard) out << "  (no event within three seconds)\n";
}

const bool registered = AddStop(
    {"Designer: the palette page, a form made with zrdesign and read back", ShowDesigner, 200});

}  // namespace
}  // namespace zrdemo
