// Services on the emulated host: a service is a systemd unit file, the dispatcher runs
// only inside that unit, and stop and shutdown controls arrive as SIGTERM (or SIGINT).
#include "platform/Service.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/Errors.h"
#include "platform/System.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::atomic<ServiceControlHandler> controlHandler{nullptr};
std::mutex statusFileMutex;  // serialises the lines of ZENTRAD_SERVICE_STATUS_FILE

bool runningAsService() {
    const char* flag = std::getenv("ZENTRAD_SERVICE");
    return flag != nullptr && std::string(flag) == "1";
}

fs::path unitDirectory() {
    const char* dir = std::getenv("ZENTRAD_UNIT_DIR");
    return (dir != nullptr && *dir != '\0') ? fs::path(dir) : fs::path("/etc/systemd/system");
}

fs::path unitFile(const std::wstring& name) {
    return unitDirectory() / (toNarrow(name) + ".service");
}

class EmulatedServiceHandle : public ServiceHandle {
  public:
    explicit EmulatedServiceHandle(std::wstring serviceName = {})
        : serviceName_(std::move(serviceName)) {}
    bool valid() const override { return open_; }
    bool close() override {
        bool wasOpen = open_;
        open_ = false;
        if (!wasOpen)
            setLastError(kErrorInvalidHandle);
        return wasOpen;
    }
    const std::wstring& serviceName() const { return serviceName_; }

  private:
    std::wstring serviceName_;
    bool open_ = true;
};

std::string unitText(const ServiceConfig& config) {
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + toNarrow(config.displayName) + "\n";
    text += "After=network.target\n\n";
    text += "[Service]\n";
    text += "Type=simple\n";
    text += "ExecStart=" + toNarrow(config.imagePath) + "\n";
    text += "Environment=ZENTRAD_SERVICE=1\n";
    text += "KillSignal=SIGTERM\n";
    text += "TimeoutStopSec=infinity\n";
    text += "Restart=no\n\n";
    if (config.startType == kServiceAutoStart) {
        text += "[Install]\n";
        text += "WantedBy=multi-user.target\n";
    }
    return text;
}

}  // namespace

bool startServiceCtrlDispatcher(const std::wstring& serviceName, ServiceMainFunction serviceMain) {
    if (!runningAsService()) {
        setLastError(kErrorFailedServiceControllerConnect);
        return false;
    }
    // Stop requests are taken synchronously on this thread, as the Windows dispatcher
    // runs the control handler on its own thread. Threads started later inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::atomic<bool> mainEnded{false};
    std::thread mainThread([&] {
        serviceMain({serviceName});
        mainEnded = true;
    });
    while (!mainEnded) {
        timespec wait{0, 200 * 1000 * 1000};
        int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal == SIGTERM || signal == SIGINT) {
            if (ServiceControlHandler handler = controlHandler.load()) {
                handler(kServiceControlStop);
            }
        }
    }
    mainThread.join();
    return true;
}

ServiceStatusHandle registerServiceCtrlHandler(const std::wstring&, ServiceControlHandler handler) {
    if (!runningAsService()) {
        setLastError(kErrorFailedServiceControllerConnect);
        return 0;
    }
    controlHandler = handler;
    return 1;
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    if (handle == 0) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    const char* file = std::getenv("ZENTRAD_SERVICE_STATUS_FILE");
    if (file != nullptr && *file != '\0') {
        std::lock_guard<std::mutex> lock(statusFileMutex);
        std::ofstream out(file, std::ios::app);
        out << "state " << status.currentState << " controls " << status.controlsAccepted
            << " win32 " << status.win32ExitCode << " specific " << status.serviceSpecificExitCode
            << " checkpoint " << status.checkPoint << " wait " << status.waitHint << "\n";
    }
    return true;
}

bool configureService(ServiceHandle& service, const ServiceSettings&, std::vector<std::wstring>*) {
    if (!service.valid()) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

std::unique_ptr<ServiceHandle> openSCManager(std::uint32_t) {
    std::error_code error;
    if (!fs::is_directory(unitDirectory(), error)) {
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    return std::make_unique<EmulatedServiceHandle>();
}

std::unique_ptr<ServiceHandle> createService(ServiceHandle& manager, const ServiceConfig& config) {
    if (!manager.valid()) {
        setLastError(kErrorInvalidHandle);
        return nullptr;
    }
    fs::path path = unitFile(config.name);
    std::error_code error;
    if (fs::exists(path, error)) {
        setLastError(kErrorServiceExists);
        return nullptr;
    }
    fs::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << unitText(config);
        out.flush();
        if (!out) {
            fs::remove(temporary, error);
            setLastError(kErrorAccessDenied);
            return nullptr;
        }
    }
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    return std::make_unique<EmulatedServiceHandle>(config.name);
}

std::unique_ptr<ServiceHandle> openService(ServiceHandle& manager, const std::wstring& name,
                                           std::uint32_t) {
    std::error_code error;
    if (!manager.valid()) {
        setLastError(kErrorInvalidHandle);
        return nullptr;
    }
    if (!fs::exists(unitFile(name), error)) {
        setLastError(kErrorServiceDoesNotExist);
        return nullptr;
    }
    return std::make_unique<EmulatedServiceHandle>(name);
}

bool deleteService(ServiceHandle& service) {
    auto* handle = dynamic_cast<EmulatedServiceHandle*>(&service);
    if (handle == nullptr || !handle->valid() || handle->serviceName().empty()) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    std::error_code error;
    if (!fs::remove(unitFile(handle->serviceName()), error)) {
        setLastError(error ? kErrorAccessDenied : kErrorServiceDoesNotExist);
        return false;
    }
    return true;
}

namespace {

// A signal handler may only do async-signal-safe work, so it writes one byte to a pipe
// and a watcher thread calls the callback outside the signal context.
int stopPipe[2] = {-1, -1};
std::atomic<ConsoleStopCallback> stopCallback{nullptr};

void onStopSignal(int) {
    int saved = errno;
    char byte = 's';
    [[maybe_unused]] ssize_t ignored = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

class SignalStopHandler : public ConsoleStopHandler {
  public:
    explicit SignalStopHandler(ConsoleStopCallback onStop) {
        stopCallback = onStop;
        if (stopPipe[0] < 0 && ::pipe2(stopPipe, O_CLOEXEC) != 0) {
            return;
        }
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
        installed_ = true;
        watcher_ = std::thread([] {
            char byte = 0;
            while (::read(stopPipe[0], &byte, 1) == 1 && byte == 's') {
                if (ConsoleStopCallback callback = stopCallback.load())
                    callback();
            }
        });
    }

    ~SignalStopHandler() override {
        if (!installed_)
            return;
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        stopCallback = nullptr;
        char byte = 'q';
        [[maybe_unused]] ssize_t ignored = ::write(stopPipe[1], &byte, 1);
        watcher_.join();
    }

  private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    bool installed_ = false;
    std::thread watcher_;
};

}  // namespace

std::unique_ptr<ConsoleStopHandler> installConsoleStopHandler(ConsoleStopCallback onStop) {
    return std::make_unique<SignalStopHandler>(onStop);
}

}  // namespace platform
