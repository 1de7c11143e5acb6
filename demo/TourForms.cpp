// Tour stop: a form file is read into live components, one property is
// changed, and the form is written back; only values that differ from their
// defaults appear in the text.
#include "Tour.h"
#include "core/LogBase.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"

namespace {

const char* const kFormText =
    "object frmTour: TForm\n"
    "  Caption = 'A form read from text'\n"
    "  ClientWidth = 320\n"
    "  ClientHeight = 120\n"
    "  object lblGreeting: TLabel\n"
    "    Left = 8\n"
    "    Top = 8\n"
    "    Caption = 'Hello from a form file'\n"
    "  end\n"
    "  object btnOk: TButton\n"
    "    Left = 232\n"
    "    Top = 84\n"
    "    Caption = '&OK'\n"
    "    Default = True\n"
    "    ModalResult = 1\n"
    "  end\n"
    "  object AuditLog: TKVLogBase\n"
    "    Active = True\n"
    "    SendTo.EMail = 'support@example.org'\n"
    "  end\n"
    "end\n";

void ShowForms(std::ostream& out) {
    std::unique_ptr<zr::TComponent> form(zr::ReadComponentFromText(kFormText, nullptr));
    out << "Read a " << form->ClassName() << " named " << form->Name() << " with "
        << form->ComponentCount() << " components.\n";

    auto* log = static_cast<zr::TKVLogBase*>(form->FindComponent("AuditLog"));
    log->SetLogFile("audit.log");
    out << "Changed AuditLog.LogFile to 'audit.log'; the form written back:\n\n";
    out << zr::WriteComponentToText(form.get()) << "\n";
}

[[maybe_unused]] const bool registered = zrdemo::AddStop({"Form files", ShowForms, 5});

}  // namespace
