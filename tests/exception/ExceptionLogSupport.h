// What the exception log's tests share: a scratch folder, an exception log
// with its file there, a presenter that sees every standard message, a mail
// provider that records instead of sending, exceptions raised through the
// application's own handling, and an answerer that looks at each error
// dialog when it opens and closes it through its queue.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/LogTestSupport.h"
#include "exception/LogDlg.h"
#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "platform/RecordingMailProvider.h"
#include "tests/framework/PosterTestSupport.h"

namespace zr::testing {

struct RecordingPresenter : TDialogPresenter {
    std::vector<TMessageDialog> shown;
    TModalResult Show(const TMessageDialog& dialog) override {
        shown.push_back(dialog);
        return mrOk;
    }
};

// Raises `e` and lets the application handle it, as the message loop does
// with an exception that escapes a handler.
template <class E>
void RaiseThroughApplication(E e) {
    try {
        throw e;
    } catch (...) {
        Application->HandleException(Application);
    }
}

// A map whose only unit, Payroll, covers the code offsets 0 to 0xFF:
// Payroll::Run() from 0 (lines 41, 42 and 43 at 0, 0x10 and 0x30), then
// Payroll::Close() from 0x80.
inline std::string WritePayrollMap(const std::string& path) {
    std::ofstream(path, std::ios::binary)
        << "Detailed map of segments\n\n"
           " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=Payroll ACBP=A9\n\n"
           "  Address         Publics by Name\n\n"
           "  Address         Publics by Value\n\n\n"
           " 0001:00000000       Payroll::Run()\n"
           " 0001:00000080       Payroll::Close()\n\n"
           "Line numbers for Payroll(payroll.cpp) segment .text\n\n"
           "    41 0001:00000000    42 0001:00000010    43 0001:00000030\n";
    return path;
}

// An address at `offset` into the code that such a map describes.
inline void* InPayrollMap(std::uintptr_t offset) {
    return reinterpret_cast<void*>(std::uintptr_t{TKVMapFile::kCodeBase} + offset);
}

// The error dialog as it was when it opened.
struct DialogSeen {
    std::string caption;
    int clientHeight = 0;
    bool hasIcon = false;
    bool pictureIsIcon = false;
    std::string closeCaption;
    std::string emailCaption;
    bool emailVisible = false;
    std::string boxCaption;
    bool boxVisible = false;
    bool boxChecked = false;
    std::string webCaption;
    bool webVisible = false;
    int webLeft = 0;
    std::string text;
};

// Sees each error dialog as it becomes the active form, lets the test act on
// it (the acts are queued behind nothing else), then presses Enter (or
// another closing key). A close
// request follows, so a dialog that the keys failed to close cannot hang the
// test.
class DialogAnswerer {
  public:
    DialogAnswerer() {
        saved_ = Screen->OnActiveFormChange();
        Screen->SetOnActiveFormChange(TNotifyEvent::FromFunction([this](TObject*) { Look(); }));
    }
    ~DialogAnswerer() { Screen->SetOnActiveFormChange(saved_); }

    std::vector<DialogSeen> seen;
    // Called with the open dialog before Enter is posted.
    std::function<void(TfrmKVLogErrorDialog&)> whileOpen;
    // Keys posted before the closing key.
    std::vector<std::uint16_t> keys;
    std::uint16_t closeKey = VK_RETURN;

  private:
    void Look() {
        auto* dialog = dynamic_cast<TfrmKVLogErrorDialog*>(Screen->ActiveCustomForm());
        if (dialog == nullptr || dialog->Tag() != 0) return;
        dialog->SetTag(1);  // seen once, however often it is activated
        DialogSeen s;
        s.caption = dialog->Caption();
        s.clientHeight = dialog->ClientHeight();
        s.hasIcon = dialog->Icon() != nullptr && !dialog->Icon()->Empty();
        s.pictureIsIcon = dynamic_cast<TIcon*>(dialog->imgError->Picture()->Graphic()) != nullptr;
        s.closeCaption = dialog->btnClose->Caption();
        s.emailCaption = dialog->btnEmail->Caption();
        s.emailVisible = dialog->btnEmail->Visible();
        s.boxCaption = dialog->cbAttachScreenshot->Caption();
        s.boxVisible = dialog->cbAttachScreenshot->Visible();
        s.boxChecked = dialog->cbAttachScreenshot->Checked();
        s.webCaption = dialog->btnGoWEB->Caption();
        s.webVisible = dialog->btnGoWEB->Visible();
        s.webLeft = dialog->btnGoWEB->Left();
        s.text = dialog->lblErrorText->Text();
        seen.push_back(s);
        if (whileOpen) whileOpen(*dialog);
        for (std::uint16_t key : keys) PostMessage(dialog->Handle(), WM_KEYDOWN, key);
        PostMessage(dialog->Handle(), WM_KEYDOWN, closeKey);
        PostMessage(dialog->Handle(), WM_CLOSE);
    }

    TNotifyEvent saved_;
};

class ExceptionLogFixture : public ScratchFolder {
  protected:
    void SetUp() override {
        ScratchFolder::SetUp();
        Application->ProcessMessages();
        savedHandler_ = Application->OnException();
        Application->SetOnException(TExceptionEvent());
        presenter_ = std::make_shared<RecordingPresenter>();
        savedPresenter_ = SetDialogPresenter(presenter_);
        mail_ = std::make_shared<os::TRecordingMailProvider>();
        savedMail_ = os::SetMailProvider(mail_);
        log_ = std::make_unique<TKVExceptionLog>(nullptr);
        log_->SetLogFile(Path("kvevents.log"));
        log_->SetActive(true);
    }
    void TearDown() override {
        log_.reset();
        Application->ProcessMessages();
        os::SetMailProvider(savedMail_);
        SetDialogPresenter(savedPresenter_);
        Application->SetOnException(savedHandler_);
        ScratchFolder::TearDown();
    }

    TKVExceptionLog& Log() { return *log_; }
    std::string Logged() const { return Content(Path("kvevents.log")); }
    bool LogWritten() const { return Exists(Path("kvevents.log")); }
    // The texts of the standard messages shown so far.
    std::vector<std::string> Messages() const {
        std::vector<std::string> texts;
        for (const auto& d : presenter_->shown) texts.push_back(d.Text);
        return texts;
    }
    os::TRecordingMailProvider& Mail() { return *mail_; }

    std::unique_ptr<TKVExceptionLog> log_;

  private:
    TExceptionEvent savedHandler_;
    std::shared_ptr<RecordingPresenter> presenter_;
    std::shared_ptr<TDialogPresenter> savedPresenter_;
    std::shared_ptr<os::TRecordingMailProvider> mail_;
    std::shared_ptr<os::TMailProvider> savedMail_;
};

}  // namespace zr::testing
