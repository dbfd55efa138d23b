// Windows only: the named-pipe transport for real, and the registry's ports.

#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <future>
#include <thread>

#include "unit/simconnect/SimConnectTestSupport.h"
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

// A pipe server of two instances on its own thread; each client it accepts
// is kept, and the next instance offered, until both are taken.
struct BusyPipe {
    explicit BusyPipe(const std::string& name) : server(platform::NamedPipeServer::create(io, name, 2)) {}
    ~BusyPipe() {
        const auto closeAll = [this] {
            for (auto* streams : {&accepted, &occupants}) {
                for (auto& stream : *streams) stream->close();
            }
            if (server) server->close();
        };
        if (thread.joinable()) {
            asio::post(io, closeAll);
            work.reset();
            thread.join();
        } else {
            closeAll();
        }
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
    const std::string name = "\\\\.\\pipe\\" + pipe;
    BusyPipe busy(name);
    ASSERT_TRUE(busy.server);
    busy.accept();
    busy.thread = std::thread([&] { busy.io.run(); });
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
    EXPECT_TRUE(openPipe(pipe, received));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
}

// With no pipe, the chain goes to ::1 with the registered IPv6 port (nobody
// listens there) and then to 127.0.0.1 with the registered IPv4 port.
TEST(RegistryPortsTest, TheChainFallsBackToTheRegisteredPorts) {
    test::Simulator sim;
    const char* key = "SOFTWARE\\Microsoft\\Microsoft Games\\KittyHawk";
    const std::string port = std::to_string(sim.simulator.tcpPort());
    struct Cleanup {
        const char* key;
        ~Cleanup() { RegDeleteTreeA(HKEY_CURRENT_USER, key); }
    } cleanup{key};
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
}

}  // namespace
}  // namespace navorel::simconnect
