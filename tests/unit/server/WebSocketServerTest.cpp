#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/WebSocketServer.h"
#include "support/Eventually.h"
#include "support/ManualClock.h"
#include "support/WsTestClient.h"

// Routes, Host and Origin checks, the connection limit, the inbound size and
// UTF-8 limits, binary frames, the port fallback and the shutdown as clients
// see it (refused upgrades, 1001 for everyone) are covered end to end. Here: the injected clock, the exclusive port,
// and broadcasts timed against what a client reads.

namespace navorel {
namespace {

using json = nlohmann::json;
using test::eventually;
using test::WsTestClient;

TEST(WebSocketServerHelpers, ClientIdsAndPeerAddresses) {
    test::ManualClock clock;
    const std::string millis = std::to_string(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.steadyNow().time_since_epoch()).count());
    EXPECT_TRUE(std::regex_match(WebSocketServer::GenerateClientId(clock), std::regex(millis + "-[1-9][0-9]{3}")));
    EXPECT_EQ(WebSocketServer::FormatPeerAddress(std::array<std::uint8_t, 4>{127, 0, 0, 1}), "127.0.0.1");
    const std::array<std::uint8_t, 16> linkLocal{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(WebSocketServer::FormatPeerAddress(linkLocal), "fe80:0000:0000:0000:0000:0000:0000:0001");
}

TEST(WebSocketServerLifecycle, StopIsHarmlessAnyTimeAndTheServerStartsAgain) {
    WebSocketServer server(0);
    server.Stop();  // before Start
    ASSERT_TRUE(server.Start());
    const std::uint16_t first = server.GetPort();
    EXPECT_TRUE(server.Start());  // already running: nothing new
    EXPECT_EQ(server.GetPort(), first);
    // Serialised on the caller's thread, so the server thread never meets it.
    EXPECT_THROW(server.BroadcastJson({{"text", "\xff"}}), nlohmann::json::type_error);
    server.Stop();
    server.Stop();
    server.BroadcastJson({{"type", "dropped"}});
    ASSERT_TRUE(server.Start());
    WsTestClient client;
    EXPECT_FALSE(client.Connect(server.GetPort()));
}

TEST(WebSocketServerPorts, NobodyElseCanBindTheBoundPortAndTheProbeTellsTakenFromFree) {
    WebSocketServer server(0);
    ASSERT_TRUE(server.Start());
    const std::uint16_t port = server.GetPort();
    EXPECT_FALSE(WebSocketServer::IsPortAvailable(port));
    test::net::io_context context;
    const test::tcp::endpoint endpoint(test::net::ip::make_address_v4("127.0.0.1"), port);
    // Not even with address reuse.
    EXPECT_THROW(test::tcp::acceptor(context, endpoint, true), boost::system::system_error);
    server.Stop();
    EXPECT_TRUE(WebSocketServer::IsPortAvailable(port));
}

// The application's side: a welcome in two texts, then each text echoed back,
// except "quiet" (no reply) and "big" (a reply above the per-client queue limit).
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()) << server.GetLastError(); }

    // A connected client whose welcome has been read.
    std::unique_ptr<WsTestClient> connect(int receiveBufferBytes = 0) {
        auto client = std::make_unique<WsTestClient>();
        EXPECT_FALSE(client->Connect(server.GetPort(), receiveBufferBytes));
        EXPECT_EQ(client->ReadJson().value("type", ""), "connection");
        EXPECT_TRUE(client->ReadJson().contains("count"));
        return client;
    }

    json roundTrip(WsTestClient& client, const std::string& text) {
        EXPECT_FALSE(client.WriteText(text));
        return client.ReadJson();
    }

    WebSocketServer::Handlers handlers() {
        WebSocketServer::Handlers h;
        h.onOpen = [](const WebSocketServer::PerSocketData& client, std::size_t count) {
            return std::vector<std::string>{json{{"type", "connection"}, {"id", client.clientId}}.dump(),
                                            json{{"count", count}}.dump()};
        };
        h.onMessage = [](const WebSocketServer::PerSocketData&, std::string_view text) -> std::string {
            if (text == "quiet") return {};
            if (text == "big") return json{{"pad", std::string(300 * 1024, 'b')}}.dump();
            return std::string(text);
        };
        h.onClose = [this](const WebSocketServer::PerSocketData&) { ++closed; };
        return h;
    }

    std::atomic<int> closed{0};
    test::ManualClock clock;
    WebSocketServer server{0, handlers(), {}, clock};
};

TEST_F(ServerTest, TheApplicationGreetsAnswersAndHearsClosures) {
    auto client = connect();
    EXPECT_FALSE(client->WriteText("quiet"));  // no reply: the next message is the echo
    EXPECT_EQ(roundTrip(*client, "[1]"), json::array({1}));
    client->Close();
    EXPECT_TRUE(eventually([&] { return closed.load() == 1 && server.GetClientCount() == 0; }));
}

TEST_F(ServerTest, StopDoesNotWaitLongForAClientThatReadsNothing) {
    auto stalled = connect(4096);
    // One frame larger than every socket buffer keeps a write pending.
    server.BroadcastJson({{"type", "bulk"}, {"pad", std::string(8 * 1024 * 1024, 'x')}});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto before = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

// Payload lengths at the edges of the 7-bit, 16-bit and 64-bit length forms.
TEST_F(ServerTest, FramesOfEveryLengthFormArriveIntact) {
    auto client = connect();
    const std::size_t sizes[] = {8, 125, 126, 127, 65535, 65536, 70000};
    for (const std::size_t size : sizes) server.BroadcastJson({{"p", std::string(size - 8, 'x')}});  // {"p":""}
    for (const std::size_t size : sizes) {
        std::string text;
        ASSERT_FALSE(client->Read(text));
        EXPECT_EQ(text, json({{"p", std::string(size - 8, 'x')}}).dump());
    }
}

TEST_F(ServerTest, BroadcastsWaitForTheEndOfAHoldAndKeepTheirOrder) {
    auto client = connect();
    {
        const WebSocketServer::BroadcastHold outer(server);
        server.BroadcastJson({{"seq", 1}});
        {
            const WebSocketServer::BroadcastHold inner(server);
            server.BroadcastJson({{"seq", 2}});
        }
        // Answers to the client are not held: the reply overtakes both.
        EXPECT_EQ(roundTrip(*client, "[3]"), json::array({3}));
    }
    EXPECT_EQ(client->ReadJson()["seq"], 1);
    EXPECT_EQ(client->ReadJson()["seq"], 2);
}

// Reads on its own thread until it has `expected` messages or the connection ends.
struct Reader {
    Reader(std::unique_ptr<WsTestClient> c, int expected)
        : client(std::move(c)), thread([this, expected] {
              for (std::string text; received < expected && !client->Read(text); ++received) {
                  if (json::parse(text, nullptr, false).value("seq", -1) != received) outOfOrder = true;
              }
          }) {}
    void join() {
        if (thread.joinable()) thread.join();
    }

    std::unique_ptr<WsTestClient> client;
    std::atomic<int> received{0};
    std::atomic<bool> outOfOrder{false};
    std::jthread thread;
};

TEST_F(ServerTest, HealthyClientsKeepUpWithABurstLargerThanTheQueueLimit) {
    constexpr int kBurst = 100;  // of 3 KiB: more than one client's queue limit in total
    Reader first(connect(), kBurst);
    Reader second(connect(), kBurst);
    for (int i = 0; i < kBurst; ++i) server.BroadcastJson({{"seq", i}, {"pad", std::string(3 * 1024, 'p')}});
    first.join();
    second.join();
    EXPECT_EQ(first.received + second.received, 2 * kBurst);
    EXPECT_FALSE(first.outOfOrder || second.outOfOrder);
    EXPECT_EQ(server.GetClientCount(), 2u);
}

// Replies larger than the queue limit, to a client that reads, while
// broadcasts flow: the client is not cut.
TEST_F(ServerTest, ALargeReplyAmidBroadcastsDoesNotCutAReadingClient) {
    constexpr int kBroadcasts = 50;
    auto client = connect();
    std::jthread telemetry([&] {
        for (int i = 0; i < kBroadcasts; ++i) {
            server.BroadcastJson({{"seq", i}});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int broadcasts = 0;
    for (int replies = 0; replies < 5; ++replies) {
        EXPECT_FALSE(client->WriteText("big"));
        for (json message = client->ReadJson(); !message.contains("pad"); message = client->ReadJson()) {
            ASSERT_FALSE(message.contains("read_error")) << message;
            ++broadcasts;
        }
    }
    for (; broadcasts < kBroadcasts; ++broadcasts) ASSERT_FALSE(client->ReadJson().contains("read_error"));
    telemetry.join();
    EXPECT_EQ(server.GetClientCount(), 1u);
}

TEST_F(ServerTest, AClientThatStopsReadingIsCutWhileOthersKeepReceiving) {
    constexpr int kMaxBroadcasts = 2000;
    auto stalled = connect(4096);
    Reader healthy(connect(), kMaxBroadcasts);
    ASSERT_EQ(server.GetClientCount(), 2u);
    const std::string pad(64 * 1024, 's');
    int sent = 0;
    // A steady stream: the healthy client has each broadcast before the next goes out.
    while (sent < kMaxBroadcasts && server.GetClientCount() == 2) {
        server.BroadcastJson({{"seq", sent++}, {"pad", pad}});
        ASSERT_TRUE(eventually([&] { return healthy.received == sent; })) << "healthy client stalled at " << sent;
    }
    EXPECT_EQ(server.GetClientCount(), 1u) << "the stalled client was never cut";
    for (int i = 0; i < 5; ++i) server.BroadcastJson({{"seq", sent++}, {"pad", "after"}});
    EXPECT_TRUE(eventually([&] { return healthy.received == sent; }));
    EXPECT_FALSE(healthy.outOfOrder);
    EXPECT_EQ(stalled->WaitForClose(), 1006);  // no close frame for it
    server.Stop();
}

}  // namespace
}  // namespace navorel
