// The application event log: a log component that hears the application's
// and the screen's events from any form. While active it installs its own
// handlers into those objects, keeps the handlers that were there before, and
// on each event calls the earlier handler and its own published event, so
// several listeners (other application event logs among them) share one
// application. A change of system settings reaching the application's main
// window is reported as OnSettingsChanged.
//
// It writes nothing by itself: handlers that want an event in the log file
// call the inherited WriteAsString.
#pragma once

#include <cstdint>

#include "../core/LogBase.h"
#include "../framework/Application.h"
#include "../framework/Event.h"
#include "../framework/Messages.h"

namespace zr {

class TKVAppLog : public TKVLogBase {
    ZR_CLASS(TKVAppLog, TKVLogBase)
  public:
    // Active from the start: at run time the handlers are installed as soon
    // as the component exists; in the designer Active only reads True.
    explicit TKVAppLog(TComponent* owner);
    // Deactivates (puts back the handlers it saved) before the base goes.
    ~TKVAppLog() override;

    // Installs the handlers when Active turns True and puts the saved ones
    // back when it turns False; a value that changes nothing does nothing, so
    // activation never stacks on itself (a form file that stores Active =
    // True for a component its constructor activated) and never wipes
    // handlers that other code installed. In the designer nothing is hooked.
    //
    // Putting back writes exactly the ten saved application handlers, even
    // when something replaced them in between, and leaves the screen's two
    // change events empty. Another application event log that chained onto
    // this one is told to call what this one called instead, so it never
    // puts back a handler of a component that is gone.
    void SetActive(bool value) override;

    // ---- the installed handlers: previous handler, then own event ----
    void DoActivate(TObject* sender);
    void DoDeactivate(TObject* sender);
    // Both handlers, then always the standard error message for E.
    void DoException(TObject* sender, Exception& e);
    void DoIdle(TObject* sender, bool& done);
    // Own event first, then the previous handler; Result is that of the last
    // one called (false when there is none).
    void DoHelp(std::uint16_t command, int data, bool& callHelp, bool& result);
    void DoHint(TObject* sender);
    void DoMessage(TMsg& msg, bool& handled);
    void DoMinimize(TObject* sender);
    void DoRestore(TObject* sender);
    void DoShowHint(std::string& hintStr, bool& canShow, THintInfo& hintInfo);
    void DoActiveControlChange(TObject* sender);
    void DoActiveFormChange(TObject* sender);

    // The main-window hook: WM_SETTINGCHANGE raises OnSettingsChanged with
    // this component as Sender; an exception from it goes to
    // Application.HandleException. Returns false always, so the window
    // still handles the message.
    virtual bool MessageHook(TMessage& message);

    // ---- published events ----
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
    const TNotifyEvent& OnSettingsChanged() const { return onSettingsChanged_; }
    void SetOnSettingsChanged(const TNotifyEvent& h) { onSettingsChanged_ = h; }
    const TNotifyEvent& OnActiveControlChange() const { return onActiveControlChange_; }
    void SetOnActiveControlChange(const TNotifyEvent& h) { onActiveControlChange_ = h; }
    const TNotifyEvent& OnActiveFormChange() const { return onActiveFormChange_; }
    void SetOnActiveFormChange(const TNotifyEvent& h) { onActiveFormChange_ = h; }

    // True while this component's handlers are installed.
    bool Hooked() const { return hooked_; }

  private:
    // The saved handlers, one per hooked event.
    struct TSavedHandlers {
        TNotifyEvent Activate;
        TNotifyEvent Deactivate;
        TExceptionEvent Exception;
        TIdleEvent Idle;
        THelpEvent Help;
        TNotifyEvent Hint;
        TMessageEvent Message;
        TNotifyEvent Minimize;
        TNotifyEvent Restore;
        TShowHintEvent ShowHint;
        TNotifyEvent ActiveControlChange;
        TNotifyEvent ActiveFormChange;
    };

    void Hook();
    void Unhook();
    // This component's own handlers, as closures that compare equal to the
    // ones it installed.
    TSavedHandlers OwnHandlers();
    // Where another hooked log saved one of this component's handlers, it
    // takes over what this component saved for that event.
    void HandOverSavedHandlers();

    bool hooked_ = false;
    TSavedHandlers saved_;

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
    TNotifyEvent onSettingsChanged_;
    TNotifyEvent onActiveControlChange_;
    TNotifyEvent onActiveFormChange_;
};

}  // namespace zr
