#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace navorel {

// Bounded pool of reusable objects: idle objects are taken from the front and
// returned to the back, at most maxSize are kept. Thread-safe.
template <typename T>
class ObjectPool {
public:
    using Factory = std::function<std::unique_ptr<T>()>;
    using Reset = std::function<void(T*)>;

    ObjectPool(Factory factory, Reset reset, std::size_t maxSize = 100)
        : factory_(std::move(factory)), reset_(std::move(reset)), maxSize_(maxSize) {}

    std::unique_ptr<T> acquire() {
        std::lock_guard lock(mutex_);
        if (!items_.empty()) {
            std::unique_ptr<T> item = std::move(items_.front());
            items_.pop_front();
            return item;
        }
        return factory_();
    }

    void release(std::unique_ptr<T> item) {
        if (!item) return;
        std::lock_guard lock(mutex_);
        if (items_.size() < maxSize_) {
            reset_(item.get());
            items_.push_back(std::move(item));
        }
        // Otherwise the pool is full and the object is destroyed here.
    }

    std::size_t idleCount() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

private:
    std::deque<std::unique_ptr<T>> items_;
    mutable std::mutex mutex_;
    Factory factory_;
    Reset reset_;
    std::size_t maxSize_;
};

// Recycles JSON documents and strings so building a message does not allocate
// a fresh document each time. A released document keeps its type but is
// emptied (an object comes back as {}).
class JsonMessagePool {
public:
    static constexpr std::size_t kMaxIdle = 100;

    JsonMessagePool();

    std::unique_ptr<nlohmann::json> AcquireJson() { return documents_.acquire(); }
    void ReleaseJson(std::unique_ptr<nlohmann::json> document) { documents_.release(std::move(document)); }
    std::unique_ptr<std::string> AcquireString() { return strings_.acquire(); }
    void ReleaseString(std::unique_ptr<std::string> text) { strings_.release(std::move(text)); }

    std::size_t idleDocuments() const { return documents_.idleCount(); }
    std::size_t idleStrings() const { return strings_.idleCount(); }

private:
    ObjectPool<nlohmann::json> documents_;
    ObjectPool<std::string> strings_;
};

}  // namespace navorel
