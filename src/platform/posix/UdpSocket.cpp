#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace navorel::platform {

namespace {

bool loopbackAddress(std::uint16_t port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) == 1;
}

}  // namespace

UdpSocket::OpenResult UdpSocket::open(std::uint16_t port, std::chrono::milliseconds receiveTimeout) {
    close();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return OpenResult::CREATE_FAILED;

    sockaddr_in address{};
    if (!loopbackAddress(port, address) ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return OpenResult::BIND_FAILED;
    }
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(receiveTimeout.count() / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((receiveTimeout.count() % 1000) * 1000);
    // Without the time-out a receiver could block forever and never see a stop request.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        ::close(fd);
        return OpenResult::CREATE_FAILED;
    }
    handle_ = fd;
    return OpenResult::OK;
}

void UdpSocket::close() {
    if (handle_ == kInvalid) return;
    ::close(static_cast<int>(handle_));
    handle_ = kInvalid;
}

std::uint16_t UdpSocket::localPort() const {
    if (handle_ == kInvalid) return 0;
    sockaddr_in address{};
    socklen_t size = sizeof(address);
    if (::getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

UdpSocket::ReceiveResult UdpSocket::receive(char* buffer, std::size_t capacity, std::size_t& length,
                                            std::uint16_t* senderPort) {
    length = 0;
    if (handle_ == kInvalid) return ReceiveResult::FAILED;
    iovec part{buffer, capacity};
    sockaddr_in sender{};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof(sender);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t received = ::recvmsg(static_cast<int>(handle_), &message, 0);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReceiveResult::TIMED_OUT;
        return ReceiveResult::FAILED;
    }
    // A plain receive silently cuts a long datagram to the buffer; the kernel
    // tells us through MSG_TRUNC.
    if ((message.msg_flags & MSG_TRUNC) != 0) return ReceiveResult::TRUNCATED;
    length = static_cast<std::size_t>(received);
    if (senderPort) *senderPort = ntohs(sender.sin_port);
    return ReceiveResult::DATAGRAM;
}

UdpSocket::SendResult UdpSocket::sendTo(std::uint16_t port, std::string_view data) {
    if (handle_ == kInvalid) return SendResult::FAILED;
    sockaddr_in address{};
    if (!loopbackAddress(port, address)) return SendResult::BAD_ADDRESS;
    const ssize_t sent = ::sendto(static_cast<int>(handle_), data.data(), data.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return sent == static_cast<ssize_t>(data.size()) ? SendResult::SENT : SendResult::FAILED;
}

void UdpSocket::interruptReceive() {
    const std::uint16_t port = localPort();
    if (port != 0) sendTo(port, {});
}

}  // namespace navorel::platform
