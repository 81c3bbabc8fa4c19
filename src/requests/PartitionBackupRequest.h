// Sends the sectors of one disk's partition information (MBR, boot gap, logical disk
// manager database, extended boot records) to the server.
#pragma once

#include "requests/Request.h"

namespace requests {

class PartitionBackupRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};

}  // namespace requests
