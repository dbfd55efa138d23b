// Opens a SimConnect connection the way the bridge does and prints what the
// simulator answers: see --help.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "simconnect/NetworkConnector.h"
#include "simconnect/WireFormat.h"

namespace {

namespace sc = navorel::simconnect;
namespace wire = navorel::simconnect::wire;

void printHelp() {
    std::cout << R"HELP(Usage: simconnect_probe [--seconds N] [--config-index N]

Opens a SimConnect connection as the Navorel Bridge would (SimConnect.cfg in
the documents folders and the current directory, the registry's ports, then
pipe, IPv6 and IPv4), asks once for the aircraft's position and title,
subscribes to the "Pause" system event and prints every message for N seconds
(default 10) or until the simulator quits. Works against fake_simulator.

Output, one line each:
  open failed 0x80004005              (exit code 1)
  simulator name="..." version=A.B.C.D
  data latitude=... longitude=... title="..."
  event id=0 data=1
  exception code=7 send=5 index=2
  quit
  closed status=0x...                 (the connection failed)
)HELP";
}

struct Position {
    double latitude;
    double longitude;
    char title[256];
};

void print(const wire::Bytes message, std::atomic<bool>& quit) {
    const auto header = wire::decodeMessageHeader(message);
    char line[400] = {};
    switch (static_cast<wire::MessageId>(header->id)) {
    case wire::MessageId::OPEN:
        if (const auto open = wire::decodeOpenMessage(message)) {
            std::snprintf(line, sizeof line, "simulator name=\"%s\" version=%u.%u.%u.%u", open->applicationName.c_str(),
                          open->applicationVersionMajor, open->applicationVersionMinor, open->applicationBuildMajor,
                          open->applicationBuildMinor);
        }
        break;
    case wire::MessageId::SIM_OBJECT_DATA:
        if (const auto data = wire::decodeSimObjectData(message)) {
            if (const auto position = wire::copyBlock<Position>(data->data)) {
                const std::string title =
                    wire::readText(reinterpret_cast<const std::byte*>(position->title), sizeof position->title);
                std::snprintf(line, sizeof line, "data latitude=%.6f longitude=%.6f title=\"%s\"", position->latitude,
                              position->longitude, title.c_str());
            }
        }
        break;
    case wire::MessageId::EVENT:
        if (const auto event = wire::decodeEvent(message)) {
            std::snprintf(line, sizeof line, "event id=%u data=%u", event->eventId, event->data);
        }
        break;
    case wire::MessageId::EXCEPTION:
        if (const auto exception = wire::decodeException(message)) {
            std::snprintf(line, sizeof line, "exception code=%u send=%u index=%u", exception->exception,
                          exception->sendId, exception->index);
        }
        break;
    case wire::MessageId::QUIT:
        std::snprintf(line, sizeof line, "quit");
        quit = true;
        break;
    default:
        std::snprintf(line, sizeof line, "message id=%u size=%zu", header->id, message.size());
    }
    if (line[0] != '\0') std::cout << line << '\n' << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::uint32_t configIndex = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printHelp();
            return 0;
        }
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
            continue;
        }
        if (arg == "--config-index" && i + 1 < argc) {
            configIndex = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
            continue;
        }
        std::cerr << "Unknown or incomplete option: " << arg << " (see --help)\n";
        return 2;
    }

    sc::NetworkConnector connector;
    std::unique_ptr<sc::Connection> connection;
    if (const sc::Result opened = connector.open(connection, "Navorel probe", {}, configIndex); opened != sc::result::OK) {
        std::printf("open failed 0x%x\n", static_cast<unsigned>(opened));
        return 1;
    }
    connection->addToDataDefinition(0, "PLANE LATITUDE", "degrees", sc::DataType::FLOAT64, 0, sc::UNUSED_DATUM_ID);
    connection->addToDataDefinition(0, "PLANE LONGITUDE", "degrees", sc::DataType::FLOAT64, 0, sc::UNUSED_DATUM_ID);
    connection->addToDataDefinition(0, "TITLE", nullptr, sc::DataType::STRING256, 0, sc::UNUSED_DATUM_ID);
    connection->requestDataOnSimObject(0, 0, sc::USER_OBJECT, sc::Period::ONCE, 0, 0, 0, 0);
    connection->subscribeToSystemEvent(0, "Pause");

    std::atomic<bool> quit{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!quit && std::chrono::steady_clock::now() < deadline) {
        const sc::Result status = connection->callDispatch(
            [&](const std::byte* message, std::uint32_t size) { print(wire::Bytes(message, size), quit); });
        if (status != sc::result::OK) {
            std::printf("closed status=0x%x\n", static_cast<unsigned>(status));
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    connection->close();
    return 0;
}
