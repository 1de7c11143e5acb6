// The error dialog of the exception log: the error icon, the exception's
// message, and (as the exception log decides when it prepares the dialog) a
// button that mails the log, a check box that adds a screenshot to that mail,
// and a button that opens the support page. The dialog knows nothing of mail
// or web: its two action buttons call two handlers. Neither closes the
// dialog; only the close button does (click, Enter or Esc, modal result 1).
//
// The layout is the form file exception/LogDlg.dfm, compiled into the
// package as a resource and read when the dialog is made. Without a display
// the dialog is a modal form of the headless model, answered through its
// message queue; when standard input and standard error are a terminal, it
// also shows itself there and takes its buttons as keys.
//
// Nobody can answer a dialog that has neither a window nor a terminal (a
// service, a batch job, a program run with ZORIRIVE_HEADLESS=1 or without
// DISPLAY, its input or error output not a terminal). Such a dialog does not
// wait for ever: once everything already queued for it has run and its modal
// loop goes idle, it writes "<caption>: <text>" to standard error and closes
// as its close button would (modal result 1).
#pragma once

#include <memory>

#include "../framework/Event.h"
#include "../framework/ExtCtrls.h"
#include "../framework/Forms.h"
#include "../framework/StdCtrls.h"

namespace zr {

class TLogDlgTerminal;

using TKVOnActivateMail = TClosure<TObject* /*Sender*/, bool /*IncludeScreenshot*/>;

// The name of the dialog's layout among the package's resources.
inline constexpr const char* KVLErrorDialogResource = "LogDlg";

class TfrmKVLogErrorDialog : public TForm {
    ZR_CLASS(TfrmKVLogErrorDialog, TForm)
  public:
    // Reads the layout from the package's resource. A layout that lacks one
    // of the controls below raises EReadError.
    explicit TfrmKVLogErrorDialog(TComponent* owner);
    ~TfrmKVLogErrorDialog() override;

    // The controls, in the layout's declaration order; owned by the form.
    TImage* imgError = nullptr;
    TMemo* lblErrorText = nullptr;
    TButton* btnClose = nullptr;
    TButton* btnEmail = nullptr;
    TCheckBox* cbAttachScreenshot = nullptr;
    TButton* btnGoWEB = nullptr;

    // The web button: OnActivateWeb with the same sender; the dialog stays open.
    void btnGoWEBClick(TObject* sender);
    // The mail button: OnActivateMail with the same sender and a screenshot
    // asked for only when the check box is both checked and visible (a
    // hidden box offers no choice); the dialog stays open.
    void btnEmailClick(TObject* sender);

    const TNotifyEvent& OnActivateWeb() const { return onActivateWeb_; }
    void SetOnActivateWeb(const TNotifyEvent& handler) { onActivateWeb_ = handler; }
    const TKVOnActivateMail& OnActivateMail() const { return onActivateMail_; }
    void SetOnActivateMail(const TKVOnActivateMail& handler) { onActivateMail_ = handler; }

    // Neither a window nor a terminal can answer the dialog (see above).
    bool Unattended() const;
    // A terminal front end reading keys for this dialog (counted, as a test
    // may attach its own beside the standard one).
    void TerminalAttached(bool attached) { terminals_ += attached ? 1 : -1; }

  protected:
    // The terminal front end follows the dialog while it is up.
    void DoShow() override;
    void DoHide() override;
    // Closes the dialog that nobody can answer (see above).
    void ModalIdle(bool& done) override;

  private:
    template <class T>
    T* Control(const char* name) const;

    TNotifyEvent onActivateWeb_;
    TKVOnActivateMail onActivateMail_;
    int terminals_ = 0;  // before terminal_: the front end reports to it as it goes
    std::unique_ptr<TLogDlgTerminal> terminal_;
};

}  // namespace zr
