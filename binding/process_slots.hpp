// The objects this module keeps for the whole process, one slot each.
//
// They are process-wide rather than held by a module object: importing the
// module again (after removing it from sys.modules) must add the very same
// Vectorstore class, so that stores made before stay instances of it, and
// PanicException must stay one class for every failure. Only the main
// interpreter loads the module (module.cpp refuses subinterpreters), so
// the process and its one interpreter agree. Each slot starts empty and is
// filled on first need by get_or_make, which holds no lock while the object
// is made (once.hpp says why nobody waits); a slot, once filled, keeps its
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

}  // namespace tessaly
