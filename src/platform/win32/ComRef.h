// Owners of COM objects and strings on Windows: a COM interface pointer released when
// the owner goes, and a BSTR freed likewise.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

namespace platform::win32 {

template <typename T>
class ComRef {
  public:
    ComRef() = default;
    explicit ComRef(T* pointer) : pointer_(pointer) {}
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T* get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    // For the out parameter of a call; releases what was held before.
    T** put() {
        reset();
        return &pointer_;
    }
    void reset() {
        if (pointer_ != nullptr)
            pointer_->Release();
        pointer_ = nullptr;
    }
    [[nodiscard]] T* release() {
        T* pointer = pointer_;
        pointer_ = nullptr;
        return pointer;
    }

  private:
    T* pointer_ = nullptr;
};

class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const std::wstring& text)
        : text_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { ::SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR get() const { return text_; }
    BSTR* put() {
        ::SysFreeString(text_);
        text_ = nullptr;
        return &text_;
    }
    std::wstring str() const { return view(text_); }
    // A copy of a BSTR owned by someone else.
    static std::wstring view(BSTR text) {
        return text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
    }

  private:
    BSTR text_ = nullptr;
};

}  // namespace platform::win32
