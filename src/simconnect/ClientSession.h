#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "platform/NamedPipe.h"
#include "simconnect/MessageFramer.h"
#include "simconnect/SimConnect.h"
#include "simconnect/WireFormat.h"

namespace navorel::simconnect {

// The library's one I/O thread, shared by every open connection: started by
// the first acquire() and joined when the last holder lets go, once the I/O
// still pending (all of it cancelled by then) has completed. Only connection
// objects hold it, never completion handlers, so it is never joined from
// itself.
class IoThread {
public:
    static std::shared_ptr<IoThread> acquire();

    IoThread();
    ~IoThread();
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    boost::asio::io_context& context() { return io_; }

private:
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
};

// The state of one connection that its pending I/O shares: each outstanding
// read, write or posted step holds a reference, so a completion that arrives
// after close() still finds it. The stream and the framer are touched on the
// I/O thread only; the rest is guarded.
class ClientSession : public std::enable_shared_from_this<ClientSession> {
public:
    ClientSession(boost::asio::io_context& io, std::unique_ptr<platform::AsyncByteStream> stream,
                  std::uint32_t maxReceiveSize, std::function<void()> onReceived, std::size_t maxQueuedBytes);

    // Issues the first read.
    void start();
    // Stamps the packet's sequence number and queues it; nullopt is a packet
    // whose text did not fit.
    Result send(std::optional<wire::Packet> packet);
    Result dispatch(const DispatchProcedure& procedure);
    // Waits up to flushWait for queued packets to go out, then closes the
    // stream; returns once the stream is closed. The caller must keep the
    // I/O thread alive until then.
    void close(std::chrono::milliseconds flushWait);

private:
    enum class State { OPEN, FAILED, CLOSED };

    void read();
    void onRead(const boost::system::error_code& error, std::size_t bytes);
    bool queueMessage(std::span<const std::byte> message);
    void notifyReceived();
    void writeNext();
    // Closes the stream after an error; later calls return status.
    void fail(Result status);

    boost::asio::io_context& io_;
    std::unique_ptr<platform::AsyncByteStream> stream_;
    MessageFramer framer_;
    const std::function<void()> onReceived_;
    const std::size_t maxQueuedBytes_;

    std::mutex mutex_;  // state and writes
    std::condition_variable writesDone_;
    State state_ = State::OPEN;
    Result status_ = result::OK;
    std::uint32_t sequence_ = 0;
    std::deque<wire::Packet> writeQueue_;
    bool writing_ = false;
    wire::Packet inFlight_;  // I/O thread only, while writing_

    std::mutex receivedMutex_;
    std::list<wire::Packet> received_;
    std::size_t receivedBytes_ = 0;

    std::mutex dispatchMutex_;
    DispatchProcedure registered_;
};

}  // namespace navorel::simconnect
