#include "binding/wrong_kind.hpp"

#include <atomic>

#include "binding/message_texts.hpp"
#include "binding/process_slots.hpp"
#include "binding/text.hpp"

namespace tessaly {
namespace {

PyObject* import_sequence() noexcept {
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  return module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
}

// The class, or null while this or another thread is still importing it.
// The import runs Python code, which may want this very message: rather
// than import again (and again), such a call names the class by its known
// name.
Result<PyObject*> sequence_class() noexcept {
  if (PyObject* known = sequence_class_slot.load(std::memory_order_acquire)) return known;
  unsigned long idle = 0;
  if (!sequence_lookup_thread.compare_exchange_strong(idle, PyThread_get_thread_ident(),
                                                      std::memory_order_acq_rel)) {
    return nullptr;
  }
  PyObject* found = get_or_make(sequence_class_slot, import_sequence);
  sequence_lookup_thread.store(0, std::memory_order_release);
  if (found != nullptr) return found;
  Error failure = Error::fetch();
  if (failure.is_internal_failure()) return failure;
  Ref error = std::move(failure).into_exception();
  Ref why;
  if (error) {
    TRY_ASSIGN(why, text_of(error.get()));
  }
  return Error::internal_failure(sequence_lookup_text(std::move(why)));
}

Error not_instance_named(PyObject* object, Ref class_name) noexcept {
  if (object == Py_None) return Error::type_error(none_not_instance_text(std::move(class_name)));
  TRY_ASSIGN(Ref type_name, qualified_name(Py_TYPE(object)));
  return Error::type_error(not_instance_text(std::move(type_name), std::move(class_name)));
}

}  // namespace

Error not_instance_error(PyObject* object, PyObject* expected) noexcept {
  auto class_name = PyType_Check(expected) ? qualified_name(reinterpret_cast<PyTypeObject*>(expected))
                                           : text_of(expected);
  TRY_ASSIGN(Ref name, std::move(class_name));
  return not_instance_named(object, std::move(name));
}

Error not_sequence_error(PyObject* object) noexcept {
  TRY_ASSIGN(PyObject* sequence, sequence_class());
  if (sequence != nullptr) return not_instance_error(object, sequence);
  Ref name = Ref::steal(PyUnicode_FromString(kSequenceName));
  if (!name) return Error::fetch();
  return not_instance_named(object, std::move(name));
}

}  // namespace tessaly
