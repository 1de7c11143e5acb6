#include "framework/Application.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "framework/Controls.h"
#include "framework/Dialogs.h"
#include "framework/ExceptAddr.h"
#include "framework/MessageQueue.h"
#include "framework/SettingsWatcher.h"
#include "framework/Thread.h"
#include "tests/support/ScopedEnv.h"

using namespace zr;
using namespace std::chrono_literals;

namespace {

// Records the dialogs that would have been shown and answers them.
struct RecordingPresenter : TDialogPresenter {
    std::vector<TMessageDialog> shown;
    std::vector<bool> onMainThread;
    TModalResult answer = mrNone;  // mrNone: the default button
    TModalResult Show(const TMessageDialog& dialog) override {
        shown.push_back(dialog);
        onMainThread.push_back(IsMainThread());
        return answer != mrNone ? answer : ModalResultOf(DefaultButtonOf(dialog.Buttons));
    }
};

// A fresh application object in place of the process's one for each test,
// so that Terminated, handlers and hooks never leak from test to test; and a
// presenter that sees what would have been shown.
class ApplicationFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Application;
        app_ = std::make_unique<TApplication>(nullptr);
        app_->SetSettingsWatches({});  // no watcher thread unless a test wants one
        Application = app_.get();
        presenter_ = std::make_shared<RecordingPresenter>();
        previousPresenter_ = SetDialogPresenter(presenter_);
        // Leaves no message or wake-up of an earlier test behind.
        do {
            app_->ProcessMessages();
        } while (WaitMessageTimeout(0));
    }
    void TearDown() override {
        app_->ProcessMessages();
        SetDialogPresenter(previousPresenter_);
        Application = saved_;
        app_.reset();
    }
    TApplication& App() { return *app_; }
    RecordingPresenter& Shown() { return *presenter_; }

    // Posts a message whose window procedure runs `action`.
    HWND WindowDoing(std::function<void(TMessage&)> action) {
        windows_.push_back(std::make_unique<Window>(std::move(action)));
        return windows_.back()->handle;
    }

  private:
    struct Window {
        HWND handle;
        explicit Window(std::function<void(TMessage&)> action)
            : handle(AllocateHWnd(TWndMethod::FromFunction(std::move(action)))) {}
        ~Window() { DeallocateHWnd(handle); }
    };
    TApplication* saved_ = nullptr;
    std::unique_ptr<TApplication> app_;
    std::shared_ptr<RecordingPresenter> presenter_;
    std::shared_ptr<TDialogPresenter> previousPresenter_;
    std::vector<std::unique_ptr<Window>> windows_;
};

class ApplicationTest : public ApplicationFixture {};
class ApplicationThreadTest : public ApplicationFixture {};

// A component that hooks the main window, as a listener of settings does.
class THookOwner : public TComponent {
  public:
    using TComponent::TComponent;
    std::vector<UINT> seen;
    bool stop = false;
    bool Hook(TMessage& message) {
        seen.push_back(message.Msg);
        return stop;
    }
};

}  // namespace

// ---- the loop and exceptions --------------------------------------------------

TEST_F(ApplicationTest, OnMessageSeesQueuedMessagesAndHandledStopsTheirDispatch) {
    std::vector<UINT> dispatched;
    HWND window = WindowDoing([&](TMessage& m) { dispatched.push_back(m.Msg); });
    std::vector<UINT> seen;
    App().SetOnMessage(TMessageEvent::FromFunction([&](TMsg& msg, bool& handled) {
        seen.push_back(msg.message);
        handled = msg.message == WM_USER + 2;
    }));
    PostMessage(window, WM_USER + 1);
    PostMessage(window, WM_USER + 2);
    PostMessage(window, WM_USER + 3);
    App().ProcessMessages();
    EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3}));
    EXPECT_EQ(dispatched, (std::vector<UINT>{WM_USER + 1, WM_USER + 3}));

    // A sent message goes straight to its window, past OnMessage.
    SendMessage(window, WM_USER + 4);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(ApplicationTest, AnExceptionEscapingAMessageReachesOnExceptionAndTheLoopGoesOn) {
    HWND failing = WindowDoing([](TMessage&) { throw EConvertError("not a number"); });
    int after = 0;
    HWND fine = WindowDoing([&](TMessage&) { ++after; });
    std::vector<std::string> got;
    bool exceptObjectWasE = false;
    TObject* sender = nullptr;
    App().SetOnException(TExceptionEvent::FromFunction([&](TObject* s, Exception& e) {
        got.push_back(std::string(e.ClassName()) + ": " + e.Message());
        exceptObjectWasE = ExceptObject() == &e;
        sender = s;
    }));
    PostMessage(failing, WM_USER);
    PostMessage(fine, WM_USER);
    App().HandleMessage();
    App().HandleMessage();
    EXPECT_EQ(got, std::vector<std::string>{"EConvertError: not a number"});
    EXPECT_TRUE(exceptObjectWasE);
    EXPECT_EQ(sender, &App());
    EXPECT_EQ(after, 1);
    EXPECT_EQ(ExceptObject(), nullptr) << "named only while handled";
    EXPECT_TRUE(Shown().shown.empty());
}

TEST_F(ApplicationTest, WithoutOnExceptionTheStandardErrorMessageIsShown) {
    HWND failing = WindowDoing([](TMessage& m) {
        if (m.WParam == 0) throw EInOutError("File not found");
        if (m.WParam == 1) throw EInOutError("Done already.");
        throw EAbort("silent");
    });
    App().SetTitle("Ledger");
    for (WPARAM w : {0, 1, 2}) PostMessage(failing, WM_USER, w);
    App().ProcessMessages();
    ASSERT_EQ(Shown().shown.size(), 2u) << "EAbort shows nothing";
    EXPECT_EQ(Shown().shown[0].Text, "File not found.");
    EXPECT_EQ(Shown().shown[0].Title, "Ledger");
    EXPECT_EQ(Shown().shown[0].Type, mtError);
    EXPECT_EQ(Shown().shown[0].Buttons, TMsgDlgButtons{mbOK});
    EXPECT_EQ(Shown().shown[1].Text, "Done already.");
}

TEST_F(ApplicationTest, ForeignExceptionsAreWrappedAndAFailingHandlerIsContained) {
    HWND failing = WindowDoing([](TMessage&) { throw std::out_of_range("index 9"); });
    std::string className, message;
    App().SetOnException(TExceptionEvent::FromFunction([&](TObject*, Exception& e) {
        className = e.ClassName();
        message = e.Message();
        throw EListError("handler broke");
    }));
    PostMessage(failing, WM_USER);
    App().ProcessMessages();
    EXPECT_NE(className.find("out_of_range"), std::string::npos) << className;
    EXPECT_EQ(message, "index 9");
    ASSERT_EQ(Shown().shown.size(), 1u);
    EXPECT_EQ(Shown().shown[0].Text, "handler broke.");
}

TEST_F(ApplicationTest, HandleExceptionTakesTheExceptionBeingCaught) {
    std::vector<std::string> got;
    App().SetOnException(
        TExceptionEvent::FromFunction([&](TObject*, Exception& e) { got.push_back(e.Message()); }));
    try {
        throw EComponentError("caught by a component");
    } catch (...) {
        App().HandleException(nullptr);
    }
    App().HandleException(nullptr);  // nothing at hand: nothing happens
    EXPECT_EQ(got, std::vector<std::string>{"caught by a component"});
}

TEST_F(ApplicationTest, IdleRunsWhenTheQueueIsEmptyAndDoneDecidesTheWait) {
    int idles = 0;
    App().SetOnIdle(TIdleEvent::FromFunction([&](TObject* sender, bool& done) {
        EXPECT_EQ(sender, &App());
        ++idles;
        done = false;  // asks for more idle time: no wait
        if (idles == 2) throw EInvalidOperation("idle failed");
    }));
    std::vector<std::string> errors;
    App().SetOnException(TExceptionEvent::FromFunction(
        [&](TObject*, Exception& e) { errors.push_back(e.Message()); }));
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) App().HandleMessage();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(idles, 3);
    EXPECT_EQ(errors, std::vector<std::string>{"idle failed"});

    // A pending message is handled instead of idling.
    HWND window = WindowDoing([](TMessage&) {});
    PostMessage(window, WM_USER);
    App().HandleMessage();
    EXPECT_EQ(idles, 3);
}

TEST_F(ApplicationThreadTest, IdleWithDoneWaitsUntilSomethingArrives) {
    std::atomic<bool> posted{false};
    bool handled = false;
    HWND window = WindowDoing([&](TMessage&) { handled = true; });
    App().SetOnIdle(TIdleEvent::FromFunction([](TObject*, bool& done) { done = true; }));
    std::thread poster([&] {
        std::this_thread::sleep_for(60ms);
        posted = true;
        PostMessage(window, WM_USER);
    });
    App().HandleMessage();  // idles, then waits for the post
    EXPECT_TRUE(posted.load());
    App().HandleMessage();
    EXPECT_TRUE(handled);
    poster.join();
}

TEST_F(ApplicationThreadTest, RunServesSynchronizeAndEndsOnTerminate) {
    std::atomic<bool> ranOnMain{false};
    std::thread worker([&] {
        TThread::Synchronize(nullptr, [&] { ranOnMain = IsMainThread(); });
        TThread::Queue(nullptr, [] { throw EConvertError("queued failure"); });
        TThread::Synchronize(nullptr, [] { Application->Terminate(); });
    });
    std::vector<std::string> errors;
    App().SetOnException(TExceptionEvent::FromFunction(
        [&](TObject*, Exception& e) { errors.push_back(e.Message()); }));
    App().Run();
    worker.join();
    EXPECT_TRUE(ranOnMain.load());
    EXPECT_TRUE(App().Terminated());
    EXPECT_EQ(errors, std::vector<std::string>{"queued failure"});
}

TEST_F(ApplicationThreadTest, SentMessagesThatFailReachOnException) {
    HWND failing = WindowDoing([](TMessage&) { throw EReadError("sent failure"); });
    std::vector<std::string> errors;
    App().SetOnException(TExceptionEvent::FromFunction(
        [&](TObject*, Exception& e) { errors.push_back(e.Message()); }));
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        SendMessage(failing, WM_USER);
        returned = true;
    });
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (!returned.load() && std::chrono::steady_clock::now() < limit) {
        App().ProcessMessages();
        WaitMessageTimeout(10);
    }
    sender.join();
    EXPECT_EQ(errors, std::vector<std::string>{"sent failure"});
}

// ---- the main window ----------------------------------------------------------

TEST_F(ApplicationTest, HooksSeeMainWindowMessagesFirstAndMayStopThem) {
    THookOwner first(nullptr), second(nullptr);
    App().HookMainWindow(TWindowHook(&first, &THookOwner::Hook));
    App().HookMainWindow(TWindowHook(&first, &THookOwner::Hook));  // once only
    App().HookMainWindow(TWindowHook(&second, &THookOwner::Hook));
    SendMessage(App().Handle(), WM_SETTINGCHANGE);
    EXPECT_EQ(first.seen, std::vector<UINT>{WM_SETTINGCHANGE});
    EXPECT_EQ(second.seen, std::vector<UINT>{WM_SETTINGCHANGE});

    // A hook that stops the message keeps it from the hooks after it and from
    // the window itself (which would otherwise answer 1 here).
    first.stop = true;
    EXPECT_EQ(SendMessage(App().Handle(), WM_QUERYENDSESSION), 0);
    EXPECT_EQ(second.seen.size(), 1u);
    first.stop = false;
    EXPECT_EQ(SendMessage(App().Handle(), WM_QUERYENDSESSION), 1) << "the session may end";

    App().UnhookMainWindow(TWindowHook(&first, &THookOwner::Hook));
    PostMessage(App().Handle(), WM_USER);
    App().ProcessMessages();
    EXPECT_EQ(first.seen.size(), 3u);
    EXPECT_EQ(second.seen.back(), WM_USER);
    App().UnhookMainWindow(TWindowHook(&second, &THookOwner::Hook));
}

TEST_F(ApplicationTest, AHookOfAComponentThatIsGoneIsNeverCalled) {
    auto owner = std::make_unique<THookOwner>(nullptr);
    TWindowHook hook(owner.get(), &THookOwner::Hook);
    App().HookMainWindow(hook);
    owner.reset();
    EXPECT_EQ(SendMessage(App().Handle(), WM_QUERYENDSESSION), 1);
    App().UnhookMainWindow(hook);
}

TEST_F(ApplicationTest, SettingChangesReachTheMainWindowFromEverySource) {
    std::vector<std::string> areas;
    auto hook = TWindowHook::FromFunction([&](TMessage& m) {
        if (m.Msg == WM_SETTINGCHANGE)
            areas.push_back(m.LParam ? reinterpret_cast<const char*>(m.LParam) : "");
        return false;
    });
    App().HookMainWindow(hook);
    App().NotifySettingsChange("intl");
    App().ProcessMessages();

    // The time zone variable is looked at when the loop idles.
    const char* oldTz = getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "Pacific/Auckland", 1);
    App().SetOnIdle(TIdleEvent::FromFunction([](TObject*, bool& done) { done = false; }));
    App().HandleMessage();
    App().HandleMessage();
    if (oldTz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    App().HandleMessage();
    App().HandleMessage();
    App().UnhookMainWindow(hook);
    EXPECT_EQ(areas, (std::vector<std::string>{"intl", "TimeZone", "TimeZone"}));
}

TEST_F(ApplicationThreadTest, AChangedTimeZoneFileIsReportedAsASettingChange) {
    auto dir =
        std::filesystem::temp_directory_path() / ("zr-settings-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    App().SetSettingsWatches({{dir.string(), {"localtime"}, "TimeZone"}});
    std::vector<std::string> areas;
    App().HookMainWindow(TWindowHook::FromFunction([&](TMessage& m) {
        if (m.Msg == WM_SETTINGCHANGE) areas.push_back(reinterpret_cast<const char*>(m.LParam));
        return false;
    }));
    std::ofstream(dir / "unrelated") << "x";
    std::ofstream(dir / "localtime") << "TZif";
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (areas.empty() && std::chrono::steady_clock::now() < limit) {
        App().ProcessMessages();
        WaitMessageTimeout(20);
    }
    std::this_thread::sleep_for(300ms);  // a burst is reported once
    App().ProcessMessages();
    App().SetSettingsWatches({});
    std::filesystem::remove_all(dir);
    EXPECT_EQ(areas, std::vector<std::string>{"TimeZone"});
}

TEST_F(ApplicationTest, RunEndsAtOnceWhenTheSessionEnds) {
    SendMessage(App().Handle(), WM_ENDSESSION, 0);
    EXPECT_FALSE(App().Terminated()) << "the session did not end after all";
    SendMessage(App().Handle(), WM_ENDSESSION, 1);
    EXPECT_TRUE(App().Terminated());
    App().Run();  // returns at once
}

// ---- events without a display ---------------------------------------------------

TEST_F(ApplicationTest, ActivationMinimizingAndRestoringFireTheirEvents) {
    std::vector<std::string> events;
    auto record = [&](const char* name) {
        return TNotifyEvent::FromFunction([&events, name](TObject* sender) {
            EXPECT_EQ(sender, Application);
            events.push_back(name);
        });
    };
    App().SetOnActivate(record("activate"));
    App().SetOnDeactivate(record("deactivate"));
    App().SetOnMinimize(record("minimize"));
    App().SetOnRestore(record("restore"));

    SendMessage(App().Handle(), WM_ACTIVATEAPP, 1);
    EXPECT_TRUE(App().Active());
    SendMessage(App().Handle(), WM_ACTIVATEAPP, 0);
    EXPECT_FALSE(App().Active());
    App().Restore();  // not minimized: nothing to restore
    SendMessage(App().Handle(), WM_SYSCOMMAND, SC_MINIMIZE);
    App().Minimize();  // already minimized
    EXPECT_TRUE(App().Minimized());
    SendMessage(App().Handle(), WM_SYSCOMMAND, SC_RESTORE);
    App().Activate();
    EXPECT_EQ(events, (std::vector<std::string>{"activate", "deactivate", "minimize", "restore",
                                                "activate"}));
}

TEST_F(ApplicationTest, HintChangesAndShownHintsFireTheirEvents) {
    int hints = 0;
    App().SetOnHint(TNotifyEvent::FromFunction([&](TObject*) { ++hints; }));
    App().SetHint("Saves the file|Saves the file under its current name");
    App().SetHint("Saves the file|Saves the file under its current name");
    App().SetHint("");
    EXPECT_EQ(hints, 2) << "only a change fires OnHint";

    TControl control(nullptr);
    control.SetHint("Save|Saves the file");
    control.SetBounds(0, 0, 80, 24);
    control.SetShowHint(true);
    App().SetOnShowHint(
        TShowHintEvent::FromFunction([&](std::string& text, bool& canShow, THintInfo& info) {
            EXPECT_EQ(info.HintControl, &control);
            EXPECT_EQ(info.CursorRect, (TRect{0, 0, 80, 24}));
            canShow = text != "Quiet";
            text = "[" + text + "]";
            info.HideTimeout = 100;
        }));
    EXPECT_TRUE(App().ActivateHint(&control, {5, 6}));
    EXPECT_TRUE(App().HintShowing());
    EXPECT_EQ(App().CurrentHint().HintStr, "[Save]");
    EXPECT_EQ(App().CurrentHint().HideTimeout, 100);
    EXPECT_EQ(App().CurrentHint().CursorPos, (TPoint{5, 6}));

    control.SetHint("Quiet");
    EXPECT_FALSE(App().ActivateHint(&control, {5, 6}));
    EXPECT_FALSE(App().HintShowing());
    control.SetHint("Save");
    control.SetShowHint(false);
    EXPECT_FALSE(App().ActivateHint(&control, {5, 6})) << "the control shows no hints";
}

TEST_F(ApplicationTest, HelpCommandAsksOnHelpForItsAnswer) {
    EXPECT_FALSE(App().HelpCommand(HELP_CONTEXT, 12)) << "nobody answers";
    std::uint16_t command = 0;
    int data = 0;
    App().SetOnHelp(TClosure<std::uint16_t, int, bool&, bool&>::FromFunction(
        [&](std::uint16_t c, int d, bool& callHelp, bool& result) {
            command = c;
            data = d;
            EXPECT_TRUE(callHelp);
            result = true;
        }));
    EXPECT_TRUE(App().HelpContext(1234));
    EXPECT_EQ(command, HELP_CONTEXT);
    EXPECT_EQ(data, 1234);
}

TEST_F(ApplicationTest, NamesComeFromTheRunningExecutable) {
    auto exe = App().ExeName();
    EXPECT_EQ(exe, std::filesystem::canonical("/proc/self/exe").string());
    auto name = std::filesystem::path(exe).stem().string();
    EXPECT_EQ(App().Title(), name);
    App().SetTitle("Accounts");
    EXPECT_EQ(App().Title(), "Accounts");
}

// ---- message dialogs ------------------------------------------------------------

TEST_F(ApplicationTest, MessageDialogsCarryTheirKindButtonsAndAnswer) {
    Shown().answer = mrNo;
    EXPECT_EQ(MessageDlg("Save changes?", mtConfirmation, mbYesNoCancel, 42), mrNo);
    ASSERT_EQ(Shown().shown.size(), 1u);
    const auto& d = Shown().shown[0];
    EXPECT_EQ(d.Title, "Confirm");
    EXPECT_EQ(d.Text, "Save changes?");
    EXPECT_EQ(d.Buttons, mbYesNoCancel);
    EXPECT_EQ(d.HelpContext, 42);

    App().SetTitle("Ledger");
    Shown().answer = mrNone;
    ShowMessage("Saved");
    EXPECT_EQ(Shown().shown[1].Title, "Ledger");
    EXPECT_EQ(MessageDlg("No buttons given", mtWarning, {}, 0), mrOk);
    EXPECT_EQ(Shown().shown[2].Title, "Warning");
}

TEST(DialogsTest, WithoutADisplayTheMessageGoesToStandardErrorWithTheDefaultAnswer) {
    // No display, whatever the environment of the test run names.
    zr::testing::ScopedEnv noDisplay("DISPLAY", std::nullopt);
    auto previous = SetDialogPresenter(nullptr);
    ::testing::internal::CaptureStderr();
    auto yes = MessageDlg("Overwrite?", mtConfirmation, {mbYes, mbNo}, 0);
    auto retry = MessageDlg("Disk busy", mtError, mbAbortRetryIgnore, 0);
    auto err = ::testing::internal::GetCapturedStderr();
    SetDialogPresenter(previous);
    EXPECT_EQ(yes, mrYes);
    EXPECT_EQ(retry, mrRetry);
    EXPECT_EQ(err, "Confirm: Overwrite?\nError: Disk busy\n");
    EXPECT_EQ(CancelResultOf(mbYesNoCancel), mrCancel);
    EXPECT_EQ(CancelResultOf({mbYes, mbNo}), mrNo);
}

TEST_F(ApplicationThreadTest, ADialogAskedForByAWorkerIsShownOnTheMainThread) {
    std::atomic<int> answer{-1};
    std::thread worker([&] { answer = MessageDlg("From a worker", mtInformation, {mbOK}, 0); });
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (answer.load() == -1 && std::chrono::steady_clock::now() < limit) {
        App().ProcessMessages();
        WaitMessageTimeout(10);
    }
    worker.join();
    EXPECT_EQ(answer.load(), mrOk);
    ASSERT_EQ(Shown().onMainThread.size(), 1u);
    EXPECT_TRUE(Shown().onMainThread[0]);
}
