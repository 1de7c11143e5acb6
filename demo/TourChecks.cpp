// Tour stop: an order form checked by a check processor with one provider
// of each kind, once with wrong values (the marks, the failed count and the
// focused control are printed) and once with right ones.
#include <memory>
#include <ostream>

#include "Tour.h"
#include "checks/KVLChecks.h"
#include "framework/Dialogs.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"

namespace {

using namespace zr;

template <class C>
C* Place(TForm& form, const char* name, int top) {
    auto* control = new C(&form);
    control->SetName(name);
    control->SetParent(&form);
    control->SetBounds(16, top, 160, 21);
    return control;
}

std::string NameOf(const TControl* control) {
    return control ? control->Name() : std::string("(none)");
}

void PrintRun(std::ostream& out, TKVLCheckProcessor& checks, TForm& form, bool passed) {
    out << "  Execute: " << (passed ? "True" : "False") << ", failed: " << checks.FailedCount()
        << ", focused: " << NameOf(form.ActiveControl()) << "\n";
    TKVLCheckProviders& providers = *checks.CheckProviders();
    for (int i = 0; i < providers.Count(); ++i) {
        TKVLCheckProvider* p = providers.Items(i);
        TImage* mark = p->LinkedImage();
        out << "    " << NameOf(p->CheckControl()) << ": "
            << (p->Status() == csFailed ? "failed" : "passed");
        if (mark)
            out << ", mark at " << mark->Left() << "," << mark->Top()
                << (mark->Visible() ? " shown" : " hidden")
                << (mark->Picture()->Empty() ? " without picture" : "") << ", hint '"
                << mark->Hint() << "'";
        out << "\n";
    }
}

void ShowChecks(std::ostream& out) {
    auto form = std::make_unique<TForm>(nullptr);
    form->SetName("frmOrder");
    form->SetCaption("Order");
    form->SetClientWidth(240);
    form->SetClientHeight(150);
    auto* customer = Place<TEdit>(*form, "edtCustomer", 16);
    auto* quantity = Place<TEdit>(*form, "edtQuantity", 44);
    auto* terms = Place<TCheckBox>(*form, "chkTerms", 72);
    auto* country = Place<TComboBox>(*form, "cmbCountry", 100);
    country->Items()->Add("Norway");
    country->Items()->Add("Chile");
    country->SetStyle(csDropDownList);

    auto* checks = new TKVLCheckProcessor(form.get());
    TKVLCheckProviders* providers = checks->CheckProviders();
    (new TKVLCheckProviderEdit(providers))->SetCheckControl(customer);
    auto* amount = new TKVLCheckProviderNumericEdit(providers);
    amount->SetCheckControl(quantity);
    amount->SetMinValue(1);
    amount->SetMaxValue(12);
    (new TKVLCheckProviderCheckbox(providers))->SetCheckControl(terms);
    (new TKVLCheckProviderCombobox(providers))->SetCheckControl(country);
    form->Show();

    const unsigned long beeps = MessageBeepCount();
    customer->SetText("Ada Lovelace");
    quantity->SetText("twelve");
    country->SetFocus();
    out << "Wrong values (quantity 'twelve', terms not agreed, no country; the focus on "
        << NameOf(form->ActiveControl()) << "):\n";
    bool passed = checks->Execute();
    PrintRun(out, *checks, *form, passed);
    out << "  beeps: " << MessageBeepCount() - beeps << "\n";

    quantity->SetText("3");
    terms->SetChecked(true);
    country->SetItemIndex(0);
    out << "Right values:\n";
    passed = checks->Execute();
    PrintRun(out, *checks, *form, passed);
    out << "  beeps: " << MessageBeepCount() - beeps << "\n";
}

[[maybe_unused]] const bool registered = zrdemo::AddStop(
    {"Input checks: a form checked with wrong values, then right ones", ShowChecks, 60});

}  // namespace
