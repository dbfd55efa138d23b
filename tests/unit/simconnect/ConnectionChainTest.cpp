#include "simconnect/Transport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "unit/simconnect/SimConnectTestSupport.h"

namespace navorel::simconnect {
namespace {

namespace asio = boost::asio;

constexpr const char* kLocalPipe = "pipe \\\\.\\pipe\\Microsoft Flight Simulator\\SimConnect";

// Records every step the chain tries; the step named `connects` succeeds.
struct RecordingOpener final : TransportOpener {
    std::unique_ptr<platform::AsyncByteStream> openPipe(asio::io_context& io, const std::string& name) override {
        return step(io, std::string("pipe ").append(name));
    }
    std::unique_ptr<platform::AsyncByteStream> connectTcp(asio::io_context& io, Protocol family,
                                                          const std::string& address, const std::string& port,
                                                          bool) override {
        return step(io, std::string(family == Protocol::IPV6 ? "tcp6 " : "tcp4 ").append(address + " " + port));
    }
    std::unique_ptr<platform::AsyncByteStream> step(asio::io_context& io, const std::string& what) {
        steps.push_back(what);
        return what == connects ? makeTcpStream(asio::ip::tcp::socket(io)) : nullptr;
    }
    std::string connects;
    std::vector<std::string> steps;
};

TEST(ConnectionChainTest, StepsTriedInOrderAndAtMostOnce) {
    // What, the settings, whether ports are registered, the step that connects, the steps tried.
    const std::tuple<const char*, ConnectionSettings, bool, std::string, std::vector<std::string>> cases[] = {
        {"nothing configured or registered: both TCP steps skipped", {}, false, "", {kLocalPipe, kLocalPipe}},
        {"registered ports, no pipe", {}, true, "", {kLocalPipe, "tcp6 ::1 6506", "tcp4 127.0.0.1 4504", kLocalPipe}},
        {"the pipe answers", {}, true, kLocalPipe, {kLocalPipe}},
        {"IPv6 answers", {}, true, "tcp6 ::1 6506", {kLocalPipe, "tcp6 ::1 6506"}},
        {"a named local pipe", {Protocol::PIPE, ".", "MyPipe"}, true, "",
         {"pipe \\\\.\\pipe\\MyPipe", "tcp6 ::1 6506", "tcp4 127.0.0.1 4504", kLocalPipe}},
        {"a remote pipe has no fallback", {Protocol::PIPE, "simbox", ""}, true, "",
         {"pipe \\\\simbox\\pipe\\Microsoft Flight Simulator\\SimConnect"}},
        {"IPv4 configured: starts at IPv4", {Protocol::IPV4, "127.0.0.1", "500"}, true, "",
         {"tcp4 127.0.0.1 500", kLocalPipe}},
        {"IPv6 on the loopback falls back to IPv4", {Protocol::IPV6, "::1", "9"}, true, "",
         {"tcp6 ::1 9", "tcp4 127.0.0.1 4504", kLocalPipe}},
        {"a remote host has no fallback", {Protocol::IPV4, "10.0.0.5", "500"}, true, "", {"tcp4 10.0.0.5 500"}},
    };
    asio::io_context io;
    for (const auto& [what, settings, registered, connects, steps] : cases) {
        SCOPED_TRACE(what);
        RecordingOpener opener;
        opener.connects = connects;
        const auto registry = [&](Protocol p) { return registered ? (p == Protocol::IPV6 ? "6506" : "4504") : ""; };
        EXPECT_EQ(connectByChain(io, settings, registry, opener) != nullptr, !connects.empty());
        EXPECT_EQ(opener.steps, steps);
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
    EXPECT_EQ(connector.open(connection, std::string(256, 'x').c_str(), {}, 0), result::FAIL);
    EXPECT_EQ(connector.open(connection, "Navorel Bridge", {}, 5), result::INVALID_ARG);
}

}  // namespace
}  // namespace navorel::simconnect
