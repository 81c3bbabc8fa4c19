#include "requests/FileRestoreErrors.h"

#include "platform/ErrorText.h"
#include "platform/MessageText.h"
#include "platform/System.h"

namespace requests {

std::string systemErrorText(std::uint32_t error) {
    std::wstring text;
    if (!platform::systemMessageText(error, &text))
        return "error " + std::to_string(error);
    return platform::toNarrow(platform::withoutTrailingBlanks(text));
}

}  // namespace requests
