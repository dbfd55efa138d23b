#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

namespace navorel::platform {

// A connected byte stream whose operations complete on an Asio io_context.
// Drive it only from the thread that runs that io_context.
class AsyncByteStream {
public:
    using Completion = std::function<void(const boost::system::error_code& error, std::size_t bytes)>;

    virtual ~AsyncByteStream() = default;

    // Reads what has arrived, at least one byte, into `buffer`. A stream
    // that ends gives eof, or broken_pipe for a pipe.
    virtual void asyncReadSome(std::span<std::byte> buffer, Completion completion) = 0;
    // Writes all of `data`, which must stay valid until the completion.
    virtual void asyncWrite(std::span<const std::byte> data, Completion completion) = 0;
    // Shuts down both directions and closes; pending operations complete with
    // operation_aborted. Harmless when already closed.
    virtual void close() = 0;
};

// Opens the client end of the named pipe `name` (for example
// "\\.\pipe\Microsoft Flight Simulator\SimConnect") for overlapped reading and
// writing, unshared. While all its instances are busy, waits up to busyWait
// for one and tries again, for as long as such a wait succeeds. Null on any
// other failure. POSIX has no named pipes: null at once.
std::unique_ptr<AsyncByteStream> openNamedPipe(boost::asio::io_context& io, const std::string& name,
                                               std::chrono::milliseconds busyWait);

// The server end of a named pipe, one instance per client.
class NamedPipeServer {
public:
    // Receives the connected stream, or null when the wait failed or the
    // server was closed.
    using Accepted = std::function<void(std::unique_ptr<AsyncByteStream> stream)>;

    virtual ~NamedPipeServer() = default;

    // Creates a pipe instance and waits for a client on it; `accepted` runs
    // on the io_context's thread. One wait at a time.
    virtual void asyncAccept(Accepted accepted) = 0;
    // Ends a pending wait.
    virtual void close() = 0;

    // Null on POSIX, which has no named pipes. maxInstances limits how many
    // instances may exist at once; clients beyond it find the pipe busy.
    static std::unique_ptr<NamedPipeServer> create(boost::asio::io_context& io, const std::string& name,
                                                   unsigned maxInstances);
};

}  // namespace navorel::platform
