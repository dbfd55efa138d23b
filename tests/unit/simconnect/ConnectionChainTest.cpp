#include "simconnect/Transport.h"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <chrono>
#include <map>
#include <set>

#include "unit/simconnect/SimConnectTestSupport.h"

namespace navorel::simconnect {
namespace {

namespace asio = boost::asio;

constexpr const char* kLocalPipe = "pipe \\\\.\\pipe\\Microsoft Flight Simulator\\SimConnect";

class NullStream final : public platform::AsyncByteStream {
public:
    void asyncReadSome(std::span<std::byte>, Completion) override {}
    void asyncWrite(std::span<const std::byte>, Completion) override {}
    void close() override {}
};

// Records every step the chain tries; the steps named in `connects` succeed.
class RecordingOpener final : public TransportOpener {
public:
    explicit RecordingOpener(std::set<std::string> connects = {}) : connects_(std::move(connects)) {}

    std::unique_ptr<platform::AsyncByteStream> openPipe(asio::io_context&, const std::string& name) override {
        return step("pipe " + name);
    }
    std::unique_ptr<platform::AsyncByteStream> connectTcp(asio::io_context&, Protocol family,
                                                          const std::string& address, const std::string& port,
                                                          bool) override {
        return step((family == Protocol::IPV6 ? "tcp6 " : "tcp4 ") + address + " " + port);
    }
    std::vector<std::string> steps;

private:
    std::unique_ptr<platform::AsyncByteStream> step(const std::string& what) {
        steps.push_back(what);
        return connects_.count(what) ? std::make_unique<NullStream>() : nullptr;
    }
    std::set<std::string> connects_;
};

TEST(ConnectionChainTest, StepsTriedInOrderAndAtMostOnce) {
    const std::map<Protocol, std::string> registryPorts{{Protocol::IPV6, "6506"}, {Protocol::IPV4, "4504"}};
    struct Case {
        const char* what;
        ConnectionSettings settings;
        bool registry;
        std::set<std::string> connects;
        std::vector<std::string> steps;
    };
    const Case cases[] = {
        {"nothing configured or registered: both TCP steps skipped", {}, false, {}, {kLocalPipe, kLocalPipe}},
        {"registered ports, no pipe", {}, true, {}, {kLocalPipe, "tcp6 ::1 6506", "tcp4 127.0.0.1 4504", kLocalPipe}},
        {"the pipe answers", {}, true, {kLocalPipe}, {kLocalPipe}},
        {"IPv6 answers", {}, true, {"tcp6 ::1 6506"}, {kLocalPipe, "tcp6 ::1 6506"}},
        {"a named local pipe", {Protocol::PIPE, ".", "MyPipe"}, true, {},
         {"pipe \\\\.\\pipe\\MyPipe", "tcp6 ::1 6506", "tcp4 127.0.0.1 4504", kLocalPipe}},
        {"a remote pipe has no fallback", {Protocol::PIPE, "simbox", ""}, true, {},
         {"pipe \\\\simbox\\pipe\\Microsoft Flight Simulator\\SimConnect"}},
        {"IPv4 configured: starts at IPv4", {Protocol::IPV4, "127.0.0.1", "500"}, true, {},
         {"tcp4 127.0.0.1 500", kLocalPipe}},
        {"IPv6 on the loopback falls back to IPv4", {Protocol::IPV6, "::1", "9"}, true, {},
         {"tcp6 ::1 9", "tcp4 127.0.0.1 4504", kLocalPipe}},
        {"a remote host has no fallback", {Protocol::IPV4, "10.0.0.5", "500"}, true, {}, {"tcp4 10.0.0.5 500"}},
    };
    asio::io_context io;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingOpener opener(c.connects);
        const auto registry = [&](Protocol p) { return c.registry ? registryPorts.at(p) : std::string(); };
        const auto stream = connectByChain(io, c.settings, registry, opener);
        EXPECT_EQ(stream != nullptr, !c.connects.empty());
        EXPECT_EQ(opener.steps, c.steps);
    }
}

TEST(ConnectionChainTest, CompletionErrorsMapToCloseReasons) {
    struct Case {
        boost::system::error_code error;
        CloseReason reason;
        Result status;
    };
    const Case cases[] = {
        {asio::error::eof, CloseReason::PEER_CLOSED, 0xC000013E},
        {asio::error::operation_aborted, CloseReason::CANCELLED, 0xC0000120},
        {asio::error::connection_reset, CloseReason::DISCONNECTED, 0xC000020D},
        {asio::error::broken_pipe, CloseReason::DISCONNECTED, 0xC000014B},
        {asio::error::connection_aborted, CloseReason::DISCONNECTED, 0xC000013C},
        {asio::error::timed_out, CloseReason::OTHER_ERROR,
         result::fromOsError(boost::system::error_code(asio::error::timed_out).value())},
    };
    for (const Case& c : cases) {
        const CloseCause cause = closeCauseOf(c.error);
        EXPECT_EQ(cause.reason, c.reason) << c.error.message();
        EXPECT_EQ(cause.status, c.status) << c.error.message();
    }
}

// With no simulator, no files and no registry, the real transports give up
// at once: the pipe step fails without waiting, both TCP steps are skipped.
TEST(ConnectionChainTest, OpenWithoutASimulatorFailsQuickly) {
    ConnectorOptions options;
    options.settingsSources = [] { return SettingsSources{}; };
    NetworkConnector connector(options);
    std::unique_ptr<Connection> connection;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connector.open(connection, "Navorel Bridge", {}, 0), result::FAIL);
    EXPECT_EQ(connection, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    const std::string longName(256, 'x');
    EXPECT_EQ(connector.open(connection, longName.c_str(), {}, 0), result::FAIL);
    EXPECT_EQ(connector.open(connection, "Navorel Bridge", {}, 5), result::INVALID_ARG);
}

}  // namespace
}  // namespace navorel::simconnect
