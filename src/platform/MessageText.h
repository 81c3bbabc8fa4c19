// The system's own message text for an error or result code, when it has one.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// FormatMessageW from the system table in the default language, without inserts. Returns
// false when the system has no text for the code; the text keeps the system's line end.
bool systemMessageText(std::uint32_t code, std::wstring* text);

}  // namespace platform
