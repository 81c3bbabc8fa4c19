// Whether the test runs under Wine rather than Windows, for the few checks where Wine is
// known to behave differently (each test that asks says how, and what it checks instead).
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace test {

inline bool runningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace test
