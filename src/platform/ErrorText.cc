#include "platform/ErrorText.h"

#include "platform/System.h"

namespace platform {

std::wstring withoutTrailingBlanks(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

std::string errorText(std::uint32_t code) {
    return toNarrow(withoutTrailingBlanks(formatMessage(code)));
}

std::string lastErrorText() {
    return errorText(getLastError());
}

}  // namespace platform
