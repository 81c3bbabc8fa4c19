// COM initialisation on Windows: thin pass-throughs.
#include "platform/Com.h"

#include <objbase.h>

namespace platform {

HResult coInitializeEx(std::uint32_t coInit) {
    return ::CoInitializeEx(nullptr, coInit);
}

HResult coInitializeSecurity(std::int32_t authenticationServices, std::uint32_t authenticationLevel,
                             std::uint32_t impersonationLevel, std::uint32_t capabilities) {
    return ::CoInitializeSecurity(nullptr, authenticationServices, nullptr, nullptr,
                                  authenticationLevel, impersonationLevel, nullptr, capabilities,
                                  nullptr);
}

void coUninitialize() {
    ::CoUninitialize();
}

static_assert(kCoInitMultithreaded == COINIT_MULTITHREADED);
static_assert(kRpcCAuthnLevelPktPrivacy == RPC_C_AUTHN_LEVEL_PKT_PRIVACY);
static_assert(kRpcCImpLevelImpersonate == RPC_C_IMP_LEVEL_IMPERSONATE);
static_assert(kEoacNone == EOAC_NONE);

}  // namespace platform
