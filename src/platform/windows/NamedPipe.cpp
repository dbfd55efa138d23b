#include "platform/NamedPipe.h"

#include <algorithm>

#include <boost/asio/post.hpp>
#include <boost/asio/windows/overlapped_ptr.hpp>
#include <boost/asio/windows/stream_handle.hpp>
#include <boost/asio/write.hpp>

#include "platform/windows/WideText.h"

namespace navorel::platform {

namespace {

namespace asio = boost::asio;
using boost::system::error_code;

constexpr DWORD kPipeBufferSize = 65536;

class PipeStream final : public AsyncByteStream {
public:
    explicit PipeStream(asio::windows::stream_handle handle) : handle_(std::move(handle)) {}

    void asyncReadSome(std::span<std::byte> buffer, Completion completion) override {
        handle_.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                [completion = std::move(completion)](const error_code& error, std::size_t bytes) {
                                    // From a message-mode server, a message longer
                                    // than the read is just more data to come.
                                    if (error == error_code(ERROR_MORE_DATA, boost::system::system_category())) {
                                        completion(error_code(), bytes);
                                    } else {
                                        completion(error, bytes);
                                    }
                                });
    }

    void asyncWrite(std::span<const std::byte> data, Completion completion) override {
        asio::async_write(handle_, asio::buffer(data.data(), data.size()), std::move(completion));
    }

    void close() override {
        error_code ignored;
        handle_.cancel(ignored);
        handle_.close(ignored);
    }

private:
    asio::windows::stream_handle handle_;
};

// Binds an overlapped handle to the io_context's completion port; the handle
// is closed when that fails.
std::shared_ptr<asio::windows::stream_handle> bind(asio::io_context& io, HANDLE native) {
    try {
        return std::make_shared<asio::windows::stream_handle>(io, native);
    } catch (const std::exception&) {
        CloseHandle(native);
        return nullptr;
    }
}

class PipeServer final : public NamedPipeServer {
public:
    PipeServer(asio::io_context& io, std::wstring name, unsigned maxInstances)
        : io_(io), name_(std::move(name)), maxInstances_(maxInstances) {}

    void asyncAccept(Accepted accepted) override {
        const HANDLE pipe = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                             maxInstances_, kPipeBufferSize, kPipeBufferSize, 0, nullptr);
        std::shared_ptr<asio::windows::stream_handle> handle =
            pipe == INVALID_HANDLE_VALUE ? nullptr : bind(io_, pipe);
        if (!handle) {
            asio::post(io_, [accepted] { accepted(nullptr); });
            return;
        }
        waiting_ = handle;
        asio::windows::overlapped_ptr overlapped(io_, [handle, accepted](const error_code& error, std::size_t) {
            accepted(error ? nullptr : std::make_unique<PipeStream>(std::move(*handle)));
        });
        const BOOL connected = ConnectNamedPipe(pipe, overlapped.get());
        const DWORD status = connected ? ERROR_SUCCESS : GetLastError();
        if (connected || status == ERROR_IO_PENDING) {
            overlapped.release();  // the completion port reports the outcome
        } else if (status == ERROR_PIPE_CONNECTED) {
            overlapped.complete(error_code(), 0);  // a client came between creation and the wait
        } else {
            overlapped.complete(error_code(static_cast<int>(status), boost::system::system_category()), 0);
        }
    }

    void close() override {
        if (const auto handle = waiting_.lock()) {
            error_code ignored;
            handle->cancel(ignored);
            handle->close(ignored);
        }
    }

private:
    asio::io_context& io_;
    std::wstring name_;
    DWORD maxInstances_;
    std::weak_ptr<asio::windows::stream_handle> waiting_;
};

}  // namespace

std::unique_ptr<AsyncByteStream> openNamedPipe(asio::io_context& io, const std::string& name,
                                               std::chrono::milliseconds busyWait) {
    const std::wstring wide = windows::toWide(name);
    if (wide.empty()) return nullptr;
    for (;;) {
        const HANDLE pipe = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            const auto handle = bind(io, pipe);
            return handle ? std::make_unique<PipeStream>(std::move(*handle)) : nullptr;
        }
        if (GetLastError() != ERROR_PIPE_BUSY) return nullptr;
        // Another client holds every instance; one may come free.
        if (!WaitNamedPipeW(wide.c_str(), static_cast<DWORD>(busyWait.count()))) return nullptr;
    }
}

std::unique_ptr<NamedPipeServer> NamedPipeServer::create(asio::io_context& io, const std::string& name,
                                                         unsigned maxInstances) {
    std::wstring wide = windows::toWide(name);
    if (wide.empty() || maxInstances == 0) return nullptr;
    return std::make_unique<PipeServer>(io, std::move(wide), std::min<unsigned>(maxInstances, PIPE_UNLIMITED_INSTANCES));
}

}  // namespace navorel::platform
