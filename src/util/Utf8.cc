#include "util/Utf8.h"

#include <cstdint>

namespace util {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool isSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Length of the sequence a lead byte starts and the bits it contributes; 0 for a byte that
// cannot start one.
int sequenceLength(unsigned char lead, char32_t& bits) {
    if (lead < 0x80) {
        bits = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        bits = lead & 0x1F;
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        bits = lead & 0x0F;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        bits = lead & 0x07;
        return 4;
    }
    return 0;
}

// Decodes the code point at text[i], moving i past it; false when malformed.
bool decode(std::string_view text, std::size_t& i, char32_t& codePoint) {
    int length = sequenceLength(static_cast<unsigned char>(text[i]), codePoint);
    if (length == 0 || text.size() - i < static_cast<std::size_t>(length))
        return false;
    for (int k = 1; k < length; ++k) {
        auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return false;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > kMaxCodePoint || isSurrogate(codePoint))
        return false;
    i += length;
    return true;
}

void appendWide(std::wstring& out, char32_t codePoint) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(codePoint));
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The code point at text[i] (joining a surrogate pair), moving i past it; false for an
// unpaired surrogate or a value out of range.
bool decodeWide(std::wstring_view text, std::size_t& i, char32_t& codePoint) {
    codePoint = static_cast<char32_t>(text[i++]);
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF && sizeof(wchar_t) == 2) {
        if (i == text.size())
            return false;
        auto low = static_cast<char32_t>(text[i]);
        if (low < 0xDC00 || low > 0xDFFF)
            return false;
        codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
        ++i;
    }
    return codePoint <= kMaxCodePoint && !isSurrogate(codePoint);
}

}  // namespace

std::optional<std::wstring> utf8ToWide(std::string_view text) {
    std::wstring result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t codePoint = 0;
        if (!decode(text, i, codePoint))
            return std::nullopt;
        appendWide(result, codePoint);
    }
    return result;
}

std::optional<std::string> wideToUtf8(std::wstring_view text) {
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t codePoint = 0;
        if (!decodeWide(text, i, codePoint))
            return std::nullopt;
        appendUtf8(result, codePoint);
    }
    return result;
}

}  // namespace util
