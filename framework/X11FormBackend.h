// Shows the form model in real windows on an X display. Each form that is
// shown gets a top-level window of its client size, placed where the model
// puts it and titled with its caption; its controls are drawn from the model
// whenever it changes or the window is uncovered. The user's clicks and keys
// go back through the model's own operations (Click, the check box's
// toggle, SetFocus, PressKey, PressChar, Close), so what a form does is the
// same with or without a display.
//
// The backend offers itself the first time a form is shown while an X
// display can be opened ($DISPLAY set and reachable), unless
// ZORIRIVE_HEADLESS=1 or the application installed a backend of its own.
// Message boxes then become windows too, unless the application chose its
// own dialog presenter. Everything runs on the main thread inside the
// application's message loop, which also wakes for the display's input.
// A display that goes away leaves the forms headless; modal forms that were
// up are closed with mrCancel, as nobody can answer them any more.
#pragma once

namespace zr {

class TCustomForm;

// Connects to the display and installs the backend (and the message box
// windows). False when no display can be opened; the forms stay headless.
// Forms that are visible already get their windows.
bool StartX11FormBackend();
// Closes every window and the connection, and puts the default backend
// back; the model is left as it is.
void StopX11FormBackend();
// The backend is installed and its display connected.
bool X11FormBackendRunning();
// The X window showing `form`; 0 when it has none.
unsigned long X11WindowOf(const TCustomForm& form);

}  // namespace zr
