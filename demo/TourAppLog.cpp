// Tour stop: an application event log on a form writes the application's
// idle time, the hints the mouse brings up, the focus moving between fields
// and a change of the system's settings to its log file, each from its own
// event handler through WriteAsString.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "Tour.h"
#include "applog/LogApp.h"
#include "framework/Application.h"
#include "framework/Forms.h"
#include "framework/SettingsWatcher.h"
#include "framework/StdCtrls.h"

namespace {

using namespace zr;

std::string ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/zrdemo-applog-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    return dir;
}

// The form of the stop: two fields with hints and the log with handlers
// that write what happened.
class TOrderForm : public TForm {
  public:
    explicit TOrderForm(TComponent* owner) : TForm(owner) {
        SetCaption("Order");
        SetShowHint(true);
        customer = AddField("edtCustomer", 8, "Customer|The customer who orders");
        amount = AddField("edtAmount", 40, "Amount|The amount ordered, in units");
        appLog = new TKVAppLog(this);
        appLog->SetName("AppLog");
        appLog->SetOnIdle(TIdleEvent(this, &TOrderForm::AppLogIdle));
        appLog->SetOnHint(TNotifyEvent(this, &TOrderForm::AppLogHint));
        appLog->SetOnActiveControlChange(TNotifyEvent(this, &TOrderForm::AppLogFocus));
        appLog->SetOnSettingsChanged(TNotifyEvent(this, &TOrderForm::AppLogSettings));
    }

    void AppLogIdle(TObject*, bool& done) {
        if (!idleLogged) appLog->WriteAsString("[idle] the message queue is empty\r\n");
        idleLogged = true;
        done = false;  // the tour drives the loop itself and must not wait
    }
    void AppLogHint(TObject*) {
        if (!Application->Hint().empty())
            appLog->WriteAsString("[hint] " + Application->Hint() + "\r\n");
    }
    void AppLogFocus(TObject*) {
        TWinControl* control = Screen->ActiveControl();
        appLog->WriteAsString("[focus] " + (control ? control->Name() : std::string("none")) +
                              "\r\n");
    }
    void AppLogSettings(TObject* sender) {
        appLog->WriteAsString("[settings] changed, reported by " + sender->ClassName() + "\r\n");
        ++settingsChanges;
    }

    TEdit* customer = nullptr;
    TEdit* amount = nullptr;
    TKVAppLog* appLog = nullptr;
    bool idleLogged = false;
    int settingsChanges = 0;

  private:
    TEdit* AddField(const char* name, int top, const char* hint) {
        auto* edit = new TEdit(this);
        edit->SetName(name);
        edit->SetParent(this);
        edit->SetBounds(8, top, 200, 21);
        edit->SetHint(hint);
        return edit;
    }
};

void ShowAppLog(std::ostream& out) {
    const std::string folder = ScratchFolder();
    TOrderForm form(nullptr);
    form.appLog->SetLogFile(folder + "/appevents.log");
    form.appLog->ClearLog();

    form.Show();                                             // the first field takes the focus
    form.PressKey(VK_TAB);                                   // Tab to the amount
    Application->HintMouseMessage(form.customer, {20, 10});  // the mouse over the customer
    Application->HandleMessage();                            // nothing to do: the loop idles

    // The system's time zone file is replaced (here: one the tour watches).
    const std::string zoneFolder = folder + "/etc";
    std::filesystem::create_directories(zoneFolder);
    Application->SetSettingsWatches({{zoneFolder, {"localtime"}, "TimeZone"}});
    std::ofstream(zoneFolder + "/localtime") << "Europe/Vienna\n";
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (form.settingsChanges == 0 && std::chrono::steady_clock::now() < limit) {
        Application->ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Application->SetSettingsWatches(TSettingsWatcher::SystemWatches());
    form.Hide();

    out << "The form's AppLog wrote to " << form.appLog->LogFile() << ":\n";
    std::ifstream in(form.appLog->LogFile(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out << "  | " << line << "\n";
    }
    in.close();
    std::filesystem::remove_all(folder);
}

const bool registered = zrdemo::AddStop(
    {"Application event log: idle time, hints, focus and a settings change in a log", ShowAppLog,
     60});

}  // namespace
