// For its lifetime, lines logged on the calling thread go to the agent's own log only, not
// to the connection's peer (for what a peer that has not authenticated must not learn).
#pragma once

#include <memory>

#include "logging/Logger.h"

namespace net {

class LocalLogOnly {
  public:
    LocalLogOnly() : net_(logging::Logger::get().getNetLogger()) {
        logging::Logger::get().setNetLogger(nullptr);
    }
    ~LocalLogOnly() { logging::Logger::get().setNetLogger(net_); }
    LocalLogOnly(const LocalLogOnly&) = delete;
    LocalLogOnly& operator=(const LocalLogOnly&) = delete;

  private:
    std::shared_ptr<logging::NetLogger> net_;
};

}  // namespace net
