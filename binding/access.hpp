// The access flag of a store: any number of readers, or one writer, never
// waiting. Python code run while an entry converts its arguments may call
// back into the same store (or let another thread do so); the flag turns
// every such overlap into an immediate RuntimeError.
#pragma once

#include <atomic>
#include <utility>

#include "binding/error.hpp"
#include "binding/message_texts.hpp"
#include "binding/python.hpp"

namespace tessaly {

// 0: free; n > 0: n shared accesses; -1: one exclusive access.
using AccessFlag = std::atomic<Py_ssize_t>;

// Held access, released when dropped.
class Access {
 public:
  Access(Access&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  Access& operator=(Access&&) = delete;
  ~Access() {
    if (flag_ == nullptr) return;
    if (exclusive_) {
      flag_->store(0, std::memory_order_release);
    } else {
      flag_->fetch_sub(1, std::memory_order_release);
    }
  }

  static Result<Access> shared(AccessFlag& flag) {
    Py_ssize_t seen = flag.load(std::memory_order_relaxed);
    do {
      if (seen == -1) return Error::runtime_error(kAlreadyMutablyBorrowed);
    } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
    return Access(flag, false);
  }

  static Result<Access> exclusive(AccessFlag& flag) {
    Py_ssize_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return Error::runtime_error(kAlreadyBorrowed);
    }
    return Access(flag, true);
  }

 private:
  Access(AccessFlag& flag, bool exclusive) noexcept : flag_(&flag), exclusive_(exclusive) {}
  AccessFlag* flag_;
  bool exclusive_;
};

}  // namespace tessaly
