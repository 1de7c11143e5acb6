// The message box as a form of the model: the picture of the dialog's kind,
// its text, and a row of buttons in the usual order, the one Enter presses
// and the one Esc presses marked as such. A window backend shows it like any
// other form; without one it answers to keys posted to its queue.
#pragma once

#include <memory>

#include "Dialogs.h"
#include "Forms.h"

namespace zr {

// The form that shows `dialog`; the caller owns it.
std::unique_ptr<TForm> CreateMessageForm(const TMessageDialog& dialog);

// Shows `dialog` modally in such a form and returns the modal result of the
// button pressed (mrCancel when the window is closed).
TModalResult ShowMessageForm(const TMessageDialog& dialog);

// The caption of a dialog button ("OK", "&Yes", "N&o to All", ...).
std::string ButtonCaption(TMsgDlgBtn button);

}  // namespace zr
