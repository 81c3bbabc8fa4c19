// Owners of COM objects and strings on Windows: a COM interface pointer released when
// the owner goes, and a BSTR freed likewise. Both are ScopedHandles.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

#include "platform/win32/NativeHandle.h"

namespace platform::win32 {

template <typename T>
struct ComTraits {
    using Native = T*;
    static Native invalid() { return nullptr; }
    static bool close(Native pointer) {
        pointer->Release();
        return true;
    }
};
template <typename T>
using ComRef = ScopedHandle<ComTraits<T>>;

struct BstrTraits {
    using Native = BSTR;
    static Native invalid() { return nullptr; }
    static bool close(Native text) {
        ::SysFreeString(text);
        return true;
    }
};

class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const std::wstring& text)
        : text_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}

    BSTR get() const { return text_.get(); }
    BSTR* put() { return text_.put(); }
    std::wstring str() const { return view(text_.get()); }
    // A copy of a BSTR owned by someone else.
    static std::wstring view(BSTR text) {
        return text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
    }

  private:
    ScopedHandle<BstrTraits> text_;
};

}  // namespace platform::win32
