#include "framework/ThrowRecords.h"

#include <unwind.h>

#include <atomic>

#include "framework/CodeModules.h"
#include "framework/Exceptions.h"
#include "framework/ThrowRecord.h"

namespace zr {

namespace {

// ---- raise addresses of exceptions that are no zr::Exception ----
// The throw itself is the only moment their thrower is known, so every throw
// of the process passes through here on its way to the C++ run-time and
// leaves the thrower's address in a small per-thread table keyed by the
// thrown object.
struct TThrowRecord {
    const void* object = nullptr;
    const std::type_info* type = nullptr;
    void* address = nullptr;
};
constexpr int kThrowRecords = 16;
// Initial-exec, as all of the library's thread-local state: in a library
// loaded with dlopen, ordinary thread-local storage is allocated at a
// thread's first use, which a fault handler cannot afford.
[[gnu::tls_model("initial-exec")]] thread_local TThrowRecord tThrows[kThrowRecords];
[[gnu::tls_model("initial-exec")]] thread_local int tNextThrow = 0;
// The stacks of the same throws, taken only while call stacks are asked for;
// kept apart so the records above stay small when they are not.
struct TThrowStack {
    int Count = 0;
    void* Frames[kMaxCallFrames];
};
// Made at the thread's first throw or request (see ThrowStacksOfThisThread):
// too large for initial-exec storage, which a fault handler can reach only
// through this pointer.
[[gnu::tls_model("initial-exec")]] thread_local TThrowStack* tThrowStacks = nullptr;
std::atomic<int> callStackRequests{0};

struct TWalk {
    void** Frames;
    int Capacity;
    int Count;
};

_Unwind_Reason_Code AddFrame(_Unwind_Context* context, void* data) {
    auto* walk = static_cast<TWalk*>(data);
    if (walk->Count >= walk->Capacity) return _URC_END_OF_STACK;
    int beforeInstruction = 0;
    const _Unwind_Ptr ip = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (ip == 0) return _URC_END_OF_STACK;
    walk->Frames[walk->Count++] = reinterpret_cast<void*>(ip);
    return _URC_NO_REASON;
}

// Frees a thread's stacks when it ends.
struct TThrowStacksOwner {
    ~TThrowStacksOwner() {
        delete[] tThrowStacks;
        tThrowStacks = nullptr;
    }
};

// Outside signal handlers only: may allocate the thread's storage. On the
// heap, not in thread-local storage: a library loaded with dlopen has only a
// little static thread-local room, and its initial-exec state lives there.
TThrowStack* ThrowStacksOfThisThread() {
    if (tThrowStacks == nullptr) {
        static thread_local TThrowStacksOwner owner;
        (void)&owner;
        tThrowStacks = new TThrowStack[kThrowRecords];
    }
    return tThrowStacks;
}

// Notes this thread's stack beside the throw record in `slot`.
void RecordStack(TThrowStack* stacks, int slot) {
    if (stacks == nullptr) return;
    stacks[slot].Count = WalkStack(stacks[slot].Frames, kMaxCallFrames);
}

}  // namespace

void RecordThrow(void* object, const void* typeInfo, void* returnAddress) {
    auto* type = static_cast<const std::type_info*>(typeInfo);
    void* address = CallSite(returnAddress);
    const char* module = ModuleFileOf(returnAddress);
    // Only walk the stack when the direct caller is not the thrower itself.
    if (module != nullptr && IsSuiteOrRuntimeModule(module))
        address = FirstFrameOutside(IsSuiteOrRuntimeModule);
    tThrows[tNextThrow] = {object, type, address ? ReportedAddress(address) : nullptr};
    if (tThrowStacks != nullptr) tThrowStacks[tNextThrow].Count = 0;
    if (callStackRequests.load(std::memory_order_relaxed) > 0)
        RecordStack(ThrowStacksOfThisThread(), tNextThrow);
    tNextThrow = (tNextThrow + 1) % kThrowRecords;
}

int WalkStack(void** frames, int capacity) {
    TWalk walk{frames, capacity, 0};
    _Unwind_Backtrace(AddFrame, &walk);
    return walk.Count;
}

void RequestCallStacks() {
    ThrowStacksOfThisThread();
    // The unwinder sets itself up on its first walk; a signal handler's walk
    // must not be that one.
    void* frame = nullptr;
    WalkStack(&frame, 1);
    callStackRequests.fetch_add(1);
}

void ReleaseCallStacks() {
    callStackRequests.fetch_sub(1);
}

bool CallStacksRequested() {
    return callStackRequests.load(std::memory_order_relaxed) > 0;
}

void RecordFaultCallStack(const std::exception_ptr& exception, void* instruction) {
    if (!CallStacksRequested() || !exception) return;
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        // No throw passed the hook: the record is made here, at the fault.
        const int slot = tNextThrow;
        const void* object = dynamic_cast<const void*>(&e);
        tThrows[slot] = {object, &typeid(e), ReportedAddress(instruction)};
        RecordStack(tThrowStacks, slot);
        tNextThrow = (tNextThrow + 1) % kThrowRecords;
    } catch (...) {
    }
}

namespace {

// The newest record of the object: the run-time hands the memory of a
// caught exception to the next one thrown, so older records of the same
// address (and type) are of throws that are over.
int RecordOf(const void* object, const std::type_info& type) {
    for (int age = 1; age <= kThrowRecords; ++age) {
        const int slot = (tNextThrow - age + kThrowRecords) % kThrowRecords;
        const TThrowRecord& record = tThrows[slot];
        if (record.object == object && record.type != nullptr && *record.type == type) return slot;
    }
    return -1;
}

}  // namespace

void* RecordedThrowAddress(const void* object, const std::type_info& type) {
    const int slot = RecordOf(object, type);
    return slot < 0 ? nullptr : tThrows[slot].address;
}

namespace {

// The recorded stack from the raise address outwards: the frames of the
// hook, the run-time and the suite's helpers that made the exception (or of
// the signal handler that made a fault into one) come first and are left out.
TCallStack StackFromRaise(const TThrowStack& stack, void* raiseAddress, bool exactOnly = false) {
    TCallStack out;
    if (stack.Count == 0) return out;
    int first = -1;
    void* raise = nullptr;
    for (int i = 0; i < stack.Count && first < 0; ++i) {
        void* frame = stack.Frames[i];
        if (ReportedAddress(frame) == raiseAddress) {
            first = i, raise = frame;  // a faulting instruction
        } else if (ReportedAddress(CallSite(frame)) == raiseAddress) {
            first = i, raise = CallSite(frame);
        }
    }
    if (first < 0 && exactOnly) return out;
    if (first < 0) {
        // Made before the throw (the usual `throw E(...)` makes the object a
        // few instructions ahead): the raise address stands in for the
        // thrower's frame, the first one outside the hook and the run-times.
        for (int i = 0; i < stack.Count && first < 0; ++i) {
            // The executable is outside at once; asking the loader costs more.
            const char* module =
                IsExecutableAddress(stack.Frames[i]) ? nullptr : ModuleFileOf(stack.Frames[i]);
            if (module == nullptr || !IsSuiteOrRuntimeModule(module))
                first = i, raise = RuntimeAddress(raiseAddress);
        }
        if (first < 0) return out;
    }
    out.Frames[out.Count++] = raise;
    for (int i = first + 1; i < stack.Count && out.Count < kMaxCallFrames; ++i)
        out.Frames[out.Count++] = stack.Frames[i];
    return out;
}

}  // namespace

TCallStack RecordedFaultCallStack(void* instruction) {
    if (tThrowStacks == nullptr) return {};
    void* raise = ReportedAddress(instruction);
    for (int age = 1; age <= kThrowRecords; ++age) {
        const int slot = (tNextThrow - age + kThrowRecords) % kThrowRecords;
        if (tThrows[slot].type != nullptr && tThrows[slot].address == raise)
            return StackFromRaise(tThrowStacks[slot], raise, true);
    }
    return {};
}

TCallStack RecordedCallStack(const void* object, const std::type_info& type, void* raiseAddress) {
    const int slot = RecordOf(object, type);
    if (slot < 0 || tThrowStacks == nullptr) return {};
    return StackFromRaise(tThrowStacks[slot], raiseAddress);
}

}  // namespace zr
