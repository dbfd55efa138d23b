#pragma once

#include <chrono>
#include <thread>

namespace navorel::test {

// Polls a condition that another thread makes true; false after ten seconds.
template <typename Condition>
bool eventually(Condition condition) {
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !condition();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace navorel::test
