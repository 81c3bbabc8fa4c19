// Sends the sectors of one disk's partition information (MBR, boot gap, logical disk
// manager database, extended boot records) to the server.
#pragma once

#include "requests/Request.h"

class PartitionBackupRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};
