#include "exception/LogDlg.h"

#include <cstdio>
#include <span>
#include <string>

#include "exception/LogDlgTerminal.h"
#include "framework/X11FormBackend.h"
#include "framework/Exceptions.h"
#include "framework/FormReader.h"
#include "framework/Resources.h"
#include "framework/TypeInfo.h"

namespace zr {

ZR_REGISTER_CLASS(TfrmKVLogErrorDialog, c) {
    c.Method("btnGoWEBClick", &TfrmKVLogErrorDialog::btnGoWEBClick);
    c.Method("btnEmailClick", &TfrmKVLogErrorDialog::btnEmailClick);
}

namespace {

std::string LayoutText() {
    // The package's own resource, found by the package's own handle.
    const std::span<const std::uint8_t> bytes = FindResource(HInstance(), KVLErrorDialogResource);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

TfrmKVLogErrorDialog::TfrmKVLogErrorDialog(TComponent* owner) : TForm(owner) {
    ReadComponentInto(this, LayoutText());
    imgError = Control<TImage>("imgError");
    lblErrorText = Control<TMemo>("lblErrorText");
    btnClose = Control<TButton>("btnClose");
    btnEmail = Control<TButton>("btnEmail");
    cbAttachScreenshot = Control<TCheckBox>("cbAttachScreenshot");
    btnGoWEB = Control<TButton>("btnGoWEB");
}

TfrmKVLogErrorDialog::~TfrmKVLogErrorDialog() {
    // The terminal's reader must be gone before the controls it clicks.
    terminal_.reset();
}

template <class T>
T* TfrmKVLogErrorDialog::Control(const char* name) const {
    auto* control = dynamic_cast<T*>(FindComponent(name));
    if (control == nullptr)
        throw EReadError(std::string("The error dialog's layout has no ") +
                         T::StaticClassInfo().Name + " " + name);
    return control;
}

void TfrmKVLogErrorDialog::btnGoWEBClick(TObject* sender) {
    if (onActivateWeb_) onActivateWeb_(sender);
}

void TfrmKVLogErrorDialog::btnEmailClick(TObject* sender) {
    const bool includeScreenshot = cbAttachScreenshot->Checked() && cbAttachScreenshot->Visible();
    if (onActivateMail_) onActivateMail_(sender, includeScreenshot);
}

bool TfrmKVLogErrorDialog::Unattended() const {
    return terminals_ == 0 && !X11FormBackendRunning();
}

void TfrmKVLogErrorDialog::ModalIdle(bool& done) {
    // Run by the modal loop itself, never through Application.OnIdle: a
    // handler that someone installs while the dialog is up must stay.
    if (!Unattended() || ModalResult() != mrNone) return;
    std::fprintf(stderr, "%s: %s\n", Caption().c_str(), lblErrorText->Text().c_str());
    SetModalResult(btnClose->ModalResult() != mrNone ? btnClose->ModalResult() : mrOk);
    done = false;
}

void TfrmKVLogErrorDialog::DoShow() {
    TForm::DoShow();
    if (TLogDlgTerminal::Available()) {
        terminal_ = std::make_unique<TLogDlgTerminal>(*this, TLogDlgTerminal::kStdin,
                                                      TLogDlgTerminal::kStderr);
        terminal_->Start();
    }
}

void TfrmKVLogErrorDialog::DoHide() {
    terminal_.reset();
    TForm::DoHide();
}

}  // namespace zr
