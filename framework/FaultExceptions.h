// Processor faults arrive as the framework's exception classes: a bad
// pointer as EAccessViolation, an integer division by zero as EDivByZero, and
// so on, raised at the faulting instruction on the thread that faulted, so
// the application's exception handling (and the exception log) sees them as
// it sees any other exception. Such an exception that nothing catches ends
// the process as the fault would have: a last report, then the fault's own
// signal (not an abort).
#pragma once

#include <cstddef>

#include "../platform/FaultSignals.h"

namespace zr {

// Turns faults on the calling thread into exceptions from now on: the
// application object does it for the main thread when the run-time loads,
// worker threads for themselves. Code must be built with
// -fnon-call-exceptions to unwind from a fault (the `zr_application` CMake
// helper sees to that); elsewhere the process ends with a last report.
void EnableFaultExceptions();
// Ends it for a worker thread that is about to finish.
void DisableFaultExceptions();

// The class name and the message of the exception a fault stands for,
// composed without allocating memory, so that a last report written where
// the process cannot go on says the same as the exception would have.
const char* FaultClassName(os::TFaultKind kind);
void FaultMessage(const os::TFaultInfo& fault, char* buffer, std::size_t size);

// Appends text to a fixed buffer, keeping it terminated and cutting what does
// not fit: the one tool a signal handler has for composing text.
class TFixedText {
  public:
    TFixedText(char* buffer, std::size_t size);
    TFixedText& Add(const char* text);
    TFixedText& Add(const char* text, std::size_t length);
    // At least `digits` upper-case hexadecimal digits, more when needed.
    TFixedText& Hex(std::uintptr_t value, int digits = 8);
    TFixedText& Decimal(long long value, int digits = 1);
    std::size_t Length() const { return length_; }

  private:
    char* buffer_;
    std::size_t size_;
    std::size_t length_ = 0;
};

}  // namespace zr
