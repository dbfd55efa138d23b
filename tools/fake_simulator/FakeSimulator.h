#pragma once

// The server end of the SimConnect wire format, for tests and for client
// developers without a simulator: it listens on TCP (IPv4 and IPv6 loopback)
// and, on Windows, on the simulator's named pipe; answers the open request;
// serves every data definition at its requested period from the shared flight
// script; answers facility requests; turns the PAUSE_SET client event into the
// "Pause" system event; and sends quit, exceptions, a bad message size or an
// abrupt close on command. One client at a time: a new one replaces the old.
//
// Every request received is reported as one line ("recv ...").

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace navorel::fakesim {

struct SimulatorOptions {
    std::uint16_t port = 4500;  // 0: any free port (see tcpPort())
    bool listenIpv6 = true;
    std::string pipeName = "\\\\.\\pipe\\Microsoft Flight Simulator\\SimConnect";  // empty: no pipe
    unsigned pipeInstances = 4;
    std::string applicationName = "Microsoft Flight Simulator 2020 (Navorel fake simulator)";
    std::uint32_t versionMajor = 11, versionMinor = 0, buildMajor = 282174, buildMinor = 999;
    std::string title = "Airbus A320 (Navorel fake simulator)";
    double timeScale = 1.0;  // script seconds per real second
    double start = 0.0;      // script time to start from
    bool printData = false;  // a line for every flight data block sent, with its latitude and time
};

// The application names and versions of the two simulator variants.
bool applyVariant(const std::string& variant, SimulatorOptions& options);

class FakeSimulator {
public:
    using Output = std::function<void(const std::string& line)>;

    // Lines go to `output`, from the simulator's own thread.
    FakeSimulator(SimulatorOptions options, Output output);
    ~FakeSimulator();
    FakeSimulator(const FakeSimulator&) = delete;
    FakeSimulator& operator=(const FakeSimulator&) = delete;

    // Binds the listeners and starts the simulator's thread; false with the
    // reason in `error` when the IPv4 port cannot be bound.
    bool start(std::string& error);
    // Closes everything and joins the thread; harmless when not started.
    void stop();

    // The bound IPv4 port, 0 before start().
    std::uint16_t tcpPort() const;

    // Runs one console command (see commandHelp()); false when it is unknown.
    bool command(const std::string& line);
    static const char* commandHelp();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace navorel::fakesim
