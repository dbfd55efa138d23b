#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace navorel::platform {

// A UDP socket on the loopback interface (127.0.0.1 only).
// Windows: Winsock 2.2, started by open() and stopped by close(). POSIX: BSD sockets.
//
// One thread may receive while another sends; open() and close() must not
// overlap with either.
class UdpSocket {
public:
    enum class OpenResult { OK, STARTUP_FAILED, CREATE_FAILED, BIND_FAILED };
    enum class ReceiveResult { DATAGRAM, TRUNCATED, TIMED_OUT, FAILED };
    enum class SendResult { SENT, BAD_ADDRESS, FAILED };

    UdpSocket() = default;
    ~UdpSocket() { close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds to 127.0.0.1:port without address reuse (port 0 picks a free one).
    // A receive waits at most receiveTimeout for a datagram.
    OpenResult open(std::uint16_t port, std::chrono::milliseconds receiveTimeout);
    void close();
    bool isOpen() const { return handle_ != kInvalid; }
    // The bound port, 0 when closed.
    std::uint16_t localPort() const;

    // Receives one datagram into buffer. A datagram longer than capacity is
    // reported as TRUNCATED and must be dropped: its tail is lost. senderPort,
    // when given, receives the sender's port.
    ReceiveResult receive(char* buffer, std::size_t capacity, std::size_t& length,
                          std::uint16_t* senderPort = nullptr);

    // Sends one datagram to 127.0.0.1:port.
    SendResult sendTo(std::uint16_t port, std::string_view data);

    // Makes a receive blocked in another thread return now instead of at its
    // time-out (it sees an empty datagram from this socket).
    void interruptReceive();

private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t handle_ = kInvalid;
    [[maybe_unused]] bool libraryStarted_ = false;  // Winsock started; unused on POSIX
};

}  // namespace navorel::platform
