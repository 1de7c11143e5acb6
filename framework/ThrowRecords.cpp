#include "framework/ThrowRecords.h"

#include <pthread.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/CodeModules.h"
#include "framework/Exceptions.h"
#include "framework/ThrowRecord.h"

namespace zr {

namespace {

// ---- the records of thrown objects ----
// The throw itself is the only moment its thrower (and its stack) is known,
// so every throw of the process passes through here on its way to the C++
// run-time and leaves a record keyed by the thrown object. The record lives
// exactly as long as the object: the run-time is handed a destroy function
// of ours that frees it, so an exception still in flight (caught, held in a
// std::exception_ptr, moved to another thread) keeps it however many other
// throws come meanwhile, and any thread can find it.
//
// One process-wide table of fixed size, claimed and freed with atomics only:
// a fault handler records into it too, and a thread needs nothing of its own
// before its first fault.
struct TThrowRecord {
    std::atomic<const void*> Object{nullptr};
    const std::type_info* Type = nullptr;
    void* Address = nullptr;  // reported form
    void (*Destroy)(void*) = nullptr;
    const void* Thread = nullptr;  // the thread that threw (see ThisThreadMark)
    std::uint64_t Serial = 0;      // newer throws have larger serials
    int Count = 0;                 // frames taken; 0 while call stacks are not asked for
    int Omitted = 0;               // frames left out between inner and outer ones
    void* Frames[kMaxCallFrames];
};
constexpr int kThrowRecords = 512;
TThrowRecord records[kThrowRecords];
std::atomic<std::uint64_t> nextSerial{1};
std::atomic<int> callStackRequests{0};

// A per-thread address that tells threads apart without asking the system.
[[gnu::tls_model("initial-exec")]] thread_local char tThreadMark;
const void* ThisThreadMark() {
    return &tThreadMark;
}

int HomeSlot(const void* object) {
    const auto bits = reinterpret_cast<std::uintptr_t>(object);
    return static_cast<int>((bits >> 4 ^ bits >> 13) % kThrowRecords);
}

// A free slot now holding `object`, from its home slot on; null when the
// table is full (the throw then goes unrecorded). An object is thrown once
// in its life, so a slot that already names it is a record whose object died
// unseen: it is taken over, so that no stale record is found before the new.
TThrowRecord* Claim(const void* object) {
    const int home = HomeSlot(object);
    for (int step = 0; step < kThrowRecords; ++step) {
        TThrowRecord& record = records[(home + step) % kThrowRecords];
        const void* expected = nullptr;
        const void* held = record.Object.load(std::memory_order_acquire);
        if (held == object) return &record;
        if (held == nullptr &&
            record.Object.compare_exchange_strong(expected, object, std::memory_order_acquire))
            return &record;
    }
    return nullptr;
}

// The record of `object`, which must be alive; null when it has none. Freed
// slots are not markers of the end of a search, so a miss scans the table.
TThrowRecord* Find(const void* object) {
    if (object == nullptr) return nullptr;
    const int home = HomeSlot(object);
    for (int step = 0; step < kThrowRecords; ++step) {
        TThrowRecord& record = records[(home + step) % kThrowRecords];
        if (record.Object.load(std::memory_order_acquire) == object) return &record;
    }
    return nullptr;
}

void Free(TThrowRecord& record) {
    record.Type = nullptr;
    record.Count = 0;
    record.Object.store(nullptr, std::memory_order_release);
}

// What the run-time calls when a recorded object dies.
void DestroyRecorded(void* object) {
    TThrowRecord* record = Find(object);
    if (record == nullptr) return;  // cannot be: the record lives until here
    void (*destroy)(void*) = record->Destroy;
    Free(*record);
    if (destroy != nullptr) destroy(object);
}

// ---- the walk ----
// Where the stack is deeper than the room for it (a runaway recursion), the
// innermost frames and the outermost ones are kept, and the count of those
// between.
constexpr int kOuterFrames = kOuterCallFrames;

struct TWalk;
// Whether the walk can end early at its frame `at`, its outer frames known
// otherwise (a remembered walk, see WalkThrowStack); null for none.
using TSplice = bool (*)(TWalk& walk, int at);

struct TWalk {
    void** Frames;
    int Capacity;
    long Total;
    std::uintptr_t* Cfas = nullptr;  // each frame's canonical frame address, when wanted
    bool Plain = true;               // no signal frame on the way
    TSplice Splice = nullptr;
    const void* SpliceData = nullptr;
    int SpliceAt = 1;
};

_Unwind_Reason_Code AddFrame(_Unwind_Context* context, void* data) {
    auto* walk = static_cast<TWalk*>(data);
    int beforeInstruction = 0;
    const _Unwind_Ptr ip = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (ip == 0) return _URC_END_OF_STACK;
    const long at = walk->Total++;
    const int inner = walk->Capacity - kOuterFrames;
    if (beforeInstruction != 0) walk->Plain = false;
    if (at < walk->Capacity) {
        walk->Frames[at] = reinterpret_cast<void*>(ip);
        if (walk->Cfas != nullptr) walk->Cfas[at] = _Unwind_GetCFA(context);
        if (walk->Splice != nullptr && walk->Plain && at > 0 &&
            walk->Splice(*walk, static_cast<int>(at)))
            return _URC_END_OF_STACK;
    } else if (inner <= 0) {
        return _URC_END_OF_STACK;  // too little room to keep outer frames
    } else {
        walk->Frames[inner + (at - inner) % kOuterFrames] = reinterpret_cast<void*>(ip);
    }
    // A stack this deep is a broken one; its walk must end.
    return walk->Total < (1L << 22) ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// Brings the outer frames, kept round-robin, back into order; returns how
// many frames were left out.
int SettleOuterFrames(const TWalk& walk) {
    const int inner = walk.Capacity - kOuterFrames;
    if (walk.Total <= walk.Capacity || inner <= 0) return 0;
    void** ring = walk.Frames + inner;
    const long oldest = (walk.Total - kOuterFrames - inner) % kOuterFrames;
    std::rotate(ring, ring + oldest, ring + kOuterFrames);
    return static_cast<int>(walk.Total - walk.Capacity);
}

// The thrower's address in reported form: the call that threw, unless it
// lies in the suite's libraries or a run-time (a helper that throws for its
// caller), then the first frame outside them.
void* ThrowerAddress(void* returnAddress) {
    // The executable is outside at once; asking the loader costs more.
    if (IsExecutableAddress(returnAddress)) return ReportedAddress(CallSite(returnAddress));
    void* address = CallSite(returnAddress);
    const char* module = ModuleFileOf(returnAddress);
    if (module != nullptr && IsSuiteOrRuntimeModule(module))
        address = FirstFrameOutside(IsSuiteOrRuntimeModule);
    return address ? ReportedAddress(address) : nullptr;
}

// ---- the walk at a throw, remembered ----
// Programs throw from the same call paths again and again, and a walk costs
// as much as the throw itself. Each thread remembers its last walk: each
// frame's code address and stack pointer. A frame is known by the two: when
// a new walk reaches a frame the last one had, at the same place of the
// stack, and every remembered return address further out still sits in its
// slot, the frames further out are the ones remembered; the walk ends there
// and takes them. When the walk would start where the last one started, the
// whole stack is checked so, without the unwinder. Only walks without signal
// frames, inside the thread's own stack, are remembered, with return
// addresses where the x86-64 calling convention puts them (just below the
// stack pointer of the frame they return to).
#if defined(__x86_64__)
struct TStackMemo {
    std::uintptr_t StackLow = 0;
    std::uintptr_t StackHigh = 0;
    std::uintptr_t StartCfa = 0;  // the walker's own, when this walk was made
    int Count = 0;
    void* Frames[kMaxCallFrames];
    // For k > 0 the unwinder's address of frame k: its stack pointer, with
    // Frames[k] just below it.
    std::uintptr_t Cfas[kMaxCallFrames];
};
[[gnu::tls_model("initial-exec")]] thread_local TStackMemo* tStackMemo = nullptr;

struct TStackMemoOwner {
    ~TStackMemoOwner() {
        delete tStackMemo;
        tStackMemo = nullptr;
    }
};

// Outside signal handlers only: allocates. On the heap, as initial-exec
// thread-local room is small.
TStackMemo* StackMemoOfThisThread() {
    if (tStackMemo == nullptr) {
        static thread_local TStackMemoOwner owner;
        (void)&owner;
        auto* memo = new TStackMemo;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* low = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
                memo->StackLow = reinterpret_cast<std::uintptr_t>(low);
                memo->StackHigh = memo->StackLow + size;
            }
            pthread_attr_destroy(&attributes);
        }
        tStackMemo = memo;
    }
    return tStackMemo;
}

// A return address the frames' own code wrote: no variable of theirs, so
// nothing a sanitizer guards.
[[gnu::no_sanitize_address]] void* SlotValue(std::uintptr_t cfa) {
    return *reinterpret_cast<void* const*>(cfa - sizeof(void*));
}

// Whether the remembered frames from `from` outwards are all still there.
// The slots lie between a live frame and the top of the thread's stack.
bool OuterFramesHold(const TStackMemo& memo, int from) {
    for (int k = from; k < memo.Count; ++k)
        if (SlotValue(memo.Cfas[k]) != memo.Frames[k]) return false;
    return true;
}

// The splice for the throw hook's walk: frame `at` is remembered frame k.
bool SpliceRemembered(TWalk& walk, int at) {
    const auto& memo = *static_cast<const TStackMemo*>(walk.SpliceData);
    const std::uintptr_t cfa = walk.Cfas[at];
    int k = walk.SpliceAt;  // both walks go outwards, up the stack
    while (k < memo.Count && memo.Cfas[k] < cfa) ++k;
    walk.SpliceAt = k;
    if (k >= memo.Count) {
        walk.Splice = nullptr;  // past every remembered frame
        return false;
    }
    if (memo.Cfas[k] != cfa || memo.Frames[k] != walk.Frames[at]) return false;
    const int rest = memo.Count - k - 1;
    walk.Splice = nullptr;  // one try: a stack that changed is walked through
    if (at + 1 + rest >= walk.Capacity || !OuterFramesHold(memo, k + 1)) return false;
    std::copy(memo.Frames + k + 1, memo.Frames + memo.Count, walk.Frames + at + 1);
    std::copy(memo.Cfas + k + 1, memo.Cfas + memo.Count, walk.Cfas + at + 1);
    walk.Total = at + 1 + rest;
    return true;
}

void Remember(TStackMemo& memo, std::uintptr_t start, const TWalk& walk) {
    memo.Count = 0;
    const int count = static_cast<int>(walk.Total);
    if (!walk.Plain || count == 0 || count >= walk.Capacity) return;
    if (start < memo.StackLow || start >= memo.StackHigh) return;  // a stack of the program's own
    for (int k = 1; k < count; ++k) {
        const std::uintptr_t cfa = walk.Cfas[k];
        if (cfa < start || cfa > memo.StackHigh || (k > 1 && cfa <= walk.Cfas[k - 1]) ||
            SlotValue(cfa) != walk.Frames[k])
            return;
    }
    std::copy(walk.Frames, walk.Frames + count, memo.Frames);
    std::copy(walk.Cfas, walk.Cfas + count, memo.Cfas);
    memo.StartCfa = start;
    memo.Count = count;
}

// WalkStack for the throw hook.
[[gnu::noinline]] int WalkThrowStack(void** frames, int capacity, int* omitted) {
    const auto start = reinterpret_cast<std::uintptr_t>(__builtin_dwarf_cfa());
    TStackMemo& memo = *StackMemoOfThisThread();
    *omitted = 0;
    if (memo.Count > 0 && memo.Count <= capacity && memo.StartCfa == start &&
        OuterFramesHold(memo, 1)) {
        std::copy(memo.Frames, memo.Frames + memo.Count, frames);
        return memo.Count;
    }
    std::uintptr_t cfas[kMaxCallFrames];
    TWalk walk{frames, std::min(capacity, kMaxCallFrames), 0, cfas};
    if (memo.Count > 0) walk.Splice = SpliceRemembered, walk.SpliceData = &memo;
    _Unwind_Backtrace(AddFrame, &walk);
    *omitted = SettleOuterFrames(walk);
    Remember(memo, start, walk);
    return static_cast<int>(std::min<long>(walk.Total, walk.Capacity));
}
#else
int WalkThrowStack(void** frames, int capacity, int* omitted) {
    return WalkStack(frames, capacity, omitted);
}
#endif

void Fill(TThrowRecord& record, const std::type_info* type, void* address, bool atThrow) {
    record.Type = type;
    record.Address = address;
    record.Thread = ThisThreadMark();
    record.Serial = nextSerial.fetch_add(1, std::memory_order_relaxed);
    record.Count = 0;
    record.Omitted = 0;
    if (callStackRequests.load(std::memory_order_relaxed) == 0) return;
    record.Count = atThrow ? WalkThrowStack(record.Frames, kMaxCallFrames, &record.Omitted)
                           : WalkStack(record.Frames, kMaxCallFrames, &record.Omitted);
}

}  // namespace

void (*RecordThrow(void* object, const void* typeInfo, void* returnAddress,
                   void (*destroy)(void*)))(void*) {
    TThrowRecord* record = Claim(object);
    if (record == nullptr) return destroy;
    record->Destroy = destroy;
    Fill(*record, static_cast<const std::type_info*>(typeInfo), ThrowerAddress(returnAddress),
         true);
    return DestroyRecorded;
}

int WalkStack(void** frames, int capacity, int* omitted) {
    TWalk walk{frames, capacity, 0};
    _Unwind_Backtrace(AddFrame, &walk);
    const int left = SettleOuterFrames(walk);
    if (omitted != nullptr) *omitted = left;
    return static_cast<int>(std::min<long>(walk.Total, capacity));
}

void RequestCallStacks() {
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
    if (!exception) return;
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        // No throw passed the hook: the record is made here, at the fault,
        // and freed with the object (ForgetFaultRecord).
        const void* object = dynamic_cast<const void*>(&e);
        if (TThrowRecord* record = Claim(object)) {
            record->Destroy = nullptr;
            Fill(*record, &typeid(e), ReportedAddress(instruction), false);
        }
    } catch (...) {
    }
}

void ForgetFaultRecord(const void* object) {
    // Only a record without a destroy function of the run-time's is the
    // fault's own; a copy that was thrown is freed by the run-time.
    TThrowRecord* record = Find(object);
    if (record != nullptr && record->Destroy == nullptr && record->Type != nullptr) Free(*record);
}

namespace {

const TThrowRecord* RecordOf(const void* object, const std::type_info& type) {
    const TThrowRecord* record = Find(object);
    if (record == nullptr || record->Type == nullptr || *record->Type != type) return nullptr;
    return record;
}

}  // namespace

void* RecordedThrowAddress(const void* object, const std::type_info& type) {
    const TThrowRecord* record = RecordOf(object, type);
    return record == nullptr ? nullptr : record->Address;
}

namespace {

// The recorded stack from the raise address outwards: the frames of the
// hook, the run-time and the suite's helpers that made the exception (or of
// the signal handler that made a fault into one) come first and are left out.
TCallStack StackFromRaise(const TThrowRecord& stack, void* raiseAddress, bool exactOnly = false) {
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
    if (stack.Omitted > 0) {
        out.Omitted = stack.Omitted;
        out.OmittedAfter = out.Count - kOuterFrames;
    }
    return out;
}

}  // namespace

TCallStack RecordedFaultCallStack(void* instruction) {
    // The newest fault record of this thread at that instruction; reads
    // nothing but the table, for a signal handler.
    void* raise = ReportedAddress(instruction);
    const void* self = ThisThreadMark();
    const TThrowRecord* newest = nullptr;
    for (const TThrowRecord& record : records) {
        if (record.Object.load(std::memory_order_acquire) == nullptr) continue;
        if (record.Type == nullptr || record.Address != raise || record.Thread != self) continue;
        if (newest == nullptr || record.Serial > newest->Serial) newest = &record;
    }
    return newest == nullptr ? TCallStack{} : StackFromRaise(*newest, raise, true);
}

TCallStack RecordedCallStack(const void* object, const std::type_info& type, void* raiseAddress) {
    const TThrowRecord* record = RecordOf(object, type);
    return record == nullptr ? TCallStack{} : StackFromRaise(*record, raiseAddress);
}

}  // namespace zr
