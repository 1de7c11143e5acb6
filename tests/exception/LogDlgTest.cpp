#include "exception/LogDlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "exception/ExceptionLogSupport.h"
#include "exception/LogDlgTerminal.h"

using namespace zr;
using namespace zr::testing;

namespace {

class ErrorDialog : public ::testing::Test {
  protected:
    void SetUp() override { Application->ProcessMessages(); }
    void TearDown() override { Application->ProcessMessages(); }

    // Records every call of the two action handlers.
    void Listen(TfrmKVLogErrorDialog& dialog) {
        dialog.SetOnActivateMail(
            TKVOnActivateMail::FromFunction([this](TObject* sender, bool screenshot) {
                mails.push_back({sender, screenshot});
            }));
        dialog.SetOnActivateWeb(
            TNotifyEvent::FromFunction([this](TObject* sender) { webs.push_back(sender); }));
    }
    using MailCall = std::pair<TObject*, bool>;
    std::vector<MailCall> mails;
    std::vector<TObject*> webs;
};

}  // namespace

TEST_F(ErrorDialog, ItsLayoutIsReadFromThePackagesResource) {
    TfrmKVLogErrorDialog dialog(nullptr);
    EXPECT_EQ(dialog.Caption(), "");
    EXPECT_EQ(dialog.BorderStyle(), bsDialog);
    EXPECT_EQ(dialog.ClientWidth(), 394);
    EXPECT_EQ(dialog.ClientHeight(), 110);
    // The close button comes first in tab order, so it holds the focus.
    EXPECT_EQ(dialog.TabList(), (std::vector<TWinControl*>{dialog.btnClose, dialog.lblErrorText,
                                                           dialog.cbAttachScreenshot,
                                                           dialog.btnEmail, dialog.btnGoWEB}));
    EXPECT_EQ(dialog.DefaultButton(), dialog.btnClose);
    EXPECT_EQ(dialog.CancelButton(), dialog.btnClose);
    // The actions are hidden until offered; the box lies below the client area.
    EXPECT_FALSE(dialog.btnEmail->Visible() || dialog.btnGoWEB->Visible() ||
                 dialog.cbAttachScreenshot->Visible());
    EXPECT_EQ(dialog.cbAttachScreenshot->Top(), 110);
    EXPECT_TRUE(dialog.lblErrorText->ReadOnly());

    TComponent owner(nullptr);  // one owner may make it twice
    new TfrmKVLogErrorDialog(&owner);
    EXPECT_NO_THROW(new TfrmKVLogErrorDialog(&owner));
}

TEST_F(ErrorDialog, EnterAndEscCloseItWithResultOne) {
    for (std::uint16_t key : {VK_RETURN, VK_ESCAPE}) {
        TfrmKVLogErrorDialog dialog(nullptr);
        PostMessage(dialog.Handle(), WM_KEYDOWN, key);
        PostMessage(dialog.Handle(), WM_CLOSE);  // result 2 if the key did nothing
        EXPECT_EQ(dialog.ShowModal(), 1) << key;
        Application->ProcessMessages();
    }
}

TEST_F(ErrorDialog, TheMailButtonAsksForAScreenshotOnlyWhenTheBoxIsVisibleAndChecked) {
    TfrmKVLogErrorDialog dialog(nullptr);
    dialog.btnEmail->SetVisible(true);
    dialog.btnGoWEB->SetVisible(true);
    dialog.btnEmail->Click();  // no handlers: nothing happens
    dialog.btnGoWEB->Click();

    Listen(dialog);
    dialog.cbAttachScreenshot->SetChecked(true);  // checked but hidden
    dialog.btnEmail->Click();
    dialog.cbAttachScreenshot->SetVisible(true);
    dialog.cbAttachScreenshot->SetChecked(false);
    dialog.btnEmail->Click();
    dialog.cbAttachScreenshot->SetChecked(true);
    dialog.btnEmail->Click();
    dialog.btnGoWEB->Click();
    dialog.btnGoWEB->Click();
    EXPECT_EQ(mails,
              (std::vector<MailCall>{
                  {dialog.btnEmail, false}, {dialog.btnEmail, false}, {dialog.btnEmail, true}}));
    EXPECT_EQ(webs, (std::vector<TObject*>{dialog.btnGoWEB, dialog.btnGoWEB}));
    EXPECT_EQ(dialog.ModalResult(), mrNone);  // neither action closes it
}

// ---- at a terminal ---------------------------------------------------------------

namespace {

class ErrorDialogTerminalThread : public ErrorDialog {
  protected:
    void SetUp() override {
        ErrorDialog::SetUp();
        ASSERT_EQ(::pipe(input_), 0);
        ASSERT_EQ(::pipe(output_), 0);
    }
    void TearDown() override {
        for (int fd : {input_[0], input_[1], output_[0], output_[1]})
            if (fd >= 0) ::close(fd);
        ErrorDialog::TearDown();
    }
    void Type(const std::string& text, bool thenEnd = false) {
        ASSERT_EQ(::write(input_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        if (!thenEnd) return;
        ::close(input_[1]);
        input_[1] = -1;
    }
    // Shows the dialog with its terminal front end on the test's pipes and
    // returns the result; `shown` receives what the terminal got.
    TModalResult ShowAtTerminal(TfrmKVLogErrorDialog& dialog, std::string& shown) {
        TModalResult result;
        {
            TLogDlgTerminal terminal(dialog, input_[0], output_[1]);
            dialog.SetOnShow(TNotifyEvent::FromFunction([&](TObject*) { terminal.Start(); }));
            result = dialog.ShowModal();
        }
        ::close(output_[1]);
        output_[1] = -1;
        char buffer[4096];
        for (ssize_t n; (n = ::read(output_[0], buffer, sizeof buffer)) > 0;)
            shown.append(buffer, static_cast<std::size_t>(n));
        return result;
    }

    int input_[2] = {-1, -1};
    int output_[2] = {-1, -1};
};

}  // namespace

TEST_F(ErrorDialogTerminalThread, ShowsTheTextAndPressesTheVisibleButtonsByTheirKeys) {
    TfrmKVLogErrorDialog dialog(nullptr);
    dialog.SetCaption("Error");
    dialog.lblErrorText->SetText("'abc' is not a valid integer value\r\nUnit: Payroll");
    for (TControl* c : std::vector<TControl*>{dialog.btnEmail, dialog.cbAttachScreenshot})
        c->SetVisible(true);
    dialog.btnEmail->SetCaption("Email to author");
    dialog.cbAttachScreenshot->SetCaption("to attach screenshot");
    Listen(dialog);
    Type("e\n t\nE\ns\nx\n\n");  // mail, tick the box, mail, hidden web button, none, Enter
    std::string shown;
    EXPECT_EQ(ShowAtTerminal(dialog, shown), 1);
    EXPECT_EQ(mails, (std::vector<MailCall>{{dialog.btnEmail, false}, {dialog.btnEmail, true}}));
    EXPECT_TRUE(webs.empty());
    EXPECT_NE(shown.find("Error\n  'abc' is not a valid integer value\n  Unit: Payroll\n"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("[c] Close   [t] to attach screenshot (no)   [e] Email to author\n"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("[t] to attach screenshot (yes)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("No button has the key 's'"), std::string::npos) << shown;
}

TEST_F(ErrorDialogTerminalThread, TheEndOfTheInputClosesTheDialog) {
    TfrmKVLogErrorDialog dialog(nullptr);
    Type("", true);
    std::string shown;
    EXPECT_EQ(ShowAtTerminal(dialog, shown), 1);
}

// ---- as the exception log prepares it ------------------------------------------------

namespace {

class ErrorDialogPreparation : public ExceptionLogFixture {
  protected:
    void SetUp() override {
        ExceptionLogFixture::SetUp();
        Log().SetFormats({lfExceptionClassName});
    }
    // Raises one exception and returns the dialog as it opened.
    DialogSeen ShowFor(Exception e) {
        answerer.seen.clear();
        RaiseThroughApplication(e);
        EXPECT_EQ(answerer.seen.size(), 1u);
        return answerer.seen.empty() ? DialogSeen{} : answerer.seen.back();
    }
    DialogSeen Offering(TKVLAOptions options, TKVLDialogOptions delivery) {
        Log().SetOptions(options);
        Log().SendTo()->SetOptions(delivery);
        return ShowFor(EConvertError("x"));
    }
    DialogAnswerer answerer;
};

}  // namespace

TEST_F(ErrorDialogPreparation, TheDefaultsOfferMailWithAScreenshotAndTheSupportPage) {
    const DialogSeen d = ShowFor(EConvertError("'abc' is not a valid integer value"));
    EXPECT_EQ(d.caption, "Error");
    EXPECT_TRUE(d.hasIcon && d.pictureIsIcon);
    EXPECT_EQ(d.closeCaption, "&Close");
    EXPECT_EQ(d.emailCaption, "Email to author");
    EXPECT_TRUE(d.emailVisible);
    EXPECT_EQ(d.boxCaption, "to attach screenshot");
    EXPECT_TRUE(d.boxVisible);
    EXPECT_FALSE(d.boxChecked);
    EXPECT_EQ(d.webCaption, "Support homepage");
    EXPECT_TRUE(d.webVisible);
    EXPECT_EQ(d.webLeft, 138);
    EXPECT_EQ(d.clientHeight, 132);
    EXPECT_EQ(d.text, "'abc' is not a valid integer value");
    EXPECT_FALSE(Log().Busy());
}

TEST_F(ErrorDialogPreparation, EachOptionShowsOrHidesItsPart) {
    // Mail offered but not allowed by SendTo: no button, yet the box and the growth.
    DialogSeen d = Offering({laShowSendEMail, laShowSupportLink}, {doScreenshot, doWeb});
    EXPECT_FALSE(d.emailVisible);
    EXPECT_TRUE(d.boxVisible);
    EXPECT_EQ(d.clientHeight, 132);

    // No mail at all: the web button takes the mail button's place.
    d = Offering({laShowSupportLink}, KVLAllDialogOptions);
    EXPECT_FALSE(d.emailVisible || d.boxVisible);
    EXPECT_EQ(d.clientHeight, 110);
    EXPECT_TRUE(d.webVisible);
    EXPECT_EQ(d.webLeft, 8);

    d = Offering(KVLDefaultAOptions, {doEmail, doWeb});  // no screenshot choice
    EXPECT_TRUE(d.emailVisible);
    EXPECT_FALSE(d.boxVisible);
    EXPECT_EQ(d.clientHeight, 110);

    // No web button unless both sides want it.
    EXPECT_FALSE(Offering({laShowSendEMail}, KVLAllDialogOptions).webVisible);
    EXPECT_FALSE(Offering(KVLDefaultAOptions, {doScreenshot, doEmail}).webVisible);
}

TEST_F(ErrorDialogPreparation, TheSourceLineOptionAddsTheSourcePositionToTheText) {
    Log().MapFile()->SetMapFileName(WritePayrollMap(Path("app.map")));
    Log().SetOptions(KVLDefaultAOptions + TKVLAOptions{laShowSourceLine});
    EConvertError e("'abc' is not a valid integer value");
    e.SetRaiseAddress(InPayrollMap(0x10));
    EXPECT_EQ(ShowFor(e).text,
              "'abc' is not a valid integer value\r\nUnit: Payroll\r\n"
              "Procedure: Payroll::Run()\r\nLine No: 42");
}

TEST_F(ErrorDialogPreparation, TheMailButtonMailsTheLogAndPutsTheScreenshotSettingBack) {
    // Tab to the box, tick it, tab to the mail button and press it; Esc
    // then closes (Enter would press the focused mail button again).
    answerer.keys = {VK_TAB, VK_TAB, VK_SPACE, VK_TAB, VK_SPACE};
    answerer.closeKey = VK_ESCAPE;
    Log().SendTo()->SetAttachScreenShot(false);
    Log().SendTo()->SetAttachLog(true);
    Log().SendTo()->SetEMail("support@example.org");
    ShowFor(EConvertError("mail me"));
    const auto sent = Mail().Sent();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].Message.Attachments.size(), 2u);
    EXPECT_TRUE(sent[0].Message.Attachments[0].FileName.ends_with(".bmp"));
    EXPECT_EQ(sent[0].AttachmentBytes[1], Logged());
    EXPECT_FALSE(Log().SendTo()->AttachScreenShot());

    // ActivateMail(False) sends without one, and keeps the setting too.
    Log().SendTo()->SetAttachScreenShot(true);
    Log().ActivateMail(nullptr, false);
    ASSERT_EQ(Mail().Sent().size(), 2u);
    EXPECT_EQ(Mail().Sent()[1].Message.Attachments.size(), 1u);
    EXPECT_TRUE(Log().SendTo()->AttachScreenShot());

    // A mail that fails by raising puts it back all the same.
    Log().SendTo()->SetEMailBody("%d");  // a template that takes no text
    EXPECT_THROW(Log().ActivateMail(nullptr, false), EConvertError);
    EXPECT_TRUE(Log().SendTo()->AttachScreenShot());
}

// A program with no display and no terminal has nobody to answer the dialog:
// what was queued for it still runs, then it closes by itself instead of
// waiting for ever, and its text is not lost.
TEST_F(ErrorDialog, UnattendedItClosesOnceItsQueuedInputHasRun) {
    if (TLogDlgTerminal::Available()) GTEST_SKIP() << "a terminal can answer";
    TfrmKVLogErrorDialog dialog(nullptr);
    Listen(dialog);
    dialog.btnEmail->SetVisible(true);
    dialog.lblErrorText->SetText("Disk full");
    if (!dialog.Unattended()) GTEST_SKIP() << "a window can answer";
    Poster poster;
    poster.Post([&] { dialog.btnEmail->Click(); });  // queued before the dialog opens
    ::testing::internal::CaptureStderr();
    const TModalResult result = dialog.ShowModal();
    const std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(mails.size(), 1u);
    EXPECT_NE(shown.find("Disk full"), std::string::npos) << shown;
}

// The unattended close belongs to the dialog's own loop: it never takes over
// Application.OnIdle, so a handler that the application installs while the
// dialog is up (as the application event log does) survives its closing.
TEST_F(ErrorDialog, UnattendedItLeavesTheApplicationsIdleHandlerAlone) {
    if (TLogDlgTerminal::Available()) GTEST_SKIP() << "a terminal can answer";
    const TIdleEvent previous = Application->OnIdle();
    const TIdleEvent earlier = TIdleEvent::FromFunction([](TObject*, bool&) {});
    const TIdleEvent later = TIdleEvent::FromFunction([](TObject*, bool&) {});
    Application->SetOnIdle(earlier);
    TfrmKVLogErrorDialog dialog(nullptr);
    if (!dialog.Unattended()) GTEST_SKIP() << "a window can answer";
    bool earlierWhileOpen = false;
    Poster poster;
    poster.Post([&] {
        earlierWhileOpen = Application->OnIdle() == earlier;
        Application->SetOnIdle(later);
    });
    // Should the dialog lose its way of closing, a close request ends the
    // test instead of a hang (and gives another result).
    const HWND window = dialog.Handle();
    os::HANDLE stop = os::CreateEventA(nullptr, os::TRUE, os::FALSE, nullptr);
    std::thread fallback([&] {
        if (os::WaitForSingleObject(stop, 3000) == os::WAIT_TIMEOUT) PostMessage(window, WM_CLOSE);
    });
    ::testing::internal::CaptureStderr();
    const TModalResult result = dialog.ShowModal();
    ::testing::internal::GetCapturedStderr();
    os::SetEvent(stop);
    fallback.join();
    os::CloseHandle(stop);
    const bool laterSurvived = Application->OnIdle() == later;
    Application->SetOnIdle(previous);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(earlierWhileOpen);
    EXPECT_TRUE(laterSurvived);
}
