// Tour stop: an application's unhandled exceptions, caught by the exception
// log that its main form holds. The form (and the log's settings) are read
// from a form file; four exceptions are raised from message handlers, so they
// reach the log the way they would in a running application: through the
// message loop and the application's exception handling.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tour.h"
#include "exception/LogDlg.h"
#include "exception/LogDlgTerminal.h"
#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/FormReader.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "framework/Resources.h"
#include "framework/StdCtrls.h"
#include "framework/SysUtils.h"
#include "platform/MailProvider.h"

namespace zrdemo {

using namespace zr;

// The tour's main form: a payroll screen with a headcount box and the
// exception log dropped on it.
class TfrmExceptionTour : public TForm {
    ZR_CLASS(TfrmExceptionTour, TForm)
  public:
    explicit TfrmExceptionTour(TComponent* owner) : TForm(owner) {
        const auto bytes = FindResource(MainInstance(), "ExceptionTourForm");
        ReadComponentInto(this,
                          std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        edtHeadcount = dynamic_cast<TEdit*>(FindComponent("edtHeadcount"));
        ExceptionLog = dynamic_cast<TKVExceptionLog*>(FindComponent("ExceptionLog"));
        if (!edtHeadcount || !ExceptionLog) throw EReadError("The tour's form file is incomplete");
    }

    TEdit* edtHeadcount = nullptr;
    TKVExceptionLog* ExceptionLog = nullptr;
    std::ostream* out = nullptr;

    // The log's OnException: every exception that reaches it, logged or not.
    void ExceptionLogException(TObject* sender, Exception& e) {
        // Flushed, so that it stands before what the log may write to standard error.
        if (out) *out << "OnException: " << e.ClassName() << ": " << e.Message() << std::endl;
    }
};

ZR_REGISTER_CLASS(TfrmExceptionTour, c) {
    c.Method("ExceptionLogException", &TfrmExceptionTour::ExceptionLogException);
}

namespace {

// ---- the application's code, which fails ------------------------------------------

[[gnu::noinline]] int HeadcountFromForm(const TEdit& edit) {
    return StrToInt(edit.Text());  // EConvertError for "twelve"
}

[[gnu::noinline]] int SharePerPerson(int total, int people) {
    if (people == 0) throw EDivByZero("Division by zero");
    return total / people;
}

[[gnu::noinline]] int MonthBonus(const std::vector<int>& bonuses, int month) {
    if (month < 0 || static_cast<std::size_t>(month) >= bonuses.size())
        throw std::out_of_range("No bonus is set for month " + std::to_string(month));
    return bonuses[static_cast<std::size_t>(month)];
}

[[gnu::noinline]] std::string PayslipLine(const TStringList& lines, int index) {
    return lines.Strings(index);  // EStringListError, which the log's filter leaves out
}

// ---- the tour around it -----------------------------------------------------------

// Message handlers that run the failing code, one message each.
class TPayrollWindow {
  public:
    explicit TPayrollWindow(TfrmExceptionTour& form) : form_(form) {
        handle_ = AllocateHWnd(TWndMethod(this, &TPayrollWindow::WndProc));
    }
    ~TPayrollWindow() { DeallocateHWnd(handle_); }
    static constexpr UINT kSteps = 4;
    HWND Handle() const { return handle_; }

  private:
    void WndProc(TMessage& message) {
        int result = 0;
        switch (message.Msg - WM_USER) {
            case 0:
                result = HeadcountFromForm(*form_.edtHeadcount);
                break;
            case 1:
                result = SharePerPerson(120000, 0);
                break;
            case 2:
                result = MonthBonus({500, 250}, 12);
                break;
            case 3:
                PayslipLine(TStringList(), 5);
                break;
            default:
                return;
        }
        message.Result = result;
    }
    TfrmExceptionTour& form_;
    HWND handle_ = nullptr;
};

// Message boxes become lines of the tour's output.
class TTourPresenter : public TDialogPresenter {
  public:
    explicit TTourPresenter(std::ostream& out) : out_(out) {}
    TModalResult Show(const TMessageDialog& dialog) override {
        out_ << "[message box] " << dialog.Title << ": " << dialog.Text << "\n";
        return ModalResultOf(DefaultButtonOf(dialog.Buttons));
    }

  private:
    std::ostream& out_;
};

std::string ForOutput(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

// A caption as it reads, without the mark of its accelerator key.
std::string Plain(const std::string& caption) {
    std::string out;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) ++i;  // "&&" stands for one '&'
        out += caption[i];
    }
    return out;
}

// Answers the error dialog as a user would, when nobody is at a terminal to
// do it: the first time it ticks the screenshot box and presses the mail
// button, then closes; later it just closes.
class TDialogAnswerer {
  public:
    explicit TDialogAnswerer(std::ostream& out) : out_(out) {
        saved_ = Screen->OnActiveFormChange();
        Screen->SetOnActiveFormChange(TNotifyEvent::FromFunction([this](TObject*) { Answer(); }));
    }
    ~TDialogAnswerer() { Screen->SetOnActiveFormChange(saved_); }

  private:
    void Answer() {
        auto* dialog = dynamic_cast<TfrmKVLogErrorDialog*>(Screen->ActiveCustomForm());
        if (!dialog || dialog->Tag() != 0) return;
        dialog->SetTag(1);
        out_ << "[error dialog] " << dialog->Caption() << ": "
             << ForOutput(dialog->lblErrorText->Text()) << "\n";
        std::vector<std::uint16_t> keys;
        if (!mailed_ && dialog->btnEmail->Visible()) {
            out_ << "  (the tour ticks '" << dialog->cbAttachScreenshot->Caption() << "', presses '"
                 << dialog->btnEmail->Caption() << "', then Esc)\n";
            // Tab past the text to the box, Space ticks it; Tab to the mail button, Space.
            keys = {VK_TAB, VK_TAB, VK_SPACE, VK_TAB, VK_SPACE, VK_ESCAPE};
            mailed_ = true;
        } else {
            out_ << "  (the tour presses Enter: " << Plain(dialog->btnClose->Caption()) << ")\n";
            keys = {VK_RETURN};
        }
        for (std::uint16_t key : keys) PostMessage(dialog->Handle(), WM_KEYDOWN, key);
        PostMessage(dialog->Handle(), WM_CLOSE);  // in case a key went astray
    }

    std::ostream& out_;
    TNotifyEvent saved_;
    bool mailed_ = false;
};

std::string NewScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrdemo-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw EFCreateError("Cannot create a folder for the tour's log under " + pattern);
    return pattern;
}

// The outbox the mail goes to; empty when mail goes somewhere else.
std::string ChooseOutbox(const std::string& logFile, std::ostream& out) {
    const char* chosen = std::getenv("ZORIRIVE_MAIL");
    std::string setting = chosen ? chosen : "";
    if (setting.empty()) {
        // Never open a desktop mail client unasked: mail goes to a folder.
        setting = "outbox:" + ExtractFilePath(ExpandFileName(logFile)) + "outbox";
        ::setenv("ZORIRIVE_MAIL", setting.c_str(), 1);
    }
    out << "Mail goes to ZORIRIVE_MAIL=" << setting << "\n";
    if (setting == "outbox") return os::DefaultOutboxFolder();
    if (setting.rfind("outbox:", 0) == 0) return setting.substr(7);
    return {};
}

std::uintmax_t SizeOf(const std::string& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : size;
}

void PrintLog(const std::string& logFile, std::uintmax_t from, std::ostream& out) {
    std::ifstream in(logFile, std::ios::binary);
    if (!in) {
        out << "The log " << logFile << " was not written.\n";
        return;
    }
    in.seekg(static_cast<std::streamoff>(from));
    out << "The log file " << logFile;
    if (from > 0) out << " (after the " << from << " bytes it held before)";
    out << ":\n";
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out << "  | " << line << "\n";
    }
}

void PrintOutbox(const std::string& folder, std::ostream& out) {
    std::error_code error;
    std::vector<std::filesystem::path> mails;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".eml") mails.push_back(entry.path());
    if (mails.empty()) {
        out << "The outbox " << folder << " holds no mail.\n";
        return;
    }
    std::sort(mails.begin(), mails.end());
    out << "The outbox " << folder << " holds:\n";
    for (const auto& mail : mails) {
        out << "  " << mail.filename().string() << " (" << SizeOf(mail.string()) << " bytes)\n";
        std::ifstream in(mail);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("To:", 0) == 0 || line.rfind("Subject:", 0) == 0 ||
                line.find("filename=") != std::string::npos)
                out << "    " << line << "\n";
        }
    }
}

void ShowExceptionLog(std::ostream& out) {
    std::string logFile = Settings().logPath;
    if (logFile.empty()) logFile = NewScratchFolder() + "/kvevents.log";
    const std::string folder = ExtractFilePath(ExpandFileName(logFile));
    if (!ForceDirectories(folder)) throw EFCreateError("Cannot create the folder " + folder);
    const std::string outbox = ChooseOutbox(logFile, out);
    const std::uintmax_t logBefore = SizeOf(logFile);

    auto presenter = std::make_shared<TTourPresenter>(out);
    const auto savedPresenter = SetDialogPresenter(presenter);
    const TExceptionEvent savedHandler = Application->OnException();
    std::unique_ptr<TfrmExceptionTour> form;
    try {
        form = std::make_unique<TfrmExceptionTour>(nullptr);
        form->out = &out;
        form->ExceptionLog->SetLogFile(logFile);
        form->Show();
        out << "The main form '" << form->Caption() << "' holds the exception log; map file "
            << form->ExceptionLog->MapFile()->MapFileName()
            << (FileExists(form->ExceptionLog->MapFile()->MapFileName()) ? "" : " (missing)")
            << ".\n";

        const bool atTerminal = TLogDlgTerminal::Available();
        std::unique_ptr<TDialogAnswerer> answerer;
        if (atTerminal)
            out << "At a terminal: answer each error dialog with its keys.\n";
        else
            answerer = std::make_unique<TDialogAnswerer>(out);
        out.flush();

        // One message at a time: each is handled, dialog and all, before the
        // next is posted, as a user meets one error after another.
        TPayrollWindow window(*form);
        for (UINT step = 0; step < TPayrollWindow::kSteps; ++step) {
            PostMessage(window.Handle(), WM_USER + step);
            Application->ProcessMessages();
            out.flush();
        }
        answerer.reset();
    } catch (...) {
        form.reset();
        Application->SetOnException(savedHandler);
        SetDialogPresenter(savedPresenter);
        throw;
    }
    form.reset();  // frees the log, which clears the application's handler
    Application->SetOnException(savedHandler);
    SetDialogPresenter(savedPresenter);

    PrintLog(logFile, logBefore, out);
    if (!outbox.empty()) PrintOutbox(outbox, out);
}

const bool registered =
    AddStop({"Exception log: four unhandled exceptions, their reports, the dialog and a mailed log",
             ShowExceptionLog, 50});

}  // namespace

}  // namespace zrdemo
