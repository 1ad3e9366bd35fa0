#include "binding/wrong_kind.hpp"

#include <atomic>

#include "binding/once.hpp"
#include "binding/text.hpp"

namespace tessaly {
namespace {

std::atomic<PyObject*> sequence_slot{nullptr};
// The thread looking the class up, if any. The import runs Python code,
// which may want this very message: rather than import again (and again),
// such a call names the class by its known name.
std::atomic<unsigned long> looking_up{0};

PyObject* import_sequence() noexcept {
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  return module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
}

// The class, or null while this or another thread is still importing it.
Result<PyObject*> sequence_class() noexcept {
  if (PyObject* known = sequence_slot.load(std::memory_order_acquire)) return known;
  unsigned long idle = 0;
  if (!looking_up.compare_exchange_strong(idle, PyThread_get_thread_ident(),
                                          std::memory_order_acq_rel)) {
    return nullptr;
  }
  PyObject* found = get_or_make(sequence_slot, import_sequence);
  looking_up.store(0, std::memory_order_release);
  if (found != nullptr) return found;
  Error failure = Error::fetch();
  if (failure.is_internal_failure()) return failure;
  Ref error = std::move(failure).into_exception();
  auto text = error ? text_of(error.get()) : Result<Ref>(Ref());
  if (!text.ok()) return std::move(text).error();
  return Error::internal_failure(Message("could not look up collections.abc.Sequence: ") << kPiece,
                                 std::move(text).value());
}

Error not_instance_named(PyObject* object, Ref expected_name) noexcept {
  if (object == Py_None) {
    return Error::type_error(Message("'None' is not an instance of '") << kPiece << "'",
                             std::move(expected_name));
  }
  auto type_name = qualified_name(Py_TYPE(object));
  if (!type_name.ok()) return std::move(type_name).error();
  return Error::type_error(Message("'") << kPiece << "' object is not an instance of '" << kPiece
                                        << "'",
                           std::move(type_name).value(), std::move(expected_name));
}

}  // namespace

Error not_instance_error(PyObject* object, PyObject* expected) noexcept {
  auto expected_name = PyType_Check(expected)
                           ? qualified_name(reinterpret_cast<PyTypeObject*>(expected))
                           : text_of(expected);
  if (!expected_name.ok()) return std::move(expected_name).error();
  return not_instance_named(object, std::move(expected_name).value());
}

Error not_sequence_error(PyObject* object) noexcept {
  auto sequence = sequence_class();
  if (!sequence.ok()) return std::move(sequence).error();
  if (sequence.value() != nullptr) return not_instance_error(object, sequence.value());
  Ref name = Ref::steal(PyUnicode_FromString("Sequence"));
  if (!name) return Error::fetch();
  return not_instance_named(object, std::move(name));
}

}  // namespace tessaly
