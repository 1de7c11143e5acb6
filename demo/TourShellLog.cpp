// Tour stop: a shell change log on a scratch folder and its subfolders shows
// what happens there, with the paths involved, and answers the end of the
// session.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "Tour.h"
#include "framework/Application.h"
#include "framework/MessageQueue.h"
#include "framework/SessionEnd.h"
#include "watchers/LogShell.h"

namespace {

namespace fs = std::filesystem;

// Runs the application's queue until `count` events were printed, or a
// second has passed.
void RunQueueUntil(const int& printed, int count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (printed < count && std::chrono::steady_clock::now() < end) {
        zr::Application->ProcessMessages();
        zr::WaitMessageTimeout(10);
    }
}

void ShowShellLog(std::ostream& out) {
    const fs::path folder =
        fs::temp_directory_path() / ("zrdemo-shell-" + std::to_string(::getpid()));
    fs::create_directories(folder / "reports");

    zr::TComponent form(nullptr);
    auto* log = new zr::TKVShellLog(&form);
    log->SetName("ShellLog");
    int printed = 0;
    auto one = [&](const char* what) {
        return zr::TKVLShellNotificationEvent1::FromFunction(
            [&, what](zr::TObject*, const std::string& path) {
                out << "  " << what << ": " << path << "\n";
                ++printed;
            });
    };
    auto two = [&](const char* what) {
        return zr::TKVLShellNotificationEvent2::FromFunction(
            [&, what](zr::TObject*, const std::string& from, const std::string& to) {
                out << "  " << what << ": " << from << " -> " << to << "\n";
                ++printed;
            });
    };
    log->SetOnFileCreate(one("OnFileCreate"));
    log->SetOnFileDelete(one("OnFileDelete"));
    log->SetOnFileRename(two("OnFileRename"));
    log->SetOnFolderCreate(one("OnFolderCreate"));
    log->SetOnEndSessionQuery(zr::TNotifyEvent::FromFunction([&](zr::TObject*) {
        out << "  OnEndSessionQuery: the application may save its work now\n";
    }));
    log->SetPath(folder.string());
    log->SetWatchSubTree(true);
    log->SetOptions({zr::lnFileCreate, zr::lnFileDelete, zr::lnFileRename, zr::lnFolderCreate,
                     zr::lnEndSessionQuery});
    log->SetActive(true);
    out << "ShellLog watches " << folder.string() << " and its subfolders (Active "
        << (log->Active() ? "True" : "False") << "):\n";

    std::ofstream(folder / "reports" / "draft.txt") << "quarterly figures";
    fs::rename(folder / "reports" / "draft.txt", folder / "reports" / "final.txt");
    fs::create_directory(folder / "archive");
    fs::remove(folder / "reports" / "final.txt");
    RunQueueUntil(printed, 4);

    out << "The session is about to end (as logind would announce it):\n";
    const bool mayEnd = zr::QueryEndSession();
    out << "  the application's windows answer: " << (mayEnd ? "the session may end" : "refused")
        << "\n";
    log->SetActive(false);
    fs::remove_all(folder);
}

const bool registered = zrdemo::AddStop(
    {"Shell change log: files and folders under a folder, and the end of the session", ShowShellLog,
     70});

}  // namespace
