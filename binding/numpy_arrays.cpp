#include "binding/numpy_arrays.hpp"

#include "binding/array_interface.hpp"
#include "binding/message_texts.hpp"

namespace tessaly {
namespace {

// numpy.empty(shape, dtype), `shape` a tuple, and where its elements are.
Result<Ref> empty_of_shape(PyObject* numpy, Ref shape, const char* dtype, void*& data) noexcept {
  if (!shape) return Error::fetch();
  Ref empty = Ref::steal(PyObject_GetAttrString(numpy, "empty"));
  if (!empty) return Error::fetch();
  Ref array = Ref::steal(PyObject_CallFunction(empty.get(), "Os", shape.get(), dtype));
  if (!array) return Error::fetch();
  Ref capsule;
  TRY_ASSIGN(const ArrayInterface* interface, array_interface(array.get(), capsule));
  if (interface == nullptr) return Error::internal_failure(kEmptyMadeNoArray);
  data = interface->data;
  return array;
}

}  // namespace

Result<Ref> empty_array(PyObject* numpy, std::size_t rows, std::size_t width, const char* dtype,
                        void*& data) noexcept {
  Ref shape = Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(width)));
  return empty_of_shape(numpy, std::move(shape), dtype, data);
}

Result<Ref> empty_array(PyObject* numpy, std::size_t length, const char* dtype, void*& data) noexcept {
  Ref shape = Ref::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(length)));
  return empty_of_shape(numpy, std::move(shape), dtype, data);
}

Result<Ref> import_numpy() noexcept {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (numpy) return numpy;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Error::fetch();
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  if (!text) return Error::fetch();
  return Error::pending(PyExc_ImportError, numpy_missing_text(std::move(text)));
}

}  // namespace tessaly
