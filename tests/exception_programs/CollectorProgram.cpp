// Reports under an exception log that sends them to a crash collector (the
// collector, its CA and the outbox come from the environment). Prints "key
// value" lines on standard output for the tests that run it.
//
//   collector_program <mode> <log file>
//     report:N   N exceptions through the loop, then waits for the sender
//     hold:N     N exceptions through the loop, then waits to be killed
//     drain      sends what waits in the outbox, then ends
//     fault      a bad pointer that nothing catches: the process ends
//     quick:N    N exceptions, then ends at once (the sender is cut short)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"
#include "platform/CollectorSender.h"
#include "tests/exception_programs/ClickThroughTheLoop.h"

namespace collected {

int* volatile nowhere = nullptr;
volatile int sink = 0;
int raiseLine = 0;
int order = 0;

[[gnu::noinline]] void RefuseOrder() {
    raiseLine = __LINE__ + 1;
    throw zr::EConvertError("order " + std::to_string(order) + " refused");
}

class THandlers : public zr::TComponent {
  public:
    using TComponent::TComponent;
    void Click(zr::TObject*) {
        RefuseOrder();
        sink = sink + 1;  // not a tail call
    }
};

}  // namespace collected

int main(int argc, char** argv) {
    using namespace zr;
    if (argc != 3) return 2;
    const std::string mode = argv[1];
    const std::size_t colon = mode.find(':');
    const std::string kind = mode.substr(0, colon);
    const int count = colon == std::string::npos ? 0 : std::atoi(mode.c_str() + colon + 1);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    auto* form = new TForm(Application);
    auto* handlers = new collected::THandlers(form);
    auto* log = new TKVExceptionLog(form);
    log->SetLogFile(argv[2]);
    log->SetErrorDialog(edNone);
    log->SetFormats(log->Formats().Include(lfExceptionClassName).Include(lfCallStack));
    log->SetActive(true);
    auto* button = new TButton(form);
    button->SetOnClick(TNotifyEvent(handlers, &collected::THandlers::Click));

    if (kind == "report" || kind == "hold" || kind == "quick") {
        for (collected::order = 1; collected::order <= count; ++collected::order) {
            testprograms::ClickThroughTheLoop(*button);
            std::printf("reported %s\n", log->LastEventId().c_str());
        }
        std::printf("line %d\n", collected::raiseLine);
        if (kind == "hold")
            for (;;) pause();
        if (kind == "report")
            std::printf("flushed %d\n", os::collector::FlushSender(std::chrono::seconds(10)) ? 1 : 0);
    } else if (kind == "drain") {
        std::printf("flushed %d\n", os::collector::FlushSender(std::chrono::seconds(10)) ? 1 : 0);
    } else if (kind == "fault") {
        collected::sink = *collected::nowhere;
    } else {
        return 2;
    }
    return 0;
}
