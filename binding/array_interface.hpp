// numpy arrays and array.array objects, as this module reads them.
#pragma once

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"

namespace tessaly {

// Whether the object's type is exactly numpy.ndarray (array.array). Until
// its module has been imported nothing can be one, so the type is looked up
// only then, and kept for the process.
Result<bool> is_numpy_array(PyObject* object) noexcept;
Result<bool> is_array_array(PyObject* object) noexcept;

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
inline constexpr int kNotSwapped = 0x200;  // flag: elements in native byte order

// A numpy array's interface, kept alive by `capsule`; null when the object
// has none (a pending error is dropped: iterating the object will report
// whatever is wrong).
Result<const ArrayInterface*> array_interface(PyObject* object, Ref& capsule) noexcept;

// The byte offset of element i along `axis`.
inline std::ptrdiff_t array_stride(const ArrayInterface& array, int axis) noexcept {
  if (array.strides != nullptr) return static_cast<std::ptrdiff_t>(array.strides[axis]);
  std::ptrdiff_t stride = array.itemsize;
  for (int later = axis + 1; later < array.nd; ++later) stride *= static_cast<std::ptrdiff_t>(array.shape[later]);
  return stride;
}

}  // namespace tessaly
