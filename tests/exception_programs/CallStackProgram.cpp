// Exceptions raised a few calls deep under an exception log that reports
// call stacks, one kind per run. Prints the lines of the calls on standard
// output ("key value" lines) for the tests that run it.
//
//   call_stack_program <mode> <log file>
//     framework   a framework exception raised three calls deep
//     vector      std::out_of_range from std::vector::at, three calls deep
//     inlined     a bad pointer in a function inlined into its caller
//     last        a bad pointer while a report is written: the last report
//     uncaught    a bad pointer outside the message loop, which nothing catches
//     plain       the framework exception with call stacks off
#include <cstdio>
#include <string>
#include <vector>

#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "framework/StdCtrls.h"
#include "tests/exception_programs/ClickThroughTheLoop.h"

namespace stack {

int* volatile nowhere = nullptr;
volatile int sink = 0;
std::vector<int> empty;

// Each level notes the line of its call (or raise) the first time through.
int raiseLine = 0, middleLine = 0, outerLine = 0;

[[gnu::noinline]] void Innermost(const std::string& mode) {
    if (mode == "vector") {
        raiseLine = __LINE__ + 1;
        sink = empty.at(static_cast<size_t>(sink) + 3);
    } else {
        raiseLine = __LINE__ + 1;
        throw zr::EConvertError("deep down");
    }
    sink = sink + 1;  // not a tail call
}

[[gnu::noinline]] void Middle(const std::string& mode) {
    middleLine = __LINE__ + 1;
    Innermost(mode);
    sink = sink + 1;
}

[[gnu::noinline]] void Outer(const std::string& mode) {
    outerLine = __LINE__ + 1;
    Middle(mode);
    sink = sink + 1;
}

// Inlined into its caller at -O2: the fault is the caller's.
inline void Poke(int* where) {
    *where = 1;
}

constexpr int kPokeLine = __LINE__ + 3;  // known before the process may end
[[gnu::noinline]] void PokeCaller() {
    raiseLine = kPokeLine;
    Poke(nowhere);
    sink = sink + 1;
}

class THandlers : public zr::TComponent {
  public:
    using TComponent::TComponent;
    std::string mode;
    void Click(zr::TObject*) {
        if (mode == "inlined")
            PokeCaller();
        else
            Outer(mode);
    }
    void SaveException(zr::TObject*, zr::Exception&, std::string&, bool&) { PokeCaller(); }
};

using testprograms::ClickThroughTheLoop;

}  // namespace stack

int main(int argc, char** argv) {
    using namespace zr;
    if (argc != 3) return 2;
    const std::string mode = argv[1];
    auto* form = new TForm(Application);
    auto* handlers = new stack::THandlers(form);
    handlers->mode = mode == "last" || mode == "plain" ? "framework" : mode;
    auto* log = new TKVExceptionLog(form);
    log->SetLogFile(argv[2]);
    log->SetErrorDialog(edNone);
    TKVLFormats formats = log->Formats().Include(lfExceptionClassName).Include(lfSourceLine);
    if (mode != "plain") formats = formats.Include(lfCallStack);
    log->SetFormats(formats);
    log->SetActive(true);
    if (mode == "last")
        log->SetOnSaveException(TKVLSaveExceptionEvent(handlers, &stack::THandlers::SaveException));
    auto* button = new TButton(form);
    button->SetOnClick(TNotifyEvent(handlers, &stack::THandlers::Click));
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("poke %d\n", stack::kPokeLine);
    if (mode == "uncaught")
        stack::PokeCaller();
    else
        stack::ClickThroughTheLoop(*button);
    std::printf("raise %d\nmiddle %d\nouter %d\nsurvived\n", stack::raiseLine, stack::middleLine,
                stack::outerLine);
    return 0;
}
