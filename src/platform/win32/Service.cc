// The service control manager on Windows: thin pass-throughs.
#include "platform/Service.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

static_assert(kServiceStopped == SERVICE_STOPPED && kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP &&
              kServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN);
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

void WINAPI controlHandlerTrampoline(DWORD control) {
    registeredHandler(control);
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
        ::RegisterServiceCtrlHandlerW(serviceName.c_str(), controlHandlerTrampoline);
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

std::unique_ptr<ConsoleStopHandler> installConsoleStopHandler(ConsoleStopCallback onStop) {
    return std::make_unique<WindowsConsoleStopHandler>(onStop);
}

}  // namespace platform
