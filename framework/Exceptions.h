// The framework's exception classes. Code that filters exceptions by class
// (the exception log) relies on this exact tree, so keep it as it is.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace zr {

// Where an exception object is being made, taken as a default argument so
// that it is evaluated in the code that makes it: Here() returns its own
// return address, which lies in that code. The constructor prefers it to a
// walk of the stack, which cannot see past constructors compiled into the
// caller's module.
struct TRaiseSite {
    void* address = nullptr;
    static TRaiseSite Here();
};

class Exception : public std::exception {
  public:
    explicit Exception(std::string message = {}, TRaiseSite site = TRaiseSite::Here());
    ~Exception() override;

    const std::string& Message() const { return message_; }
    void SetMessage(std::string message) { message_ = std::move(message); }
    int HelpContext() const { return helpContext_; }
    void SetHelpContext(int value) { helpContext_ = value; }

    virtual const char* ClassName() const { return "Exception"; }
    // True when this exception's class is `className` or descends from it.
    virtual bool InheritsFrom(std::string_view className) const { return className == "Exception"; }
    const char* what() const noexcept override { return message_.c_str(); }

    // Where the exception object was made: the code that made it or, when
    // that is one of the suite's own libraries, the first caller outside
    // them; in the executable's map-file form (see ReportedAddress in
    // ExceptAddr.h). Taken by the constructor.
    void* RaiseAddress() const { return raiseAddress_; }
    void SetRaiseAddress(void* address) { raiseAddress_ = address; }

  private:
    std::string message_;
    void* raiseAddress_ = nullptr;
    int helpContext_ = 0;
};

#define ZR_EXCEPTION_CLASS(Name, Parent)                                  \
    class Name : public Parent {                                          \
      public:                                                             \
        using Parent::Parent;                                             \
        const char* ClassName() const override { return #Name; }          \
        bool InheritsFrom(std::string_view className) const override {    \
            return className == #Name || Parent::InheritsFrom(className); \
        }                                                                 \
    }

ZR_EXCEPTION_CLASS(EAbort, Exception);
ZR_EXCEPTION_CLASS(EInOutError, Exception);
ZR_EXCEPTION_CLASS(EInvalidCast, Exception);
ZR_EXCEPTION_CLASS(EConvertError, Exception);
ZR_EXCEPTION_CLASS(EVariantError, Exception);
ZR_EXCEPTION_CLASS(EPropReadOnly, Exception);
ZR_EXCEPTION_CLASS(EPropWriteOnly, Exception);
ZR_EXCEPTION_CLASS(EAssertionFailed, Exception);
ZR_EXCEPTION_CLASS(EAbstractError, Exception);
ZR_EXCEPTION_CLASS(EIntfCastError, Exception);
ZR_EXCEPTION_CLASS(EInvalidContainer, Exception);
ZR_EXCEPTION_CLASS(EInvalidInsert, Exception);
ZR_EXCEPTION_CLASS(EPackageError, Exception);
ZR_EXCEPTION_CLASS(EListError, Exception);
ZR_EXCEPTION_CLASS(EBitsError, Exception);
ZR_EXCEPTION_CLASS(EStringListError, Exception);
ZR_EXCEPTION_CLASS(EComponentError, Exception);
ZR_EXCEPTION_CLASS(EParserError, Exception);
ZR_EXCEPTION_CLASS(EInvalidOperation, Exception);
ZR_EXCEPTION_CLASS(EThread, Exception);
ZR_EXCEPTION_CLASS(EResNotFound, Exception);
ZR_EXCEPTION_CLASS(EInvalidGraphic, Exception);
ZR_EXCEPTION_CLASS(EInvalidGraphicOperation, Exception);

ZR_EXCEPTION_CLASS(EHeapException, Exception);
ZR_EXCEPTION_CLASS(EOutOfMemory, EHeapException);
ZR_EXCEPTION_CLASS(EOutOfResources, EOutOfMemory);
ZR_EXCEPTION_CLASS(EInvalidPointer, EHeapException);

ZR_EXCEPTION_CLASS(EExternal, Exception);
ZR_EXCEPTION_CLASS(EIntError, EExternal);
ZR_EXCEPTION_CLASS(EDivByZero, EIntError);
ZR_EXCEPTION_CLASS(ERangeError, EIntError);
ZR_EXCEPTION_CLASS(EIntOverflow, EIntError);
ZR_EXCEPTION_CLASS(EMathError, EExternal);
ZR_EXCEPTION_CLASS(EInvalidOp, EMathError);
ZR_EXCEPTION_CLASS(EZeroDivide, EMathError);
ZR_EXCEPTION_CLASS(EOverflow, EMathError);
ZR_EXCEPTION_CLASS(EUnderflow, EMathError);
ZR_EXCEPTION_CLASS(EAccessViolation, EExternal);
ZR_EXCEPTION_CLASS(EPrivilege, EExternal);
ZR_EXCEPTION_CLASS(EStackOverflow, EExternal);
ZR_EXCEPTION_CLASS(EControlC, EExternal);
ZR_EXCEPTION_CLASS(EExternalException, EExternal);

// An operating-system failure with its error code.
class EOSError : public Exception {
  public:
    using Exception::Exception;
    EOSError(std::string message, unsigned errorCode, TRaiseSite site = TRaiseSite::Here())
        : Exception(std::move(message), site), errorCode_(errorCode) {}
    const char* ClassName() const override { return "EOSError"; }
    bool InheritsFrom(std::string_view className) const override {
        return className == "EOSError" || Exception::InheritsFrom(className);
    }
    unsigned ErrorCode() const { return errorCode_; }
    void SetErrorCode(unsigned code) { errorCode_ = code; }

  private:
    unsigned errorCode_ = 0;
};
ZR_EXCEPTION_CLASS(EWin32Error, EOSError);

ZR_EXCEPTION_CLASS(EStreamError, Exception);
ZR_EXCEPTION_CLASS(EFCreateError, EStreamError);
ZR_EXCEPTION_CLASS(EFOpenError, EStreamError);
ZR_EXCEPTION_CLASS(EFilerError, EStreamError);
ZR_EXCEPTION_CLASS(EReadError, EFilerError);
ZR_EXCEPTION_CLASS(EWriteError, EFilerError);
ZR_EXCEPTION_CLASS(EClassNotFound, EFilerError);
ZR_EXCEPTION_CLASS(EMethodNotFound, EFilerError);
ZR_EXCEPTION_CLASS(EInvalidImage, EFilerError);

// Raises EOSError for the calling thread's last error (errno), with the
// message "System Error.  Code: <n>.\r\n<system text>".
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(int errorCode);
// Raises EOSError for the last error of the platform's Windows calls
// (GetLastError), with the host's text for the code.
[[noreturn]] void RaiseLastWin32Error();

}  // namespace zr
