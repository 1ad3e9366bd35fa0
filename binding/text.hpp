// Text taken from Python objects for messages, as str objects that encode
// to UTF-8. Text that cannot be had is replaced by a placeholder, as the
// message must still be written; only a resumed internal failure, or the
// interpreter running out of memory, ends it.
#pragma once

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"

namespace tessaly {

// str(object), printable (utf8.hpp). If str() raises, the error goes to the
// unraisable hook and the text is "<unprintable TYPE object>".
Result<Ref> text_of(PyObject* object) noexcept;

// The qualified name of a type, or "<failed to extract type name>".
Result<Ref> qualified_name(PyTypeObject* type) noexcept;

}  // namespace tessaly
