// Where exceptions come from, and which exception the framework is handling.
#pragma once

#include <exception>
#include <memory>
#include <string>

namespace zr {

class Exception;

// The return address of the code that made an exception object: the first
// frame on the stack outside the suite's own libraries, so that an error
// raised inside a framework helper is reported at the application's call.
// `site`, where the exception is being made as far as the constructor knows,
// is taken when it lies outside those libraries. Already in reported form
// (see ReportedAddress).
void* CaptureRaiseAddress(void* site = nullptr);

// Maps a run-time code address to the form the executable's map file uses:
// as if the executable's first code segment began at 0x00401000. Addresses
// outside the executable (in shared libraries) are returned unchanged.
void* ReportedAddress(void* runtimeAddress);
// Back from the map-file form to the run-time address; other addresses are
// returned unchanged.
void* RuntimeAddress(void* reportedAddress);
// Whether the run-time address lies in the executable (whose map file names
// it) rather than in a shared library. Only computes once ReportedAddress
// has been called, so it is safe in a signal handler from then on.
bool IsExecutableAddress(const void* runtimeAddress);

// ---- call stacks ----
// Taken at every throw while at least one party asks for them (an active
// exception log that reports call stacks); otherwise a throw costs no more
// than one look at a counter. Requests nest.
void RequestCallStacks();
void ReleaseCallStacks();
bool CallStacksRequested();

inline constexpr int kMaxCallFrames = 64;
// Of those, how many are kept for the outermost frames of a deeper stack.
inline constexpr int kOuterCallFrames = 16;
// Run-time addresses, innermost first: Frames[0] is where the exception was
// raised (the call that threw it, or the faulting instruction itself), the
// others are return addresses. A stack deeper than the room for it keeps its
// innermost and its outermost frames: `Omitted` frames were left out after
// the first `OmittedAfter`.
struct TCallStack {
    int Count = 0;
    int Omitted = 0;
    int OmittedAfter = 0;
    void* Frames[kMaxCallFrames];
};

// The call stack taken when `e` was thrown, on whichever thread, from its raise
// address outwards; Count is 0 when none was taken.
TCallStack CallStackOf(const Exception& e);

// The return addresses of the calling code, innermost first, by the
// unwinder; usable in a signal handler (no memory is allocated). A walk that
// starts in a signal handler passes the interrupted instruction itself. When
// the stack is deeper than `capacity` (and `capacity` leaves room for it),
// the last frames held are the outermost ones, and `omitted` (when given)
// says how many were left out before them; else it is 0.
int WalkStack(void** frames, int capacity, int* omitted = nullptr);

// The stack recorded on this thread for the newest exception raised at the
// run-time address `instruction` by a processor fault (RecordFaultCallStack):
// for a last report written after the fault's exception was thrown and found
// no handler. Async-signal-safe; Count is 0 when there is none.
TCallStack RecordedFaultCallStack(void* instruction);

// The fault thrower's part: notes the raise address and (while call stacks
// are asked for) the stack of the exception a processor fault was made into,
// from the faulting instruction on. Call it in the signal handler, before the
// exception is thrown; the object forgets it when it dies (ForgetFaultRecord).
void RecordFaultCallStack(const std::exception_ptr& exception, void* instruction);
void ForgetFaultRecord(const void* object);

// The exception being handled on this thread while the framework dispatches
// it, and its raise address; null outside a TExceptionScope.
const Exception* ExceptObject();
void* ExceptAddr();

// Makes `e` the thread's ExceptObject for the scope's lifetime; scopes nest
// and restore the previous exception when they end.
class TExceptionScope {
  public:
    explicit TExceptionScope(const Exception& e);
    ~TExceptionScope();
    TExceptionScope(const TExceptionScope&) = delete;
    TExceptionScope& operator=(const TExceptionScope&) = delete;

  private:
    const Exception* previousObject_;
    void* previousAddress_;
};

// Turns any exception into a framework one for reporting: a zr::Exception is
// copied as its own class is not known here, so callers should rethrow and
// catch zr::Exception first; anything else becomes an exception whose class
// name is the demangled C++ type and whose message is what().
std::unique_ptr<Exception> WrapException(std::exception_ptr error);

// The framework's standard one-paragraph description of an exception:
// "Exception <class> in module <module> at <address>.\r\n<message>.",
// never longer than 1024 characters.
std::string ExceptionErrorMessage(const Exception& e, void* address);

}  // namespace zr
