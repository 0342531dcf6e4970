// Waiting in tests for what another thread or the simulated machine does.
// Tests wait for the event they need, never for a time: the limit here only
// keeps a broken build from hanging, and no busy machine comes near it.
#pragma once

#include <chrono>
#include <thread>

namespace vk {

inline constexpr std::chrono::minutes kHangGuard{2};

// Polls `done` until it holds; false only when the hang guard ran out.
template <typename Condition>
bool WaitUntil(Condition done) {
  const auto give_up = std::chrono::steady_clock::now() + kHangGuard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vk
