#include "framework/Dialogs.h"

#include <typeinfo>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "framework/Application.h"
#include "framework/MessageQueue.h"
#include "framework/Thread.h"

namespace zr {

namespace {

std::mutex presenterLock;

std::shared_ptr<TDialogPresenter>& CurrentPresenter() {
    static auto* presenter =
        new std::shared_ptr<TDialogPresenter>(std::make_shared<TStandardErrorPresenter>());
    return *presenter;
}

// Dialogs are shown by the main thread, as every window is; a worker that
// asks waits for the answer.
TDialogDisplayProvider displayProvider = nullptr;

bool IsStandardPresenter(const TDialogPresenter& presenter) {
    return typeid(presenter) == typeid(TStandardErrorPresenter);
}

TModalResult Present(const TMessageDialog& dialog) {
    std::shared_ptr<TDialogPresenter> presenter;
    {
        std::lock_guard guard(presenterLock);
        presenter = CurrentPresenter();
    }
    TModalResult result = mrNone;
    TThread::Synchronize(nullptr, [&] {
        if (displayProvider && IsStandardPresenter(*presenter) && displayProvider())
            presenter = DialogPresenter();
        result = presenter->Show(dialog);
    });
    return result;
}

std::atomic<unsigned long> beepCount{0};
std::atomic<TBellRinger> bellRinger{nullptr};

std::string ApplicationTitle() {
    return Application ? Application->Title() : std::string();
}

}  // namespace

TModalResult ModalResultOf(TMsgDlgBtn button) {
    switch (button) {
        case mbYes:
            return mrYes;
        case mbNo:
            return mrNo;
        case mbOK:
            return mrOk;
        case mbCancel:
            return mrCancel;
        case mbAbort:
            return mrAbort;
        case mbRetry:
            return mrRetry;
        case mbIgnore:
            return mrIgnore;
        case mbAll:
            return mrAll;
        case mbNoToAll:
            return mrNoToAll;
        case mbYesToAll:
            return mrYesToAll;
        case mbHelp:
            return mrNone;
    }
    return mrNone;
}

TMsgDlgBtn DefaultButtonOf(TMsgDlgButtons buttons) {
    for (TMsgDlgBtn preferred : {mbOK, mbYes, mbRetry})
        if (buttons.Contains(preferred)) return preferred;
    for (int b = mbYes; b <= mbHelp; ++b)
        if (buttons.Contains(static_cast<TMsgDlgBtn>(b))) return static_cast<TMsgDlgBtn>(b);
    return mbOK;
}

TModalResult CancelResultOf(TMsgDlgButtons buttons) {
    for (TMsgDlgBtn preferred : {mbCancel, mbNo, mbOK})
        if (buttons.Contains(preferred)) return ModalResultOf(preferred);
    return mrCancel;
}

std::string DialogCaption(TMsgDlgType type) {
    switch (type) {
        case mtWarning:
            return "Warning";
        case mtError:
            return "Error";
        case mtInformation:
            return "Information";
        case mtConfirmation:
            return "Confirm";
        case mtCustom:
            break;
    }
    return {};
}

TModalResult TStandardErrorPresenter::Show(const TMessageDialog& dialog) {
    std::fprintf(stderr, "%s: %s\n", dialog.Title.c_str(), dialog.Text.c_str());
    std::fflush(stderr);
    return ModalResultOf(DefaultButtonOf(dialog.Buttons));
}

std::shared_ptr<TDialogPresenter> SetDialogPresenter(std::shared_ptr<TDialogPresenter> presenter) {
    if (!presenter) presenter = std::make_shared<TStandardErrorPresenter>();
    std::lock_guard guard(presenterLock);
    std::swap(CurrentPresenter(), presenter);
    return presenter;
}

std::shared_ptr<TDialogPresenter> DialogPresenter() {
    std::lock_guard guard(presenterLock);
    return CurrentPresenter();
}

void SetDialogDisplayProvider(TDialogDisplayProvider provider) {
    displayProvider = provider;
}

TModalResult MessageDlg(const std::string& msg, TMsgDlgType type, TMsgDlgButtons buttons,
                        int helpContext) {
    TMessageDialog dialog;
    dialog.Title = type == mtCustom ? ApplicationTitle() : DialogCaption(type);
    dialog.Text = msg;
    dialog.Type = type;
    dialog.Buttons = buttons.Empty() ? TMsgDlgButtons{mbOK} : buttons;
    dialog.HelpContext = helpContext;
    return Present(dialog);
}

void ShowMessage(const std::string& msg) {
    MessageDlg(msg, mtCustom, {mbOK}, 0);
}

void ShowErrorBox(const std::string& text, const std::string& caption) {
    TMessageDialog dialog;
    dialog.Title = caption;
    dialog.Text = text;
    dialog.Type = mtError;
    dialog.Buttons = {mbOK};
    Present(dialog);
}

bool MessageBeep(unsigned) {
    beepCount.fetch_add(1);
    if (TBellRinger ringer = bellRinger.load(); ringer && ringer()) return true;
    if (!isatty(STDERR_FILENO)) return false;
    return write(STDERR_FILENO, "\a", 1) == 1;
}

unsigned long MessageBeepCount() {
    return beepCount.load();
}

void SetBellRinger(TBellRinger ringer) {
    bellRinger.store(ringer);
}

}  // namespace zr
