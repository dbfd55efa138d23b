#include "platform/UdpSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace navorel::platform {
namespace {

using namespace std::chrono_literals;
using Receive = UdpSocket::ReceiveResult;

// Receives with retries over time-outs, so a slow machine does not fail a test.
Receive receiveSoon(UdpSocket& socket, std::string& text, std::size_t capacity = 2047) {
    std::string buffer(capacity, '\0');
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::size_t length = 0;
        const Receive result = socket.receive(buffer.data(), buffer.size(), length);
        if (result == Receive::TIMED_OUT) continue;
        text.assign(buffer.data(), length);
        return result;
    }
    return Receive::TIMED_OUT;
}

TEST(UdpSocketTest, SendsAndReceivesExactBytesOnLoopback) {
    UdpSocket receiver;
    UdpSocket sender;
    ASSERT_EQ(receiver.open(0, 100ms), UdpSocket::OpenResult::OK);
    ASSERT_EQ(sender.open(0, 100ms), UdpSocket::OpenResult::OK);
    ASSERT_NE(receiver.localPort(), 0);
    ASSERT_NE(receiver.localPort(), sender.localPort());

    const std::string payload("{\"a\":1}\n\0tail", 13);
    ASSERT_EQ(sender.sendTo(receiver.localPort(), payload), UdpSocket::SendResult::SENT);
    std::string text;
    ASSERT_EQ(receiveSoon(receiver, text), Receive::DATAGRAM);
    EXPECT_EQ(text, payload);
}

TEST(UdpSocketTest, DatagramLongerThanTheBufferIsReportedNotCut) {
    UdpSocket receiver;
    UdpSocket sender;
    ASSERT_EQ(receiver.open(0, 100ms), UdpSocket::OpenResult::OK);
    ASSERT_EQ(sender.open(0, 100ms), UdpSocket::OpenResult::OK);

    const std::string fits(2047, 'x');
    const std::string oneTooMany(2048, 'y');
    const std::string large(3000, 'z');
    ASSERT_EQ(sender.sendTo(receiver.localPort(), fits), UdpSocket::SendResult::SENT);
    ASSERT_EQ(sender.sendTo(receiver.localPort(), oneTooMany), UdpSocket::SendResult::SENT);
    ASSERT_EQ(sender.sendTo(receiver.localPort(), large), UdpSocket::SendResult::SENT);
    ASSERT_EQ(sender.sendTo(receiver.localPort(), "after"), UdpSocket::SendResult::SENT);

    std::string text;
    ASSERT_EQ(receiveSoon(receiver, text), Receive::DATAGRAM);
    EXPECT_EQ(text, fits);
    EXPECT_EQ(receiveSoon(receiver, text), Receive::TRUNCATED);
    EXPECT_EQ(receiveSoon(receiver, text), Receive::TRUNCATED);
    // The socket stays usable after a truncated datagram.
    ASSERT_EQ(receiveSoon(receiver, text), Receive::DATAGRAM);
    EXPECT_EQ(text, "after");
}

TEST(UdpSocketTest, ReceiveTimesOutWithoutData) {
    UdpSocket socket;
    ASSERT_EQ(socket.open(0, 20ms), UdpSocket::OpenResult::OK);
    char buffer[16];
    std::size_t length = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(socket.receive(buffer, sizeof(buffer), length), Receive::TIMED_OUT);
    EXPECT_EQ(length, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(UdpSocketTest, BindingATakenPortFails) {
    UdpSocket first;
    ASSERT_EQ(first.open(0, 100ms), UdpSocket::OpenResult::OK);
    UdpSocket second;
    EXPECT_EQ(second.open(first.localPort(), 100ms), UdpSocket::OpenResult::BIND_FAILED);
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(second.localPort(), 0);
}

TEST(UdpSocketTest, ClosedSocketNeitherSendsNorReceives) {
    UdpSocket socket;
    EXPECT_FALSE(socket.isOpen());
    EXPECT_EQ(socket.sendTo(49999, "x"), UdpSocket::SendResult::FAILED);
    char buffer[4];
    std::size_t length = 0;
    EXPECT_EQ(socket.receive(buffer, sizeof(buffer), length), Receive::FAILED);

    ASSERT_EQ(socket.open(0, 100ms), UdpSocket::OpenResult::OK);
    const std::uint16_t port = socket.localPort();
    socket.close();
    EXPECT_FALSE(socket.isOpen());
    // The port is free again once closed.
    UdpSocket again;
    EXPECT_EQ(again.open(port, 100ms), UdpSocket::OpenResult::OK);
}

TEST(UdpSocketTest, InterruptWakesABlockedReceiveAtOnce) {
    UdpSocket socket;
    ASSERT_EQ(socket.open(0, 10s), UdpSocket::OpenResult::OK);
    Receive result = Receive::FAILED;
    std::size_t length = 99;
    std::thread receiver([&] {
        char buffer[64];
        result = socket.receive(buffer, sizeof(buffer), length);
    });
    socket.interruptReceive();
    const auto start = std::chrono::steady_clock::now();
    receiver.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(result, Receive::DATAGRAM);
    EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace navorel::platform
