#include "platform/FaultSignals.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zr::os {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerOwnsFaults = true;
#else
constexpr bool kSanitizerOwnsFaults = false;
#endif

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
// A stack overflow faults in the guard area just below the stack, or with
// the stack pointer at its very bottom.
constexpr std::uintptr_t kGuardReach = std::uintptr_t{1} << 20;
constexpr std::uintptr_t kStackBottomReach = 64 * 1024;
constexpr std::size_t kAltStackSize = 64 * 1024;

// Code ranges of modules built to unwind from faulting instructions. Only
// ever appended to, so the handler can read them without a lock.
struct TCodeRange {
    std::uintptr_t Begin = 0;
    std::uintptr_t End = 0;
};
constexpr int kMaxRanges = 64;
TCodeRange unwindable[kMaxRanges];
std::atomic<int> unwindableCount{0};

std::atomic<TFaultThrower> faultThrower{nullptr};
std::atomic<TLastReportWriter> lastReportWriter{nullptr};
std::atomic<bool> installed{false};
// The thread that writes the last report (0: none yet), and whether it has
// written it: threads that fault while it writes wait for it.
std::atomic<pid_t> reportingThread{0};
std::atomic<bool> reportWritten{false};
constexpr long kWriterPatienceMs = 10000;
constexpr long kEndingPatienceMs = 2000;

struct TThreadFaultState {
    bool Prepared = false;
    bool Handling = false;  // inside the handler, before the exception leaves it
    int Reporting = 0;
    std::uintptr_t StackLow = 0;
    std::uintptr_t StackHigh = 0;
    void* AltStack = nullptr;
    // Given as the thread started (StartWithAlternateStack), and kept until
    // it ends, whatever the thread prepares and leaves meanwhile.
    bool AltStackForLife = false;
};
// Initial-exec: in a library loaded with dlopen, the first use of ordinary
// thread-local storage on a thread allocates, and the handler may run with
// the allocator's lock held by the code that faulted.
[[gnu::tls_model("initial-exec")]] thread_local TThreadFaultState threadState;

bool IsUnwindable(const void* instruction) {
    const auto address = reinterpret_cast<std::uintptr_t>(instruction);
    const int count = unwindableCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i)
        if (address >= unwindable[i].Begin && address < unwindable[i].End) return true;
    return false;
}

TFaultKind FloatingPointKind(int code) {
    switch (code) {
        case FPE_INTDIV:
            return TFaultKind::DivByZero;
        case FPE_INTOVF:
            return TFaultKind::IntOverflow;
        case FPE_FLTDIV:
            return TFaultKind::ZeroDivide;
        case FPE_FLTOVF:
            return TFaultKind::Overflow;
        case FPE_FLTUND:
            return TFaultKind::Underflow;
        case FPE_FLTINV:
            return TFaultKind::InvalidOp;
        default:
            return TFaultKind::External;
    }
}

bool IsStackOverflow(std::uintptr_t address, std::uintptr_t stackPointer) {
    const std::uintptr_t low = threadState.StackLow;
    if (low == 0) return false;
    const bool nearGuard = address < low + kStackBottomReach && address + kGuardReach >= low;
    return nearGuard || (stackPointer != 0 && stackPointer < low + 4096);
}

// A signal sent by a process (kill, sigqueue, tgkill) carries the sender's
// process and user id where a fault carries its address.
bool SentByProcess(const siginfo_t* info) {
    return info->si_code <= 0;
}

TFaultInfo Describe(int signal, const siginfo_t* info, const ucontext_t* context) {
    TFaultInfo fault;
    fault.Signal = signal;
    fault.Code = info->si_code;
    std::uintptr_t stackPointer = 0;
#if defined(__x86_64__)
    fault.Instruction = reinterpret_cast<void*>(context->uc_mcontext.gregs[REG_RIP]);
    stackPointer = static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
#endif
    if (SentByProcess(info)) return fault;  // no fault: an external exception
    fault.Address = info->si_addr;
    if (fault.Instruction == nullptr) fault.Instruction = info->si_addr;
#if defined(__x86_64__)
    fault.Write = (context->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#endif
    switch (signal) {
        case SIGSEGV:
            fault.Kind =
                IsStackOverflow(reinterpret_cast<std::uintptr_t>(info->si_addr), stackPointer)
                    ? TFaultKind::StackOverflow
                    : TFaultKind::AccessViolation;
            break;
        case SIGBUS:
            fault.Kind = TFaultKind::AccessViolation;
            break;
        case SIGFPE:
            fault.Kind = FloatingPointKind(info->si_code);
            break;
        case SIGILL:
            fault.Kind = TFaultKind::Privilege;
            break;
        default:
            break;
    }
    return fault;
}

// The handler starts with the floating-point unit in its initial state; the
// interrupted code's control words (which traps are on, the rounding) come
// back, its exception flags cleared.
void RestoreFloatingPointControl(const ucontext_t* context) {
#if defined(__x86_64__)
    if (context->uc_mcontext.fpregs == nullptr) return;
    unsigned int mxcsr = context->uc_mcontext.fpregs->mxcsr & ~0x3Fu;
    unsigned short control = context->uc_mcontext.fpregs->cwd;
    asm volatile("ldmxcsr %0" : : "m"(mxcsr));
    asm volatile("fnclex; fldcw %0" : : "m"(control));
#else
    (void)context;
#endif
}

void SleepMilliseconds(long milliseconds) {
    timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

pid_t ThisThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// The first thread to get here writes the last report. Another one that
// faults meanwhile waits until it is written (the writer then ends the
// process by its signal) instead of ending the process under the writer.
void WriteLastReportOnce(const TFaultInfo& fault) {
    const pid_t self = ThisThreadId();
    pid_t writer = 0;
    if (reportingThread.compare_exchange_strong(writer, self)) {
        if (TLastReportWriter write = lastReportWriter.load()) write(fault);
        reportWritten.store(true);
        return;
    }
    if (writer == self) return;  // a fault while writing it: what is written stays
    for (long waited = 0; !reportWritten.load() && waited < kWriterPatienceMs; ++waited)
        SleepMilliseconds(1);
    // The writer is ending the process now; only should it not (stopped in
    // a debugger, say) does this thread end it by its own signal.
    SleepMilliseconds(kEndingPatienceMs);
}

void TakeDefaultAction(int signal) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
}

// Writes the last report once for the process and lets the signal take its
// default course: a fault raised by the processor happens again when the
// handler returns, one sent by another process is sent again.
void EndFromHandler(int signal, const TFaultInfo& fault, bool sentByProcess) {
    threadState.Handling = true;
    WriteLastReportOnce(fault);
    TakeDefaultAction(signal);
    if (sentByProcess) raise(signal);
}

// Whether the interrupted code runs inside a signal handler: a signal frame
// (the return address the kernel gives every handler, followed by the
// interrupted context naming the thread's alternate stack) lies on the stack
// above it. Unwinding from there would leave the handler by a throw.
bool InsideSignalHandler(const TThreadFaultState& state, const ucontext_t* context,
                         std::uintptr_t handlerReturn) {
#if defined(__x86_64__)
    if (state.StackHigh == 0) return false;  // nothing known to go by
    const auto stackPointer = static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
    // Only handlers run on the alternate stack; on a stack of the program's
    // own making a handler is the likeliest too.
    if (stackPointer < state.StackLow || stackPointer >= state.StackHigh) return true;
    stack_t alternate{};
    sigaltstack(nullptr, &alternate);
    const std::uintptr_t top = state.StackHigh;
    constexpr std::size_t kFrameHead = sizeof(void*) + offsetof(ucontext_t, uc_mcontext);
    for (std::uintptr_t at = (stackPointer + 7) & ~std::uintptr_t{7}; at + kFrameHead <= top;
         at += sizeof(void*)) {
        if (*reinterpret_cast<const std::uintptr_t*>(at) != handlerReturn || at % 16 != 8) continue;
        const auto* frame = reinterpret_cast<const ucontext_t*>(at + sizeof(void*));
        if (frame->uc_stack.ss_sp == alternate.ss_sp &&
            frame->uc_stack.ss_size == alternate.ss_size)
            return true;
    }
#else
    (void)state, (void)context, (void)handlerReturn;
#endif
    return false;
}

void OnFault(int signal, siginfo_t* info, void* raw) {
    // Every handler returns into the kernel's signal return.
    const auto handlerReturn = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    const auto* context = static_cast<const ucontext_t*>(raw);
    const TFaultInfo fault = Describe(signal, info, context);
    const bool sentByProcess = SentByProcess(info);
    TFaultThrower thrower = faultThrower.load();
    TThreadFaultState& state = threadState;
    if (state.Handling || !state.Prepared || state.Reporting > 0 || sentByProcess ||
        thrower == nullptr || fault.Kind == TFaultKind::StackOverflow ||
        !IsUnwindable(fault.Instruction) || InsideSignalHandler(state, context, handlerReturn)) {
        EndFromHandler(signal, fault, sentByProcess);
        return;
    }
    state.Handling = true;
    pthread_sigmask(SIG_SETMASK, &context->uc_sigmask, nullptr);
    RestoreFloatingPointControl(context);
    std::exception_ptr exception = thrower(fault);
    state.Handling = false;
    std::rethrow_exception(exception);
}

struct TStackExtent {
    std::uintptr_t Low = 0;
    std::uintptr_t High = 0;
};

TStackExtent StackOfThisThread() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return {};
    void* low = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
    pthread_attr_destroy(&attributes);
    if (!known) return {};
    const auto begin = reinterpret_cast<std::uintptr_t>(low);
    return {begin, begin + size};
}

struct TModuleSearch {
    std::uintptr_t Address = 0;
    bool Found = false;
};

int AddCodeOfModule(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<TModuleSearch*>(data);
    bool holds = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search->Address >= begin &&
            search->Address < begin + segment.p_memsz)
            holds = true;
    }
    if (!holds) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
        const int slot = unwindableCount.load();
        if (slot >= kMaxRanges) break;
        unwindable[slot].Begin = info->dlpi_addr + segment.p_vaddr;
        unwindable[slot].End = unwindable[slot].Begin + segment.p_memsz;
        unwindableCount.store(slot + 1, std::memory_order_release);
    }
    search->Found = true;
    return 1;
}

// The stack the handler runs on: without one, a fault on a thread whose stack
// is used up cannot even enter the handler, and the process ends unreported.
// Also learns the thread's stack, which tells an overflow from other faults.
bool GiveAlternateStack(TThreadFaultState& state) {
    if (state.AltStack != nullptr) return true;
    void* stack =
        mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) return false;
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = kAltStackSize;
    if (sigaltstack(&alternate, nullptr) != 0) {
        munmap(stack, kAltStackSize);
        return false;
    }
    state.AltStack = stack;
    const TStackExtent extent = StackOfThisThread();
    state.StackLow = extent.Low;
    state.StackHigh = extent.High;
    return true;
}

void TakeAlternateStack(TThreadFaultState& state) {
    if (state.AltStack != nullptr) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(state.AltStack, kAltStackSize);
    }
    state = TThreadFaultState{};
}

// ---- threads started by anyone ------------------------------------------------------
//
// A thread the framework did not start (std::thread, a library's own pool)
// never prepares itself, and a new thread has no alternate stack of its
// parent's. Every thread created through pthread_create while the handlers
// are installed starts on one: its faults then take the last-report path like
// any other. A sanitizer's run-time reports faults itself and wraps thread
// creation of its own, so the wrapping is left out there.

struct TThreadStart {
    void* (*Routine)(void*) = nullptr;
    void* Argument = nullptr;
};

[[maybe_unused]] void* StartWithAlternateStack(void* raw) {
    const TThreadStart start = *static_cast<TThreadStart*>(raw);
    delete static_cast<TThreadStart*>(raw);
    TThreadFaultState& state = threadState;
    state.AltStackForLife = GiveAlternateStack(state);
    // Also when the thread ends by pthread_exit or cancellation, which
    // unwind through here.
    struct TRelease {
        ~TRelease() {
            if (threadState.AltStackForLife) TakeAlternateStack(threadState);
        }
    } release;
    return start.Routine(start.Argument);
}

}  // namespace

void InstallFaultHandlers(TFaultThrower thrower) {
    faultThrower.store(thrower);
    if (kSanitizerOwnsFaults) return;
    if (!installed.exchange(true)) {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (int signal : kFaultSignals) sigaction(signal, &action, nullptr);
    }
    PrepareThreadForFaults();
}

bool FaultHandlersInstalled() {
    return installed.load();
}

void SetLastReportWriter(TLastReportWriter writer) {
    lastReportWriter.store(writer);
}

void PrepareThreadForFaults() {
    TThreadFaultState& state = threadState;
    if (kSanitizerOwnsFaults || state.Prepared) return;
    if (!GiveAlternateStack(state)) return;
    state.Prepared = true;
}

void LeaveThreadForFaults() {
    TThreadFaultState& state = threadState;
    if (!state.Prepared) return;
    if (state.AltStackForLife) {
        state.Prepared = false;
        return;
    }
    TakeAlternateStack(state);
}

void RegisterUnwindableModule(const void* anyCode) {
    TModuleSearch search;
    search.Address = reinterpret_cast<std::uintptr_t>(anyCode);
    dl_iterate_phdr(AddCodeOfModule, &search);
}

void EndWithLastReport(const TFaultInfo& fault) {
    threadState.Handling = true;
    WriteLastReportOnce(fault);
    TakeDefaultAction(fault.Signal);
    sigset_t signal;
    sigemptyset(&signal);
    sigaddset(&signal, fault.Signal);
    pthread_sigmask(SIG_UNBLOCK, &signal, nullptr);
    raise(fault.Signal);
    _exit(128 + fault.Signal);  // a signal whose default is not to end the process
}

TFaultReportingScope::TFaultReportingScope() {
    ++threadState.Reporting;
}

TFaultReportingScope::~TFaultReportingScope() {
    --threadState.Reporting;
}

}  // namespace zr::os

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// In front of the C library's, as the throw hook is in front of the C++
// run-time's __cxa_throw.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) noexcept {
    using zr::os::TThreadStart;
    using TCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto realCreate = reinterpret_cast<TCreate>(dlsym(RTLD_NEXT, "pthread_create"));
    if (realCreate == nullptr) return EAGAIN;
    auto* start =
        zr::os::installed.load() ? new (std::nothrow) TThreadStart{routine, argument} : nullptr;
    if (start == nullptr) return realCreate(thread, attributes, routine, argument);
    const int result = realCreate(thread, attributes, zr::os::StartWithAlternateStack, start);
    if (result != 0) delete start;
    return result;
}
#endif
