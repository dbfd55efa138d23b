#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "server/BatchedWriteStream.h"

// Frames of every size in order, a full batch among them, are covered by the
// server tests; here the control frames Beast writes itself, the teardown and
// the failures.

namespace navorel::server_detail {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

// A batched stream on one end of a loopback connection, the plain peer socket
// on the other.
class BatchedWriteStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        tcp::acceptor acceptor(context, tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), 0));
        tcp::socket local(context);
        local.connect(acceptor.local_endpoint());
        acceptor.accept(peer);
        stream.emplace(boost::beast::tcp_stream(std::move(local)));
    }

    std::string readPeer(std::size_t bytes) {
        std::string text(bytes, '\0');
        net::read(peer, net::buffer(text));
        return text;
    }

    void runPending() {
        context.restart();
        context.run_for(std::chrono::milliseconds(200));
    }

    net::io_context context;
    tcp::socket peer{context};
    std::optional<BatchedWriteStream> stream;
};

TEST_F(BatchedWriteStreamTest, FramesAndProtocolWritesLeaveTogetherAndInOrder) {
    ASSERT_FALSE(stream->Write("H1", "first"));
    bool protocolWriteDone = false;
    net::async_write(*stream, net::buffer(std::string_view("<ctl>")),
                     [&](ErrorCode ec, std::size_t n) { protocolWriteDone = !ec && n == 5; });
    ASSERT_FALSE(stream->Write("H2", "second"));
    // Nothing reaches the socket before the writer's handler has returned.
    EXPECT_EQ(stream->waitingBytes(), 20u);
    runPending();
    EXPECT_TRUE(protocolWriteDone);
    EXPECT_EQ(stream->unsentBytes(), 0u);
    EXPECT_EQ(readPeer(20), "H1first<ctl>H2second");
}

TEST_F(BatchedWriteStreamTest, TeardownSendsWhatWaitsBeforeTheSocketIsShutDown) {
    ASSERT_FALSE(stream->Write("", "close-frame"));
    std::optional<ErrorCode> tornDown;
    async_teardown(boost::beast::role_type::server, *stream, [&](ErrorCode ec) { tornDown = ec; });
    // The teardown waits for the peer's end of the connection.
    std::thread closer([&] {
        EXPECT_EQ(readPeer(11), "close-frame");
        peer.shutdown(tcp::socket::shutdown_send);
    });
    runPending();
    closer.join();
    ASSERT_TRUE(tornDown.has_value());
    EXPECT_TRUE(!*tornDown || *tornDown == net::error::eof) << tornDown->message();
}

TEST_F(BatchedWriteStreamTest, TooManyUnsentBytesFailTheStreamForGood) {
    // More than the unsent limit: refused, and so is everything after it.
    const std::string huge(BatchedWriteStream::kMaxUnsentBytes, 'h');
    EXPECT_EQ(stream->Write("x", huge), net::error::no_buffer_space);
    EXPECT_EQ(stream->Write("", "small"), net::error::no_buffer_space);
    std::optional<ErrorCode> flushed;
    stream->async_flush([&](ErrorCode ec) { flushed = ec; });
    runPending();
    EXPECT_EQ(flushed, net::error::no_buffer_space);
}

TEST_F(BatchedWriteStreamTest, ASendThatFailsEndsTheStream) {
    peer.close();
    ErrorCode ec;
    // The first sends may still succeed until the reset comes back.
    for (int i = 0; i < 50 && !ec; ++i) {
        ec = stream->Write("", std::string(1024, 'r'));
        runPending();
    }
    EXPECT_TRUE(ec);
    EXPECT_TRUE(stream->Write("", "more"));
}

// The handlers of its sends run after the stream is gone (ASan watches them).
TEST_F(BatchedWriteStreamTest, OutstandingSendsSurviveTheStream) {
    ASSERT_FALSE(stream->Write("", std::string(BatchedWriteStream::kBatchBytes * 4, 's')));
    stream.reset();
    runPending();
}

}  // namespace
}  // namespace navorel::server_detail
