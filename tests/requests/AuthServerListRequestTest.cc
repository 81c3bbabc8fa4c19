// The allow-list request: what reaches the folder, and that a bad request leaves it as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "../net/SocketPair.h"
#include "common/RequestEnvironment.h"
#include "crypto/CryptoLibrary.h"
#include "filter/ChangeTracker.h"
#include "net/IpAddressText.h"
#include "requests/AuthServerListRequest.h"
#include "requests/RunningBackups.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string address;
    std::string key;
};

class AuthServerListRequestTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { crypto::CryptoLibrary::initialise(); }

    // Runs the request on a plain text made of the entries, the end marker and extra bytes.
    std::string run(const std::vector<Entry>& entries, const std::string& extra = "") {
        net::EncryptedMessage message(connection, connection.protocolKey());
        message.write32(static_cast<std::uint32_t>(entries.size()));
        for (const auto& entry : entries)
            message.writeString(entry.address).writeString(entry.key);
        message.write32(net::PROT_AUTH_SERVER_LIST).writeBytes(extra);
        message.setPlainText(message.plainText());
        try {
            requests::AuthServerListRequest(connection, message, context).execute();
        } catch (const runtime::AgentException& error) {
            return error.message();
        }
        return "";
    }

    std::set<std::string> allowFiles() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(context.backupAllowDir)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    test::RequestEnvironment environment;
    requests::RequestContext& context = environment.context;
    test::SocketPair pair;
    net::ServerConnection connection{pair.near.get()};
};

TEST_F(AuthServerListRequestTest, ReplacesTheListAndAnswersDone) {
    EXPECT_EQ(run({{"10.0.0.3", "three"}}), "");
    EXPECT_EQ(run({{"10.0.0.1", "one"}, {"fe80::1:2", "two"}}), "");
    EXPECT_EQ(allowFiles(), (std::set<std::string>{"10.0.0.1", "fe80::1:2"}));
    EXPECT_EQ(util::files::readFile(context.backupAllowDir / "10.0.0.1"), "one");
    net::ProtocolStream server(pair.far.get());
    EXPECT_EQ(server.readCode(), net::PROT_AUTH_SERVER_LIST_DONE);
    EXPECT_EQ(server.readCode(), net::PROT_AUTH_SERVER_LIST_DONE);

    EXPECT_EQ(run({}), "");
    EXPECT_TRUE(allowFiles().empty());
}

TEST_F(AuthServerListRequestTest, BadRequestsLeaveTheFolderUntouched) {
    ASSERT_EQ(run({{"10.0.0.3", "three"}}), "");
    for (std::string bad :
         {"10.0.0.1/24", "..", "../10.0.0.1", "10.0.0.1:evil", "", "host.example"}) {
        EXPECT_EQ(run({{"10.0.0.1", "one"}, {bad, "bad"}}),
                  "Invalid server allow IP (" + bad + ")");
    }
    EXPECT_EQ(run({{"10.0.0.1", "one"}}, "x"), "Unexpected data at the end of server list request");
    EXPECT_EQ(allowFiles(), (std::set<std::string>{"10.0.0.3"}));
}

TEST(IpAddressText, AcceptsOnlyNumericAddresses) {
    for (const char* good : {"10.0.0.1", "255.255.255.255", "::", "::1", "fe80::1",
                             "2001:db8:0:0:0:0:2:1", "::ffff:192.168.0.1", "1:2:3:4:5:6:7::"}) {
        EXPECT_TRUE(isNumericIpAddress(good)) << good;
    }
    for (const char* bad :
         {"", "10.0.0", "10.0.0.256", "10.0.0.1.", "1..2.3", "+1.2.3.4", "1:2:3:4:5:6:7:8:9",
          "1::2::3", "fe80::1%eth0", "12345::", ":1", "a\\b", "C:stream"}) {
        EXPECT_FALSE(isNumericIpAddress(bad)) << bad;
    }
}

}  // namespace
