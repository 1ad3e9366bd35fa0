// Conversions between Python values and engine values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/error.hpp"
#include "binding/item_iterator.hpp"
#include "binding/length_hint.hpp"
#include "binding/python.hpp"
#include "engine/base/array.hpp"
#include "engine/search/results.hpp"
#include "engine/store/vectorstore_builder.hpp"

namespace tessaly {

// The checks every sequence argument passes before it is iterated: a str
// is refused, and so is anything that is not a sequence.
Result<void> check_sequence(PyObject* object) noexcept;

// Any object that passes the sequence check (str excepted) and yields
// numbers, each narrowed to float with round-to-nearest-even whatever the
// caller's floating-point mode.
Result<FloatVector> to_float_vector(PyObject* object) noexcept;
// The same into `out`, replacing what it held (its memory is reused).
Result<void> read_float_vector(PyObject* object, FloatVector& out) noexcept;
Result<float> to_float32(PyObject* object) noexcept;

// An int (or an object with __index__) in [0, 2**64).
Result<std::uint64_t> to_u64(PyObject* object) noexcept;
// An identifier that also fits the platform's size type.
Result<std::size_t> to_size(PyObject* object) noexcept;
// Null (not given) or None mean absent.
Result<std::optional<std::size_t>> to_optional_size(PyObject* object) noexcept;

// from_array's first_pass: "int8" (also when not given: null) or None.
Result<CompactCopy> to_compact_copy(PyObject* object) noexcept;
// The first_pass that makes a store keep `copy`: "int8" or None.
Result<Ref> first_pass_to_python(CompactCopy copy) noexcept;

// A sequence of 2-tuples (vector, identifier), converted in order and
// added to `builder` one by one; null (not given) or None add nothing.
Result<void> add_vector_pairs(PyObject* object, VectorstoreBuilder& builder) noexcept;

Result<Ref> score_to_python(float score) noexcept;
// A new list of (float, int) tuples, made at its final length.
Result<Ref> results_to_python(std::span<const ResultPair> results) noexcept;
// A new list of `rows` such lists of `width` pairs each, row q from
// scores[q * width ...] and ids[q * width ...].
Result<Ref> result_rows_to_python(const float* scores, const std::uint64_t* ids, std::size_t rows,
                                  std::size_t width) noexcept;

}  // namespace tessaly
