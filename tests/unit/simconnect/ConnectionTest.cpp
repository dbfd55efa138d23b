#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cmath>
#include <list>
#include <thread>

#include "unit/simconnect/SimConnectTestSupport.h"

namespace navorel::simconnect {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using test::Received;
using wire::MessageId;
using namespace std::chrono_literals;

class ConnectionTest : public ::testing::Test {
protected:
    std::unique_ptr<Connection> open(std::uint16_t port, std::chrono::milliseconds closeWait = 100ms) {
        test::writeConfig(config, "[SimConnect]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" + std::to_string(port) + "\n");
        ConnectorOptions options = test::configOnly(config);
        options.closeWait = closeWait;
        std::unique_ptr<Connection> connection;
        EXPECT_EQ(NetworkConnector(options).open(connection, "Navorel Bridge", received.notifier(), 0), result::OK);
        return connection;
    }

    test::TempDir config;
    Received received;  // outlives the connections, which call into it
};

TEST_F(ConnectionTest, TalksToTheFakeSimulator) {
    test::Simulator sim;
    const auto connection = open(sim.simulator.tcpPort());
    ASSERT_TRUE(connection);
    EXPECT_TRUE(sim.lines.waitFor("recv Open name=\"Navorel Bridge\" version=11.0.62651.3"));
    const auto openReply = received.waitFor(*connection, MessageId::OPEN);
    ASSERT_TRUE(openReply);
    EXPECT_NE(wire::decodeOpenMessage(*openReply)->applicationName.find("2020"), std::string::npos);

    EXPECT_EQ(connection->addToDataDefinition(0, "PLANE LATITUDE", "degrees", DataType::FLOAT64, 0, UNUSED_DATUM_ID),
              result::OK);
    EXPECT_EQ(connection->addToDataDefinition(0, "TITLE", nullptr, DataType::STRING256, 0, UNUSED_DATUM_ID),
              result::OK);
    EXPECT_EQ(connection->requestDataOnSimObject(0, 0, USER_OBJECT, Period::ONCE, 0, 0, 0, 0), result::OK);
    const auto data = received.waitFor(*connection, MessageId::SIM_OBJECT_DATA);
    ASSERT_TRUE(data);
    const auto block = wire::decodeSimObjectData(*data)->data;
    ASSERT_EQ(block.size(), 8u + 256u);
    EXPECT_NEAR(wire::readF64(block.data()), 37.6, 0.1);
    EXPECT_EQ(wire::readText(block.data() + 8, 256), "Airbus A320 (Navorel fake simulator)");

    // PAUSE_SET comes back as the "Pause" system event it was subscribed under.
    EXPECT_EQ(connection->subscribeToSystemEvent(2, "Pause"), result::OK);
    EXPECT_EQ(connection->mapClientEventToSimEvent(1000, "PAUSE_SET"), result::OK);
    EXPECT_EQ(connection->transmitClientEvent(USER_OBJECT, 1000, 1, GROUP_PRIORITY_HIGHEST,
                                              EVENT_FLAG_GROUPID_IS_PRIORITY),
              result::OK);
    const auto event = received.waitFor(*connection, MessageId::EVENT);
    ASSERT_TRUE(event);
    EXPECT_EQ(wire::decodeEvent(*event)->eventId, 2u);
    EXPECT_EQ(wire::decodeEvent(*event)->data, 1u);
    EXPECT_TRUE(sim.lines.waitFor("recv TransmitClientEvent object=0 event=1000 data=1 group=1 flags=0x10"));
}

TEST_F(ConnectionTest, FacilityAnswersLinkThresholdsToTheirRunways) {
    test::Simulator sim;
    const auto connection = open(sim.simulator.tcpPort());
    ASSERT_TRUE(connection);
    for (const char* field : {"OPEN AIRPORT", "ICAO", "N_RUNWAYS", "OPEN RUNWAY", "PRIMARY_NUMBER",
                              "OPEN PRIMARY_THRESHOLD", "ENABLE", "CLOSE PRIMARY_THRESHOLD", "OPEN SECONDARY_THRESHOLD",
                              "ENABLE", "CLOSE SECONDARY_THRESHOLD", "CLOSE RUNWAY", "CLOSE AIRPORT"}) {
        ASSERT_EQ(connection->addToFacilityDefinition(7, field), result::OK);
    }
    ASSERT_EQ(connection->requestFacilityData(7, 10000, "ZZZZ", nullptr), result::OK);
    ASSERT_EQ(connection->requestFacilityData(7, 10001, "KSFO", nullptr), result::OK);
    ASSERT_TRUE(received.waitUntil(*connection, [&] { return received.all(MessageId::FACILITY_DATA_END).size() == 2; }));

    // The unknown code gets only its end message, which comes first; the airport's end comes last.
    EXPECT_EQ(wire::decodeFacilityDataEnd(received.all(MessageId::FACILITY_DATA_END).front())->requestId, 10000u);
    EXPECT_EQ(wire::decodeFacilityDataEnd(received.messages.back())->requestId, 10001u);
    std::map<std::uint32_t, int> thresholdsOfRunway;
    for (const wire::Packet& message : received.all(MessageId::FACILITY_DATA)) {
        const auto item = *wire::decodeFacilityData(message);
        EXPECT_EQ(item.userRequestId, 10001u);
        EXPECT_TRUE(item.type != 0 || item.data.size() == 8u + 4u) << "only the fields asked for";
        if (item.type == 1) thresholdsOfRunway[item.uniqueRequestId] = 0;
        if (item.type == 23) ++thresholdsOfRunway.at(item.parentUniqueRequestId);
    }
    EXPECT_EQ(thresholdsOfRunway.size(), 4u);
    for (const auto& [runway, thresholds] : thresholdsOfRunway) EXPECT_EQ(thresholds, 2) << runway;
}

// The fake simulator names the offending request's sequence number in the
// exception it sends for an unknown variable.
TEST_F(ConnectionTest, TenRequestsCarryConsecutiveSequenceNumbers) {
    test::Simulator sim;
    const auto connection = open(sim.simulator.tcpPort());
    ASSERT_TRUE(connection);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(connection->addToDataDefinition(1, "NO SUCH VARIABLE", "", DataType::FLOAT64, 0, 0), result::OK);
    }
    ASSERT_TRUE(received.waitUntil(*connection, [&] { return received.all(MessageId::EXCEPTION).size() == 10; }));
    std::vector<std::uint32_t> sendIds;
    for (const wire::Packet& m : received.all(MessageId::EXCEPTION)) sendIds.push_back(wire::decodeException(m)->sendId);
    // The open request was number 1.
    EXPECT_EQ(sendIds, (std::vector<std::uint32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST_F(ConnectionTest, AClosedConnectionReturnsItsStatusFromThenOn) {
    struct Case {
        const char* command;
        Result status;
    };
    const Case cases[] = {{"close", result::PEER_CLOSED}, {"bad-size", result::BAD_MESSAGE_SIZE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        test::Simulator sim;
        received.messages.clear();
        const auto connection = open(sim.simulator.tcpPort());
        ASSERT_TRUE(connection);
        ASSERT_TRUE(received.waitFor(*connection, MessageId::OPEN));
        ASSERT_TRUE(sim.simulator.command(c.command));
        // Dispatch reports the status once the close has happened; requests do the same.
        EXPECT_EQ(received.waitForClose(*connection), c.status);
        EXPECT_EQ(connection->callDispatch(nullptr), c.status);
        EXPECT_EQ(connection->subscribeToSystemEvent(0, "Pause"), c.status);
        EXPECT_EQ(connection->requestFacilityData(7, 1, std::string(40, 'X').c_str(), ""), c.status);
        EXPECT_EQ(connection->close(), result::OK);
        EXPECT_EQ(connection->subscribeToSystemEvent(0, "Pause"), result::FAIL);
    }
}

// A peer on its own thread: sends `script` to each client, or streams messages
// without pause, or never reads at all; stopped and joined on destruction.
class TestPeer {
public:
    enum class Mode { SCRIPT, STREAM, SILENT };

    explicit TestPeer(Mode mode, wire::Packet script = {}) : mode_(mode), script_(std::move(script)) {
        acceptor_.open(tcp::v4());
        acceptor_.bind(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~TestPeer() {
        asio::post(io_, [this] {
            acceptor_.close();
            for (tcp::socket& socket : sockets_) socket.close();
        });
        thread_.join();
    }
    std::uint16_t port() const { return port_; }

private:
    void accept() {
        acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
            if (error) return;
            tcp::socket& s = sockets_.emplace_back(std::move(socket));
            if (mode_ != Mode::SILENT) drain(s);
            if (mode_ != Mode::SILENT) send(s);
            accept();
        });
    }
    void drain(tcp::socket& s) {
        s.async_read_some(asio::buffer(sink_), [this, &s](const boost::system::error_code& error, std::size_t) {
            if (!error) drain(s);
        });
    }
    void send(tcp::socket& s) {
        asio::async_write(s, asio::buffer(script_), [this, &s](const boost::system::error_code& error, std::size_t) {
            if (!error && mode_ == Mode::STREAM) send(s);
        });
    }

    const Mode mode_;
    const wire::Packet script_;
    asio::io_context io_;
    tcp::acceptor acceptor_{io_};
    std::uint16_t port_ = 0;
    std::list<tcp::socket> sockets_;
    std::array<char, 4096> sink_{};
    std::thread thread_;
};

wire::Packet header(std::uint32_t size, MessageId id) {
    wire::ByteWriter writer(size);
    writer.u32(0, size);
    if (size >= 12) writer.u32(8, static_cast<std::uint32_t>(id));
    return writer.take();
}

TEST_F(ConnectionTest, DispatchSkipsMessagesShorterThanAHeaderAndNeedsAProcedure) {
    wire::Packet script = header(4, MessageId::EVENT);
    for (const auto& more : {header(8, MessageId::EVENT), header(12, MessageId::QUIT)}) {
        script.insert(script.end(), more.begin(), more.end());
    }
    TestPeer peer(TestPeer::Mode::SCRIPT, script);
    const auto connection = open(peer.port());
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->callDispatch(nullptr), result::FAIL);  // no procedure yet
    ASSERT_TRUE(received.waitFor(*connection, MessageId::QUIT));
    EXPECT_EQ(received.messages.size(), 1u);
    EXPECT_EQ(connection->callDispatch(nullptr), result::OK);  // the last one used
}

// Run under the sanitizers: completions that arrive after close still find
// their objects, and the I/O thread starts and stops with the connections.
TEST_F(ConnectionTest, OpenAndCloseAgainstAPeerThatNeverStopsSending) {
    wire::Packet burst;
    for (int i = 0; i < 50; ++i) {
        const wire::Packet m = header(40 + i, MessageId::SIM_OBJECT_DATA);
        burst.insert(burst.end(), m.begin(), m.end());
    }
    TestPeer peer(TestPeer::Mode::STREAM, burst);
    for (int round = 0; round < 20; ++round) {
        auto connection = open(peer.port(), 0ms);
        ASSERT_TRUE(connection);
        if (round % 2 == 0) received.waitFor(*connection, MessageId::SIM_OBJECT_DATA, 1s);
        received.messages.clear();
        if (round % 3 == 0) {
            connection.reset();  // the destructor closes
        } else {
            EXPECT_EQ(connection->close(), result::OK);
        }
    }
}

TEST_F(ConnectionTest, CloseWithAWriteInFlight) {
    TestPeer peer(TestPeer::Mode::SILENT);
    const auto connection = open(peer.port(), 50ms);
    ASSERT_TRUE(connection);
    // Far more than the socket buffers hold, with a peer that reads nothing.
    for (int i = 0; i < 40000; ++i) {
        ASSERT_EQ(connection->addToDataDefinition(1, "PLANE LATITUDE", "degrees", DataType::FLOAT64, 0, 0),
                  result::OK);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connection->close(), result::OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(connection->close(), result::OK);
}

}  // namespace
}  // namespace navorel::simconnect
