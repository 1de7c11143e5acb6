// Message dialogs: MessageDlg, ShowMessage and the message box behind
// ShowException. What is shown goes through one replaceable presenter, so a
// display back end can show real windows, and tests can see and answer what
// would have been shown. Without a display the default presenter writes the
// message to standard error and answers with the dialog's default button.
#pragma once

#include <memory>
#include <string>

#include "Controls.h"
#include "Set.h"
#include "TypeInfo.h"

namespace zr {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
ZR_ENUM(TMsgDlgType, mtWarning, mtError, mtInformation, mtConfirmation, mtCustom);

enum TMsgDlgBtn {
    mbYes,
    mbNo,
    mbOK,
    mbCancel,
    mbAbort,
    mbRetry,
    mbIgnore,
    mbAll,
    mbNoToAll,
    mbYesToAll,
    mbHelp
};
ZR_ENUM(TMsgDlgBtn, mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore, mbAll, mbNoToAll,
        mbYesToAll, mbHelp);
using TMsgDlgButtons = Set<TMsgDlgBtn>;

inline const TMsgDlgButtons mbYesNoCancel{mbYes, mbNo, mbCancel};
inline const TMsgDlgButtons mbYesNoAllCancel{mbYes, mbYesToAll, mbNo, mbNoToAll, mbCancel};
inline const TMsgDlgButtons mbOKCancel{mbOK, mbCancel};
inline const TMsgDlgButtons mbAbortRetryIgnore{mbAbort, mbRetry, mbIgnore};
inline const TMsgDlgButtons mbAbortIgnore{mbAbort, mbIgnore};

// One dialog to show.
struct TMessageDialog {
    std::string Title;  // the caption: the kind's name ("Error"), or the application title
    std::string Text;
    TMsgDlgType Type = mtInformation;
    TMsgDlgButtons Buttons;
    int HelpContext = 0;
};

// The modal result of a button (mbOK -> mrOk, mbHelp -> mrNone).
TModalResult ModalResultOf(TMsgDlgBtn button);
// The button that Enter presses: OK, else Yes, else Retry, else the first one.
TMsgDlgBtn DefaultButtonOf(TMsgDlgButtons buttons);
// The button that Esc presses: Cancel, else No, else OK; mrCancel without one.
TModalResult CancelResultOf(TMsgDlgButtons buttons);
// The caption a kind of dialog carries ("Warning", "Error", "Information",
// "Confirm"); empty for mtCustom, which takes the application title.
std::string DialogCaption(TMsgDlgType type);

// Shows dialogs. Show runs on the main thread and returns the modal result.
class TDialogPresenter {
  public:
    virtual ~TDialogPresenter() = default;
    virtual TModalResult Show(const TMessageDialog& dialog) = 0;
};

// Writes "<title>: <text>" to standard error and answers with the default
// button: nobody can answer a dialog that cannot be seen.
class TStandardErrorPresenter : public TDialogPresenter {
  public:
    TModalResult Show(const TMessageDialog& dialog) override;
};

// Called on the main thread when a dialog is about to go to the standard
// presenter: a window backend that can reach a display starts there and
// installs its own presenter (true), so the first message box of a program
// that never showed a form still appears as a window.
using TDialogDisplayProvider = bool (*)();
void SetDialogDisplayProvider(TDialogDisplayProvider provider);

// Replaces the presenter; null restores the default. Returns the previous one.
std::shared_ptr<TDialogPresenter> SetDialogPresenter(std::shared_ptr<TDialogPresenter> presenter);
std::shared_ptr<TDialogPresenter> DialogPresenter();

// Shows a dialog of `type` with `buttons`, and returns the button's modal
// result. An empty button set shows an OK button.
TModalResult MessageDlg(const std::string& msg, TMsgDlgType type, TMsgDlgButtons buttons,
                        int helpContext);
// An information box with an OK button, captioned with the application title.
void ShowMessage(const std::string& msg);
// An error box with an OK button and the given caption (ShowException).
void ShowErrorBox(const std::string& text, const std::string& caption);

// The sound types of MessageBeep. Every one rings the same bell here.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_ICONHAND = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_ICONASTERISK = 0x40;

// Rings the display's bell while a window backend has a display open, the
// terminal's otherwise (when standard error is one; a program without a
// terminal stays silent). True when a bell was rung.
bool MessageBeep(unsigned type);
// How many times MessageBeep was called in this process, rung or not, so a
// test or an application can tell that a beep was given.
unsigned long MessageBeepCount();

// A window backend rings its display's bell through this while it runs:
// the function answers whether it rang. nullptr: the terminal's bell only.
using TBellRinger = bool (*)();
void SetBellRinger(TBellRinger ringer);

}  // namespace zr
