#include "exception/LogDlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "exception/ExceptionLogSupport.h"
#include "exception/LogDlgTerminal.h"

using namespace zr;
using namespace zr::testing;

namespace {

void PostKey(TCustomForm& form, std::uint16_t key) {
    PostMessage(form.Handle(), WM_KEYDOWN, key);
}

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
    std::vector<std::pair<TObject*, bool>> mails;
    std::vector<TObject*> webs;
};

}  // namespace

TEST_F(ErrorDialog, ItsLayoutIsReadFromThePackagesResource) {
    TfrmKVLogErrorDialog dialog(nullptr);
    EXPECT_EQ(dialog.Name(), "frmKVLogErrorDialog");
    EXPECT_EQ(dialog.Caption(), "");
    EXPECT_EQ(dialog.BorderStyle(), bsDialog);
    EXPECT_EQ(dialog.ClientWidth(), 394);
    EXPECT_EQ(dialog.ClientHeight(), 110);
    EXPECT_EQ(dialog.Position(), poScreenCenter);
    EXPECT_EQ(dialog.Font()->Name(), "MS Sans Serif");
    EXPECT_EQ(dialog.Font()->Height(), -11);

    // The tab order puts the close button first, so it holds the focus.
    const std::vector<TWinControl*> tabs = dialog.TabList();
    EXPECT_EQ(tabs, (std::vector<TWinControl*>{dialog.btnClose, dialog.lblErrorText,
                                               dialog.cbAttachScreenshot, dialog.btnEmail,
                                               dialog.btnGoWEB}));
    EXPECT_EQ(dialog.DefaultButton(), dialog.btnClose);
    EXPECT_EQ(dialog.CancelButton(), dialog.btnClose);
    EXPECT_EQ(dialog.btnClose->ModalResult(), 1);
    EXPECT_EQ(dialog.btnClose->Caption(), "&Close");

    // The actions are hidden until the exception log offers them; the box
    // lies below the buttons, outside the client area.
    EXPECT_FALSE(dialog.btnEmail->Visible());
    EXPECT_FALSE(dialog.btnGoWEB->Visible());
    EXPECT_FALSE(dialog.cbAttachScreenshot->Visible());
    EXPECT_FALSE(dialog.cbAttachScreenshot->Checked());
    EXPECT_EQ(dialog.cbAttachScreenshot->Top(), 110);
    EXPECT_EQ(dialog.btnEmail->Left(), 8);
    EXPECT_EQ(dialog.btnGoWEB->Left(), 138);
    EXPECT_TRUE(dialog.lblErrorText->ReadOnly());
    EXPECT_TRUE(dialog.lblErrorText->ParentColor());
    EXPECT_EQ(dialog.lblErrorText->ScrollBars(), ssVertical);
    EXPECT_EQ(dialog.imgError->Width(), 32);
    EXPECT_TRUE(dialog.imgError->Center());

    // Two dialogs of one owner can be made.
    TComponent owner(nullptr);
    new TfrmKVLogErrorDialog(&owner);
    EXPECT_NO_THROW(new TfrmKVLogErrorDialog(&owner));
}

TEST_F(ErrorDialog, EnterAndEscCloseItWithResultOne) {
    for (std::uint16_t key : {VK_RETURN, VK_ESCAPE}) {
        TfrmKVLogErrorDialog dialog(nullptr);
        PostKey(dialog, key);
        PostMessage(dialog.Handle(), WM_CLOSE);  // safety: result 2 if the key did nothing
        EXPECT_EQ(dialog.ShowModal(), 1) << key;
        Application->ProcessMessages();
    }
}

TEST_F(ErrorDialog, TheMailButtonAsksForAScreenshotOnlyWhenTheBoxIsVisibleAndChecked) {
    TfrmKVLogErrorDialog dialog(nullptr);
    Listen(dialog);
    dialog.btnEmail->SetVisible(true);
    dialog.btnGoWEB->SetVisible(true);

    dialog.cbAttachScreenshot->SetChecked(true);  // checked but hidden
    dialog.btnEmail->Click();
    dialog.cbAttachScreenshot->SetVisible(true);
    dialog.cbAttachScreenshot->SetChecked(false);
    dialog.btnEmail->Click();
    dialog.cbAttachScreenshot->SetChecked(true);
    dialog.btnEmail->Click();
    dialog.btnGoWEB->Click();
    dialog.btnGoWEB->Click();

    using Call = std::pair<TObject*, bool>;
    EXPECT_EQ(mails,
              (std::vector<Call>{
                  {dialog.btnEmail, false}, {dialog.btnEmail, false}, {dialog.btnEmail, true}}));
    EXPECT_EQ(webs, (std::vector<TObject*>{dialog.btnGoWEB, dialog.btnGoWEB}));
    // Neither action closes the dialog.
    EXPECT_EQ(dialog.ModalResult(), mrNone);
}

TEST_F(ErrorDialog, ActionButtonsWithoutHandlersDoNothingAndKeepItOpen) {
    TfrmKVLogErrorDialog dialog(nullptr);
    dialog.btnEmail->SetVisible(true);
    dialog.btnGoWEB->SetVisible(true);
    Poster poster;
    poster.Post([&] {
        dialog.btnEmail->Click();
        dialog.btnGoWEB->Click();
        EXPECT_TRUE(dialog.Visible());
    });
    PostKey(dialog, VK_ESCAPE);
    PostMessage(dialog.Handle(), WM_CLOSE);
    EXPECT_EQ(dialog.ShowModal(), 1);
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
    void Type(const std::string& text) {
        ASSERT_EQ(::write(input_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void EndInput() {
        ::close(input_[1]);
        input_[1] = -1;
    }
    std::string Shown() {
        ::close(output_[1]);
        output_[1] = -1;
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(output_[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

    // A dialog prepared as the exception log prepares it, shown with the
    // terminal front end on the test's pipes.
    TModalResult ShowAtTerminal(TfrmKVLogErrorDialog& dialog) {
        TLogDlgTerminal terminal(dialog, input_[0], output_[1]);
        dialog.SetOnShow(TNotifyEvent::FromFunction([&](TObject*) { terminal.Start(); }));
        return dialog.ShowModal();
    }
    static void Prepare(TfrmKVLogErrorDialog& dialog) {
        dialog.SetCaption("Error");
        dialog.lblErrorText->SetText("'abc' is not a valid integer value\r\nUnit: Payroll");
        dialog.btnEmail->SetCaption("Email to author");
        dialog.btnEmail->SetVisible(true);
        dialog.cbAttachScreenshot->SetCaption("to attach screenshot");
        dialog.cbAttachScreenshot->SetVisible(true);
        dialog.btnGoWEB->SetCaption("Support homepage");
        dialog.btnGoWEB->SetVisible(true);
    }

    int input_[2] = {-1, -1};
    int output_[2] = {-1, -1};
};

}  // namespace

TEST_F(ErrorDialogTerminalThread, ShowsTheTextAndPressesTheButtonsByTheirKeys) {
    TfrmKVLogErrorDialog dialog(nullptr);
    Prepare(dialog);
    Listen(dialog);
    Type("e\n t\ne\nS\nx\n\n");  // mail, tick the box, mail, web, no such key, Enter
    EXPECT_EQ(ShowAtTerminal(dialog), 1);
    using Call = std::pair<TObject*, bool>;
    EXPECT_EQ(mails, (std::vector<Call>{{dialog.btnEmail, false}, {dialog.btnEmail, true}}));
    EXPECT_EQ(webs, std::vector<TObject*>{dialog.btnGoWEB});

    const std::string shown = Shown();
    EXPECT_NE(shown.find("Error\n  'abc' is not a valid integer value\n  Unit: Payroll\n"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("[c] Close   [t] to attach screenshot (no)   [e] Email to author   "
                         "[s] Support homepage"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("[t] to attach screenshot (yes)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("No button has the key 'x'"), std::string::npos) << shown;
}

TEST_F(ErrorDialogTerminalThread, OffersOnlyVisibleButtonsAndClosesWhenTheInputEnds) {
    TfrmKVLogErrorDialog dialog(nullptr);
    Listen(dialog);
    dialog.btnClose->SetCaption("&Close");
    dialog.btnGoWEB->SetCaption("Support homepage");
    dialog.btnGoWEB->SetVisible(true);
    Type("e\n");  // the mail button is hidden: no such key
    EndInput();
    EXPECT_EQ(ShowAtTerminal(dialog), 1);
    EXPECT_TRUE(mails.empty());
    const std::string shown = Shown();
    EXPECT_NE(shown.find("[c] Close   [s] Support homepage\n"), std::string::npos) << shown;
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
    void Offer(TKVLAOptions options, TKVLDialogOptions delivery) {
        Log().SetOptions(options);
        Log().SendTo()->SetOptions(delivery);
    }
    DialogAnswerer answerer;
};

}  // namespace

TEST_F(ErrorDialogPreparation, TheDefaultsOfferMailWithAScreenshotAndTheSupportPage) {
    const DialogSeen d = ShowFor(EConvertError("'abc' is not a valid integer value"));
    EXPECT_EQ(d.caption, "Error");
    EXPECT_TRUE(d.hasIcon);
    EXPECT_TRUE(d.pictureIsIcon);
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
    Offer({laShowSendEMail, laShowSupportLink}, {doScreenshot, doWeb});
    DialogSeen d = ShowFor(EConvertError("x"));
    EXPECT_FALSE(d.emailVisible);
    EXPECT_TRUE(d.boxVisible);
    EXPECT_EQ(d.clientHeight, 132);

    // No mail at all: the web button takes the mail button's place.
    Offer({laShowSupportLink}, KVLAllDialogOptions);
    d = ShowFor(EConvertError("x"));
    EXPECT_FALSE(d.emailVisible);
    EXPECT_FALSE(d.boxVisible);
    EXPECT_EQ(d.clientHeight, 110);
    EXPECT_TRUE(d.webVisible);
    EXPECT_EQ(d.webLeft, 8);

    // No screenshot choice: the dialog keeps its size.
    Offer(KVLDefaultAOptions, {doEmail, doWeb});
    d = ShowFor(EConvertError("x"));
    EXPECT_TRUE(d.emailVisible);
    EXPECT_FALSE(d.boxVisible);
    EXPECT_EQ(d.clientHeight, 110);

    // No web button unless both sides want it.
    Offer({laShowSendEMail}, KVLAllDialogOptions);
    EXPECT_FALSE(ShowFor(EConvertError("x")).webVisible);
    Offer(KVLDefaultAOptions, {doScreenshot, doEmail});
    EXPECT_FALSE(ShowFor(EConvertError("x")).webVisible);
}

TEST_F(ErrorDialogPreparation, TheSourceLineOptionAddsTheSourcePositionToTheText) {
    const std::string map = Path("app.map");
    std::ofstream(map, std::ios::binary)
        << "Detailed map of segments\n\n"
           " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=Payroll ACBP=A9\n\n"
           "  Address         Publics by Name\n\n"
           "  Address         Publics by Value\n\n\n"
           " 0001:00000000       Payroll::Run()\n"
           " 0001:00000080       Payroll::Close()\n\n"
           "Line numbers for Payroll(payroll.cpp) segment .text\n\n"
           "    41 0001:00000000    42 0001:00000010    43 0001:00000030\n";
    Log().MapFile()->SetMapFileName(map);
    Log().SetOptions(KVLDefaultAOptions + TKVLAOptions{laShowSourceLine});
    EConvertError e("'abc' is not a valid integer value");
    e.SetRaiseAddress(reinterpret_cast<void*>(std::uintptr_t{0x00401010}));
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
    Log().SendTo()->SetResolveNames(false);
    Log().SendTo()->SetEMail("support@example.org");
    ShowFor(EConvertError("mail me"));
    const auto sent = Mail().Sent();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].Message.Attachments.size(), 2u);
    EXPECT_TRUE(sent[0].Message.Attachments[0].FileName.ends_with(".bmp"));
    EXPECT_EQ(sent[0].Message.Attachments[1].Path, Path("kvevents.log"));
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
