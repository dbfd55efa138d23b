#include "platform/UdpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

// Not in every SDK's headers: stops Windows from failing the next receive
// with WSAECONNRESET after a datagram we sent found no listener.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace navorel::platform {

namespace {

SOCKET toSocket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

bool loopbackAddress(std::uint16_t port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) == 1;
}

}  // namespace

UdpSocket::OpenResult UdpSocket::open(std::uint16_t port, std::chrono::milliseconds receiveTimeout) {
    close();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return OpenResult::STARTUP_FAILED;
    libraryStarted_ = true;

    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        libraryStarted_ = false;
        return OpenResult::CREATE_FAILED;
    }
    auto fail = [&](OpenResult result) {
        closesocket(s);
        WSACleanup();
        libraryStarted_ = false;
        return result;
    };
    sockaddr_in address{};
    if (!loopbackAddress(port, address) ||
        ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR) {
        return fail(OpenResult::BIND_FAILED);
    }
    const DWORD timeout = static_cast<DWORD>(receiveTimeout.count());
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout)) ==
        SOCKET_ERROR) {
        return fail(OpenResult::CREATE_FAILED);
    }
    BOOL reportReset = FALSE;
    DWORD ignored = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof(reportReset), nullptr, 0, &ignored, nullptr, nullptr);
    handle_ = static_cast<std::intptr_t>(s);
    return OpenResult::OK;
}

void UdpSocket::close() {
    if (handle_ != kInvalid) {
        closesocket(toSocket(handle_));
        handle_ = kInvalid;
    }
    if (libraryStarted_) {
        WSACleanup();
        libraryStarted_ = false;
    }
}

std::uint16_t UdpSocket::localPort() const {
    if (handle_ == kInvalid) return 0;
    sockaddr_in address{};
    int size = sizeof(address);
    if (getsockname(toSocket(handle_), reinterpret_cast<sockaddr*>(&address), &size) == SOCKET_ERROR) return 0;
    return ntohs(address.sin_port);
}

UdpSocket::ReceiveResult UdpSocket::receive(char* buffer, std::size_t capacity, std::size_t& length,
                                            std::uint16_t* senderPort) {
    length = 0;
    if (handle_ == kInvalid) return ReceiveResult::FAILED;
    const int limit = capacity > 65536 ? 65536 : static_cast<int>(capacity);
    sockaddr_in sender{};
    int senderSize = sizeof(sender);
    const int received =
        recvfrom(toSocket(handle_), buffer, limit, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (received == SOCKET_ERROR) {
        switch (WSAGetLastError()) {
        case WSAETIMEDOUT:
        case WSAEWOULDBLOCK:
        case WSAEINTR:
            return ReceiveResult::TIMED_OUT;
        case WSAEMSGSIZE:  // the datagram did not fit; Windows keeps only its head
            return ReceiveResult::TRUNCATED;
        default:
            return ReceiveResult::FAILED;
        }
    }
    length = static_cast<std::size_t>(received);
    if (senderPort) *senderPort = ntohs(sender.sin_port);
    return ReceiveResult::DATAGRAM;
}

UdpSocket::SendResult UdpSocket::sendTo(std::uint16_t port, std::string_view data) {
    if (handle_ == kInvalid) return SendResult::FAILED;
    sockaddr_in address{};
    if (!loopbackAddress(port, address)) return SendResult::BAD_ADDRESS;
    if (data.size() > 65507) return SendResult::FAILED;
    const int sent = sendto(toSocket(handle_), data.data(), static_cast<int>(data.size()), 0,
                            reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return sent == static_cast<int>(data.size()) ? SendResult::SENT : SendResult::FAILED;
}

void UdpSocket::interruptReceive() {
    const std::uint16_t port = localPort();
    if (port != 0) sendTo(port, {});
}

}  // namespace navorel::platform
