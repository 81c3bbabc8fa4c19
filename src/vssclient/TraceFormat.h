// printf-style formatting of trace lines, type-safe: each argument carries its kind, so a
// format that does not match its arguments prints something sensible instead of reading
// past them. Supports the conversions s, d, i, u, x, X, c and %%, with flags, width and
// precision; length modifiers (l, ll, h) are accepted and ignored.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace vssclient {

// Longest formatted trace text; longer texts throw runtime::AgentException.
constexpr std::size_t kTraceBufferChars = 4096;

class TraceArg {
  public:
    TraceArg(const std::wstring& text) : value_(text) {}
    TraceArg(std::wstring_view text) : value_(std::wstring(text)) {}
    TraceArg(const wchar_t* text) : value_(std::wstring(text != nullptr ? text : L"(null)")) {}
    TraceArg(const std::string& text);
    TraceArg(const char* text) : TraceArg(std::string(text != nullptr ? text : "(null)")) {}
    TraceArg(bool value) : value_(static_cast<std::int64_t>(value)) {}
    template <std::signed_integral T>
    TraceArg(T value) : value_(static_cast<std::int64_t>(value)) {}
    template <std::unsigned_integral T>
    TraceArg(T value) : value_(static_cast<std::uint64_t>(value)) {}

    const std::variant<std::wstring, std::int64_t, std::uint64_t>& value() const { return value_; }

  private:
    std::variant<std::wstring, std::int64_t, std::uint64_t> value_;
};

// Formats; throws runtime::AgentException when the result would exceed kTraceBufferChars
// characters.
std::wstring formatTrace(std::wstring_view format, std::initializer_list<TraceArg> args);

}  // namespace vssclient
