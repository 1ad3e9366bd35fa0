// Filling a process-wide slot (process_slots.hpp) on first need.
//
// Making the object may run Python code (an import, a finaliser run by the
// collector), and that code may call back into the module on the same
// thread, or let another thread in. So no lock is held while making: every
// thread that finds the slot empty makes the object itself, and the first
// one stored wins. Nobody waits, so nobody waits on itself.
#pragma once

#include <atomic>

#include "binding/python.hpp"

namespace tessaly {

// The object held in `slot` (borrowed), made with `make()` (a new reference,
// or null with the interpreter's error set) if the slot is empty.
template <class Make>
PyObject* get_or_make(std::atomic<PyObject*>& slot, Make make) noexcept {
  if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
  PyObject* made = make();
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
  Py_DECREF(made);  // another call stored one first
  return expected;
}

}  // namespace tessaly
