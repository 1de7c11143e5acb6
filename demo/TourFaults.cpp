// Tour stop: processor faults in an application's own code. Two buttons'
// click handlers fail the hard way, one reading through a pointer that is
// null, one dividing by zero; each fault arrives as the framework's exception
// at the faulting instruction, the exception log reports it with its source
// line, and the tour goes on.
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Tour.h"
#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "framework/StdCtrls.h"
#include "framework/SysUtils.h"

namespace zrdemo {
namespace {

using namespace zr;

// The application's data, which a mistake leaves empty.
struct TOrder {
    int quantity = 0;
};
TOrder* volatile selectedOrder = nullptr;
volatile int itemsPerBox = 0;
volatile int result = 0;

class TOrderScreen : public TForm {
  public:
    using TForm::TForm;

    void ShowQuantityClick(TObject*) {
        result = selectedOrder->quantity;  // no order is selected
    }
    void PackClick(TObject*) {
        result = 144 / itemsPerBox;  // nobody set the box size
    }
};

// Clicks a button the way a user does: through the message loop, which hands
// what escapes the handler to the application's exception handling.
void Click(TButton& button) {
    HWND window = AllocateHWnd(TWndMethod::FromFunction([&button](TMessage& message) {
        if (message.Msg == WM_USER) button.Click();
    }));
    PostMessage(window, WM_USER, 0, 0);
    Application->ProcessMessages();
    DeallocateHWnd(window);
}

// The lines of each report that say what failed and where.
void PrintReports(const std::string& logFile, std::ostream& out) {
    std::ifstream in(logFile, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (const char* key :
             {"Classname: ", "Access violation", "Division", "Unit: ", "Procedure: ", "Line No: "})
            if (line.rfind(key, 0) == 0) out << "  " << line << "\n";
    }
}

void ShowFaults(std::ostream& out) {
    const char* temp = std::getenv("TMPDIR");
    std::string folder =
        std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/zrdemo-faults-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) throw EInOutError("No folder for the fault log");
    const std::string logFile = folder + "/kvevents.log";

    // The log takes over the application's exception handler for as long as
    // it lives; the tour's own comes back afterwards.
    const TExceptionEvent savedHandler = Application->OnException();
    auto screen = std::make_unique<TOrderScreen>(nullptr);
    auto* log = new TKVExceptionLog(screen.get());
    log->SetLogFile(logFile);
    log->SetErrorDialog(edNone);
    log->SetFormats(TKVLFormats{lfExceptionClassName, lfMessage, lfSourceLine, lfSeparator});
    log->SetActive(true);
    auto* show = new TButton(screen.get());
    show->SetOnClick(TNotifyEvent(screen.get(), &TOrderScreen::ShowQuantityClick));
    auto* pack = new TButton(screen.get());
    pack->SetOnClick(TNotifyEvent(screen.get(), &TOrderScreen::PackClick));

    out << "A click reads the quantity of an order that is not there:\n";
    Click(*show);
    out << "The application goes on. A click divides by a box size of zero:\n";
    Click(*pack);
    out << "The application goes on. The log (" << logFile << ") says:\n";
    PrintReports(logFile, out);
    screen.reset();
    Application->SetOnException(savedHandler);
}

const bool registered =
    AddStop({"Processor faults: a bad pointer and a division by zero, reported and survived",
             ShowFaults, 110});

}  // namespace
}  // namespace zrdemo
