// Exceptions and a fault at the end of call chains of every kind, under an
// exception log that reports call stacks, each handed to the application's
// exception handling as the message loop would. Built at -O0 and at -O2, so that
// its reports can be compared frame by frame with a debugger's.
//
//   inline_stack_program <mode> <log file>
//     free      a throw three free functions deep
//     member    a throw in a member function
//     lambda    a throw in a lambda called through std::function
//     template  a throw in an instance of a function template
//     other     a throw in a function of another translation unit
//     library   a throw in a function of a shared library
//     null      a null write five calls deep
//     nolines   a throw called back from code compiled without line information
//
// ZR_WHOLE_CALL_STACK=1 in the environment shows the frames whole.
#include <cstdlib>
#include <functional>
#include <string>

#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/Forms.h"
#include "tests/exception_programs/InlineStackParts.h"

namespace chain {

volatile int sink = 0;
int* volatile nowhere = nullptr;

void Level3() {
    if (sink >= 0) throw zr::EConvertError("free");
    sink = sink + 1;
}
void Level2() {
    Level3();
    sink = sink + 1;
}
void Level1() {
    Level2();
    sink = sink + 1;
}

struct TCounter {
    int count = 0;
    void Add(int n) {
        if (n > 2) throw zr::EConvertError("member");
        count += n;
    }
};
void Member() {
    TCounter counter;
    for (int i = 0; i <= sink + 3; ++i) counter.Add(i);
    sink = counter.count;
}

void Lambda() {
    const std::function<void(int)> check = [](int n) {
        if (n > sink) throw zr::EConvertError("lambda");
    };
    check(sink + 1);
    sink = sink + 1;
}

template <class T>
T Checked(T value) {
    if (value > T(1)) throw zr::EConvertError("template");
    return value;
}
void Template() {
    sink = static_cast<int>(Checked<double>(sink + 2.5));
    sink = sink + 1;
}

void Null5() {
    *nowhere = sink;
}
void Null4() {
    Null5();
    sink = sink + 1;
}
void Null3() {
    Null4();
    sink = sink + 1;
}
void Null2() {
    Null3();
    sink = sink + 1;
}
void Null1() {
    Null2();
    sink = sink + 1;
}

void ThrowBack(int n) {
    if (n > sink) throw zr::EConvertError("called back");
}

void Run(const std::string& mode) {
    if (mode == "free") Level1();
    if (mode == "member") Member();
    if (mode == "lambda") Lambda();
    if (mode == "template") Template();
    if (mode == "other") OtherUnitThrow(sink + 1);
    if (mode == "library") LibraryThrow(sink + 1);
    if (mode == "null") Null1();
    if (mode == "nolines") NoLinesRelay(ThrowBack, sink);
    sink = sink + 1;
}

}  // namespace chain

int main(int argc, char** argv) {
    using namespace zr;
    if (argc != 3) return 2;
    auto* form = new TForm(Application);
    auto* log = new TKVExceptionLog(form);
    log->SetLogFile(argv[2]);
    log->SetErrorDialog(edNone);
    log->SetFormats(log->Formats().Include(lfSourceLine).Include(lfCallStack));
    const char* whole = std::getenv("ZR_WHOLE_CALL_STACK");
    log->SetWholeCallStack(whole != nullptr && std::string(whole) == "1");
    log->SetActive(true);
    // Called straight from main, as the message loop would call a handler:
    // no frame of the suite's libraries lies between the two.
    try {
        chain::Run(argv[1]);
    } catch (...) {
        Application->HandleException(nullptr);
    }
    return 0;
}
