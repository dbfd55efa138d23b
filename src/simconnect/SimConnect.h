#pragma once

// The SimConnect client library: connections to Microsoft Flight Simulator
// over a named pipe or TCP. Every call returns a 32-bit result code and none
// throws; the only exceptions that leave the library are those a caller's own
// dispatch procedure throws.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace navorel::simconnect {

using Result = std::uint32_t;

namespace result {
inline constexpr Result OK = 0;
inline constexpr Result FAIL = 0x80004005;           // no transport connected, no dispatch procedure, ...
inline constexpr Result INVALID_ARG = 0x80070057;    // the configuration index's section is in no file
inline constexpr Result TEXT_TOO_LONG = 0x8007007A;  // a text does not fit its field; nothing was sent
// The connection closed; every later call returns the code it closed with.
inline constexpr Result BAD_MESSAGE_SIZE = 0x80004004;  // a message announced a size below 4 or above the limit
inline constexpr Result OUT_OF_MEMORY = 0x8007000E;     // no room for a received message
inline constexpr Result PEER_CLOSED = 0xC000013E;       // the simulator closed its end (a zero-byte read)
inline constexpr Result CANCELLED = 0xC0000120;
inline constexpr Result REMOTE_DISCONNECT = 0xC000013C;
inline constexpr Result PIPE_BROKEN = 0xC000014B;
inline constexpr Result CONNECTION_RESET = 0xC000020D;
// Any other transport error: 0x8007 and the operating system's error number.
inline constexpr Result fromOsError(int error) { return 0x80070000U | (static_cast<Result>(error) & 0xFFFFU); }
}  // namespace result

enum class DataType : std::uint32_t { INT32 = 1, FLOAT64 = 4, STRING256 = 9 };
enum class Period : std::uint32_t { NEVER = 0, ONCE = 1, VISUAL_FRAME = 2, SIM_FRAME = 3, SECOND = 4 };

inline constexpr std::uint32_t USER_OBJECT = 0;
inline constexpr std::uint32_t UNUSED_DATUM_ID = 0xFFFFFFFF;
inline constexpr std::uint32_t DATA_REQUEST_FLAG_CHANGED = 1;  // send only when a value changed
inline constexpr std::uint32_t GROUP_PRIORITY_HIGHEST = 1;
inline constexpr std::uint32_t EVENT_FLAG_GROUPID_IS_PRIORITY = 0x10;
// Configuration index that skips the "SimConnect.cfg" files.
inline constexpr std::uint32_t DEFAULT_SETTINGS_ONLY = 0xFFFFFFFF;

// Called with each received message of at least 12 bytes (the header of
// WireFormat.h); the bytes stay valid until the procedure returns.
using DispatchProcedure = std::function<void(const std::byte* message, std::uint32_t size)>;

// One open connection. Requests only queue their packet and never wait for
// the network. Any thread may make requests and dispatch; close() and the
// destructor (which closes) must not overlap another call on the same
// connection, and must not run inside onReceived or the dispatch procedure
// (a procedure that sees the quit message can only note it).
class Connection {
public:
    virtual ~Connection() = default;

    // Texts: a null pointer is the empty text; names take at most 255
    // characters, an ICAO code 15 and a region 3.
    virtual Result mapClientEventToSimEvent(std::uint32_t eventId, const char* eventName) = 0;
    virtual Result transmitClientEvent(std::uint32_t objectId, std::uint32_t eventId, std::uint32_t data,
                                       std::uint32_t groupId, std::uint32_t flags) = 0;
    virtual Result addToDataDefinition(std::uint32_t defineId, const char* datumName, const char* unitsName,
                                       DataType type, float epsilon, std::uint32_t datumId) = 0;
    virtual Result requestDataOnSimObject(std::uint32_t requestId, std::uint32_t defineId, std::uint32_t objectId,
                                          Period period, std::uint32_t flags, std::uint32_t origin,
                                          std::uint32_t interval, std::uint32_t limit) = 0;
    virtual Result subscribeToSystemEvent(std::uint32_t eventId, const char* systemEventName) = 0;
    virtual Result addToFacilityDefinition(std::uint32_t defineId, const char* fieldName) = 0;
    virtual Result requestFacilityData(std::uint32_t defineId, std::uint32_t requestId, const char* icao,
                                       const char* region) = 0;

    // Hands every message received so far to `procedure` on the calling
    // thread, with no library lock held; messages that arrive meanwhile wait
    // for the next call. An empty procedure means the last one used (FAIL
    // when there is none). Returns OK, or the code the connection closed with
    // once it has failed (after the messages received before the failure).
    virtual Result callDispatch(const DispatchProcedure& procedure) = 0;

    // Sends what is queued (waiting at most a short while for it), then
    // closes the transport. Later calls return FAIL.
    virtual Result close() = 0;
};

class Connector {
public:
    virtual ~Connector() = default;

    // Opens a connection named clientName (at most 255 characters) with the
    // settings of configIndex (0: section "SimConnect", n: "SimConnect.n",
    // DEFAULT_SETTINGS_ONLY: no files). The open request is queued before the
    // call returns; the simulator's open message arrives later through
    // dispatch. onReceived, when not empty, runs on the library's I/O thread
    // each time a message has been queued and once when the connection fails
    // (the next dispatch returns the failure); it must be quick and must not
    // call into the connection's close(). `connection` is set only on OK.
    virtual Result open(std::unique_ptr<Connection>& connection, const char* clientName,
                        std::function<void()> onReceived, std::uint32_t configIndex) = 0;
};

}  // namespace navorel::simconnect
