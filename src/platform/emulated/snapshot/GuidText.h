// GUIDs of the emulated snapshot service: text form, parsing, and new or name-derived IDs.
#pragma once

#include <optional>
#include <string>

#include "platform/Com.h"

namespace platform::emulated {

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lowercase.
std::string guidText(const Guid& guid);
// The same form, braces optional; nothing for anything else.
std::optional<Guid> parseGuidText(const std::string& text);
// A random (version 4) GUID.
Guid newGuid();
// A GUID derived from a name, stable across processes.
Guid guidFromName(const std::string& name);

}  // namespace platform::emulated
