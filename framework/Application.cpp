#include "framework/Application.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "framework/ConsoleBreak.h"
#include "framework/Controls.h"
#include "framework/Dialogs.h"
#include "framework/ExceptAddr.h"
#include "framework/FaultExceptions.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "framework/SettingsWatcher.h"
#include "framework/Thread.h"

namespace zr {

TApplication* Application = nullptr;

namespace {

// lParam of WM_SETTINGCHANGE points at text that must outlive the message;
// these literals do.
const char* StaticAreaText(const std::string& area) {
    static const char timeZone[] = "TimeZone";
    static const char intl[] = "intl";
    if (area == timeZone) return timeZone;
    if (area == intl) return intl;
    return "";
}

std::string TimeZoneVariable() {
    const char* tz = std::getenv("TZ");
    return tz ? std::string("=") + tz : std::string();  // "=" tells "set empty" from unset
}

std::string ReadExeName() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string WithoutExtension(const std::string& fileName) {
    auto slash = fileName.find_last_of('/');
    std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The application lives as long as the library: made when it loads, freed
// when it unloads.
struct ApplicationLifetime {
    ApplicationLifetime() {
        Application = new TApplication(nullptr);
        EnableFaultExceptions();
        // What escapes work that the main thread runs for other threads goes
        // to whichever application object is current then.
        SetDispatchExceptionHandler([] {
            if (Application != nullptr) Application->HandleException(Application);
        });
    }
    ~ApplicationLifetime() {
        SetDispatchExceptionHandler(nullptr);
        delete Application;
        Application = nullptr;
        ShutdownMessageQueue();
    }
} applicationLifetime;

}  // namespace

ZR_REGISTER_CLASS(TApplication, c) {}

// ---- TWindowHook ------------------------------------------------------------

TWindowHook TWindowHook::FromFunction(std::function<bool(TMessage&)> fn) {
    TWindowHook hook;
    hook.fn_ = std::move(fn);
    hook.identity_ = std::make_shared<int>(0);
    hook.object_ = hook.identity_.get();
    return hook;
}

bool TWindowHook::operator()(TMessage& message) const {
    if (!fn_) return false;
    if (tracked_) {
        auto keep = alive_.lock();
        if (!keep) return false;
        return fn_(message);
    }
    return fn_(message);
}

bool TWindowHook::operator==(const TWindowHook& other) const {
    if (!fn_ || !other.fn_) return !fn_ && !other.fn_;
    return object_ == other.object_ && method_ == other.method_;
}

std::string GetShortHint(const std::string& hint) {
    auto bar = hint.find('|');
    return bar == std::string::npos ? hint : hint.substr(0, bar);
}

std::string GetLongHint(const std::string& hint) {
    auto bar = hint.find('|');
    return bar == std::string::npos ? hint : hint.substr(bar + 1);
}

// ---- TApplication -----------------------------------------------------------

TApplication::TApplication(TComponent* owner)
    : TComponent(owner), title_(WithoutExtension(ReadExeName())), lastTz_(TimeZoneVariable()) {
    handle_ = AllocateHWnd(TWndMethod(this, &TApplication::WndProc));
}

TApplication::~TApplication() {
    // Forms and components left to the application go while it is whole:
    // their destructors unhook themselves from its events.
    DestroyComponents();
    settingsWatcher_.reset();
    DeallocateHWnd(handle_);
}

// ---- the loop ---------------------------------------------------------------

bool TApplication::ProcessMessage(TMsg& msg) {
    if (!PeekMessage(msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        terminated_ = true;
        return true;
    }
    bool handled = false;
    if (onMessage_) onMessage_(msg, handled);
    if (!handled) DispatchMessage(msg);
    return true;
}

void TApplication::Idle(const std::function<void(bool& done)>& loopIdle) {
    CheckTimeZoneVariable();
    bool done = true;
    try {
        if (onIdle_) onIdle_(this, done);
    } catch (...) {
        HandleException(this);
    }
    bool busy = TThread::CheckSynchronize();
    if (ServiceInputSources()) busy = true;
    if (busy) {
        done = false;
    } else if (loopIdle) {
        loopIdle(done);
    }
    if (done) WaitForInput();
}

void TApplication::HandleMessage() {
    HandleMessage(nullptr);
}

void TApplication::HandleMessage(const std::function<void(bool& done)>& loopIdle) {
    if (!IsMainThread()) return;
    StartSettingsWatcher();
    try {
        TMsg msg;
        if (!ProcessMessage(msg)) Idle(loopIdle);
    } catch (...) {
        HandleException(this);
    }
}

void TApplication::ProcessMessages() {
    if (!IsMainThread()) return;
    StartSettingsWatcher();
    for (;;) {
        bool more = true;
        try {
            TMsg msg;
            more = ProcessMessage(msg) || TThread::CheckSynchronize() || ServiceInputSources();
        } catch (...) {
            HandleException(this);
        }
        if (!more) break;
    }
}

void TApplication::Run() {
    TConsoleBreakScope consoleBreak(*this);
    while (!terminated_) HandleMessage();
}

void TApplication::Terminate() {
    terminated_ = true;
    PostQuitMessage(0);
}

// ---- input sources ----------------------------------------------------------

int TApplication::AddInputSource(int fd, std::function<bool()> service) {
    TInputSource source;
    source.Id = nextInputSource_++;
    source.Handle = os::CreateFdHandle(fd, false);
    source.Service = std::make_shared<std::function<bool()>>(std::move(service));
    inputSources_.push_back(std::move(source));
    return inputSources_.back().Id;
}

void TApplication::RemoveInputSource(int id) {
    auto it = std::find_if(inputSources_.begin(), inputSources_.end(),
                           [id](const TInputSource& s) { return s.Id == id; });
    if (it == inputSources_.end()) return;
    os::CloseHandle(it->Handle);
    inputSources_.erase(it);
}

bool TApplication::ServiceInputSources() {
    // A service may add or remove sources (its own included) while it runs.
    std::vector<std::shared_ptr<std::function<bool()>>> services;
    for (const auto& source : inputSources_) services.push_back(source.Service);
    bool handled = false;
    for (const auto& service : services) {
        const bool stillThere =
            std::any_of(inputSources_.begin(), inputSources_.end(),
                        [&](const TInputSource& s) { return s.Service == service; });
        if (stillThere && (*service)()) handled = true;
    }
    return handled;
}

void TApplication::WaitForInput() {
    if (inputSources_.empty()) {
        WaitMessage();
        return;
    }
    if (WaitMessageTimeout(0)) return;
    std::vector<os::HANDLE> handles{MainThreadWakeEvent()};
    for (const auto& source : inputSources_) handles.push_back(source.Handle);
    const os::DWORD result = os::WaitForMultipleObjects(static_cast<os::DWORD>(handles.size()),
                                                        handles.data(), os::FALSE, os::INFINITE);
    if (result == os::WAIT_FAILED) {
        // A descriptor closed under its source must not make the loop spin.
        WaitMessageTimeout(50);
        return;
    }
    const std::size_t slot = result - os::WAIT_OBJECT_0;
    if (slot == 0 || slot >= handles.size()) return;
    const auto source = inputSources_[slot - 1].Service;
    (*source)();
}

// ---- the main window --------------------------------------------------------

void TApplication::HookMainWindow(const TWindowHook& hook) {
    if (!hook) return;
    if (std::find(hooks_.begin(), hooks_.end(), hook) == hooks_.end()) hooks_.push_back(hook);
}

void TApplication::UnhookMainWindow(const TWindowHook& hook) {
    std::erase(hooks_, hook);
}

void TApplication::WndProc(TMessage& message) {
    // A hook may unhook itself or others while it runs: walk a copy and skip
    // the ones that are gone by their turn.
    const auto hooks = hooks_;
    for (const auto& hook : hooks) {
        if (std::find(hooks_.begin(), hooks_.end(), hook) == hooks_.end()) continue;
        if (hook(message)) return;
    }
    DefaultHandling(message);
}

void TApplication::DefaultHandling(TMessage& message) {
    switch (message.Msg) {
        case WM_QUERYENDSESSION:
            message.Result = 1;  // the session may end
            break;
        case WM_ENDSESSION:
            if (message.WParam != 0) Terminate();
            break;
        case WM_ACTIVATEAPP:
            if (message.WParam != 0) {
                Activate();
            } else {
                Deactivate();
            }
            break;
        case WM_SYSCOMMAND:
            if ((message.WParam & 0xFFF0) == SC_MINIMIZE) Minimize();
            if ((message.WParam & 0xFFF0) == SC_RESTORE) Restore();
            break;
        case WM_CLOSE:
            if (mainForm_ != nullptr) {
                mainForm_->Close();
            } else {
                Terminate();
            }
            break;
        case WM_NULL:
            TThread::CheckSynchronize();
            break;
        default:
            break;
    }
}

void TApplication::NotifySettingsChange(const char* area) {
    PostMessage(handle_, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(area));
}

void TApplication::CheckTimeZoneVariable() {
    auto tz = TimeZoneVariable();
    if (tz == lastTz_) return;
    lastTz_ = tz;
    NotifySettingsChange("TimeZone");
}

void TApplication::SetSettingsWatches(std::vector<TSettingsWatch> watches) {
    settingsWatcher_.reset();
    settingsWatchStarted_ = true;
    HWND window = handle_;  // the watcher's thread must not touch the object
    settingsWatcher_ =
        std::make_unique<TSettingsWatcher>(std::move(watches), [window](const std::string& area) {
            PostMessage(window, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>(StaticAreaText(area)));
        });
}

void TApplication::StartSettingsWatcher() {
    if (!settingsWatchStarted_) SetSettingsWatches(TSettingsWatcher::SystemWatches());
}

// ---- exceptions -------------------------------------------------------------

void TApplication::HandleException(TObject* sender) {
    std::exception_ptr current = std::current_exception();
    if (!current) {
        // The scope's owner holds the exception object itself, which is not const.
        if (const Exception* e = ExceptObject())
            DispatchException(const_cast<Exception&>(*e), sender);
        return;
    }
    try {
        std::rethrow_exception(current);
    } catch (Exception& e) {
        if (ExceptObject() == &e) {
            DispatchException(e, sender);
        } else {
            TExceptionScope scope(e);
            DispatchException(e, sender);
        }
    } catch (...) {
        auto wrapped = WrapException(current);
        TExceptionScope scope(*wrapped);
        DispatchException(*wrapped, sender);
    }
}

void TApplication::DispatchException(Exception& e, TObject* sender) {
    if (e.InheritsFrom("EAbort")) return;  // the silent exception stays silent
    if (!onException_) {
        ShowException(e);
        return;
    }
    try {
        onException_(sender, e);
    } catch (Exception& failure) {
        // A failing handler must not end the loop; its own exception is shown.
        ShowException(failure);
    } catch (...) {
        ShowException(*WrapException(std::current_exception()));
    }
}

void TApplication::ShowException(const Exception& e) {
    std::string text = e.Message();
    if (!text.empty() && text.back() != '.') text += '.';
    ShowErrorBox(text, Title());
}

// ---- identity ---------------------------------------------------------------

std::string TApplication::ExeName() const {
    return ReadExeName();
}

void TApplication::SetMainForm(TCustomForm* form) {
    if (mainForm_ == form) return;
    if (mainForm_ != nullptr) mainForm_->RemoveFreeNotification(this);
    mainForm_ = form;
    if (mainForm_ != nullptr) mainForm_->FreeNotification(this);
}

void TApplication::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == mainForm_) mainForm_ = nullptr;
}

// ---- state that fires events ------------------------------------------------

void TApplication::Activate() {
    active_ = true;
    if (onActivate_) onActivate_(this);
}

void TApplication::Deactivate() {
    active_ = false;
    if (onDeactivate_) onDeactivate_(this);
}

void TApplication::Minimize() {
    if (minimized_) return;
    minimized_ = true;
    if (onMinimize_) onMinimize_(this);
}

void TApplication::Restore() {
    if (!minimized_) return;
    minimized_ = false;
    if (onRestore_) onRestore_(this);
}

void TApplication::SetHint(const std::string& value) {
    if (hint_ == value) return;
    hint_ = value;
    if (onHint_) onHint_(this);
}

bool TApplication::ActivateHint(TControl* control, TPoint cursorPos) {
    if (control == nullptr || !control->ShowHint()) return false;
    return ShowHintText(control, GetShortHint(control->Hint()), cursorPos);
}

bool TApplication::ActivateHint(const std::string& hint, TPoint cursorPos) {
    return ShowHintText(nullptr, GetShortHint(hint), cursorPos);
}

bool TApplication::ShowHintText(TControl* control, const std::string& text, TPoint cursorPos) {
    CancelHint();
    if (!showHint_) return false;
    THintInfo info;
    info.HintControl = control;
    info.CursorPos = cursorPos;
    info.HintPos = {cursorPos.X, cursorPos.Y + 20};  // below a pointer of the usual size
    if (control != nullptr) info.CursorRect = {0, 0, control->Width(), control->Height()};
    info.HintStr = text;
    std::string hintStr = text;
    bool canShow = true;
    if (onShowHint_) onShowHint_(hintStr, canShow, info);
    if (!canShow || hintStr.empty()) return false;
    info.HintStr = hintStr;
    currentHint_ = info;
    hintShowing_ = true;
    return true;
}

void TApplication::HintMouseMessage(TControl* control, TPoint cursorPos) {
    SetHint(control != nullptr ? GetLongHint(control->Hint()) : std::string());
    const bool sameControl = control == mouseControl_ && !mouseControlAlive_.expired();
    if (sameControl) return;
    mouseControl_ = control;
    mouseControlAlive_ = control != nullptr ? control->Liveness() : std::weak_ptr<const void>();
    CancelHint();
    if (control != nullptr) ActivateHint(control, cursorPos);
}

void TApplication::CancelHint() {
    hintShowing_ = false;
    currentHint_ = THintInfo{};
}

bool TApplication::HelpCommand(int command, int data) {
    bool callHelp = true;
    bool result = false;
    if (onHelp_) onHelp_(static_cast<std::uint16_t>(command), data, callHelp, result);
    return result;
}

}  // namespace zr
