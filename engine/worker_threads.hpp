// Per-call worker threads: one POSIX thread per task, all started before the
// first is waited for, every one of them ended before the call returns.
#pragma once

#include <cstddef>

#include "engine/engine_error.hpp"
#include "engine/function_ref.hpp"
#include "engine/message.hpp"

namespace tessaly {

// Environment variable that overrides the default worker stack size (decimal
// bytes, optional leading '+'); read once, when the first worker starts.
inline constexpr const char* kStackSizeVariable = "TESSALY_WORKER_STACK_SIZE";
inline constexpr std::size_t kDefaultStackSize = std::size_t{2} << 20;

// Parses an override value; anything but a decimal count gives the default.
std::size_t parse_stack_size(const char* text) noexcept;

// "Resource temporarily unavailable (os error 11, EAGAIN)".
Message describe_system_error(int code) noexcept;

// Runs work(i) for i in [0, count), each on a thread of its own, started in
// order. On the calling thread, waits for the workers in order and calls
// collect(i) once worker i has ended normally.
//
// Failures, after every started worker has ended:
// - a refused thread start: no further starts; internal failure
//   "failed to spawn thread: <error>";
// - a worker whose work failed (other than for memory): internal failure
//   "called `Result::unwrap()` on an `Err` value: Any { .. }";
// - a failed wait: internal failure "failed to join thread: <error>";
// - a worker that ran out of memory: out of memory.
// After the first failure no further collect() runs.
EngineResult<void> run_workers(std::size_t count, FunctionRef<EngineResult<void>(std::size_t)> work,
                               FunctionRef<void(std::size_t)> collect) noexcept;

}  // namespace tessaly
