// Tour stop: a log component mails its log, with a screenshot, through the
// mail provider that ZORIRIVE_MAIL chooses (client, sendmail or
// outbox:<folder>). Without a choice the mail goes to an outbox folder of
// the tour's own, so the tour never opens a mail client unasked.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "Tour.h"
#include "core/LogBase.h"
#include "framework/Dialogs.h"
#include "framework/Exceptions.h"
#include "framework/Forms.h"
#include "platform/MailProvider.h"
#include "platform/Process.h"

namespace zrdemo {
namespace {

namespace fs = std::filesystem;
using namespace zr;

// Shows what would be a message box in the tour's text.
class TPrintedDialogs : public TDialogPresenter {
  public:
    explicit TPrintedDialogs(std::ostream& out) : out_(out) {}
    TModalResult Show(const TMessageDialog& dialog) override {
        out_ << "  [" << dialog.Title << "] " << dialog.Text << "\n";
        return mrOk;
    }

  private:
    std::ostream& out_;
};

std::string ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrdemo-mail-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw EFCreateError("Cannot create a folder for the tour's mail under " + pattern);
    return pattern;
}

// The outbox folder that the mail will be in, or empty for the other providers.
std::string OutboxOf(const std::string& setting) {
    if (setting == "outbox") return os::DefaultOutboxFolder();
    if (setting.rfind("outbox:", 0) == 0) return setting.substr(7);
    return {};
}

std::set<fs::path> MailsIn(const std::string& folder) {
    std::set<fs::path> mails;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.path().extension() == ".eml") mails.insert(entry.path());
    return mails;
}

std::set<fs::path> ScreenshotsIn(const std::string& folder) {
    std::set<fs::path> shots;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.path().filename().string().rfind("KVL", 0) == 0) shots.insert(entry.path());
    return shots;
}

void PrintMail(const fs::path& mail, std::ostream& out) {
    std::error_code error;
    out << "  " << mail.string() << " (" << fs::file_size(mail, error) << " bytes)\n";
    std::ifstream in(mail);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("To:", 0) == 0 || line.rfind("Cc:", 0) == 0 ||
            line.rfind("Subject:", 0) == 0 || line.find("filename=") != std::string::npos)
            out << "    " << line << "\n";
    }
}

void ShowMail(std::ostream& out) {
    const std::string scratch = ScratchFolder();
    const char* chosen = std::getenv("ZORIRIVE_MAIL");
    std::string setting = chosen ? chosen : "";
    std::unique_ptr<os::TScopedMailProvider> ownOutbox;
    if (setting.empty()) {
        setting = "outbox:" + scratch + "/outbox";
        ownOutbox =
            std::make_unique<os::TScopedMailProvider>(os::MakeOutboxProvider(scratch + "/outbox"));
    }
    const std::string outbox = OutboxOf(setting);
    const std::string kind = os::MailProvider()->Kind();
    out << "Mail goes to ZORIRIVE_MAIL=" << setting << " (the " << kind << " provider)\n";
    if (kind == "client" && os::FindProgram("xdg-email").empty())
        out << "This machine has no xdg-email: the mail client cannot be reached.\n";

    TComponent form(nullptr);
    auto* log = new TKVLogBase(&form);  // the form frees it
    log->SetName("SupportLog");
    log->SetLogFile(scratch + "/kvevents.log");
    log->WriteAsString("[tour] the order screen stopped responding\r\n");
    log->WriteAsString("[tour] retried twice, gave up\r\n");
    TKVLSendTo& sendTo = *log->SendTo();
    sendTo.SetEMail("support@example.org;CC:qa@example.org");
    sendTo.SetEMailSubject("Log of the order screen");
    sendTo.SetAttachLog(true);
    out << "SupportLog mails " << log->LogFile() << " and a " << Screen->Width() << " x "
        << Screen->Height() << " screenshot to " << sendTo.EMail() << "\n";

    const std::string temp = fs::temp_directory_path().string();
    const std::set<fs::path> shotsBefore = ScreenshotsIn(temp);
    const std::set<fs::path> mailsBefore = outbox.empty() ? std::set<fs::path>() : MailsIn(outbox);
    const auto saved = SetDialogPresenter(std::make_shared<TPrintedDialogs>(out));
    try {
        log->SendLogByMail();
    } catch (...) {
        SetDialogPresenter(saved);
        throw;
    }
    SetDialogPresenter(saved);

    const std::set<fs::path> shotsAfter = ScreenshotsIn(temp);
    const bool shotLeft = std::any_of(shotsAfter.begin(), shotsAfter.end(),
                                      [&](const fs::path& p) { return !shotsBefore.count(p); });
    out << "The screenshot's temporary file is " << (shotLeft ? "still there" : "gone") << ".\n";
    if (outbox.empty()) return;
    out << "New in the outbox:\n";
    for (const fs::path& mail : MailsIn(outbox))
        if (!mailsBefore.count(mail)) PrintMail(mail, out);
}

const bool registered = AddStop(
    {"Log delivery: a log mailed with a screenshot through the chosen provider", ShowMail, 20});

}  // namespace
}  // namespace zrdemo
