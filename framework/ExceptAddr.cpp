#include "framework/ExceptAddr.h"

#include <cxxabi.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "framework/CodeModules.h"
#include "framework/Exceptions.h"
#include "framework/ThrowRecords.h"

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
        // The executable is outside at once; asking the loader costs more.
        if (IsExecutableAddress(site)) return ReportedAddress(site);
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
