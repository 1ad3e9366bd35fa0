// The objects this module keeps for the whole process, one slot each.
//
// They are process-wide rather than held by a module object: importing the
// module again (after removing it from sys.modules) must add the very same
// Vectorstore class, so that stores made before stay instances of it, and
// PanicException must stay one class for every failure. Only the main
// interpreter loads the module (module.cpp refuses subinterpreters), so
// the process and its one interpreter agree. Each slot starts empty and is
// filled on first need by get_or_make; a slot, once filled, keeps its
// object until the process ends.
#pragma once

#include <atomic>

#include "binding/python.hpp"

namespace tessaly {

// The Vectorstore class (vectorstore_type.cpp).
extern std::atomic<PyObject*> vectorstore_type_slot;
// The PanicException class (panic_exception.cpp).
extern std::atomic<PyObject*> panic_type_slot;
// collections.abc.Sequence, which names the class in a TypeError (wrong_kind.cpp).
extern std::atomic<PyObject*> sequence_class_slot;
// numpy.ndarray and array.array, looked up once their module is imported
// (array_interface.cpp).
extern std::atomic<PyObject*> numpy_array_type_slot;
extern std::atomic<PyObject*> array_array_type_slot;

// The thread importing collections.abc.Sequence, if any (0: none); see
// wrong_kind.cpp.
extern std::atomic<unsigned long> sequence_lookup_thread;

// The object held in `slot` (borrowed), made with `make()` (a new reference,
// or null with the interpreter's error set) if the slot is empty.
//
// Making the object may run Python code (an import, a finaliser run by the
// collector), and that code may call back into the module on the same
// thread, or let another thread in. So no lock is held while making: every
// thread that finds the slot empty makes the object itself, and the first
// one stored wins. Nobody waits, so nobody waits on itself.
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
