// COM initialisation and the result codes (HRESULT) of the seam's COM-shaped interfaces.
//
// On Windows these are CoInitializeEx, CoInitializeSecurity and CoUninitialize. The
// emulated host keeps a per-thread initialisation count, so that a thread that forgot to
// initialise COM meets CO_E_NOTINITIALIZED from the snapshot service as it would on Windows.
#pragma once

#include <array>
#include <compare>
#include <cstdint>

namespace platform {

using HResult = std::int32_t;

constexpr HResult hresult(std::uint32_t value) {
    return static_cast<HResult>(value);
}
constexpr bool failed(HResult result) {
    return result < 0;
}
constexpr bool succeeded(HResult result) {
    return result >= 0;
}

constexpr HResult kSOk = 0;
constexpr HResult kSFalse = 1;
constexpr HResult kENotImpl = hresult(0x80004001);
constexpr HResult kEPointer = hresult(0x80004003);
constexpr HResult kEFail = hresult(0x80004005);
constexpr HResult kEUnexpected = hresult(0x8000FFFF);
constexpr HResult kEAccessDenied = hresult(0x80070005);
constexpr HResult kEOutOfMemory = hresult(0x8007000E);
constexpr HResult kEInvalidArg = hresult(0x80070057);
constexpr HResult kRpcEChangedMode = hresult(0x80010106);
constexpr HResult kRpcETooLate = hresult(0x80010119);
constexpr HResult kCoENotInitialized = hresult(0x800401F0);

// HRESULT_FROM_WIN32: Win32 error numbers above 0 become 0x8007xxxx.
constexpr HResult hresultFromWin32(std::uint32_t error) {
    return error == 0 ? kSOk : hresult(0x80070000u | (error & 0xFFFFu));
}

// A GUID with the Windows memory layout.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    bool isNull() const { return *this == Guid{}; }
    friend bool operator==(const Guid&, const Guid&) = default;
    friend auto operator<=>(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

constexpr std::uint32_t kCoInitMultithreaded = 0x0;
constexpr std::int32_t kAllAuthenticationServices = -1;
constexpr std::uint32_t kRpcCAuthnLevelPktPrivacy = 6;
constexpr std::uint32_t kRpcCImpLevelImpersonate = 3;
constexpr std::uint32_t kEoacNone = 0;

// CoInitializeEx(nullptr, coInit): S_OK, S_FALSE when the thread was already initialised.
HResult coInitializeEx(std::uint32_t coInit);

// CoInitializeSecurity with the default security descriptor, no authentication list,
// no authentication info and no reserved arguments. RPC_E_TOO_LATE after the first call.
HResult coInitializeSecurity(std::int32_t authenticationServices, std::uint32_t authenticationLevel,
                             std::uint32_t impersonationLevel, std::uint32_t capabilities);

// CoUninitialize: undoes one successful coInitializeEx of the calling thread.
void coUninitialize();

// COM on the calling thread for the lifetime of the object (multithreaded apartment).
// Uninitialises only when the initialisation succeeded.
class ComInitialization {
  public:
    ComInitialization() : result_(coInitializeEx(kCoInitMultithreaded)) {}
    ~ComInitialization() {
        if (succeeded(result_))
            coUninitialize();
    }
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;
    HResult result() const { return result_; }

  private:
    HResult result_;
};

}  // namespace platform
