#include "net/IpAddressText.h"

#include <cctype>
#include <vector>

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

bool isHexGroup(std::string_view group) {
    if (group.empty() || group.size() > 4)
        return false;
    for (char c : group) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// Counts the 16-bit groups of one side of "::" (a trailing IPv4 address counts two).
bool countGroups(std::string_view side, bool mayEndInIpv4, int& groups) {
    groups = 0;
    if (side.empty())
        return true;
    auto parts = split(side, ':');
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (mayEndInIpv4 && i + 1 == parts.size() && isNumericIpv4(parts[i])) {
            groups += 2;
        } else if (isHexGroup(parts[i])) {
            groups += 1;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool isNumericIpv4(std::string_view text) {
    auto parts = split(text, '.');
    if (parts.size() != 4)
        return false;
    for (std::string_view part : parts) {
        if (part.empty() || part.size() > 3)
            return false;
        int value = 0;
        for (char c : part) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255)
            return false;
    }
    return true;
}

bool isNumericIpv6(std::string_view text) {
    if (text.size() < 2 || text.size() > 45)
        return false;
    std::size_t gap = text.find("::");
    int before = 0;
    int after = 0;
    if (gap == std::string_view::npos) {
        return countGroups(text, true, before) && before == 8;
    }
    if (text.find("::", gap + 1) != std::string_view::npos)
        return false;
    std::string_view head = text.substr(0, gap);
    std::string_view tail = text.substr(gap + 2);
    if (!countGroups(head, false, before) || !countGroups(tail, true, after))
        return false;
    return before + after <= 7;
}

bool isNumericIpAddress(std::string_view text) {
    return isNumericIpv4(text) || isNumericIpv6(text);
}
