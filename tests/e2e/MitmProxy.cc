#include "MitmProxy.h"

#include "AgentProcess.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "platform/ByteOrder.h"
#include "platform/Socket.h"

namespace test {
namespace {

constexpr std::size_t kHeaderBytes = 29;

void readExactly(net::TcpSocket& socket, std::string& out, std::size_t count) {
    std::size_t start = out.size();
    out.resize(start + count);
    socket.receiveAll(out.data() + start, static_cast<std::int64_t>(count));
}

std::uint32_t numberAt(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(platform::loadBigEndian(bytes.data() + at, 4));
}

bool carriesString(net::Code code) {
    return code == net::PROT_ENCRYPTED || code == net::PROT_SEALED ||
           code == net::PROT_PUBLIC_KEY || code == net::PROT_AUTH_CHALLENGE ||
           code == net::PROT_AUTH_RESPONSE || code == net::PROT_BACKUP_BLOCK_MAP ||
           net::isLogRecordCode(code);
}

// The rest of a unit whose code was read.
void readUnitBody(net::TcpSocket& from, net::Code code, std::string& unit) {
    if (code == net::PROT_VERSION || code == net::PROT_SERVER_OPTION) {
        readExactly(from, unit, 4);
    } else if (carriesString(code)) {
        readExactly(from, unit, 4);
        readExactly(from, unit, numberAt(unit, unit.size() - 4));
    }
}

WireBatch readBatch(net::TcpSocket& from, std::string announcement) {
    WireBatch batch{std::move(announcement), {}};
    for (;;) {
        std::string record;
        readExactly(from, record, 4);
        if (numberAt(record, 0) == net::PROT_BLOCK_STREAM_DIGEST) {
            std::string digest;
            readExactly(from, digest, 16);
            return batch;
        }
        readExactly(from, record, kHeaderBytes - 4);
        readExactly(from, record, numberAt(record, 25));
        batch.records.push_back(std::move(record));
    }
}

std::string frame(const WireBatch& batch, bool version2) {
    std::string out = batch.announcement;
    platform::appendBigEndian(out, net::PROT_BLOCK_STREAM, 4);
    blocks::Md5Stream digest;
    for (const std::string& record : batch.records) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
        std::size_t header = std::min(record.size(), kHeaderBytes);
        digest.update(bytes, header);
        auto [data, length] =
            blocks::digestedData(bytes + header, record.size() - header, version2);
        digest.update(data, length);
        out += record;
    }
    platform::appendBigEndian(out, net::PROT_BLOCK_STREAM_DIGEST, 4);
    auto sum = digest.finish();
    out.append(reinterpret_cast<const char*>(sum.data()), sum.size());
    return out;
}

// A batch's records follow its announcement at once; a message that waits for an answer
// is followed by nothing.
bool moreFollows(net::TcpSocket& from) {
    if (from.bufferedBytes() > 0)
        return true;
    pollfd wanted{static_cast<int>(from.handle()), POLLIN, 0};
    return ::poll(&wanted, 1, 500) > 0;
}

}  // namespace

std::string recordData(const std::string& record) {
    return record.substr(kHeaderBytes);
}

std::string withData(const std::string& record, const std::string& data) {
    std::string header = record.substr(0, kHeaderBytes - 4);
    platform::appendBigEndian(header, data.size(), 4);
    return header + data;
}

MitmProxy::MitmProxy(std::uint16_t agentPort, ProxyEdits edits) : edits_(std::move(edits)) {
    listener_.bind(platform::kLoopbackAddress, 0);
    listener_.listen();
    port_ = listener_.localPort();
    thread_ = std::thread([this, agentPort] { run(agentPort); });
}

MitmProxy::~MitmProxy() {
    if (thread_.joinable())
        thread_.join();
}

void MitmProxy::run(std::uint16_t agentPort) {
    try {
        std::unique_ptr<net::TcpSocket> server = listener_.accept(test::serverTimeout());
        std::unique_ptr<net::TcpSocket> agent =
            net::TcpSocket::connectTo("127.0.0.1", agentPort, test::serverTimeout());
        std::thread back([&] { relay(*agent, *server, false); });
        relay(*server, *agent, true);
        back.join();
    } catch (const std::exception&) {
        // The test sees the failure on its own connection.
    }
}

// Relays units until either side closes, then closes both ways so the other relay ends.
void MitmProxy::relay(net::TcpSocket& from, net::TcpSocket& to, bool fromServer) {
    const BatchEditor& editor = fromServer ? edits_.serverToAgent : edits_.agentToServer;
    const ChannelEditor& channelEditor = fromServer ? edits_.serverChannel : edits_.agentChannel;
    std::size_t batches = 0;
    std::size_t channelUnits = 0;
    std::string held;  // an encrypted unit that may announce a batch
    try {
        for (;;) {
            std::string unit;
            readExactly(from, unit, 4);
            net::Code code = numberAt(unit, 0);
            // A batch whose announcement already went on (its records came late) is still
            // read as a batch; its editor sees no announcement.
            if (code == net::PROT_BLOCK_STREAM) {
                WireBatch batch = readBatch(from, std::move(held));
                held.clear();
                std::vector<WireBatch> out =
                    editor ? editor(std::move(batch), batches) : std::vector<WireBatch>{batch};
                ++batches;
                std::string bytes;
                for (const WireBatch& each : out)
                    bytes += frame(each, edits_.version2);
                if (!bytes.empty())
                    to.sendAll(bytes.data(), static_cast<std::int64_t>(bytes.size()));
                continue;
            }
            readUnitBody(from, code, unit);
            if (fromServer && edits_.serverUnits)
                edits_.serverUnits(unit);
            if (channelEditor && (code == net::PROT_SEALED || code == net::PROT_ENCRYPTED)) {
                std::vector<std::string> out = channelEditor(std::move(unit), channelUnits++);
                if (code == net::PROT_SEALED || out.size() != 1) {
                    for (const std::string& each : out)
                        held += each;
                    if (!held.empty())
                        to.sendAll(held.data(), static_cast<std::int64_t>(held.size()));
                    held.clear();
                    continue;
                }
                unit = std::move(out.front());
            }
            if (!held.empty())
                to.sendAll(held.data(), static_cast<std::int64_t>(held.size()));
            held.clear();
            if (code == net::PROT_ENCRYPTED) {
                held = std::move(unit);
                // It may announce a batch: held while more follows at once, passed on when
                // the sender waits for a reply.
                if (!moreFollows(from)) {
                    to.sendAll(held.data(), static_cast<std::int64_t>(held.size()));
                    held.clear();
                }
                continue;
            }
            to.sendAll(unit.data(), static_cast<std::int64_t>(unit.size()));
        }
    } catch (const std::exception&) {
        ::shutdown(static_cast<int>(from.handle()), SHUT_RDWR);
        ::shutdown(static_cast<int>(to.handle()), SHUT_RDWR);
    }
}

}  // namespace test
