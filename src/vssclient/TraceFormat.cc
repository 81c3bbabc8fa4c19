#include "vssclient/TraceFormat.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/System.h"
#include "runtime/Exceptions.h"

namespace vssclient {
namespace {

struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    wchar_t type = L's';
};

// Widths and precisions in our formats are small; cap them so a stray "%99999d" cannot
// ask for a huge field.
constexpr int kMaxField = 256;

int readNumber(std::wstring_view format, std::size_t& i) {
    int value = 0;
    while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
        value = std::min(kMaxField, value * 10 + (format[i] - L'0'));
        ++i;
    }
    return value;
}

// Parses the conversion after '%' (i points at the first character after it).
Conversion parseConversion(std::wstring_view format, std::size_t& i) {
    Conversion c;
    while (i < format.size() &&
           std::wstring_view(L"-+ #0").find(format[i]) != std::wstring_view::npos) {
        c.flags += static_cast<char>(format[i++]);
    }
    if (i < format.size() && format[i] >= L'0' && format[i] <= L'9')
        c.width = readNumber(format, i);
    if (i < format.size() && format[i] == L'.') {
        ++i;
        c.precision = readNumber(format, i);
    }
    while (i < format.size() && (format[i] == L'l' || format[i] == L'h' || format[i] == L'z'))
        ++i;
    if (i < format.size())
        c.type = format[i++];
    return c;
}

std::wstring pad(std::wstring text, const Conversion& c) {
    if (c.width > 0 && text.size() < static_cast<std::size_t>(c.width)) {
        std::wstring fill(static_cast<std::size_t>(c.width) - text.size(), L' ');
        bool left = c.flags.find('-') != std::string::npos;
        text = left ? text + fill : fill + text;
    }
    return text;
}

std::wstring formatNumber(const std::variant<std::wstring, std::int64_t, std::uint64_t>& value,
                          const Conversion& c) {
    std::string spec = "%" + c.flags;
    if (c.width >= 0)
        spec += std::to_string(c.width);
    if (c.precision >= 0)
        spec += "." + std::to_string(c.precision);
    char buffer[kMaxField * 2 + 32];
    bool isSigned = c.type == L'd' || c.type == L'i';
    spec += "ll";
    spec += isSigned ? 'd' : static_cast<char>(c.type);
    if (const auto* s = std::get_if<std::int64_t>(&value)) {
        if (isSigned)
            std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<long long>(*s));
        else
            std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<unsigned long long>(*s));
    } else {
        auto u = std::get<std::uint64_t>(value);
        if (isSigned)
            std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<long long>(u));
        else
            std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<unsigned long long>(u));
    }
    return platform::toWide(buffer);
}

std::wstring formatOne(const TraceArg* arg, const Conversion& c) {
    if (arg == nullptr)
        return pad(L"<missing>", c);
    const auto& value = arg->value();
    if (const auto* text = std::get_if<std::wstring>(&value)) {
        std::wstring shown = *text;
        if (c.precision >= 0 && shown.size() > static_cast<std::size_t>(c.precision))
            shown.resize(static_cast<std::size_t>(c.precision));
        return pad(shown, c);
    }
    if (c.type == L'c') {
        std::uint64_t code = std::holds_alternative<std::int64_t>(value)
                                 ? static_cast<std::uint64_t>(std::get<std::int64_t>(value))
                                 : std::get<std::uint64_t>(value);
        return pad(std::wstring(1, static_cast<wchar_t>(code)), c);
    }
    if (std::wstring_view(L"diuxX").find(c.type) == std::wstring_view::npos) {
        Conversion decimal = c;
        decimal.type = std::holds_alternative<std::int64_t>(value) ? L'd' : L'u';
        return formatNumber(value, decimal);
    }
    return formatNumber(value, c);
}

void append(std::wstring& out, std::wstring_view text) {
    if (out.size() + text.size() > kTraceBufferChars) {
        ZENTRAD_THROW(runtime::AgentException, "Insufficient buffer space");
    }
    out.append(text);
}

}  // namespace

TraceArg::TraceArg(const std::string& text) : value_(platform::toWide(text)) {}

std::wstring formatTrace(std::wstring_view format, std::initializer_list<TraceArg> args) {
    std::wstring out;
    const TraceArg* next = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        std::size_t percent = format.find(L'%', i);
        append(out, format.substr(i, percent == std::wstring_view::npos ? std::wstring_view::npos
                                                                        : percent - i));
        if (percent == std::wstring_view::npos)
            break;
        i = percent + 1;
        if (i < format.size() && format[i] == L'%') {
            append(out, L"%");
            ++i;
            continue;
        }
        Conversion c = parseConversion(format, i);
        const TraceArg* arg = next != args.end() ? next++ : nullptr;
        append(out, formatOne(arg, c));
    }
    return out;
}

}  // namespace vssclient
