#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quorin {

// Polls `condition` every millisecond until it holds; the ten-second bound only stops a
// hang and is no assertion on time.
inline bool eventually(const std::function<bool()>& condition) {
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= bound) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace quorin
