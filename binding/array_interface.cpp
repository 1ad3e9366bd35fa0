#include "binding/array_interface.hpp"

#include <atomic>

#include "binding/process_slots.hpp"

namespace tessaly {
namespace {

// A type from a module, looked up only once that module has been imported
// (an instance of it cannot exist before) and kept for the process in its
// slot.
class KnownType {
 public:
  KnownType(const char* module, const char* name, std::atomic<PyObject*>& slot)
      : module_(module), name_(name), slot_(slot) {}

  Result<bool> is_type_of(PyObject* object) noexcept {
    PyObject* type = get_or_make(slot_, [this] { return look_up(); });
    if (type == nullptr) {
      if (PyErr_Occurred()) TRY(discard_pending_error());
      return false;
    }
    return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(type);
  }

 private:
  // A new reference to the type, or null: with an error set if looking it
  // up failed, without one if its module is not imported yet.
  PyObject* look_up() noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(module_));
    Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
    if (!module) return nullptr;
    PyObject* type = PyObject_GetAttrString(module.get(), name_);
    if (type != nullptr && !PyType_Check(type)) Py_CLEAR(type);
    return type;
  }

  const char* module_;
  const char* name_;
  std::atomic<PyObject*>& slot_;
};

KnownType numpy_array("numpy", "ndarray", numpy_array_type_slot);
KnownType array_array("array", "array", array_array_type_slot);

}  // namespace

Result<bool> is_numpy_array(PyObject* object) noexcept { return numpy_array.is_type_of(object); }
Result<bool> is_array_array(PyObject* object) noexcept { return array_array.is_type_of(object); }

Result<const ArrayInterface*> array_interface(PyObject* object, Ref& capsule) noexcept {
  capsule = Ref::steal(PyObject_GetAttrString(object, "__array_struct__"));
  const auto* array = capsule && PyCapsule_CheckExact(capsule.get())
                          ? static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule.get(), nullptr))
                          : nullptr;
  if (array == nullptr && PyErr_Occurred()) TRY(discard_pending_error());
  if (array != nullptr && array->two != 2) return static_cast<const ArrayInterface*>(nullptr);
  return array;
}

}  // namespace tessaly
