// Installs the change-tracking driver into an emulated host: its control device (present
// when the host root has a driver/ folder) and its filter, which records every write to
// the host's disk images.
#include <memory>

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/WideText.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/driver/ChangeRecorder.h"
#include "platform/emulated/driver/ControlDevice.h"

namespace platform::emulated {
namespace {

class DriverDeviceProvider : public DeviceProvider {
  public:
    explicit DriverDeviceProvider(Host& host) : host_(host) {}

    bool claims(const std::wstring& path) const override {
        return equalsIgnoringCase(path, kDriverControlDevicePath);
    }

    std::unique_ptr<OpenFile> open(const OpenRequest&) override {
        return openDriverControlDevice(host_);
    }

  private:
    Host& host_;
};

}  // namespace

void registerDriverDevices(Host& host) {
    host.devices().add(std::make_unique<DriverDeviceProvider>(host));
    host.addWriteObserver(std::make_shared<ChangeRecorder>(host));
}

}  // namespace platform::emulated
