// The first base of every pipeline stage that works for a request: it keeps the
// connection's network logger, so that lines the stage logs on its own thread reach the
// connection's log as well as the local sinks.
#pragma once

#include <memory>

#include "logging/NetLogger.h"

namespace yin {

class RequestThread {
  public:
    // netLogger may be empty (no connection): the stage then logs locally only.
    explicit RequestThread(std::shared_ptr<logging::NetLogger> netLogger)
        : netLogger_(std::move(netLogger)) {}
    virtual ~RequestThread() = default;

    // Makes the network logger the calling thread's current one; stages call this from
    // their started() hook.
    void installNetLogger() const;

    const std::shared_ptr<logging::NetLogger>& netLogger() const { return netLogger_; }

  private:
    std::shared_ptr<logging::NetLogger> netLogger_;
};

}  // namespace yin
