// Service control manager calls of the seam.
//
// The emulated host maps a service onto a systemd unit file "zentrad.service" in
// $ZENTRAD_UNIT_DIR (default /etc/systemd/system); the dispatcher succeeds only when the
// process was started by that unit (ZENTRAD_SERVICE=1 in its environment), in which case
// SIGTERM and SIGINT arrive as the stop control. Otherwise the dispatcher fails as it
// does on Windows for a console process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceControlInterrogate = 4;
constexpr std::uint32_t kServiceControlShutdown = 5;
constexpr std::uint32_t kServiceAcceptStop = 1;
constexpr std::uint32_t kServiceAcceptShutdown = 4;
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceWin32ShareProcess = 0x20;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceErrorNormal = 1;
constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;

struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

// Service main receives the service's arguments as wide strings.
using ServiceMainFunction = void (*)(const std::vector<std::wstring>& arguments);
using ServiceControlHandler = void (*)(std::uint32_t control);

// Blocks while the service runs and returns true when it has ended; returns false at
// once (last error set) when the process is not running as a service.
bool startServiceCtrlDispatcher(const std::wstring& serviceName, ServiceMainFunction serviceMain);

// Opaque status handle; 0 when registration failed.
using ServiceStatusHandle = std::uintptr_t;
ServiceStatusHandle registerServiceCtrlHandler(const std::wstring& serviceName,
                                               ServiceControlHandler handler);
bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// A handle to the service control manager or to one service; closed when destroyed.
class ServiceHandle {
  public:
    ServiceHandle() = default;
    virtual ~ServiceHandle() = default;
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    virtual bool valid() const = 0;
    // Closes now and reports whether the close succeeded; later calls return false.
    virtual bool close() = 0;
};

struct ServiceConfig {
    std::wstring name;
    std::wstring displayName;
    std::wstring imagePath;  // quoted by the Windows side when it holds spaces
    std::uint32_t desiredAccess = kServiceAllAccess;
    std::uint32_t serviceType = kServiceWin32OwnProcess;
    std::uint32_t startType = kServiceAutoStart;
    std::uint32_t errorControl = kServiceErrorNormal;
};

// Each returns null (last error set) on failure.
std::unique_ptr<ServiceHandle> openSCManager(std::uint32_t desiredAccess);
std::unique_ptr<ServiceHandle> createService(ServiceHandle& manager, const ServiceConfig& config);
std::unique_ptr<ServiceHandle> openService(ServiceHandle& manager, const std::wstring& name,
                                           std::uint32_t desiredAccess);
bool deleteService(ServiceHandle& service);

// Console processes: calls onStop (from a thread that is not a signal context) when the
// user presses Ctrl-C or the process receives SIGTERM. Installing again replaces the
// callback; the returned object removes it when destroyed.
class ConsoleStopHandler {
  public:
    virtual ~ConsoleStopHandler() = default;
};
using ConsoleStopCallback = void (*)();
std::unique_ptr<ConsoleStopHandler> installConsoleStopHandler(ConsoleStopCallback onStop);

}  // namespace platform
