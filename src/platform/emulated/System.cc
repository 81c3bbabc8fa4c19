// Process-level calls on the emulated host (Linux).
#include "platform/System.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <unordered_map>

#include "platform/Errors.h"

namespace platform {
namespace {

thread_local std::uint32_t lastError = kErrorSuccess;

// The texts Windows gives for the error numbers the agent can meet, so that messages
// built from them read the same on both hosts.
const std::unordered_map<std::uint32_t, std::wstring_view>& errorTexts() {
    static const std::unordered_map<std::uint32_t, std::wstring_view> texts = {
        {0, L"The operation completed successfully."},
        {1, L"Incorrect function."},
        {2, L"The system cannot find the file specified."},
        {3, L"The system cannot find the path specified."},
        {5, L"Access is denied."},
        {6, L"The handle is invalid."},
        {8, L"Not enough memory resources are available to process this command."},
        {18, L"There are no more files."},
        {21, L"The device is not ready."},
        {23, L"Data error (cyclic redundancy check)."},
        {27, L"The drive cannot find the sector requested."},
        {29, L"The system cannot write to the specified device."},
        {30, L"The system cannot read from the specified device."},
        {31, L"A device attached to the system is not functioning."},
        {38, L"Reached the end of the file."},
        {50, L"The request is not supported."},
        {80, L"The file exists."},
        {87, L"The parameter is incorrect."},
        {112, L"There is not enough space on the disk."},
        {121, L"The semaphore timeout period has expired."},
        {122, L"The data area passed to a system call is too small."},
        {123, L"The filename, directory name, or volume label syntax is incorrect."},
        {158, L"The segment is already unlocked."},
        {183, L"Cannot create a file when that file already exists."},
        {234, L"More data is available."},
        {259, L"No more data is available."},
        {1060, L"The specified service does not exist as an installed service."},
        {1063, L"The service process could not connect to the service controller."},
        {1073, L"The specified service already exists."},
        {1117, L"The request could not be performed because of an I/O device error."},
        {10004, L"A blocking operation was interrupted by a call to WSACancelBlockingCall."},
        {10009, L"The file handle supplied is not valid."},
        {10013,
         L"An attempt was made to access a socket in a way forbidden by its access "
         L"permissions."},
        {10022, L"An invalid argument was supplied."},
        {10024, L"Too many open sockets."},
        {10035, L"A non-blocking socket operation could not be completed immediately."},
        {10038, L"An operation was attempted on something that is not a socket."},
        {10048,
         L"Only one usage of each socket address (protocol/network address/port) is "
         L"normally permitted."},
        {10049, L"The requested address is not valid in its context."},
        {10053, L"An established connection was aborted by the software in your host machine."},
        {10054, L"An existing connection was forcibly closed by the remote host."},
        {10057,
         L"A request to send or receive data was disallowed because the socket is not "
         L"connected and (when sending on a datagram socket using a sendto call) no "
         L"address was supplied."},
        {10058,
         L"A request to send or receive data was disallowed because the socket had "
         L"already been shut down in that direction by a previous shutdown call."},
        {10060,
         L"A connection attempt failed because the connected party did not properly "
         L"respond after a period of time, or established connection failed because "
         L"connected host has failed to respond."},
        {10061, L"No connection could be made because the target machine actively refused it."},
        {10051, L"A socket operation was attempted to an unreachable network."},
        {10065, L"A socket operation was attempted to an unreachable host."},
    };
    return texts;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::uint32_t getLastError() {
    return lastError;
}
void setLastError(std::uint32_t code) {
    lastError = code;
}

std::wstring formatMessage(std::uint32_t code) {
    const auto& texts = errorTexts();
    auto it = texts.find(code);
    if (it == texts.end()) {
        return L"Unknown error " + std::to_wstring(code) + L".\r\n";
    }
    return std::wstring(it->second) + L"\r\n";
}

std::wstring getModuleFileName() {
    if (const char* dir = std::getenv("ZENTRAD_INSTALL_DIR"); dir != nullptr && *dir != '\0') {
        std::string path(dir);
        if (path.back() != '/')
            path += '/';
        return toWide(path + "zentrad");
    }
    std::string buffer(8192, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) {
        setLastError(kErrorFileNotFound);
        return {};
    }
    buffer.resize(static_cast<std::size_t>(n));
    return toWide(buffer);
}

std::wstring getCurrentDirectory() {
    std::string buffer(4096, '\0');
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        setLastError(kErrorPathNotFound);
        return {};
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return toWide(buffer);
}

std::uint32_t getTickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<std::uint32_t>(ms);
}

std::string toNarrow(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<char32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += '?';
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

std::wstring toWide(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = b < 0x80           ? 1
                             : (b >> 5) == 0x6  ? 2
                             : (b >> 4) == 0xE  ? 3
                             : (b >> 3) == 0x1E ? 4
                                                : 0;
        if (length == 0 || i + length > text.size()) {
            out += L'?';
            ++i;
            continue;
        }
        char32_t c = length == 1 ? b : (b & (0x7F >> length));
        bool valid = true;
        for (std::size_t k = 1; k < length; ++k) {
            auto cont = static_cast<unsigned char>(text[i + k]);
            if ((cont & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            c = (c << 6) | (cont & 0x3F);
        }
        if (!valid) {
            out += L'?';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += length;
    }
    return out;
}

void outputDebugString(const std::wstring& text) {
    std::cerr << toNarrow(text) << std::flush;
}

const wchar_t* pathSeparator() {
    return L"/";
}

const wchar_t* agentExecutableName() {
    return L"zentrad";
}

}  // namespace platform
