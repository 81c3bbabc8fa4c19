#include "backup-server/commands/OperatorText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/Socket.h"

namespace backup_server {
namespace {

bool isLineEnding(const std::string& text, std::size_t colon, std::size_t close) {
    if (close == colon + 2 && text[colon + 1] == '-')
        return true;
    if (close == colon + 1)
        return false;
    for (std::size_t i = colon + 1; i < close; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

// The opening parenthesis that matches the one at close, or npos.
std::size_t matchingOpen(const std::string& text, std::size_t close) {
    int depth = 0;
    for (std::size_t i = close + 1; i-- > 0;) {
        if (text[i] == ')')
            ++depth;
        else if (text[i] == '(' && --depth == 0)
            return i;
    }
    return std::string::npos;
}

// The errno value the emulated socket layer mapped onto a Winsock number.
int errnoFor(int wsaError) {
    switch (wsaError) {
        case platform::kWsaConnectionRefused:
            return ECONNREFUSED;
        case platform::kWsaTimedOut:
            return ETIMEDOUT;
        case platform::kWsaConnectionReset:
            return ECONNRESET;
        case platform::kWsaConnectionAborted:
            return ECONNABORTED;
        case platform::kWsaAddressNotAvailable:
            return EADDRNOTAVAIL;
        case platform::kWsaAddressInUse:
            return EADDRINUSE;
        case platform::kWsaNotConnected:
            return ENOTCONN;
        case platform::kWsaShutdown:
            return EPIPE;
        case platform::kWsaAccessDenied:
            return EACCES;
        case platform::kWsaTooManySockets:
            return EMFILE;
        case platform::kWsaHostUnreachable:
            return EHOSTUNREACH;
        case platform::kWsaNetworkUnreachable:
            return ENETUNREACH;
        default:
            return 0;
    }
}

}  // namespace

std::string withoutSourceLocations(const std::string& text) {
    std::string result = text;
    std::size_t from = result.size();
    while (from > 0) {
        std::size_t close = result.rfind(')', from - 1);
        if (close == std::string::npos)
            break;
        std::size_t colon = result.rfind(':', close);
        std::size_t open = matchingOpen(result, close);
        bool location = colon != std::string::npos && open != std::string::npos && colon > open &&
                        open > 0 && result[open - 1] == ' ' && isLineEnding(result, colon, close) &&
                        result.find('(', open + 1) < colon;
        if (location) {
            result.erase(open - 1, close + 2 - open);
            from = open - 1;
        } else {
            from = close;
        }
    }
    return result;
}

namespace {

struct SocketErrorParts {
    std::string fixed;
    std::string reason;  // in this system's words
};

// "fixed (NUMBER): text", the form SocketException::describe gives.
std::optional<SocketErrorParts> splitSocketError(const std::string& text) {
    for (std::size_t open = text.rfind(" ("); open != std::string::npos;
         open = open == 0 ? std::string::npos : text.rfind(" (", open - 1)) {
        std::size_t close = text.find("): ", open);
        if (close == std::string::npos || close == open + 2 || close - open > 8)
            continue;
        std::string digits = text.substr(open + 2, close - open - 2);
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        int error = errnoFor(std::stoi(digits));
        std::string reason = error != 0 ? std::strerror(error) : text.substr(close + 3);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
        return SocketErrorParts{text.substr(0, open), reason};
    }
    return std::nullopt;
}

}  // namespace

std::string inLocalWords(const std::string& socketError) {
    auto parts = splitSocketError(socketError);
    return parts ? parts->fixed + ": " + parts->reason : socketError;
}

std::string socketReason(const std::string& socketError) {
    auto parts = splitSocketError(socketError);
    return parts ? parts->reason : socketError;
}

}  // namespace backup_server
