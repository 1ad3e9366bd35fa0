// Vectors and batches that arrive as float buffers, read in place.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/element_type.hpp"
#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/base/array.hpp"

namespace tessaly {

struct MatrixShape {
  std::size_t rows;
  std::size_t columns;
};

// A one- or two-dimensional numpy.ndarray, array.array or memoryview (exact
// types only) of numbers, in any memory order, held for as long as this
// lives: a vector of native float32 or float64 elements, a batch of any
// element type of element_type.hpp. Its rows read as iterating the object
// and converting each number it yields would give them, without a Python
// object per element.
class FloatGrid {
 public:
  // The object's grid of `dimensions` (1 or 2) dimensions, or nothing when it
  // is anything else (the caller then iterates). A numpy array of more than
  // two dimensions is a TypeError when two are wanted.
  static Result<std::optional<FloatGrid>> of(PyObject* object, int dimensions) noexcept;

  FloatGrid(FloatGrid&& other) noexcept;
  FloatGrid& operator=(FloatGrid&& other) noexcept;
  FloatGrid(const FloatGrid&) = delete;
  FloatGrid& operator=(const FloatGrid&) = delete;
  ~FloatGrid();

  MatrixShape shape() const noexcept { return {rows_, columns_}; }
  // Rows [first, first + count) back to back into `out`. Reads memory only:
  // it runs no Python code and needs no interpreter lock.
  void copy_rows(std::size_t first, std::size_t count, float* out) const noexcept;

  // Where float32 rows with contiguous elements lie, to be read as they
  // are: row r at data + r * row_bytes. Nothing for other grids.
  struct InPlace {
    const char* data;
    std::ptrdiff_t row_bytes;
  };
  std::optional<InPlace> float32_rows() const noexcept {
    if (!type_.is_native_float32() || (column_stride_ != sizeof(float) && columns_ > 1)) return std::nullopt;
    return InPlace{data_, row_stride_};
  }
  // Where float32 elements lie, in any memory order: element (r, c) at
  // data + r * row_bytes + c * element_bytes. Nothing for other grids.
  struct Float32Elements {
    const char* data;
    std::ptrdiff_t row_bytes;
    std::ptrdiff_t element_bytes;
  };
  std::optional<Float32Elements> float32_elements() const noexcept {
    if (!type_.is_native_float32()) return std::nullopt;
    return Float32Elements{data_, row_stride_, column_stride_};
  }

 private:
  FloatGrid() noexcept = default;
  // Takes the grid when its elements are of a type read in place: any for
  // a batch, native floats only for a single vector.
  std::optional<FloatGrid> with_elements(std::optional<ElementType> type, int dimensions) && noexcept;

  const char* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t columns_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t column_stride_ = 0;
  ElementType type_{ElementKind::float32, false};
  Ref capsule_;          // a numpy array's interface, kept alive
  Py_buffer view_{};     // or another object's buffer
  bool holds_view_ = false;
};

// The elements of a one-dimensional float grid into `out` (replacing what
// it held). False when the object is not one; the caller then iterates.
Result<bool> read_float_buffer(PyObject* object, FloatVector& out) noexcept;

// The rows and columns of a two-dimensional numpy array (any dtype) or
// memoryview (any format), if the object is one.
Result<std::optional<MatrixShape>> matrix_shape(PyObject* object) noexcept;

}  // namespace tessaly
