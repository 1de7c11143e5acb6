#include "applog/LogApp.h"

#include <algorithm>
#include <vector>

#include "framework/Forms.h"
#include "framework/TypeInfo.h"

namespace zr {

ZR_REGISTER_CLASS(TKVAppLog, c) {
    c.Property("OnActivate", &TKVAppLog::OnActivate, &TKVAppLog::SetOnActivate);
    c.Property("OnDeactivate", &TKVAppLog::OnDeactivate, &TKVAppLog::SetOnDeactivate);
    c.Property("OnException", &TKVAppLog::OnException, &TKVAppLog::SetOnException);
    c.Property("OnIdle", &TKVAppLog::OnIdle, &TKVAppLog::SetOnIdle);
    c.Property("OnHelp", &TKVAppLog::OnHelp, &TKVAppLog::SetOnHelp);
    c.Property("OnHint", &TKVAppLog::OnHint, &TKVAppLog::SetOnHint);
    c.Property("OnMessage", &TKVAppLog::OnMessage, &TKVAppLog::SetOnMessage);
    c.Property("OnMinimize", &TKVAppLog::OnMinimize, &TKVAppLog::SetOnMinimize);
    c.Property("OnRestore", &TKVAppLog::OnRestore, &TKVAppLog::SetOnRestore);
    c.Property("OnShowHint", &TKVAppLog::OnShowHint, &TKVAppLog::SetOnShowHint);
    c.Property("OnSettingsChanged", &TKVAppLog::OnSettingsChanged,
               &TKVAppLog::SetOnSettingsChanged);
    c.Property("OnActiveControlChange", &TKVAppLog::OnActiveControlChange,
               &TKVAppLog::SetOnActiveControlChange);
    c.Property("OnActiveFormChange", &TKVAppLog::OnActiveFormChange,
               &TKVAppLog::SetOnActiveFormChange);
}

namespace {

// The logs whose handlers are installed, in the order they hooked. Main
// thread only, like every event they serve. Never freed: a log on a form
// that outlives the static objects still unhooks through it.
std::vector<TKVAppLog*>& HookedLogs() {
    static auto* logs = new std::vector<TKVAppLog*>;
    return *logs;
}

// Where `slot` holds `mine`, it takes `replacement` instead.
template <class Closure>
void Replace(Closure& slot, const Closure& mine, const Closure& replacement) {
    if (slot && slot == mine) slot = replacement;
}

}  // namespace

TKVAppLog::TKVAppLog(TComponent* owner) : TKVLogBase(owner) {
    // The base constructor's SetActive(False) reached only the base here;
    // had it reached this override, it would have found nothing hooked and
    // changed nothing, so the outcome is the same.
    SetActive(true);
}

TKVAppLog::~TKVAppLog() {
    SetActive(false);
}

// ---- switching --------------------------------------------------------------

void TKVAppLog::SetActive(bool value) {
    TKVLogBase::SetActive(value);
    // Unhooking does not ask csDesigning: whatever is installed must come out
    // before the component goes.
    if (value && !hooked_ && !IsDesigning()) {
        Hook();
    } else if (!value && hooked_) {
        Unhook();
    }
}

TKVAppLog::TSavedHandlers TKVAppLog::OwnHandlers() {
    TSavedHandlers own;
    own.Activate = TNotifyEvent(this, &TKVAppLog::DoActivate);
    own.Deactivate = TNotifyEvent(this, &TKVAppLog::DoDeactivate);
    own.Exception = TExceptionEvent(this, &TKVAppLog::DoException);
    own.Idle = TIdleEvent(this, &TKVAppLog::DoIdle);
    own.Help = THelpEvent(this, &TKVAppLog::DoHelp);
    own.Hint = TNotifyEvent(this, &TKVAppLog::DoHint);
    own.Message = TMessageEvent(this, &TKVAppLog::DoMessage);
    own.Minimize = TNotifyEvent(this, &TKVAppLog::DoMinimize);
    own.Restore = TNotifyEvent(this, &TKVAppLog::DoRestore);
    own.ShowHint = TShowHintEvent(this, &TKVAppLog::DoShowHint);
    own.ActiveControlChange = TNotifyEvent(this, &TKVAppLog::DoActiveControlChange);
    own.ActiveFormChange = TNotifyEvent(this, &TKVAppLog::DoActiveFormChange);
    return own;
}

void TKVAppLog::Hook() {
    if (Application == nullptr) return;
    Application->HookMainWindow(TWindowHook(this, &TKVAppLog::MessageHook));
    TApplication& app = *Application;
    saved_.Activate = app.OnActivate();
    saved_.Deactivate = app.OnDeactivate();
    saved_.Exception = app.OnException();
    saved_.Idle = app.OnIdle();
    saved_.Help = app.OnHelp();
    saved_.Hint = app.OnHint();
    saved_.Message = app.OnMessage();
    saved_.Minimize = app.OnMinimize();
    saved_.Restore = app.OnRestore();
    saved_.ShowHint = app.OnShowHint();
    const TSavedHandlers own = OwnHandlers();
    app.SetOnActivate(own.Activate);
    app.SetOnDeactivate(own.Deactivate);
    app.SetOnException(own.Exception);
    app.SetOnIdle(own.Idle);
    app.SetOnHelp(own.Help);
    app.SetOnHint(own.Hint);
    app.SetOnMessage(own.Message);
    app.SetOnMinimize(own.Minimize);
    app.SetOnRestore(own.Restore);
    app.SetOnShowHint(own.ShowHint);
    if (Screen != nullptr) {
        saved_.ActiveControlChange = Screen->OnActiveControlChange();
        saved_.ActiveFormChange = Screen->OnActiveFormChange();
        Screen->SetOnActiveControlChange(own.ActiveControlChange);
        Screen->SetOnActiveFormChange(own.ActiveFormChange);
    }
    hooked_ = true;
    HookedLogs().push_back(this);
}

void TKVAppLog::Unhook() {
    hooked_ = false;
    std::erase(HookedLogs(), this);
    HandOverSavedHandlers();
    if (Application != nullptr) {
        TApplication& app = *Application;
        app.UnhookMainWindow(TWindowHook(this, &TKVAppLog::MessageHook));
        app.SetOnActivate(saved_.Activate);
        app.SetOnDeactivate(saved_.Deactivate);
        app.SetOnException(saved_.Exception);
        app.SetOnIdle(saved_.Idle);
        app.SetOnHelp(saved_.Help);
        app.SetOnHint(saved_.Hint);
        app.SetOnMessage(saved_.Message);
        app.SetOnMinimize(saved_.Minimize);
        app.SetOnRestore(saved_.Restore);
        app.SetOnShowHint(saved_.ShowHint);
    }
    if (Screen != nullptr) {
        Screen->SetOnActiveControlChange(TNotifyEvent());
        Screen->SetOnActiveFormChange(TNotifyEvent());
    }
    saved_ = TSavedHandlers();
}

void TKVAppLog::HandOverSavedHandlers() {
    // A log that hooked after this one saved this one's handlers; once this
    // one is gone they would call nothing, and that log's deactivation would
    // put dead handlers back into the application, losing the ones this log
    // saved.
    const TSavedHandlers own = OwnHandlers();
    for (TKVAppLog* other : HookedLogs()) {
        TSavedHandlers& s = other->saved_;
        Replace(s.Activate, own.Activate, saved_.Activate);
        Replace(s.Deactivate, own.Deactivate, saved_.Deactivate);
        Replace(s.Exception, own.Exception, saved_.Exception);
        Replace(s.Idle, own.Idle, saved_.Idle);
        Replace(s.Help, own.Help, saved_.Help);
        Replace(s.Hint, own.Hint, saved_.Hint);
        Replace(s.Message, own.Message, saved_.Message);
        Replace(s.Minimize, own.Minimize, saved_.Minimize);
        Replace(s.Restore, own.Restore, saved_.Restore);
        Replace(s.ShowHint, own.ShowHint, saved_.ShowHint);
        Replace(s.ActiveControlChange, own.ActiveControlChange, saved_.ActiveControlChange);
        Replace(s.ActiveFormChange, own.ActiveFormChange, saved_.ActiveFormChange);
    }
}

// ---- the handlers -----------------------------------------------------------

void TKVAppLog::DoActivate(TObject* sender) {
    if (saved_.Activate) saved_.Activate(sender);
    if (onActivate_) onActivate_(sender);
}

void TKVAppLog::DoDeactivate(TObject* sender) {
    if (saved_.Deactivate) saved_.Deactivate(sender);
    if (onDeactivate_) onDeactivate_(sender);
}

void TKVAppLog::DoException(TObject* sender, Exception& e) {
    if (saved_.Exception) saved_.Exception(sender, e);
    if (onException_) onException_(sender, e);
    if (Application != nullptr) Application->ShowException(e);
}

void TKVAppLog::DoIdle(TObject* sender, bool& done) {
    if (saved_.Idle) saved_.Idle(sender, done);
    if (onIdle_) onIdle_(sender, done);
}

void TKVAppLog::DoHelp(std::uint16_t command, int data, bool& callHelp, bool& result) {
    // Each handler answers for itself; the last one called has the say.
    result = false;
    if (onHelp_) {
        bool own = false;
        onHelp_(command, data, callHelp, own);
        result = own;
    }
    if (saved_.Help) {
        bool previous = false;
        saved_.Help(command, data, callHelp, previous);
        result = previous;
    }
}

void TKVAppLog::DoHint(TObject* sender) {
    if (saved_.Hint) saved_.Hint(sender);
    if (onHint_) onHint_(sender);
}

void TKVAppLog::DoMessage(TMsg& msg, bool& handled) {
    if (saved_.Message) saved_.Message(msg, handled);
    if (onMessage_) onMessage_(msg, handled);
}

void TKVAppLog::DoMinimize(TObject* sender) {
    if (saved_.Minimize) saved_.Minimize(sender);
    if (onMinimize_) onMinimize_(sender);
}

void TKVAppLog::DoRestore(TObject* sender) {
    if (saved_.Restore) saved_.Restore(sender);
    if (onRestore_) onRestore_(sender);
}

void TKVAppLog::DoShowHint(std::string& hintStr, bool& canShow, THintInfo& hintInfo) {
    if (saved_.ShowHint) saved_.ShowHint(hintStr, canShow, hintInfo);
    if (onShowHint_) onShowHint_(hintStr, canShow, hintInfo);
}

void TKVAppLog::DoActiveControlChange(TObject* sender) {
    if (saved_.ActiveControlChange) saved_.ActiveControlChange(sender);
    if (onActiveControlChange_) onActiveControlChange_(sender);
}

void TKVAppLog::DoActiveFormChange(TObject* sender) {
    if (saved_.ActiveFormChange) saved_.ActiveFormChange(sender);
    if (onActiveFormChange_) onActiveFormChange_(sender);
}

bool TKVAppLog::MessageHook(TMessage& message) {
    if (message.Msg != WM_SETTINGCHANGE) return false;
    if (onSettingsChanged_) {
        try {
            onSettingsChanged_(this);
        } catch (...) {
            if (Application != nullptr) Application->HandleException(this);
        }
    }
    return false;
}

}  // namespace zr
