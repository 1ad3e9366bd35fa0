#include "binding/float_buffer.hpp"

#include <atomic>
#include <cstring>
#include <string_view>

#include "binding/error.hpp"
#include "binding/once.hpp"
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
  std::atomic<PyObject*> slot_{nullptr};
};

KnownType numpy_array("numpy", "ndarray");
KnownType array_array("array", "array");

// numpy's array interface, the contents of an array's __array_struct__
// capsule (its layout is part of numpy's published protocol).
struct ArrayInterface {
  int two;  // always 2
  int nd;
  char typekind;
  int itemsize;
  int flags;
  Py_intptr_t* shape;
  Py_intptr_t* strides;  // null: C-contiguous
  void* data;
  PyObject* descr;
};
constexpr int kNotSwapped = 0x200;

// `count` elements of 4 (float) or 8 (double) bytes, `stride` bytes apart
// from `data`, narrowed into `out`.
Result<void> copy_elements(const char* data, std::size_t count, std::ptrdiff_t stride,
                           std::size_t itemsize, FloatVector& out) noexcept {
  out.clear();
  if (!out.try_reserve(count)) return Error::no_memory();
  out.set_size_reserved(count);
  if (itemsize == sizeof(float)) {
    if (stride == sizeof(float)) {
      if (count != 0) std::memcpy(out.data(), data, count * sizeof(float));
    } else {
      for (std::size_t i = 0; i < count; ++i) std::memcpy(&out[i], data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(float));
    }
    return {};
  }
  const FloatEnvironment environment;
  for (std::size_t i = 0; i < count; ++i) {
    double element;
    std::memcpy(&element, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(double));
    out[i] = static_cast<float>(element);
  }
  return {};
}

// A numpy array is read through its array interface rather than the buffer
// protocol: numpy keeps a description of every buffer it exports until the
// array goes (about 80 bytes per row, a sixth of a 128-float row's own).
Result<bool> read_numpy_array(PyObject* object, FloatVector& out) noexcept {
  Ref capsule = Ref::steal(PyObject_GetAttrString(object, "__array_struct__"));
  const auto* array = capsule && PyCapsule_CheckExact(capsule.get())
                          ? static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule.get(), nullptr))
                          : nullptr;
  if (array == nullptr) {
    if (PyErr_Occurred()) TRY(discard_pending_error());  // iterating will report whatever is wrong
    return false;
  }
  if (array->two != 2 || array->nd != 1 || array->typekind != 'f' || (array->flags & kNotSwapped) == 0 ||
      (array->itemsize != sizeof(float) && array->itemsize != sizeof(double))) {
    return false;
  }
  const auto itemsize = static_cast<std::size_t>(array->itemsize);
  const std::ptrdiff_t stride = array->strides != nullptr ? array->strides[0] : array->itemsize;
  TRY(copy_elements(static_cast<const char*>(array->data), static_cast<std::size_t>(array->shape[0]),
                    stride, itemsize, out));
  return true;
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

// array.array and memoryview: a one-dimensional C-contiguous buffer.
Result<bool> read_buffer(PyObject* object, FloatVector& out) noexcept {
  HeldBuffer buffer(object);
  if (!buffer.ok()) {
    TRY(discard_pending_error());  // iterating will report whatever is wrong
    return false;
  }
  const Py_buffer& view = buffer.view();
  const char format = native_float_format(view.format);
  if (view.ndim != 1 || format == '\0' || !PyBuffer_IsContiguous(&view, 'C') ||
      view.itemsize != (format == 'f' ? 4 : 8)) {
    return false;
  }
  TRY(copy_elements(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len / view.itemsize),
                    view.itemsize, static_cast<std::size_t>(view.itemsize), out));
  return true;
}

}  // namespace

Result<bool> read_float_buffer(PyObject* object, FloatVector& out) noexcept {
  if (Py_IS_TYPE(object, &PyMemoryView_Type)) return read_buffer(object, out);
  TRY_ASSIGN(const bool numpy, numpy_array.is_type_of(object));
  if (numpy) return read_numpy_array(object, out);
  TRY_ASSIGN(const bool array, array_array.is_type_of(object));
  if (array) return read_buffer(object, out);
  return false;
}

}  // namespace tessaly
