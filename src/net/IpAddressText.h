// Recognises numeric IP addresses as text, without touching the network: the names that
// allow files may carry.
#pragma once

#include <string_view>

// Strict dotted decimal: four parts of 1 to 3 digits, each at most 255.
bool isNumericIpv4(std::string_view text);
// Up to eight groups of 1 to 4 hexadecimal digits separated by ':', at most one "::", and
// optionally a dotted-decimal IPv4 address as the last 32 bits. No zone index.
bool isNumericIpv6(std::string_view text);
bool isNumericIpAddress(std::string_view text);
