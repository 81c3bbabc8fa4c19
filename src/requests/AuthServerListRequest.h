// Replaces the dynamic backup allow directory with the server's list: one file per server,
// named by its IP address and holding its public key text as received. Body:
//   u32 N | N x (string IP | string key) | u32 PROT_AUTH_SERVER_LIST      (nothing after)
// Every entry is checked before anything in the folder is touched; only numeric IPv4 or
// IPv6 addresses are accepted as names. Answered by the plain code
// PROT_AUTH_SERVER_LIST_DONE.
#pragma once

#include <string>
#include <vector>

#include "requests/Request.h"

namespace requests {

class AuthServerListRequest : public Request {
  public:
    using Request::Request;
    void execute() override;

  private:
    struct AllowedServer {
        std::string address;
        std::string publicKey;
    };

    std::vector<AllowedServer> readList();
    void writeList(const std::vector<AllowedServer>& servers);
    void removeUnlisted(const std::vector<AllowedServer>& servers);
};

}  // namespace requests
