// The status a service reports to the service manager, through every state: start pending
// and stop pending with a check point that advances while the agent works, running once it
// serves, and stopped with the reason it ended.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Service.h"

namespace agent {

class ServiceStatusReporter {
  public:
    // Receives every status to report; returns false when reporting failed (logged, no
    // other effect).
    using Sink = std::function<bool(const platform::ServiceStatus&)>;

    // While a pending state lasts, the check point advances and the status is reported again
    // every heartbeat, well inside the wait hint, so the service manager sees progress.
    ServiceStatusReporter(Sink sink, std::chrono::milliseconds heartbeat,
                          std::chrono::milliseconds waitHint);
    ~ServiceStatusReporter();
    ServiceStatusReporter(const ServiceStatusReporter&) = delete;
    ServiceStatusReporter& operator=(const ServiceStatusReporter&) = delete;

    void startPending();
    // Accepts stop and preshutdown from here on.
    void running();
    // Later calls while stopping (a second stop control) only report again.
    void stopPending();
    // exitCode 0: a normal stop. Otherwise the Win32 exit code is
    // ERROR_SERVICE_SPECIFIC_ERROR and exitCode the service-specific one, which is what
    // makes the service manager take its recovery actions. No status follows a stop.
    void stopped(std::uint32_t exitCode);

    platform::ServiceStatus current() const;

  private:
    void enter(std::uint32_t state, std::uint32_t controls, std::uint32_t exitCode);
    void report(const platform::ServiceStatus& status);
    void beat();

    Sink sink_;
    std::chrono::milliseconds heartbeat_;
    std::chrono::milliseconds waitHint_;
    mutable std::mutex mutex_;  // guards status_ and ended_; held while reporting, so the
                                // manager sees the statuses in the order they were made
    std::condition_variable changed_;
    platform::ServiceStatus status_;
    bool ended_ = false;
    std::thread heartbeatThread_;
};

}  // namespace agent
