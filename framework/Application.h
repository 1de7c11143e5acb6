// The application object: the main thread's message loop, the main window and
// its hooks, the application-wide events, and the default handling of
// exceptions that escape code the loop dispatched.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Component.h"
#include "Event.h"
#include "Exceptions.h"
#include "Geometry.h"
#include "Messages.h"

namespace zr {

class TControl;
class TCustomForm;
class TSettingsWatcher;
struct TSettingsWatch;

// What a hint about to show looks like; OnShowHint may change any of it.
struct THintInfo {
    TControl* HintControl = nullptr;
    TPoint HintPos;                        // where the hint window goes, screen coordinates
    int HintMaxWidth = 0;                  // 0: as wide as the text
    std::uint32_t HintColor = 0x80000018;  // the system's tooltip colour
    TRect CursorRect;                      // moving out of it hides the hint
    TPoint CursorPos;                      // in the control's coordinates
    int ReshowTimeout = 0;                 // milliseconds; 0: no reshow
    int HideTimeout = 2500;                // milliseconds
    std::string HintStr;
    void* HintData = nullptr;
};

using TExceptionEvent = TClosure<TObject* /*Sender*/, Exception& /*E*/>;
using TIdleEvent = TClosure<TObject* /*Sender*/, bool& /*Done*/>;
// The host's help event returns a Boolean; here the handler sets Result,
// which starts out false.
using THelpEvent =
    TClosure<std::uint16_t /*Command*/, int /*Data*/, bool& /*CallHelp*/, bool& /*Result*/>;
using TMessageEvent = TClosure<TMsg& /*Msg*/, bool& /*Handled*/>;
using TShowHintEvent =
    TClosure<std::string& /*HintStr*/, bool& /*CanShow*/, THintInfo& /*HintInfo*/>;

// A main-window hook: a method that sees a message first and returns true to
// stop its dispatch. Like an event closure it compares equal when it binds
// the same method of the same object, and it turns inert (returning false)
// once a bound framework object is gone.
class TWindowHook {
  public:
    TWindowHook() = default;
    template <class C>
    TWindowHook(C* object, bool (C::*method)(TMessage&))
        : fn_([object, method](TMessage& m) { return (object->*method)(m); }), object_(object) {
        static_assert(sizeof(method) <= sizeof(method_));
        std::memcpy(method_.data(), &method, sizeof(method));
        if constexpr (std::is_base_of_v<TObject, C>) {
            alive_ = static_cast<const TObject*>(object)->Liveness();
            tracked_ = true;
        }
    }
    // A free function or lambda; equal only to copies of itself.
    static TWindowHook FromFunction(std::function<bool(TMessage&)> fn);

    explicit operator bool() const { return static_cast<bool>(fn_) && !Expired(); }
    bool operator()(TMessage& message) const;
    bool operator==(const TWindowHook& other) const;

  private:
    bool Expired() const { return tracked_ && alive_.expired(); }

    std::function<bool(TMessage&)> fn_;
    const void* object_ = nullptr;
    std::array<char, 2 * sizeof(void*)> method_{};
    std::weak_ptr<const void> alive_;
    std::shared_ptr<int> identity_;
    bool tracked_ = false;
};

// The hint part of "short|long" that a hint window shows, and the part the
// status line shows (the whole text when there is no '|').
std::string GetShortHint(const std::string& hint);
std::string GetLongHint(const std::string& hint);

class TApplication : public TComponent {
    ZR_CLASS(TApplication, TComponent)
  public:
    explicit TApplication(TComponent* owner);
    ~TApplication() override;

    // ---- the message loop (main thread; elsewhere these do nothing) ----
    // Takes one message from the queue and dispatches it; with the queue
    // empty, runs the idle step (OnIdle, Synchronize calls) and, when Done,
    // waits for the next message.
    void HandleMessage();
    // The same for a loop of its own (a modal form's): when the idle step
    // finds nothing to do (no message, no Synchronize call, no input; OnIdle
    // has run), `loopIdle` runs before the wait and may clear Done to keep
    // the loop from waiting. The loop's work stays out of OnIdle, which
    // belongs to the application and to whoever hooks it meanwhile.
    void HandleMessage(const std::function<void(bool& done)>& loopIdle);
    // Dispatches every message waiting, without waiting for more.
    void ProcessMessages();
    // HandleMessage until Terminated.
    void Run();
    // Ends Run: sets Terminated and posts WM_QUIT to wake a waiting loop.
    void Terminate();
    bool Terminated() const { return terminated_; }

    // ---- input from outside the queue (main thread) ----
    // While the loop waits for messages it also waits for `fd` to become
    // readable (a window system's connection). `service` runs when it is,
    // and each time the loop goes idle, as the source may hold input it has
    // read already; it returns true when it handled something, which keeps
    // the loop from waiting. Exceptions from it go to HandleException like
    // those of a message. Returns an id for RemoveInputSource, which may be
    // called from inside `service`.
    int AddInputSource(int fd, std::function<bool()> service);
    void RemoveInputSource(int id);

    // ---- the main window ----
    HWND Handle() const { return handle_; }
    // Hooks see every message for the main window, in the order hooked,
    // before the window handles it; one that returns true stops the dispatch.
    // Hooking the same hook twice keeps one.
    void HookMainWindow(const TWindowHook& hook);
    void UnhookMainWindow(const TWindowHook& hook);
    // Posts WM_SETTINGCHANGE to the main window, as a change of the time
    // zone or the locale files does. `area` names what changed ("intl" for
    // the locale, "TimeZone"); lParam carries it as a pointer to static text.
    void NotifySettingsChange(const char* area);
    // The files whose change is reported so; the loop starts watching the
    // system's time zone and locale files when it first runs.
    void SetSettingsWatches(std::vector<TSettingsWatch> watches);

    // ---- exceptions ----
    // Hands the exception being handled (the one being caught, or else
    // ExceptObject) to OnException when assigned, else to ShowException.
    // EAbort is silent. An exception escaping OnException is shown, not
    // raised. Without an exception at hand it does nothing.
    void HandleException(TObject* sender);
    // The standard error message: E's message with a full stop added when
    // it has none, in an error box titled Title (standard error without a
    // display).
    void ShowException(const Exception& e);

    // ---- identity ----
    std::string ExeName() const;
    // The executable's name without extension unless set.
    std::string Title() const { return title_; }
    void SetTitle(const std::string& value) { title_ = value; }

    TCustomForm* MainForm() const { return mainForm_; }
    void SetMainForm(TCustomForm* form);

    // ---- state that fires events ----
    bool Active() const { return active_; }
    // The application gained or lost the input focus (WM_ACTIVATEAPP).
    void Activate();
    void Deactivate();
    // OnMinimize when not minimized yet; OnRestore when minimized.
    void Minimize();
    void Restore();
    bool Minimized() const { return minimized_; }

    const std::string& Hint() const { return hint_; }
    // OnHint when the text changes.
    void SetHint(const std::string& value);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool value) { showHint_ = value; }
    // The hint window is about to show the hint of `control` (its ShowHint
    // holds) for the cursor at `cursorPos`: fires OnShowHint, and shows the
    // hint when CanShow stays true and the text is not empty. Returns whether
    // it showed; what showed is CurrentHint until CancelHint.
    bool ActivateHint(TControl* control, TPoint cursorPos);
    // The same for a hint text of no particular control.
    bool ActivateHint(const std::string& hint, TPoint cursorPos);
    void CancelHint();
    // The mouse moved to `cursorPos` (in the control's coordinates) over
    // `control`, or off the application's controls (nullptr). The status
    // line's hint follows the control (its long hint; OnHint when that
    // changes), and moving onto another control shows that control's hint
    // (OnShowHint) at once, without the pause of a pointer at rest.
    void HintMouseMessage(TControl* control, TPoint cursorPos);
    bool HintShowing() const { return hintShowing_; }
    const THintInfo& CurrentHint() const { return currentHint_; }

    // Asks OnHelp; the result is what the handler set (false without one).
    // No help viewer is run: CallHelp is reported but nothing displays help.
    bool HelpCommand(int command, int data);
    bool HelpContext(int context) { return HelpCommand(HELP_CONTEXT, context); }

    // ---- events ----
    const TNotifyEvent& OnActivate() const { return onActivate_; }
    void SetOnActivate(const TNotifyEvent& h) { onActivate_ = h; }
    const TNotifyEvent& OnDeactivate() const { return onDeactivate_; }
    void SetOnDeactivate(const TNotifyEvent& h) { onDeactivate_ = h; }
    const TExceptionEvent& OnException() const { return onException_; }
    void SetOnException(const TExceptionEvent& h) { onException_ = h; }
    const TIdleEvent& OnIdle() const { return onIdle_; }
    void SetOnIdle(const TIdleEvent& h) { onIdle_ = h; }
    const THelpEvent& OnHelp() const { return onHelp_; }
    void SetOnHelp(const THelpEvent& h) { onHelp_ = h; }
    const TNotifyEvent& OnHint() const { return onHint_; }
    void SetOnHint(const TNotifyEvent& h) { onHint_ = h; }
    const TMessageEvent& OnMessage() const { return onMessage_; }
    void SetOnMessage(const TMessageEvent& h) { onMessage_ = h; }
    const TNotifyEvent& OnMinimize() const { return onMinimize_; }
    void SetOnMinimize(const TNotifyEvent& h) { onMinimize_ = h; }
    const TNotifyEvent& OnRestore() const { return onRestore_; }
    void SetOnRestore(const TNotifyEvent& h) { onRestore_ = h; }
    const TShowHintEvent& OnShowHint() const { return onShowHint_; }
    void SetOnShowHint(const TShowHintEvent& h) { onShowHint_ = h; }

  protected:
    void Notification(TComponent* component, TOperation operation) override;

  private:
    bool ProcessMessage(TMsg& msg);
    void Idle(const std::function<void(bool& done)>& loopIdle);
    void WndProc(TMessage& message);
    void DefaultHandling(TMessage& message);
    void DispatchException(Exception& e, TObject* sender);
    bool ShowHintText(TControl* control, const std::string& text, TPoint cursorPos);
    void CheckTimeZoneVariable();
    void StartSettingsWatcher();
    // Runs every input source's service; true when one handled something.
    bool ServiceInputSources();
    // WaitMessage that also wakes (and services) a readable input source.
    void WaitForInput();

    struct TInputSource {
        int Id = 0;
        void* Handle = nullptr;  // the wait handle of the source's descriptor
        std::shared_ptr<std::function<bool()>> Service;
    };
    std::vector<TInputSource> inputSources_;
    int nextInputSource_ = 1;

    HWND handle_ = nullptr;
    bool terminated_ = false;
    bool active_ = false;
    bool minimized_ = false;
    bool showHint_ = true;
    bool hintShowing_ = false;
    std::string title_;
    std::string hint_;
    std::string lastTz_;
    THintInfo currentHint_;
    // The control the mouse is over, and whether it still exists.
    TControl* mouseControl_ = nullptr;
    std::weak_ptr<const void> mouseControlAlive_;
    TCustomForm* mainForm_ = nullptr;
    std::vector<TWindowHook> hooks_;
    std::unique_ptr<TSettingsWatcher> settingsWatcher_;
    bool settingsWatchStarted_ = false;

    TNotifyEvent onActivate_;
    TNotifyEvent onDeactivate_;
    TExceptionEvent onException_;
    TIdleEvent onIdle_;
    THelpEvent onHelp_;
    TNotifyEvent onHint_;
    TMessageEvent onMessage_;
    TNotifyEvent onMinimize_;
    TNotifyEvent onRestore_;
    TShowHintEvent onShowHint_;
};

// The process's application object: made when the run-time library loads and
// freed when it unloads.
extern TApplication* Application;

}  // namespace zr
