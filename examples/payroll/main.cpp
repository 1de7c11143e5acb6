// payroll: a main form read from its form file, holding an exception log.
// Two of the application's message handlers fail; the log writes a report of
// each, and the log is then mailed to support. Mail goes to an outbox folder
// (ZORIRIVE_MAIL=outbox:<folder>) so that nothing leaves the machine.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <zoririve/exception/LogError.h>
#include <zoririve/framework/Application.h>
#include <zoririve/framework/FormReader.h>
#include <zoririve/framework/Forms.h>
#include <zoririve/framework/MessageQueue.h>
#include <zoririve/framework/StdCtrls.h>
#include <zoririve/framework/SysUtils.h>

using namespace zr;

// The form's class, named in MainForm.dfm; its published method is bound
// to the log's OnException by name when the file is read.
class TfrmPayroll : public TForm {
    ZR_CLASS(TfrmPayroll, TForm)
  public:
    explicit TfrmPayroll(TComponent* owner) : TForm(owner) {
        std::ifstream file(ExtractFilePath(Application->ExeName()) + "MainForm.dfm");
        std::stringstream text;
        text << file.rdbuf();
        ReadComponentInto(this, text.str());
        edtHeadcount = dynamic_cast<TEdit*>(FindComponent("edtHeadcount"));
        ExceptionLog = dynamic_cast<TKVExceptionLog*>(FindComponent("ExceptionLog"));
        if (!edtHeadcount || !ExceptionLog) throw EReadError("MainForm.dfm is incomplete");
    }

    TEdit* edtHeadcount = nullptr;
    TKVExceptionLog* ExceptionLog = nullptr;

    void ExceptionLogException(TObject*, Exception& e) {
        std::cout << "caught " << e.ClassName() << ": " << e.Message() << "\n";
    }
};

ZR_REGISTER_CLASS(TfrmPayroll, c) {
    c.Method("ExceptionLogException", &TfrmPayroll::ExceptionLogException);
}

namespace {

[[gnu::noinline]] int Headcount(const TEdit& edit) {
    return StrToInt(edit.Text());  // "twelve": EConvertError
}

[[gnu::noinline]] int SharePerPerson(int total, int people) {
    if (people == 0) throw EDivByZero("Division by zero");
    return total / people;
}

// The application's window: each message runs code that fails, and the
// failure reaches the application's exception handling as in any program.
class TPayrollWindow {
  public:
    explicit TPayrollWindow(TfrmPayroll& form) : form_(form) {
        handle_ = AllocateHWnd(TWndMethod(this, &TPayrollWindow::WndProc));
    }
    ~TPayrollWindow() { DeallocateHWnd(handle_); }
    HWND Handle() const { return handle_; }

  private:
    void WndProc(TMessage& message) {
        if (message.Msg == WM_USER) message.Result = Headcount(*form_.edtHeadcount);
        if (message.Msg == WM_USER + 1) message.Result = SharePerPerson(120000, 0);
    }
    TfrmPayroll& form_;
    HWND handle_ = nullptr;
};

void PrintFile(const std::string& file) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::cout << "  | " << line << "\n";
    }
}

// The example's folder (its log, its outbox) goes when the example ends.
struct TScratchFolder {
    std::string path;
    ~TScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

int main() {
    // Each run keeps its log and its outbox in a folder of its own.
    std::string scratch = (std::filesystem::temp_directory_path() / "payroll-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) return 1;
    const TScratchFolder removedAtTheEnd{scratch};
    const std::string outbox = scratch + "/outbox";
    ::setenv("ZORIRIVE_MAIL", ("outbox:" + outbox).c_str(), 1);

    TfrmPayroll form(nullptr);
    form.ExceptionLog->SetLogFile(scratch + "/" + form.ExceptionLog->LogFile());
    form.Show();
    std::cout << "main form '" << form.Caption() << "' read from MainForm.dfm; log "
              << form.ExceptionLog->LogFile() << "\n";

    TPayrollWindow window(form);
    PostMessage(window.Handle(), WM_USER);
    PostMessage(window.Handle(), WM_USER + 1);
    Application->ProcessMessages();

    std::cout << "the log holds:\n";
    PrintFile(form.ExceptionLog->LogFile());

    form.ExceptionLog->ActivateMail(&form, false);
    for (const auto& mail : std::filesystem::directory_iterator(outbox))
        std::cout << "mailed: " << mail.path().filename().string() << "\n";
    return 0;
}
