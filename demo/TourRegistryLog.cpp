// Tour stop: a registry change log hears another process add and delete a
// subkey of the key it watches.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "Tour.h"
#include "framework/Exceptions.h"
#include "framework/Thread.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "watchers/LogRegistry.h"

namespace {

using Clock = std::chrono::steady_clock;

// zrreg beside this program (build tree or installation), else on PATH.
std::string ZrregProgram() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        for (auto candidate :
             {self.parent_path() / "zrreg", self.parent_path().parent_path() / "tools/zrreg/zrreg"})
            if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return zr::os::FindProgram("zrreg");
}

// A temporary store for this stop, given back when the stop ends.
class TScratchStore {
  public:
    TScratchStore() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrdemo-registry-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw zr::EInOutError("Cannot make a temporary store");
        folder_ = pattern;
        if (const char* old = std::getenv("ZORIRIVE_REGISTRY")) saved_ = old, hadSaved_ = true;
        ::setenv("ZORIRIVE_REGISTRY", folder_.c_str(), 1);
    }
    ~TScratchStore() {
        if (hadSaved_)
            ::setenv("ZORIRIVE_REGISTRY", saved_.c_str(), 1);
        else
            ::unsetenv("ZORIRIVE_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const std::string& Folder() const { return folder_; }

  private:
    std::string folder_;
    std::string saved_;
    bool hadSaved_ = false;
};

void RunZrreg(std::ostream& out, const std::string& zrreg, std::vector<std::string> args) {
    std::string shown = "zrreg";
    for (const auto& arg : args) shown += " " + arg;
    out << "  $ " << shown << "\n";
    args.insert(args.begin(), zrreg);
    auto result = zr::os::RunProgram(args, nullptr, std::chrono::seconds(10));
    if (!result.Finished || result.ExitCode != 0)
        throw zr::Exception(shown + " failed (exit " + std::to_string(result.ExitCode) + ")");
}

// Serves the main thread's side of Synchronize until `events` reaches `count`.
bool AwaitEvents(const int& events, int count) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (events < count && Clock::now() < deadline) zr::TThread::CheckSynchronize(10);
    return events >= count;
}

// The watcher is armed a moment after activation, in its own thread.
void LetTheWatcherArm() {
    auto until = Clock::now() + std::chrono::milliseconds(200);
    while (Clock::now() < until) zr::TThread::CheckSynchronize(10);
}

void ShowRegistryLog(std::ostream& out) {
    const std::string zrreg = ZrregProgram();
    if (zrreg.empty()) {
        out << "zrreg was not found beside zrdemo or on PATH; this stop needs it.\n";
        return;
    }
    TScratchStore store;
    out << "A temporary registry store in " << store.Folder() << ".\n";

    zr::TComponent form(nullptr);
    auto* log = new zr::TKVRegistryLog(&form);  // the form frees it
    log->SetRootKey(zr::os::HKEY_CURRENT_USER);
    log->SetKey("Software\\ZoririveDemo");
    int events = 0;
    log->SetOnRegistryNotification(zr::TNotifyEvent::FromFunction([&](zr::TObject*) {
        ++events;
        out << "  OnRegistryNotification #" << events << " on the main thread\n";
    }));

    RunZrreg(out, zrreg, {"add", "HKCU\\Software\\ZoririveDemo"});
    log->SetActive(true);
    out << "The registry log watches HKEY_CURRENT_USER\\Software\\ZoririveDemo "
           "for subkeys added or deleted.\n";
    LetTheWatcherArm();
    RunZrreg(out, zrreg, {"add", "HKCU\\Software\\ZoririveDemo\\Child"});
    if (!AwaitEvents(events, 1)) out << "  (no event came)\n";
    LetTheWatcherArm();
    RunZrreg(out, zrreg, {"set", "HKCU\\Software\\ZoririveDemo", "Greeting", "sz", "hello"});
    RunZrreg(out, zrreg, {"delete", "HKCU\\Software\\ZoririveDemo\\Child"});
    if (!AwaitEvents(events, 2)) out << "  (no event came)\n";
    out << "Setting a value raised nothing: the default options watch subkeys and "
           "attributes only.\n";
    log->SetActive(false);
}

const bool registered = zrdemo::AddStop(
    {"Registry change log: another process changes the watched key", ShowRegistryLog, 70});

}  // namespace
