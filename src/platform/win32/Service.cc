// The service control manager on Windows: thin pass-throughs.
#include "platform/Service.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

static_assert(kServiceStopped == SERVICE_STOPPED && kServiceRunning == SERVICE_RUNNING &&
              kServiceStartPending == SERVICE_START_PENDING &&
              kServiceStopPending == SERVICE_STOP_PENDING);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP &&
              kServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN &&
              kServiceControlPreshutdown == SERVICE_CONTROL_PRESHUTDOWN);
static_assert(kServiceAcceptPreshutdown == SERVICE_ACCEPT_PRESHUTDOWN &&
              kErrorServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR &&
              kErrorCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(kScManagerAllAccess == SC_MANAGER_ALL_ACCESS &&
              kServiceAllAccess == SERVICE_ALL_ACCESS);

ServiceMainFunction registeredMain = nullptr;
ServiceControlHandler registeredHandler = nullptr;

void WINAPI serviceMainTrampoline(DWORD argc, LPWSTR* argv) {
    std::vector<std::wstring> arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    registeredMain(arguments);
}

DWORD WINAPI controlHandlerTrampoline(DWORD control, DWORD, LPVOID, LPVOID) {
    return registeredHandler(control);
}

class WindowsServiceHandle : public ServiceHandle {
  public:
    explicit WindowsServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    bool valid() const override { return handle_.valid(); }
    bool close() override {
        if (!handle_) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        return handle_.reset();
    }
    SC_HANDLE get() const { return handle_.get(); }

  private:
    win32::ScmHandle handle_;
};

SC_HANDLE native(ServiceHandle& handle) {
    return static_cast<WindowsServiceHandle&>(handle).get();
}

std::unique_ptr<ServiceHandle> wrap(SC_HANDLE handle) {
    if (handle == nullptr)
        return nullptr;
    return std::make_unique<WindowsServiceHandle>(handle);
}

std::atomic<ConsoleStopCallback> consoleCallback{nullptr};

BOOL WINAPI consoleHandler(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        if (ConsoleStopCallback callback = consoleCallback.load()) {
            callback();
            return TRUE;
        }
    }
    return FALSE;
}

class WindowsConsoleStopHandler : public ConsoleStopHandler {
  public:
    explicit WindowsConsoleStopHandler(ConsoleStopCallback onStop) {
        consoleCallback = onStop;
        ::SetConsoleCtrlHandler(consoleHandler, TRUE);
    }
    ~WindowsConsoleStopHandler() override {
        ::SetConsoleCtrlHandler(consoleHandler, FALSE);
        consoleCallback = nullptr;
    }
};

}  // namespace

bool startServiceCtrlDispatcher(const std::wstring& serviceName, ServiceMainFunction serviceMain) {
    registeredMain = serviceMain;
    std::wstring name = serviceName;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMainTrampoline}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

ServiceStatusHandle registerServiceCtrlHandler(const std::wstring& serviceName,
                                               ServiceControlHandler handler) {
    registeredHandler = handler;
    SERVICE_STATUS_HANDLE handle =
        ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), controlHandlerTrampoline, nullptr);
    return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    SERVICE_STATUS native{};
    native.dwServiceType = status.serviceType;
    native.dwCurrentState = status.currentState;
    native.dwControlsAccepted = status.controlsAccepted;
    native.dwWin32ExitCode = status.win32ExitCode;
    native.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    native.dwCheckPoint = status.checkPoint;
    native.dwWaitHint = status.waitHint;
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &native) != FALSE;
}

std::unique_ptr<ServiceHandle> openSCManager(std::uint32_t desiredAccess) {
    return wrap(::OpenSCManagerW(nullptr, nullptr, desiredAccess));
}

namespace {

// The service manager splits an unquoted image path at its first space ("C:\Program" would
// be started, or whatever program someone placed there), so a path with spaces is quoted.
std::wstring quotedImagePath(const std::wstring& path) {
    if (path.find(L' ') == std::wstring::npos || (!path.empty() && path.front() == L'"'))
        return path;
    return L"\"" + path + L"\"";
}

}  // namespace

std::unique_ptr<ServiceHandle> createService(ServiceHandle& manager, const ServiceConfig& config) {
    const std::wstring imagePath = quotedImagePath(config.imagePath);
    return wrap(::CreateServiceW(native(manager), config.name.c_str(), config.displayName.c_str(),
                                 config.desiredAccess, config.serviceType, config.startType,
                                 config.errorControl, imagePath.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr));
}

std::unique_ptr<ServiceHandle> openService(ServiceHandle& manager, const std::wstring& name,
                                           std::uint32_t desiredAccess) {
    return wrap(::OpenServiceW(native(manager), name.c_str(), desiredAccess));
}

bool deleteService(ServiceHandle& service) {
    return ::DeleteService(native(service)) != FALSE;
}

namespace {

// One ChangeServiceConfig2W call; a level the system does not implement is noted, not failed.
bool applySetting(SC_HANDLE service, DWORD level, void* value, const wchar_t* name,
                  std::vector<std::wstring>* unsupported) {
    if (::ChangeServiceConfig2W(service, level, value))
        return true;
    if (::GetLastError() != ERROR_INVALID_LEVEL)
        return false;
    unsupported->push_back(name);
    return true;
}

}  // namespace

bool configureService(ServiceHandle& service, const ServiceSettings& settings,
                      std::vector<std::wstring>* unsupported) {
    SC_HANDLE handle = native(service);
    std::wstring description = settings.description;
    SERVICE_DESCRIPTIONW text{description.data()};
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, settings.restartDelayMs},
                            {SC_ACTION_RESTART, settings.restartDelayMs},
                            {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = settings.resetPeriodSeconds;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    // Without this flag the actions fire only when the process dies; a service that reports
    // STOPPED with an exit code after a failed start would never be restarted.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    SERVICE_PRESHUTDOWN_INFO preshutdown{settings.preshutdownTimeoutMs};
    return applySetting(handle, SERVICE_CONFIG_DESCRIPTION, &text, L"description", unsupported) &&
           applySetting(handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure, L"failure actions",
                        unsupported) &&
           applySetting(handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag,
                        L"failure actions on a non-zero exit code", unsupported) &&
           applySetting(handle, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown,
                        L"preshutdown time-out", unsupported);
}

std::unique_ptr<ConsoleStopHandler> installConsoleStopHandler(ConsoleStopCallback onStop) {
    return std::make_unique<WindowsConsoleStopHandler>(onStop);
}

}  // namespace platform
