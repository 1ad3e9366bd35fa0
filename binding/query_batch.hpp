// The queries of a batch call, converted for the engine.
//
// A two-dimensional float32 numpy array or memoryview is read where it
// lies, and one of other numbers converted row by row as the engine reads
// it: a batch of any size then needs no copy of its own. An array by
// protocol (array_protocol.hpp) is converted to a numpy array first. Any
// other sequence of vectors is converted up front, query by query, each as
// a single query would be.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "binding/error.hpp"
#include "binding/float_buffer.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/base/array.hpp"
#include "engine/search/query_rows.hpp"

namespace tessaly {

class QueryBatchInput {
 public:
  std::size_t size() const noexcept { return grid_ ? grid_->shape().rows : spans_.size(); }
  // The queries as the engine reads them; valid while this lives, unmoved.
  QueryRows rows() noexcept;
  // The length of the first query of another length than `expected`.
  std::optional<std::size_t> wrong_length(std::size_t expected) noexcept { return rows().wrong_length(expected); }
  // Every query back to back into `out`, which has room for all of them
  // (once wrong_length found none).
  void copy_all(float* out) const noexcept;

 private:
  friend Result<QueryBatchInput> to_query_batch(PyObject* object) noexcept;

  // Converts rows of a grid of other numbers than float32 for the engine.
  struct GridRows {
    const FloatGrid* grid;
    void operator()(std::size_t first, std::size_t count, float* out) const noexcept {
      grid->copy_rows(first, count, out);
    }
  };

  Ref converted_;  // an array by protocol as numpy.asarray gave it
  std::optional<FloatGrid> grid_;
  GridRows grid_rows_{nullptr};
  FloatVector elements_;  // every query converted, back to back
  Array<std::span<const float>> spans_;
};

// A sequence of vectors, each converted as to_float_vector converts one, or
// a two-dimensional array of numbers read as one, to the same bits; every
// conversion error is raised here, in order. Other numpy arrays of more
// than two dimensions, or fewer, are a TypeError, and so is a batch that is
// no sequence or gives a number where a vector goes (batch_shape.hpp).
Result<QueryBatchInput> to_query_batch(PyObject* object) noexcept;

}  // namespace tessaly
