// The agent as the service "zentrad": install, delete, and the service main function and
// control handler that the service control manager calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace agent {

inline constexpr const wchar_t* kServiceName = L"zentrad";
inline constexpr const wchar_t* kServiceDisplayName = L"Kelvane Backup Agent";

// Registers the service with the image path <working directory>/<executable name>.
bool installService();
bool deleteService();

// Runs the agent under the service control manager; returns false when the process was
// not started as a service.
bool dispatchService();

// Exposed for tests: what the control manager calls.
void serviceMain(const std::vector<std::wstring>& arguments);
void serviceControlHandler(std::uint32_t control);

}  // namespace agent
