// An error number's text as it goes into a log line or an error message: one line, without
// the line end and trailing blanks the system's message table puts after it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The system's text for code (a generic text for codes it does not know). Never throws.
std::string errorText(std::uint32_t code);

// errorText of the calling thread's last error.
std::string lastErrorText();

// The text without its trailing line ends and blanks.
std::wstring withoutTrailingBlanks(std::wstring text);

}  // namespace platform
