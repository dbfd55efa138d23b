#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/WebSocketServer.h"
#include "support/ManualClock.h"
#include "support/WsTestClient.h"

namespace navorel {
namespace {

using json = nlohmann::json;
using test::WsTestClient;

// Polls a condition that another thread makes true; bounded.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + test::kWait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.GetLastError();
        port = server.GetPort();
    }

    // A connected client whose welcome has been read.
    std::unique_ptr<WsTestClient> connect(const test::ClientOptions& options = {}) {
        auto client = std::make_unique<WsTestClient>();
        const auto ec = client->Connect(port, options);
        EXPECT_FALSE(ec) << ec.message();
        if (!ec) {
            EXPECT_EQ(client->ReadJson().value("type", ""), "connection");
            EXPECT_TRUE(client->ReadJson().contains("count"));
        }
        return client;
    }

    json roundTrip(WsTestClient& client, const std::string& text) {
        EXPECT_FALSE(client.WriteText(text));
        return client.ReadJson();
    }

    // The application's side: a welcome, then each text echoed back, except
    // "quiet" (no reply) and "big" (a reply above the per-client queue limit).
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
    std::uint16_t port = 0;
};

// ---------------------------------------------------------------------------
// Helpers and lifecycle

TEST(WebSocketServerHelpers, ClientIdsAndPeerAddresses) {
    test::ManualClock clock;
    const std::string millis = std::to_string(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.steadyNow().time_since_epoch()).count());
    EXPECT_TRUE(std::regex_match(WebSocketServer::GenerateClientId(clock), std::regex(millis + "-[1-9][0-9]{3}")));
    EXPECT_EQ(WebSocketServer::FormatPeerAddress(std::array<std::uint8_t, 4>{127, 0, 0, 1}), "127.0.0.1");
    std::array<std::uint8_t, 16> linkLocal{0xfe, 0x80};
    linkLocal[15] = 1;
    EXPECT_EQ(WebSocketServer::FormatPeerAddress(linkLocal), "fe80:0000:0000:0000:0000:0000:0000:0001");
}

TEST(WebSocketServerLifecycle, StopBeforeStartAndTwiceIsHarmless) {
    WebSocketServer server(0);
    server.BroadcastJson({{"type", "x"}});
    server.Stop();
    server.Stop();
    EXPECT_EQ(server.GetClientCount(), 0u);
}

TEST(WebSocketServerLifecycle, StartsOnceStopsAndStartsAgain) {
    WebSocketServer server(0);
    ASSERT_TRUE(server.Start());
    const std::uint16_t first = server.GetPort();
    EXPECT_NE(first, 0);
    EXPECT_TRUE(server.Start());  // already running: nothing new
    EXPECT_EQ(server.GetPort(), first);
    server.Stop();
    server.BroadcastJson({{"type", "dropped"}});
    EXPECT_FALSE(server.IsAcceptingConnections());
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(server.IsAcceptingConnections());
    WsTestClient client;
    EXPECT_FALSE(client.Connect(server.GetPort()));
}

TEST(WebSocketServerLifecycle, BroadcastRejectsInvalidUtf8OnTheCallersThread) {
    WebSocketServer server(0);
    ASSERT_TRUE(server.Start());
    EXPECT_THROW(server.BroadcastJson({{"text", "\xff"}}), nlohmann::json::type_error);
}

TEST(WebSocketServerPorts, ProbeTellsListeningFromRefused) {
    test::net::io_context context;
    test::tcp::acceptor listener(context, test::tcp::endpoint(test::net::ip::make_address_v4("127.0.0.1"), 0));
    const std::uint16_t taken = listener.local_endpoint().port();
    EXPECT_FALSE(WebSocketServer::IsPortAvailable(taken));
    listener.close();
    EXPECT_TRUE(WebSocketServer::IsPortAvailable(taken));
}

TEST(WebSocketServerPorts, TakenPortFallsBackToASystemChosenOne) {
    test::net::io_context context;
    test::tcp::acceptor listener(context, test::tcp::endpoint(test::net::ip::make_address_v4("127.0.0.1"), 0));
    const std::uint16_t taken = listener.local_endpoint().port();
    WebSocketServer server(taken);
    ASSERT_TRUE(server.Start()) << server.GetLastError();
    EXPECT_NE(server.GetPort(), taken);
    EXPECT_NE(server.GetPort(), 0);
    EXPECT_EQ(server.GetLastError(), "");
}

TEST(WebSocketServerPorts, NobodyElseCanBindTheBoundPort) {
    WebSocketServer server(0);
    ASSERT_TRUE(server.Start());
    test::net::io_context context;
    test::tcp::acceptor intruder(context);
    intruder.open(test::tcp::v4());
    intruder.set_option(test::net::socket_base::reuse_address(true));
    test::ErrorCode ec;
    intruder.bind(test::tcp::endpoint(test::net::ip::make_address_v4("127.0.0.1"), server.GetPort()), ec);
    EXPECT_TRUE(ec) << "a second socket bound the server's port";
}

// ---------------------------------------------------------------------------
// Connections and messages

TEST_F(ServerTest, TheApplicationGreetsAnswersAndHearsClosures) {
    WsTestClient client;
    ASSERT_FALSE(client.Connect(port));
    EXPECT_EQ(client.ReadJson()["type"], "connection");
    EXPECT_EQ(client.ReadJson()["count"], 1);
    EXPECT_FALSE(client.WriteText("quiet"));
    EXPECT_FALSE(client.WriteBinary("ignored"));
    EXPECT_FALSE(client.WriteText("hello"));
    std::string text;
    ASSERT_FALSE(client.Read(text));
    EXPECT_EQ(text, "hello");
    client.Close();
    EXPECT_TRUE(eventually([&] { return closed.load() == 1 && server.GetClientCount() == 0; }));
}

TEST_F(ServerTest, ClosesOversizedMessagesWith1009AndInvalidUtf8With1007) {
    auto justFits = connect();
    const std::string fits = R"({"type":")" + std::string(WebSocketServer::kMaxPayloadBytes - 11, 'x') + R"("})";
    ASSERT_EQ(fits.size(), WebSocketServer::kMaxPayloadBytes);
    EXPECT_FALSE(justFits->WriteText(fits));
    std::string echo;
    EXPECT_FALSE(justFits->Read(echo));
    EXPECT_EQ(echo.size(), fits.size());

    auto big = connect();
    big->WriteText(fits + " ");  // may fail once the server has closed
    EXPECT_EQ(big->WaitForClose(), 1009);

    auto garbled = connect();
    EXPECT_FALSE(garbled->WriteText("{\"type\":\"\xff\xfe\"}"));
    EXPECT_EQ(garbled->WaitForClose(), 1007);
    EXPECT_TRUE(eventually([&] { return server.GetClientCount() == 1; }));
}

TEST_F(ServerTest, ShutdownRefusesUpgradesKeepsClientsThenClosesThemWith1001) {
    auto client = connect();
    server.SetAcceptingConnections(false);
    WsTestClient late;
    EXPECT_EQ(late.Connect(port), test::websocket::error::upgrade_declined);
    EXPECT_EQ(late.response().result_int(), 503);
    EXPECT_EQ(late.response().body(), "Server is shutting down");

    const json health = json::parse(test::httpGet(port, "/health").response.body());
    EXPECT_EQ(health["status"], "healthy");
    EXPECT_EQ(health["acceptingConnections"], false);
    EXPECT_EQ(roundTrip(*client, R"({"type":"ping"})")["type"], "ping");

    // The client answers the close frame while Stop waits for it.
    int code = 0;
    std::thread reader([&] { code = client->WaitForClose(); });
    server.Stop();
    reader.join();
    EXPECT_EQ(code, 1001);
    EXPECT_EQ(client->closeReason(), "Server shutting down");
    EXPECT_EQ(server.GetClientCount(), 0u);
}

TEST_F(ServerTest, StopDoesNotWaitLongForAClientThatReadsNothing) {
    auto stalled = connect(test::ClientOptions::WithReceiveBuffer(4096));
    // One frame larger than every socket buffer keeps a write pending.
    server.BroadcastJson({{"type", "bulk"}, {"pad", std::string(8 * 1024 * 1024, 'x')}});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto before = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

// ---------------------------------------------------------------------------
// Broadcast

// Reads on its own thread until it has `expected` messages or the connection ends.
class Reader {
public:
    Reader(std::unique_ptr<WsTestClient> client, int expected)
        : client_(std::move(client)), thread_([this, expected] {
              for (int i = 0; i < expected; ++i) {
                  std::string text;
                  if (client_->Read(text)) break;
                  const json message = json::parse(text, nullptr, false);
                  if (message.value("seq", -1) != i) outOfOrder_ = true;
                  ++received_;
              }
          }) {}
    ~Reader() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    int received() const { return received_.load(); }
    bool outOfOrder() const { return outOfOrder_.load(); }

private:
    std::unique_ptr<WsTestClient> client_;
    std::atomic<int> received_{0};
    std::atomic<bool> outOfOrder_{false};
    std::thread thread_;
};

TEST_F(ServerTest, HealthyClientsKeepUpWithABurstLargerThanTheQueueLimit) {
    constexpr int kBurst = 100;
    // 100 frames of 3 KiB: more than one client's queue limit in total.
    const std::string pad(3 * 1024, 'p');
    Reader first(connect(), kBurst);
    Reader second(connect(), kBurst);
    for (int i = 0; i < kBurst; ++i) server.BroadcastJson({{"seq", i}, {"pad", pad}});
    first.join();
    second.join();
    EXPECT_EQ(first.received(), kBurst);
    EXPECT_EQ(second.received(), kBurst);
    EXPECT_FALSE(first.outOfOrder() || second.outOfOrder());
    EXPECT_EQ(server.GetClientCount(), 2u);
}

TEST_F(ServerTest, FramesOfEveryLengthFormArriveIntactBeforeTheCloseFrame) {
    auto client = connect();
    // Payload lengths at the edges of the 7-bit, 16-bit and 64-bit forms.
    const std::vector<std::size_t> sizes{8, 125, 126, 127, 65535, 65536, 70000};
    for (const std::size_t size : sizes) {
        server.BroadcastJson({{"p", std::string(size - 8, 'x')}});  // {"p":""} is 8 bytes
    }
    for (const std::size_t size : sizes) {
        std::string text;
        ASSERT_FALSE(client->Read(text));
        EXPECT_EQ(text.size(), size);
        EXPECT_EQ(json::parse(text)["p"].get<std::string>().size(), size - 8);
    }
    server.BroadcastJson({{"last", true}});
    std::string last;
    ASSERT_FALSE(client->Read(last));
    std::thread stopper([&] { server.Stop(); });
    EXPECT_EQ(client->WaitForClose(), 1001);
    stopper.join();
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
        EXPECT_EQ(roundTrip(*client, R"({"type":"ping"})")["type"], "ping");
    }
    EXPECT_EQ(client->ReadJson()["seq"], 1);
    EXPECT_EQ(client->ReadJson()["seq"], 2);
}

TEST_F(ServerTest, OneFrameAboveTheQueueLimitStillReachesAnIdleClient) {
    Reader reader(connect(), 1);
    server.BroadcastJson({{"seq", 0}, {"pad", std::string(WebSocketServer::kMaxQueuedBytesPerClient + 1000, 'x')}});
    reader.join();
    EXPECT_EQ(reader.received(), 1);
}

// A reply larger than the queue limit, to a client that reads, while
// broadcasts flow: the client is not cut.
TEST_F(ServerTest, ALargeReplyAmidBroadcastsDoesNotCutAReadingClient) {
    constexpr int kBroadcasts = 50;
    auto client = connect();
    std::thread telemetry([&] {
        for (int i = 0; i < kBroadcasts; ++i) {
            server.BroadcastJson({{"seq", i}});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int broadcasts = 0;
    for (int replies = 0; replies < 5; ++replies) {
        EXPECT_FALSE(client->WriteText("big"));
        for (;;) {
            const json message = client->ReadJson();
            ASSERT_FALSE(message.contains("read_error")) << message;
            if (message.contains("pad")) break;
            ++broadcasts;
        }
    }
    while (broadcasts < kBroadcasts) {
        ASSERT_FALSE(client->ReadJson().contains("read_error"));
        ++broadcasts;
    }
    telemetry.join();
    EXPECT_EQ(server.GetClientCount(), 1u);
}

TEST_F(ServerTest, AClientThatStopsReadingIsCutWhileOthersKeepReceiving) {
    constexpr int kMaxBroadcasts = 2000;
    auto stalled = connect(test::ClientOptions::WithReceiveBuffer(4096));
    Reader healthy(connect(), kMaxBroadcasts);
    ASSERT_EQ(server.GetClientCount(), 2u);

    const std::string pad(64 * 1024, 's');
    int sent = 0;
    // A steady stream: each broadcast is received by the healthy client
    // before the next one goes out.
    while (sent < kMaxBroadcasts && server.GetClientCount() == 2) {
        server.BroadcastJson({{"seq", sent}, {"pad", pad}});
        ++sent;
        ASSERT_TRUE(eventually([&] { return healthy.received() == sent; })) << "healthy client stalled at " << sent;
    }
    EXPECT_EQ(server.GetClientCount(), 1u) << "the stalled client was never cut";
    for (int i = 0; i < 5; ++i) server.BroadcastJson({{"seq", sent++}, {"pad", "after"}});
    EXPECT_TRUE(eventually([&] { return healthy.received() == sent; }));
    EXPECT_FALSE(healthy.outOfOrder());
    EXPECT_EQ(stalled->WaitForClose(), 1006);  // no close frame for it
    server.Stop();
}

}  // namespace
}  // namespace navorel
