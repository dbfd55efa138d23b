// Windows only: the named-pipe transport for real, and the registry's ports.

#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <future>
#include <thread>

#include "SimConnectTestSupport.h"
#include "platform/NamedPipe.h"
#include "platform/Registry.h"

namespace navorel::simconnect {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using wire::MessageId;

std::string uniqueName(const char* what) { return std::string("navorel-") + what + "-" + std::to_string(GetCurrentProcessId()); }

std::unique_ptr<Connection> openPipe(const std::string& pipe, test::Received& received, Result expected = result::OK) {
    test::TempDir config;
    test::writeConfig(config, "[SimConnect]\nProtocol=Pipe\nPort=" + pipe + "\n");
    std::unique_ptr<Connection> connection;
    EXPECT_EQ(NetworkConnector(test::configOnly(config)).open(connection, "Navorel Bridge", received.notifier(), 0),
              expected);
    return connection;
}

TEST(PipeConnectionTest, TalksToTheFakeSimulatorOverAPipe) {
    const std::string pipe = uniqueName("pipe");
    test::Simulator sim("\\\\.\\pipe\\" + pipe);
    ASSERT_TRUE(sim.lines.waitFor("listen pipe"));
    test::Received received;
    const auto connection = openPipe(pipe, received);
    ASSERT_TRUE(connection);
    EXPECT_TRUE(sim.lines.waitFor("connected pipe"));
    EXPECT_TRUE(sim.lines.waitFor("recv Open name=\"Navorel Bridge\""));
    ASSERT_TRUE(received.waitFor(*connection, MessageId::OPEN));

    // The simulator going away closes the connection with the pipe's status.
    ASSERT_TRUE(sim.simulator.command("close"));
    const Result status = received.waitForClose(*connection);
    EXPECT_TRUE(status == result::PIPE_BROKEN || status == result::PEER_CLOSED) << std::hex << status;
}

// A pipe whose only instance is taken: the open waits for the pipe and gets
// the instance that the server offers once the first client is gone.
TEST(PipeConnectionTest, ABusyPipeIsTriedAgainAfterTheWait) {
    const std::string pipe = uniqueName("busy");
    const std::string name = "\\\\.\\pipe\\" + pipe;
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::thread thread([&] { io.run(); });
    const auto server = platform::NamedPipeServer::create(io, name, 1);
    ASSERT_TRUE(server);

    std::unique_ptr<platform::AsyncByteStream> first, second;
    std::promise<void> firstAccepted;
    asio::post(io, [&] {
        server->asyncAccept([&](std::unique_ptr<platform::AsyncByteStream> stream) {
            first = std::move(stream);
            firstAccepted.set_value();
        });
    });
    auto occupant = platform::openNamedPipe(io, name, 5000ms);
    ASSERT_TRUE(occupant);
    firstAccepted.get_future().wait();
    ASSERT_TRUE(first);

    asio::steady_timer release(io, 300ms);
    release.async_wait([&](const boost::system::error_code&) {
        first->close();
        server->asyncAccept([&](std::unique_ptr<platform::AsyncByteStream> stream) { second = std::move(stream); });
    });
    test::Received received;
    const auto start = std::chrono::steady_clock::now();
    auto connection = openPipe(pipe, received);
    EXPECT_TRUE(connection);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);

    connection.reset();
    asio::post(io, [&] {
        for (auto* stream : {&first, &second, &occupant}) {
            if (*stream) (*stream)->close();
        }
        server->close();
    });
    work.reset();
    thread.join();
    EXPECT_TRUE(second);
}

// With no pipe, the chain goes to ::1 with the registered IPv6 port (nobody
// listens there) and then to 127.0.0.1 with the registered IPv4 port.
TEST(RegistryPortsTest, TheChainFallsBackToTheRegisteredPorts) {
    test::Simulator sim;
    const char* key = "SOFTWARE\\Microsoft\\Microsoft Games\\KittyHawk";
    const std::string port = std::to_string(sim.simulator.tcpPort());
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key, "SimConnect_Port_IPv6", REG_SZ, "1", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key, "SimConnect_Port_IPv4", REG_SZ, port.c_str(),
                              static_cast<DWORD>(port.size() + 1)),
              ERROR_SUCCESS);
    EXPECT_EQ(platform::currentUserRegistryString(key, "SimConnect_Port_IPv4", 20), port);
    EXPECT_EQ(platform::currentUserRegistryString(key, "SimConnect_Port_IPv4", 3), "");  // does not fit
    EXPECT_EQ(platform::currentUserRegistryString(key, "Missing", 20), "");

    ConnectorOptions options;
    options.settingsSources = [] {
        SettingsSources sources = SettingsSources::system();
        sources.folders.clear();
        return sources;
    };
    std::unique_ptr<Connection> connection;
    EXPECT_EQ(NetworkConnector(options).open(connection, "Navorel Bridge", {}, 0), result::OK);
    EXPECT_TRUE(sim.lines.waitFor("connected tcp 127.0.0.1"));
    connection.reset();
    RegDeleteTreeA(HKEY_CURRENT_USER, key);
}

}  // namespace
}  // namespace navorel::simconnect
