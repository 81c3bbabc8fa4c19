#include "vssclient/VssMessages.h"

#include "platform/System.h"
#include "vssclient/VssCodeTranslator.h"

namespace vssclient {
namespace {

std::string narrow(const std::wstring& text) {
    return platform::toNarrow(text);
}

}  // namespace

std::string vssCodeLabel(platform::HResult code) {
    auto value = static_cast<std::uint32_t>(code);
    const CodeText* row = VssCodeTranslator::instance().find(value);
    if (row == nullptr)
        return "0x" + narrow(hex8(value));
    return narrow(row->name) + " - " + narrow(row->text);
}

std::string syncFailureMessage(const std::wstring& operation, platform::HResult code) {
    return "An error occured while executing VSS operation '" + narrow(operation) + "'." + "  " +
           vssCodeLabel(code);
}

std::string asyncFailureMessage(const std::wstring& operation, platform::HResult code) {
    return "An error occurred during the asynchronous execution of VSS operation '" +
           narrow(operation) + "'." + "  " + vssCodeLabel(code);
}

std::string timeoutMessage(const std::wstring& operation) {
    return "Volume Shadow Copy timed out while executing '" + narrow(operation) + "'.  " +
           "This happens most often if one or more writers takes longer than expected to "
           "synchronize " +
           "its data.  This problem is intermittent, and can sometimes be resolved by increasing "
           "the " +
           "amount of time the Vardex Backup Agent waits for completion.  Set the -t command line "
           "option " +
           "in the service startup parameters to change this value.  Run zentrad.exe -h for more "
           "information." +
           "  ";
}

void throwComCallFailure(const FunctionTracer& ft, const std::wstring& callText,
                         platform::HResult code, const char* function, int line) {
    std::wstring name = codeName(code);
    ft.writeLine(L"\nERROR: COM call %s failed.", callText);
    ft.writeLine(L"- Returned HRESULT = 0x%08lx", static_cast<std::uint32_t>(code));
    ft.writeLine(L"- Error text: %s", name);
    throw runtime::VssException("COM call " + narrow(callText) + " failed (0x" +
                                    narrow(hex8(static_cast<std::uint32_t>(code))) +
                                    "): " + narrow(name),
                                function, line);
}

void throwWin32CallFailure(const FunctionTracer& ft, const std::wstring& callText,
                           std::uint32_t error, const char* function, int line) {
    std::wstring name = codeName(platform::hresultFromWin32(error));
    ft.writeLine(L"\nERROR: Win32 call %s failed.", callText);
    ft.writeLine(L"- GetLastError() == %ld", error);
    ft.writeLine(L"- Error text: %s", name);
    throw runtime::VssException("Win32 call " + narrow(callText) + " failed (" +
                                    std::to_string(error) + "): " + narrow(name),
                                function, line);
}

}  // namespace vssclient
