#include "binding/wrong_kind.hpp"

#include <atomic>
#include <mutex>

#include "binding/once.hpp"
#include "binding/text.hpp"

namespace tessaly {
namespace {

std::atomic<PyObject*> sequence_slot{nullptr};
std::mutex sequence_guard;

PyObject* look_up_sequence() {
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  PyObject* found = module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
  if (found == nullptr) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    panic("could not look up collections.abc.Sequence" +
          (error ? ": " + text_of(error.get()) : std::string()));
  }
  return found;
}

}  // namespace

Error not_instance_error(PyObject* object, PyObject* expected) {
  const std::string expected_name = PyType_Check(expected)
                                        ? qualified_name(reinterpret_cast<PyTypeObject*>(expected))
                                        : text_of(expected);
  if (object == Py_None) {
    return Error::type_error("'None' is not an instance of '" + expected_name + "'");
  }
  return Error::type_error("'" + qualified_name(Py_TYPE(object)) +
                           "' object is not an instance of '" + expected_name + "'");
}

PyObject* sequence_class() {
  return get_or_make_once(sequence_slot, sequence_guard, look_up_sequence);
}

}  // namespace tessaly
