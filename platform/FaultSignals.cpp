#include "platform/FaultSignals.h"

#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

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
std::atomic<bool> ending{false};

struct TThreadFaultState {
    bool Prepared = false;
    bool Handling = false;  // inside the handler, before the exception leaves it
    int Reporting = 0;
    std::uintptr_t StackLow = 0;
    void* AltStack = nullptr;
};
thread_local TThreadFaultState threadState;

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

TFaultInfo Describe(int signal, const siginfo_t* info, const ucontext_t* context) {
    TFaultInfo fault;
    fault.Signal = signal;
    fault.Code = info->si_code;
    fault.Address = info->si_addr;
    fault.Instruction = info->si_addr;
    std::uintptr_t stackPointer = 0;
#if defined(__x86_64__)
    fault.Instruction = reinterpret_cast<void*>(context->uc_mcontext.gregs[REG_RIP]);
    stackPointer = static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
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

// Writes the last report once for the process and lets the signal take its
// default course: a fault raised by the processor happens again when the
// handler returns, one sent by another process is sent again.
void EndWithLastReport(int signal, const TFaultInfo& fault, bool sentByProcess) {
    threadState.Handling = true;
    if (!ending.exchange(true)) {
        if (TLastReportWriter writer = lastReportWriter.load()) writer(fault);
    }
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    if (sentByProcess) raise(signal);
}

void OnFault(int signal, siginfo_t* info, void* raw) {
    const auto* context = static_cast<const ucontext_t*>(raw);
    const TFaultInfo fault = Describe(signal, info, context);
    const bool sentByProcess = info->si_code <= 0;
    TFaultThrower thrower = faultThrower.load();
    TThreadFaultState& state = threadState;
    if (state.Handling || !state.Prepared || state.Reporting > 0 || sentByProcess ||
        thrower == nullptr || fault.Kind == TFaultKind::StackOverflow ||
        !IsUnwindable(fault.Instruction)) {
        EndWithLastReport(signal, fault, sentByProcess);
        return;
    }
    state.Handling = true;
    pthread_sigmask(SIG_SETMASK, &context->uc_sigmask, nullptr);
    RestoreFloatingPointControl(context);
    std::exception_ptr exception = thrower(fault);
    state.Handling = false;
    std::rethrow_exception(exception);
}

std::uintptr_t StackLowOfThisThread() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* low = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
    pthread_attr_destroy(&attributes);
    return known ? reinterpret_cast<std::uintptr_t>(low) : 0;
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

// Parses "start-end perms offset device inode   path" lines of the memory map.
bool LineHolds(const char* line, std::uintptr_t address, const char*& path) {
    std::uintptr_t begin = 0, end = 0;
    const char* p = line;
    auto hex = [&p](std::uintptr_t& value) {
        int digits = 0;
        for (;; ++p, ++digits) {
            const char c = *p;
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) break;
            value = value << 4 | static_cast<std::uintptr_t>(d);
        }
        return digits > 0;
    };
    if (!hex(begin) || *p++ != '-' || !hex(end)) return false;
    if (address < begin || address >= end) return false;
    for (int field = 0; field < 4; ++field) {  // perms, offset, device, inode
        while (*p == ' ') ++p;
        while (*p != ' ' && *p != '\0') ++p;
    }
    while (*p == ' ') ++p;
    path = p;
    return true;
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
    void* stack =
        mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) return;
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = kAltStackSize;
    if (sigaltstack(&alternate, nullptr) != 0) {
        munmap(stack, kAltStackSize);
        return;
    }
    state.AltStack = stack;
    state.StackLow = StackLowOfThisThread();
    state.Prepared = true;
}

void LeaveThreadForFaults() {
    TThreadFaultState& state = threadState;
    if (!state.Prepared) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(state.AltStack, kAltStackSize);
    state = TThreadFaultState{};
}

void RegisterUnwindableModule(const void* anyCode) {
    TModuleSearch search;
    search.Address = reinterpret_cast<std::uintptr_t>(anyCode);
    dl_iterate_phdr(AddCodeOfModule, &search);
}

TFaultReportingScope::TFaultReportingScope() {
    ++threadState.Reporting;
}

TFaultReportingScope::~TFaultReportingScope() {
    --threadState.Reporting;
}

void ModuleNameAt(const void* address, char* name, std::size_t size) {
    if (size == 0) return;
    name[0] = '\0';
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char line[1024];
    std::size_t used = 0;
    char chunk[4096];
    ssize_t n;
    bool found = false;
    while (!found && (n = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < n && !found; ++i) {
            if (chunk[i] != '\n') {
                if (used + 1 < sizeof line) line[used++] = chunk[i];
                continue;
            }
            line[used] = '\0';
            used = 0;
            const char* path = nullptr;
            if (LineHolds(line, reinterpret_cast<std::uintptr_t>(address), path)) {
                std::strncpy(name, path, size - 1);
                name[size - 1] = '\0';
                found = true;
            }
        }
    }
    close(fd);
}

}  // namespace zr::os
