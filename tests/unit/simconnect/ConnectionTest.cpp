#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <list>
#include <thread>
#include <tuple>

#include "support/Eventually.h"
#include "unit/simconnect/SimConnectTestSupport.h"

namespace navorel::simconnect {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using test::Received;
using wire::MessageId;
using namespace std::chrono_literals;

std::string tcpKeys(std::uint16_t port) {
    return std::string("Protocol=IPv4\nAddress=127.0.0.1\nPort=").append(std::to_string(port));
}

TEST(ConnectionTest, TalksToTheFakeSimulator) {
    test::Simulator sim;
    Received received;
    const auto connection = test::open(tcpKeys(sim.simulator.tcpPort()), received);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(received.waitFor(*connection, MessageId::OPEN));
    const auto open = wire::decodeOpenMessage(received.all(MessageId::OPEN)[0]);
    EXPECT_NE(open->applicationName.find("2020"), std::string::npos);
    EXPECT_GT(received.notified, 0);

    // The simulator names the offending request's sequence number in the
    // exception for an unknown variable; the open request was number 1.
    for (int i = 0; i < 10; ++i) connection->addToDataDefinition(1, "NO SUCH VARIABLE", "", DataType::INT32, 0, 0);
    ASSERT_TRUE(received.waitFor(*connection, MessageId::EXCEPTION, 10));
    std::vector<std::uint32_t> sendIds;
    for (const auto& m : received.all(MessageId::EXCEPTION)) sendIds.push_back(wire::decodeException(m)->sendId);
    EXPECT_EQ(sendIds, (std::vector<std::uint32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));

    // Every call's arguments arrive in their places.
    EXPECT_EQ(connection->addToDataDefinition(3, "TITLE", nullptr, DataType::STRING256, 0.5F, 9), result::OK);
    EXPECT_EQ(connection->requestDataOnSimObject(4, 3, USER_OBJECT, Period::ONCE, 1, 2, 6, 7), result::OK);
    EXPECT_EQ(connection->subscribeToSystemEvent(2, "Pause"), result::OK);
    EXPECT_EQ(connection->mapClientEventToSimEvent(1000, "PAUSE_SET"), result::OK);
    EXPECT_EQ(connection->transmitClientEvent(USER_OBJECT, 1000, 1, 5, EVENT_FLAG_GROUPID_IS_PRIORITY), result::OK);
    EXPECT_EQ(connection->addToFacilityDefinition(7, "OPEN AIRPORT"), result::OK);
    EXPECT_EQ(connection->requestFacilityData(7, 8, "KSFO", "K2"), result::OK);
    const char* lines[] = {
        "recv Open name=\"Navorel Bridge\" version=11.0.62651.3",
        "recv AddToDataDefinition define=3 name=\"TITLE\" units=\"\" type=STRING256 epsilon=0.5 datum=9",
        "recv RequestDataOnSimObject request=4 define=3 object=0 period=ONCE flags=1 origin=2 interval=6 limit=7",
        "recv SubscribeToSystemEvent event=2 name=\"Pause\"",
        "recv MapClientEventToSimEvent event=1000 name=\"PAUSE_SET\"",
        "recv TransmitClientEvent object=0 event=1000 data=1 group=5 flags=0x10",
        "recv AddToFacilityDefinition define=7 name=\"OPEN AIRPORT\"",
        "recv RequestFacilityData define=7 request=8 icao=\"KSFO\" region=\"K2\"",
    };
    for (const char* line : lines) EXPECT_TRUE(sim.waitFor(line)) << line;
}

// A peer on its own thread that sends `script` to each client and then ends
// its side, or with `repeat` sends it again and again.
struct TestPeer {
    TestPeer(wire::Packet bytes, bool again) : script(std::move(bytes)), repeat(again) {
        accept();
        thread = std::thread([this] { io.run(); });
    }
    ~TestPeer() {
        asio::post(io, [this] {
            acceptor.close();
            for (tcp::socket& socket : sockets) socket.close();
        });
        thread.join();
    }
    void accept() {
        acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
            if (error) return;
            tcp::socket& s = sockets.emplace_back(std::move(socket));
            // Like a simulator, it answers the open request.
            asio::async_read(s, asio::buffer(request), [this, &s](const boost::system::error_code& error, std::size_t) {
                if (!error) send(s);
            });
            accept();
        });
    }
    void send(tcp::socket& s) {
        asio::async_write(s, asio::buffer(script), [this, &s](const boost::system::error_code& error, std::size_t) {
            boost::system::error_code ignored;
            if (!error && repeat) send(s);
            if (!error && !repeat) s.shutdown(tcp::socket::shutdown_send, ignored);
        });
    }
    asio::io_context io;
    tcp::acceptor acceptor{io, {asio::ip::make_address_v4("127.0.0.1"), 0}};
    const std::string keys = tcpKeys(acceptor.local_endpoint().port());
    const wire::Packet script;
    const bool repeat;
    std::list<tcp::socket> sockets;
    std::array<std::byte, 296> request{};
    std::thread thread;
};

wire::Packet words(std::initializer_list<std::uint32_t> values) {
    wire::ByteWriter writer;
    writer.u32s(0, values);
    return writer.take();
}

// Messages shorter than a header are skipped; the status a connection closed
// with is what dispatch and every request return from then on. The caller is
// notified of every message queued and of the failure.
TEST(ConnectionTest, AClosedConnectionReturnsItsStatusFromThenOn) {
    const std::tuple<wire::Packet, Result, int> cases[] = {
        {words({4, 8, 0, 12, 0, 3}), result::PEER_CLOSED, 4},  // messages of 4, 8 and 12 bytes, then the end
        {words({12, 0, 3, 3, 12, 0, 3}), result::BAD_MESSAGE_SIZE, 2},
    };
    for (const auto& [script, status, notifications] : cases) {
        SCOPED_TRACE(status);
        TestPeer peer(script, false);
        Received received;
        const auto connection = test::open(peer.keys, received);
        ASSERT_TRUE(connection);
        EXPECT_EQ(connection->callDispatch(nullptr), result::FAIL);  // no procedure yet
        EXPECT_EQ(received.until(*connection, [] { return false; }), status);
        EXPECT_EQ(connection->callDispatch(nullptr), status);  // the last procedure used
        EXPECT_EQ(received.messages.size(), 1u);
        EXPECT_TRUE(test::eventually([&] { return received.notified == notifications; })) << received.notified;
        EXPECT_EQ(connection->subscribeToSystemEvent(0, "Pause"), status);
        EXPECT_EQ(connection->requestFacilityData(7, 1, std::string(40, 'X').c_str(), ""), status);
        EXPECT_EQ(connection->close(), result::OK);
        EXPECT_EQ(connection->subscribeToSystemEvent(0, "Pause"), result::FAIL);
    }
}

// Run under the sanitizers: completions that arrive after close still find
// their objects, and the I/O thread starts and stops with the connections.
TEST(ConnectionTest, OpenAndCloseAgainstAPeerThatNeverStopsSending) {
    wire::Packet message = words({1000, 0, static_cast<std::uint32_t>(MessageId::SIM_OBJECT_DATA)});
    message.resize(1000);
    TestPeer peer(message, true);
    Received received;
    for (int round = 0; round < 20; ++round) {
        auto connection = test::open(peer.keys, received, 0ms);
        ASSERT_TRUE(connection);
        if (round % 2 == 0) received.until(*connection, [&] { return !received.messages.empty(); });
        received.messages.clear();
        if (round % 3 == 0) {
            connection.reset();  // the destructor closes
        } else {
            EXPECT_EQ(connection->close(), result::OK);
        }
    }
}

TEST(ConnectionTest, CloseWithAWriteInFlight) {
    asio::io_context io;
    const tcp::acceptor silent(io, {asio::ip::make_address_v4("127.0.0.1"), 0});  // never accepts: nothing is read
    Received received;
    const auto connection = test::open(tcpKeys(silent.local_endpoint().port()), received, 50ms);
    ASSERT_TRUE(connection);
    // Far more than the socket buffers hold, with a peer that reads nothing.
    for (int i = 0; i < 40000; ++i) connection->addToDataDefinition(1, "PLANE LATITUDE", "", DataType::FLOAT64, 0, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connection->close(), result::OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(connection->close(), result::OK);
}

}  // namespace
}  // namespace navorel::simconnect
