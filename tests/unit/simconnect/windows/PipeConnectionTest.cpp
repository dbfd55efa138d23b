// Windows only: the named-pipe transport for real, and the registry's ports.

#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <thread>

#include "unit/simconnect/SimConnectTestSupport.h"
#include "platform/NamedPipe.h"
#include "platform/Registry.h"

namespace navorel::simconnect {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::string uniqueName(const char* what) {
    return std::string("navorel-").append(what).append("-").append(std::to_string(GetCurrentProcessId()));
}

TEST(PipeConnectionTest, TalksToTheFakeSimulatorOverAPipe) {
    const std::string pipe = uniqueName("pipe");
    test::Simulator sim(std::string("\\\\.\\pipe\\").append(pipe));
    test::Received received;
    const auto connection = test::open(std::string("Protocol=Pipe\nPort=").append(pipe), received);
    ASSERT_TRUE(connection);
    EXPECT_TRUE(sim.waitFor("recv Open name=\"Navorel Bridge\""));
    ASSERT_TRUE(received.waitFor(*connection, wire::MessageId::OPEN));

    // The simulator going away closes the connection with the pipe's status.
    ASSERT_TRUE(sim.simulator.command("close"));
    const Result status = received.until(*connection, [] { return false; });
    EXPECT_TRUE(status == result::PIPE_BROKEN || status == result::PEER_CLOSED) << std::hex << status;
}

// A pipe server of two instances on its own thread; it keeps each client it
// accepts and offers the next instance until both are taken.
struct BusyPipe {
    explicit BusyPipe(const std::string& name) : server(platform::NamedPipeServer::create(io, name, 2)) {
        if (server) accept();
        thread = std::thread([this] { io.run(); });
    }
    ~BusyPipe() {
        asio::post(io, [this] {
            for (auto* streams : {&accepted, &occupants}) {
                for (auto& stream : *streams) stream->close();
            }
            if (server) server->close();
        });
        work.reset();
        thread.join();
    }
    void accept() {
        server->asyncAccept([this](std::unique_ptr<platform::AsyncByteStream> stream) {
            if (!stream) return;
            accepted.push_back(std::move(stream));
            if (accepted.size() != 2) accept();
        });
    }
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    std::unique_ptr<platform::NamedPipeServer> server;
    std::vector<std::unique_ptr<platform::AsyncByteStream>> accepted;   // the server ends
    std::vector<std::unique_ptr<platform::AsyncByteStream>> occupants;  // clients that take the instances
    std::thread thread;
};

// Every instance of the pipe is taken: the open waits for the pipe and gets
// the instance that the server offers once a client is gone.
TEST(PipeConnectionTest, ABusyPipeIsTriedAgainAfterTheWait) {
    const std::string pipe = uniqueName("busy");
    const std::string name = std::string("\\\\.\\pipe\\").append(pipe);
    BusyPipe busy(name);
    ASSERT_TRUE(busy.server);
    // The second occupant may find the pipe busy until its instance is offered.
    for (int i = 0; i < 2; ++i) {
        busy.occupants.push_back(platform::openNamedPipe(busy.io, name, 5000ms));
        ASSERT_TRUE(busy.occupants.back());
    }
    std::jthread release([&] {
        std::this_thread::sleep_for(300ms);
        asio::post(busy.io, [&] {
            busy.accepted.front()->close();  // a client goes, its instance with it
            busy.occupants.front()->close();
            busy.accept();
        });
    });
    test::Received received;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(test::open(std::string("Protocol=Pipe\nPort=").append(pipe), received));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
}

// With no pipe, the chain goes to ::1 with the registered IPv6 port (nobody
// listens there) and then to 127.0.0.1 with the registered IPv4 port.
TEST(RegistryPortsTest, TheChainFallsBackToTheRegisteredPorts) {
    test::Simulator sim;
    const char* key = "SOFTWARE\\Microsoft\\Microsoft Games\\KittyHawk";
    const std::string port = std::to_string(sim.simulator.tcpPort());
    const struct Cleanup {
        const char* key;
        ~Cleanup() { RegDeleteTreeA(HKEY_CURRENT_USER, key); }
    } cleanup{key};
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key, "SimConnect_Port_IPv6", REG_SZ, "1", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key, "SimConnect_Port_IPv4", REG_SZ, port.c_str(),
                              static_cast<DWORD>(port.size() + 1)),
              ERROR_SUCCESS);
    EXPECT_EQ(platform::currentUserRegistryString(key, "SimConnect_Port_IPv4", 3), "");  // does not fit
    EXPECT_EQ(platform::currentUserRegistryString(key, "Missing", 20), "");

    ConnectorOptions options;
    options.settingsSources = [] { return SettingsSources{{}, SettingsSources::system().registryPort}; };
    std::unique_ptr<Connection> connection;
    EXPECT_EQ(NetworkConnector(options).open(connection, "Navorel Bridge", {}, 0), result::OK);
    EXPECT_TRUE(sim.waitFor("connected tcp 127.0.0.1"));
}

}  // namespace
}  // namespace navorel::simconnect
