// Exceptions whose call stacks must survive what happens between the throw
// and the report, one kind per run, under an exception log that reports
// call stacks. Prints the lines of the calls ("key value" lines) for the
// tests that run it.
//
//   thread_stack_program <mode> <log file>
//     pointer    thrown on a std::thread, carried in a std::exception_ptr and
//                rethrown on the main thread
//     thread     thrown in a TThread, re-raised by the main thread
//     synchronized  thrown by code the thread Synchronized (on the main
//                thread), then out of the thread, re-raised by the main thread
//     fresh      a bad pointer on a TThread that never threw before
//     destructors  sixteen throws caught in destructors while an exception
//                unwinds
//     overflow   a runaway recursion: the last report
//     library    thrown by a procedure of a shared library
//     threadfault  a bad pointer on a std::thread, called from a library: the
//                last report
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"
#include "framework/Thread.h"
#include "tests/exception_programs/ClickThroughTheLoop.h"

extern "C" void zr_test_ThrowInLibrary(int depth);
extern "C" void zr_test_CallFromLibrary(void (*code)());

namespace threads {

volatile int sink = 0;
int* volatile nowhere = nullptr;
int innerLine = 0, outerLine = 0;

[[gnu::noinline]] void WorkerInner() {
    innerLine = __LINE__ + 1;
    throw std::runtime_error("thrown on a worker");
    sink = sink + 1;
}

[[gnu::noinline]] void WorkerOuter() {
    outerLine = __LINE__ + 1;
    WorkerInner();
    sink = sink + 1;
}

[[gnu::noinline]] void FreshFault() {
    innerLine = __LINE__ + 1;
    *nowhere = 1;
    sink = sink + 1;
}

class TWorker : public zr::TThread {
  public:
    explicit TWorker(std::string mode) : TThread(true), mode_(std::move(mode)) {}

  protected:
    void Execute() override {
        outerLine = __LINE__ + 1;
        Work();
        sink = sink + 1;
    }

  private:
    [[gnu::noinline]] void Work() {
        if (mode_ == "fresh") FreshFault();
        if (mode_ == "thread") WorkerInner();
        if (mode_ == "synchronized") Synchronize([] { WorkerInner(); });
    }
    std::string mode_;
};

// Throws and catches while the exception that unwinds through its owner is
// still in flight.
struct TNoisyGuard {
    ~TNoisyGuard() {
        for (int i = 0; i < 16; ++i) try {
                throw std::logic_error("caught inside a destructor");
            } catch (const std::logic_error&) {
            }
    }
};

[[gnu::noinline]] void ThrowPastGuards() {
    TNoisyGuard guard;
    innerLine = __LINE__ + 1;
    throw std::runtime_error("unwinds past a noisy destructor");
}

[[gnu::noinline]] int Recurse(int depth) {
    if (sink < 0) return 0;  // never: the recursion runs until the stack ends
    volatile char room[256];
    room[depth % 256] = static_cast<char>(depth);
    return Recurse(depth + 1) + room[(depth + 1) % 256];
}

class THandlers : public zr::TComponent {
  public:
    using TComponent::TComponent;
    std::string mode;
    void Click(zr::TObject*) {
        if (mode == "pointer") {
            std::exception_ptr error;
            std::thread([&error] {
                try {
                    WorkerOuter();
                } catch (...) {
                    error = std::current_exception();
                }
            }).join();
            std::rethrow_exception(error);
        }
        if (mode == "destructors") {
            outerLine = __LINE__ + 1;
            ThrowPastGuards();
        }
        if (mode == "library") {
            outerLine = __LINE__ + 1;
            zr_test_ThrowInLibrary(2);
        }
        if (mode == "overflow") sink = Recurse(0);
        if (mode == "threadfault") std::thread([] { zr_test_CallFromLibrary(FreshFault); }).join();
        TWorker worker(mode);
        worker.Start();
        worker.WaitFor();
        if (worker.FatalExceptionPtr()) std::rethrow_exception(worker.FatalExceptionPtr());
    }
};

}  // namespace threads

int main(int argc, char** argv) {
    using namespace zr;
    if (argc != 3) return 2;
    auto* form = new TForm(Application);
    auto* handlers = new threads::THandlers(form);
    handlers->mode = argv[1];
    auto* log = new TKVExceptionLog(form);
    log->SetLogFile(argv[2]);
    log->SetErrorDialog(edNone);
    log->SetFormats(
        log->Formats().Include(lfExceptionClassName).Include(lfSourceLine).Include(lfCallStack));
    log->SetActive(true);
    auto* button = new TButton(form);
    button->SetOnClick(TNotifyEvent(handlers, &threads::THandlers::Click));
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    testprograms::ClickThroughTheLoop(*button);
    std::printf("inner %d\nouter %d\nsurvived\n", threads::innerLine, threads::outerLine);
    return 0;
}
