// Process-level calls of the seam: last-error slot, error texts, module path, working
// directory, tick count, text conversion and debugger output.
//
// Wide strings are the seam's native text. On Windows they are UTF-16; on the emulated
// host wchar_t holds UTF-32 and the "process code page" is UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The calling thread's last-error value, as GetLastError/SetLastError.
std::uint32_t getLastError();
void setLastError(std::uint32_t code);

// The system's text for an error number, as FormatMessageW delivers it (trailing line
// end included where the system adds one). Never throws; unknown codes give a generic text.
std::wstring formatMessage(std::uint32_t code);

// Full path of the running executable; empty (with the last error set) on failure.
// The emulated host answers $ZENTRAD_INSTALL_DIR/zentrad.exe when that variable is set,
// so tests can give each agent its own installation directory.
std::wstring getModuleFileName();

// The process's current working directory; empty on failure.
std::wstring getCurrentDirectory();

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
std::uint32_t getTickCount();

// Conversions between the seam's wide text and the process code page. Characters that
// cannot be represented become '?'; ASCII is always unchanged.
std::string toNarrow(const std::wstring& text);
std::wstring toWide(const std::string& text);

// Text for an attached debugger (OutputDebugStringW); the emulated host writes it to
// standard error.
void outputDebugString(const std::wstring& text);

// The native path separator, so callers can build the service image path as Windows does.
const wchar_t* pathSeparator();

// The executable's file name as installed ("zentrad.exe" on Windows, "zentrad" elsewhere).
const wchar_t* agentExecutableName();

}  // namespace platform
