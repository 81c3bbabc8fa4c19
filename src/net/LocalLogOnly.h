// For its lifetime, lines logged on the calling thread go to the agent's own log only, not
// to the connection's peer (for what a peer that has not authenticated must not learn).
#pragma once

#include <memory>

#include "logging/Logger.h"

namespace Net {

class LocalLogOnly {
  public:
    LocalLogOnly() : net_(winutil::Logger::get().getNetLogger()) {
        winutil::Logger::get().setNetLogger(nullptr);
    }
    ~LocalLogOnly() { winutil::Logger::get().setNetLogger(net_); }
    LocalLogOnly(const LocalLogOnly&) = delete;
    LocalLogOnly& operator=(const LocalLogOnly&) = delete;

  private:
    std::shared_ptr<winutil::NetLogger> net_;
};

}  // namespace Net
