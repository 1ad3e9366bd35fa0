// A fast path for vectors that arrive as flat float buffers.
#pragma once

#include <optional>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

// The elements of a one-dimensional numpy.ndarray, array.array or
// memoryview (exact types only) of native float32 or float64, narrowed to
// float32 with round-to-nearest-even into `out` (replacing what it held):
// the values iterating the object would give, without a Python object per
// element. False when the object is anything else; the caller then
// iterates.
Result<bool> read_float_buffer(PyObject* object, FloatVector& out) noexcept;

struct MatrixShape {
  std::size_t rows;
  std::size_t columns;
};

// The same for a two-dimensional numpy.ndarray or memoryview, in any memory
// order: its rows, one after another, each as read_float_buffer would read
// it. A numpy array of more dimensions is a TypeError.
Result<bool> read_float_matrix(PyObject* object, FloatVector& out, MatrixShape& shape) noexcept;

}  // namespace tessaly
