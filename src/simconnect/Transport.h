#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "platform/NamedPipe.h"
#include "simconnect/MessageFramer.h"
#include "simconnect/Settings.h"

namespace navorel::simconnect {

// Opens the transports that the connection chain tries. The system's opener
// uses named pipes and TCP; tests put scripted ones in its place.
class TransportOpener {
public:
    virtual ~TransportOpener() = default;

    // Null when the pipe cannot be opened (after any busy waits).
    virtual std::unique_ptr<platform::AsyncByteStream> openPipe(boost::asio::io_context& io,
                                                                const std::string& name) = 0;
    // Connects (blocking) to the first address that address and port resolve
    // to for the family (IPV4 or IPV6); null on failure.
    virtual std::unique_ptr<platform::AsyncByteStream> connectTcp(boost::asio::io_context& io, Protocol family,
                                                                  const std::string& address,
                                                                  const std::string& port, bool disableNagle) = 0;

    static TransportOpener& system();
};

inline constexpr std::chrono::milliseconds kPipeBusyWait{5000};

// "\\<server>\pipe\Microsoft Flight Simulator\SimConnect", or "\\<server>\pipe\<port>"
// when a port (the pipe's own name) is given. An empty server is this machine.
std::string pipeName(const std::string& server, const std::string& port);

// Tries pipe, IPv6, IPv4 and a last local pipe, each step at most once,
// starting where the settings' protocol says; a failing local step moves the
// address and port on to the next family's loopback and registry port. Null
// when no step connects.
std::unique_ptr<platform::AsyncByteStream> connectByChain(boost::asio::io_context& io, ConnectionSettings settings,
                                                          const std::function<std::string(Protocol)>& registryPort,
                                                          TransportOpener& opener);

// A connected TCP socket as a stream.
std::unique_ptr<platform::AsyncByteStream> makeTcpStream(boost::asio::ip::tcp::socket socket);

// How a failed read or write closes the connection.
struct CloseCause {
    CloseReason reason;
    Result status;
};
CloseCause closeCauseOf(const boost::system::error_code& error);

}  // namespace navorel::simconnect
