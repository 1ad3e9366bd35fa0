// Calls that can run for seconds: they let other Python threads run while
// the engine works, and a signal handler (Ctrl-C's KeyboardInterrupt) stop
// them.
//
// The interpreter lock is released only around engine work, which touches
// no Python object; converting arguments and building results keep it. The
// store's access flag is held throughout, so the access rule is unchanged.
// Signals are handled on the main thread only, as the interpreter does.
#pragma once

#include "binding/error.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/base/function_ref.hpp"
#include "engine/runtime/interruption.hpp"

namespace tessaly {

// Runs `work` with the interpreter lock released. The interruption it is
// given takes the lock back every poll interval to run pending signal
// handlers; an exception they raise stops the work and is the result, even
// if the work had finished by then.
Result<void> without_interpreter_lock(FunctionRef<EngineResult<void>(Interruption&)> work) noexcept;

// For long loops that hold the lock (converting a large argument), once
// per item: runs pending signal handlers, whose exception ends the call.
// Cheap when no signal is pending (one atomic read), as in the
// interpreter's own loop.
inline Result<void> check_signals() noexcept {
  if (PyErr_CheckSignals() < 0) return Error::fetch();
  return {};
}

}  // namespace tessaly
