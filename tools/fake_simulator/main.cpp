// Plays Microsoft Flight Simulator for SimConnect clients: see --help.

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeSimulator.h"
#include "platform/CommandLineArguments.h"

namespace {

using navorel::fakesim::FakeSimulator;
using navorel::fakesim::SimulatorOptions;

void printHelp() {
    std::cout << R"HELP(Usage: fake_simulator [options]

Plays Microsoft Flight Simulator for SimConnect clients, for tests and for
developing clients without a simulator: it listens on TCP 127.0.0.1 and [::1]
(and on Windows on the pipe \\.\pipe\Microsoft Flight Simulator\SimConnect),
answers the open request, serves every data definition from a scripted flight
(parked at San Francisco, taxi, take-off, a circuit and a landing on 28R) at
the period asked for (ONCE, SECOND with its interval, SIM_FRAME every 50 ms,
"only when changed"), answers facility requests for KSFO, EGLL and LSZH (any
other code gets only the end message), and turns the PAUSE_SET client event
into the "Pause" system event. One client at a time; a new one replaces it.
Unknown variable names are answered with exception 7.

A client reaches it over TCP with a SimConnect.cfg in its working directory:
  [SimConnect]
  Protocol=IPv4
  Address=127.0.0.1
  Port=4500

Options:
  --port P          TCP port (default 4500; 0 picks a free one)
  --variant V       2020 (default) or 2024: the application name and version
                    of the open reply ("Microsoft Flight Simulator 2024 ...")
  --app-name NAME   the open reply's application name, whatever the variant
  --title TEXT      the aircraft's TITLE
  --time-scale X    script seconds per real second (default 1)
  --start S         start the script at S seconds
  --print-data      print "send Data latitude=L at=NS" for every flight data block
                    (NS: the monotonic clock in nanoseconds, for latency measurements)
  --no-ipv6         do not listen on [::1]
  --no-pipe         do not serve the named pipe (Windows)
  --help            show this text

Commands, one per line on standard input:
)HELP" << FakeSimulator::commandHelp()
              << R"HELP(  help             show the commands
  exit             end the program (so does Ctrl+C; at the end of the input
                   it keeps serving)

Output, one line each on standard output:
  listen tcp 127.0.0.1:4500 | listen pipe <name>
  connected tcp 127.0.0.1:<port> | connected pipe
  recv <Request> <field>=<value> ...    every request received, for example
      recv AddToDataDefinition define=0 name="PLANE LATITUDE" units="degrees" type=FLOAT64 epsilon=0 datum=4294967295
  send Open|Event|Exception|Facility|Quit|BadSize ...    what it sent besides data
  state paused=1 | state crashed=1 | state facilities=on|off
  closed by client | closed by command | closed (bad request size) | ...
  error ...
)HELP";
}

bool parseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(value);
}

bool parseOptions(const std::vector<std::string>& args, SimulatorOptions& options, bool& help) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            continue;
        }
        if (arg == "--no-ipv6" || arg == "--no-pipe") {
            (arg == "--no-ipv6" ? options.listenIpv6 = false : (options.pipeName.clear(), false));
            continue;
        }
        if (arg == "--print-data") {
            options.printData = true;
            continue;
        }
        const bool known = arg == "--port" || arg == "--variant" || arg == "--app-name" || arg == "--title" ||
                           arg == "--time-scale" || arg == "--start";
        if (!known) {
            std::cerr << "Unknown option: " << arg << " (see --help)\n";
            return false;
        }
        double value = 0;
        const std::string text = i + 1 < args.size() ? args[++i] : std::string();
        const bool isNumber = parseNumber(text, value);
        bool good = !text.empty();
        if (arg == "--port") {
            good = isNumber && value >= 0 && value <= 65535 && value == std::floor(value);
            options.port = static_cast<std::uint16_t>(value);
        } else if (arg == "--variant") {
            good = navorel::fakesim::applyVariant(text, options);
        } else if (arg == "--app-name") {
            options.applicationName = text;
        } else if (arg == "--title") {
            options.title = text;
        } else if (arg == "--time-scale") {
            good = isNumber && value > 0 && value <= 1000;
            options.timeScale = value;
        } else {
            good = isNumber && value >= 0;
            options.start = value;
        }
        if (!good) {
            std::cerr << "Bad or missing value for " << arg << " (see --help)\n";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SimulatorOptions options;
    bool help = false;
    if (!parseOptions(navorel::platform::utf8Arguments(argc, argv), options, help)) return 2;
    if (help) {
        printHelp();
        return 0;
    }

    std::mutex outputMutex;
    const auto line = [&](const std::string& text) {
        std::lock_guard lock(outputMutex);
        std::cout << text << '\n' << std::flush;
    };
    FakeSimulator simulator(options, line);
    std::string error;
    if (!simulator.start(error)) {
        std::cerr << error << '\n';
        return 1;
    }

    // Reading a command must not flush the output the I/O thread is writing.
    std::cin.tie(nullptr);
    std::string command;
    bool exit = false;
    while (!exit && std::getline(std::cin, command)) {
        if (!command.empty() && command.back() == '\r') command.pop_back();
        if (command == "exit") {
            exit = true;
        } else if (command == "help") {
            line(FakeSimulator::commandHelp());
        } else if (!simulator.command(command)) {
            line("error unknown command: " + command + " (try help)");
        }
    }
    // Without further input it serves until it is killed.
    while (!exit) std::this_thread::sleep_for(std::chrono::hours(1));
    simulator.stop();
    return 0;
}
