// The snapshot service's result codes: the table of the 28 codes with their standard names
// and the agent's own texts, and the name shown for any code in traces and messages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Com.h"
#include "vssclient/CodeTranslator.h"

namespace vssclient {

class VssCodeTranslator : public CodeTranslator {
  public:
    // The process's one translator (constant data; safe from any thread).
    static const VssCodeTranslator& instance();

    // "0x" + eight hexadecimal digits + ": " + the system's text (or "Unable to display
    // error message.") + a line end.
    std::wstring translate(std::uint32_t code) const override;

  private:
    VssCodeTranslator();
};

// The standard name of code when it is one of the 28 table codes, else empty.
std::wstring vssCodeName(platform::HResult code);

// The name used after "- Error text: " and in COM/Win32 call messages: the standard name
// for S_OK, S_FALSE, E_UNEXPECTED, E_OUTOFMEMORY and the table codes, else the system's
// message text, else "<Unknown error code>".
std::wstring codeName(platform::HResult code);

// The system's text for code (with Win32 results 0x8007xxxx looked up by their error
// number), without its line end; empty when the system has none.
std::wstring systemText(std::uint32_t code);

}  // namespace vssclient
