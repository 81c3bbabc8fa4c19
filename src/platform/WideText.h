// Comparing Windows names (device paths, volume names, writer names) the way the system
// does: without regard to case, one character at a time, whatever the process locale
// makes of words. Shared by both sides of the seam and by the agent.
#pragma once

#include <string>

namespace platform {

// Every character upper-cased, as Windows folds names before it compares them.
std::wstring upperCase(std::wstring text);
bool equalsIgnoringCase(const std::wstring& a, const std::wstring& b);
bool startsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix);

// The name without the backslashes at its end: "\\?\Volume{...}\" names a volume's root
// directory, "\\?\Volume{...}" the volume itself.
std::wstring withoutTrailingBackslashes(std::wstring name);

}  // namespace platform
