// Environment variables in Windows paths (ExpandEnvironmentStringsW).
#pragma once

#include <string>

namespace platform {

// Replaces each %NAME% by the variable's value; unknown names stay as written.
// False with the last error set on failure.
bool expandEnvironmentStrings(const std::wstring& text, std::wstring* expanded);

}  // namespace platform
