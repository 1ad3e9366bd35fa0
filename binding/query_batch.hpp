// The queries of a batch call.
//
// A two-dimensional float32 or float64 numpy array or memoryview is read in
// place, slab by slab, as the engine takes the queries: a batch of any size
// then needs a bounded copy. Any other sequence of vectors is converted up
// front, query by query, each as a single query would be.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "binding/error.hpp"
#include "binding/float_buffer.hpp"
#include "binding/python.hpp"
#include "engine/search/results.hpp"

namespace tessaly {

class QueryBatchInput {
 public:
  std::size_t size() const noexcept { return grid_ ? grid_->shape().rows : ends_.size(); }
  // The length of the first query whose length is not `expected`, if any.
  std::optional<std::size_t> wrong_length(std::size_t expected) const noexcept;
  // Queries per slab: the whole batch once converted, or as many rows of
  // an array as kSlabBytes holds.
  std::size_t slab_size() const noexcept;
  // Queries [first, first + count) as the engine takes them, valid until
  // the next call.
  Result<QueryBatch> slab(std::size_t first, std::size_t count) noexcept;
  // Every query back to back into `out`, which has room for all of them
  // (size() times their length, once wrong_length found none).
  void copy_all(float* out) const noexcept;

 private:
  friend Result<QueryBatchInput> to_query_batch(PyObject* object) noexcept;
  static constexpr std::size_t kSlabBytes = std::size_t{16} << 20;

  std::optional<FloatGrid> grid_;
  FloatVector elements_;      // every query converted, or the rows of one slab
  Array<std::size_t> ends_;   // where each converted query's elements end
  Array<std::span<const float>> spans_;
};

// A sequence of vectors, each converted as to_float_vector converts one, or
// a two-dimensional float array read as one, to the same bits; every
// conversion error is raised here, in order. Other numpy arrays of more
// than two dimensions are a TypeError.
Result<QueryBatchInput> to_query_batch(PyObject* object) noexcept;

}  // namespace tessaly
