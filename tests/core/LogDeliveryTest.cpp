// Mailing a log: what a log component hands to Simple MAPI (recipients,
// classes, names, attachments, body, flags), what the user is shown when the
// mail system refuses, that the screenshot never outlives the call, and
// opening the support page.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/LogBase.h"
#include "framework/Dialogs.h"
#include "framework/Exceptions.h"
#include "framework/Graphics.h"
#include "framework/JpegWriter.h"
#include "framework/Mapi.h"
#include "platform/RecordingMailProvider.h"
#include "platform/ScreenCapture.h"
#include "tests/core/LogTestSupport.h"
#include "tests/platform/MailTestSupport.h"
#include "tests/support/TestDisplay.h"
#include "tests/support/XDriver.h"

namespace zr {
namespace {

namespace fs = std::filesystem;
using os::TRecordingMailProvider;
using testing::ScopedEnv;

// A small screen with something on it, so pictures are cheap and known.
class SmallScreen : public os::TScreenSource {
  public:
    bool Describe(os::TScreenInfo& info) override {
        info = {kWidth, kHeight, 24};
        return true;
    }
    bool Grab(int width, int height, os::TPixelImage& image) override {
        image.Allocate(std::min(width, kWidth), std::min(height, kHeight));
        for (int y = 0; y < image.Height; ++y)
            for (int x = 0; x < image.Width; ++x) image.Row(y)[4 * x + 2] = 0xFF;  // red
        return true;
    }
    static constexpr int kWidth = 8, kHeight = 6;
};

class DialogRecorder : public TDialogPresenter {
  public:
    TModalResult Show(const TMessageDialog& dialog) override {
        shown.push_back(dialog);
        return mrOk;
    }
    std::vector<TMessageDialog> shown;
};

class LogDelivery : public testing::ScratchFolder {
  protected:
    void SetUp() override {
        ScratchFolder::SetUp();
        fs::create_directory(Path("tmp"));
        tmpdir_ = std::make_unique<ScopedEnv>("TMPDIR", Path("tmp"));
        previousPresenter_ = SetDialogPresenter(dialogs_);
        log_ = std::make_unique<TKVLogBase>(nullptr);
        log_->SetLogFile(Path("logs/kvevents.log"));
    }
    void TearDown() override {
        log_.reset();
        SetDialogPresenter(previousPresenter_);
        tmpdir_.reset();
        ScratchFolder::TearDown();
    }

    // Sends with screenshot off unless a test wants one, and returns what
    // the mail system got.
    TRecordingMailProvider::TSentMessage SendOne() {
        log_->SendLogByMail();
        const auto sent = mail_->Sent();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? TRecordingMailProvider::TSentMessage{} : sent.back();
    }
    std::vector<std::string> TempFolderContent() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Path("tmp")))
            names.push_back(entry.path().filename().string());
        return names;
    }
    TKVLSendTo& SendTo() { return *log_->SendTo(); }

    std::shared_ptr<TRecordingMailProvider> mail_ = std::make_shared<TRecordingMailProvider>();
    os::TScopedMailProvider scopedMail_{mail_};
    SmallScreen screen_;
    os::TScopedScreenSource scopedScreen_{&screen_};
    std::shared_ptr<DialogRecorder> dialogs_ = std::make_shared<DialogRecorder>();
    std::shared_ptr<TDialogPresenter> previousPresenter_;
    std::unique_ptr<ScopedEnv> tmpdir_;
    std::unique_ptr<TKVLogBase> log_;
};

// ---- recipients ------------------------------------------------------------------

TEST_F(LogDelivery, RecipientPrefixesPickTheClassInAnyLetterCase) {
    SendTo().SetAttachScreenShot(false);
    SendTo().SetResolveNames(false);
    SendTo().SetEMail("anna;CC:bert,bcc:carl");
    const auto sent = SendOne();
    ASSERT_EQ(sent.Message.Recipients.size(), 3u);
    const std::vector<std::pair<std::uint32_t, std::string>> expected{
        {MAPI_TO, "anna"}, {MAPI_CC, "bert"}, {MAPI_BCC, "carl"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(sent.Message.Recipients[i].Class, expected[i].first);
        EXPECT_EQ(sent.Message.Recipients[i].Name, expected[i].second);
        EXPECT_EQ(sent.Message.Recipients[i].Address, expected[i].second);
    }
}

TEST_F(LogDelivery, EntriesKeepBlanksEmptyOnesCountAndATrailingSeparatorAddsNone) {
    SendTo().SetAttachScreenShot(false);
    // Every entry is looked up as it stands, so the lookups show the split.
    SendTo().SetEMail("anna@x; CC:x@y,,bcc:Bob@z;");
    SendOne();
    std::vector<std::string> looked;
    for (const auto& call : mail_->ResolveCalls())
        if (call.Flags == 0) looked.push_back(call.Name);
    // " CC:x@y": the prefix is not at the very start, so it stays in the name.
    EXPECT_EQ(looked, (std::vector<std::string>{"anna@x", " CC:x@y", "", "Bob@z"}));
    const auto recipients = mail_->Sent().back().Message.Recipients;
    ASSERT_EQ(recipients.size(), 3u);  // the empty entry addresses nobody
    EXPECT_EQ(recipients[1].Class, MAPI_TO);
    EXPECT_EQ(recipients[1].Name, " CC:x@y");
    EXPECT_EQ(recipients[2].Class, MAPI_BCC);

    SendTo().SetEMail("");
    log_->SendLogByMail();
    EXPECT_TRUE(mail_->Sent().back().Message.Recipients.empty());
}

TEST_F(LogDelivery, UnknownAndAmbiguousNamesAreAskedForOnceMoreWithTheDialog) {
    SendTo().SetAttachScreenShot(false);
    SendTo().SetEMail("anna;bert;carl;dora");
    mail_->QueueResolveAnswer("anna", {MAPI_E_UNKNOWN_RECIPIENT, {}});
    mail_->QueueResolveAnswer("anna", {SUCCESS_SUCCESS, {"Anna Berg", "anna@example.org"}});
    mail_->QueueResolveAnswer("bert", {MAPI_E_AMBIGUOUS_RECIPIENT, {}});
    mail_->QueueResolveAnswer("bert", {SUCCESS_SUCCESS, {"Bert", "bert@example.org"}});
    mail_->QueueResolveAnswer("carl", {MAPI_E_FAILURE, {}});  // no second try
    mail_->QueueResolveAnswer("dora", {SUCCESS_SUCCESS, {"Dora", "dora@example.org"}});
    const auto sent = SendOne();

    std::vector<std::pair<std::string, std::uint32_t>> calls;
    for (const auto& call : mail_->ResolveCalls()) calls.emplace_back(call.Name, call.Flags);
    EXPECT_EQ(calls, (std::vector<std::pair<std::string, std::uint32_t>>{{"anna", 0},
                                                                         {"anna", MAPI_DIALOG},
                                                                         {"bert", 0},
                                                                         {"bert", MAPI_DIALOG},
                                                                         {"carl", 0},
                                                                         {"dora", 0}}));
    // carl stays in the message without name or address: the compose
    // window leaves him for the user to fill in.
    ASSERT_EQ(sent.Message.Recipients.size(), 3u);
    EXPECT_EQ(sent.Message.Recipients[0].Name, "Anna Berg");
    EXPECT_EQ(sent.Message.Recipients[0].Address, "anna@example.org");
    EXPECT_EQ(sent.Message.Recipients[2].Address, "dora@example.org");
    EXPECT_TRUE(dialogs_->shown.empty());
}

TEST_F(LogDelivery, ASilentSendToAnUnresolvedRecipientIsRefusedAndShown) {
    SendTo().SetAttachScreenShot(false);
    SendTo().SetEMailOpenBeforeSend(false);
    SendTo().SetEMail("nobody-known;anna@example.org");
    log_->SendLogByMail();
    EXPECT_TRUE(mail_->Sent().empty());  // not sent to fewer people than asked
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].Text, "Unknown recipient");
}

TEST_F(LogDelivery, LongRecipientsAndPathsAreCutToTheBuffersNotOverrun) {
    SendTo().SetAttachScreenShot(false);
    const std::string longAddress = std::string(290, 'r') + "@example.org";  // 302 characters
    SendTo().SetEMail(longAddress);
    SendTo().SetAttachLog(true);
    log_->SetLogFile("/" + std::string(299, 'p'));
    for (bool resolve : {false, true}) {
        SendTo().SetResolveNames(resolve);
        log_->SendLogByMail();
        const auto sent = mail_->Sent().back();
        ASSERT_EQ(sent.Message.Recipients.size(), 1u);
        EXPECT_EQ(sent.Message.Recipients[0].Address, longAddress.substr(0, 256));
        EXPECT_EQ(sent.Message.Recipients[0].Name, longAddress.substr(0, 256));
        ASSERT_EQ(sent.Message.Attachments.size(), 1u);
        EXPECT_EQ(sent.Message.Attachments[0].Path.size(), 256u);
    }
}

// ---- attachments -------------------------------------------------------------------

TEST_F(LogDelivery, TheScreenshotComesFirstThenTheLogThenTheListedFiles) {
    SendTo().SetResolveNames(false);
    SendTo().SetAttachLog(true);
    TStringList extra;
    extra.Add(Path("settings.ini"));
    extra.Add("");  // a blank line names no file
    SendTo().SetAdditionalFiles(&extra);
    const auto sent = SendOne();
    const auto& files = sent.Message.Attachments;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].Path.rfind(Path("tmp/KVL"), 0), 0u) << files[0].Path;
    EXPECT_EQ(files[0].FileName, fs::path(files[0].Path).filename().string());
    EXPECT_EQ(fs::path(files[0].Path).extension(), ".bmp");
    EXPECT_EQ(files[1].Path, Path("logs/kvevents.log"));  // in full, existing or not
    EXPECT_EQ(files[1].FileName, "kvevents.log");
    EXPECT_EQ(files[2].Path, Path("settings.ini"));

    // While the mail was sent the screenshot was a picture of the screen.
    ASSERT_TRUE(sent.AttachmentBytes[0].has_value());
    const std::string& bmp = *sent.AttachmentBytes[0];
    TBitmap picture;
    picture.LoadFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(bmp.data()), bmp.size()));
    EXPECT_EQ(picture.Width(), SmallScreen::kWidth);
    EXPECT_EQ(picture.Height(), SmallScreen::kHeight);
    EXPECT_EQ(picture.Pixels(3, 3), clRed);
    EXPECT_TRUE(TempFolderContent().empty());
}

TEST_F(LogDelivery, NothingIsAttachedWhenNothingIsAsked) {
    SendTo().SetAttachScreenShot(false);
    EXPECT_TRUE(SendOne().Message.Attachments.empty());
    // An empty log file name attaches nothing even with AttachLog.
    SendTo().SetAttachLog(true);
    log_->SetLogFile("");
    log_->SendLogByMail();
    EXPECT_TRUE(mail_->Sent().back().Message.Attachments.empty());
}

TEST_F(LogDelivery, AJpegScreenshotIsARealPicture) {
    SendTo().SetScreenshotFormat(sfJpeg);
    const auto sent = SendOne();
    ASSERT_EQ(sent.Message.Attachments.size(), 1u);
    EXPECT_EQ(fs::path(sent.Message.Attachments[0].Path).extension(), ".jpg");
    ASSERT_TRUE(sent.AttachmentBytes[0].has_value());
    const std::string& jpeg = *sent.AttachmentBytes[0];
    TBitmap decoded;
    DecodeJpeg(std::span(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size()), decoded);
    EXPECT_EQ(decoded.Width(), SmallScreen::kWidth);
    EXPECT_GT(GetRValue(decoded.Pixels(4, 3)), 200);
    EXPECT_TRUE(TempFolderContent().empty());
}

// ---- body, subject and flags ---------------------------------------------------------

TEST_F(LogDelivery, TheDefaultBodyNamesTheRecipientsAndTheLogFile) {
    SendTo().SetAttachScreenShot(false);
    SendTo().SetResolveNames(false);
    SendTo().SetEMail("support@example.org");
    log_->SetLogFile("C:/app/errors.log");
    const auto sent = SendOne();
    const std::string& body = sent.Message.Body;
    EXPECT_NE(body.find("please forward this message to support@example.org. Also"),
              std::string::npos);
    EXPECT_NE(body.find("you can send this file C:/app/errors.log as attachment"),
              std::string::npos);
    EXPECT_EQ(body.find('%'), std::string::npos);
    EXPECT_EQ(sent.Message.Subject, "");
}

TEST_F(LogDelivery, OpenBeforeSendAddsTheDialogFlag) {
    SendTo().SetAttachScreenShot(false);
    SendTo().SetEMailOpenBeforeSend(false);
    EXPECT_EQ(SendOne().Flags, MAPI_LOGON_UI);
    SendTo().SetEMailOpenBeforeSend(true);
    log_->SendLogByMail();
    EXPECT_EQ(mail_->Sent().back().Flags, MAPI_LOGON_UI | MAPI_DIALOG);
}

// ---- failures --------------------------------------------------------------------

TEST_F(LogDelivery, ARefusedMailIsShownInAnErrorBoxAndNotRaised) {
    SendTo().SetAttachScreenShot(false);
    log_->SendLogByMail();
    EXPECT_TRUE(dialogs_->shown.empty());  // success shows nothing

    mail_->SetSendResult(MAPI_USER_ABORT);
    EXPECT_NO_THROW(log_->SendLogByMail());
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    const TMessageDialog& box = dialogs_->shown[0];
    EXPECT_EQ(box.Text, "User cancelled request");
    EXPECT_EQ(box.Type, mtError);
    EXPECT_EQ(box.Buttons, TMsgDlgButtons{mbOK});
    EXPECT_EQ(box.HelpContext, 0);
}

TEST_F(LogDelivery, EveryResultCodeHasItsText) {
    // Codes 1 to 26 in order; 7 has no text of its own.
    const std::string texts =
        "User cancelled request|General MAPI failure|Logon failure|Disk full|Insufficient "
        "memory|Access denied|Unknown Error Code: 7|Too many sessions|Too many files open|Too "
        "many recipients|Attachment not found|Failed to open attachment|Failed to write "
        "attachment|Unknown recipient|Invalid recipient type|No messages|Invalid message|Text "
        "too large.|Invalid session|Type not supported|Ambiguous recipient|Message in "
        "use|Network failure|Invalid edit fields|Invalid recipients|Not supported|";
    std::size_t start = 0;
    for (int code = 1; code <= 26; ++code) {
        const std::size_t bar = texts.find('|', start);
        EXPECT_EQ(log_->MAPIErrorDescription(code), texts.substr(start, bar - start)) << code;
        start = bar + 1;
    }
    for (int code : {0, 27, -1})
        EXPECT_EQ(log_->MAPIErrorDescription(code), "Unknown Error Code: " + std::to_string(code));
}

// Looks at the screenshot the moment it is sent: who may read it, and
// whether anybody else could have put a file in its place.
class ScreenshotInspector : public os::TRecordingMailProvider {
  public:
    std::uint32_t Send(const os::TMailMessage& message, std::uint32_t flags) override {
        struct stat file {};
        struct stat folder {};
        const std::string& path = message.Attachments.at(0).Path;
        if (::lstat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode))
            fileMode = file.st_mode & 0777;
        const std::string parent = fs::path(path).parent_path().string();
        if (::lstat(parent.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode))
            folderMode = folder.st_mode & 0777;
        return TRecordingMailProvider::Send(message, flags);
    }
    unsigned fileMode = 0, folderMode = 0;
};

// The picture of the user's screen is nobody else's business while the mail
// is on its way, and files that others put in the shared temporary folder
// neither stop the mail nor get deleted by it.
TEST_F(LogDelivery, TheScreenshotIsPrivateAndFilesOthersPlantedAreLeftAlone) {
    auto inspector = std::make_shared<ScreenshotInspector>();
    os::TScopedMailProvider inspect(inspector);
    SendTo().SetResolveNames(false);
    // Names a picture could be given are taken already, one by a link.
    for (const char* name : {"KVL1.bmp", "KVL1.tmp", "KVL2A.bmp", "KVLFFFF.bmp"})
        std::ofstream(Path("tmp/") + name) << "not yours";
    fs::create_symlink(Path("tmp/KVL1.bmp"), Path("tmp/KVL2.bmp"));
    log_->SendLogByMail();

    ASSERT_EQ(inspector->Sent().size(), 1u);
    EXPECT_TRUE(dialogs_->shown.empty());
    EXPECT_EQ(inspector->fileMode, 0600u);
    EXPECT_EQ(inspector->folderMode, 0700u);
    EXPECT_EQ(TempFolderContent().size(), 5u);  // only the mail's own are gone
    EXPECT_EQ(Content(Path("tmp/KVL1.bmp")), "not yours");
}

TEST_F(LogDelivery, TheScreenshotIsGoneAlsoWhenTheBodyTemplateRaises) {
    SendTo().SetEMailBody("error %d in %s");  // %d does not take the e-mail text
    EXPECT_THROW(log_->SendLogByMail(), EConvertError);
    EXPECT_TRUE(mail_->Sent().empty());
    EXPECT_TRUE(TempFolderContent().empty());
}

TEST_F(LogDelivery, AMissingLogFileIsReportedByTheMailSystem) {
    // A real provider this time: the outbox reads every attachment.
    os::TScopedMailProvider outbox(os::MakeOutboxProvider(Path("outbox")));
    SendTo().SetAttachLog(true);
    log_->SendLogByMail();
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].Text, "Attachment not found");
    EXPECT_FALSE(fs::exists(Path("outbox")) && !fs::is_empty(Path("outbox")));
    EXPECT_TRUE(TempFolderContent().empty());

    fs::create_directory(Path("logs"));
    log_->WriteAsString("something happened\r\n");
    log_->SendLogByMail();
    EXPECT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(Path("outbox")), fs::directory_iterator()), 1);
}

// ---- the support page ---------------------------------------------------------------

TEST_F(LogDelivery, TheSupportPageIsOpenedAsOneArgumentAndOptionsNever) {
    // A stand-in opener on PATH that writes down what it was given.
    fs::create_directory(Path("bin"));
    const std::string record = Path("opened.txt");
    {
        std::ofstream script(Path("bin/xdg-open"));
        script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" << record
               << "'; done\n";
    }
    fs::permissions(Path("bin/xdg-open"), fs::perms::owner_all);
    ScopedEnv path("PATH", Path("bin") + ":" + std::getenv("PATH"));

    for (const char* refused : {"", "-x", "--help"}) {
        SendTo().SetWWW(refused);
        log_->SendLogByWWW();
    }
    SendTo().SetWWW("https://example.org/support?product=a b&x=$(id)");
    log_->SendLogByWWW();
    // Detached: wait for the opener to run.
    for (int i = 0; i < 500 && Content(record).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Content(record), "https://example.org/support?product=a b&x=$(id)\n");
}

// ---- a real screen ---------------------------------------------------------------------

TEST(LogDeliveryX11, TheScreenshotIsTheWholeScreen) {
    testing::TTestDisplay display;
    if (!display.Ready()) GTEST_SKIP() << display.WhyNot();
    testing::TXDriver x;
    if (!x.Ok()) GTEST_SKIP() << "no X display can be opened";
    const int width = x.ScreenWidth(), height = x.ScreenHeight();
    x.FillWhiteOnRoot(20, 20, 50, 30);

    auto mail = std::make_shared<TRecordingMailProvider>();
    os::TScopedMailProvider scoped(mail);
    TKVLogBase log(nullptr);
    log.SendTo()->SetEMail("");
    log.SendLogByMail();

    ASSERT_EQ(mail->Sent().size(), 1u);
    const auto sent = mail->Sent()[0];
    ASSERT_EQ(sent.AttachmentBytes.size(), 1u);
    ASSERT_TRUE(sent.AttachmentBytes[0].has_value());
    const std::string& bmp = *sent.AttachmentBytes[0];
    TBitmap picture;
    picture.LoadFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(bmp.data()), bmp.size()));
    EXPECT_EQ(picture.Width(), width);
    EXPECT_EQ(picture.Height(), height);
    EXPECT_EQ(picture.Pixels(40, 30), clWhite);
    EXPECT_FALSE(fs::exists(sent.Message.Attachments[0].Path));
}

}  // namespace
}  // namespace zr
