// The change-tracking driver's commands: install it into the host, simulate a reboot
// (the driver forgets its queue and stops tracking until the agent switches it on), and
// show its state and queue.
#include <iostream>

#include "Arguments.h"
#include "Commands.h"
#include "HostAccess.h"
#include "platform/System.h"
#include "platform/emulated/driver/DriverStore.h"

namespace {

using platform::emulated::DriverStore;

constexpr std::uint64_t kDefaultShownRecords = 50;

DriverStore installedDriver() {
    DriverStore store(hostsim::currentHost().root());
    if (!store.installed())
        throw hostsim::UsageError("the driver is not installed (hostsim driver-install)");
    return store;
}

int driverInstall(const std::vector<std::string>& args) {
    hostsim::Arguments(args, {}).positional(0);
    DriverStore store(hostsim::currentHost().root());
    store.install();
    std::cout << "driver installed; state " << store.state() << "\n";
    return 0;
}

int driverReset(const std::vector<std::string>& args) {
    hostsim::Arguments(args, {}).positional(0);
    installedDriver().reset();
    std::cout << "driver reset: state 0, queue emptied\n";
    return 0;
}

int driverShow(const std::vector<std::string>& args) {
    hostsim::Arguments arguments(args, {});
    arguments.positional(0);
    auto limit = arguments.option("--records");
    std::uint64_t shown = limit ? hostsim::parseNumber(*limit) : kDefaultShownRecords;
    DriverStore store = installedDriver();
    std::uint32_t state = store.state();
    std::cout << "state: " << state << (state == 0 ? " (not tracking)" : " (tracking)") << "\n"
              << "pending: " << store.pendingCount() << "\n";
    for (const auto& record : store.peek(shown)) {
        auto guid = store.volumeGuidPath(record.volumeNumber);
        std::cout << "  volume " << record.volumeNumber << " sector " << record.firstSector
                  << " count " << record.sectorCount << "  "
                  << (guid ? platform::toNarrow(*guid) : std::string("?")) << "\n";
    }
    return 0;
}

}  // namespace

std::vector<Command> driverCommands() {
    return {
        {"driver-install", "driver-install            install the change-tracking driver (state 0)",
         driverInstall},
        {"driver-reset",
         "driver-reset              the driver forgets its queue and stops tracking, "
         "as after a reboot",
         driverReset},
        {"driver-show",
         "driver-show [--records N] driver state, pending count and the first N records",
         driverShow},
    };
}
