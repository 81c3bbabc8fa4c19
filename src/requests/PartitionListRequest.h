// Lists the disks and volumes the server can back up.
#pragma once

#include "requests/Request.h"

class PartitionListRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};
