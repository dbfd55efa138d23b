// Plays the X-Plane plugin for the bridge: sends telemetry datagrams from a
// scripted flight to 127.0.0.1:49005 and prints the commands the bridge sends
// back to 127.0.0.1:49006 (a SET_PAUSE command is also obeyed).
//
// The flight is the shared script of flight_script.h (about 27 minutes of
// script time; --time-scale runs it faster). Datagram n always carries the same
// values for the same options, so tests can rely on what they receive.
//
// Run with --help for the options and scenarios.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "flight_script.h"
#include "platform/UdpSocket.h"

namespace {

namespace platform = navorel::platform;
using namespace navorel::flight;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

// ---- options -------------------------------------------------------------------

struct Options {
    std::uint16_t telemetryPort = 49005;
    std::uint16_t controlPort = 49006;
    double rate = 20.0;
    std::optional<double> duration;
    double timeScale = 1.0;
    double start = 0.0;
    bool hold = false;
    std::optional<std::uint64_t> count;
    std::string type = "xp12_telemetry";
    std::string aircraft = "Airbus A320 (Navorel emulator)";
    std::string otherAircraft = "Boeing 737-800 (Navorel emulator)";
    std::int64_t session = 1;
    std::optional<double> pauseAt, unpauseAt, crashAt, aircraftChangeAt, sessionChangeAt;
    bool print = false;
    bool printSent = false;
    bool quiet = false;
    std::string scenario = "flight";
};

void printHelp() {
    std::cout <<
        R"HELP(Usage: xplane_plugin_emulator [options]

Sends X-Plane plugin telemetry from a scripted flight to the Navorel Bridge and
prints the commands it receives ("CONTROL <datagram>"). Lines on standard output:
  START ..., PHASE <name> t=<script s>, EVENT <what> t=<script s>, CONTROL <text>,
  DATAGRAM <json> (with --print), SENT n=<index> lat=<lat> lon=<lon> at=<ns>
  (with --print-sent; ns: the monotonic clock), DONE sent=<count>.

Options:
  --scenario NAME         flight (default), parked, taxi, takeoff, cruise, landing,
                          pause, crash, aircraft-change, session-change
  --rate HZ               datagrams per second (default 20)
  --duration S            stop after S seconds (default: the scenario's length;
                          parked runs until stopped)
  --count N               stop after N datagrams
  --time-scale X          script seconds per real second (default 1)
  --start S               start the script at S seconds
  --hold                  keep the script time still (a parked or frozen aircraft)
  --telemetry-port P      bridge telemetry port (default 49005)
  --control-port P        port to receive commands on (default 49006; 0: none)
  --type T                "type" value: xp12_telemetry (default), xp11_telemetry,
                          xp_telemetry, or none to leave it out
  --aircraft NAME         aircraft name (default "Airbus A320 (Navorel emulator)")
  --session N             first session id (default 1)
  --pause-at S            report paused from S seconds after the start ...
  --unpause-at S          ... until this time (script time stands still meanwhile)
  --crash-at S            report a crash from S seconds after the start
  --aircraft-change-at S  switch to another aircraft S seconds after the start
  --session-change-at S   start a new session S seconds after the start
  --print                 print every datagram sent
  --print-sent            print a SENT line for every datagram sent (for loss checks)
  --quiet                 print only CONTROL and DONE lines
  --help                  show this text

Times of the *-at options count real seconds times --time-scale from the start.
)HELP";
}

bool parseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(value);
}

// Fills options from argv; returns false (after printing why) on bad input.
bool parseOptions(int argc, char** argv, Options& o, bool& help) {
    using Setter = std::function<bool(const std::string&)>;
    auto number = [](auto setter, double min, double max) {
        return Setter([setter, min, max](const std::string& text) {
            double value = 0;
            if (!parseNumber(text, value) || value < min || value > max) return false;
            setter(value);
            return true;
        });
    };
    auto port = [](std::uint16_t& target, bool allowZero) {
        return Setter([&target, allowZero](const std::string& text) {
            double value = 0;
            if (!parseNumber(text, value) || value != std::floor(value) || value > 65535 || value < (allowZero ? 0 : 1))
                return false;
            target = static_cast<std::uint16_t>(value);
            return true;
        });
    };
    auto at = [&](std::optional<double>& target) { return number([&target](double v) { target = v; }, 0, 1e9); };
    const std::map<std::string, Setter> valued = {
        {"--scenario", [&](const std::string& v) { o.scenario = v; return true; }},
        {"--rate", number([&](double v) { o.rate = v; }, 0.1, 1000)},
        {"--duration", number([&](double v) { o.duration = v; }, 0, 1e9)},
        {"--count", number([&](double v) { o.count = static_cast<std::uint64_t>(v); }, 0, 1e12)},
        {"--time-scale", number([&](double v) { o.timeScale = v; }, 0.001, 1000)},
        {"--start", number([&](double v) { o.start = v; }, 0, 1e6)},
        {"--telemetry-port", port(o.telemetryPort, false)},
        {"--control-port", port(o.controlPort, true)},
        {"--type", [&](const std::string& v) { o.type = v; return true; }},
        {"--aircraft", [&](const std::string& v) { o.aircraft = v; return !v.empty(); }},
        {"--session", number([&](double v) { o.session = static_cast<std::int64_t>(v); }, -1e15, 1e15)},
        {"--pause-at", at(o.pauseAt)},
        {"--unpause-at", at(o.unpauseAt)},
        {"--crash-at", at(o.crashAt)},
        {"--aircraft-change-at", at(o.aircraftChangeAt)},
        {"--session-change-at", at(o.sessionChangeAt)},
    };
    const std::map<std::string, std::function<void()>> flags = {
        {"--hold", [&] { o.hold = true; }},
        {"--print", [&] { o.print = true; }},
        {"--print-sent", [&] { o.printSent = true; }},
        {"--quiet", [&] { o.quiet = true; }},
        {"--help", [&] { help = true; }},
        {"-h", [&] { help = true; }},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (const auto flag = flags.find(arg); flag != flags.end()) {
            flag->second();
            continue;
        }
        const auto option = valued.find(arg);
        if (option == valued.end()) {
            std::cerr << "Unknown option: " << arg << " (see --help)\n";
            return false;
        }
        if (i + 1 >= argc || !option->second(argv[++i])) {
            std::cerr << "Bad or missing value for " << arg << " (see --help)\n";
            return false;
        }
    }
    return true;
}

// Scenario presets: where the script starts, how long it runs, which events happen.
bool applyScenario(const FlightScript& script, const std::vector<std::string>& given, Options& o) {
    auto setIfFree = [&](const char* name, auto& field, auto value) {
        if (std::find(given.begin(), given.end(), name) == given.end()) field = value;
    };
    using Preset = std::function<void()>;
    const double touchdown = script.phaseStart(Phase::ROLLOUT);
    const std::map<std::string, Preset> presets = {
        {"flight", [&] { setIfFree("--duration", o.duration, std::optional<double>(script.length() / o.timeScale)); }},
        {"parked", [&] { setIfFree("--hold", o.hold, true); }},
        {"taxi", [&] {
             setIfFree("--start", o.start, script.phaseStart(Phase::TAXI));
             setIfFree("--duration", o.duration, std::optional<double>(130.0 / o.timeScale));
         }},
        {"takeoff", [&] {
             setIfFree("--start", o.start, script.phaseStart(Phase::TAKEOFF) - 5.0);
             setIfFree("--duration", o.duration, std::optional<double>(110.0 / o.timeScale));
         }},
        {"cruise", [&] {
             setIfFree("--start", o.start, script.phaseStart(Phase::CRUISE) + 10.0);
             setIfFree("--duration", o.duration, std::optional<double>(60.0 / o.timeScale));
         }},
        {"landing", [&] {
             setIfFree("--start", o.start, touchdown - 30.0);
             setIfFree("--duration", o.duration, std::optional<double>(70.0 / o.timeScale));
         }},
        {"pause", [&] {
             setIfFree("--start", o.start, script.phaseStart(Phase::CRUISE) + 10.0);
             setIfFree("--pause-at", o.pauseAt, std::optional<double>(2.0));
             setIfFree("--unpause-at", o.unpauseAt, std::optional<double>(7.0));
             setIfFree("--duration", o.duration, std::optional<double>(10.0 / o.timeScale));
         }},
        {"crash", [&] {
             setIfFree("--start", o.start, touchdown - 40.0);
             setIfFree("--crash-at", o.crashAt, std::optional<double>(3.0));
             setIfFree("--duration", o.duration, std::optional<double>(6.0 / o.timeScale));
         }},
        {"aircraft-change", [&] {
             setIfFree("--hold", o.hold, true);
             setIfFree("--aircraft-change-at", o.aircraftChangeAt, std::optional<double>(3.0));
             setIfFree("--duration", o.duration, std::optional<double>(6.0 / o.timeScale));
         }},
        {"session-change", [&] {
             setIfFree("--hold", o.hold, true);
             setIfFree("--session-change-at", o.sessionChangeAt, std::optional<double>(3.0));
             setIfFree("--duration", o.duration, std::optional<double>(6.0 / o.timeScale));
         }},
    };
    const auto preset = presets.find(o.scenario);
    if (preset == presets.end()) {
        std::cerr << "Unknown scenario: " << o.scenario << " (see --help)\n";
        return false;
    }
    preset->second();
    return true;
}

// ---- output and the datagram ----------------------------------------------------

class Console {
public:
    void line(const std::string& text) {
        std::lock_guard lock(mutex_);
        std::cout << text << '\n' << std::flush;
    }

private:
    std::mutex mutex_;
};

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

struct Situation {
    bool paused = false;
    bool crashed = false;
    std::string aircraft;
    std::int64_t session = 0;
};

std::string datagram(const Options& o, const State& s, const Situation& now, double scriptTime) {
    Json d;
    if (o.type != "none") d["type"] = o.type;
    d["xplane_version"] = o.type == "xp11_telemetry" ? 115500 : 120105;
    d["ts_ms"] = static_cast<std::int64_t>(std::llround(scriptTime * 1000.0));
    d["session_id"] = now.session;
    d["lat"] = rounded(latitudeOf(s), 8);
    d["lon"] = rounded(longitudeOf(s), 8);
    const double altFt = kFieldElevationFt + s.aglFt;
    d["alt_ft"] = rounded(altFt, 2);
    d["alt_ind_ft"] = rounded(altFt, 2);
    d["alt_agl_ft"] = rounded(s.aglFt, 2);
    d["pressure_alt_ft"] = rounded(altFt, 2);
    d["ias_kt"] = rounded(s.speedKt, 2);
    d["ground_speed_kt"] = rounded(s.speedKt, 2);
    d["hdg_deg"] = rounded(wrapDegrees(s.heading - kMagneticVariation), 2);
    d["vs_fpm"] = rounded(s.vsFpm, 1);
    d["pitch_deg"] = rounded(s.pitch, 2);
    d["bank_deg"] = rounded(s.bank, 2);
    d["fuel_mass_kg"] = rounded(s.fuelKg, 1);
    d["fuel_density_kg_l"] = 0.8;
    d["autopilot_mode"] = s.autopilot ? 2 : 0;
    d["flaps_handle_ratio"] = s.flaps;
    d["flap_detents"] = 4;
    d["gear_retractable"] = true;
    d["gear_handle_down"] = s.gear > 0.5 || s.onGround ? 1 : 0;
    d["gear_deploy_ratio"] = Json::array({rounded(s.gear, 3), rounded(s.gear, 3), rounded(s.gear, 3)});
    d["sim_on_ground"] = s.onGround;
    d["onground"] = s.onGround;
    d["simulation_rate"] = 1.0;
    d["spoilers_ratio"] = s.spoilers;
    d["apu_generator_on"] = !s.engines && s.beacon;
    d["engine_running"] = Json::array({s.engines ? 1 : 0, s.engines ? 1 : 0});
    d["light_beacon"] = s.beacon;
    d["light_nav"] = true;
    d["light_landing"] = s.landingLight;
    d["light_taxi"] = s.taxiLight;
    d["light_strobe"] = s.strobe;
    d["parking_brake_ratio"] = s.parkingBrake;
    d["canopy_open"] = 0;
    d["aircraft_name"] = now.aircraft;
    d["vne_kt"] = 350;
    d["stall_warning"] = 0;
    d["paused"] = now.paused;
    d["crash_detected"] = now.crashed;
    d["nearest_airport_icao"] = "KSFO";
    return d.dump();
}

// Receives commands on the control port until stopped; obeys SET_PAUSE.
class ControlListener {
public:
    ControlListener(platform::UdpSocket& socket, Console& console) : socket_(socket), console_(console) {
        thread_ = std::thread([this] { run(); });
    }
    ~ControlListener() {
        stop_ = true;
        socket_.interruptReceive();
        thread_.join();
    }
    std::optional<bool> commandedPause() const {
        std::lock_guard lock(mutex_);
        return paused_;
    }

private:
    void run() {
        std::string buffer(65536, '\0');
        while (!stop_.load()) {
            std::size_t length = 0;
            if (socket_.receive(buffer.data(), buffer.size(), length) != platform::UdpSocket::ReceiveResult::DATAGRAM ||
                length == 0) {
                continue;
            }
            std::string text = buffer.substr(0, length);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            console_.line("CONTROL " + text);
            const Json command = Json::parse(text, nullptr, false);
            if (command.is_object() && command.value("type", "") == "SIM_CONTROL" &&
                command.value("action", "") == "SET_PAUSE" && command.contains("paused") &&
                command["paused"].is_boolean()) {
                std::lock_guard lock(mutex_);
                paused_ = command["paused"].get<bool>();
            }
        }
    }

    platform::UdpSocket& socket_;
    Console& console_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::optional<bool> paused_;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!parseOptions(argc, argv, options, help)) return 2;
    if (help) {
        printHelp();
        return 0;
    }
    const FlightScript script;
    const std::vector<std::string> given(argv + 1, argv + argc);
    if (!applyScenario(script, given, options)) return 2;

    Console console;
    platform::UdpSocket socket;
    // Commands arrive on the control port; telemetry leaves from the same socket.
    if (socket.open(options.controlPort, std::chrono::milliseconds(200)) != platform::UdpSocket::OpenResult::OK) {
        std::cerr << "Cannot bind 127.0.0.1:" << options.controlPort
                  << " for commands (in use? --control-port 0 listens nowhere)\n";
        return 1;
    }
    std::optional<ControlListener> listener;
    if (options.controlPort != 0) listener.emplace(socket, console);

    const double tickScript = options.timeScale / options.rate;
    const auto period = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / options.rate));
    if (!options.quiet) {
        console.line("START telemetry=127.0.0.1:" + std::to_string(options.telemetryPort) +
                     " control=" + (options.controlPort ? "127.0.0.1:" + std::to_string(options.controlPort) : "none") +
                     " rate=" + fixed(options.rate, 1) + " scenario=" + options.scenario +
                     " start=" + fixed(options.start, 1) +
                     " duration=" + (options.duration ? fixed(*options.duration, 1) : "unlimited"));
    }

    Situation situation{false, false, options.aircraft, options.session};
    double scriptTime = options.start;
    std::optional<Phase> lastPhase;
    std::uint64_t sent = 0;
    const auto begin = SteadyClock::now();
    auto next = begin;
    auto event = [&](const std::string& what) {
        if (!options.quiet) console.line("EVENT " + what + " t=" + fixed(scriptTime, 1));
    };
    for (std::uint64_t tick = 0;; ++tick) {
        const double elapsed = static_cast<double>(tick) * tickScript;  // script seconds since the start
        if (options.count && sent >= *options.count) break;
        if (options.duration && static_cast<double>(tick) / options.rate >= *options.duration) break;

        auto reached = [&](const std::optional<double>& at) { return at && elapsed >= *at && elapsed - tickScript < *at; };
        if (reached(options.pauseAt)) {
            situation.paused = true;
            event("pause");
        }
        if (reached(options.unpauseAt)) {
            situation.paused = false;
            event("unpause");
        }
        if (const auto commanded = listener ? listener->commandedPause() : std::nullopt; commanded) {
            if (*commanded != situation.paused) event(*commanded ? "pause (commanded)" : "unpause (commanded)");
            situation.paused = *commanded;
        }
        if (reached(options.crashAt)) {
            situation.crashed = true;
            event("crash");
        }
        if (reached(options.aircraftChangeAt)) {
            situation.aircraft = options.otherAircraft;
            event("aircraft-change " + situation.aircraft);
        }
        if (reached(options.sessionChangeAt)) {
            ++situation.session;
            event("session-change " + std::to_string(situation.session));
        }

        const State& state = script.at(scriptTime);
        if (!options.quiet && lastPhase != state.phase) {
            console.line(std::string("PHASE ") + phaseName(state.phase) + " t=" + fixed(scriptTime, 1));
            lastPhase = state.phase;
        }
        const std::string text = datagram(options, state, situation, scriptTime);
        const bool delivered = socket.sendTo(options.telemetryPort, text) == platform::UdpSocket::SendResult::SENT;
        if (delivered) ++sent;
        if (options.print) console.line("DATAGRAM " + text);
        if (options.printSent && delivered) {
            // The send time and the position identify the datagram's frame at a client.
            const auto at = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch());
            console.line("SENT n=" + std::to_string(sent) + " lat=" + fixed(rounded(latitudeOf(state), 8), 8) +
                         " lon=" + fixed(rounded(longitudeOf(state), 8), 8) + " at=" + std::to_string(at.count()));
        }

        // A paused, crashed or held simulator stands still.
        if (!situation.paused && !situation.crashed && !options.hold) {
            scriptTime = std::min(scriptTime + tickScript, script.length());
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
    listener.reset();
    console.line("DONE sent=" + std::to_string(sent));
    return 0;
}
