// The texts of snapshot failures and the exception that carries them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Com.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"
#include "vssclient/FunctionTracer.h"

namespace vssclient {

// A snapshot failure whose text is the message alone: unlike the rest of the exception
// family it carries no function-and-line suffix (the function and line are still kept).
class VssOperationException : public runtime::VssException {
  public:
    using runtime::VssException::VssException;
    const char* what() const noexcept override { return message().c_str(); }
};

// N + D: the code's standard name and " - " + its text for table codes, else "0x" and
// eight lowercase hexadecimal digits.
std::string vssCodeLabel(platform::HResult code);

std::string syncFailureMessage(const std::wstring& operation, platform::HResult code);
std::string asyncFailureMessage(const std::wstring& operation, platform::HResult code);
std::string timeoutMessage(const std::wstring& operation);

// The COM-call pattern's failure: traces the three error lines and throws VssException
// naming the call, its result code and the code's name (with function and line).
[[noreturn]] void throwComCallFailure(const FunctionTracer& ft, const std::wstring& callText,
                                      platform::HResult code, const char* function, int line);

// The Win32-call pattern's failure for error (a Win32 error number).
[[noreturn]] void throwWin32CallFailure(const FunctionTracer& ft, const std::wstring& callText,
                                        std::uint32_t error, const char* function, int line);

}  // namespace vssclient

// Throws the synchronous-failure message when the service call fails.
#define VSS_CHECK(operationText, call)                                      \
    do {                                                                    \
        const ::platform::HResult vssResult_ = (call);                      \
        if (::platform::failed(vssResult_))                                 \
            throw ::vssclient::VssOperationException(                       \
                ::vssclient::syncFailureMessage(operationText, vssResult_), \
                ZENTRAD_FUNCTION_SIGNATURE, __LINE__);                      \
    } while (false)

// The COM-call pattern around a call that is not a service method.
#define VSS_CHECK_COM(callText, call)                                                              \
    do {                                                                                           \
        ft.writeLine(L"Executing COM call '%s'", callText);                                        \
        const ::platform::HResult vssResult_ = (call);                                             \
        if (::platform::failed(vssResult_))                                                        \
            ::vssclient::throwComCallFailure(ft, callText, vssResult_, ZENTRAD_FUNCTION_SIGNATURE, \
                                             __LINE__);                                            \
    } while (false)

// The Win32-call pattern around a call that reports success as a bool.
#define VSS_CHECK_WIN32(callText, call)                                                  \
    do {                                                                                 \
        ft.writeLine(L"Executing Win32 call '%s'", callText);                            \
        if (!(call))                                                                     \
            ::vssclient::throwWin32CallFailure(ft, callText, ::platform::getLastError(), \
                                               ZENTRAD_FUNCTION_SIGNATURE, __LINE__);    \
    } while (false)
