// Faults an application makes by mistake, one kind per run, under an active
// exception log. Prints what it saw on standard output, one "key value" line
// at a time, for the tests that run it.
//
//   fault_program <mode> <log file>
//     read, divide   a fault in a button's click handler, twice, through the loop
//     filtered       a read fault that the log's class filter leaves out
//     thread         a read fault in a worker thread
//     interrupt      Ctrl+C while the message loop runs
//     recursion      a stack overflow: the process ends with a last report
//     thread-recursion  the same on a thread of no framework's making
//     in-report      a fault while the report is being written
//     together       four threads of no framework's fault at the same moment
//     uncaught       a fault on the main thread that nothing catches
//     in-handler     a fault inside the program's own signal handler
//     sent           SIGSEGV sent by kill: no fault at all
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "framework/StdCtrls.h"
#include "tests/exception_programs/ClickThroughTheLoop.h"
#include "framework/Thread.h"

namespace faults {

int* volatile nowhere = nullptr;
volatile int zero = 0;
volatile int sink = 0;
int faultLine = 0;

class THandlers : public zr::TComponent {
  public:
    using TComponent::TComponent;
    std::string mode;

    void ButtonClick(zr::TObject*) {
        if (mode == "divide") {
            faultLine = __LINE__ + 1;
            sink = 100 / zero;
        } else {
            faultLine = __LINE__ + 1;
            sink = *nowhere;
        }
    }
    void SaveException(zr::TObject*, zr::Exception&, std::string&, bool&) { sink = *nowhere; }
    void Exception(zr::TObject*, zr::Exception& e) { std::printf("handled %s\n", e.ClassName()); }
    void Idle(zr::TObject*, bool& done) {
        done = true;
        if (!interrupted) interrupted = raise(SIGINT) == 0;
    }
    bool interrupted = false;
};

class TFaultingThread : public zr::TThread {
  public:
    TFaultingThread() : TThread(true) {}
    void Execute() override { sink = *nowhere; }
};

// Ends only where the stack does: `limit` is never reached.
volatile int limit = -1;
[[gnu::noinline]] int Recurse(int depth) {
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    if (depth == limit) return 0;
    return Recurse(depth + 1) + frame[0];
}

void FaultTogether(int threads) {
    std::atomic<int> ready{0};
    std::vector<std::thread> faulting;
    for (int i = 0; i < threads; ++i)
        faulting.emplace_back([&ready, threads] {
            ready.fetch_add(1);
            while (ready.load() < threads) {
            }
            sink = *nowhere;
        });
    for (std::thread& thread : faulting) thread.join();
}

void FaultingHandler(int) {
    sink = *nowhere;
}

using testprograms::ClickThroughTheLoop;

}  // namespace faults

int main(int argc, char** argv) {
    using namespace zr;
    if (argc != 3) return 2;
    const std::string mode = argv[1];
    auto* form = new TForm(Application);
    auto* handlers = new faults::THandlers(form);
    handlers->mode = mode;
    auto* log = new TKVExceptionLog(form);
    log->SetLogFile(argv[2]);
    log->SetErrorDialog(edNone);
    log->SetFormats(log->Formats().Include(lfExceptionClassName).Include(lfSourceLine));
    log->SetActive(true);
    auto* button = new TButton(form);
    button->SetOnClick(TNotifyEvent(handlers, &faults::THandlers::ButtonClick));
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    if (mode == "read" || mode == "divide" || mode == "filtered") {
        if (mode == "filtered")
            log->SetFilterStandard(log->FilterStandard().Exclude(efAccessViolation));
        for (int round = 0; round < 2; ++round) faults::ClickThroughTheLoop(*button);
        std::printf("line %d\nsurvived\n", faults::faultLine);
    } else if (mode == "thread") {
        auto thread = std::make_unique<faults::TFaultingThread>();
        thread->Resume();
        thread->WaitFor();
        const Exception* fatal = thread->FatalException();
        std::printf("fatal %s\n", fatal ? fatal->ClassName() : "none");
    } else if (mode == "interrupt") {
        Application->SetOnException(TExceptionEvent(handlers, &faults::THandlers::Exception));
        Application->SetOnIdle(TIdleEvent(handlers, &faults::THandlers::Idle));
        Application->Run();
        std::printf("loop ended\n");
    } else if (mode == "recursion") {
        std::printf("depth %d\n", faults::Recurse(0));
    } else if (mode == "thread-recursion") {
        std::thread([] { std::printf("depth %d\n", faults::Recurse(0)); }).join();
    } else if (mode == "in-report") {
        log->SetOnSaveException(
            TKVLSaveExceptionEvent(handlers, &faults::THandlers::SaveException));
        faults::ClickThroughTheLoop(*button);
        std::printf("survived\n");
    } else if (mode == "together") {
        faults::FaultTogether(4);
        std::printf("survived\n");
    } else if (mode == "uncaught") {
        faults::sink = *faults::nowhere;
        std::printf("survived\n");
    } else if (mode == "in-handler") {
        struct sigaction action {};
        action.sa_handler = faults::FaultingHandler;
        sigaction(SIGUSR1, &action, nullptr);
        try {
            raise(SIGUSR1);
        } catch (...) {
            std::printf("caught\n");
        }
    } else if (mode == "sent") {
        kill(getpid(), SIGSEGV);
        std::printf("survived\n");
    } else {
        return 2;
    }
    return 0;
}
