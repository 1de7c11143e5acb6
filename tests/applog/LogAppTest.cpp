#include "applog/LogApp.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "exception/LogDlg.h"
#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/FormReader.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "framework/SettingsWatcher.h"
#include "framework/StdCtrls.h"
#include "tests/framework/PosterTestSupport.h"

using namespace zr;
using Journal = std::vector<std::string>;

namespace {

struct RecordingPresenter : TDialogPresenter {
    std::vector<std::string> texts;
    TModalResult Show(const TMessageDialog& dialog) override {
        texts.push_back(dialog.Text);
        return mrOk;
    }
};

// A form (here a data module) that a form file can bind the log's events to.
class TLogAppTestModule : public TComponent {
    ZR_CLASS(TLogAppTestModule, TComponent)
  public:
    explicit TLogAppTestModule(TComponent* owner) : TComponent(owner) {}
    void AppIdle(TObject*, bool& done) {
        ++idles;
        done = false;
    }
    void GetChildren(const std::function<void(TComponent*)>& proc, TComponent*) override {
        for (int i = 0; i < ComponentCount(); ++i) proc(Components(i));
    }
    int idles = 0;
};

}  // namespace

ZR_REGISTER_CLASS(TLogAppTestModule, c) {
    c.Method("AppIdle", &TLogAppTestModule::AppIdle);
}

namespace {

// A fresh application object for each test (no handler or hook leaks from
// one test to the next), the screen's two events emptied, and a presenter
// that sees every standard message.
class LogAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedApplication_ = Application;
        app_ = std::make_unique<TApplication>(nullptr);
        app_->SetSettingsWatches({});
        Application = app_.get();
        savedControlChange_ = Screen->OnActiveControlChange();
        savedFormChange_ = Screen->OnActiveFormChange();
        Screen->SetOnActiveControlChange({});
        Screen->SetOnActiveFormChange({});
        presenter_ = std::make_shared<RecordingPresenter>();
        savedPresenter_ = SetDialogPresenter(presenter_);
        do {
            app_->ProcessMessages();
        } while (WaitMessageTimeout(0));
    }
    void TearDown() override {
        app_->ProcessMessages();
        SetDialogPresenter(savedPresenter_);
        Screen->SetOnActiveControlChange(savedControlChange_);
        Screen->SetOnActiveFormChange(savedFormChange_);
        Application = savedApplication_;
        app_.reset();
    }

    TApplication& App() { return *app_; }
    const std::vector<std::string>& Shown() const { return presenter_->texts; }

    // What `action` added to the journal.
    Journal Fired(const std::function<void()>& action) {
        journal.clear();
        action();
        return journal;
    }
    // A handler that notes "<who> <what>" and checks the Sender it is given.
    TNotifyEvent Note(const std::string& entry, TObject* sender) {
        return TNotifyEvent::FromFunction([this, entry, sender](TObject* s) {
            EXPECT_EQ(s, sender) << entry;
            journal.push_back(entry);
        });
    }
    TIdleEvent NoteIdle(const std::string& entry) {
        return TIdleEvent::FromFunction([this, entry](TObject*, bool& done) {
            journal.push_back(entry + (done ? " (done)" : " (not done)"));
            done = false;  // the loop must not wait for input in a test
        });
    }
    THelpEvent NoteHelp(const std::string& entry, bool answer) {
        return THelpEvent::FromFunction(
            [this, entry, answer](std::uint16_t command, int data, bool& callHelp, bool& result) {
                journal.push_back(entry + " " + std::to_string(command) + "," +
                                  std::to_string(data) + (callHelp ? " call" : " no call"));
                callHelp = false;
                result = answer;
            });
    }
    // One idle step of the loop.
    void RunIdle() { App().HandleMessage(); }

    Journal journal;

  private:
    TApplication* savedApplication_ = nullptr;
    std::unique_ptr<TApplication> app_;
    TNotifyEvent savedControlChange_;
    TNotifyEvent savedFormChange_;
    std::shared_ptr<RecordingPresenter> presenter_;
    std::shared_ptr<TDialogPresenter> savedPresenter_;
};

// ---- each event through the application ----------------------------------------

TEST_F(LogAppTest, EveryEventRunsThePreviousHandlerThenTheOwnEventWithTheSameArguments) {
    App().SetOnActivate(Note("previous activate", Application));
    App().SetOnDeactivate(Note("previous deactivate", Application));
    App().SetOnIdle(NoteIdle("previous idle"));
    App().SetOnHint(Note("previous hint", Application));
    App().SetOnMessage(TMessageEvent::FromFunction([this](TMsg& msg, bool& handled) {
        journal.push_back("previous message");
        msg.wParam = 7;
        handled = true;
    }));
    App().SetOnMinimize(Note("previous minimize", Application));
    App().SetOnRestore(Note("previous restore", Application));
    App().SetOnShowHint(
        TShowHintEvent::FromFunction([this](std::string& text, bool& canShow, THintInfo&) {
            journal.push_back("previous show hint " + text);
            text = "<" + text + ">";
            canShow = false;
        }));
    Screen->SetOnActiveFormChange(Note("previous form change", Screen));
    Screen->SetOnActiveControlChange(Note("previous control change", Screen));

    TKVAppLog log(nullptr);
    EXPECT_TRUE(log.Active());
    log.SetOnActivate(Note("own activate", Application));
    log.SetOnDeactivate(Note("own deactivate", Application));
    log.SetOnIdle(NoteIdle("own idle"));
    log.SetOnHint(Note("own hint", Application));
    log.SetOnMessage(TMessageEvent::FromFunction([this](TMsg& msg, bool& handled) {
        journal.push_back("own message " + std::to_string(msg.wParam) +
                          (handled ? " handled" : ""));
        handled = false;  // the last word: the message is dispatched after all
    }));
    log.SetOnMinimize(Note("own minimize", Application));
    log.SetOnRestore(Note("own restore", Application));
    log.SetOnShowHint(
        TShowHintEvent::FromFunction([this](std::string& text, bool& canShow, THintInfo& info) {
            journal.push_back("own show hint " + text + (canShow ? "" : " hidden"));
            info.HideTimeout = 10;
            canShow = true;
        }));
    log.SetOnActiveFormChange(Note("own form change", Screen));
    log.SetOnActiveControlChange(Note("own control change", Screen));

    EXPECT_EQ(Fired([&] { SendMessage(App().Handle(), WM_ACTIVATEAPP, 1); }),
              (Journal{"previous activate", "own activate"}));
    EXPECT_EQ(Fired([&] { SendMessage(App().Handle(), WM_ACTIVATEAPP, 0); }),
              (Journal{"previous deactivate", "own deactivate"}));
    EXPECT_EQ(Fired([&] { RunIdle(); }), (Journal{"previous idle (done)", "own idle (not done)"}));

    bool dispatched = false;
    HWND window = AllocateHWnd(TWndMethod::FromFunction([&](TMessage&) { dispatched = true; }));
    PostMessage(window, WM_USER, 1);
    EXPECT_EQ(Fired([&] { App().HandleMessage(); }),
              (Journal{"previous message", "own message 7 handled"}));
    EXPECT_TRUE(dispatched) << "Handled is the one variable both handlers set";
    DeallocateHWnd(window);

    EXPECT_EQ(Fired([&] { SendMessage(App().Handle(), WM_SYSCOMMAND, SC_MINIMIZE); }),
              (Journal{"previous minimize", "own minimize"}));
    EXPECT_EQ(Fired([&] { SendMessage(App().Handle(), WM_SYSCOMMAND, SC_RESTORE); }),
              (Journal{"previous restore", "own restore"}));

    TControl button(nullptr);
    button.SetHint("Save|Saves the ledger");
    button.SetShowHint(true);
    EXPECT_EQ(Fired([&] {
                  App().HintMouseMessage(&button, {3, 4});
              }),
              (Journal{"previous hint", "own hint", "previous show hint Save",
                       "own show hint <Save> hidden"}));
    EXPECT_EQ(App().Hint(), "Saves the ledger");
    ASSERT_TRUE(App().HintShowing());
    EXPECT_EQ(App().CurrentHint().HintStr, "<Save>");
    EXPECT_EQ(App().CurrentHint().HideTimeout, 10);

    // A form that becomes active activates the application first, then the
    // screen follows the form and the control that takes the focus.
    TForm form(nullptr);
    auto* name = new TEdit(&form);
    name->SetParent(&form);
    auto* amount = new TEdit(&form);
    amount->SetParent(&form);
    EXPECT_EQ(Fired([&] { form.Show(); }),
              (Journal{"previous activate", "own activate", "previous form change",
                       "own form change", "previous control change", "own control change"}));
    EXPECT_EQ(Fired([&] { amount->SetFocus(); }),
              (Journal{"previous control change", "own control change"}));
    EXPECT_EQ(Fired([&] { form.Hide(); }),
              (Journal{"previous form change", "own form change", "previous control change",
                       "own control change", "previous deactivate", "own deactivate"}));
}

TEST_F(LogAppTest, HelpAsksTheOwnEventFirstAndAnswersWithTheLastHandlerCalled) {
    TKVAppLog log(nullptr);
    EXPECT_FALSE(App().HelpContext(17)) << "nobody answers";
    log.SetOnHelp(NoteHelp("own", true));
    EXPECT_TRUE(App().HelpContext(17)) << "only the own event answers";

    log.SetActive(false);
    App().SetOnHelp(NoteHelp("previous", false));
    log.SetActive(true);
    EXPECT_EQ(Fired([&] { EXPECT_FALSE(App().HelpContext(17)) << "the previous one's answer"; }),
              (Journal{"own 1,17 call", "previous 1,17 no call"}));
}

TEST_F(LogAppTest, AnExceptionRunsBothHandlersThenAlwaysTheStandardMessage) {
    App().SetOnException(TExceptionEvent::FromFunction([this](TObject* sender, Exception& e) {
        EXPECT_EQ(sender, Application);
        journal.push_back("previous " + e.Message());
    }));
    TKVAppLog log(nullptr);
    log.SetOnException(TExceptionEvent::FromFunction(
        [this](TObject*, Exception& e) { journal.push_back("own " + e.Message()); }));
    EXPECT_EQ(Fired([&] {
                  try {
                      throw EConvertError("'12a' is not a valid integer value");
                  } catch (...) {
                      App().HandleException(Application);
                  }
              }),
              (Journal{"previous '12a' is not a valid integer value",
                       "own '12a' is not a valid integer value"}));
    EXPECT_EQ(Shown(), std::vector<std::string>{"'12a' is not a valid integer value."});
}

TEST_F(LogAppTest, ASettingsChangeReachesOnSettingsChangedAndTheWindowStillHandlesIt) {
    char pattern[] = "/tmp/zr-applog-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string folder = pattern;

    App().SetOnException(TExceptionEvent::FromFunction([this](TObject* sender, Exception& e) {
        EXPECT_EQ(sender->ClassName(), "TKVAppLog");
        journal.push_back("exception " + e.Message());
    }));
    TKVAppLog log(nullptr);
    int changes = 0;
    log.SetOnSettingsChanged(TNotifyEvent::FromFunction([&](TObject* sender) {
        EXPECT_EQ(sender, &log);
        if (++changes == 2) throw EInvalidOperation("cannot reload the formats");
    }));
    // A hook made after the log's sees what the window goes on to handle.
    std::vector<std::string> areasSeen;
    const TWindowHook later = TWindowHook::FromFunction([&](TMessage& m) {
        if (m.Msg == WM_SETTINGCHANGE) areasSeen.push_back(reinterpret_cast<const char*>(m.LParam));
        return false;
    });
    App().HookMainWindow(later);

    // The time zone file changes for real, twice.
    App().SetSettingsWatches({{folder, {"localtime"}, "TimeZone"}});
    for (int round = 1; round <= 2; ++round) {
        std::ofstream(folder + "/localtime") << "zone " << round;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (changes < round && std::chrono::steady_clock::now() < deadline) {
            App().ProcessMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    App().SetSettingsWatches({});
    App().UnhookMainWindow(later);
    std::filesystem::remove_all(folder);

    EXPECT_EQ(changes, 2);
    EXPECT_EQ(areasSeen, (std::vector<std::string>{"TimeZone", "TimeZone"}))
        << "the hook returned false both times, also when the handler failed";
    EXPECT_EQ(journal, Journal{"exception cannot reload the formats"});
    EXPECT_EQ(Shown(), std::vector<std::string>{"cannot reload the formats."});
}

// ---- switching ---------------------------------------------------------------------

TEST_F(LogAppTest, DeactivatingPutsBackExactlyTheSavedHandlersAndEmptiesTheScreenEvents) {
    const TNotifyEvent activate = Note("previous activate", Application);
    const TNotifyEvent deactivate = Note("previous deactivate", Application);
    const TExceptionEvent exception = TExceptionEvent::FromFunction([](TObject*, Exception&) {});
    const TIdleEvent idle = NoteIdle("previous idle");
    const THelpEvent help = NoteHelp("previous help", false);
    const TNotifyEvent hint = Note("previous hint", Application);
    const TMessageEvent message = TMessageEvent::FromFunction([](TMsg&, bool&) {});
    const TNotifyEvent minimize = Note("previous minimize", Application);
    const TNotifyEvent restore = Note("previous restore", Application);
    const TShowHintEvent showHint =
        TShowHintEvent::FromFunction([](std::string&, bool&, THintInfo&) {});
    App().SetOnActivate(activate);
    App().SetOnDeactivate(deactivate);
    App().SetOnException(exception);
    App().SetOnIdle(idle);
    App().SetOnHelp(help);
    App().SetOnHint(hint);
    App().SetOnMessage(message);
    App().SetOnMinimize(minimize);
    App().SetOnRestore(restore);
    App().SetOnShowHint(showHint);
    Screen->SetOnActiveFormChange(Note("previous form change", Screen));
    Screen->SetOnActiveControlChange(Note("previous control change", Screen));

    TKVAppLog log(nullptr);
    log.SetOnIdle(NoteIdle("own idle"));
    log.SetOnSettingsChanged(Note("own settings", &log));
    EXPECT_FALSE(App().OnIdle() == idle);
    // Someone else takes the idle event in between.
    App().SetOnIdle(NoteIdle("other idle"));

    log.SetActive(false);
    EXPECT_FALSE(log.Active());
    EXPECT_TRUE(App().OnActivate() == activate);
    EXPECT_TRUE(App().OnDeactivate() == deactivate);
    EXPECT_TRUE(App().OnException() == exception);
    EXPECT_TRUE(App().OnIdle() == idle);
    EXPECT_TRUE(App().OnHelp() == help);
    EXPECT_TRUE(App().OnHint() == hint);
    EXPECT_TRUE(App().OnMessage() == message);
    EXPECT_TRUE(App().OnMinimize() == minimize);
    EXPECT_TRUE(App().OnRestore() == restore);
    EXPECT_TRUE(App().OnShowHint() == showHint);
    EXPECT_FALSE(Screen->OnActiveFormChange());
    EXPECT_FALSE(Screen->OnActiveControlChange());
    EXPECT_EQ(Fired([&] {
                  RunIdle();
                  SendMessage(App().Handle(), WM_SETTINGCHANGE);
              }),
              Journal{"previous idle (done)"})
        << "neither the own events nor OnSettingsChanged fire";

    log.SetActive(true);
    EXPECT_EQ(Fired([&] {
                  RunIdle();
                  SendMessage(App().Handle(), WM_SETTINGCHANGE);
              }),
              (Journal{"previous idle (done)", "own idle (not done)", "own settings"}));
}

TEST_F(LogAppTest, ActivatingAnActiveLogAgainStacksNothing) {
    App().SetOnIdle(NoteIdle("previous idle"));
    TKVAppLog log(nullptr);
    log.SetOnIdle(NoteIdle("own idle"));
    log.SetActive(true);
    log.SetActive(true);
    EXPECT_EQ(Fired([&] { RunIdle(); }), (Journal{"previous idle (done)", "own idle (not done)"}));

    // A form file stores Active = True for a log its constructor activated.
    TComponent owner(nullptr);
    std::unique_ptr<TComponent> module(
        ReadComponentFromText("object Module: TLogAppTestModule\n"
                              "  object AppLog: TKVAppLog\n"
                              "    Active = True\n"
                              "    OnIdle = AppIdle\n"
                              "  end\n"
                              "end\n",
                              &owner));
    auto* read = dynamic_cast<TLogAppTestModule*>(module.get());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(Fired([&] { RunIdle(); }), (Journal{"previous idle (done)", "own idle (not done)"}));
    EXPECT_EQ(read->idles, 1);
    module.reset();
    EXPECT_EQ(Fired([&] { RunIdle(); }), (Journal{"previous idle (done)", "own idle (not done)"}))
        << "the module's log put back the first log's handler";
}

TEST_F(LogAppTest, InTheDesignerActiveIsOnlyRecorded) {
    const TIdleEvent idle = NoteIdle("previous idle");
    App().SetOnIdle(idle);
    TComponent form(nullptr);
    form.SetComponentStateFlag(csDesigning, true);
    auto* log = new TKVAppLog(&form);
    log->SetOnSettingsChanged(Note("own settings", log));
    EXPECT_TRUE(log->Active());
    log->SetActive(false);
    log->SetActive(true);
    EXPECT_TRUE(App().OnIdle() == idle);
    EXPECT_FALSE(Screen->OnActiveFormChange());
    EXPECT_EQ(Fired([&] { SendMessage(App().Handle(), WM_SETTINGCHANGE); }), Journal{});
}

// ---- several logs ------------------------------------------------------------------

TEST_F(LogAppTest, ChainedLogsCallEachOtherAndOneGoingFromTheMiddleLeavesNoDeadHandler) {
    const TIdleEvent idle = NoteIdle("previous idle");
    App().SetOnIdle(idle);
    App().SetOnHelp(NoteHelp("previous help", false));
    auto first = std::make_unique<TKVAppLog>(nullptr);
    first->SetOnIdle(NoteIdle("first idle"));
    first->SetOnHelp(NoteHelp("first help", true));
    TKVAppLog second(nullptr);
    second.SetOnIdle(NoteIdle("second idle"));
    second.SetOnHelp(NoteHelp("second help", true));

    EXPECT_EQ(Fired([&] { RunIdle(); }),
              (Journal{"previous idle (done)", "first idle (not done)", "second idle (not done)"}));
    EXPECT_EQ(
        Fired([&] { EXPECT_FALSE(App().HelpContext(3)); }),
        (Journal{"second help 1,3 call", "first help 1,3 no call", "previous help 1,3 no call"}));

    // The first goes while the second still calls it: the application gets
    // back what the first saved, and the second calls that from now on.
    first.reset();
    EXPECT_TRUE(App().OnIdle() == idle);
    EXPECT_EQ(Fired([&] { RunIdle(); }), Journal{"previous idle (done)"});
    second.SetActive(false);
    EXPECT_TRUE(App().OnIdle() == idle) << "not the handler of the log that is gone";
    second.SetActive(true);
    EXPECT_EQ(Fired([&] { RunIdle(); }),
              (Journal{"previous idle (done)", "second idle (not done)"}));
}

// ---- beside the error dialog -------------------------------------------------------

// The error dialog's modal loop once replaced Application.OnIdle and put its
// saved handler back on close, wiping the log's.
TEST_F(LogAppTest, ALogActivatedWhileTheErrorDialogIsOpenKeepsItsIdleHandlerAfterItCloses) {
    TfrmKVLogErrorDialog dialog(nullptr);
    std::unique_ptr<TKVAppLog> log;
    zr::testing::Poster poster;
    poster.Post([&] {
        log = std::make_unique<TKVAppLog>(nullptr);
        log->SetOnIdle(NoteIdle("own idle"));
        PostMessage(dialog.Handle(), WM_KEYDOWN, VK_RETURN);
        PostMessage(dialog.Handle(), WM_CLOSE);  // should Enter not close it
    });
    dialog.ShowModal();
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(App().OnIdle() == TIdleEvent(log.get(), &TKVAppLog::DoIdle));
    App().ProcessMessages();  // the WM_CLOSE that Enter made needless
    const Journal idle = Fired([&] { RunIdle(); });
    EXPECT_NE(std::find(idle.begin(), idle.end(), "own idle (done)"), idle.end())
        << ::testing::PrintToString(idle);
}

}  // namespace
