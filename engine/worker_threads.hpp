// Per-call worker threads: one POSIX thread per task, all started before the
// first is waited for, every one of them ended before the call returns.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tessaly {

// Environment variable that overrides the default worker stack size (decimal
// bytes, optional leading '+'); read once, when the first worker starts.
inline constexpr const char* kStackSizeVariable = "TESSALY_WORKER_STACK_SIZE";
inline constexpr std::size_t kDefaultStackSize = std::size_t{2} << 20;

// Parses an override value; anything but a decimal count gives the default.
std::size_t parse_stack_size(const char* text) noexcept;

// "Resource temporarily unavailable (os error 11, EAGAIN)".
std::string describe_system_error(int code);

// Runs work(i) for i in [0, count), each on a thread of its own, started in
// order. On the calling thread, waits for the workers in order and calls
// collect(i) once worker i has ended normally.
//
// Failures, after every started worker has ended:
// - a refused thread start: no further starts; internal failure
//   "failed to spawn thread: <error>";
// - a worker that ended by an internal failure: internal failure
//   "called `Result::unwrap()` on an `Err` value: Any { .. }";
// - a failed wait: internal failure "failed to join thread: <error>";
// - a worker that ran out of memory: std::bad_alloc.
// After the first failure no further collect() runs.
void run_workers(std::size_t count, const std::function<void(std::size_t)>& work,
                 const std::function<void(std::size_t)>& collect);

}  // namespace tessaly
