// Tour stop: a folder change log on a scratch folder reports each change the
// tour makes there, as the event reaches the main thread.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Tour.h"
#include "framework/Thread.h"
#include "watchers/LogFile.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/zrdemo-watched-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    return dir;
}

// Serves the main thread's side of the worker's reports for a moment, so the
// events of one step are printed before the next step is made.
void ServeReports(std::chrono::milliseconds period) {
    const auto end = Clock::now() + period;
    while (Clock::now() < end) zr::TThread::CheckSynchronize(10);
}

void ShowFileLog(std::ostream& out) {
    const std::string dir = ScratchFolder();
    zr::TComponent form(nullptr);
    auto* log = new zr::TKVFileLog(&form);
    log->SetName("FolderLog");
    log->SetFolder(dir);
    log->SetOptions({zr::foFile, zr::foFolder, zr::foAttributes, zr::foSize, zr::foTime,
                     zr::foWatchSubFolders});
    auto changed = Clock::now();
    log->SetOnFileNotification(
        zr::TFileNotifyEvent::FromFunction([&](zr::TObject*, zr::TFileNotificationOption action) {
            std::chrono::duration<double, std::milli> after = Clock::now() - changed;
            std::ostringstream line;  // keeps `out`'s number format as it was
            line << "    " << zr::GetEnumName(zr::EnumInfo<zr::TFileNotificationOption>(), action)
                 << ", " << std::fixed << std::setprecision(1) << after.count()
                 << " ms after the change\n";
            out << line.str();
        }));
    log->SetActive(true);
    out << "FolderLog watches " << dir << " and every folder below it.\n";

    const std::vector<std::pair<std::string, std::function<void()>>> steps = {
        {"create notes.txt with some text", [&] { std::ofstream(dir + "/notes.txt") << "first"; }},
        {"rename it to todo.txt",
         [&] { std::filesystem::rename(dir + "/notes.txt", dir + "/todo.txt"); }},
        {"append to todo.txt", [&] { std::ofstream(dir + "/todo.txt", std::ios::app) << " more"; }},
        {"make it read-only", [&] { ::chmod((dir + "/todo.txt").c_str(), 0444); }},
        {"make the subfolder archive",
         [&] { std::filesystem::create_directory(dir + "/archive"); }},
        {"create archive/old.txt", [&] { std::ofstream(dir + "/archive/old.txt") << "kept"; }},
        {"delete todo.txt", [&] { std::filesystem::remove(dir + "/todo.txt"); }},
        {"delete the subfolder with its file",
         [&] { std::filesystem::remove_all(dir + "/archive"); }},
    };
    for (const auto& [what, make] : steps) {
        out << "  " << what << ":\n";
        changed = Clock::now();
        make();
        ServeReports(std::chrono::milliseconds(150));
    }
    log->SetActive(false);
    out << "FolderLog is inactive; nothing more is reported.\n";
    std::filesystem::remove_all(dir);
}

const bool registered = zrdemo::AddStop(
    {"Folder change log: changes in a folder reported on the main thread", ShowFileLog, 60});

}  // namespace
