// The seam between the form model and whatever shows it. The model keeps
// every state itself and runs without a display; a window backend installed
// here is told what changed and mirrors it, and feeds the user's input back
// through the form's own operations (PressKey, PressChar, Click, SetFocus).
#pragma once

namespace zr {

class TCustomForm;
class TWinControl;

class TFormBackend {
  public:
    virtual ~TFormBackend() = default;

    virtual void FormCreated(TCustomForm& form) {}
    virtual void FormDestroying(TCustomForm& form) {}
    virtual void FormShown(TCustomForm& form) {}
    virtual void FormHidden(TCustomForm& form) {}
    // Something on the form changed (a property, a child, the layout):
    // redraw it when convenient.
    virtual void FormChanged(TCustomForm& form) {}
    // The focus moved to `control` (nullptr: to the form itself).
    virtual void FocusChanged(TCustomForm& form, TWinControl* control) {}
    // Draws every shown form whose picture is out of date and waits until
    // the display has drawn it, so that a copy of the screen taken next
    // shows what the user sees.
    virtual void PaintPending() {}
};

// The backend in use; never null (the default shows nothing, and asks the
// provider below when a form is shown). Installing nullptr puts the default
// back. The backend must outlive the forms it saw.
TFormBackend& FormBackend();
void SetFormBackend(TFormBackend* backend);

// A window backend offers itself through a provider: when a form is shown
// while the default is in use, the provider is asked, and the backend it
// returns is installed and told about the form. nullptr: it cannot show
// windows now (it is asked again for the next form).
using TFormBackendProvider = TFormBackend* (*)();
void SetFormBackendProvider(TFormBackendProvider provider);

// A backend that shows nothing and never asks the provider: installing it
// keeps every form headless whatever display there is.
TFormBackend& HeadlessFormBackend();

}  // namespace zr
