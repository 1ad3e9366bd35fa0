// The Python class Vectorstore.
#pragma once

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/vectorstore_record.hpp"

namespace tessaly {

// The process-wide type object (borrowed), made on first need. Every module
// object of the process adds this same class.
Result<PyObject*> vectorstore_type() noexcept;

// The receiver check: `self` is a Vectorstore (or subtype) instance.
Result<PyVectorstore*> as_vectorstore(PyObject* self) noexcept;

}  // namespace tessaly
