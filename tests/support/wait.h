// Bounded polling for a condition that another thread or process brings
// about.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// Polls `done` every `step` until it holds (true) or `limit` has passed
// (false).
template <class Pred>
bool wait_until(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(20),
                std::chrono::microseconds step = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace test_support
