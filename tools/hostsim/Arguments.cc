#include "Arguments.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace hostsim {

Arguments::Arguments(const std::vector<std::string>& args, const std::vector<std::string>& flags) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            positional_.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            flags_.push_back(name);
            continue;
        }
        if (i + 1 >= args.size())
            throw UsageError("option --" + name + " needs a value");
        options_.emplace_back(name, args[++i]);
    }
}

std::optional<std::string> Arguments::option(const std::string& name) const {
    std::optional<std::string> value;
    for (const auto& [key, text] : options_) {
        if (key == name)
            value = text;
    }
    return value;
}

std::string Arguments::required(const std::string& name) const {
    auto value = option(name);
    if (!value)
        throw UsageError("option --" + name + " is required");
    return *value;
}

std::vector<std::string> Arguments::all(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, text] : options_) {
        if (key == name)
            values.push_back(text);
    }
    return values;
}

bool Arguments::flag(const std::string& name) const {
    return std::find(flags_.begin(), flags_.end(), name) != flags_.end();
}

std::vector<std::string> Arguments::positional(std::size_t count) const {
    if (positional_.size() != count) {
        throw UsageError("expected " + std::to_string(count) + " argument(s), got " +
                         std::to_string(positional_.size()));
    }
    return positional_;
}

std::uint64_t parseNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        unsigned long long value = std::stoull(text, &used, 0);
        if (used != text.size() || text.front() == '-')
            throw UsageError("");
        return value;
    } catch (const std::exception&) {
        throw UsageError("not a number: '" + text + "'");
    }
}

std::uint64_t parseSize(const std::string& text) {
    if (text.empty())
        throw UsageError("empty size");
    std::uint64_t unit = 1;
    std::string digits = text;
    switch (std::toupper(static_cast<unsigned char>(text.back()))) {
        case 'K':
            unit = 1ULL << 10;
            break;
        case 'M':
            unit = 1ULL << 20;
            break;
        case 'G':
            unit = 1ULL << 30;
            break;
        case 'T':
            unit = 1ULL << 40;
            break;
        case 'S':
            unit = 512;
            break;
        default:
            unit = 0;
            break;
    }
    if (unit != 0)
        digits.pop_back();
    std::uint64_t value = parseNumber(digits);
    unit = unit == 0 ? 1 : unit;
    if (value > std::numeric_limits<std::uint64_t>::max() / unit) {
        throw UsageError("size too large: '" + text + "'");
    }
    return value * unit;
}

}  // namespace hostsim
