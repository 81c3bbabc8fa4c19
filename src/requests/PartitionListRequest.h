// Lists the disks and volumes the server can back up.
#pragma once

#include "requests/Request.h"

namespace requests {

class PartitionListRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};

}  // namespace requests
