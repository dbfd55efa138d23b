#include "simconnect/ClientSession.h"

#include <future>

#include <boost/asio/post.hpp>

#include "simconnect/Transport.h"

namespace navorel::simconnect {

namespace asio = boost::asio;

std::shared_ptr<IoThread> IoThread::acquire() {
    static std::mutex mutex;
    static std::weak_ptr<IoThread> current;
    std::lock_guard lock(mutex);
    std::shared_ptr<IoThread> thread = current.lock();
    if (!thread) {
        thread = std::make_shared<IoThread>();
        current = thread;
    }
    return thread;
}

IoThread::IoThread() : work_(io_.get_executor()), thread_([this] { io_.run(); }) {}

IoThread::~IoThread() {
    work_.reset();
    thread_.join();
}

ClientSession::ClientSession(asio::io_context& io, std::unique_ptr<platform::AsyncByteStream> stream,
                             std::uint32_t maxReceiveSize, std::function<void()> onReceived,
                             std::size_t maxQueuedBytes)
    : io_(io),
      stream_(std::move(stream)),
      framer_(maxReceiveSize),
      onReceived_(std::move(onReceived)),
      maxQueuedBytes_(maxQueuedBytes) {}

void ClientSession::start() {
    asio::post(io_, [self = shared_from_this()] { self->read(); });
}

Result ClientSession::send(std::optional<wire::Packet> packet) {
    std::lock_guard lock(mutex_);
    if (state_ == State::FAILED) return status_;
    if (state_ == State::CLOSED) return result::FAIL;
    if (!packet) return result::TEXT_TOO_LONG;
    // Numbered under the queue's lock, so the numbers go out in order.
    sequence_ = wire::nextSequence(sequence_);
    wire::setSequence(*packet, sequence_);
    writeQueue_.push_back(std::move(*packet));
    if (!writing_) {
        writing_ = true;
        asio::post(io_, [self = shared_from_this()] { self->writeNext(); });
    }
    return result::OK;
}

Result ClientSession::dispatch(const DispatchProcedure& procedure) {
    DispatchProcedure use;
    {
        std::lock_guard lock(dispatchMutex_);
        if (procedure) registered_ = procedure;
        use = registered_;
    }
    if (!use) return result::FAIL;

    // The state is read before the queue is taken: a failure reported now
    // comes after every message it hands out, and one that happens meanwhile
    // is reported by the next call, after the messages that preceded it.
    Result outcome = result::OK;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::FAILED) outcome = status_;
    }
    std::list<wire::Packet> batch;
    {
        std::lock_guard lock(receivedMutex_);
        batch.swap(received_);
        receivedBytes_ = 0;
    }
    // Should the procedure throw, the messages it has not seen go back to the
    // front of the queue for the next call.
    struct Requeue {
        ClientSession& session;
        std::list<wire::Packet>& rest;
        ~Requeue() {
            if (rest.empty()) return;
            std::lock_guard lock(session.receivedMutex_);
            for (const wire::Packet& message : rest) session.receivedBytes_ += message.size();
            session.received_.splice(session.received_.begin(), rest);
        }
    } requeue{*this, batch};
    while (!batch.empty()) {
        const wire::Packet message = std::move(batch.front());
        batch.pop_front();
        if (message.size() >= wire::kMessageHeaderSize) {
            use(message.data(), static_cast<std::uint32_t>(message.size()));
        }
    }

    return outcome;
}

void ClientSession::close(std::chrono::milliseconds flushWait) {
    {
        std::unique_lock lock(mutex_);
        if (state_ == State::OPEN) {
            writesDone_.wait_for(lock, flushWait, [this] { return !writing_ || state_ != State::OPEN; });
        }
        state_ = State::CLOSED;
        writeQueue_.clear();
    }
    if (io_.get_executor().running_in_this_thread()) {
        stream_->close();
        return;
    }
    std::promise<void> closed;
    asio::post(io_, [self = shared_from_this(), &closed] {
        self->stream_->close();
        closed.set_value();
    });
    closed.get_future().wait();
}

void ClientSession::read() {
    stream_->asyncReadSome(framer_.freeSpace(), [self = shared_from_this()](const boost::system::error_code& error,
                                                                           std::size_t bytes) {
        self->onRead(error, bytes);
    });
}

void ClientSession::onRead(const boost::system::error_code& error, std::size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::OPEN) return;  // closed meanwhile: the completion only finds its object
    }
    if (error) {
        fail(closeCauseOf(error).status);
        return;
    }
    if (bytes == 0) {
        fail(result::PEER_CLOSED);
        return;
    }
    CloseReason reason = CloseReason::NONE;
    try {
        reason = framer_.commit(bytes, [this](std::span<const std::byte> message) { return queueMessage(message); });
    } catch (const std::bad_alloc&) {
        reason = CloseReason::OUT_OF_MEMORY;
    }
    if (reason != CloseReason::NONE) {
        fail(reason == CloseReason::OUT_OF_MEMORY ? result::OUT_OF_MEMORY : result::BAD_MESSAGE_SIZE);
        return;
    }
    read();
}

bool ClientSession::queueMessage(std::span<const std::byte> message) {
    {
        std::lock_guard lock(receivedMutex_);
        // A caller that stops dispatching must not make the queue grow without bound.
        if (receivedBytes_ + message.size() > maxQueuedBytes_) return false;
        received_.emplace_back(message.begin(), message.end());
        receivedBytes_ += message.size();
    }
    notifyReceived();
    return true;
}

void ClientSession::notifyReceived() {
    if (!onReceived_) return;
    try {
        onReceived_();
    } catch (...) {
        // The caller's notification failing must not end the I/O thread.
    }
}

void ClientSession::writeNext() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::OPEN || writeQueue_.empty()) {
            writeQueue_.clear();
            writing_ = false;
            writesDone_.notify_all();
            return;
        }
        inFlight_ = std::move(writeQueue_.front());
        writeQueue_.pop_front();
    }
    stream_->asyncWrite(inFlight_, [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
        if (error) self->fail(closeCauseOf(error).status);
        self->writeNext();
    });
}

void ClientSession::fail(Result status) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::OPEN) return;
        state_ = State::FAILED;
        status_ = status;
        writeQueue_.clear();
        writesDone_.notify_all();
    }
    stream_->close();
    // The caller learns of the end from its next dispatch: wake it as for a message.
    notifyReceived();
}

}  // namespace navorel::simconnect
