// Environment strings on the emulated host: the process environment.
#include "platform/Environment.h"

#include <cstdlib>

#include "platform/System.h"

namespace platform {

bool expandEnvironmentStrings(const std::wstring& text, std::wstring* expanded) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t open = text.find(L'%', i);
        std::size_t close =
            open == std::wstring::npos ? std::wstring::npos : text.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            out += text.substr(i);
            break;
        }
        out += text.substr(i, open - i);
        std::wstring name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(toNarrow(name).c_str());
        if (value != nullptr) {
            out += toWide(value);
            i = close + 1;
        } else {
            // Unknown names stay as written; the closing '%' may open the next name.
            out += text.substr(open, close - open);
            i = close;
        }
    }
    *expanded = out;
    return true;
}

}  // namespace platform
