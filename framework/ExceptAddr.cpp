#include "framework/ExceptAddr.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "framework/Exceptions.h"
#include "framework/ThrowRecord.h"

namespace zr {

namespace {

// Where the executable's code would begin in its map file: GNU ld puts the
// first code segment of a fixed-address executable there.
constexpr std::uintptr_t kMapCodeBase = 0x00401000;

struct TExecutableImage {
    std::uintptr_t codeStart = 0;  // run-time start of the first executable segment
    std::uintptr_t low = 0;        // run-time extent of all loaded segments
    std::uintptr_t high = 0;
    bool found = false;
};

int FindExecutable(dl_phdr_info* info, size_t, void* data) {
    // The executable is always the first object the loader reports.
    auto* image = static_cast<TExecutableImage*>(data);
    bool haveCode = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        std::uintptr_t end = start + ph.p_memsz;
        if (!image->found || start < image->low) image->low = start;
        if (!image->found || end > image->high) image->high = end;
        image->found = true;
        if (!haveCode && (ph.p_flags & PF_X)) {
            image->codeStart = start;
            haveCode = true;
        }
    }
    if (!haveCode) image->found = false;
    return 1;
}

const TExecutableImage& Executable() {
    // The executable never moves once loaded, so one look is enough.
    static const TExecutableImage image = [] {
        TExecutableImage found;
        dl_iterate_phdr(FindExecutable, &found);
        return found;
    }();
    return image;
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool StartsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

struct TModuleSearch {
    std::uintptr_t Address = 0;
    const char* Name = nullptr;
};

int FindModule(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<TModuleSearch*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD && search->Address >= start &&
            search->Address < start + ph.p_memsz) {
            search->Name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            return 1;
        }
    }
    return 0;
}

// The module file holding `address` ("" for the executable), or null when no
// module holds it. Only the loaded segments are compared: dladdr would also
// look for the nearest symbol, a scan of the module's whole symbol table
// that every throw would pay for.
const char* ModuleFileOf(const void* address) {
    TModuleSearch search{reinterpret_cast<std::uintptr_t>(address)};
    dl_iterate_phdr(FindModule, &search);
    return search.Name;
}

// The suite's own libraries: a frame in them is the framework at work, not
// the code that asked for the exception.
bool IsSuiteModule(const char* name) {
    const char* base = BaseName(name);
    return StartsWith(base, "libzoririve.so") || StartsWith(base, "libVEDevE2006.so");
}

// Language and tool run-times that stand between a throw and its thrower
// (the sanitizers wrap the throw; the C++ library throws for its callers).
bool IsRuntimeModule(const char* name) {
    const char* base = BaseName(name);
    return StartsWith(base, "libstdc++.so") || StartsWith(base, "libgcc_s.so") ||
           StartsWith(base, "libasan.so") || StartsWith(base, "libtsan.so") ||
           StartsWith(base, "libubsan.so") || StartsWith(base, "libclang_rt.");
}

// A return address, moved back into the call instruction before it: a call
// that never returns (a throw) may be the last instruction of its function,
// and its return address would then name the next function.
void* CallSite(void* returnAddress) {
    return static_cast<char*>(returnAddress) - 1;
}

// The call site of the first frame on the stack that `skip` does not reject.
template <class Skip>
void* FirstFrameOutside(Skip skip) {
    void* frames[64];
    int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
        const char* module = ModuleFileOf(frames[i]);
        if (module == nullptr || !skip(module)) return CallSite(frames[i]);
    }
    return nullptr;
}

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

bool IsSuiteOrRuntimeModule(const char* name) {
    return IsSuiteModule(name) || IsRuntimeModule(name);
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

void* RecordedThrowAddress(const void* object, const std::type_info& type) {
    const int slot = RecordOf(object, type);
    return slot < 0 ? nullptr : tThrows[slot].address;
}

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

namespace {

TCallStack RecordedCallStack(const void* object, const std::type_info& type, void* raiseAddress) {
    const int slot = RecordOf(object, type);
    if (slot < 0 || tThrowStacks == nullptr) return {};
    return StackFromRaise(tThrowStacks[slot], raiseAddress);
}

std::string Demangle(const char* name) {
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && readable ? readable : name;
    std::free(readable);
    return result;
}

// A C++ exception of another family, dressed as a framework one so that the
// exception path can report it like any other.
class TForeignException : public Exception {
  public:
    TForeignException(std::string className, std::string message, void* address,
                      TCallStack stack = {})
        : Exception(std::move(message)), className_(std::move(className)), stack_(stack) {
        SetRaiseAddress(address);
    }
    const TCallStack& Stack() const { return stack_; }
    const char* ClassName() const override { return className_.c_str(); }
    bool InheritsFrom(std::string_view className) const override {
        return className == className_ || Exception::InheritsFrom(className);
    }

  private:
    std::string className_;
    TCallStack stack_;
};

// A framework exception seen through an exception_ptr: keeps the original
// alive and answers for it, class membership included.
class TCapturedException : public Exception {
  public:
    TCapturedException(std::exception_ptr error, const Exception& original)
        : Exception(original.Message()), error_(std::move(error)), original_(original) {
        SetRaiseAddress(original.RaiseAddress());
        SetHelpContext(original.HelpContext());
    }
    const char* ClassName() const override { return original_.ClassName(); }
    bool InheritsFrom(std::string_view className) const override {
        return original_.InheritsFrom(className);
    }
    const Exception& Original() const { return original_; }

  private:
    std::exception_ptr error_;
    const Exception& original_;
};

const std::string& ExecutableFileName() {
    static const std::string name = [] {
        char path[4096];
        ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
    }();
    return name;
}

// The framework's error texts live in fixed buffers; keep a cut text valid
// UTF-8 by never ending it inside a multi-byte character.
constexpr size_t kErrorMessageLimit = 1024;
std::string CutToLength(std::string text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

[[gnu::tls_model("initial-exec")]] thread_local const Exception* tCurrentObject = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local void* tCurrentAddress = nullptr;

}  // namespace

void* ReportedAddress(void* runtimeAddress) {
    const TExecutableImage& exe = Executable();
    auto address = reinterpret_cast<std::uintptr_t>(runtimeAddress);
    if (!exe.found || address < exe.low || address >= exe.high) return runtimeAddress;
    return reinterpret_cast<void*>(address - exe.codeStart + kMapCodeBase);
}

void* CaptureRaiseAddress(void* site) {
    if (site != nullptr) {
        const char* module = ModuleFileOf(site);
        if (module != nullptr && !IsSuiteModule(module)) return ReportedAddress(site);
    }
    // The sanitizers' run-times show up on the stack too (they wrap backtrace).
    void* frame = FirstFrameOutside(IsSuiteOrRuntimeModule);
    return frame ? ReportedAddress(frame) : nullptr;
}

const Exception* ExceptObject() {
    return tCurrentObject;
}

void* ExceptAddr() {
    return tCurrentAddress;
}

TExceptionScope::TExceptionScope(const Exception& e)
    : previousObject_(tCurrentObject), previousAddress_(tCurrentAddress) {
    tCurrentObject = &e;
    tCurrentAddress = e.RaiseAddress();
}

TExceptionScope::~TExceptionScope() {
    tCurrentObject = previousObject_;
    tCurrentAddress = previousAddress_;
}

std::unique_ptr<Exception> WrapException(std::exception_ptr error) {
    if (!error) return nullptr;
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return std::make_unique<TCapturedException>(error, e);
    } catch (const std::exception& e) {
        // The thrown object is the most derived one, wherever std::exception
        // sits among its bases.
        const void* object = dynamic_cast<const void*>(&e);
        void* address = RecordedThrowAddress(object, typeid(e));
        return std::make_unique<TForeignException>(Demangle(typeid(e).name()), e.what(), address,
                                                   RecordedCallStack(object, typeid(e), address));
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        return std::make_unique<TForeignException>(
            type ? Demangle(type->name()) : std::string("unknown exception"), std::string(),
            nullptr);
    }
}

TCallStack CallStackOf(const Exception& e) {
    if (const auto* foreign = dynamic_cast<const TForeignException*>(&e)) return foreign->Stack();
    const Exception* original = &e;
    if (const auto* captured = dynamic_cast<const TCapturedException*>(&e))
        original = &captured->Original();
    return RecordedCallStack(dynamic_cast<const void*>(original), typeid(*original),
                             original->RaiseAddress());
}

void* RuntimeAddress(void* reportedAddress) {
    const TExecutableImage& exe = Executable();
    const auto reported = reinterpret_cast<std::uintptr_t>(reportedAddress);
    if (exe.found && reported >= kMapCodeBase &&
        reported - kMapCodeBase + exe.codeStart < exe.high &&
        reported - kMapCodeBase + exe.codeStart >= exe.low)
        return reinterpret_cast<void*>(reported - kMapCodeBase + exe.codeStart);
    return reportedAddress;
}

bool IsExecutableAddress(const void* runtimeAddress) {
    const TExecutableImage& exe = Executable();
    const auto address = reinterpret_cast<std::uintptr_t>(runtimeAddress);
    return exe.found && address >= exe.low && address < exe.high;
}

std::string ExceptionErrorMessage(const Exception& e, void* address) {
    auto reported = reinterpret_cast<std::uintptr_t>(address);
    // A reported address inside the executable is in map-file form; turn it
    // back into a run-time one to find the module.
    const auto runtime = reinterpret_cast<std::uintptr_t>(RuntimeAddress(address));
    const char* module = address ? ModuleFileOf(reinterpret_cast<void*>(runtime)) : nullptr;
    if (module == nullptr || *module == '\0') module = ExecutableFileName().c_str();

    char where[64];
    if (reported <= 0xFFFFFFFFu)
        std::snprintf(where, sizeof where, "%08lX", static_cast<unsigned long>(reported));
    else
        std::snprintf(where, sizeof where, "%016llX", static_cast<unsigned long long>(reported));

    std::string text = "Exception ";
    text += e.ClassName();
    text += " in module ";
    text += BaseName(module);
    text += " at ";
    text += where;
    text += ".\r\n";
    text += e.Message();
    // A full stop ends the text unless the message already ends in punctuation.
    if (!e.Message().empty() && static_cast<unsigned char>(e.Message().back()) > '.') text += '.';
    return CutToLength(std::move(text), kErrorMessageLimit);
}

}  // namespace zr
