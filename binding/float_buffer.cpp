#include "binding/float_buffer.hpp"

#include <atomic>
#include <cstring>
#include <string_view>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "engine/float_environment.hpp"

namespace tessaly {
namespace {

// A type from a module, looked up only once that module has been imported
// (an instance of it cannot exist before) and kept for the process.
class KnownType {
 public:
  KnownType(const char* module, const char* name) : module_(module), name_(name) {}

  Result<bool> is_type_of(PyObject* object) noexcept {
    PyObject* type = slot_.load(std::memory_order_acquire);
    if (type == nullptr) {
      TRY_ASSIGN(type, look_up());
    }
    return type != nullptr && Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(type);
  }

 private:
  Result<PyObject*> look_up() noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(module_));
    Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
    if (!module) {
      if (PyErr_Occurred()) TRY(discard_pending_error());
      return nullptr;
    }
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), name_));
    if (!type || !PyType_Check(type.get())) {
      if (PyErr_Occurred()) TRY(discard_pending_error());
      return nullptr;
    }
    PyObject* expected = nullptr;
    if (slot_.compare_exchange_strong(expected, type.get(), std::memory_order_acq_rel)) {
      return type.release();
    }
    return expected;
  }

  const char* module_;
  const char* name_;
  std::atomic<PyObject*> slot_{nullptr};
};

KnownType numpy_array("numpy", "ndarray");
KnownType array_array("array", "array");

Result<bool> exports_plain_buffer(PyObject* object) noexcept {
  if (Py_IS_TYPE(object, &PyMemoryView_Type)) return true;
  TRY_ASSIGN(const bool numpy, numpy_array.is_type_of(object));
  if (numpy) return true;
  return array_array.is_type_of(object);
}

// "f" or "d" in native byte order ('<' and '=' are native on the only
// byte order this module is built for).
char native_float_format(const char* format) {
  std::string_view text = format != nullptr ? format : "B";
  if (!text.empty() && (text.front() == '@' || text.front() == '=' || text.front() == '<')) {
    text.remove_prefix(1);
  }
  return text == "f" || text == "d" ? text.front() : '\0';
}

class HeldBuffer {
 public:
  explicit HeldBuffer(PyObject* object) noexcept : ok_(PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {}
  ~HeldBuffer() {
    if (ok_) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  bool ok() const { return ok_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool ok_;
};

}  // namespace

Result<std::optional<FloatVector>> read_float_buffer(PyObject* object, RowArena* arena) noexcept {
  TRY_ASSIGN(const bool plain, exports_plain_buffer(object));
  if (!plain) return std::optional<FloatVector>();
  HeldBuffer buffer(object);
  if (!buffer.ok()) {
    TRY(discard_pending_error());  // iterating will report whatever is wrong
    return std::optional<FloatVector>();
  }
  const Py_buffer& view = buffer.view();
  const char format = native_float_format(view.format);
  if (view.ndim != 1 || format == '\0' || !PyBuffer_IsContiguous(&view, 'C') ||
      view.itemsize != (format == 'f' ? 4 : 8)) {
    return std::optional<FloatVector>();
  }
  const auto count = static_cast<std::size_t>(view.len / view.itemsize);
  FloatVector vector(arena);
  if (!vector.try_reserve(count)) return Error::no_memory();
  vector.set_size_reserved(count);
  if (format == 'f') {
    if (count != 0) std::memcpy(vector.data(), view.buf, count * sizeof(float));
  } else {
    const FloatEnvironment environment;
    const auto* doubles = static_cast<const double*>(view.buf);
    for (std::size_t i = 0; i < count; ++i) vector[i] = static_cast<float>(doubles[i]);
  }
  return std::optional<FloatVector>(std::move(vector));
}

}  // namespace tessaly
