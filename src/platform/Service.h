// Service control manager calls of the seam.
//
// The emulated host maps a service onto a systemd unit file "zentrad.service" in
// $ZENTRAD_UNIT_DIR (default /etc/systemd/system); the dispatcher succeeds only when the
// process was started by that unit (ZENTRAD_SERVICE=1 in its environment), in which case
// SIGTERM and SIGINT arrive as the stop control. Otherwise the dispatcher fails as it
// does on Windows for a console process. When $ZENTRAD_SERVICE_STATUS_FILE is set, every
// status the service reports is appended to that file as one line
// "state S controls C win32 W specific X checkpoint P wait H", so tests can follow the
// states that the Windows service manager would show; the emulated host keeps no
// description, recovery settings or shutdown notification of its own (SIGTERM is the one
// stop control there).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceControlInterrogate = 4;
constexpr std::uint32_t kServiceControlShutdown = 5;
constexpr std::uint32_t kServiceControlPreshutdown = 0x0F;
constexpr std::uint32_t kServiceAcceptStop = 1;
constexpr std::uint32_t kServiceAcceptShutdown = 4;
constexpr std::uint32_t kServiceAcceptPreshutdown = 0x100;
// What a control handler answers: handled, or a control it does not take.
constexpr std::uint32_t kNoError = 0;
constexpr std::uint32_t kErrorCallNotImplemented = 120;
// The Win32 exit code that tells the service manager to read the service-specific one.
constexpr std::uint32_t kErrorServiceSpecificError = 1066;
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
// Called on the dispatcher's thread (RegisterServiceCtrlHandlerExW's handler); returns
// kNoError for a control it handled, kErrorCallNotImplemented otherwise. It must return
// quickly: the service manager waits for it.
using ServiceControlHandler = std::uint32_t (*)(std::uint32_t control);

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

// What ChangeServiceConfig2W sets after creation: the text the services console shows, the
// recovery actions (restart after restartDelayMs, twice; the failure count is reset after
// resetPeriodSeconds without failure) also taken when the service stops with a non-zero
// exit code, and how long the service manager waits for the service at shutdown.
struct ServiceSettings {
    std::wstring description;
    std::uint32_t restartDelayMs = 60000;
    std::uint32_t resetPeriodSeconds = 86400;
    std::uint32_t preshutdownTimeoutMs = 120000;
};

// Each returns null (last error set) on failure.
std::unique_ptr<ServiceHandle> openSCManager(std::uint32_t desiredAccess);
std::unique_ptr<ServiceHandle> createService(ServiceHandle& manager, const ServiceConfig& config);
std::unique_ptr<ServiceHandle> openService(ServiceHandle& manager, const std::wstring& name,
                                           std::uint32_t desiredAccess);
bool deleteService(ServiceHandle& service);
// False (last error set) when a setting could not be stored. A setting the system does not
// know at all (ERROR_INVALID_LEVEL: Wine has no failure actions, for one) is left out and
// named in unsupported instead.
bool configureService(ServiceHandle& service, const ServiceSettings& settings,
                      std::vector<std::wstring>* unsupported);

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
