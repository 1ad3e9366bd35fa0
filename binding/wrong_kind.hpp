// The TypeError for an object of the wrong kind.
#pragma once

#include <string_view>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace tessaly {

// "'T' object is not an instance of 'C'", or "'None' is not an instance of
// 'C'", with C the qualified name of `expected` (a type object).
Error not_instance_error(PyObject* object, PyObject* expected) noexcept;

// The same, for an object that should be a sequence: the class named is
// collections.abc.Sequence, looked up on first need and kept; it only
// names the class in messages and is never used for the check itself.
Error not_sequence_error(PyObject* object) noexcept;

}  // namespace tessaly
