// Conversions between Python values and engine values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

// Any object that passes the sequence check (str excepted) and yields
// numbers, each narrowed to float with round-to-nearest-even whatever the
// caller's floating-point mode.
Result<FloatVector> to_float_vector(PyObject* object) noexcept;
// The same into `out`, replacing what it held (its memory is reused).
Result<void> read_float_vector(PyObject* object, FloatVector& out) noexcept;
Result<float> to_float32(PyObject* object) noexcept;

// The queries of a batch, converted: their elements back to back.
struct ConvertedQueries {
  FloatVector elements;
  Array<std::size_t> ends;  // where each query's elements end

  // The queries as the engine takes them, valid while this lives.
  Result<Array<std::span<const float>>> spans() const noexcept;
};

// A sequence of vectors, each converted as to_float_vector converts one; a
// two-dimensional numpy array or memoryview of floats is converted in one go,
// to the same bits.
Result<ConvertedQueries> to_query_batch(PyObject* object) noexcept;

// An int (or an object with __index__) in [0, 2**64).
Result<std::uint64_t> to_u64(PyObject* object) noexcept;
// An identifier that also fits the platform's size type.
Result<std::size_t> to_size(PyObject* object) noexcept;
// Null (not given) or None mean absent.
Result<std::optional<std::size_t>> to_optional_size(PyObject* object) noexcept;

// A sequence of 2-tuples (vector, identifier), converted in order and
// added to `builder` one by one; null (not given) or None add nothing.
Result<void> add_vector_pairs(PyObject* object, VectorstoreBuilder& builder) noexcept;

Result<Ref> score_to_python(float score) noexcept;
// A new list of (float, int) tuples, made at its final length.
Result<Ref> results_to_python(std::span<const ResultPair> results) noexcept;
// A new list of such lists.
Result<Ref> result_lists_to_python(std::span<const ResultList> lists) noexcept;

}  // namespace tessaly
