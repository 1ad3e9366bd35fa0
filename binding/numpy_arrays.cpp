#include "binding/numpy_arrays.hpp"

#include "binding/array_interface.hpp"
#include "binding/message_texts.hpp"

namespace tessaly {

Result<Ref> empty_array(PyObject* numpy, std::size_t rows, std::size_t width, const char* dtype,
                        void*& data) noexcept {
  Ref empty = Ref::steal(PyObject_GetAttrString(numpy, "empty"));
  if (!empty) return Error::fetch();
  Ref array = Ref::steal(PyObject_CallFunction(empty.get(), "(nn)s", static_cast<Py_ssize_t>(rows),
                                               static_cast<Py_ssize_t>(width), dtype));
  if (!array) return Error::fetch();
  Ref capsule;
  TRY_ASSIGN(const ArrayInterface* interface, array_interface(array.get(), capsule));
  if (interface == nullptr) return Error::internal_failure(kEmptyMadeNoArray);
  data = interface->data;
  return array;
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
