#include "binding/utf8.hpp"

namespace tessaly {

Ref printable_str(PyObject* str) noexcept {
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(str, &size) != nullptr) return Ref::borrow(str);
  PyErr_Clear();  // lone surrogates: encode them, then decode leniently
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) return {};
  return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()),
                                         "replace"));
}

std::string_view utf8_or_empty(PyObject* str) noexcept {
  if (str == nullptr) return {};
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {utf8, static_cast<std::size_t>(size)};
}

}  // namespace tessaly
