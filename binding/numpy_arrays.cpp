#include "binding/numpy_arrays.hpp"

#include <cstring>
#include <span>

#include "binding/array_interface.hpp"
#include "binding/message_texts.hpp"

namespace tessaly {
namespace {

// Flags of numpy's array interface that writing m x w elements in row order
// at its data pointer needs.
constexpr int kContiguous = 0x1;
constexpr int kAligned = 0x100;
constexpr int kWriteable = 0x400;
constexpr int kWritableInOrder = kContiguous | kAligned | kWriteable | kNotSwapped;

// Whether `object` is numpy's own array type, not a subclass or a Python
// class that claims to be one: only that type's __array_struct__ is numpy's
// C code describing its own memory. The type object is compared by what a
// Python-level replacement cannot make (a static type of that name), not by
// looking numpy.ndarray up, which a caller may have replaced too.
bool is_numpy_own_array(PyObject* object) noexcept {
  const PyTypeObject* type = Py_TYPE(object);
  return (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 && std::strcmp(type->tp_name, "numpy.ndarray") == 0;
}

// Whether `array` is exactly what the engine writes into: `shape`, C order
// (strides absent or those of C order), aligned, writeable, native byte
// order, of `kind` elements of `itemsize` bytes.
bool fits(const ArrayInterface& array, std::span<const std::size_t> shape, char kind, int itemsize) noexcept {
  if (array.nd != static_cast<int>(shape.size()) || array.typekind != kind || array.itemsize != itemsize ||
      (array.flags & kWritableInOrder) != kWritableInOrder) {
    return false;
  }
  bool empty = false;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (array.shape[axis] < 0 || static_cast<std::size_t>(array.shape[axis]) != shape[axis]) return false;
    empty = empty || shape[axis] == 0;
  }
  // Strides along an axis of one element are never used, and an array
  // without elements is never written (numpy gives either any strides).
  std::ptrdiff_t stride = itemsize;
  for (std::size_t axis = shape.size(); axis-- > 0 && !empty;) {
    if (array.strides != nullptr && shape[axis] > 1 && array.strides[axis] != stride) return false;
    stride *= static_cast<std::ptrdiff_t>(shape[axis]);
  }
  return true;
}

// Where the elements of `array` are, once it is checked to be an array of
// `shape` and `dtype` that the engine may write in row order.
Result<void*> checked_data(PyObject* array, std::span<const std::size_t> shape, const char* dtype) noexcept {
  const bool floats = std::strcmp(dtype, "float32") == 0;
  if (!is_numpy_own_array(array)) return Error::internal_failure(kEmptyMadeNoArray);
  Ref capsule;
  TRY_ASSIGN(const ArrayInterface* interface, array_interface(array, capsule));
  if (interface == nullptr || !fits(*interface, shape, floats ? 'f' : 'u', floats ? 4 : 8)) {
    return Error::internal_failure(kEmptyMadeNoArray);
  }
  return interface->data;
}

// numpy.empty(shape, dtype) and where its elements are. numpy.empty is an
// attribute anyone may replace: whatever it returns is checked to be the
// array asked for before the engine writes a byte into it.
Result<Ref> empty_of_shape(PyObject* numpy, std::span<const std::size_t> shape, const char* dtype,
                           void*& data) noexcept {
  // Unsigned, so that a width no array can have (an empty store's
  // vector_size may be any size) reaches numpy as it is, and numpy says so.
  Ref dimensions = Ref::steal(shape.size() == 1 ? Py_BuildValue("(K)", static_cast<unsigned long long>(shape[0]))
                                                : Py_BuildValue("(KK)", static_cast<unsigned long long>(shape[0]),
                                                                static_cast<unsigned long long>(shape[1])));
  if (!dimensions) return Error::fetch();
  Ref empty = Ref::steal(PyObject_GetAttrString(numpy, "empty"));
  if (!empty) return Error::fetch();
  Ref array = Ref::steal(PyObject_CallFunction(empty.get(), "Os", dimensions.get(), dtype));
  if (!array) return Error::fetch();
  TRY_ASSIGN(data, checked_data(array.get(), shape, dtype));
  return array;
}

}  // namespace

Result<Ref> empty_array(PyObject* numpy, std::size_t rows, std::size_t width, const char* dtype,
                        void*& data) noexcept {
  const std::size_t shape[] = {rows, width};
  return empty_of_shape(numpy, shape, dtype, data);
}

Result<void*> array_data(PyObject* array, std::size_t rows, std::size_t width, const char* dtype) noexcept {
  const std::size_t shape[] = {rows, width};
  return checked_data(array, shape, dtype);
}

Result<Ref> empty_array(PyObject* numpy, std::size_t length, const char* dtype, void*& data) noexcept {
  const std::size_t shape[] = {length};
  return empty_of_shape(numpy, shape, dtype, data);
}

Result<Ref> import_numpy(const char* method) noexcept {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (numpy) return numpy;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Error::fetch();
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  if (!text) return Error::fetch();
  return Error::pending(PyExc_ImportError, numpy_missing_text(method, std::move(text)));
}

}  // namespace tessaly
