#include "simconnect/Transport.h"

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

namespace navorel::simconnect {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

class TcpStream final : public platform::AsyncByteStream {
public:
    explicit TcpStream(tcp::socket socket) : socket_(std::move(socket)) {}

    void asyncReadSome(std::span<std::byte> buffer, Completion completion) override {
        socket_.async_read_some(asio::buffer(buffer.data(), buffer.size()), std::move(completion));
    }

    void asyncWrite(std::span<const std::byte> data, Completion completion) override {
        asio::async_write(socket_, asio::buffer(data.data(), data.size()), std::move(completion));
    }

    void close() override {
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.cancel(ignored);
        socket_.close(ignored);
    }

private:
    tcp::socket socket_;
};

class SystemOpener final : public TransportOpener {
public:
    std::unique_ptr<platform::AsyncByteStream> openPipe(asio::io_context& io, const std::string& name) override {
        return platform::openNamedPipe(io, name, kPipeBusyWait);
    }

    std::unique_ptr<platform::AsyncByteStream> connectTcp(asio::io_context& io, Protocol family,
                                                          const std::string& address, const std::string& port,
                                                          bool disableNagle) override {
        error_code error;
        tcp::resolver resolver(io);
        // No resolver flags: "address configured" would refuse ::1 on a machine
        // whose only IPv6 address is the loopback.
        const auto results = resolver.resolve(family == Protocol::IPV6 ? tcp::v6() : tcp::v4(), address, port,
                                              tcp::resolver::flags(), error);
        if (error || results.empty()) return nullptr;
        tcp::socket socket(io);
        socket.connect(results.begin()->endpoint(), error);
        if (error) return nullptr;
        if (disableNagle) socket.set_option(tcp::no_delay(true), error);
        return makeTcpStream(std::move(socket));
    }
};

enum class Step { PIPE, IPV6, IPV4, LAST_PIPE };

}  // namespace

TransportOpener& TransportOpener::system() {
    static SystemOpener opener;
    return opener;
}

std::string pipeName(const std::string& server, const std::string& port) {
    return "\\\\" + (server.empty() ? std::string(".") : server) + "\\pipe\\" +
           (port.empty() ? std::string("Microsoft Flight Simulator\\SimConnect") : port);
}

std::unique_ptr<platform::AsyncByteStream> connectByChain(asio::io_context& io, ConnectionSettings settings,
                                                          const std::function<std::string(Protocol)>& registryPort,
                                                          TransportOpener& opener) {
    std::string& address = settings.address;
    std::string& port = settings.port;
    const auto registered = [&](Protocol family) { return registryPort ? registryPort(family) : std::string(); };
    const auto tcp = [&](Protocol family) {
        // Without a port there is nothing to connect to; the step fails at once.
        return port.empty() ? nullptr : opener.connectTcp(io, family, address, port, settings.disableNagle);
    };

    Step step = settings.protocol == Protocol::IPV4   ? Step::IPV4
                : settings.protocol == Protocol::IPV6 ? Step::IPV6
                                                      : Step::PIPE;
    // Each step runs at most once, always moving forward.
    for (;;) {
        switch (step) {
        case Step::PIPE:
            if (auto stream = opener.openPipe(io, pipeName(address, port))) return stream;
            if (!address.empty() && address != ".") return nullptr;
            address = "::1";
            port = registered(Protocol::IPV6);
            step = Step::IPV6;
            break;
        case Step::IPV6:
            if (auto stream = tcp(Protocol::IPV6)) return stream;
            if (address != "::1") return nullptr;
            address = "127.0.0.1";
            port = registered(Protocol::IPV4);
            step = Step::IPV4;
            break;
        case Step::IPV4:
            if (auto stream = tcp(Protocol::IPV4)) return stream;
            if (address != "127.0.0.1") return nullptr;
            step = Step::LAST_PIPE;
            break;
        case Step::LAST_PIPE:
            return opener.openPipe(io, pipeName("", ""));
        }
    }
}

std::unique_ptr<platform::AsyncByteStream> makeTcpStream(tcp::socket socket) {
    return std::make_unique<TcpStream>(std::move(socket));
}

CloseCause closeCauseOf(const error_code& error) {
    if (error == asio::error::eof) return {CloseReason::PEER_CLOSED, result::PEER_CLOSED};
    if (error == asio::error::operation_aborted) return {CloseReason::CANCELLED, result::CANCELLED};
    if (error == asio::error::connection_reset) return {CloseReason::DISCONNECTED, result::CONNECTION_RESET};
    if (error == asio::error::broken_pipe) return {CloseReason::DISCONNECTED, result::PIPE_BROKEN};
    if (error == asio::error::connection_aborted || error == asio::error::network_reset ||
        error == asio::error::shut_down) {
        return {CloseReason::DISCONNECTED, result::REMOTE_DISCONNECT};
    }
    return {CloseReason::OTHER_ERROR, result::fromOsError(error.value())};
}

}  // namespace navorel::simconnect
