// A fast path for vectors that arrive as flat float buffers.
#pragma once

#include <optional>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

// The elements of a numpy.ndarray, array.array or memoryview (exact types
// only) that exports a one-dimensional C-contiguous buffer of native float32
// or float64, narrowed to float32 with round-to-nearest-even into `out`
// (replacing what it held): the values iterating the object would give,
// without a Python object per element. False when the object is anything
// else; the caller then iterates.
Result<bool> read_float_buffer(PyObject* object, FloatVector& out) noexcept;

}  // namespace tessaly
