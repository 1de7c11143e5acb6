// orders: an order desk. A folder change log watches the inbox where orders
// arrive and writes each change to its log; a check processor checks the
// order form before an order is accepted.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <zoririve/checks/KVLChecks.h>
#include <zoririve/framework/Forms.h>
#include <zoririve/framework/StdCtrls.h>
#include <zoririve/framework/Thread.h>
#include <zoririve/watchers/LogFile.h>

using namespace zr;

namespace {

// The order form: its controls, and the check processor with one provider
// per control, as a designer would have placed them.
struct TOrderForm {
    std::unique_ptr<TForm> form = std::make_unique<TForm>(nullptr);
    TEdit* customer = Place<TEdit>("edtCustomer", 16);
    TEdit* quantity = Place<TEdit>("edtQuantity", 44);
    TCheckBox* terms = Place<TCheckBox>("chkTerms", 72);
    TKVLCheckProcessor* checks = new TKVLCheckProcessor(form.get());

    TOrderForm() {
        form->SetCaption("Order");
        TKVLCheckProviders* providers = checks->CheckProviders();
        (new TKVLCheckProviderEdit(providers))->SetCheckControl(customer);
        auto* amount = new TKVLCheckProviderNumericEdit(providers);
        amount->SetCheckControl(quantity);
        amount->SetMinValue(1);
        amount->SetMaxValue(99);
        (new TKVLCheckProviderCheckbox(providers))->SetCheckControl(terms);
        form->Show();
    }

    template <class C>
    C* Place(const char* name, int top) {
        auto* control = new C(form.get());
        control->SetName(name);
        control->SetParent(form.get());
        control->SetBounds(16, top, 160, 21);
        return control;
    }

    void Check() {
        const bool accepted = checks->Execute();
        std::cout << "order " << (accepted ? "accepted" : "refused") << ", "
                  << checks->FailedCount() << " failed";
        if (!accepted) std::cout << ", focus on " << form->ActiveControl()->Name();
        std::cout << "\n";
        TKVLCheckProviders& providers = *checks->CheckProviders();
        for (int i = 0; i < providers.Count(); ++i)
            if (providers.Items(i)->Status() == csFailed)
                std::cout << "  " << providers.Items(i)->CheckControl()->Name() << ": "
                          << providers.Items(i)->LinkedImage()->Hint() << "\n";
    }
};

// Reports reach the log on the main thread; serve them for a moment.
void ServeReports() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < end) TThread::CheckSynchronize(10);
}

// The example's folder (its log, its outbox) goes when the example ends.
struct TScratchFolder {
    std::string path;
    ~TScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

int main() {
    std::string desk = (std::filesystem::temp_directory_path() / "orders-XXXXXX").string();
    if (::mkdtemp(desk.data()) == nullptr) return 1;
    const TScratchFolder removedAtTheEnd{desk};
    const std::string inbox = desk + "/inbox";
    std::filesystem::create_directory(inbox);

    TComponent dataModule(nullptr);
    auto* inboxLog = new TKVFileLog(&dataModule);
    inboxLog->SetFolder(inbox);
    inboxLog->SetOptions({foFile, foSize});
    inboxLog->SetLogFile(desk + "/inbox.log");
    // The watcher only raises events; writing them down is the handler's choice.
    inboxLog->SetOnFileNotification(
        TFileNotifyEvent::FromFunction([inboxLog](TObject*, TFileNotificationOption action) {
            const std::string what = action == foFile ? "a file came or went" : "a file grew";
            std::cout << "inbox: " << what << "\n";
            inboxLog->WriteAsString("inbox: " + what + "\r\n");
        }));
    inboxLog->SetActive(true);
    std::cout << "watching " << inbox << "\n";

    std::ofstream(inbox + "/order-1.txt") << "Ada Lovelace, 3 engines";
    ServeReports();

    TOrderForm order;
    order.customer->SetText("Ada Lovelace");
    order.quantity->SetText("three");
    order.Check();
    order.quantity->SetText("3");
    order.terms->SetChecked(true);
    order.Check();

    std::filesystem::remove(inbox + "/order-1.txt");
    ServeReports();
    inboxLog->SetActive(false);

    std::ifstream log(desk + "/inbox.log");
    std::cout << "inbox.log:\n";
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::cout << "  | " << line << "\n";
    }
    return 0;
}
