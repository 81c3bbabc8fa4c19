// The agent as the service "zentrad": install, delete, and the service main function and
// control handler that the service control manager calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace agent {

inline constexpr const wchar_t* kServiceName = L"zentrad";
inline constexpr const wchar_t* kServiceDisplayName = L"Kelvane Backup Agent";
inline constexpr const wchar_t* kServiceDescription =
    L"Backs up and restores this computer's disks and volumes for the backup server.";

// Registers the service with the running executable as its image (wherever it was started
// from), its description, recovery actions and shutdown time, and the event source that
// names the executable's message table. On failure nothing stays registered and reason
// says which step failed and why.
bool installService(std::string* reason);
// Removes the service and its event source.
bool deleteService(std::string* reason);

// Runs the agent under the service control manager; returns false when the process was
// not started as a service.
bool dispatchService();

// Exposed for tests: what the control manager calls.
void serviceMain(const std::vector<std::wstring>& arguments);
std::uint32_t serviceControlHandler(std::uint32_t control);

}  // namespace agent
