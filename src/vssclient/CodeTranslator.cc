#include "vssclient/CodeTranslator.h"

#include <cwchar>

namespace vssclient {

std::wstring hex8(std::uint32_t code) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%08x", static_cast<unsigned>(code));
    return buffer;
}

const CodeText* CodeTranslator::find(std::uint32_t code) const {
    for (const CodeText& row : table_) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

std::wstring CodeTranslator::getText(std::uint32_t code) const {
    const CodeText* row = find(code);
    return row != nullptr ? std::wstring(row->text) : translate(code);
}

std::wstring CodeTranslator::translate(std::uint32_t code) const {
    return L"0x" + hex8(code);
}

}  // namespace vssclient
