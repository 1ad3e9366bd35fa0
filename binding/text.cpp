#include "binding/text.hpp"

#include "binding/message_texts.hpp"
#include "binding/utf8.hpp"

namespace tessaly {

Result<Ref> text_of(PyObject* object) noexcept {
  Ref text = Ref::steal(PyObject_Str(object));
  if (text) {
    Ref printable = printable_str(text.get());
    if (!printable) return Error::fetch();
    return printable;
  }
  Error failure = Error::fetch();
  if (failure.is_internal_failure()) return failure;
  std::move(failure).raise();
  PyErr_WriteUnraisable(object);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  Ref placeholder = Ref::steal(name ? PyUnicode_FromFormat(kUnprintableFormat, name.get()) : nullptr);
  if (placeholder) return placeholder;
  TRY(discard_pending_error());
  placeholder = Ref::steal(PyUnicode_FromString(kUnprintable));
  if (!placeholder) return Error::fetch();
  return placeholder;
}

Result<Ref> qualified_name(PyTypeObject* type) noexcept {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (name) return text_of(name.get());
  TRY(discard_pending_error());
  Ref placeholder = Ref::steal(PyUnicode_FromString(kNoTypeName));
  if (!placeholder) return Error::fetch();
  return placeholder;
}

}  // namespace tessaly
