#include "binding/text.hpp"

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace tessaly {

std::string utf8_of_str(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(utf8, size);
  discard_pending_error();  // lone surrogates: encode them, then decode leniently
  Ref bytes = require(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  Ref lenient = require(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                             PyBytes_GET_SIZE(bytes.get()), "replace"));
  const char* utf8 = PyUnicode_AsUTF8AndSize(lenient.get(), &size);
  if (utf8 == nullptr) require(nullptr);
  return std::string(utf8, size);
}

std::string text_of(PyObject* object) {
  Ref text = Ref::steal(PyObject_Str(object));
  if (text) return utf8_of_str(text.get());
  Error failure = Error::fetch();
  std::move(failure).raise();
  PyErr_WriteUnraisable(object);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    discard_pending_error();
    return "<unprintable object>";
  }
  return "<unprintable " + utf8_of_str(name.get()) + " object>";
}

std::string qualified_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (!name) {
    discard_pending_error();
    return "<failed to extract type name>";
  }
  return text_of(name.get());
}

}  // namespace tessaly
