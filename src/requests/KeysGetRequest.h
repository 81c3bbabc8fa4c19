// Hands the server the agent's private key file and backup session key file, so that it
// can decrypt backup data without the agent:
//   PROT_KEYS | string rsa.key | string backup.key      (a missing file gives "")
#pragma once

#include "requests/Request.h"

namespace requests {

class KeysGetRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};

}  // namespace requests
