// A man in the middle on loopback: the server connects to the proxy, which connects to the
// agent and relays both ways, reading the plain stream unit by unit so that a test can edit
// what passes: the handshake's units, and the block stream's batches (each an encrypted
// announcement followed by PROT_BLOCK_STREAM, its records and PROT_BLOCK_STREAM_DIGEST).
// Batches are handed to an editor, which may change, drop, reorder or add batches; the
// proxy then frames what it returns with a batch digest computed afresh, so only what the
// digest cannot see decides whether the receiver notices. In protocol version 2 the units
// of the channel (sealed units and encrypted messages) can be edited one by one too. One
// connection per proxy.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/Codes.h"
#include "net/TcpListener.h"
#include "net/TcpSocket.h"

namespace test {

struct WireBatch {
    std::string announcement;          // the whole PROT_ENCRYPTED unit before the batch
    std::vector<std::string> records;  // each a 29-byte header and its data
};

// Edits one batch in one direction (batch counted from 0 on the connection); returns
// what goes on in its place (nothing: the batch is dropped).
using BatchEditor = std::function<std::vector<WireBatch>(WireBatch batch, std::size_t number)>;
// Edits one unit outside batches (the whole unit, code included).
using UnitEditor = std::function<void(std::string& unit)>;
// Edits one unit of the channel in one direction (a whole PROT_SEALED or PROT_ENCRYPTED
// unit outside batches, counted from 0 on the connection); returns what goes on in its place.
using ChannelEditor = std::function<std::vector<std::string>(std::string unit, std::size_t number)>;

struct ProxyEdits {
    BatchEditor serverToAgent;
    BatchEditor agentToServer;
    UnitEditor serverUnits;
    ChannelEditor serverChannel;
    ChannelEditor agentChannel;
    // Batch digests are recomputed by version 2's rule (headers and tags), else version 1's.
    bool version2 = true;
};

class MitmProxy {
  public:
    MitmProxy(std::uint16_t agentPort, ProxyEdits edits);
    ~MitmProxy();
    MitmProxy(const MitmProxy&) = delete;
    MitmProxy& operator=(const MitmProxy&) = delete;

    std::uint16_t port() const { return port_; }

  private:
    void run(std::uint16_t agentPort);
    void relay(net::TcpSocket& from, net::TcpSocket& to, bool fromServer);

    ProxyEdits edits_;
    net::TcpListener listener_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// The record's data, and the record with other data (its header kept but for the length).
std::string recordData(const std::string& record);
std::string withData(const std::string& record, const std::string& data);

}  // namespace test
