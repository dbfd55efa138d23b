#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestClient.h"
#include "server/WebSocketMessageHandler.h"
#include "server/WebSocketServer.h"
#include "support/ManualClock.h"

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
        }
        return client;
    }

    json roundTrip(WsTestClient& client, const std::string& text) {
        EXPECT_FALSE(client.WriteText(text));
        return client.ReadJson();
    }

    test::ManualClock clock;
    WebSocketServer server{0, {"https://acars.example.com"}, clock};
    std::uint16_t port = 0;
};

// ---------------------------------------------------------------------------
// Helpers and lifecycle

TEST(WebSocketServerHelpers, ClientIdIsMonotonicMillisecondsAndFourDigits) {
    test::ManualClock clock;
    const std::string millis = std::to_string(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.steadyNow().time_since_epoch()).count());
    for (int i = 0; i < 50; ++i) {
        const std::string id = WebSocketServer::GenerateClientId(clock);
        ASSERT_TRUE(std::regex_match(id, std::regex(millis + "-[1-9][0-9]{3}"))) << id;
    }
}

TEST(WebSocketServerHelpers, PeerAddressesInBothFormats) {
    EXPECT_EQ(WebSocketServer::FormatPeerAddress(std::array<std::uint8_t, 4>{127, 0, 0, 1}), "127.0.0.1");
    std::array<std::uint8_t, 16> loopback6{};
    loopback6[15] = 1;
    loopback6[0] = 0xfe;
    loopback6[1] = 0x80;
    EXPECT_EQ(WebSocketServer::FormatPeerAddress(loopback6), "fe80:0000:0000:0000:0000:0000:0000:0001");
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

TEST_F(ServerTest, WelcomeCountsTheNewClientWithKeysInByteOrder) {
    WsTestClient client;
    ASSERT_FALSE(client.Connect(port));
    std::string text;
    ASSERT_FALSE(client.Read(text));
    const json welcome = json::parse(text);
    EXPECT_EQ(welcome.dump(), text);  // compact, keys in ascending order
    EXPECT_EQ(welcome["type"], "connection");
    EXPECT_EQ(welcome["status"], "connected");
    EXPECT_EQ(welcome["message"], "Connected to Navorel Bridge");
    EXPECT_EQ(welcome["version"], "1.0.0");
    EXPECT_EQ(welcome["server"], (json{{"currentConnections", 1}, {"maxConnections", 5}}));
    EXPECT_TRUE(std::regex_match(welcome["id"].get<std::string>(), std::regex("[0-9]+-[0-9]{4}")));
    EXPECT_EQ(server.GetClientCount(), 1u);
}

TEST_F(ServerTest, AnswersPingAndStatusWithoutAHandler) {
    auto client = connect();
    const json pong = roundTrip(*client, R"({"type":"ping"})");
    EXPECT_EQ(pong, (json{{"type", "pong"}, {"timestamp", toUnixTicks100ns(clock.systemNow())}}));

    clock.advance(std::chrono::milliseconds(2900));
    EXPECT_EQ(roundTrip(*client, R"({"type":"status","extra":[1]})"),
              (json{{"type", "status_response"}, {"connections", 1}, {"server_running", true}, {"uptime", 2}}));

    // Without a handler an unknown type gets no answer: the next answer is the pong.
    EXPECT_FALSE(client->WriteText(R"({"type":"PING"})"));
    EXPECT_EQ(roundTrip(*client, R"({"type":"ping"})")["type"], "pong");
}

TEST_F(ServerTest, MalformedInputGetsErrorsAndTheConnectionStays) {
    auto client = connect();
    const json notJson = roundTrip(*client, "hello");
    EXPECT_EQ(notJson["type"], "error");
    EXPECT_EQ(notJson["message"], "Invalid JSON format");
    EXPECT_THAT(notJson["details"].get<std::string>(), ::testing::HasSubstr("parse_error"));

    EXPECT_EQ(roundTrip(*client, "[1,2,3]"), (json{{"type", "error"}, {"message", "Message missing 'type' field"}}));
    EXPECT_EQ(roundTrip(*client, R"({"kind":"ping"})"),
              (json{{"type", "error"}, {"message", "Message missing 'type' field"}}));

    const json typeNumber = roundTrip(*client, R"({"type":5})");
    EXPECT_EQ(typeNumber["message"], "Invalid JSON format");
    EXPECT_THAT(typeNumber["details"].get<std::string>(), ::testing::HasSubstr("type must be string, but is "));

    EXPECT_FALSE(client->WriteBinary(R"({"type":"ping"})"));  // ignored
    EXPECT_EQ(roundTrip(*client, R"({"type":"ping"})")["type"], "pong");
    EXPECT_EQ(server.GetClientCount(), 1u);
}

TEST_F(ServerTest, CommandsGoToTheHandlerAndItsResultIsAnswered) {
    auto handler = std::make_unique<WebSocketMessageHandler>(clock);
    std::atomic<int> heartbeats{0};
    handler->SetHeartbeatCallback([&] { ++heartbeats; });
    handler->SetRunwayInfoCallback([](const std::string&) { return CommandResult::Success("ok", json::object()); });
    handler->SetShutdownCallback([] { throw std::runtime_error("callback failed"); });
    server.SetMessageHandler(std::move(handler));
    auto client = connect();
    const auto now = toUnixTicks100ns(clock.systemNow());

    EXPECT_EQ(roundTrip(*client, R"({"type":"HEARTBEAT"})"),
              (json{{"type", "response"}, {"success", true}, {"message", "Heartbeat acknowledged"}, {"timestamp", now}}));
    EXPECT_EQ(heartbeats.load(), 1);
    EXPECT_EQ(roundTrip(*client, R"({"type":"STATUS"})")["data"]["bridge_version"], "3.0");
    EXPECT_FALSE(roundTrip(*client, R"({"type":"REQUEST_RUNWAY_INFO","icao":"EDDF"})").contains("data"));
    EXPECT_EQ(roundTrip(*client, R"({"type":"PING"})"),
              (json{{"type", "error"}, {"success", false}, {"error", "Unknown command type: PING"}, {"timestamp", now}}));
    EXPECT_EQ(roundTrip(*client, R"({"type":"SHUTDOWN"})"), (json{{"type", "error"}, {"message", "callback failed"}}));
    client->Close();
    server.Stop();  // the handler refers to this test's counter
}

TEST_F(ServerTest, StatusProviderGreetsNewClientsAndHearsClosures) {
    std::atomic<int> opened{0};
    std::atomic<int> closed{0};
    server.SetConnectionStatusProvider([&](bool connected) -> std::unique_ptr<json> {
        if (!connected) {
            ++closed;
            return std::make_unique<json>(json{{"type", "never_sent"}});
        }
        switch (opened++) {
            case 0: return std::make_unique<json>(json{{"type", "sim_status"}, {"sim_connected", false}});
            case 1: return nullptr;
            case 2: return std::make_unique<json>(nullptr);
            default: return std::make_unique<json>(json::object());
        }
    });
    auto first = connect();
    EXPECT_EQ(first->ReadJson(), (json{{"type", "sim_status"}, {"sim_connected", false}}));
    for (int i = 0; i < 3; ++i) {
        auto quiet = connect();
        EXPECT_EQ(roundTrip(*quiet, R"({"type":"ping"})")["type"], "pong");
        quiet->Close();
    }
    EXPECT_TRUE(eventually([&] { return closed.load() == 3; }));
    EXPECT_EQ(opened.load(), 4);
    first->Close();
    server.Stop();  // the provider refers to this test's counters
}

TEST_F(ServerTest, ClosesOversizedMessagesWith1009AndInvalidUtf8With1007) {
    auto justFits = connect();
    const std::string fits = R"({"type":")" + std::string(WebSocketServer::kMaxPayloadBytes - 11, 'x') + R"("})";
    ASSERT_EQ(fits.size(), WebSocketServer::kMaxPayloadBytes);
    EXPECT_FALSE(justFits->WriteText(fits));  // unknown type, no handler: no answer
    EXPECT_EQ(roundTrip(*justFits, R"({"type":"ping"})")["type"], "pong");

    auto big = connect();
    big->WriteText(fits + " ");  // may fail once the server has closed
    EXPECT_EQ(big->WaitForClose(), 1009);

    auto garbled = connect();
    EXPECT_FALSE(garbled->WriteText("{\"type\":\"\xff\xfe\"}"));
    EXPECT_EQ(garbled->WaitForClose(), 1007);
    EXPECT_TRUE(eventually([&] { return server.GetClientCount() == 1; }));
}

TEST_F(ServerTest, SixthClientIsRefusedUntilOneLeaves) {
    std::vector<std::unique_ptr<WsTestClient>> clients;
    for (int i = 0; i < 5; ++i) clients.push_back(connect());
    EXPECT_EQ(server.GetClientCount(), 5u);

    WsTestClient sixth;
    EXPECT_EQ(sixth.Connect(port), test::websocket::error::upgrade_declined);
    EXPECT_EQ(sixth.response().result_int(), 503);
    EXPECT_EQ(sixth.response().body(), "Connection limit reached");

    clients.front()->Close();
    ASSERT_TRUE(eventually([&] { return server.GetClientCount() == 4; }));
    auto later = connect();
    EXPECT_EQ(server.GetClientCount(), 5u);
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
    EXPECT_EQ(roundTrip(*client, R"({"type":"ping"})")["type"], "pong");

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
// HTTP routes and refusals

TEST_F(ServerTest, HealthReportsTheServerState) {
    auto client = connect();
    const auto result = test::httpGet(port, "/health?probe=1");
    ASSERT_FALSE(result.error) << result.error.message();
    EXPECT_EQ(result.response.result_int(), 200);
    EXPECT_EQ(result.response[test::http::field::content_type], "application/json");
    EXPECT_EQ(result.response[test::http::field::access_control_allow_origin], "*");
    const std::string& body = result.response.body();
    EXPECT_EQ(body, json::parse(body).dump());
    EXPECT_EQ(json::parse(body), (json{{"status", "healthy"},
                                       {"service", "Navorel Bridge"},
                                       {"version", "1.0.0"},
                                       {"connections", 1},
                                       {"maxConnections", 5},
                                       {"acceptingConnections", true},
                                       {"timestamp", toUnixTicks100ns(clock.systemNow())}}));
}

TEST_F(ServerTest, RootDescribesTheEndpoints) {
    const auto result = test::httpGet(port, "/");
    ASSERT_FALSE(result.error);
    EXPECT_EQ(result.response.result_int(), 200);
    EXPECT_EQ(result.response[test::http::field::content_type], "text/plain");
    const std::string p = std::to_string(port);
    EXPECT_EQ(result.response.body(), "Navorel Bridge WebSocket Server 1.0.0\nWebSocket endpoint: ws://localhost:" + p +
                                          "/\nHealth check: http://localhost:" + p + "/health");
}

TEST_F(ServerTest, EverythingElseIsNotFound) {
    EXPECT_EQ(test::httpGet(port, "/healthz").response.result_int(), 404);
    EXPECT_EQ(test::httpGet(port, "/health/").response.result_int(), 404);
    const auto post = test::httpExchange(
        port, "POST /health HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
    EXPECT_EQ(post.response.result_int(), 404);
    // A key of the wrong length is no upgrade.
    EXPECT_EQ(test::httpGet(port, "/ws", {{"Sec-WebSocket-Key", "short"}}).response.result_int(), 404);
}

TEST_F(ServerTest, OversizedHeadersGet431AndGarbageIsClosed) {
    const auto big = test::httpGet(port, "/health", {{"X-Filler", std::string(5000, 'a')}});
    ASSERT_FALSE(big.error) << big.error.message();
    EXPECT_EQ(big.response.result_int(), 431);
    EXPECT_EQ(test::httpGet(port, "/health", {{"X-Filler", std::string(3000, 'a')}}).response.result_int(), 200);

    const auto garbage = test::httpExchange(port, std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15));
    EXPECT_TRUE(garbage.error);
    EXPECT_NE(garbage.error, test::net::error::timed_out);
}

TEST_F(ServerTest, ForeignHostsAreForbiddenForRoutesAndUpgrades) {
    for (const char* host : {"evil.example", "127.0.0.1.evil.example", "localhost:80:80", "localhost:", "[::2]"}) {
        EXPECT_EQ(test::httpGet(port, "/health", {}, host).response.result_int(), 403) << host;
    }
    EXPECT_EQ(test::httpGet(port, "/health", {{"Host", ""}}, "").response.result_int(), 403);
    EXPECT_EQ(test::httpGet(port, "/health", {{"Host", "evil.example"}}).response.result_int(), 403);
    for (const char* host : {"localhost", "LOCALHOST:8380", "127.0.0.1:1", "[::1]", "[::1]:8380"}) {
        EXPECT_EQ(test::httpGet(port, "/health", {}, host).response.result_int(), 200) << host;
    }
    // No Host at all (HTTP/1.0 style) is a native client.
    EXPECT_EQ(test::httpExchange(port, "GET /health HTTP/1.0\r\n\r\n").response.result_int(), 200);

    WsTestClient rebound;
    EXPECT_EQ(rebound.Connect(port, test::ClientOptions::WithHost("attacker.example")), test::websocket::error::upgrade_declined);
    EXPECT_EQ(rebound.response().result_int(), 403);
    EXPECT_EQ(server.GetClientCount(), 0u);
}

TEST_F(ServerTest, BrowserOriginsMustBeLocalOrAllowed) {
    for (const char* origin : {"https://evil.example", "null", "http://localhost.evil.example",
                               "https://acars.example.com/", "http://127.0.0.1:3000/path"}) {
        WsTestClient page;
        EXPECT_EQ(page.Connect(port, test::ClientOptions::WithHeader("Origin", origin)), test::websocket::error::upgrade_declined)
            << origin;
        EXPECT_EQ(page.response().result_int(), 403) << origin;
    }
    for (const char* origin : {"file://", "http://localhost", "http://127.0.0.1:3000", "https://[::1]:8443",
                               "https://acars.example.com"}) {
        WsTestClient page;
        EXPECT_FALSE(page.Connect(port, test::ClientOptions::WithHeader("Origin", origin))) << origin;
        EXPECT_EQ(page.ReadJson()["type"], "connection") << origin;
        page.Close();
        ASSERT_TRUE(eventually([&] { return server.GetClientCount() == 0; }));
    }
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

TEST_F(ServerTest, BroadcastWithoutClientsSendsNothing) {
    server.BroadcastJson({{"type", "nobody"}});
    auto client = connect();
    EXPECT_EQ(roundTrip(*client, R"({"type":"ping"})")["type"], "pong");
}

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
        // Answers to the client are not held: the pong overtakes both.
        EXPECT_EQ(roundTrip(*client, R"({"type":"ping"})")["type"], "pong");
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
