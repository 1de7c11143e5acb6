// Processor faults (a bad pointer, an integer division by zero, an illegal
// instruction, a stack overflow) caught as signals and handed to whoever can
// make something of them: on a thread that may unwind from the faulting
// instruction they are thrown as exceptions; where the process cannot go on
// a last report is written and the process ends by the original signal, so
// its core dump and exit status stay what they would have been.
//
// Unwinding from a faulting instruction needs code compiled with
// -fnon-call-exceptions. Modules built that way say so with
// RegisterUnwindableModule; a fault anywhere else (the C library, a library
// built without it, a signal handler) takes the last-report path.
//
// A fault signal sent by another process (kill, sigqueue) is no fault: it
// has no faulting address and is described as an external exception. It
// takes the last-report path and is sent again with its default action.
//
// When several threads fault at once, the first writes the last report and
// the others wait until it is written: the process ends by the first one's
// signal with one complete report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

namespace zr::os {

enum class TFaultKind {
    AccessViolation,  // SIGSEGV, SIGBUS
    DivByZero,        // integer division by zero
    IntOverflow,      // integer overflow (the INTO trap)
    ZeroDivide,       // floating-point division by zero (when not masked)
    Overflow,         // floating-point overflow
    Underflow,        // floating-point underflow
    InvalidOp,        // invalid floating-point operation
    Privilege,        // SIGILL
    StackOverflow,    // the guard page below a thread's stack
    External,         // any other fault
};

struct TFaultInfo {
    TFaultKind Kind = TFaultKind::External;
    int Signal = 0;
    int Code = 0;                 // the signal's si_code
    void* Instruction = nullptr;  // the faulting instruction (run-time address)
    void* Address = nullptr;      // the address that was accessed
    bool Write = false;           // an access violation on writing
};

// Makes the exception a fault stands for; it is thrown from the faulting
// instruction on the faulting thread, with the signal mask and the
// floating-point control restored.
using TFaultThrower = std::exception_ptr (*)(const TFaultInfo&);
// Writes the last report; must use async-signal-safe calls only.
using TLastReportWriter = void (*)(const TFaultInfo&);

// Installs the process's fault handlers once (later calls change nothing)
// and takes this thread on (PrepareThreadForFaults). Under AddressSanitizer
// and ThreadSanitizer, whose run-times report faults themselves, it does
// nothing; FaultHandlersInstalled tells.
void InstallFaultHandlers(TFaultThrower thrower);
bool FaultHandlersInstalled();
void SetLastReportWriter(TLastReportWriter writer);

// This thread runs code that catches what it throws (the framework's main
// thread, its worker threads): faults on it become exceptions. Gives the
// thread an alternate signal stack, without which a stack overflow could not
// even be reported. Leave before the thread ends.
// Threads created with pthread_create (std::thread too) once the handlers are
// installed start with an alternate signal stack of their own, kept until
// they end: a stack overflow there leaves a last report as well.
void PrepareThreadForFaults();
void LeaveThreadForFaults();

// The code of the module that holds `anyCode` was built to unwind from
// faulting instructions. Safe to call from static initialisers.
void RegisterUnwindableModule(const void* anyCode);

// Writes the last report for `fault` (unless another thread is writing it)
// and ends the process by fault.Signal: for a fault that became an exception
// which then nothing caught.
[[noreturn]] void EndWithLastReport(const TFaultInfo& fault);

// While one lives on a thread, a fault there takes the last-report path: the
// exception log uses it while it writes a report, where another exception
// could not be reported anyway.
class TFaultReportingScope {
  public:
    TFaultReportingScope();
    ~TFaultReportingScope();
    TFaultReportingScope(const TFaultReportingScope&) = delete;
    TFaultReportingScope& operator=(const TFaultReportingScope&) = delete;
};

}  // namespace zr::os
