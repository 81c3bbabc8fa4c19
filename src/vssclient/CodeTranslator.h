// Translation of result codes into explanatory texts: a table of (code, text) rows, with a
// virtual translate() for codes outside the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vssclient {

struct CodeText {
    std::uint32_t code;
    const wchar_t* name;
    const wchar_t* text;
};

class CodeTranslator {
  public:
    // table must outlive the translator (it is constant data).
    CodeTranslator(std::span<const CodeText> table, bool addSystemText)
        : table_(table), addSystemText_(addSystemText) {}
    virtual ~CodeTranslator() = default;

    // The table's text for code, else translate(code).
    std::wstring getText(std::uint32_t code) const;
    // The table's row for code, or null.
    const CodeText* find(std::uint32_t code) const;
    // Codes outside the table: "0x" and eight hexadecimal digits.
    virtual std::wstring translate(std::uint32_t code) const;

    std::size_t rows() const { return table_.size(); }
    bool addsSystemText() const { return addSystemText_; }

  private:
    std::span<const CodeText> table_;
    bool addSystemText_;
};

// Eight lowercase hexadecimal digits.
std::wstring hex8(std::uint32_t code);

}  // namespace vssclient
