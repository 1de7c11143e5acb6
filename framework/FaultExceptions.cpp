#include "framework/FaultExceptions.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/ExceptAddr.h"
#include "framework/Exceptions.h"
#include "platform/LoadedModules.h"

namespace zr {

namespace {

using os::TFaultKind;

// The fault an exception was made from, kept with it so that a fault which
// nothing catches can still end the process as the fault would have.
class TFaultOrigin {
  public:
    explicit TFaultOrigin(const os::TFaultInfo& fault) : fault_(fault) {}
    const os::TFaultInfo& Fault() const { return fault_; }

  private:
    os::TFaultInfo fault_;
};

template <class E>
class TFaultException : public E, public TFaultOrigin {
  public:
    TFaultException(const char* message, const os::TFaultInfo& fault)
        : E(message, TRaiseSite{fault.Instruction}), TFaultOrigin(fault) {}
    TFaultException(const TFaultException&) = default;
    ~TFaultException() override { ForgetFaultRecord(dynamic_cast<const void*>(this)); }
};

template <class E>
std::exception_ptr Make(const os::TFaultInfo& fault) {
    char message[512];
    FaultMessage(fault, message, sizeof message);
    std::exception_ptr exception = std::make_exception_ptr(TFaultException<E>(message, fault));
    RecordFaultCallStack(exception, fault.Instruction);
    return exception;
}

std::terminate_handler previousTerminate = nullptr;

// A fault that became an exception and then found no handler (on the main
// thread outside the message loop, say) is no reason to abort: it takes the
// last-report path and ends the process by its own signal, as it would
// have without the framework.
[[noreturn]] void OnTerminate() {
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const TFaultOrigin& origin) {
            os::EndWithLastReport(origin.Fault());
        } catch (...) {
        }
    }
    if (previousTerminate != nullptr) previousTerminate();
    std::abort();
}

std::exception_ptr MakeFaultException(const os::TFaultInfo& fault) {
    switch (fault.Kind) {
        case TFaultKind::AccessViolation:
            return Make<EAccessViolation>(fault);
        case TFaultKind::DivByZero:
            return Make<EDivByZero>(fault);
        case TFaultKind::IntOverflow:
            return Make<EIntOverflow>(fault);
        case TFaultKind::ZeroDivide:
            return Make<EZeroDivide>(fault);
        case TFaultKind::Overflow:
            return Make<EOverflow>(fault);
        case TFaultKind::Underflow:
            return Make<EUnderflow>(fault);
        case TFaultKind::InvalidOp:
            return Make<EInvalidOp>(fault);
        case TFaultKind::Privilege:
            return Make<EPrivilege>(fault);
        case TFaultKind::StackOverflow:
            return Make<EStackOverflow>(fault);
        case TFaultKind::External:
            break;
    }
    return Make<EExternalException>(fault);
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

void EnableFaultExceptions() {
    // The first use reads where the executable lies; later ones (inside a
    // signal handler) only compute.
    ReportedAddress(nullptr);
    static std::once_flag terminateHandler;
    std::call_once(terminateHandler, [] { previousTerminate = std::set_terminate(OnTerminate); });
    if (!os::FaultHandlersInstalled())
        os::InstallFaultHandlers(MakeFaultException);
    else
        os::PrepareThreadForFaults();
}

void DisableFaultExceptions() {
    os::LeaveThreadForFaults();
}

const char* FaultClassName(TFaultKind kind) {
    switch (kind) {
        case TFaultKind::AccessViolation:
            return "EAccessViolation";
        case TFaultKind::DivByZero:
            return "EDivByZero";
        case TFaultKind::IntOverflow:
            return "EIntOverflow";
        case TFaultKind::ZeroDivide:
            return "EZeroDivide";
        case TFaultKind::Overflow:
            return "EOverflow";
        case TFaultKind::Underflow:
            return "EUnderflow";
        case TFaultKind::InvalidOp:
            return "EInvalidOp";
        case TFaultKind::Privilege:
            return "EPrivilege";
        case TFaultKind::StackOverflow:
            return "EStackOverflow";
        case TFaultKind::External:
            break;
    }
    return "EExternalException";
}

void FaultMessage(const os::TFaultInfo& fault, char* buffer, std::size_t size) {
    TFixedText text(buffer, size);
    switch (fault.Kind) {
        case TFaultKind::AccessViolation: {
            char module[512];
            os::ModuleNameAt(fault.Instruction, module, sizeof module);
            text.Add("Access violation at address ")
                .Hex(reinterpret_cast<std::uintptr_t>(ReportedAddress(fault.Instruction)))
                .Add(" in module '")
                .Add(BaseName(module))
                .Add("'. ")
                .Add(fault.Write ? "Write" : "Read")
                .Add(" of address ")
                .Hex(reinterpret_cast<std::uintptr_t>(fault.Address));
            return;
        }
        case TFaultKind::DivByZero:
            text.Add("Division by zero");
            return;
        case TFaultKind::IntOverflow:
            text.Add("Integer overflow");
            return;
        case TFaultKind::ZeroDivide:
            text.Add("Floating point division by zero");
            return;
        case TFaultKind::Overflow:
            text.Add("Floating point overflow");
            return;
        case TFaultKind::Underflow:
            text.Add("Floating point underflow");
            return;
        case TFaultKind::InvalidOp:
            text.Add("Invalid floating point operation");
            return;
        case TFaultKind::Privilege:
            text.Add("Privileged instruction");
            return;
        case TFaultKind::StackOverflow:
            text.Add("Stack overflow");
            return;
        case TFaultKind::External:
            break;
    }
    text.Add("External exception ").Hex(static_cast<std::uintptr_t>(fault.Signal), 1);
}

// ---- TFixedText --------------------------------------------------------------

TFixedText::TFixedText(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {
    if (size_ > 0) buffer_[0] = '\0';
}

TFixedText& TFixedText::Add(const char* text) {
    return Add(text, std::strlen(text));
}

TFixedText& TFixedText::Add(const char* text, std::size_t length) {
    if (size_ == 0) return *this;
    const std::size_t room = size_ - 1 - length_;
    const std::size_t taken = length < room ? length : room;
    std::memcpy(buffer_ + length_, text, taken);
    length_ += taken;
    buffer_[length_] = '\0';
    return *this;
}

TFixedText& TFixedText::Hex(std::uintptr_t value, int digits) {
    char text[2 * sizeof value];
    int count = 0;
    do {
        text[sizeof text - 1 - count] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
        ++count;
    } while (value != 0 || count < digits);
    return Add(text + sizeof text - count, static_cast<std::size_t>(count));
}

TFixedText& TFixedText::Decimal(long long value, int digits) {
    char text[24];
    int count = 0;
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value);
    do {
        text[sizeof text - 1 - count] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        ++count;
    } while (magnitude != 0 || count < digits);
    if (negative) text[sizeof text - 1 - count++] = '-';
    return Add(text + sizeof text - count, static_cast<std::size_t>(count));
}

}  // namespace zr
