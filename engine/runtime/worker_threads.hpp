// Per-call worker threads: one POSIX thread per task, all started before the
// first is waited for, every one of them ended before the call returns.
#pragma once

#include <cstddef>

#include "engine/base/engine_error.hpp"
#include "engine/base/function_ref.hpp"
#include "engine/base/message.hpp"
#include "engine/runtime/interruption.hpp"

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
// collect(i) once worker i has ended normally. With an interruption, the
// calling thread asks it while it waits; work(i) should stop at its next
// slice once it is requested.
//
// The call fails with the first failure met, in this order: a refused
// thread start (no further starts), then each worker in turn. Every started
// worker has ended before it returns, and after the first failure no
// further collect() runs. The failures:
// - a refused thread start: internal failure "failed to spawn thread: <error>";
// - a failed wait: internal failure "failed to join thread: <error>";
// - a worker whose work failed for memory: out of memory;
// - a worker that stopped when asked: interrupted;
// - a worker whose work failed otherwise: internal failure
//   "called `Result::unwrap()` on an `Err` value: Any { .. }".
EngineResult<void> run_workers(std::size_t count, FunctionRef<EngineResult<void>(std::size_t)> work,
                               FunctionRef<void(std::size_t)> collect,
                               Interruption* interruption = nullptr) noexcept;

}  // namespace tessaly
