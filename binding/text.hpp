// Text taken from Python objects for messages. Never fails: text that
// cannot be had is replaced by a placeholder, as the message must still be
// written.
#pragma once

#include <string>

#include "binding/python.hpp"

namespace tessaly {

// UTF-8 of a str; lone surrogates become U+FFFD (one per invalid byte
// sequence of their surrogatepass encoding).
std::string utf8_of_str(PyObject* str);

// str(object) as UTF-8. If str() raises, the error goes to the unraisable
// hook and the text is "<unprintable TYPE object>".
std::string text_of(PyObject* object);

// The qualified name of a type, or "<failed to extract type name>".
std::string qualified_name(PyTypeObject* type);

}  // namespace tessaly
