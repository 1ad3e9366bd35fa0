#include "binding/long_call.hpp"

#include <optional>

namespace tessaly {

Result<void> without_interpreter_lock(FunctionRef<EngineResult<void>(Interruption&)> work) noexcept {
  std::optional<Error> raised;
  PyThreadState* state = PyEval_SaveThread();
  auto ask = [&]() -> bool {
    PyEval_RestoreThread(state);
    if (PyErr_CheckSignals() < 0) raised = Error::fetch();
    state = PyEval_SaveThread();
    return raised.has_value();
  };
  EngineResult<void> done;
  {
    Interruption interruption(ask);
    done = work(interruption);
  }
  PyEval_RestoreThread(state);
  if (raised) return std::move(*raised);
  if (!done.ok()) return Error::from_engine(done.error());
  return {};
}

}  // namespace tessaly
