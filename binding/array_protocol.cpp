#include "binding/array_protocol.hpp"

#include "binding/array_interface.hpp"

namespace tessaly {
namespace {

// Whether the object has __array__; a failed look-up counts as not (the
// object is then read as it always was).
Result<bool> has_array_method(PyObject* object) noexcept {
  const int found = PyObject_HasAttrStringWithError(object, "__array__");
  if (found < 0) TRY(discard_pending_error());
  return found > 0;
}

// Whether the object is a numpy masked array. Those stay read element by
// element: a masked element reads as NaN there, where numpy.asarray would
// give the value under the mask. None exists before numpy.ma is imported.
Result<bool> is_masked_array(PyObject* object) noexcept {
  Ref name = Ref::steal(PyUnicode_FromString("numpy.ma"));
  if (!name) return Error::fetch();
  Ref module = Ref::steal(PyImport_GetModule(name.get()));
  if (!module) {
    if (PyErr_Occurred()) return Error::fetch();
    return false;
  }
  Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "MaskedArray"));
  if (!type) {
    TRY(discard_pending_error());
    return false;
  }
  const int masked = PyObject_IsInstance(object, type.get());
  if (masked < 0) return Error::fetch();
  return masked == 1;
}

}  // namespace

Result<Ref> array_by_protocol(PyObject* object) noexcept {
  // The common arguments, without a look-up.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || Py_IS_TYPE(object, &PyMemoryView_Type)) {
    return Ref();
  }
  TRY_ASSIGN(const bool numpy_array, is_numpy_array(object));
  if (numpy_array) return Ref();
  TRY_ASSIGN(const bool by_protocol, has_array_method(object));
  if (!by_protocol) return Ref();
  TRY_ASSIGN(const bool masked, is_masked_array(object));
  if (masked) return Ref();
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) {
    TRY(discard_pending_error());
    return Ref();
  }
  Ref asarray = Ref::steal(PyObject_GetAttrString(numpy.get(), "asarray"));
  if (!asarray) return Error::fetch();
  Ref array = Ref::steal(PyObject_CallOneArg(asarray.get(), object));
  if (!array) return Error::fetch();
  return array;
}

}  // namespace tessaly
