#include "binding/process_slots.hpp"

namespace tessaly {

std::atomic<PyObject*> vectorstore_type_slot{nullptr};
std::atomic<PyObject*> panic_type_slot{nullptr};
std::atomic<PyObject*> sequence_class_slot{nullptr};
std::atomic<PyObject*> numpy_array_type_slot{nullptr};
std::atomic<PyObject*> array_array_type_slot{nullptr};
std::atomic<unsigned long> sequence_lookup_thread{0};

}  // namespace tessaly
