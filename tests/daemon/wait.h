// Bounded polling for a condition another thread brings about.
#pragma once

#include <chrono>
#include <thread>

template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
