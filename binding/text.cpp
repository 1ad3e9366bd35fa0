#include "binding/text.hpp"

namespace tessaly {

Result<Ref> printable_text(PyObject* str) noexcept {
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(str, &size) != nullptr) return Ref::borrow(str);
  TRY(discard_pending_error());  // lone surrogates: encode them, then decode leniently
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) return Error::fetch();
  Ref lenient = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                PyBytes_GET_SIZE(bytes.get()), "replace"));
  if (!lenient) return Error::fetch();
  return lenient;
}

Result<Ref> text_of(PyObject* object) noexcept {
  Ref text = Ref::steal(PyObject_Str(object));
  if (text) return printable_text(text.get());
  Error failure = Error::fetch();
  if (failure.is_internal_failure()) return failure;
  std::move(failure).raise();
  PyErr_WriteUnraisable(object);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  Ref placeholder = Ref::steal(name ? PyUnicode_FromFormat("<unprintable %U object>", name.get())
                                    : nullptr);
  if (placeholder) return placeholder;
  TRY(discard_pending_error());
  placeholder = Ref::steal(PyUnicode_FromString("<unprintable object>"));
  if (!placeholder) return Error::fetch();
  return placeholder;
}

Result<Ref> qualified_name(PyTypeObject* type) noexcept {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (name) return text_of(name.get());
  TRY(discard_pending_error());
  Ref placeholder = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
  if (!placeholder) return Error::fetch();
  return placeholder;
}

}  // namespace tessaly
