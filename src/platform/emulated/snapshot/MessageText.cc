// The system's message texts on the emulated host: the texts the host's error table knows.
#include "platform/MessageText.h"

#include "platform/System.h"

namespace platform {

bool systemMessageText(std::uint32_t code, std::wstring* text) {
    std::wstring message = formatMessage(code);
    // formatMessage answers codes it does not know with this generic text.
    if (message.rfind(L"Unknown error ", 0) == 0)
        return false;
    *text = message;
    return true;
}

}  // namespace platform
