// Process-wide objects made on first need, once, by whichever thread needs
// them first.
#pragma once

#include <atomic>
#include <mutex>

#include "binding/python.hpp"

namespace tessaly {

// Returns the object held in `slot`, making it with `make()` (a new
// reference, kept for the life of the process) if the slot is empty. A
// thread that finds the slot empty lets go of the interpreter lock while it
// waits at the guard, so that a thread already making the object can run;
// it takes the lock back before calling the interpreter.
template <class Make>
PyObject* get_or_make_once(std::atomic<PyObject*>& slot, std::mutex& guard, Make make) {
  if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
  PyThreadState* saved = PyEval_SaveThread();
  std::unique_lock<std::mutex> hold(guard);
  PyEval_RestoreThread(saved);
  if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
  PyObject* made = make();
  slot.store(made, std::memory_order_release);
  return made;
}

}  // namespace tessaly
