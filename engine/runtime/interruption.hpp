// Lets a long engine call stop early, on its caller's word.
//
// The caller's thread, between slices of its work, asks at most every
// kPollInterval whether to stop (a Python caller checks for signals there);
// worker threads of the call only read the answer, and stop at their next
// slice. Slices are far shorter than the interval, so a call stops well
// within a quarter of a second of being told.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <optional>

#include "engine/base/function_ref.hpp"

namespace tessaly {

class Interruption {
 public:
  static constexpr std::chrono::milliseconds kPollInterval{20};

  // Never stops.
  Interruption() noexcept = default;
  // `ask` runs on the constructing thread only, and returns true to stop.
  explicit Interruption(FunctionRef<bool()> ask) noexcept
      : ask_(ask), caller_(pthread_self()), next_(std::chrono::steady_clock::now() + kPollInterval) {}

  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // Whether the call is to stop. On the caller's thread this asks once the
  // interval has passed since it last asked; on any other, it only reads.
  bool requested() noexcept {
    if (ask_ && !stopped_.load(std::memory_order_relaxed) && pthread_equal(pthread_self(), caller_)) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= next_) {
        if ((*ask_)()) stopped_.store(true, std::memory_order_relaxed);
        next_ = std::chrono::steady_clock::now() + kPollInterval;
      }
    }
    return stopped_.load(std::memory_order_relaxed);
  }

 private:
  std::optional<FunctionRef<bool()>> ask_;
  pthread_t caller_{};
  std::chrono::steady_clock::time_point next_{};
  std::atomic<bool> stopped_{false};
};

}  // namespace tessaly
