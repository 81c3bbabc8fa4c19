#include "requests/FileRestoreErrors.h"

#include "platform/MessageText.h"
#include "platform/System.h"

std::string systemErrorText(std::uint32_t error) {
    std::wstring text;
    if (!platform::systemMessageText(error, &text))
        return "error " + std::to_string(error);
    for (int i = 0; i < 2 && !text.empty() && (text.back() == L'\n' || text.back() == L'\r'); ++i)
        text.pop_back();
    return platform::toNarrow(text);
}
