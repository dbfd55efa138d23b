#include "platform/UdpSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace navorel::platform {
namespace {

using namespace std::chrono_literals;
using Receive = UdpSocket::ReceiveResult;
constexpr std::size_t kBufferBytes = 2047;

// Retries over time-outs, so that a slow machine does not fail a test.
Receive receiveSoon(UdpSocket& socket, std::string& text) {
    std::string buffer(kBufferBytes, '\0');
    std::size_t length = 0;
    Receive result = Receive::TIMED_OUT;
    for (int attempt = 0; attempt < 50 && result == Receive::TIMED_OUT; ++attempt) {
        result = socket.receive(buffer.data(), buffer.size(), length);
    }
    text.assign(buffer.data(), length);
    return result;
}

TEST(UdpSocketTest, DeliversExactBytesAndReportsLongerDatagramsAsTruncated) {
    UdpSocket receiver;
    UdpSocket sender;
    ASSERT_EQ(receiver.open(0, 100ms), UdpSocket::OpenResult::OK);
    ASSERT_EQ(sender.open(0, 100ms), UdpSocket::OpenResult::OK);
    const std::string datagrams[] = {std::string("{\"a\":1}\n\0tail", 13), std::string(kBufferBytes, 'x'),
                                     std::string(kBufferBytes + 1, 'y'), std::string(3000, 'z'), "still usable"};
    for (const auto& d : datagrams) ASSERT_EQ(sender.sendTo(receiver.localPort(), d), UdpSocket::SendResult::SENT);
    for (const std::string& sent : datagrams) {
        std::string text;
        const bool fits = sent.size() <= kBufferBytes;
        EXPECT_EQ(receiveSoon(receiver, text), fits ? Receive::DATAGRAM : Receive::TRUNCATED) << sent.size();
        EXPECT_TRUE(!fits || text == sent) << text;
    }
}

TEST(UdpSocketTest, PortIsExclusiveAndAnUnopenedSocketNeitherSendsNorReceives) {
    UdpSocket first;
    ASSERT_EQ(first.open(0, 100ms), UdpSocket::OpenResult::OK);
    const std::uint16_t port = first.localPort();
    UdpSocket second;
    EXPECT_EQ(second.open(port, 100ms), UdpSocket::OpenResult::BIND_FAILED);
    EXPECT_TRUE(!second.isOpen() && second.localPort() == 0);
    EXPECT_EQ(second.sendTo(port, "x"), UdpSocket::SendResult::FAILED);
    std::string text;
    EXPECT_EQ(receiveSoon(second, text), Receive::FAILED);
    first.close();
    EXPECT_EQ(second.open(port, 100ms), UdpSocket::OpenResult::OK) << "free again once closed";
}

TEST(UdpSocketTest, ReceiveEndsAtItsTimeOutOrAtOnceWhenInterrupted) {
    UdpSocket quiet;
    ASSERT_EQ(quiet.open(0, 20ms), UdpSocket::OpenResult::OK);
    char buffer[16];
    std::size_t length = 99;
    EXPECT_EQ(quiet.receive(buffer, sizeof(buffer), length), Receive::TIMED_OUT);
    EXPECT_EQ(length, 0u);

    UdpSocket blocked;
    ASSERT_EQ(blocked.open(0, 10s), UdpSocket::OpenResult::OK);
    Receive result = Receive::FAILED;
    length = 99;
    std::thread receiver([&] { result = blocked.receive(buffer, sizeof(buffer), length); });
    blocked.interruptReceive();
    receiver.join();
    EXPECT_EQ(result, Receive::DATAGRAM) << "not the time-out";
    EXPECT_EQ(length, 0u) << "an empty datagram";
}

}  // namespace
}  // namespace navorel::platform
